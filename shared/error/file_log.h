// The file log: numbered files of time-stamped lines, and the Log and Trace helpers.
#pragma once

#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>

#include "shared/error/error_result.h"
#include "shared/error/format.h"

namespace tollgate {

class FileLog {
 public:
  // `path` ends with a four-character extension (".log"); the files are the path without it,
  // "_", the file number 0 (current) to 9 (oldest) and the extension. Each file holds about
  // half of `size` characters.
  FileLog(const std::wstring& path, long size);

  // Appends the line and a line end to the current file, rotating the files first when the
  // current one is full (and before the first line of each run).
  ErrorResultPtr Write(const std::wstring& line);

  std::wstring FileName(int number) const;
  const std::wstring& Current() const { return current_; }

 private:
  ErrorResultPtr RotateLocked();

  std::wstring base_;
  std::wstring extension_;
  std::wstring current_;
  long limit_;
  long written_ = -1;
  std::mutex lock_;
};

// Installs the process-wide file log; the one installed before is destroyed.
void InstallFileLog(std::unique_ptr<FileLog> log);
std::shared_ptr<FileLog> InstalledFileLog();

// The log's time stamp of `t` (seconds since 1970) in local time: "2026-Dec-10 08:30:05".
std::wstring LogTime(std::int64_t t);

// Writes "<local time> <text>" to the file log. Never throws: a failure goes to standard
// error as "Error logging '<text>': <error>".
void Log(const std::wstring& text);

// Logs "[tid:0x<thread id>][<category>] <text>", the text formatted printf-style; nothing
// when it formats to an empty text.
void Trace(const std::wstring& category, std::wstring_view format,
           std::initializer_list<FormatArg> args = {});

}  // namespace tollgate
