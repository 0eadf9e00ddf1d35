// The clients of the machine process: every call of the shared areas becomes one request on
// a pooled connection; change notifications and service controls arrive on connections of
// their own, read by a thread that sets the caller's kernel event or runs its handler.
#include "platform/sim/remote.h"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "platform/sim/areas.h"
#include "platform/sim/spooler.h"
#include "platform/sim/wire.h"

// The host headers after the platform's: they define macros of the Winsock names.
#include <sys/socket.h>
#include <unistd.h>

namespace platform::sim {

// The connections of this process to the machine process.
class Link {
 public:
  explicit Link(std::filesystem::path folder) : folder_(std::move(folder)) {}
  ~Link() {
    for (int fd : idle_) wire::Close(fd);
  }

  // A new connection that has greeted the machine process, or -1.
  int Open() {
    int fd = wire::Connect(folder_);
    if (fd < 0) return -1;
    const SpoolCaller& caller = CurrentSpoolCaller();
    wire::Writer hello;
    hello.U32(wire::kHello).Wide(caller.program).U32(static_cast<std::uint32_t>(::getpid()));
    std::string answer;
    if (!wire::SendFrame(fd, hello.Data()) || !wire::ReceiveFrame(fd, &answer, 10000)) {
      wire::Close(fd);
      return -1;
    }
    return fd;
  }

  // One request and its answer; the answer's reader stands after the result and the last
  // error, which becomes the thread's. False (RPC_S_SERVER_UNAVAILABLE) without an answer.
  bool Call(const wire::Writer& request, std::string* answer, std::uint32_t* result) {
    int fd = Take();
    bool ok = fd >= 0 && wire::SendFrame(fd, request.Data()) && wire::ReceiveFrame(fd, answer);
    if (!ok) {
      wire::Close(fd);
      // Once more on a new connection: the machine process may have been restarted.
      fd = Open();
      ok = fd >= 0 && wire::SendFrame(fd, request.Data()) && wire::ReceiveFrame(fd, answer);
    }
    if (!ok) {
      wire::Close(fd);
      *result = 0;
      ThreadLastError() = RPC_S_SERVER_UNAVAILABLE;
      return false;
    }
    Give(fd);
    wire::Reader r(*answer);
    std::uint32_t error = 0;
    if (!r.U32(result) || !r.U32(&error)) {
      ThreadLastError() = RPC_X_BAD_STUB_DATA;
      return false;
    }
    ThreadLastError() = error;
    return true;
  }

  // A connection of its own for a request whose answer is followed by pushed frames.
  int Dedicated(const wire::Writer& request, std::string* answer, std::uint32_t* result) {
    int fd = Open();
    if (fd < 0 || !wire::SendFrame(fd, request.Data()) || !wire::ReceiveFrame(fd, answer, 60000)) {
      wire::Close(fd);
      ThreadLastError() = RPC_S_SERVER_UNAVAILABLE;
      *result = 0;
      return -1;
    }
    wire::Reader r(*answer);
    std::uint32_t error = 0;
    if (!r.U32(result) || !r.U32(&error)) {
      wire::Close(fd);
      ThreadLastError() = RPC_X_BAD_STUB_DATA;
      return -1;
    }
    ThreadLastError() = error;
    return fd;
  }

 private:
  int Take() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!idle_.empty()) {
        int fd = idle_.back();
        idle_.pop_back();
        return fd;
      }
    }
    return Open();
  }
  void Give(int fd) {
    std::lock_guard<std::mutex> guard(lock_);
    if (idle_.size() < 8) {
      idle_.push_back(fd);
    } else {
      wire::Close(fd);
    }
  }

  std::filesystem::path folder_;
  std::mutex lock_;
  std::vector<int> idle_;
};

namespace {

// The rest of an answer after its result and last error.
wire::Reader Rest(const std::string& answer) {
  wire::Reader r(answer);
  std::uint32_t skip = 0;
  r.U32(&skip);
  r.U32(&skip);
  return r;
}

std::uint32_t H(const void* handle) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
}
void* P(std::uint32_t value) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(value));
}

class RemoteRegistry : public Registry {
 public:
  explicit RemoteRegistry(std::shared_ptr<Link> link) : link_(std::move(link)) {}

  LONG Simple(const wire::Writer& w) {
    std::string a;
    std::uint32_t rc = 0;
    if (!link_->Call(w, &a, &rc)) return RPC_S_SERVER_UNAVAILABLE;
    return static_cast<LONG>(rc);
  }

  LONG RegOpenKeyExW(HKEY key, const std::wstring& subKey, DWORD samDesired,
                     HKEY* result) override {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    wire::Writer w;
    w.U32(wire::kRegOpen).U32(H(key)).Wide(subKey).U32(samDesired);
    std::string a;
    std::uint32_t rc = 0;
    if (!link_->Call(w, &a, &rc)) return RPC_S_SERVER_UNAVAILABLE;
    wire::Reader r = Rest(a);
    std::uint32_t h = 0;
    if (rc == 0 && r.U32(&h)) *result = P(h);
    return static_cast<LONG>(rc);
  }
  LONG RegCreateKeyExW(HKEY key, const std::wstring& subKey, DWORD samDesired, HKEY* result,
                       DWORD* disposition) override {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    wire::Writer w;
    w.U32(wire::kRegCreate).U32(H(key)).Wide(subKey).U32(samDesired);
    std::string a;
    std::uint32_t rc = 0;
    if (!link_->Call(w, &a, &rc)) return RPC_S_SERVER_UNAVAILABLE;
    wire::Reader r = Rest(a);
    std::uint32_t h = 0, d = 0;
    if (rc == 0 && r.U32(&h) && r.U32(&d)) {
      *result = P(h);
      if (disposition != nullptr) *disposition = d;
    }
    return static_cast<LONG>(rc);
  }
  LONG RegCloseKey(HKEY key) override {
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    wire::Writer w;
    w.U32(wire::kRegClose).U32(H(key));
    return Simple(w);
  }
  LONG RegQueryValueExW(HKEY key, const std::wstring& valueName, DWORD* type, std::uint8_t* data,
                        DWORD* dataSize) override {
    if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
    wire::Writer w;
    w.U32(wire::kRegQuery).U32(H(key)).Wide(valueName);
    std::string a;
    std::uint32_t rc = 0;
    if (!link_->Call(w, &a, &rc)) return RPC_S_SERVER_UNAVAILABLE;
    if (rc != 0) return static_cast<LONG>(rc);
    wire::Reader r = Rest(a);
    std::uint32_t t = 0;
    std::vector<std::uint8_t> bytes;
    if (!r.U32(&t) || !r.Blob(&bytes)) return RPC_X_BAD_STUB_DATA;
    if (type != nullptr) *type = t;
    DWORD size = static_cast<DWORD>(bytes.size());
    if (dataSize == nullptr) return ERROR_SUCCESS;
    if (data == nullptr) {
      *dataSize = size;
      return ERROR_SUCCESS;
    }
    if (*dataSize < size) {
      *dataSize = size;
      return ERROR_MORE_DATA;
    }
    std::copy(bytes.begin(), bytes.end(), data);
    *dataSize = size;
    return ERROR_SUCCESS;
  }
  LONG RegSetValueExW(HKEY key, const std::wstring& valueName, DWORD type, const std::uint8_t* data,
                      DWORD dataSize) override {
    if (data == nullptr && dataSize != 0) return ERROR_INVALID_PARAMETER;
    wire::Writer w;
    w.U32(wire::kRegSet)
        .U32(H(key))
        .Wide(valueName)
        .U32(type)
        .Blob(std::vector<std::uint8_t>(data, data + dataSize));
    return Simple(w);
  }
  LONG RegDeleteValueW(HKEY key, const std::wstring& valueName) override {
    wire::Writer w;
    w.U32(wire::kRegDeleteValue).U32(H(key)).Wide(valueName);
    return Simple(w);
  }
  LONG RegDeleteKeyW(HKEY key, const std::wstring& subKey) override {
    wire::Writer w;
    w.U32(wire::kRegDeleteKey).U32(H(key)).Wide(subKey);
    return Simple(w);
  }
  LONG RegEnumKeyExW(HKEY key, DWORD index, std::wstring* name) override {
    wire::Writer w;
    w.U32(wire::kRegEnumKey).U32(H(key)).U32(index);
    std::string a;
    std::uint32_t rc = 0;
    if (!link_->Call(w, &a, &rc)) return RPC_S_SERVER_UNAVAILABLE;
    wire::Reader r = Rest(a);
    std::wstring n;
    if (rc == 0 && r.Wide(&n) && name != nullptr) *name = n;
    return static_cast<LONG>(rc);
  }
  LONG RegEnumValueW(HKEY key, DWORD index, std::wstring* name, DWORD* type,
                     std::vector<std::uint8_t>* data) override {
    wire::Writer w;
    w.U32(wire::kRegEnumValue).U32(H(key)).U32(index);
    std::string a;
    std::uint32_t rc = 0;
    if (!link_->Call(w, &a, &rc)) return RPC_S_SERVER_UNAVAILABLE;
    if (rc != 0) return static_cast<LONG>(rc);
    wire::Reader r = Rest(a);
    std::wstring n;
    std::uint32_t t = 0;
    std::vector<std::uint8_t> d;
    if (!r.Wide(&n) || !r.U32(&t) || !r.Blob(&d)) return RPC_X_BAD_STUB_DATA;
    if (name != nullptr) *name = n;
    if (type != nullptr) *type = t;
    if (data != nullptr) *data = std::move(d);
    return ERROR_SUCCESS;
  }

 private:
  std::shared_ptr<Link> link_;
};

// A thread that reads pushed frames from a connection until it ends.
class PushReader {
 public:
  PushReader(int fd, std::function<void(const std::string&)> onFrame, std::function<void()> onEnd)
      : fd_(fd), thread_([this, onFrame, onEnd] {
          std::string frame;
          while (wire::ReceiveFrame(fd_, &frame)) onFrame(frame);
          if (!closing_) onEnd();
        }) {}
  ~PushReader() {
    closing_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    wire::Close(fd_);
  }

 private:
  int fd_;
  std::atomic<bool> closing_{false};
  std::thread thread_;
};

class RemoteServices : public Services {
 public:
  RemoteServices(std::shared_ptr<Link> link) : link_(std::move(link)) {
    if (const char* name = std::getenv("TOLLGATE_SERVICE")) service_ = WideFromUtf8(name);
  }

  bool StartServiceCtrlDispatcherW(const std::vector<ServiceTableEntry>& table) override {
    if (service_.empty()) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, false);
    if (table.empty() || !table.front().serviceMain) return Fail(ERROR_INVALID_PARAMETER, false);
    wire::Writer w;
    w.U32(wire::kScDispatch).Wide(service_);
    std::string a;
    std::uint32_t ok = 0;
    int fd = link_->Dedicated(w, &a, &ok);
    if (fd < 0) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, false);
    if (ok == 0) {
      DWORD error = ThreadLastError();
      wire::Close(fd);
      return Fail(error, false);
    }
    std::vector<std::wstring> args;
    wire::Reader r = Rest(a);
    r.Wides(&args);
    std::atomic<bool> mainEnded{false};
    ServiceMainFunction serviceMain = table.front().serviceMain;
    std::thread mainThread([&] {
      serviceMain(args);
      mainEnded = true;
    });
    // Controls run on this thread, as the dispatcher runs them on Windows. As there, the
    // dispatcher returns once the service main has returned and the service has reported
    // that it stopped (or never registered a handler to report with, or the control manager
    // is gone): a service main may leave its work to threads of its own and return at once.
    bool gone = false;
    for (;;) {
      std::string frame;
      if (mainEnded && (gone || ReportedStopped() || !Handler())) break;
      if (!gone && !wire::ReceiveFrame(fd, &frame, 100)) {
        // A timeout is only a look at the main function; an end of stream is the control
        // manager gone, which stops the service.
        char probe;
        ssize_t n = ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) {
          gone = true;
          HandlerFunction h = Handler();
          if (h) h(SERVICE_CONTROL_STOP);
        }
        continue;
      }
      if (gone) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      wire::Reader c(frame);
      std::uint32_t control = 0;
      if (!c.U32(&control)) continue;
      HandlerFunction h = Handler();
      if (h) h(control);
    }
    mainThread.join();
    wire::Close(fd);
    return true;
  }
  SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(const std::wstring& /*name*/,
                                                    HandlerFunction handler) override {
    if (service_.empty()) return Fail<SERVICE_STATUS_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
    std::lock_guard<std::mutex> guard(lock_);
    handler_ = std::move(handler);
    return this;
  }
  bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const ServiceStatus& status) override {
    if (handle != this) return Fail(ERROR_INVALID_HANDLE, false);
    wire::Writer w;
    w.U32(wire::kScSetStatus).Wide(service_);
    wire::Put(w, status);
    bool ok = Bool(w);
    if (ok) reportedStopped_ = status.dwCurrentState == SERVICE_STOPPED;
    return ok;
  }
  SC_HANDLE OpenSCManagerW(DWORD access) override {
    wire::Writer w;
    w.U32(wire::kScOpenManager).U32(access);
    return Handle(w);
  }
  SC_HANDLE OpenServiceW(SC_HANDLE manager, const std::wstring& name, DWORD access) override {
    wire::Writer w;
    w.U32(wire::kScOpenService).U32(H(manager)).Wide(name).U32(access);
    return Handle(w);
  }
  bool QueryServiceStatus(SC_HANDLE service, ServiceStatus* status) override {
    wire::Writer w;
    w.U32(wire::kScQueryStatus).U32(H(service));
    std::string a;
    if (!Bool(w, &a)) return false;
    wire::Reader r = Rest(a);
    ServiceStatus s;
    if (!wire::Get(r, &s)) return Fail(RPC_X_BAD_STUB_DATA, false);
    if (status == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
    *status = s;
    return true;
  }
  bool QueryServiceStatusEx(SC_HANDLE service, ServiceStatusProcess* status) override {
    wire::Writer w;
    w.U32(wire::kScProcessId).U32(H(service));
    std::string a;
    if (!Bool(w, &a)) return false;
    wire::Reader r = Rest(a);
    ServiceStatusProcess s;
    if (!wire::Get(r, &s.status) || !r.U32(&s.dwProcessId) || !r.U32(&s.dwServiceFlags)) {
      return Fail(RPC_X_BAD_STUB_DATA, false);
    }
    if (status == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
    *status = s;
    return true;
  }
  bool QueryServiceConfigW(SC_HANDLE service, ServiceConfig* config) override {
    wire::Writer w;
    w.U32(wire::kScQueryConfig).U32(H(service));
    std::string a;
    if (!Bool(w, &a)) return false;
    wire::Reader r = Rest(a);
    ServiceConfig c;
    if (!wire::Get(r, &c)) return Fail(RPC_X_BAD_STUB_DATA, false);
    if (config == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
    *config = c;
    return true;
  }
  bool GetServiceDisplayNameW(SC_HANDLE manager, const std::wstring& name,
                              std::wstring* displayName) override {
    wire::Writer w;
    w.U32(wire::kScDisplayName).U32(H(manager)).Wide(name);
    std::string a;
    if (!Bool(w, &a)) return false;
    wire::Reader r = Rest(a);
    std::wstring d;
    if (!r.Wide(&d)) return Fail(RPC_X_BAD_STUB_DATA, false);
    if (displayName != nullptr) *displayName = d;
    return true;
  }
  bool StartServiceW(SC_HANDLE service, const std::vector<std::wstring>& args) override {
    wire::Writer w;
    w.U32(wire::kScStart).U32(H(service)).Wides(args);
    return Bool(w);
  }
  bool ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) override {
    wire::Writer w;
    w.U32(wire::kScControl).U32(H(service)).U32(control);
    std::string a;
    bool ok = Bool(w, &a);
    DWORD error = ThreadLastError();
    wire::Reader r = Rest(a);
    ServiceStatus s;
    if (wire::Get(r, &s) && status != nullptr) *status = s;
    ThreadLastError() = error;
    return ok;
  }
  bool CloseServiceHandle(SC_HANDLE handle) override {
    wire::Writer w;
    w.U32(wire::kScClose).U32(H(handle));
    return Bool(w);
  }
  SC_HANDLE CreateServiceW(SC_HANDLE manager, const std::wstring& name,
                           const ServiceConfig& config) override {
    wire::Writer w;
    w.U32(wire::kScCreate).U32(H(manager)).Wide(name);
    wire::Put(w, config);
    return Handle(w);
  }
  bool ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                            const std::wstring& binaryPathName,
                            const std::wstring& displayName) override {
    wire::Writer w;
    w.U32(wire::kScChangeConfig).U32(H(service)).U32(serviceType).U32(startType);
    w.Wide(binaryPathName).Wide(displayName);
    return Bool(w);
  }
  bool DeleteService(SC_HANDLE service) override {
    wire::Writer w;
    w.U32(wire::kScDelete).U32(H(service));
    return Bool(w);
  }

 private:
  bool ReportedStopped() const { return reportedStopped_; }
  HandlerFunction Handler() {
    std::lock_guard<std::mutex> guard(lock_);
    return handler_;
  }
  bool Bool(const wire::Writer& w, std::string* answer = nullptr) {
    std::string a;
    std::uint32_t ok = 0;
    if (!link_->Call(w, &a, &ok)) return false;
    if (answer != nullptr) *answer = a;
    return ok != 0;
  }
  SC_HANDLE Handle(const wire::Writer& w) {
    std::string a;
    std::uint32_t h = 0;
    if (!link_->Call(w, &a, &h)) return nullptr;
    return P(h);
  }

  std::shared_ptr<Link> link_;
  std::wstring service_;  // the service this process was started as
  std::mutex lock_;
  HandlerFunction handler_;
  std::atomic<bool> reportedStopped_{false};
};

class RemoteEventLog : public EventLog {
 public:
  RemoteEventLog(std::shared_ptr<Link> link, Kernel& kernel)
      : link_(std::move(link)), kernel_(kernel) {}

  HANDLE OpenEventLogW(const std::wstring& sourceName) override {
    wire::Writer w;
    w.U32(wire::kEvOpen).Wide(sourceName);
    return Handle(w);
  }
  bool ReadEventLogW(HANDLE log, DWORD flags, DWORD recordOffset, DWORD bufferSize,
                     std::vector<EventLogRecord>* records, DWORD* bytesRead,
                     DWORD* minBytesNeeded) override {
    if (records == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
    wire::Writer w;
    w.U32(wire::kEvRead).U32(H(log)).U32(flags).U32(recordOffset).U32(bufferSize);
    std::string a;
    std::uint32_t ok = 0;
    if (!link_->Call(w, &a, &ok)) return false;
    DWORD error = ThreadLastError();
    wire::Reader r = Rest(a);
    std::uint32_t read = 0, needed = 0, n = 0;
    if (!r.U32(&read) || !r.U32(&needed) || !r.U32(&n) || n > 100000) {
      return Fail(RPC_X_BAD_STUB_DATA, false);
    }
    records->clear();
    for (std::uint32_t k = 0; k < n; ++k) {
      EventLogRecord e;
      if (!wire::Get(r, &e)) return Fail(RPC_X_BAD_STUB_DATA, false);
      records->push_back(std::move(e));
    }
    if (bytesRead != nullptr) *bytesRead = read;
    if (minBytesNeeded != nullptr) *minBytesNeeded = needed;
    ThreadLastError() = error;
    return ok != 0;
  }
  bool GetNumberOfEventLogRecords(HANDLE log, DWORD* count) override {
    wire::Writer w;
    w.U32(wire::kEvCount).U32(H(log));
    return Number(w, count);
  }
  bool GetOldestEventLogRecord(HANDLE log, DWORD* oldest) override {
    wire::Writer w;
    w.U32(wire::kEvOldest).U32(H(log));
    return Number(w, oldest);
  }
  bool NotifyChangeEventLog(HANDLE log, HANDLE event) override {
    if (event == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
    wire::Writer w;
    w.U32(wire::kEvNotify).U32(H(log));
    std::string a;
    std::uint32_t ok = 0;
    int fd = link_->Dedicated(w, &a, &ok);
    if (fd < 0) return false;
    if (ok == 0) {
      DWORD error = ThreadLastError();
      wire::Close(fd);
      return Fail(error, false);
    }
    Kernel& kernel = kernel_;
    auto reader = std::make_unique<PushReader>(
        fd, [&kernel, event](const std::string&) { kernel.SetEvent(event); }, [] {});
    std::lock_guard<std::mutex> guard(lock_);
    readers_.emplace(log, std::move(reader));
    return true;
  }
  bool CloseEventLog(HANDLE log) override {
    {
      std::unique_ptr<PushReader> reader;
      std::lock_guard<std::mutex> guard(lock_);
      auto range = readers_.equal_range(log);
      for (auto it = range.first; it != range.second;) it = readers_.erase(it);
    }
    wire::Writer w;
    w.U32(wire::kEvClose).U32(H(log));
    return Bool(w);
  }
  HANDLE RegisterEventSourceW(const std::wstring& sourceName) override {
    wire::Writer w;
    w.U32(wire::kEvRegister).Wide(sourceName);
    return Handle(w);
  }
  bool ReportEventW(HANDLE source, std::uint16_t type, std::uint16_t category, DWORD eventId,
                    const std::vector<std::wstring>& strings,
                    const std::vector<std::uint8_t>& data) override {
    wire::Writer w;
    w.U32(wire::kEvReport).U32(H(source)).U16(type).U16(category).U32(eventId).Wides(strings);
    w.Blob(data);
    return Bool(w);
  }
  bool DeregisterEventSource(HANDLE source) override {
    wire::Writer w;
    w.U32(wire::kEvDeregister).U32(H(source));
    return Bool(w);
  }

 private:
  bool Bool(const wire::Writer& w) {
    std::string a;
    std::uint32_t ok = 0;
    return link_->Call(w, &a, &ok) && ok != 0;
  }
  HANDLE Handle(const wire::Writer& w) {
    std::string a;
    std::uint32_t h = 0;
    if (!link_->Call(w, &a, &h)) return nullptr;
    return P(h);
  }
  bool Number(const wire::Writer& w, DWORD* out) {
    std::string a;
    std::uint32_t ok = 0;
    if (!link_->Call(w, &a, &ok) || ok == 0) return false;
    wire::Reader r = Rest(a);
    std::uint32_t v = 0;
    if (!r.U32(&v)) return Fail(RPC_X_BAD_STUB_DATA, false);
    if (out == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
    *out = v;
    return true;
  }

  std::shared_ptr<Link> link_;
  Kernel& kernel_;
  std::mutex lock_;
  std::multimap<HANDLE, std::unique_ptr<PushReader>> readers_;
};

class RemoteSpooler : public Spooler {
 public:
  RemoteSpooler(std::shared_ptr<Link> link, HandleTable& handles)
      : link_(std::move(link)), handles_(handles) {}

  bool EnumPrintersW(DWORD flags, const std::wstring& name,
                     std::vector<PrinterInfo2>* printers) override {
    if (printers == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
    wire::Writer w;
    w.U32(wire::kSpEnumPrinters).U32(flags).Wide(name);
    return List(w, printers);
  }
  bool EnumPortsW(const std::wstring& server, std::vector<PortInfo2>* ports) override {
    if (ports == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
    wire::Writer w;
    w.U32(wire::kSpEnumPorts).Wide(server);
    return List(w, ports);
  }
  bool OpenPrinterW(const std::wstring& name, HANDLE* printer,
                    const PrinterDefaults* defaults) override {
    if (printer == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
    wire::Writer w;
    w.U32(wire::kSpOpen).Wide(name).Bool(defaults != nullptr);
    if (defaults != nullptr) {
      w.Bool(defaults->pDatatype.has_value()).Wide(defaults->pDatatype.value_or(L""));
      wire::Put(w, defaults->pDevMode);
      w.U32(defaults->DesiredAccess);
    }
    std::string a;
    std::uint32_t ok = 0;
    if (!link_->Call(w, &a, &ok) || ok == 0) return false;
    wire::Reader r = Rest(a);
    std::uint32_t h = 0;
    if (!r.U32(&h)) return Fail(RPC_X_BAD_STUB_DATA, false);
    *printer = P(h);
    return true;
  }
  bool ClosePrinter(HANDLE printer) override {
    wire::Writer w;
    w.U32(wire::kSpClose).U32(H(printer));
    return Bool(w);
  }
  bool GetPrinterW(HANDLE printer, PrinterInfo2* info) override {
    wire::Writer w;
    w.U32(wire::kSpGetPrinter).U32(H(printer));
    return One(w, info);
  }
  DWORD GetPrinterDataW(HANDLE printer, const std::wstring& valueName, DWORD* type,
                        std::vector<std::uint8_t>* data) override {
    wire::Writer w;
    w.U32(wire::kSpGetData).U32(H(printer)).Wide(valueName);
    std::string a;
    std::uint32_t rc = 0;
    if (!link_->Call(w, &a, &rc)) return RPC_S_SERVER_UNAVAILABLE;
    if (rc != 0) return rc;
    wire::Reader r = Rest(a);
    std::uint32_t t = 0;
    std::vector<std::uint8_t> d;
    if (!r.U32(&t) || !r.Blob(&d)) return RPC_X_BAD_STUB_DATA;
    if (type != nullptr) *type = t;
    if (data != nullptr) *data = std::move(d);
    return ERROR_SUCCESS;
  }
  DWORD SetPrinterDataExW(HANDLE printer, const std::wstring& keyName,
                          const std::wstring& valueName, DWORD type,
                          const std::vector<std::uint8_t>& data) override {
    wire::Writer w;
    w.U32(wire::kSpSetData).U32(H(printer)).Wide(keyName).Wide(valueName).U32(type).Blob(data);
    std::string a;
    std::uint32_t rc = 0;
    if (!link_->Call(w, &a, &rc)) return RPC_S_SERVER_UNAVAILABLE;
    return rc;
  }
  bool EnumJobsW(HANDLE printer, DWORD firstJob, DWORD noJobs,
                 std::vector<JobInfo2>* jobs) override {
    if (jobs == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
    wire::Writer w;
    w.U32(wire::kSpEnumJobs).U32(H(printer)).U32(firstJob).U32(noJobs);
    return List(w, jobs);
  }
  bool GetJobW(HANDLE printer, DWORD jobId, JobInfo2* job) override {
    wire::Writer w;
    w.U32(wire::kSpGetJob).U32(H(printer)).U32(jobId);
    JobInfo2 j;
    if (!One(w, &j)) return false;
    if (job != nullptr) *job = std::move(j);
    return true;
  }
  bool SetJobW(HANDLE printer, DWORD jobId, DWORD level, const JobInfo2* info,
               DWORD command) override {
    wire::Writer w;
    w.U32(wire::kSpSetJob).U32(H(printer)).U32(jobId).U32(level).U32(command);
    w.Bool(info != nullptr);
    if (info != nullptr) wire::Put(w, *info);
    return Bool(w);
  }
  int DeviceCapabilitiesW(const std::wstring& device, const std::wstring& port,
                          std::uint16_t capability, std::vector<std::uint16_t>* papers,
                          std::vector<std::wstring>* paperNames) override {
    wire::Writer w;
    w.U32(wire::kSpDeviceCaps).Wide(device).Wide(port).U16(capability);
    std::string a;
    std::uint32_t count = 0;
    if (!link_->Call(w, &a, &count)) return -1;
    int n = static_cast<int>(count);
    if (n < 0) return -1;
    wire::Reader r = Rest(a);
    std::uint32_t ids = 0;
    if (!r.U32(&ids) || ids > 4096) return Fail(RPC_X_BAD_STUB_DATA, -1);
    std::vector<std::uint16_t> p;
    for (std::uint32_t k = 0; k < ids; ++k) {
      std::uint16_t v = 0;
      if (!r.U16(&v)) return Fail(RPC_X_BAD_STUB_DATA, -1);
      p.push_back(v);
    }
    std::vector<std::wstring> names;
    if (!r.Wides(&names)) return Fail(RPC_X_BAD_STUB_DATA, -1);
    if (papers != nullptr) *papers = std::move(p);
    if (paperNames != nullptr) *paperNames = std::move(names);
    return n;
  }
  HANDLE FindFirstPrinterChangeNotification(HANDLE printer, DWORD filter, DWORD options,
                                            const PrinterNotifyOptions* notifyOptions) override {
    wire::Writer w;
    w.U32(wire::kSpFindFirst)
        .U32(H(printer))
        .U32(filter)
        .U32(options)
        .Bool(notifyOptions != nullptr);
    if (notifyOptions != nullptr) wire::Put(w, *notifyOptions);
    std::string a;
    std::uint32_t watcher = 0;
    int fd = link_->Dedicated(w, &a, &watcher);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    if (watcher == 0) {
      DWORD error = ThreadLastError();
      wire::Close(fd);
      return Fail(error, INVALID_HANDLE_VALUE);
    }
    auto event = std::make_shared<EventObject>(true, false);
    HandleTable& table = handles_;
    auto reader = std::make_unique<PushReader>(
        fd, [event, &table](const std::string&) { table.Signal([&] { event->Set(true); }); },
        [event, &table] { table.Signal([&] { event->Set(true); }); });
    HANDLE h = handles_.Add(event);
    std::lock_guard<std::mutex> guard(lock_);
    changes_[h] = Change{watcher, std::move(reader)};
    return h;
  }
  bool FindNextPrinterChangeNotification(HANDLE change, DWORD* changeFlags,
                                         const PrinterNotifyOptions* notifyOptions,
                                         PrinterNotifyInfo** info) override {
    DWORD watcher = 0;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = changes_.find(change);
      if (it == changes_.end()) return Fail(ERROR_INVALID_HANDLE, false);
      watcher = it->second.watcher;
    }
    auto event = handles_.FindAs<EventObject>(change);
    if (event) handles_.Signal([&] { event->Set(false); });
    wire::Writer w;
    w.U32(wire::kSpFindNext).U32(watcher).Bool(notifyOptions != nullptr);
    if (notifyOptions != nullptr) wire::Put(w, *notifyOptions);
    std::string a;
    std::uint32_t ok = 0;
    if (!link_->Call(w, &a, &ok) || ok == 0) {
      if (event) handles_.Signal([&] { event->Set(true); });
      return false;
    }
    wire::Reader r = Rest(a);
    std::uint32_t flags = 0;
    auto out = std::make_unique<PrinterNotifyInfo>();
    if (!r.U32(&flags) || !wire::Get(r, out.get())) return Fail(RPC_X_BAD_STUB_DATA, false);
    if (changeFlags != nullptr) *changeFlags = flags;
    if (info != nullptr) *info = out.release();
    return true;
  }
  bool FreePrinterNotifyInfo(PrinterNotifyInfo* info) override {
    delete info;
    return true;
  }
  bool FindClosePrinterChangeNotification(HANDLE change) override {
    Change c;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = changes_.find(change);
      if (it == changes_.end()) return Fail(ERROR_INVALID_HANDLE, false);
      c = std::move(it->second);
      changes_.erase(it);
    }
    c.reader.reset();
    handles_.Close(change);
    wire::Writer w;
    w.U32(wire::kSpFindClose).U32(c.watcher);
    Bool(w);
    return true;
  }
  DWORD StartDocPrinterW(HANDLE printer, const DocInfo1& doc) override {
    const SpoolCaller& caller = CurrentSpoolCaller();
    wire::Writer w;
    w.U32(wire::kSpStartDoc).U32(H(printer)).Wide(doc.pDocName).Wide(doc.pOutputFile);
    w.Wide(doc.pDatatype).Wide(caller.user).Wide(caller.machine).U32(caller.pages);
    w.Wide(caller.notifyName);
    std::string a;
    std::uint32_t id = 0;
    if (!link_->Call(w, &a, &id)) return 0;
    return id;
  }
  bool WritePrinter(HANDLE printer, const void* data, DWORD size, DWORD* written) override {
    if (written != nullptr) *written = 0;
    const auto* bytes = static_cast<const char*>(data);
    DWORD done = 0;
    // Large writes go in pieces that fit a frame.
    while (done < size || size == 0) {
      DWORD piece = std::min<DWORD>(size - done, 4u << 20);
      wire::Writer w;
      w.U32(wire::kSpWrite).U32(H(printer)).Bytes(std::string_view(bytes + done, piece));
      std::string a;
      std::uint32_t ok = 0;
      if (!link_->Call(w, &a, &ok) || ok == 0) return false;
      done += piece;
      if (written != nullptr) *written = done;
      if (size == 0) break;
    }
    return true;
  }
  bool EndDocPrinter(HANDLE printer) override {
    wire::Writer w;
    w.U32(wire::kSpEndDoc).U32(H(printer));
    return Bool(w);
  }

 private:
  struct Change {
    DWORD watcher = 0;
    std::unique_ptr<PushReader> reader;
  };
  bool Bool(const wire::Writer& w) {
    std::string a;
    std::uint32_t ok = 0;
    return link_->Call(w, &a, &ok) && ok != 0;
  }
  template <typename T>
  bool One(const wire::Writer& w, T* out) {
    std::string a;
    std::uint32_t ok = 0;
    if (!link_->Call(w, &a, &ok) || ok == 0) return false;
    wire::Reader r = Rest(a);
    T value;
    if (!wire::Get(r, &value)) return Fail(RPC_X_BAD_STUB_DATA, false);
    if (out == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
    *out = std::move(value);
    return true;
  }
  template <typename T>
  bool List(const wire::Writer& w, std::vector<T>* out) {
    std::string a;
    std::uint32_t ok = 0;
    if (!link_->Call(w, &a, &ok) || ok == 0) return false;
    DWORD error = ThreadLastError();
    wire::Reader r = Rest(a);
    std::uint32_t n = 0;
    if (!r.U32(&n) || n > wire::kMaxFrame / 16) return Fail(RPC_X_BAD_STUB_DATA, false);
    out->clear();
    for (std::uint32_t k = 0; k < n; ++k) {
      T value;
      if (!wire::Get(r, &value)) return Fail(RPC_X_BAD_STUB_DATA, false);
      out->push_back(std::move(value));
    }
    ThreadLastError() = error;
    return true;
  }

  std::shared_ptr<Link> link_;
  HandleTable& handles_;
  std::mutex lock_;
  std::map<HANDLE, Change> changes_;
};

}  // namespace

std::unique_ptr<Remote> Remote::Connect(const std::filesystem::path& folder, Kernel& kernel,
                                        HandleTable& handles) {
  wire::RaiseOpenFileLimit();
  auto link = std::make_shared<Link>(folder);
  wire::Writer ping;
  ping.U32(wire::kPing);
  std::string a;
  std::uint32_t ok = 0;
  int fd = link->Open();
  if (fd < 0) return nullptr;
  wire::Close(fd);
  if (!link->Call(ping, &a, &ok) || ok == 0) return nullptr;
  std::unique_ptr<Remote> remote(new Remote());
  remote->link_ = link;
  remote->registry_ = std::make_unique<RemoteRegistry>(link);
  remote->services_ = std::make_unique<RemoteServices>(link);
  remote->eventLog_ = std::make_unique<RemoteEventLog>(link, kernel);
  remote->spooler_ = std::make_unique<RemoteSpooler>(link, handles);
  return remote;
}

Remote::~Remote() = default;

std::optional<std::string> Remote::Import(const std::string& bytes) {
  wire::Writer w;
  w.U32(wire::kRegImport).Bytes(bytes);
  std::string a;
  std::uint32_t ok = 0;
  if (!link_->Call(w, &a, &ok)) return std::string("the machine process does not answer");
  if (ok != 0) return std::nullopt;
  wire::Reader r = Rest(a);
  std::string error;
  r.Bytes(&error);
  return error;
}

std::string Remote::Export() {
  wire::Writer w;
  w.U32(wire::kRegExport);
  std::string a;
  std::uint32_t ok = 0;
  if (!link_->Call(w, &a, &ok) || ok == 0) return "";
  wire::Reader r = Rest(a);
  std::string bytes;
  r.Bytes(&bytes);
  return bytes;
}

bool Remote::Crash(const std::wstring& service) {
  wire::Writer w;
  w.U32(wire::kScCrash).Wide(service);
  std::string a;
  std::uint32_t ok = 0;
  return link_->Call(w, &a, &ok) && ok != 0;
}

}  // namespace platform::sim
