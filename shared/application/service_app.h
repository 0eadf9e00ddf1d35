// The service framework of the supervisor: one own-process service per process, driven by the
// service control manager through the service main and the control handler below.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/services.h"
#include "platform/system.h"

class Error;

namespace tollgate {

class ServiceApp {
 public:
  ServiceApp();
  // Slots in this order: the query and the notification, the destructor, then the service's
  // operations.
  virtual bool Query() { return false; }
  virtual void Notify() {}
  virtual ~ServiceApp();
  ServiceApp(const ServiceApp&) = delete;
  ServiceApp& operator=(const ServiceApp&) = delete;

  // Writes the error to the event log under the service's name and reports the service
  // stopped with ERROR_SERVICE_SPECIFIC_ERROR and the error's Code; destroys the error.
  virtual void ReportError(Error* error);
  // The service's work, started once the stop event exists; it returns at once.
  virtual void Run(platform::DWORD argc, const std::vector<std::wstring>& argv);
  virtual void OnStop() {}
  virtual void OnShutdown() {}
  // Reports the current state again with a new wait hint.
  virtual void SetState(platform::DWORD waitHintMs);

  // Sets the state, the Win32 exit code and the wait hint and reports the record; the check
  // point is 0 when running or stopped, else the next value of the process-wide counter.
  void SetStatus(platform::DWORD state, platform::DWORD win32ExitCode, platform::DWORD waitHintMs);

  // The callbacks registered with the control manager; they act on the process's service.
  static void ServiceMain(const std::vector<std::wstring>& argv);
  static void ControlHandler(platform::DWORD control);

  // The process's service: set before the dispatcher starts.
  static ServiceApp* instance;

  const std::wstring& ServiceName() const { return serviceName_; }
  const std::wstring& EventSource() const {
    return eventSource_.empty() ? serviceName_ : eventSource_;
  }
  platform::HANDLE StopEvent() const { return stopEvent_; }
  bool Stopping() const { return stopping_; }
  const platform::ServiceStatus& Status() const { return status_; }
  const platform::OsVersionInfo& OsVersion() const { return osVersion_; }

 protected:
  std::wstring serviceName_;  // empty: an own-process service
  // The source of the service's own event log records (its start, its stop, the error that
  // stopped it); the service's name when empty. An own-process service names it here, as its
  // table's name is empty.
  std::wstring eventSource_;
  std::wstring displayName_;
  std::wstring description_;
  platform::ServiceStatus status_;
  platform::SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
  platform::HANDLE stopEvent_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::mutex statusLock_;  // the dispatcher thread and the service main both report
  platform::OsVersionInfo osVersion_;

 private:
  void Main(const std::vector<std::wstring>& argv);
  void Control(platform::DWORD control);
};

}  // namespace tollgate
