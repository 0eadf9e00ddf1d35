#include "shared/application/service_app.h"

#include "platform/platform.h"
#include "shared/application/event_log.h"
#include "shared/error/errors.h"

namespace tollgate {
namespace {

// The check point of pending states: counts up for the life of the process.
std::atomic<platform::DWORD> checkPoints{0};

constexpr platform::DWORD kEventStarted = 104;
constexpr platform::DWORD kEventStopped = 103;

}  // namespace

ServiceApp* ServiceApp::instance = nullptr;

ServiceApp::ServiceApp() {
  status_.dwServiceType = platform::SERVICE_WIN32_OWN_PROCESS;
  status_.dwCurrentState = platform::SERVICE_START_PENDING;
  status_.dwControlsAccepted = platform::SERVICE_ACCEPT_STOP | platform::SERVICE_ACCEPT_SHUTDOWN;
  platform::system().GetVersionExW(&osVersion_);
}

ServiceApp::~ServiceApp() {
  if (stopEvent_ != nullptr) platform::kernel().CloseHandle(stopEvent_);
}

void ServiceApp::Run(platform::DWORD /*argc*/, const std::vector<std::wstring>& /*argv*/) {}

void ServiceApp::SetState(platform::DWORD waitHintMs) {
  platform::DWORD state, exitCode;
  {
    std::lock_guard<std::mutex> guard(statusLock_);
    state = status_.dwCurrentState;
    exitCode = status_.dwWin32ExitCode;
  }
  SetStatus(state, exitCode, waitHintMs);
}

void ServiceApp::SetStatus(platform::DWORD state, platform::DWORD win32ExitCode,
                           platform::DWORD waitHintMs) {
  std::lock_guard<std::mutex> guard(statusLock_);
  status_.dwCurrentState = state;
  status_.dwWin32ExitCode = win32ExitCode;
  status_.dwWaitHint = waitHintMs;
  status_.dwCheckPoint =
      state == platform::SERVICE_RUNNING || state == platform::SERVICE_STOPPED ? 0 : ++checkPoints;
  platform::services().SetServiceStatus(statusHandle_, status_);
}

void ServiceApp::ReportError(Error* error) {
  EventLog(EventSource()).Log(*error);
  {
    std::lock_guard<std::mutex> guard(statusLock_);
    status_.dwServiceSpecificExitCode = static_cast<platform::DWORD>(error->Code());
  }
  SetStatus(platform::SERVICE_STOPPED, platform::ERROR_SERVICE_SPECIFIC_ERROR, 0);
  delete error;
}

void ServiceApp::ServiceMain(const std::vector<std::wstring>& argv) {
  if (instance != nullptr) instance->Main(argv);
}

void ServiceApp::ControlHandler(platform::DWORD control) {
  if (instance != nullptr) instance->Control(control);
}

void ServiceApp::Main(const std::vector<std::wstring>& argv) {
  statusHandle_ = platform::services().RegisterServiceCtrlHandlerW(serviceName_, &ControlHandler);
  // Without a status handle the service cannot report any state.
  if (statusHandle_ == nullptr) return;
  SetStatus(platform::SERVICE_START_PENDING, 0, 0);
  try {
    stopEvent_ = platform::kernel().CreateEventW(true, false);
    if (stopEvent_ == nullptr) throw new SystemError(L"M55");
    Run(static_cast<platform::DWORD>(argv.size()), argv);
    SetStatus(platform::SERVICE_RUNNING, 0, 0);
    EventLog(EventSource()).Log(kEventStarted, platform::EVENTLOG_SUCCESS);
  } catch (Error* error) {
    ReportError(error);
  } catch (...) {
    ReportError(new UnknownError(L"M56"));
  }
}

void ServiceApp::Control(platform::DWORD control) {
  try {
    switch (control) {
      case platform::SERVICE_CONTROL_STOP:
        SetStatus(platform::SERVICE_STOP_PENDING, 0, 0);
        stopping_ = true;
        if (stopEvent_ != nullptr) platform::kernel().SetEvent(stopEvent_);
        OnStop();
        SetStatus(platform::SERVICE_STOPPED, 0, 0);
        EventLog(EventSource()).Log(kEventStopped, platform::EVENTLOG_SUCCESS);
        break;
      case platform::SERVICE_CONTROL_SHUTDOWN:
        OnShutdown();
        SetStatus(platform::SERVICE_STOPPED, 0, 0);
        break;
      default:
        break;
    }
  } catch (Error* error) {
    ReportError(error);
  } catch (...) {
    ReportError(new UnknownError(L"M57"));
  }
}

}  // namespace tollgate
