// Interfaces and implementations of the core components that have no other home: the
// error report ("error-handler"), the clock ("clock") and the process runner ("runner").
#pragma once

#include <cstdint>
#include <string>

#include "shared/components/injector.h"
#include "shared/error/error_result.h"
#include "shared/error/report.h"

namespace tollgate {

// "error-handler": the application's error report.
class ErrorHandler : public Component {
 public:
  // Ownership of the error passes.
  virtual void ReportError(Error* error) = 0;
  virtual void ReportException(const std::exception& exception) = 0;
};

// Holds no state: forwards to the process's ReportError and ReportException.
class ApplicationErrorHandler : public ErrorHandler {
 public:
  void ReportError(Error* error) override { tollgate::ReportError(error); }
  void ReportException(const std::exception& exception) override {
    tollgate::ReportException(exception);
  }
};

// Reports through the registered "error-handler", or the process's report when none is
// registered (ownership of the error passes).
void ReportToHandler(Error* error);
void ReportToHandler(const std::exception& exception);

// "clock": the current time in seconds since 1970.
class Clock : public Component {
 public:
  virtual std::int64_t Now() const = 0;
};

class SystemClock : public Clock {
 public:
  std::int64_t Now() const override;
};

// "runner": starts a program and waits for its exit code.
class Runner : public Component {
 public:
  // Runs `commandLine` (the program first, Windows quoting rules) in `directory` (empty: the
  // current one) and waits up to `timeoutMs` for it to end.
  virtual ErrorResultPtr Run(const std::wstring& commandLine, const std::wstring& directory,
                             std::uint32_t timeoutMs, std::uint32_t* exitCode) = 0;
};

class ProcessRunner : public Runner {
 public:
  ErrorResultPtr Run(const std::wstring& commandLine, const std::wstring& directory,
                     std::uint32_t timeoutMs, std::uint32_t* exitCode) override;
};

}  // namespace tollgate
