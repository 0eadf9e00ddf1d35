#include "shared/error/file_log.h"

#include <boost/date_time/c_local_time_adjustor.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <ctime>
#include <stdexcept>

#include "platform/platform.h"

namespace tollgate {
namespace {

std::mutex installLock;
std::shared_ptr<FileLog> installedLog;

// One byte per character, as a wide stream in the classic locale stores them; a character
// beyond one byte is stored as '?'.
std::string LogBytes(const std::wstring& line) {
  std::string bytes;
  bytes.reserve(line.size() + 2);
  for (wchar_t c : line) {
    bytes += static_cast<unsigned>(c) <= 0xFF ? static_cast<char>(c) : '?';
  }
  bytes += "\r\n";
  return bytes;
}

}  // namespace

FileLog::FileLog(const std::wstring& path, long size)
    : base_(path.size() >= 4 ? path.substr(0, path.size() - 4) + L"_" : path + L"_"),
      extension_(path.size() >= 4 ? path.substr(path.size() - 4) : L""),
      current_(base_ + L"0" + extension_),
      limit_(size / 2) {}

std::wstring FileLog::FileName(int number) const {
  return base_ + std::to_wstring(number) + extension_;
}

ErrorResultPtr FileLog::RotateLocked() {
  auto& files = platform::files();
  auto& kernel = platform::kernel();
  std::wstring oldest = FileName(9);
  if (!files.DeleteFileW(oldest) && kernel.GetLastError() != platform::ERROR_FILE_NOT_FOUND) {
    return WrapError(WindowsErrorResult(), L"error removing file " + oldest);
  }
  for (int k = 8; k >= 0; --k) {
    std::wstring from = FileName(k);
    std::wstring to = FileName(k + 1);
    if (!files.MoveFileW(from, to) && kernel.GetLastError() != platform::ERROR_FILE_NOT_FOUND) {
      return WrapError(WindowsErrorResult(), L"error renaming file " + from + L" to " + to);
    }
  }
  written_ = 0;
  return nullptr;
}

ErrorResultPtr FileLog::Write(const std::wstring& line) {
  std::string bytes = LogBytes(line);
  std::lock_guard<std::mutex> guard(lock_);
  if (written_ < 0 || written_ > limit_) {
    if (auto error = RotateLocked()) return error;
  }
  auto& files = platform::files();
  auto& kernel = platform::kernel();
  platform::HANDLE file = files.CreateFileW(
      current_, platform::FILE_APPEND_DATA,
      platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE | platform::FILE_SHARE_DELETE,
      platform::OPEN_ALWAYS);
  if (file == platform::INVALID_HANDLE_VALUE) {
    return WrapError(WindowsErrorResult(), L"error opening file " + current_);
  }
  written_ += static_cast<long>(line.size());
  platform::DWORD done = 0;
  bool ok = files.WriteFile(file, bytes.data(), static_cast<platform::DWORD>(bytes.size()), &done);
  ErrorResultPtr error;
  if (!ok || done != bytes.size())
    error = WrapError(WindowsErrorResult(), L"error writing to file " + current_);
  kernel.CloseHandle(file);
  return error;
}

void InstallFileLog(std::unique_ptr<FileLog> log) {
  std::shared_ptr<FileLog> previous;  // destroyed outside the lock, once no writer holds it
  std::lock_guard<std::mutex> guard(installLock);
  previous = std::move(installedLog);
  installedLog = std::move(log);
}

std::shared_ptr<FileLog> InstalledFileLog() {
  std::lock_guard<std::mutex> guard(installLock);
  return installedLog;
}

std::wstring LogTime(std::int64_t t) {
  using Adjustor = boost::date_time::c_local_adjustor<boost::posix_time::ptime>;
  boost::posix_time::ptime local =
      Adjustor::utc_to_local(boost::posix_time::from_time_t(static_cast<std::time_t>(t)));
  return boost::posix_time::to_simple_wstring(local);
}

void Log(const std::wstring& text) {
  std::wstring line;
  try {
    line = LogTime(static_cast<std::int64_t>(std::time(nullptr))) + L" " + text;
  } catch (const std::exception& e) {
    platform::console().WriteErrWide(
        L"Error logging '" + text + L"': " +
        platform::system().MultiByteToWideChar(platform::CP_ACP, e.what()) + L"\n");
    return;
  }
  std::shared_ptr<FileLog> log = InstalledFileLog();
  ErrorResultPtr error =
      log != nullptr ? log->Write(line) : MakeError(L"the file log is not installed");
  if (error) {
    platform::console().WriteErrWide(L"Error logging '" + text + L"': " + error->Text() + L"\n");
  }
}

void Trace(const std::wstring& category, std::wstring_view format,
           std::initializer_list<FormatArg> args) {
  std::wstring text = FormatW(format, args);
  if (text.empty()) return;
  Log(FormatW(L"[tid:0x%x][%s] %s", {platform::kernel().GetCurrentThreadId(), category, text}));
}

}  // namespace tollgate
