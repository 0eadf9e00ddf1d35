// The supervisor service: every 30 seconds it starts the agent's service again when the
// spooler runs and the agent's service, set to start automatically, has stopped.
#pragma once

#include <cstddef>
#include <string>

#include "shared/application/service_app.h"
#include "shared/os/sync.h"

namespace tollgate {

// The agent's service, the name the watch reports under, and the spooler's service.
inline constexpr wchar_t kWatchedService[] = L"tollgate client";
inline constexpr wchar_t kReportName[] = L"Tollgate Client Supervisor";
inline constexpr wchar_t kSpoolerService[] = L"spooler";

inline constexpr platform::DWORD kWatchIntervalMs = 30000;
inline constexpr std::size_t kWatchStackSize = 20480;

// A shorter wait between two checks for test machines: the DWORD "WatchIntervalMs" (1 to
// 30000 milliseconds) under this key of HKEY_LOCAL_MACHINE. Without it, or with any other
// value, the wait is kWatchIntervalMs.
inline constexpr wchar_t kSupervisorKey[] = L"SOFTWARE\\Velmora\\Tollgate Client Supervisor";
inline constexpr wchar_t kWatchIntervalValue[] = L"WatchIntervalMs";

class Supervisor : public ServiceApp {
 public:
  Supervisor(std::wstring watchedService, std::wstring reportName);
  ~Supervisor() override;

  // Starts the watch thread and returns.
  void Run(platform::DWORD argc, const std::vector<std::wstring>& argv) override;

  // One look at the spooler and the watched service; starts the service when the spooler runs
  // and the service is stopped and set to start automatically. Errors are thrown.
  void Check();

  // Lets the watch thread end (the stop event is set) and waits for it: true when it ended
  // within the time, or never ran.
  bool EndWatch(platform::DWORD milliseconds);

  platform::DWORD WatchInterval() const { return interval_; }

 private:
  platform::DWORD Watch();

  std::wstring watchedService_;
  std::wstring reportName_;
  platform::DWORD interval_ = kWatchIntervalMs;
  os::Thread watch_;
};

// The interval the registry asks for, or kWatchIntervalMs.
platform::DWORD ReadWatchInterval();

}  // namespace tollgate
