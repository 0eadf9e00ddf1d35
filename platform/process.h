// Child processes.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform {

struct StartupInfo {  // the STARTUPINFOW fields in use; null handles mean "inherit ours"
  HANDLE hStdInput = nullptr;
  HANDLE hStdOutput = nullptr;
  HANDLE hStdError = nullptr;
};

struct ProcessInformation {
  HANDLE hProcess = nullptr;
  HANDLE hThread = nullptr;
  DWORD dwProcessId = 0;
  DWORD dwThreadId = 0;
};

class Processes {
 public:
  virtual ~Processes() = default;
  // CreateProcessW: `commandLine` is parsed by the Windows rules; its first word names the
  // program (`applicationName` overrides it when not empty). Both handles of `info` are the
  // caller's to close; the process handle is signalled when the process ends.
  virtual bool CreateProcessW(const std::wstring& applicationName, const std::wstring& commandLine,
                              const std::wstring& currentDirectory, const StartupInfo& startup,
                              ProcessInformation* info) = 0;
  virtual bool GetExitCodeProcess(HANDLE process, DWORD* exitCode) = 0;
  virtual bool TerminateProcess(HANDLE process, DWORD exitCode) = 0;
  // GetModuleFileNameW(nullptr): the running program's path.
  virtual std::wstring GetModuleFileNameW() = 0;
};

}  // namespace platform
