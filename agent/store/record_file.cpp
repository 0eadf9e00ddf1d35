#include "agent/store/record_file.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include "agent/store/records.h"
#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"

namespace tollgate::store {
namespace {

using platform::DWORD;

constexpr int kRemoveTries = 10;
constexpr DWORD kRemovePauseMs = 500;
// A file that cannot be written logs again at most this often while records wait in memory.
constexpr auto kWriteFailureLogEvery = std::chrono::seconds(60);

}  // namespace

RecordFile::RecordFile(std::wstring path, std::size_t recordSize)
    : path_(std::move(path)), recordSize_(recordSize) {
  hasRecords_ = platform::kernel().CreateEventW(true, true);
  if (hasRecords_ == nullptr) throw new SystemError(L"CreateEventW", L"RecordFile::RecordFile");
}

RecordFile::~RecordFile() {
  std::lock_guard<std::mutex> hold(lock_);
  WriteWaitingLocked();
  if (!waiting_.empty()) {
    Log(L"Couldn't write " + std::to_wstring(waiting_.size()) + L" records to record file " +
        path_ + L" before it closed; they are lost.");
  }
  CloseLocked();
  platform::kernel().CloseHandle(hasRecords_);
}

bool RecordFile::Open(bool create) {
  std::lock_guard<std::mutex> hold(lock_);
  return OpenLocked(create);
}

void RecordFile::CloseLocked() {
  if (file_ != nullptr) platform::kernel().CloseHandle(file_);
  file_ = nullptr;
}

bool RecordFile::OpenLocked(bool create) {
  if (file_ != nullptr) return true;
  auto& files = platform::files();
  const DWORD access = platform::GENERIC_READ | platform::GENERIC_WRITE;
  const DWORD share = platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE;
  platform::HANDLE file = files.CreateFileW(path_, access, share, platform::OPEN_EXISTING);
  if (file == platform::INVALID_HANDLE_VALUE) {
    if (!create) {
      if (waiting_.empty()) platform::kernel().ResetEvent(hasRecords_);
      return false;
    }
    file = files.CreateFileW(path_, access, share, platform::OPEN_ALWAYS);
    if (file == platform::INVALID_HANDLE_VALUE)
      throw new SystemError(L"CreateFileW", L"RecordFile::Open");
  }
  file_ = file;
  readPosition_ = 0;
  end_ = 0;
  tornSize_ = 0;
  std::int64_t size = 0;
  if (!files.GetFileSizeEx(file_, &size)) {
    CloseLocked();
    throw new SystemError(L"GetFileSizeEx", L"RecordFile::Open");
  }
  const auto record = static_cast<std::int64_t>(recordSize_);
  end_ = size - size % record;
  if (end_ != size && !KeepPartialLocked(end_, size - end_, false)) tornSize_ = size - end_;
  std::int32_t next = 1;
  if (end_ >= record) {
    std::string last;
    if (ReadAtLocked(end_ - record, &last)) next = RecordLocalId(last) + 1;
  }
  // Records waiting in memory come after the file's own.
  if (!waiting_.empty()) next = std::max(next, waiting_.back().id + 1);
  nextId_ = next;
  platform::kernel().SetEvent(hasRecords_);
  return true;
}

// A record cut short (the process ended or the disk filled in the middle of a write) keeps
// its bytes in a side file; the next append writes a whole record over it.
bool RecordFile::KeepPartialLocked(std::int64_t start, std::int64_t size, bool quiet) {
  auto& files = platform::files();
  std::string bytes(static_cast<std::size_t>(size), '\0');
  DWORD read = 0;
  bool ok = files.SetFilePointerEx(file_, start, nullptr, platform::FILE_BEGIN) &&
            files.ReadFile(file_, bytes.data(), static_cast<DWORD>(size), &read);
  bytes.resize(ok ? read : 0);
  const std::wstring side = path_ + L".partial";
  platform::HANDLE out = files.CreateFileW(side, platform::GENERIC_WRITE, platform::FILE_SHARE_READ,
                                           platform::OPEN_ALWAYS);
  bool kept = false;
  if (out != platform::INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    kept = files.SetFilePointerEx(out, 0, nullptr, platform::FILE_END) &&
           files.WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written) &&
           written == bytes.size() && files.FlushFileBuffers(out);
    platform::kernel().CloseHandle(out);
  }
  if (quiet && !kept) return false;
  Log(L"Record file " + path_ + L" ends with a partial record of " + std::to_wstring(size) +
      L" bytes at offset " + std::to_wstring(start) +
      (kept ? L"; its bytes are kept in " + side
            : L"; its bytes could not be kept in " + side +
                  L", and nothing is written over them until they are"));
  return kept;
}

void RecordFile::ReportWriteFailureLocked(const std::wstring& text) {
  const auto now = std::chrono::steady_clock::now();
  if (failureLogged_ && now - lastFailureLog_ < kWriteFailureLogEvery) return;
  failureLogged_ = true;
  lastFailureLog_ = now;
  Log(L"Couldn't write to record file " + path_ + L": " + text + L"; " +
      std::to_wstring(waiting_.size()) +
      L" records wait in memory and are written as soon as the file can take them.");
}

void RecordFile::SetWaitingLocked() {
  waitingCount_.store(waiting_.size());
}

bool RecordFile::IsWaiting(std::int32_t localId) {
  std::lock_guard<std::mutex> hold(lock_);
  for (const WaitingRecord& record : waiting_)
    if (record.id == localId) return true;
  return false;
}

bool RecordFile::WriteWaiting() {
  std::lock_guard<std::mutex> hold(lock_);
  return WriteWaitingLocked();
}

bool RecordFile::WriteWaitingLocked() {
  if (waiting_.empty()) return true;
  try {
    OpenLocked(true);
  } catch (::Error* error) {
    std::unique_ptr<::Error> owned(error);
    ReportWriteFailureLocked(owned->Message());
    return false;
  }
  if (tornSize_ > 0) {
    if (!KeepPartialLocked(end_, tornSize_, true)) {
      ReportWriteFailureLocked(L"the partial record at its end is not yet kept in " + path_ +
                               L".partial");
      return false;
    }
    tornSize_ = 0;
  }
  auto& files = platform::files();
  while (!waiting_.empty()) {
    const WaitingRecord& next = waiting_.front();
    {
      DWORD written = 0;
      bool ok =
          files.SetFilePointerEx(file_, end_, nullptr, platform::FILE_BEGIN) &&
          files.WriteFile(file_, next.bytes.data(), static_cast<DWORD>(recordSize_), &written);
      DWORD error = ok ? 0 : platform::kernel().GetLastError();
      if (ok && written != recordSize_) {
        ok = false;
        error = 112;  // ERROR_DISK_FULL
      }
      if (ok && !files.FlushFileBuffers(file_)) {
        ok = false;
        error = platform::kernel().GetLastError();
      }
      if (!ok) {
        // What was cut short at the end is written over by the next try.
        ReportWriteFailureLocked(WindowsErrorResult(error)->Text());
        return false;
      }
      end_ += static_cast<std::int64_t>(recordSize_);
    }
    waiting_.pop_front();
    SetWaitingLocked();
  }
  if (failureLogged_) {
    failureLogged_ = false;
    Log(L"The records that waited in memory are written to record file " + path_ + L".");
  }
  return true;
}

void RecordFile::SeekLocked(std::int64_t position, const wchar_t* caller) {
  if (!platform::files().SetFilePointerEx(file_, position, nullptr, platform::FILE_BEGIN))
    throw new SystemError(L"SetFilePointerEx", caller);
}

bool RecordFile::ReadAtLocked(std::int64_t position, std::string* record) {
  if (position < 0 || position + static_cast<std::int64_t>(recordSize_) > end_) return false;
  record->assign(recordSize_, '\0');
  DWORD read = 0;
  SeekLocked(position, L"RecordFile::ReadFirst");
  if (!platform::files().ReadFile(file_, record->data(), static_cast<DWORD>(recordSize_), &read))
    throw new SystemError(L"ReadFile", L"RecordFile::ReadFirst");
  return read == recordSize_;
}

std::int32_t RecordFile::Append(std::string record) {
  std::lock_guard<std::mutex> hold(lock_);
  try {
    OpenLocked(true);
  } catch (::Error* error) {
    std::unique_ptr<::Error> owned(error);  // the record waits in memory, reported below
  }
  record.resize(recordSize_, '\0');
  const std::int32_t id = nextId_++;
  for (int i = 0; i < 4; ++i)
    record[4 + i] = static_cast<char>((static_cast<std::uint32_t>(id) >> (8 * i)) & 0xFF);
  waiting_.push_back({id, std::move(record)});
  SetWaitingLocked();
  WriteWaitingLocked();
  platform::kernel().SetEvent(hasRecords_);
  return id;
}

bool RecordFile::ReadFirst(std::string* record) {
  std::lock_guard<std::mutex> hold(lock_);
  servedFromMemory_ = false;
  WriteWaitingLocked();
  if (!OpenLocked(false)) return ReadWaitingLocked(record);
  const auto size = static_cast<std::int64_t>(recordSize_);
  // From the read position to the end, then (never expected) from the start up to it, so a
  // live record is never removed with the file.
  const std::int64_t start = readPosition_;
  for (int round = 0; round < 2; ++round) {
    std::int64_t from = round == 0 ? start : 0;
    std::int64_t to = round == 0 ? end_ : start;
    for (std::int64_t pos = from; pos + size <= to; pos += size) {
      if (!ReadAtLocked(pos, record)) break;
      if ((*record)[0] == 0) {
        readPosition_ = pos + size;
        return true;
      }
    }
  }
  if (ReadWaitingLocked(record)) return true;
  if (tornSize_ > 0 && !KeepPartialLocked(end_, tornSize_, true)) {
    // Bytes not yet kept anywhere else: the file is set aside rather than removed.
    tornSize_ = 0;
    CloseLocked();
    platform::kernel().ResetEvent(hasRecords_);
    readPosition_ = 0;
    end_ = 0;
    std::string stamp =
        boost::posix_time::to_iso_string(boost::posix_time::second_clock::local_time());
    std::wstring target = path_ + L"." + std::wstring(stamp.begin(), stamp.end());
    if (platform::files().MoveFileW(path_, target)) {
      Log(L"Record file " + path_ + L" is set aside as " + target +
          L": its partial record could not be kept in " + path_ + L".partial");
    } else {
      Log(L"Couldn't set aside record file " + path_ + L": " + WindowsErrorResult()->Text());
    }
    return false;
  }
  CloseLocked();
  platform::kernel().ResetEvent(hasRecords_);
  readPosition_ = 0;
  end_ = 0;
  for (int attempt = 1;; ++attempt) {
    if (platform::files().DeleteFileW(path_)) break;
    DWORD error = platform::kernel().GetLastError();
    if (error == platform::ERROR_FILE_NOT_FOUND) break;
    if (attempt >= kRemoveTries ||
        (error != platform::ERROR_ACCESS_DENIED && error != platform::ERROR_SHARING_VIOLATION)) {
      Log(L"Couldn't remove record file " + path_ + L": " + WindowsErrorResult(error)->Text());
      break;
    }
    platform::kernel().Sleep(kRemovePauseMs);
  }
  return false;
}

bool RecordFile::ReadWaitingLocked(std::string* record) {
  if (waiting_.empty()) return false;
  *record = waiting_.front().bytes;
  servedFromMemory_ = true;
  return true;
}

std::int64_t RecordFile::FindLocked(std::int32_t localId, std::string* record) {
  const auto size = static_cast<std::int64_t>(recordSize_);
  const std::int64_t count = end_ / size;
  if (count == 0) return -1;
  // The ids ascend: step from the read position towards the id.
  std::int64_t index = std::min(readPosition_ / size, count - 1);
  int direction = 0;
  while (index >= 0 && index < count) {
    if (!ReadAtLocked(index * size, record)) break;
    const std::int32_t id = RecordLocalId(*record);
    if (id == localId) return index * size;
    int step = id < localId ? 1 : -1;
    if (direction != 0 && step != direction) break;
    direction = step;
    index += step;
  }
  return -1;
}

void RecordFile::Delete(std::int32_t localId) {
  std::lock_guard<std::mutex> hold(lock_);
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
    if (it->id == localId) {
      waiting_.erase(it);  // never on the disk: nothing to mark
      SetWaitingLocked();
      return;
    }
  }
  if (!OpenLocked(false)) throw new ::Error(33);
  std::string record;
  const std::int64_t position = FindLocked(localId, &record);
  if (position < 0) throw new ::Error(33);
  SeekLocked(position, L"RecordFile::Delete");
  const char deleted = 1;
  DWORD written = 0;
  if (!platform::files().WriteFile(file_, &deleted, 1, &written) || written != 1)
    throw new SystemError(L"WriteFile", L"RecordFile::Delete");
  if (!platform::files().FlushFileBuffers(file_))
    throw new SystemError(L"FlushFileBuffers", L"RecordFile::Delete");
}

bool RecordFile::IsLive(std::int32_t localId) {
  std::lock_guard<std::mutex> hold(lock_);
  for (const WaitingRecord& waiting : waiting_) {
    if (waiting.id == localId) return true;
  }
  if (!OpenLocked(false)) return false;
  std::string record;
  return FindLocked(localId, &record) >= 0 && !RecordDeleted(record);
}

void RecordFile::Unread() {
  std::lock_guard<std::mutex> hold(lock_);
  if (servedFromMemory_) return;  // the first waiting record comes again as it is
  const auto size = static_cast<std::int64_t>(recordSize_);
  if (readPosition_ >= size) readPosition_ -= size;
}

bool RecordFile::Exists() {
  if (waitingCount_.load() > 0) return true;
  return platform::files().GetFileAttributesW(path_) != platform::INVALID_FILE_ATTRIBUTES;
}

ErrorResultPtr RecordFile::Archive() {
  std::lock_guard<std::mutex> hold(lock_);
  CloseLocked();
  readPosition_ = 0;
  end_ = 0;
  tornSize_ = 0;  // set aside with the file
  if (waiting_.empty()) platform::kernel().ResetEvent(hasRecords_);
  if (platform::files().GetFileAttributesW(path_) == platform::INVALID_FILE_ATTRIBUTES)
    return nullptr;
  std::string stamp =
      boost::posix_time::to_iso_string(boost::posix_time::second_clock::local_time());
  std::wstring target = path_ + L"." + std::wstring(stamp.begin(), stamp.end());
  if (!platform::files().MoveFileW(path_, target)) return WindowsErrorResult();
  return nullptr;
}

void RecordFile::Wake() {
  platform::kernel().SetEvent(hasRecords_);
}

}  // namespace tollgate::store
