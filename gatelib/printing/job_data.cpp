#include "gatelib/printing/job_data.h"

#include <algorithm>
#include <cstring>

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
      window_(size_),
      base_(-static_cast<std::int64_t>(size_)) {}

JobData::~JobData() {
  Close();
}

void JobData::Close() {
  if (file_ != nullptr) {
    platform::kernel().CloseHandle(file_);
    file_ = nullptr;
  }
}

int JobData::Open(const std::wstring& path, const platform::JobInfo2* job) {
  job_ = job;
  path_ = path;
  Close();
  platform::HANDLE file =
      platform::files().CreateFileW(path, platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                    platform::OPEN_EXISTING, platform::FILE_FLAG_SEQUENTIAL_SCAN);
  if (file == platform::INVALID_HANDLE_VALUE)
    throw new SystemError(L"file.open", L"JobData::Open");
  file_ = file;
  held_ = 0;
  window_ = size_;
  base_ = -static_cast<std::int64_t>(size_);
  filePointer_ = 0;

  struct Closer {
    JobData& data;
    ~Closer() { data.Close(); }
  } closer{*this};
  return Analyze();
}

bool JobData::Refill(const wchar_t* place) {
  std::int64_t target = Position();
  if (target != filePointer_) {
    // The bytes between the file pointer and the position are passed over, not read.
    std::int64_t moved = 0;
    if (!platform::files().SetFilePointerEx(file_, target - filePointer_, &moved,
                                            platform::FILE_CURRENT)) {
      if (platform::kernel().GetLastError() != 0)
        throw new SystemError(L"file.Seek", place);
      return false;
    }
    filePointer_ = target;
  }
  // Fill the whole window: only the end of the file leaves it short.
  std::size_t got = 0;
  while (got < size_) {
    DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size_ - got, 0x40000000));
    DWORD read = 0;
    if (!platform::files().ReadFile(file_, buffer_.get() + got, ask, &read)) {
      DWORD code = platform::kernel().GetLastError();
      if (code == 0 || code == platform::ERROR_HANDLE_EOF || code == platform::ERROR_BROKEN_PIPE)
        break;
      // The window stays empty at the position; the file pointer moved by what was read.
      held_ = 0;
      window_ = size_;
      base_ = target - static_cast<std::int64_t>(size_);
      filePointer_ = target + static_cast<std::int64_t>(got);
      throw new SystemError(L"file.Read", place);
    }
    if (read == 0)
      break;
    got += read;
  }
  base_ = target;
  window_ = 0;
  held_ = got;
  filePointer_ = target + static_cast<std::int64_t>(got);
  return got > 0;
}

bool JobData::GetNextCharSlow(std::uint8_t& byte) {
  // A short window is the last one: its end is the end of the file.
  if (window_ < size_ || !Refill(L"JobData::GetNextChar"))
    return false;
  byte = buffer_[window_++];
  return true;
}

std::span<const std::uint8_t> JobData::WindowSlow(const wchar_t* place) {
  if (window_ < size_ || !Refill(place))
    return {};
  return {buffer_.get() + window_, held_ - window_};
}

bool JobData::Read(void* out, std::size_t count, std::size_t* copied) {
  auto* target = static_cast<std::uint8_t*>(out);
  std::size_t done = 0;
  while (done < count) {
    if (window_ >= held_) {
      if (window_ < size_ || !Refill(L"JobData::Read"))
        break;
    }
    std::size_t n = std::min(count - done, held_ - window_);
    std::memcpy(target + done, buffer_.get() + window_, n);
    window_ += n;
    done += n;
  }
  if (copied != nullptr)
    *copied = done;
  return done > 0;
}

std::int64_t JobData::Skip(std::int64_t n) {
  if (n >= 0) {
    window_ += static_cast<std::size_t>(n);
    return n;
  }
  std::int64_t target = std::max<std::int64_t>(Position() + n, 0);
  if (held_ > 0 && target >= base_) {
    window_ = static_cast<std::size_t>(target - base_);  // still inside the bytes held
  } else {
    // Out of the window: it is emptied and the next refill moves the file pointer back.
    held_ = 0;
    window_ = size_;
    base_ = target - static_cast<std::int64_t>(size_);
  }
  return n;
}

std::int64_t JobData::Seek(std::int64_t offset) {
  std::int64_t moved = 0;
  if (!platform::files().SetFilePointerEx(file_, offset, &moved, platform::FILE_BEGIN)) {
    DWORD code = platform::kernel().GetLastError();
    return -static_cast<std::int64_t>(code != 0 ? code : platform::ERROR_NEGATIVE_SEEK);
  }
  filePointer_ = offset;
  held_ = 0;
  window_ = size_;
  base_ = offset - static_cast<std::int64_t>(size_);
  return offset;
}

}  // namespace gatelib::printing
