// The spool observer: a thread that reads the system event log for the service control
// manager's report that the spooler service failed, and then restarts monitoring.
#pragma once

#include <functional>
#include <string>

#include "platform/types.h"
#include "shared/error/error_result.h"
#include "shared/os/sync.h"

namespace tollgate::spooler {

class SpoolObserver {
 public:
  // `quit` is the application's manual-reset quit event (not owned); `restart` clears the
  // monitored queues, loads them again and monitors them (it may raise). The wait before a
  // restart is i × `stepMs` for the i-th try (i up to 20).
  SpoolObserver(platform::HANDLE quit, std::function<void()> restart,
                platform::DWORD stepMs = kStepMs);
  SpoolObserver(const SpoolObserver&) = delete;
  SpoolObserver& operator=(const SpoolObserver&) = delete;
  ~SpoolObserver();

  // Starts the thread; SystemError when it cannot start.
  void Start();
  // Waits for the thread, which ends once the quit event is set.
  ErrorResultPtr Stop();

  static constexpr platform::DWORD kStepMs = 90000;
  static constexpr int kMaxSteps = 20;

 private:
  platform::DWORD Run();
  void Observe();
  // Reads every new record; false when the quit event ended a wait.
  bool ReadNew(platform::HANDLE log, const std::wstring& spoolerName);
  // The waits and the restart for one failure record; false when quit was set.
  bool Restart();

  platform::HANDLE quit_;
  std::function<void()> restart_;
  platform::DWORD stepMs_;
  os::Thread thread_;
};

}  // namespace tollgate::spooler
