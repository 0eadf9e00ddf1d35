#include "platform/win32/win32.h"

namespace platform::win32 {

bool Win32Processes::CreateProcessW(const std::wstring& applicationName,
                                    const std::wstring& commandLine,
                                    const std::wstring& currentDirectory,
                                    const StartupInfo& startup, ProcessInformation* info) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  bool redirect =
      startup.hStdInput != nullptr || startup.hStdOutput != nullptr || startup.hStdError != nullptr;
  if (redirect) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput =
        startup.hStdInput != nullptr ? startup.hStdInput : ::GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput =
        startup.hStdOutput != nullptr ? startup.hStdOutput : ::GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError =
        startup.hStdError != nullptr ? startup.hStdError : ::GetStdHandle(STD_ERROR_HANDLE);
  }
  std::wstring line = commandLine;  // CreateProcessW may write into its command line
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(applicationName.empty() ? nullptr : applicationName.c_str(), line.data(),
                        nullptr, nullptr, redirect, CREATE_NO_WINDOW, nullptr,
                        currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &si, &pi)) {
    return false;
  }
  info->hProcess = pi.hProcess;
  info->hThread = pi.hThread;
  info->dwProcessId = pi.dwProcessId;
  info->dwThreadId = pi.dwThreadId;
  return true;
}

bool Win32Processes::GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  ::DWORD code = 0;
  bool ok = ::GetExitCodeProcess(process, &code) != 0;
  if (ok && exitCode != nullptr) *exitCode = code;
  return ok;
}

bool Win32Processes::TerminateProcess(HANDLE process, DWORD exitCode) {
  return ::TerminateProcess(process, exitCode) != 0;
}

std::wstring Win32Processes::GetModuleFileNameW() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    ::DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<::DWORD>(buffer.size()));
    if (n == 0) return L"";
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform::win32
