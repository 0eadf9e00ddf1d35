#include "shared/application/service_host.h"

#include "platform/platform.h"
#include "shared/error/file_log.h"

namespace tollgate {
namespace {

// One service per process. The record is not locked: reports come from one thread at a
// time by construction (start-pending and running before stop is accepted, stop-pending
// from the handler, stopped after the stop wait).
struct HostState {
  platform::ServiceStatus status;
  platform::SERVICE_STATUS_HANDLE statusHandle = nullptr;
  platform::HANDLE stopEvent = nullptr;
  ServiceApplication* application = nullptr;
  std::uint32_t startWaitHint = 0;
  std::uint32_t stopWaitHint = 0;
};

HostState host;

std::wstring LastErrorText() {
  return WindowsErrorResult()->Text();
}

}  // namespace

namespace service_host {

void SetStatus(std::uint32_t state, std::uint32_t waitHintMs) {
  host.status.dwCurrentState = state;
  host.status.dwCheckPoint = 0;
  host.status.dwWaitHint = waitHintMs;
  host.status.dwControlsAccepted =
      state == platform::SERVICE_START_PENDING ? 0 : platform::SERVICE_ACCEPT_STOP;
  if (!platform::services().SetServiceStatus(host.statusHandle, host.status)) {
    Log(L"Error setting service status: " + LastErrorText());
  }
}

void ControlHandler(std::uint32_t control) {
  if (control != platform::SERVICE_CONTROL_STOP) return;
  SetStatus(platform::SERVICE_STOP_PENDING, host.stopWaitHint);
  if (!platform::kernel().SetEvent(host.stopEvent)) {
    Log(L"Error setting service status: " + LastErrorText());
  }
}

void ServiceMain() {
  auto& kernel = platform::kernel();
  host.statusHandle = platform::services().RegisterServiceCtrlHandlerW(L"", ControlHandler);
  if (host.statusHandle == nullptr) {
    Log(L"Error registering service control handler: " + LastErrorText());
    return;
  }
  host.status = platform::ServiceStatus{};
  host.status.dwServiceType = platform::SERVICE_WIN32_OWN_PROCESS;
  SetStatus(platform::SERVICE_START_PENDING, host.startWaitHint);

  host.stopEvent = kernel.CreateEventW(true, false);
  if (host.stopEvent == nullptr) {
    Log(L"Error creating stop event: " + LastErrorText());
  } else if (!host.application->Start()) {
    Log(L"Error starting the application.");
  } else {
    SetStatus(platform::SERVICE_RUNNING, 0);
    if (kernel.WaitForSingleObject(host.stopEvent, platform::INFINITE) == platform::WAIT_FAILED) {
      Log(L"Error waiting for service stop:" + LastErrorText());
    }
    host.application->Stop();
    Log(L"Service stopped.");
  }
  SetStatus(platform::SERVICE_STOPPED, 0);
  if (host.stopEvent != nullptr) {
    kernel.CloseHandle(host.stopEvent);
    host.stopEvent = nullptr;
  }
}

}  // namespace service_host

ErrorResultPtr RunService(ServiceApplication& application, std::uint32_t startWaitHintMs,
                          std::uint32_t stopWaitHintMs) {
  host.application = &application;
  host.startWaitHint = startWaitHintMs;
  host.stopWaitHint = stopWaitHintMs;
  // An own-process service: the name in the table is not used for lookup.
  std::vector<platform::ServiceTableEntry> table{
      {L"", [](const std::vector<std::wstring>&) { service_host::ServiceMain(); }}};
  ErrorResultPtr error;
  if (!platform::services().StartServiceCtrlDispatcherW(table)) error = WindowsErrorResult();
  host.application = nullptr;
  return error;
}

}  // namespace tollgate
