// JobData: the buffered sequential reader of one spool file, on which every analyser and
// language reader is built, and the spool file's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/types.h"

namespace platform {
struct JobInfo2;  // the spooler's job record
}

namespace gatelib::printing {

// Results of an analysis (JobData::Open, Analyze).
namespace analysis {
constexpr int kCounted = 0;        // the counts are valid
constexpr int kUnusable = 1;       // an XML document that could not be classified or read
constexpr int kNotRecognised = 2;  // no reader understood the data
constexpr int kResume = 3;         // internal: detection resumes after the segment just read
}  // namespace analysis

// The buffer size the job checker reads spool files with.
constexpr std::size_t kSpoolBufferSize = 20480;

// The spool file of a job: the spool directory, a backslash, the job id zero-padded to at least
// five digits and ".spl" (job 42 in D:\Q gives D:\Q\00042.spl).
std::wstring SpoolFileName(const std::wstring& spoolDirectory, std::uint32_t jobId);

// Something an analysis remembers about the file it reads (the answers of earlier searches),
// kept by the JobData until another file is opened.
class JobDataMemo {
 public:
  virtual ~JobDataMemo() = default;
};

// A reader of one file through a fixed window of BufferSize() bytes.
//
// The window holds the file's bytes from an absolute offset on; the next byte is taken from it
// until it is used up, then the next BufferSize() bytes are read. Bytes skipped beyond the
// window are passed over with a file seek (never read) when the next byte is needed. A window
// that a read left short is the last one: its end is the end of the file. The absolute
// position counts every byte consumed or skipped since the start of the file.
//
// Read and seek failures raise SystemError ("file.Read" / "file.Seek", with the place of the
// operation); the end of the file is never an error. Not shared between threads.
class JobData {
 public:
  // A buffer size of 0 is taken as 1.
  explicit JobData(std::size_t bufferSize);
  virtual ~JobData();
  JobData(const JobData&) = delete;
  JobData& operator=(const JobData&) = delete;

  // Opens the file for sequential reading (read sharing only), runs Analyze on it, closes it
  // and returns Analyze's result. An open failure raises SystemError ("file.open",
  // "JobData::Open"); errors of Analyze pass through (the file is closed all the same).
  int Open(const std::wstring& path, const platform::JobInfo2* job);

  // The next byte; false at the end of the file (nothing delivered, positions unchanged).
  bool GetNextChar(std::uint8_t& byte) {
    if (next_ != end_) [[likely]] {
      byte = *next_++;
      return true;
    }
    int slow = NextByteSlow();
    if (slow < 0) return false;
    byte = static_cast<std::uint8_t>(slow);
    return true;
  }

  // Copies up to `count` bytes into `out`, refilling as often as needed. True when at least
  // one byte was copied; `copied` (when given) receives the number.
  bool Read(void* out, std::size_t count, std::size_t* copied = nullptr);

  // Moves the position by n bytes, forward or back, without reading; returns n. Forward moves
  // past the window are made by a file seek when the next byte is needed; backward moves out
  // of the window empty it. A move before the start of the file stops at the start.
  std::int64_t Skip(std::int64_t n);

  // Moves to an absolute offset; an offset inside the bytes held keeps the window, any other
  // empties it. Returns the offset, or the negated platform error code when the file pointer
  // cannot be moved (the position then stays).
  std::int64_t Seek(std::int64_t offset);
  std::int64_t Rewind() { return Seek(0); }

  // The bytes from the position to the end of the window, refilled first when the window is
  // used up; empty at the end of the file. Advance(n) consumes n of them. Scanning loops use
  // the two to look at the window a block at a time.
  std::span<const std::uint8_t> Window() {
    if (next_ != end_) [[likely]]
      return {next_, static_cast<std::size_t>(end_ - next_)};
    return WindowSlow();
  }
  void Advance(std::size_t n) { next_ += n; }

  // The size of the open file as the platform reports it (asked again once something was read
  // since it was last asked for); -1 when it cannot tell.
  std::int64_t Size();

  // The memo of type T (made on first use) for the open file.
  template <typename T>
  T& Memo() {
    static const char tag = 0;  // one per memo type
    for (const auto& [kind, memo] : memos_) {
      if (kind == &tag) return static_cast<T&>(*memo);
    }
    memos_.emplace_back(&tag, std::make_unique<T>());
    return static_cast<T&>(*memos_.back().second);
  }

  std::int64_t Position() const {
    return base_ + static_cast<std::int64_t>(next_ - buffer_.get()) + ahead_;
  }
  std::size_t BufferSize() const { return size_; }
  const std::wstring& Path() const { return path_; }
  const platform::JobInfo2* Job() const { return job_; }

 protected:
  // Analyses the open file from its start; one of the results above.
  virtual int Analyze() = 0;

 private:
  int NextByteSlow();
  std::span<const std::uint8_t> WindowSlow();
  // Reads the window at the position (passing over skipped bytes with a seek first); false at
  // the end of the file.
  bool Refill(const wchar_t* place);
  // The window becomes empty at `position`, to be read when a byte is needed.
  void EmptyAt(std::int64_t position);
  void Close();

  std::size_t size_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  // The window: buffer_[0, end_) holds the file's bytes from base_ on; next_ is the next byte.
  const std::uint8_t* next_;
  const std::uint8_t* end_;
  std::int64_t base_ = 0;
  std::int64_t ahead_ = 0;        // bytes skipped beyond the end of the window
  bool lastWindow_ = false;       // the window ends where the file ends
  std::int64_t filePointer_ = 0;  // where the file pointer stands
  std::int64_t knownSize_ = 0;    // the file's size when it was last asked for
  bool sizeFresh_ = false;        // nothing was read since the size was asked for
  std::vector<std::pair<const void*, std::unique_ptr<JobDataMemo>>> memos_;
  platform::HANDLE file_ = nullptr;
  std::wstring path_;
  const platform::JobInfo2* job_ = nullptr;
};

}  // namespace gatelib::printing
