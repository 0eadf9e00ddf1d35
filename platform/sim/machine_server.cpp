#include "platform/sim/machine_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/sim/areas.h"
#include "platform/sim/eventlog.h"
#include "platform/sim/machine.h"
#include "platform/sim/spooler.h"
#include "platform/sim/text.h"
#include "platform/sim/wire.h"

// The host headers after the platform's: they define macros of the Winsock names.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform::sim {
namespace {

// The connections the machine serves at once: each program holds a few pooled ones, and one
// for each change notification it waits for (a print server's agent watches every queue) and
// each service it dispatches. The bound grows with the queues, as Windows sets none for a
// print server's watches, and still ends a flood of connections.
constexpr int kBaseConnections = 512;
constexpr int kConnectionsPerQueue = 4;
constexpr int kMostConnections = 1 << 16;

// A connection's socket for pushed frames, which may close while a push is under way.
struct Push {
  std::mutex lock;
  int fd = -1;
  bool Send(std::string_view frame) {
    std::lock_guard<std::mutex> guard(lock);
    return fd >= 0 && wire::SendFrameNow(fd, frame);
  }
  void Close() {
    std::lock_guard<std::mutex> guard(lock);
    fd = -1;
  }
};

class Server {
 public:
  explicit Server(std::filesystem::path folder)
      : machine_(std::make_unique<Machine>(folder, Machine::Hosting::System)),
        folder_(machine_->Folder()) {}

  Machine& machine() { return *machine_; }

  int Serve(int listener, void (*ready)()) {
    listener_ = listener;
    // The listener never blocks: the loop drains it, then looks at the stop flag.
    ::fcntl(listener_, F_SETFL, ::fcntl(listener_, F_GETFL) | O_NONBLOCK);
    if (ready != nullptr) ready();
    while (!stopping_) {
      pollfd p{listener_, POLLIN, 0};
      int rc = ::poll(&p, 1, 200);
      if (rc <= 0) continue;
      // Every connection that waits, not one a turn.
      for (;;) {
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) break;
        // (The spooler is asked only past the base bound.)
        if (connections_.load() >= kBaseConnections && connections_.load() >= MaxConnections()) {
          ::close(fd);
          continue;
        }
        {
          std::lock_guard<std::mutex> guard(openLock_);
          open_.insert(fd);
          ++connections_;
        }
        std::thread([this, fd] {
          Serve(fd);
          std::lock_guard<std::mutex> guard(openLock_);
          open_.erase(fd);
          ::close(fd);
          --connections_;
          ended_.notify_all();
        }).detach();
      }
    }
    return 0;
  }

  // Ends every connection and waits (a while) for their threads, which use the machine.
  bool CloseAll(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(openLock_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    return ended_.wait_for(lock, wait, [this] { return connections_.load() == 0; });
  }

  void Stop() { stopping_ = true; }

  // The bound on connections served at once: grows with the spooler's queues (the most it had
  // in this run, so that watches of a spooler that is restarting are not cut off).
  int MaxConnections() {
    std::size_t queues = std::max(mostQueues_, machine_->OwnSpooler().QueueCount());
    mostQueues_ = queues;
    std::size_t most = kBaseConnections + kConnectionsPerQueue * queues;
    return static_cast<int>(std::min<std::size_t>(most, kMostConnections));
  }
  int Connections() const { return connections_.load(); }

 private:
  std::size_t mostQueues_ = 0;  // the accept loop's own

  // The handles a client process holds. A process reaches the machine over several pooled
  // connections and may use a handle on any of them, so its handles stay open until its last
  // connection ends (the process ended or let go of the machine).
  struct Owned {
    explicit Owned(Machine* m) : machine(m) {}
    ~Owned() {
      for (auto k : keys) machine->OwnRegistry().RegCloseKey(P(k));
      for (auto h : scHandles) machine->OwnServices().CloseServiceHandle(P(h));
      for (auto h : logs) machine->OwnEventLog().CloseEventLog(P(h));
      for (auto h : printers) machine->OwnSpooler().ClosePrinter(P(h));
    }
    void Add(std::set<std::uint32_t> Owned::*set, std::uint32_t h) {
      std::lock_guard<std::mutex> guard(lock);
      (this->*set).insert(h);
    }
    bool Remove(std::set<std::uint32_t> Owned::*set, std::uint32_t h) {
      std::lock_guard<std::mutex> guard(lock);
      return (this->*set).erase(h) != 0;
    }
    Machine* machine;
    std::mutex lock;
    std::set<std::uint32_t> keys, scHandles, logs, printers;
  };

  // The handles of the process `pid`, shared by its connections.
  std::shared_ptr<Owned> OwnedBy(std::uint32_t pid) {
    std::lock_guard<std::mutex> guard(ownersLock_);
    for (auto it = owners_.begin(); it != owners_.end();) {
      it = it->second.expired() ? owners_.erase(it) : std::next(it);
    }
    if (auto found = owners_[pid].lock()) return found;
    auto made = std::make_shared<Owned>(machine_.get());
    owners_[pid] = made;
    return made;
  }

  struct Connection {
    int fd;
    std::wstring program;
    std::shared_ptr<Owned> owned;
    std::set<std::uint32_t> watchers;
    std::wstring dispatcher;     // the service whose dispatcher this connection is
    std::shared_ptr<Push> push;  // set when the connection turns to pushed frames
    bool wake = false;           // a first push tells the reader to look (changes may wait)
  };

  void Serve(int fd) {
    Connection c{fd, L"", std::make_shared<Owned>(machine_.get()), {}, L"", nullptr, false};
    std::string frame;
    while (wire::ReceiveFrame(fd, &frame)) {
      wire::Writer answer;
      bool keep = Handle(c, frame, answer);
      if (!wire::SendFrame(fd, answer.Data())) break;
      if (!keep) break;
      if (c.push) {
        // Pushes go out only after the answer, so that the reader never takes one for it.
        {
          std::lock_guard<std::mutex> guard(c.push->lock);
          c.push->fd = fd;
        }
        if (c.wake) {
          wire::Writer w;
          w.U32(1);
          c.push->Send(w.Data());
        }
        // The connection now carries pushed frames only: wait for its end.
        std::string ignored;
        while (wire::ReceiveFrame(fd, &ignored)) {
        }
        break;
      }
    }
    Cleanup(c);
  }

  void Cleanup(Connection& c) {
    if (c.push) c.push->Close();
    SimServices& scm = machine_->OwnServices();
    if (!c.dispatcher.empty()) scm.DisconnectDispatcher(c.dispatcher);
    SimSpooler& sp = machine_->OwnSpooler();
    for (auto w : c.watchers) sp.Unwatch(w);
    c.owned.reset();  // the process's last connection closes its handles
  }

  static std::uint32_t H(const void* handle) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
  }
  static void* P(std::uint32_t value) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(value));
  }

  // Decodes one request, runs it on the machine's own areas and writes the answer: the
  // result, the last error, the outputs. A request that does not decode gets the
  // bad-stub-data error; false ends the connection.
  bool Handle(Connection& c, const std::string& frame, wire::Writer& out) {
    wire::Reader r(frame);
    std::uint32_t op = 0;
    ThreadLastError() = 0;
    SpoolCaller& caller = CurrentSpoolCaller();
    caller.program = c.program;
    auto bad = [&out] {
      out.U32(0).U32(RPC_X_BAD_STUB_DATA);
      return true;
    };
    if (!r.U32(&op)) return bad();
    auto result = [&out](std::uint32_t value) -> wire::Writer& {
      return out.U32(value).U32(ThreadLastError());
    };
    Registry& reg = machine_->OwnRegistry();
    SimServices& scm = machine_->OwnServices();
    SimEventLog& ev = machine_->OwnEventLog();
    SimSpooler& sp = machine_->OwnSpooler();
    std::uint32_t a = 0, b = 0, d = 0, e = 0;
    std::wstring s1, s2, s3;
    switch (op) {
      case wire::kHello: {
        std::uint32_t pid = 0;
        if (!r.Wide(&c.program) || !r.U32(&pid)) return bad();
        c.owned = OwnedBy(pid);
        result(1);
        return true;
      }
      case wire::kPing:
        result(1).U32(static_cast<std::uint32_t>(::getpid()));
        return true;
      case wire::kShutdown: {
        // Names the process it stops (its id, from a ping), so that no stray message does.
        std::uint32_t pid = 0;
        if (!r.U32(&pid) || !r.AtEnd()) return bad();
        if (pid != static_cast<std::uint32_t>(::getpid())) {
          ThreadLastError() = ERROR_INVALID_PARAMETER;
          result(0);
          return true;
        }
        result(1);
        stopping_ = true;
        return true;
      }

      case wire::kRegOpen:
      case wire::kRegCreate: {
        if (!r.U32(&a) || !r.Wide(&s1) || !r.U32(&b)) return bad();
        HKEY k = nullptr;
        DWORD disposition = 0;
        LONG rc = op == wire::kRegOpen ? reg.RegOpenKeyExW(P(a), s1, b, &k)
                                       : reg.RegCreateKeyExW(P(a), s1, b, &k, &disposition);
        out.U32(static_cast<std::uint32_t>(rc)).U32(0);
        if (rc == 0) {
          c.owned->Add(&Owned::keys, H(k));
          out.U32(H(k)).U32(disposition);
        }
        return true;
      }
      case wire::kRegClose: {
        if (!r.U32(&a)) return bad();
        if (!c.owned->Remove(&Owned::keys, a) && a != H(HKEY_LOCAL_MACHINE)) {
          out.U32(ERROR_INVALID_HANDLE).U32(0);  // only the connection's own keys
          return true;
        }
        out.U32(static_cast<std::uint32_t>(reg.RegCloseKey(P(a)))).U32(0);
        return true;
      }
      case wire::kRegQuery: {
        if (!r.U32(&a) || !r.Wide(&s1)) return bad();
        DWORD type = 0, size = 0;
        LONG rc = reg.RegQueryValueExW(P(a), s1, &type, nullptr, &size);
        std::vector<std::uint8_t> data(size);
        if (rc == 0) rc = reg.RegQueryValueExW(P(a), s1, &type, data.data(), &size);
        out.U32(static_cast<std::uint32_t>(rc)).U32(0);
        if (rc == 0) out.U32(type).Blob(data);
        return true;
      }
      case wire::kRegSet: {
        std::vector<std::uint8_t> data;
        if (!r.U32(&a) || !r.Wide(&s1) || !r.U32(&b) || !r.Blob(&data)) return bad();
        LONG rc = reg.RegSetValueExW(P(a), s1, b, data.data(), static_cast<DWORD>(data.size()));
        out.U32(static_cast<std::uint32_t>(rc)).U32(0);
        return true;
      }
      case wire::kRegDeleteValue:
      case wire::kRegDeleteKey: {
        if (!r.U32(&a) || !r.Wide(&s1)) return bad();
        LONG rc = op == wire::kRegDeleteValue ? reg.RegDeleteValueW(P(a), s1)
                                              : reg.RegDeleteKeyW(P(a), s1);
        out.U32(static_cast<std::uint32_t>(rc)).U32(0);
        return true;
      }
      case wire::kRegEnumKey: {
        if (!r.U32(&a) || !r.U32(&b)) return bad();
        std::wstring name;
        LONG rc = reg.RegEnumKeyExW(P(a), b, &name);
        out.U32(static_cast<std::uint32_t>(rc)).U32(0);
        if (rc == 0) out.Wide(name);
        return true;
      }
      case wire::kRegEnumValue: {
        if (!r.U32(&a) || !r.U32(&b)) return bad();
        std::wstring name;
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        LONG rc = reg.RegEnumValueW(P(a), b, &name, &type, &data);
        out.U32(static_cast<std::uint32_t>(rc)).U32(0);
        if (rc == 0) out.Wide(name).U32(type).Blob(data);
        return true;
      }
      case wire::kRegImport: {
        std::string bytes;
        if (!r.Bytes(&bytes)) return bad();
        auto error = machine_->OwnRegistry().Import(bytes);
        if (error) {
          out.U32(0).U32(ERROR_BADDB).Bytes(*error);
        } else {
          out.U32(1).U32(0);
          scm.LoadFromRegistry();
        }
        return true;
      }
      case wire::kRegExport:
        out.U32(1).U32(0).Bytes(machine_->OwnRegistry().Export());
        return true;

      case wire::kScOpenManager: {
        if (!r.U32(&a)) return bad();
        SC_HANDLE h = scm.OpenSCManagerW(a);
        if (h != nullptr) c.owned->Add(&Owned::scHandles, H(h));
        result(H(h));
        return true;
      }
      case wire::kScOpenService: {
        if (!r.U32(&a) || !r.Wide(&s1) || !r.U32(&b)) return bad();
        SC_HANDLE h = scm.OpenServiceW(P(a), s1, b);
        if (h != nullptr) c.owned->Add(&Owned::scHandles, H(h));
        result(H(h));
        return true;
      }
      case wire::kScQueryStatus: {
        if (!r.U32(&a)) return bad();
        ServiceStatus s;
        bool ok = scm.QueryServiceStatus(P(a), &s);
        result(ok);
        wire::Put(out, s);
        return true;
      }
      case wire::kScProcessId: {
        if (!r.U32(&a)) return bad();
        ServiceStatusProcess s;
        bool ok = scm.QueryServiceStatusEx(P(a), &s);
        result(ok);
        wire::Put(out, s.status);
        out.U32(s.dwProcessId).U32(s.dwServiceFlags);
        return true;
      }
      case wire::kScQueryConfig: {
        if (!r.U32(&a)) return bad();
        ServiceConfig config;
        bool ok = scm.QueryServiceConfigW(P(a), &config);
        result(ok);
        wire::Put(out, config);
        return true;
      }
      case wire::kScDisplayName: {
        if (!r.U32(&a) || !r.Wide(&s1)) return bad();
        std::wstring name;
        bool ok = scm.GetServiceDisplayNameW(P(a), s1, &name);
        result(ok).Wide(name);
        return true;
      }
      case wire::kScStart: {
        std::vector<std::wstring> args;
        if (!r.U32(&a) || !r.Wides(&args)) return bad();
        bool ok = scm.StartServiceW(P(a), args);
        result(ok);
        return true;
      }
      case wire::kScControl: {
        if (!r.U32(&a) || !r.U32(&b)) return bad();
        ServiceStatus s;
        bool ok = scm.ControlService(P(a), b, &s);
        result(ok);
        wire::Put(out, s);
        return true;
      }
      case wire::kScClose: {
        if (!r.U32(&a)) return bad();
        if (!c.owned->Remove(&Owned::scHandles, a)) {
          ThreadLastError() = ERROR_INVALID_HANDLE;
          result(0);
          return true;
        }
        result(scm.CloseServiceHandle(P(a)));
        return true;
      }
      case wire::kScCreate: {
        ServiceConfig config;
        if (!r.U32(&a) || !r.Wide(&s1) || !wire::Get(r, &config)) return bad();
        SC_HANDLE h = scm.CreateServiceW(P(a), s1, config);
        if (h != nullptr) c.owned->Add(&Owned::scHandles, H(h));
        result(H(h));
        return true;
      }
      case wire::kScChangeConfig: {
        if (!r.U32(&a) || !r.U32(&b) || !r.U32(&d) || !r.Wide(&s1) || !r.Wide(&s2)) return bad();
        result(scm.ChangeServiceConfigW(P(a), b, d, s1, s2));
        return true;
      }
      case wire::kScDelete: {
        if (!r.U32(&a)) return bad();
        result(scm.DeleteService(P(a)));
        return true;
      }
      case wire::kScSetStatus: {
        ServiceStatus s;
        if (!r.Wide(&s1) || !wire::Get(r, &s)) return bad();
        result(scm.ReportStatus(s1, s));
        return true;
      }
      case wire::kScCrash: {
        if (!r.Wide(&s1)) return bad();
        result(scm.Crash(s1));
        return true;
      }
      case wire::kScDispatch: {
        if (!r.Wide(&s1)) return bad();
        auto push = std::make_shared<Push>();
        std::vector<std::wstring> args;
        bool ok = scm.ConnectDispatcher(
            s1,
            [push](DWORD control) {
              wire::Writer w;
              w.U32(control);
              return push->Send(w.Data());
            },
            &args);
        result(ok).Wides(args);
        if (ok) {
          c.dispatcher = s1;
          c.push = push;
        }
        return true;
      }

      case wire::kEvOpen: {
        if (!r.Wide(&s1)) return bad();
        HANDLE h = ev.OpenEventLogW(s1);
        if (h != nullptr) c.owned->Add(&Owned::logs, H(h));
        result(H(h));
        return true;
      }
      case wire::kEvRead: {
        if (!r.U32(&a) || !r.U32(&b) || !r.U32(&d) || !r.U32(&e)) return bad();
        std::vector<EventLogRecord> records;
        DWORD read = 0, needed = 0;
        // A reply holds at most what a frame holds.
        bool ok = ev.ReadEventLogW(P(a), b, d, std::min<std::uint32_t>(e, 4u << 20), &records,
                                   &read, &needed);
        result(ok).U32(read).U32(needed).U32(static_cast<std::uint32_t>(records.size()));
        for (const auto& rec : records) wire::Put(out, rec);
        return true;
      }
      case wire::kEvCount:
      case wire::kEvOldest: {
        if (!r.U32(&a)) return bad();
        DWORD v = 0;
        bool ok = op == wire::kEvCount ? ev.GetNumberOfEventLogRecords(P(a), &v)
                                       : ev.GetOldestEventLogRecord(P(a), &v);
        result(ok).U32(v);
        return true;
      }
      case wire::kEvNotify: {
        if (!r.U32(&a)) return bad();
        auto push = std::make_shared<Push>();
        bool ok = ev.NotifyChange(P(a), [push] {
          wire::Writer w;
          w.U32(1);
          push->Send(w.Data());
        });
        result(ok);
        if (ok) {
          c.push = push;
          c.wake = true;
        }
        return true;
      }
      case wire::kEvClose: {
        if (!r.U32(&a)) return bad();
        c.owned->Remove(&Owned::logs, a);
        result(ev.CloseEventLog(P(a)));
        return true;
      }
      case wire::kEvRegister: {
        if (!r.Wide(&s1)) return bad();
        HANDLE h = ev.RegisterEventSourceW(s1);
        if (h != nullptr) c.owned->Add(&Owned::logs, H(h));
        result(H(h));
        return true;
      }
      case wire::kEvReport: {
        std::uint16_t type = 0, category = 0;
        std::vector<std::wstring> strings;
        std::vector<std::uint8_t> data;
        if (!r.U32(&a) || !r.U16(&type) || !r.U16(&category) || !r.U32(&b) || !r.Wides(&strings) ||
            !r.Blob(&data)) {
          return bad();
        }
        result(ev.ReportEventW(P(a), type, category, b, strings, data));
        return true;
      }
      case wire::kEvDeregister: {
        if (!r.U32(&a)) return bad();
        c.owned->Remove(&Owned::logs, a);
        result(ev.DeregisterEventSource(P(a)));
        return true;
      }

      case wire::kSpEnumPrinters: {
        if (!r.U32(&a) || !r.Wide(&s1)) return bad();
        std::vector<PrinterInfo2> list;
        bool ok = sp.EnumPrintersW(a, s1, &list);
        result(ok).U32(static_cast<std::uint32_t>(list.size()));
        for (const auto& p : list) wire::Put(out, p);
        return true;
      }
      case wire::kSpEnumPorts: {
        if (!r.Wide(&s1)) return bad();
        std::vector<PortInfo2> list;
        bool ok = sp.EnumPortsW(s1, &list);
        result(ok).U32(static_cast<std::uint32_t>(list.size()));
        for (const auto& p : list) wire::Put(out, p);
        return true;
      }
      case wire::kSpOpen: {
        bool hasDefaults = false;
        if (!r.Wide(&s1) || !r.Bool(&hasDefaults)) return bad();
        PrinterDefaults defaults;
        if (hasDefaults) {
          bool hasType = false;
          if (!r.Bool(&hasType) || !r.Wide(&s2) || !wire::Get(r, &defaults.pDevMode) ||
              !r.U32(&defaults.DesiredAccess)) {
            return bad();
          }
          if (hasType) defaults.pDatatype = s2;
        }
        HANDLE h = nullptr;
        bool ok = sp.OpenPrinterW(s1, &h, hasDefaults ? &defaults : nullptr);
        if (ok) c.owned->Add(&Owned::printers, H(h));
        result(ok).U32(H(h));
        return true;
      }
      case wire::kSpClose: {
        if (!r.U32(&a)) return bad();
        if (!c.owned->Remove(&Owned::printers, a)) {
          ThreadLastError() = ERROR_INVALID_HANDLE;
          result(0);
          return true;
        }
        result(sp.ClosePrinter(P(a)));
        return true;
      }
      case wire::kSpGetPrinter: {
        if (!r.U32(&a)) return bad();
        PrinterInfo2 p;
        bool ok = sp.GetPrinterW(P(a), &p);
        result(ok);
        wire::Put(out, p);
        return true;
      }
      case wire::kSpGetData: {
        if (!r.U32(&a) || !r.Wide(&s1)) return bad();
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        DWORD rc = sp.GetPrinterDataW(P(a), s1, &type, &data);
        out.U32(rc).U32(0);
        if (rc == 0) out.U32(type).Blob(data);
        return true;
      }
      case wire::kSpSetData: {
        std::vector<std::uint8_t> data;
        if (!r.U32(&a) || !r.Wide(&s1) || !r.Wide(&s2) || !r.U32(&b) || !r.Blob(&data)) {
          return bad();
        }
        out.U32(sp.SetPrinterDataExW(P(a), s1, s2, b, data)).U32(0);
        return true;
      }
      case wire::kSpEnumJobs: {
        if (!r.U32(&a) || !r.U32(&b) || !r.U32(&d)) return bad();
        std::vector<JobInfo2> list;
        bool ok = sp.EnumJobsW(P(a), b, d, &list);
        result(ok).U32(static_cast<std::uint32_t>(list.size()));
        for (const auto& j : list) wire::Put(out, j);
        return true;
      }
      case wire::kSpGetJob: {
        if (!r.U32(&a) || !r.U32(&b)) return bad();
        JobInfo2 j;
        bool ok = sp.GetJobW(P(a), b, &j);
        result(ok);
        wire::Put(out, j);
        return true;
      }
      case wire::kSpSetJob: {
        bool hasInfo = false;
        JobInfo2 j;
        if (!r.U32(&a) || !r.U32(&b) || !r.U32(&d) || !r.U32(&e) || !r.Bool(&hasInfo)) {
          return bad();
        }
        if (hasInfo && !wire::Get(r, &j)) return bad();
        result(sp.SetJobW(P(a), b, d, hasInfo ? &j : nullptr, e));
        return true;
      }
      case wire::kSpDeviceCaps: {
        std::uint16_t capability = 0;
        if (!r.Wide(&s1) || !r.Wide(&s2) || !r.U16(&capability)) return bad();
        std::vector<std::uint16_t> papers;
        std::vector<std::wstring> names;
        int n = sp.DeviceCapabilitiesW(s1, s2, capability, &papers, &names);
        result(static_cast<std::uint32_t>(n)).U32(static_cast<std::uint32_t>(papers.size()));
        for (auto p : papers) out.U16(p);
        out.Wides(names);
        return true;
      }
      case wire::kSpFindFirst: {
        bool hasOptions = false;
        PrinterNotifyOptions options;
        if (!r.U32(&a) || !r.U32(&b) || !r.U32(&d) || !r.Bool(&hasOptions)) return bad();
        if (hasOptions && !wire::Get(r, &options)) return bad();
        auto push = std::make_shared<Push>();
        DWORD id = sp.Watch(P(a), b, hasOptions ? &options : nullptr, [push](bool failed) {
          wire::Writer w;
          w.U32(failed ? 2 : 1);
          push->Send(w.Data());
        });
        result(id);
        if (id != 0) {
          c.watchers.insert(id);
          c.push = push;
          c.wake = true;
        }
        return true;
      }
      case wire::kSpFindNext: {
        bool hasOptions = false;
        PrinterNotifyOptions options;
        if (!r.U32(&a) || !r.Bool(&hasOptions)) return bad();
        if (hasOptions && !wire::Get(r, &options)) return bad();
        DWORD change = 0;
        PrinterNotifyInfo info;
        bool ok = sp.Next(a, &change, hasOptions ? &options : nullptr, &info);
        result(ok).U32(change);
        wire::Put(out, info);
        return true;
      }
      case wire::kSpFindClose: {
        if (!r.U32(&a)) return bad();
        result(sp.Unwatch(a));
        return true;
      }
      case wire::kSpStartDoc: {
        DocInfo1 doc;
        std::wstring user, client, notify;
        std::uint32_t pages = 0;
        if (!r.U32(&a) || !r.Wide(&doc.pDocName) || !r.Wide(&doc.pOutputFile) ||
            !r.Wide(&doc.pDatatype) || !r.Wide(&user) || !r.Wide(&client) || !r.U32(&pages) ||
            !r.Wide(&notify)) {
          return bad();
        }
        caller.user = user.empty() ? L"SYSTEM" : user;
        caller.machine = client;
        caller.pages = pages;
        caller.notifyName = notify;
        result(sp.StartDocPrinterW(P(a), doc));
        return true;
      }
      case wire::kSpWrite: {
        std::string bytes;
        if (!r.U32(&a) || !r.Bytes(&bytes)) return bad();
        DWORD written = 0;
        result(sp.WritePrinter(P(a), bytes.data(), static_cast<DWORD>(bytes.size()), &written));
        return true;
      }
      case wire::kSpEndDoc: {
        if (!r.U32(&a)) return bad();
        result(sp.EndDocPrinter(P(a)));
        return true;
      }
      default:
        out.U32(0).U32(ERROR_INVALID_FUNCTION);
        return true;
    }
  }

  std::unique_ptr<Machine> machine_;
  std::filesystem::path folder_;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::mutex openLock_;
  std::condition_variable ended_;
  std::set<int> open_;
  std::mutex ownersLock_;
  std::map<std::uint32_t, std::weak_ptr<Owned>> owners_;
};

std::atomic<Server*> running{nullptr};

void OnSignal(int) {
  if (Server* s = running.load()) s->Stop();
}

}  // namespace

int RunMachineProcess(const std::filesystem::path& folder, void (*ready)()) {
  return RunMachineProcess(folder, SystemHooks(), ready);
}

int RunMachineProcess(const std::filesystem::path& folder, const SystemHooks& hooks,
                      void (*ready)()) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    std::fprintf(stderr, "tollmachine: cannot make %s: %s\n", folder.string().c_str(),
                 ec.message().c_str());
    return 1;
  }
  // Each connection is a socket: as many as the host allows.
  wire::RaiseOpenFileLimit();
  // One machine process per folder.
  std::string lockPath = (folder / "machine.lock").string();
  int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
    std::fprintf(stderr, "tollmachine: a machine process already runs on %s\n",
                 folder.string().c_str());
    if (lock >= 0) ::close(lock);
    return 1;
  }
  CurrentSpoolCaller().program = L"tollmachine";
  auto server = std::make_unique<Server>(folder);
  Machine& machine = server->machine();
  std::string loadError = machine.RegistryLoadError();
  if (!loadError.empty()) {
    std::fprintf(stderr, "tollmachine: the registry does not load: %s\n", loadError.c_str());
    ::close(lock);
    return 1;
  }
  SimServices& scm = machine.OwnServices();
  scm.LoadFromRegistry();
  if (hooks.boot) hooks.boot(machine);
  int listener = wire::Listen(folder);
  if (listener < 0) {
    std::fprintf(stderr, "tollmachine: cannot listen on %s\n",
                 wire::SocketPath(folder).string().c_str());
    if (hooks.shutdown) hooks.shutdown();
    ::close(lock);
    return 1;
  }
  running = server.get();
  struct sigaction action {};
  action.sa_handler = OnSignal;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  // The services start once the socket listens: their processes connect back to it.
  std::thread boot([&scm] {
    for (const auto& name : scm.StartAutomatic()) {
      std::fprintf(stderr, "tollmachine: service %s did not start\n", Utf8FromWide(name).c_str());
    }
    std::fprintf(stderr, "tollmachine: machine up\n");
  });
  server->Serve(listener, ready);
  boot.join();
  scm.StopAll(10000);
  if (hooks.shutdown) hooks.shutdown();
  bool closed = server->CloseAll(std::chrono::seconds(40));
  std::filesystem::remove(wire::SocketPath(folder), ec);
  wire::Close(listener);
  running = nullptr;
  if (closed) {
    server.reset();
  } else {
    // A request still runs on the machine: it is left to the end of the process.
    std::fprintf(stderr, "tollmachine: a connection did not end\n");
    server.release();
  }
  ::close(lock);
  std::fprintf(stderr, "tollmachine: machine stopped\n");
  return 0;
}

bool MachineProcessRunning(const std::filesystem::path& folder) {
  int fd = wire::Connect(folder);
  if (fd < 0) return false;
  wire::Writer ping;
  ping.U32(wire::kPing);
  std::string answer;
  bool ok = wire::SendFrame(fd, ping.Data()) && wire::ReceiveFrame(fd, &answer, 5000);
  wire::Close(fd);
  return ok;
}

int StartMachineProcess(const std::filesystem::path& folder, const std::string& program) {
  if (MachineProcessRunning(folder)) {
    std::fprintf(stderr, "tollmachine: the machine already runs\n");
    return 0;
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  std::string log = (folder / "tollmachine.log").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  std::string folderText = std::filesystem::absolute(folder).string();
  std::vector<std::string> args{program, "--machine", folderText, "serve"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    std::fprintf(stderr, "tollmachine: cannot start %s: %s\n", program.c_str(), std::strerror(rc));
    return 1;
  }
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < until) {
    if (MachineProcessRunning(folder)) {
      // Up once the automatic services have been started.
      std::ifstream in(log);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::size_t last = text.rfind("tollmachine: machine ");
      if (last != std::string::npos && text.compare(last, 23, "tollmachine: machine up") == 0) {
        return 0;
      }
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      std::fprintf(stderr, "tollmachine: the machine process ended at start; see %s\n",
                   log.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::fprintf(stderr, "tollmachine: the machine did not come up; see %s\n", log.c_str());
  return 1;
}

bool StopMachineProcess(const std::filesystem::path& folder, int waitMs) {
  int fd = wire::Connect(folder);
  if (fd < 0) return false;
  wire::Writer ping;
  ping.U32(wire::kPing);
  std::string answer;
  std::uint32_t ok = 0, error = 0, pid = 0;
  bool sent = wire::SendFrame(fd, ping.Data()) && wire::ReceiveFrame(fd, &answer, 5000);
  wire::Reader r(answer);
  if (!sent || !r.U32(&ok) || !r.U32(&error) || !r.U32(&pid)) {
    wire::Close(fd);
    return false;
  }
  wire::Writer w;
  w.U32(wire::kShutdown).U32(pid);
  sent = wire::SendFrame(fd, w.Data()) && wire::ReceiveFrame(fd, &answer, 5000);
  wire::Close(fd);
  if (!sent) return false;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (std::chrono::steady_clock::now() < until) {
    if (!std::filesystem::exists(wire::SocketPath(folder))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace platform::sim
