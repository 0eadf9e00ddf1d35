#include "gatelib/printing/job_data.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/error/format.h"

namespace gatelib::printing {

using platform::DWORD;

std::wstring SpoolFileName(const std::wstring& spoolDirectory, std::uint32_t jobId) {
  return tollgate::FormatW(L"%s\\%05u%s", {spoolDirectory, jobId, L".spl"});
}

JobData::JobData(std::size_t bufferSize)
    : size_(std::max<std::size_t>(bufferSize, 1)),
      buffer_(std::make_unique<std::uint8_t[]>(size_)),
      next_(buffer_.get()),
      end_(buffer_.get()) {}

JobData::~JobData() {
  Close();
}

void JobData::Close() {
  if (file_ != nullptr) {
    platform::kernel().CloseHandle(file_);
    file_ = nullptr;
  }
}

void JobData::EmptyAt(std::int64_t position) {
  next_ = end_ = buffer_.get();
  base_ = position;
  ahead_ = 0;
  lastWindow_ = false;
}

int JobData::Open(const std::wstring& path, const platform::JobInfo2* job) {
  job_ = job;
  path_ = path;
  Close();
  platform::HANDLE file =
      platform::files().CreateFileW(path, platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                    platform::OPEN_EXISTING, platform::FILE_FLAG_SEQUENTIAL_SCAN);
  if (file == platform::INVALID_HANDLE_VALUE) throw new SystemError(L"file.open", L"JobData::Open");
  file_ = file;
  EmptyAt(0);
  filePointer_ = 0;
  knownSize_ = 0;
  sizeFresh_ = false;
  memos_.clear();

  struct Closer {
    JobData& data;
    ~Closer() { data.Close(); }
  } closer{*this};
  return Analyze();
}

std::int64_t JobData::Size() {
  if (sizeFresh_) return knownSize_;
  std::int64_t size = 0;
  if (file_ == nullptr || !platform::files().GetFileSizeEx(file_, &size)) return -1;
  knownSize_ = size;
  sizeFresh_ = true;
  return size;
}

bool JobData::Refill(const wchar_t* place) {
  const std::int64_t target = Position();
  // A position at or past the end of the file is the end of the data: no seek is made there,
  // so that a skip by any amount (a length read from the data) cannot ask for an impossible
  // file pointer. The size is asked for again when the target passes the size last seen (the
  // file may have grown since); when the platform cannot tell it, the read below finds the end.
  // The window is kept: a move back into it reads nothing again.
  if (target >= knownSize_ && Size() >= 0 && target >= knownSize_) return false;
  // After a move the window read is the block of the file (a multiple of the window size from
  // its start) that holds the position, so that readers which search forward and come back to
  // where they began find both places in one window.
  std::int64_t from = target;
  if (target != filePointer_) {
    from = target - target % static_cast<std::int64_t>(size_);
    if (from < filePointer_ && filePointer_ <= target) from = filePointer_;
  }
  if (from != filePointer_) {
    // The bytes between the file pointer and the block are passed over, not read.
    std::int64_t moved = 0;
    if (!platform::files().SetFilePointerEx(file_, from - filePointer_, &moved,
                                            platform::FILE_CURRENT)) {
      if (platform::kernel().GetLastError() != 0) throw new SystemError(L"file.Seek", place);
      return false;
    }
    filePointer_ = from;
  }
  // Fill the whole window: only the end of the file leaves it short.
  std::uint8_t* buffer = buffer_.get();
  std::size_t got = 0;
  while (got < size_) {
    DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size_ - got, 0x40000000));
    DWORD read = 0;
    if (!platform::files().ReadFile(file_, buffer + got, ask, &read)) {
      DWORD code = platform::kernel().GetLastError();
      if (code == 0 || code == platform::ERROR_HANDLE_EOF || code == platform::ERROR_BROKEN_PIPE)
        break;
      // The window stays empty at the position; the file pointer moved by what was read.
      EmptyAt(target);
      filePointer_ = from + static_cast<std::int64_t>(got);
      throw new SystemError(L"file.Read", place);
    }
    if (read == 0) break;
    got += read;
  }
  sizeFresh_ = false;
  filePointer_ = from + static_cast<std::int64_t>(got);
  lastWindow_ = got < size_;
  const auto skipped = static_cast<std::size_t>(target - from);
  if (got <= skipped) {
    // The file ends before the position.
    EmptyAt(target);
    lastWindow_ = true;
    return false;
  }
  base_ = from;
  ahead_ = 0;
  next_ = buffer + skipped;
  end_ = buffer + got;
  return true;
}

int JobData::NextByteSlow() {
  if (lastWindow_ || !Refill(L"JobData::GetNextChar")) return -1;
  return *next_++;
}

std::span<const std::uint8_t> JobData::WindowSlow() {
  if (lastWindow_ || !Refill(L"JobData::GetNextChar")) return {};
  return {next_, static_cast<std::size_t>(end_ - next_)};
}

bool JobData::Read(void* out, std::size_t count, std::size_t* copied) {
  auto* target = static_cast<std::uint8_t*>(out);
  std::size_t done = 0;
  while (done < count) {
    if (next_ == end_ && (lastWindow_ || !Refill(L"JobData::Read"))) break;
    std::size_t n = std::min(count - done, static_cast<std::size_t>(end_ - next_));
    std::memcpy(target + done, next_, n);
    next_ += n;
    done += n;
  }
  if (copied != nullptr) *copied = done;
  return done > 0;
}

std::int64_t JobData::Skip(std::int64_t n) {
  const std::int64_t held = end_ - buffer_.get();
  const std::int64_t position = Position();
  constexpr std::int64_t kFurthest = std::numeric_limits<std::int64_t>::max();
  const std::int64_t target =
      n > kFurthest - position ? kFurthest : std::max<std::int64_t>(position + n, 0);
  if (held > 0 && target >= base_ && target <= base_ + held) {
    next_ = buffer_.get() + (target - base_);  // inside the bytes held
    ahead_ = 0;
  } else if (target > base_ + held) {
    next_ = end_;  // beyond the window: passed over when the next byte is needed
    ahead_ = target - (base_ + held);
  } else {
    EmptyAt(target);  // before the window: read again from there
  }
  return n;
}

std::int64_t JobData::Seek(std::int64_t offset) {
  const std::int64_t held = end_ - buffer_.get();
  if (offset >= 0 && held > 0 && offset >= base_ && offset <= base_ + held) {
    // Inside the bytes held: the window stays, the file pointer is where it was.
    next_ = buffer_.get() + (offset - base_);
    ahead_ = 0;
    return offset;
  }
  std::int64_t moved = 0;
  if (!platform::files().SetFilePointerEx(file_, offset, &moved, platform::FILE_BEGIN)) {
    DWORD code = platform::kernel().GetLastError();
    return -static_cast<std::int64_t>(code != 0 ? code : platform::ERROR_NEGATIVE_SEEK);
  }
  filePointer_ = offset;
  EmptyAt(offset);
  return offset;
}

}  // namespace gatelib::printing
