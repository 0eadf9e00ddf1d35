#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cwctype>
#include <thread>

#include "platform/sim/areas.h"

extern char** environ;

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
constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";

std::vector<std::uint8_t> Text(const std::wstring& text) {
  std::vector<std::uint8_t> data = Utf16LeFromWide(text);
  data.insert(data.end(), {0, 0});
  return data;
}

std::vector<std::uint8_t> Dword(DWORD v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

bool ReadText(Registry& registry, HKEY key, const std::wstring& name, std::wstring* text) {
  DWORD type = 0, size = 0;
  if (registry.RegQueryValueExW(key, name, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  std::vector<std::uint8_t> data(size);
  if (registry.RegQueryValueExW(key, name, &type, data.data(), &size) != ERROR_SUCCESS) {
    return false;
  }
  *text = WideFromUtf16Le(data.data(), size);
  while (!text->empty() && text->back() == L'\0') text->pop_back();
  return true;
}

bool ReadDword(Registry& registry, HKEY key, const std::wstring& name, DWORD* value) {
  DWORD type = 0, size = 4;
  std::uint8_t data[4];
  if (registry.RegQueryValueExW(key, name, &type, data, &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != 4) {
    return false;
  }
  *value = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
  return true;
}

bool IsHostFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The host program of an image path's first word: a path as it is, a bare name beside the
// machine's own program or on PATH; "x.exe" is the program "x" when only that exists.
std::string ResolveProgram(const std::wstring& word) {
  std::string name = Machine::HostPath(word);
  std::vector<std::string> candidates{name};
  if (name.size() > 4) {
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (tail == ".exe") candidates.push_back(name.substr(0, name.size() - 4));
  }
  if (name.find('/') != std::string::npos) {
    for (const auto& c : candidates) {
      if (IsHostFile(c)) return c;
    }
    return "";
  }
  std::vector<std::string> folders;
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) folders.push_back(std::filesystem::path(std::string(self, n)).parent_path().string());
  if (const char* path = std::getenv("PATH")) {
    std::string all(path);
    std::size_t at = 0;
    while (at <= all.size()) {
      std::size_t end = all.find(':', at);
      if (end == std::string::npos) end = all.size();
      if (end > at) folders.push_back(all.substr(at, end - at));
      at = end + 1;
    }
  }
  for (const auto& folder : folders) {
    for (const auto& c : candidates) {
      std::string full = folder + "/" + c;
      if (IsHostFile(full)) return full;
    }
  }
  return "";
}

}  // namespace

SimServices::SimServices(Kernel& kernel, std::filesystem::path folder)
    : kernel_(kernel), folder_(std::move(folder)) {}

SimServices::~SimServices() {
  // Service processes still running use this object: wait for them to end.
  std::unique_lock<std::mutex> lock(lock_);
  closing_ = true;
  for (auto& [key, r] : records_) {
    if (r.kind == Kind::External && r.pid > 0) ::kill(r.pid, SIGKILL);
  }
  changed_.wait(lock, [this] { return runningProcesses_ == 0 && watchers_ == 0; });
}

void SimServices::Attach(Registry* registry, SimEventLog* events) {
  std::lock_guard<std::mutex> guard(lock_);
  registry_ = registry;
  events_ = events;
}

void SimServices::CreateBuiltin(const std::wstring& name, const ServiceConfig& config,
                                Builtin builtin) {
  std::lock_guard<std::mutex> guard(lock_);
  Record& r = records_[Upper(name)];
  r.name = name;
  r.config = config;
  r.kind = Kind::Builtin;
  r.builtin = std::move(builtin);
  r.status = ServiceStatus{};
  r.status.dwServiceType = config.dwServiceType;
  r.status.dwCurrentState = SERVICE_STOPPED;
}

void SimServices::MarkRunning(const std::wstring& name) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = records_.find(Upper(name));
  if (it == records_.end()) return;
  it->second.status.dwCurrentState = SERVICE_RUNNING;
  it->second.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
}

void SimServices::LoadFromRegistry() {
  Registry* registry = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    registry = registry_;
  }
  if (registry == nullptr) return;
  HKEY services = nullptr;
  if (registry->RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesKey, KEY_READ, &services) != 0) return;
  std::wstring name;
  for (DWORD i = 0; registry->RegEnumKeyExW(services, i, &name) == ERROR_SUCCESS; ++i) {
    HKEY key = nullptr;
    if (registry->RegOpenKeyExW(services, name, KEY_READ, &key) != ERROR_SUCCESS) continue;
    ServiceConfig config;
    bool hasImage = ReadText(*registry, key, L"ImagePath", &config.lpBinaryPathName);
    if (!ReadText(*registry, key, L"DisplayName", &config.lpDisplayName)) {
      config.lpDisplayName = name;
    }
    ReadDword(*registry, key, L"Start", &config.dwStartType);
    ReadDword(*registry, key, L"Type", &config.dwServiceType);
    registry->RegCloseKey(key);
    std::lock_guard<std::mutex> guard(lock_);
    auto it = records_.find(Upper(name));
    if (it != records_.end()) {
      if (it->second.kind == Kind::External) it->second.config = config;
      continue;
    }
    if (!hasImage) continue;
    Record& r = records_[Upper(name)];
    r.name = name;
    r.config = config;
    r.kind = Kind::External;
    r.status.dwServiceType = config.dwServiceType;
    r.status.dwCurrentState = SERVICE_STOPPED;
  }
  registry->RegCloseKey(services);
}

std::vector<std::wstring> SimServices::StartAutomatic() {
  std::vector<std::wstring> names;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [key, r] : records_) {
      if (r.config.dwStartType == SERVICE_AUTO_START && !r.deleted) names.push_back(r.name);
    }
  }
  // The spooler first, as Windows starts it before the services that depend on it.
  std::stable_partition(names.begin(), names.end(),
                        [](const std::wstring& n) { return Upper(n) == L"SPOOLER"; });
  std::vector<std::wstring> failed;
  SC_HANDLE scm = OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
  for (const auto& name : names) {
    SC_HANDLE svc = OpenServiceW(scm, name, SERVICE_ALL_ACCESS);
    if (svc == nullptr || !StartServiceW(svc, {})) failed.push_back(name);
    if (svc != nullptr) CloseServiceHandle(svc);
  }
  CloseServiceHandle(scm);
  return failed;
}

void SimServices::StopAll(DWORD waitMs) {
  std::vector<std::wstring> names;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [key, r] : records_) {
      if (r.status.dwCurrentState != SERVICE_STOPPED && Upper(r.name) != L"SPOOLER") {
        names.push_back(key);
      }
    }
  }
  names.push_back(L"SPOOLER");  // the spooler last
  SC_HANDLE scm = OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
  for (const auto& name : names) {
    SC_HANDLE svc = OpenServiceW(scm, name, SERVICE_ALL_ACCESS);
    if (svc == nullptr) continue;
    ServiceStatus status;
    ControlService(svc, SERVICE_CONTROL_STOP, &status);
    std::unique_lock<std::mutex> lock(lock_);
    auto it = records_.find(name);
    if (it != records_.end()) {
      Record& r = it->second;
      changed_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] {
        return r.status.dwCurrentState == SERVICE_STOPPED && !r.processRunning;
      });
      if (r.kind == Kind::External && r.pid > 0) ::kill(r.pid, SIGKILL);
    }
    lock.unlock();
    CloseServiceHandle(svc);
  }
  CloseServiceHandle(scm);
}

std::wstring SimServices::DisplayNameLocked(const Record& r) const {
  return r.config.lpDisplayName.empty() ? r.name : r.config.lpDisplayName;
}

void SimServices::WriteEvent(std::uint16_t type, DWORD id,
                             const std::vector<std::wstring>& strings) {
  if (events_ != nullptr) events_->WriteSystem(L"Service Control Manager", type, id, strings);
}

void SimServices::Transition(Record& r, DWORD previous) {
  DWORD now = r.status.dwCurrentState;
  if (now == previous || r.kind == Kind::InProcess) return;
  if (now == SERVICE_RUNNING || now == SERVICE_STOPPED) {
    WriteEvent(EVENTLOG_INFORMATION_TYPE, 7036,
               {DisplayNameLocked(r), now == SERVICE_RUNNING ? L"running" : L"stopped"});
  }
}

bool SimServices::SpawnLocked(Record& r, const std::wstring& key) {
  std::vector<std::wstring> words = SplitCommandLine(r.config.lpBinaryPathName);
  if (words.empty()) return Fail(ERROR_FILE_NOT_FOUND, false);
  std::string program = ResolveProgram(words[0]);
  if (program.empty()) return Fail(ERROR_FILE_NOT_FOUND, false);
  std::vector<std::string> args{program};
  for (std::size_t k = 1; k < words.size(); ++k) args.push_back(Utf8FromWide(words[k]));
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    if (entry.rfind("TOLLGATE_MACHINE=", 0) == 0 || entry.rfind("TOLLGATE_SERVICE=", 0) == 0) {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("TOLLGATE_MACHINE=" + folder_.string());
  env.push_back("TOLLGATE_SERVICE=" + Utf8FromWide(r.name));
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data());
  if (rc != 0) return Fail(ErrorFromErrno(rc), false);
  r.pid = pid;
  std::uint64_t generation = r.generation;
  ++watchers_;
  std::thread([this, key, generation, pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    DWORD code = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 0xC000013Au;
    ProcessEnded(key, generation, code);
    std::lock_guard<std::mutex> guard(lock_);
    --watchers_;
    changed_.notify_all();
  }).detach();
  return true;
}

void SimServices::ProcessEnded(const std::wstring& key, std::uint64_t generation, DWORD exitCode) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = records_.find(key);
  if (it == records_.end() || it->second.generation != generation) return;
  Record& r = it->second;
  DWORD previous = r.status.dwCurrentState;
  bool connected = r.connectedThisStart;
  r.processRunning = false;
  r.connected = false;
  r.sink = nullptr;
  r.pid = 0;
  r.status.dwCurrentState = SERVICE_STOPPED;
  r.status.dwControlsAccepted = 0;
  r.status.dwCheckPoint = 0;
  r.status.dwWaitHint = 0;
  if (previous != SERVICE_STOPPED && !closing_) {
    if (connected) {
      // The process ended without reporting that it stopped: with a recovery delay the
      // service is started again after it (7031), else it stays stopped (7034).
      ++r.failures;
      r.status.dwWin32ExitCode = 1067;  // ERROR_PROCESS_ABORTED
      DWORD delay = 0;
      bool recovers = false;
      if (registry_ != nullptr) {
        HKEY serviceKey = nullptr;
        if (registry_->RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                     std::wstring(kServicesKey) + L"\\" + r.name, KEY_READ,
                                     &serviceKey) == ERROR_SUCCESS) {
          recovers = ReadDword(*registry_, serviceKey, L"RecoveryDelay", &delay);
          registry_->RegCloseKey(serviceKey);
        }
      }
      if (!recovers || r.deleted) {
        WriteEvent(EVENTLOG_ERROR_TYPE, 7034, {DisplayNameLocked(r), std::to_wstring(r.failures)});
      } else {
        delay = std::min<DWORD>(delay, 600000);
        WriteEvent(EVENTLOG_ERROR_TYPE, 7031,
                   {DisplayNameLocked(r), std::to_wstring(r.failures), std::to_wstring(delay),
                    L"Restart the service"});
        std::wstring name = r.name;
        ++watchers_;
        std::thread([this, key, name, generation, delay] {
          {
            std::unique_lock<std::mutex> wait(lock_);
            changed_.wait_for(wait, std::chrono::milliseconds(delay), [this] { return closing_; });
            auto found = records_.find(key);
            bool restart = !closing_ && found != records_.end() &&
                           found->second.generation == generation &&
                           found->second.status.dwCurrentState == SERVICE_STOPPED;
            if (!restart) {
              --watchers_;
              changed_.notify_all();
              return;
            }
          }
          SC_HANDLE scm = OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
          SC_HANDLE svc = OpenServiceW(scm, name, SERVICE_ALL_ACCESS);
          if (svc != nullptr) StartServiceW(svc, {});
          CloseServiceHandle(svc);
          CloseServiceHandle(scm);
          std::lock_guard<std::mutex> done(lock_);
          --watchers_;
          changed_.notify_all();
        }).detach();
      }
    } else {
      WriteEvent(EVENTLOG_ERROR_TYPE, 7000,
                 {DisplayNameLocked(r),
                  L"The service did not respond to the start or control "
                  L"request in a timely fashion."});
    }
  }
  (void)exitCode;
  if (r.deleted) {
    records_.erase(it);
  }
  changed_.notify_all();
}

bool SimServices::ConnectDispatcher(const std::wstring& name, ControlSink sink,
                                    std::vector<std::wstring>* args) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = records_.find(Upper(name));
  if (it == records_.end()) return Fail(ERROR_SERVICE_DOES_NOT_EXIST, false);
  Record& r = it->second;
  if (r.kind != Kind::External || !r.processRunning) {
    return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, false);
  }
  if (r.connected) return Fail(ERROR_SERVICE_ALREADY_RUNNING, false);
  r.connected = true;
  r.connectedThisStart = true;
  r.sink = std::move(sink);
  *args = r.startArgs;
  args->insert(args->begin(), r.name);
  changed_.notify_all();
  return true;
}

void SimServices::DisconnectDispatcher(const std::wstring& name) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = records_.find(Upper(name));
  if (it == records_.end()) return;
  it->second.connected = false;
  it->second.sink = nullptr;
  changed_.notify_all();
}

bool SimServices::ReportStatus(const std::wstring& name, const ServiceStatus& status) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = records_.find(Upper(name));
  if (it == records_.end() || !it->second.connected) return Fail(ERROR_INVALID_HANDLE, false);
  if (status.dwCurrentState < SERVICE_STOPPED || status.dwCurrentState > SERVICE_PAUSED) {
    return Fail(13u, false);  // ERROR_INVALID_DATA
  }
  Record& r = it->second;
  DWORD previous = r.status.dwCurrentState;
  r.status = status;
  r.history.push_back(status);
  Transition(r, previous);
  changed_.notify_all();
  return true;
}

bool SimServices::Crash(const std::wstring& name) {
  std::unique_lock<std::mutex> lock(lock_);
  auto it = records_.find(Upper(name));
  if (it == records_.end()) return Fail(ERROR_SERVICE_DOES_NOT_EXIST, false);
  Record& r = it->second;
  if (r.status.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE, false);
  if (r.kind == Kind::External) {
    if (r.pid <= 0) return Fail(ERROR_SERVICE_NOT_ACTIVE, false);
    ::kill(r.pid, SIGKILL);  // the end of the process writes the record
    return true;
  }
  if (r.kind != Kind::Builtin) return Fail(ERROR_INVALID_SERVICE_CONTROL, false);
  std::function<void()> crash = r.builtin.crash;
  lock.unlock();
  if (crash) crash();
  lock.lock();
  r.status.dwCurrentState = SERVICE_STOPPED;
  r.status.dwControlsAccepted = 0;
  r.status.dwWin32ExitCode = 1067;
  ++r.failures;
  DWORD delay = r.builtin.restartDelayMs;
  std::uint64_t generation = ++r.generation;
  if (registry_ != nullptr) {
    HKEY key = nullptr;
    if (registry_->RegOpenKeyExW(HKEY_LOCAL_MACHINE, std::wstring(kServicesKey) + L"\\" + r.name,
                                 KEY_READ, &key) == ERROR_SUCCESS) {
      ReadDword(*registry_, key, L"RecoveryDelay", &delay);
      registry_->RegCloseKey(key);
    }
  }
  delay = std::min<DWORD>(delay, 600000);
  WriteEvent(EVENTLOG_ERROR_TYPE, 7031,
             {DisplayNameLocked(r), std::to_wstring(r.failures), std::to_wstring(delay),
              L"Restart the service"});
  std::wstring key = it->first;
  ++watchers_;
  std::thread([this, key, generation, delay] {
    std::unique_lock<std::mutex> wait(lock_);
    changed_.wait_for(wait, std::chrono::milliseconds(delay), [this] { return closing_; });
    auto found = records_.find(key);
    bool restart = !closing_ && found != records_.end() && found->second.generation == generation &&
                   found->second.status.dwCurrentState == SERVICE_STOPPED;
    if (restart) {
      Record& rec = found->second;
      rec.status.dwCurrentState = SERVICE_START_PENDING;
      rec.status.dwWin32ExitCode = 0;
      std::function<void()> start = rec.builtin.start;
      wait.unlock();
      if (start) start();
      wait.lock();
      rec.status.dwCurrentState = SERVICE_RUNNING;
      rec.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
      Transition(rec, SERVICE_STOPPED);
    }
    --watchers_;
    changed_.notify_all();
  }).detach();
  return true;
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
  auto found = records_.find(key);
  if (found == records_.end()) return Fail<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  if (found->second.deleted) return Fail<SC_HANDLE>(ERROR_SERVICE_MARKED_FOR_DELETE, nullptr);
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
  if (displayName != nullptr) *displayName = DisplayNameLocked(r->second);
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
  if (r->deleted) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, false);
  std::wstring key = Upper(r->name);
  if (r->kind == Kind::Builtin) {
    ++r->generation;
    r->status = ServiceStatus{};
    r->status.dwServiceType = r->config.dwServiceType;
    r->status.dwCurrentState = SERVICE_START_PENDING;
    std::function<void()> start = r->builtin.start;
    lock.unlock();
    if (start) start();
    lock.lock();
    r = &records_.at(key);
    r->status.dwCurrentState = SERVICE_RUNNING;
    r->status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    Transition(*r, SERVICE_STOPPED);
    changed_.notify_all();
    return true;
  }
  if (r->kind == Kind::External) {
    ++r->generation;
    r->connected = false;
    r->connectedThisStart = false;
    r->startArgs = args;
    r->history.clear();
    r->status = ServiceStatus{};
    r->status.dwServiceType = r->config.dwServiceType;
    r->status.dwCurrentState = SERVICE_START_PENDING;
    r->processRunning = true;
    if (!SpawnLocked(*r, key)) {
      r->processRunning = false;
      r->status.dwCurrentState = SERVICE_STOPPED;
      return false;
    }
    std::uint64_t generation = r->generation;
    bool settled = changed_.wait_for(lock, kStartTimeout, [&] {
      auto it = records_.find(key);
      return it == records_.end() || it->second.generation != generation ||
             it->second.connectedThisStart || !it->second.processRunning;
    });
    auto it = records_.find(key);
    if (!settled || it == records_.end() || !it->second.connectedThisStart) {
      if (it != records_.end() && it->second.pid > 0 && it->second.generation == generation) {
        ::kill(it->second.pid, SIGKILL);
      }
      return Fail(ERROR_SERVICE_REQUEST_TIMEOUT, false);
    }
    return true;
  }
  if (!r->process) return Fail(ERROR_FILE_NOT_FOUND, false);
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
    bool active =
        r->kind == Kind::Builtin ? r->status.dwCurrentState == SERVICE_RUNNING : r->connected;
    if (!active || r->status.dwCurrentState == SERVICE_STOPPED) {
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
    if (r->kind == Kind::External) {
      if (control != SERVICE_CONTROL_INTERROGATE && r->sink && !r->sink(control)) {
        return Fail(ERROR_SERVICE_REQUEST_TIMEOUT, false);
      }
      return true;
    }
    if (r->kind != Kind::Builtin) {
      r->controls.push_back(control);
    }
  }
  if (control == SERVICE_CONTROL_STOP) {
    std::unique_lock<std::mutex> lock(lock_);
    Record* r = FindLocked(service);
    if (r != nullptr && r->kind == Kind::Builtin) {
      r->status.dwCurrentState = SERVICE_STOP_PENDING;
      std::function<void()> stop = r->builtin.stop;
      std::wstring key = Upper(r->name);
      lock.unlock();
      if (stop) stop();
      lock.lock();
      Record& again = records_.at(key);
      again.status.dwCurrentState = SERVICE_STOPPED;
      again.status.dwControlsAccepted = 0;
      ++again.generation;
      Transition(again, SERVICE_RUNNING);
      if (status != nullptr) *status = again.status;
    }
  }
  changed_.notify_all();
  return true;
}

bool SimServices::QueryServiceStatusEx(SC_HANDLE service, ServiceStatusProcess* status) {
  std::lock_guard<std::mutex> guard(lock_);
  Record* r = FindLocked(service);
  if (r == nullptr || status == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  status->status = r->status;
  status->dwProcessId = r->kind == Kind::External ? static_cast<DWORD>(r->pid)
                        : r->kind == Kind::Builtin && r->status.dwCurrentState != SERVICE_STOPPED
                            ? static_cast<DWORD>(::getpid())
                            : 0;
  status->dwServiceFlags = 0;
  return true;
}

void SimServices::SaveConfig(const std::wstring& name, const ServiceConfig& config) {
  if (registry_ == nullptr) return;
  HKEY key = nullptr;
  if (registry_->RegCreateKeyExW(HKEY_LOCAL_MACHINE, std::wstring(kServicesKey) + L"\\" + name,
                                 KEY_ALL_ACCESS, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  auto set = [&](const wchar_t* value, DWORD type, const std::vector<std::uint8_t>& data) {
    registry_->RegSetValueExW(key, value, type, data.data(), static_cast<DWORD>(data.size()));
  };
  set(L"Type", REG_DWORD, Dword(config.dwServiceType));
  set(L"Start", REG_DWORD, Dword(config.dwStartType));
  set(L"ErrorControl", REG_DWORD, Dword(1));
  set(L"ImagePath", REG_EXPAND_SZ, Text(config.lpBinaryPathName));
  set(L"DisplayName", REG_SZ, Text(config.lpDisplayName.empty() ? name : config.lpDisplayName));
  set(L"ObjectName", REG_SZ, Text(L"LocalSystem"));
  registry_->RegCloseKey(key);
}

SC_HANDLE SimServices::CreateServiceW(SC_HANDLE manager, const std::wstring& name,
                                      const ServiceConfig& config) {
  std::lock_guard<std::mutex> guard(lock_);
  auto m = handles_.find(manager);
  if (m == handles_.end() || !m->second.manager) {
    return Fail<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
  }
  if (name.empty() || name.size() > 256 || name.find_first_of(L"/\\") != std::wstring::npos) {
    return Fail<SC_HANDLE>(ERROR_INVALID_SERVICE_NAME, nullptr);
  }
  if (config.lpBinaryPathName.empty() || config.dwStartType > SERVICE_DISABLED) {
    return Fail<SC_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  std::wstring key = Upper(name);
  auto found = records_.find(key);
  if (found != records_.end()) {
    return Fail<SC_HANDLE>(
        found->second.deleted ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS, nullptr);
  }
  Record& r = records_[key];
  r.name = name;
  r.config = config;
  if (r.config.lpDisplayName.empty()) r.config.lpDisplayName = name;
  r.kind = Kind::External;
  r.status.dwServiceType = config.dwServiceType;
  r.status.dwCurrentState = SERVICE_STOPPED;
  SaveConfig(name, r.config);
  void* h = reinterpret_cast<void*>(nextHandle_ += 4);
  handles_[h] = ScHandle{false, key};
  return h;
}

bool SimServices::ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                                       const std::wstring& binaryPathName,
                                       const std::wstring& displayName) {
  std::lock_guard<std::mutex> guard(lock_);
  Record* r = FindLocked(service);
  if (r == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  if (startType != SERVICE_NO_CHANGE && startType > SERVICE_DISABLED) {
    return Fail(ERROR_INVALID_PARAMETER, false);
  }
  if (serviceType != SERVICE_NO_CHANGE) r->config.dwServiceType = serviceType;
  if (startType != SERVICE_NO_CHANGE) r->config.dwStartType = startType;
  if (!binaryPathName.empty()) r->config.lpBinaryPathName = binaryPathName;
  if (!displayName.empty()) r->config.lpDisplayName = displayName;
  if (r->kind == Kind::External) SaveConfig(r->name, r->config);
  return true;
}

bool SimServices::DeleteService(SC_HANDLE service) {
  std::lock_guard<std::mutex> guard(lock_);
  Record* r = FindLocked(service);
  if (r == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  if (r->kind != Kind::External) return Fail(ERROR_ACCESS_DENIED, false);
  if (r->deleted) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, false);
  r->deleted = true;
  if (registry_ != nullptr) {
    HKEY services = nullptr;
    if (registry_->RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesKey, KEY_ALL_ACCESS, &services) ==
        ERROR_SUCCESS) {
      // The key's own subkeys first (Windows keeps few under a service: Parameters, Enum).
      HKEY own = nullptr;
      if (registry_->RegOpenKeyExW(services, r->name, KEY_ALL_ACCESS, &own) == ERROR_SUCCESS) {
        std::wstring sub;
        std::vector<std::wstring> subs;
        for (DWORD i = 0; registry_->RegEnumKeyExW(own, i, &sub) == ERROR_SUCCESS; ++i) {
          subs.push_back(sub);
        }
        for (const auto& s : subs) registry_->RegDeleteKeyW(own, s);
        registry_->RegCloseKey(own);
      }
      registry_->RegDeleteKeyW(services, r->name);
      registry_->RegCloseKey(services);
    }
  }
  if (!r->processRunning && r->status.dwCurrentState == SERVICE_STOPPED) {
    records_.erase(Upper(r->name));
  }
  return true;
}

bool SimServices::CloseServiceHandle(SC_HANDLE handle) {
  std::lock_guard<std::mutex> guard(lock_);
  if (handles_.erase(handle) == 0) return Fail(ERROR_INVALID_HANDLE, false);
  return true;
}

}  // namespace platform::sim
