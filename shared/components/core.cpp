#include "shared/components/core.h"

#include <ctime>

#include "platform/platform.h"

namespace tollgate {

std::int64_t SystemClock::Now() const {
  return static_cast<std::int64_t>(std::time(nullptr));
}

ErrorResultPtr ProcessRunner::Run(const std::wstring& commandLine, const std::wstring& directory,
                                  std::uint32_t timeoutMs, std::uint32_t* exitCode) {
  auto& kernel = platform::kernel();
  platform::ProcessInformation info;
  if (!platform::processes().CreateProcessW(L"", commandLine, directory, platform::StartupInfo{},
                                            &info)) {
    return WrapError(WindowsErrorResult(), L"error creating process " + commandLine);
  }
  kernel.CloseHandle(info.hThread);
  ErrorResultPtr error;
  platform::DWORD wait = kernel.WaitForSingleObject(info.hProcess, timeoutMs);
  if (wait == platform::WAIT_TIMEOUT) {
    platform::processes().TerminateProcess(info.hProcess, 1);
    error = MakeError(L"timeout waiting for process " + commandLine);
  } else if (wait != platform::WAIT_OBJECT_0) {
    error = WrapError(WindowsErrorResult(), L"error waiting for process " + commandLine);
  } else {
    platform::DWORD code = 0;
    if (!platform::processes().GetExitCodeProcess(info.hProcess, &code)) {
      error = WrapError(WindowsErrorResult(), L"error getting exit code of process " + commandLine);
    } else if (exitCode != nullptr) {
      *exitCode = code;
    }
  }
  kernel.CloseHandle(info.hProcess);
  return error;
}

void ReportToHandler(Error* error) {
  if (auto* handler = Injector::Process().GetAs<ErrorHandler>("error-handler")) {
    handler->ReportError(error);
  } else {
    ReportError(error);
  }
}

void ReportToHandler(const std::exception& exception) {
  if (auto* handler = Injector::Process().GetAs<ErrorHandler>("error-handler")) {
    handler->ReportException(exception);
  } else {
    ReportException(exception);
  }
}

}  // namespace tollgate
