#include <algorithm>
#include <cwctype>
#include <thread>

#include "platform/sim/areas.h"

namespace platform::sim {
namespace {

std::wstring Upper(std::wstring s) {
  for (wchar_t& c : s) c = static_cast<wchar_t>(std::towupper(c));
  return s;
}

// The service whose process the calling thread runs, set by StartServiceW for the process
// body and by the dispatcher for each service main.
thread_local const std::wstring* processService = nullptr;

constexpr auto kStartTimeout = std::chrono::seconds(30);

}  // namespace

SimServices::~SimServices() {
  // Service processes still running use this object: wait for them to end.
  std::unique_lock<std::mutex> lock(lock_);
  changed_.wait(lock, [this] { return runningProcesses_ == 0; });
}

void SimServices::Create(const std::wstring& name, const ServiceConfig& config,
                         ServiceProcess process) {
  std::lock_guard<std::mutex> guard(lock_);
  Record& r = records_[Upper(name)];
  r.name = name;
  r.config = config;
  r.process = std::move(process);
  r.status = ServiceStatus{};
  r.status.dwServiceType = config.dwServiceType;
  r.status.dwCurrentState = SERVICE_STOPPED;
}

std::vector<ServiceStatus> SimServices::History(const std::wstring& name) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = records_.find(Upper(name));
  return it == records_.end() ? std::vector<ServiceStatus>{} : it->second.history;
}

SimServices::Record* SimServices::FindLocked(SC_HANDLE handle) {
  auto h = handles_.find(handle);
  if (h == handles_.end() || h->second.manager) return nullptr;
  auto r = records_.find(h->second.service);
  return r == records_.end() ? nullptr : &r->second;
}

bool SimServices::StartServiceCtrlDispatcherW(const std::vector<ServiceTableEntry>& table) {
  if (processService == nullptr) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, false);
  if (table.empty() || !table.front().serviceMain) return Fail(ERROR_INVALID_PARAMETER, false);
  const std::wstring key = Upper(*processService);
  std::vector<std::wstring> args;
  {
    std::lock_guard<std::mutex> guard(lock_);
    Record& r = records_.at(key);
    if (r.connected) return Fail(1056u, false);  // ERROR_SERVICE_ALREADY_RUNNING
    r.connected = true;
    r.connectedThisStart = true;
    r.mainEnded = false;
    args = r.startArgs;
    args.insert(args.begin(), r.name);
  }
  changed_.notify_all();

  // The service main runs on a thread of its own; controls are handled on this one.
  ServiceMainFunction serviceMain = table.front().serviceMain;
  std::thread mainThread([this, key, serviceMain, args] {
    processService = &records_.at(key).name;  // records are never erased
    serviceMain(args);
    {
      std::lock_guard<std::mutex> guard(lock_);
      records_.at(key).mainEnded = true;
    }
    changed_.notify_all();
  });

  std::unique_lock<std::mutex> lock(lock_);
  Record& r = records_.at(key);
  for (;;) {
    changed_.wait(lock, [&] {
      return !r.controls.empty() || (r.mainEnded && r.status.dwCurrentState == SERVICE_STOPPED) ||
             (r.mainEnded && !r.handler);
    });
    if (!r.controls.empty()) {
      DWORD control = r.controls.front();
      r.controls.pop_front();
      HandlerFunction handler = r.handler;
      lock.unlock();
      if (handler) handler(control);
      lock.lock();
      continue;
    }
    break;
  }
  r.controls.clear();
  lock.unlock();
  mainThread.join();
  return true;
}

SERVICE_STATUS_HANDLE SimServices::RegisterServiceCtrlHandlerW(const std::wstring& /*name*/,
                                                               HandlerFunction handler) {
  // An own-process service ignores the name: the handler belongs to this process's service.
  if (processService == nullptr) {
    return Fail<SERVICE_STATUS_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  }
  std::lock_guard<std::mutex> guard(lock_);
  auto it = records_.find(Upper(*processService));
  if (it == records_.end() || !it->second.connected) {
    return Fail<SERVICE_STATUS_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  }
  it->second.handler = std::move(handler);
  return &it->second;
}

bool SimServices::SetServiceStatus(SERVICE_STATUS_HANDLE handle, const ServiceStatus& status) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    Record* record = nullptr;
    for (auto& [key, r] : records_) {
      if (&r == handle) record = &r;
    }
    if (record == nullptr || !record->connected) return Fail(ERROR_INVALID_HANDLE, false);
    if (status.dwCurrentState < SERVICE_STOPPED || status.dwCurrentState > SERVICE_PAUSED) {
      return Fail(13u, false);  // ERROR_INVALID_DATA
    }
    record->status = status;
    record->history.push_back(status);
  }
  changed_.notify_all();
  return true;
}

SC_HANDLE SimServices::OpenSCManagerW(DWORD /*desiredAccess*/) {
  std::lock_guard<std::mutex> guard(lock_);
  void* h = reinterpret_cast<void*>(nextHandle_ += 4);
  handles_[h] = ScHandle{true, L""};
  return h;
}

SC_HANDLE SimServices::OpenServiceW(SC_HANDLE manager, const std::wstring& name,
                                    DWORD /*desiredAccess*/) {
  std::lock_guard<std::mutex> guard(lock_);
  auto m = handles_.find(manager);
  if (m == handles_.end() || !m->second.manager)
    return Fail<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
  std::wstring key = Upper(name);
  if (records_.find(key) == records_.end()) {
    return Fail<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  }
  void* h = reinterpret_cast<void*>(nextHandle_ += 4);
  handles_[h] = ScHandle{false, key};
  return h;
}

bool SimServices::QueryServiceStatus(SC_HANDLE service, ServiceStatus* status) {
  std::lock_guard<std::mutex> guard(lock_);
  Record* r = FindLocked(service);
  if (r == nullptr || status == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  *status = r->status;
  return true;
}

bool SimServices::QueryServiceConfigW(SC_HANDLE service, ServiceConfig* config) {
  std::lock_guard<std::mutex> guard(lock_);
  Record* r = FindLocked(service);
  if (r == nullptr || config == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  *config = r->config;
  return true;
}

bool SimServices::GetServiceDisplayNameW(SC_HANDLE manager, const std::wstring& name,
                                         std::wstring* displayName) {
  std::lock_guard<std::mutex> guard(lock_);
  auto m = handles_.find(manager);
  if (m == handles_.end() || !m->second.manager) return Fail(ERROR_INVALID_HANDLE, false);
  auto r = records_.find(Upper(name));
  if (r == records_.end()) return Fail(ERROR_SERVICE_DOES_NOT_EXIST, false);
  if (displayName != nullptr) {
    *displayName =
        r->second.config.lpDisplayName.empty() ? r->second.name : r->second.config.lpDisplayName;
  }
  return true;
}

void SimServices::RunProcess(const std::wstring& key) {
  std::vector<std::wstring> argv;
  ServiceProcess process;
  {
    std::lock_guard<std::mutex> guard(lock_);
    Record& r = records_.at(key);
    argv = SplitCommandLine(r.config.lpBinaryPathName);
    process = r.process;
  }
  processService = &records_.at(key).name;
  process(argv);
  processService = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    Record& r = records_.at(key);
    r.processRunning = false;
    r.connected = false;
    r.handler = nullptr;
    r.status.dwCurrentState = SERVICE_STOPPED;
    r.status.dwControlsAccepted = 0;
    --runningProcesses_;
  }
  changed_.notify_all();
}

bool SimServices::StartServiceW(SC_HANDLE service, const std::vector<std::wstring>& args) {
  std::unique_lock<std::mutex> lock(lock_);
  Record* r = FindLocked(service);
  if (r == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  if (r->config.dwStartType == SERVICE_DISABLED)
    return Fail(1058u, false);  // ERROR_SERVICE_DISABLED
  if (r->processRunning || r->status.dwCurrentState != SERVICE_STOPPED) {
    return Fail(ERROR_SERVICE_ALREADY_RUNNING, false);
  }
  if (!r->process) return Fail(ERROR_FILE_NOT_FOUND, false);
  std::wstring key = Upper(r->name);
  r->processRunning = true;
  r->connected = false;
  r->connectedThisStart = false;
  r->startArgs = args;
  r->history.clear();
  r->status = ServiceStatus{};
  r->status.dwServiceType = r->config.dwServiceType;
  r->status.dwCurrentState = SERVICE_START_PENDING;
  ++runningProcesses_;
  std::thread([this, key] { RunProcess(key); }).detach();

  // StartServiceW returns once the process's dispatcher has connected (a service that
  // connected and already stopped again has started all the same).
  bool settled = changed_.wait_for(lock, kStartTimeout,
                                   [&] { return r->connectedThisStart || !r->processRunning; });
  if (!settled || !r->connectedThisStart) return Fail(ERROR_SERVICE_REQUEST_TIMEOUT, false);
  return true;
}

bool SimServices::ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    Record* r = FindLocked(service);
    if (r == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
    if (status != nullptr) *status = r->status;
    if (!r->connected || r->status.dwCurrentState == SERVICE_STOPPED) {
      return Fail(ERROR_SERVICE_NOT_ACTIVE, false);
    }
    DWORD needed = 0;
    switch (control) {
      case SERVICE_CONTROL_STOP:
        needed = SERVICE_ACCEPT_STOP;
        break;
      case SERVICE_CONTROL_PAUSE:
      case SERVICE_CONTROL_CONTINUE:
        needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
        break;
      case SERVICE_CONTROL_INTERROGATE:
        break;
      default:
        if (control < 128 || control > 255) return Fail(ERROR_INVALID_SERVICE_CONTROL, false);
    }
    if (needed != 0 && (r->status.dwControlsAccepted & needed) == 0) {
      return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, false);
    }
    r->controls.push_back(control);
  }
  changed_.notify_all();
  return true;
}

bool SimServices::CloseServiceHandle(SC_HANDLE handle) {
  std::lock_guard<std::mutex> guard(lock_);
  if (handles_.erase(handle) == 0) return Fail(ERROR_INVALID_HANDLE, false);
  return true;
}

}  // namespace platform::sim
