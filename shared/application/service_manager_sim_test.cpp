#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>

#include "platform/platform.h"
#include "shared/application/service_manager.h"
#include "shared/error/errors.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;
using tollgate::ServiceManager;
using tollgate::WinService;
using Clock = std::chrono::steady_clock;

// A service process that reports start-pending `pending` times (the check point growing when
// `progress` is set), `stepMs` apart, then running or, with `fail`, stopped; it stops on the
// stop control.
struct Pending {
  int pending = 0;
  bool progress = true;
  DWORD waitHint = 0;
  DWORD stepMs = 100;
  bool fail = false;
};

int RunPending(const Pending& p) {
  HANDLE stop = kernel().CreateEventW(true, false);
  std::vector<ServiceTableEntry> table{
      {L"", [&](const std::vector<std::wstring>&) {
         ServiceStatus s;
         s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
         SERVICE_STATUS_HANDLE h = services().RegisterServiceCtrlHandlerW(L"", [&](DWORD c) {
           if (c != SERVICE_CONTROL_STOP) return;
           s.dwCurrentState = SERVICE_STOP_PENDING;
           services().SetServiceStatus(h, s);
           kernel().SetEvent(stop);
         });
         s.dwCurrentState = SERVICE_START_PENDING;
         s.dwWaitHint = p.waitHint;
         for (int i = 0; i < p.pending; ++i) {
           if (p.progress) ++s.dwCheckPoint;
           services().SetServiceStatus(h, s);
           kernel().Sleep(p.stepMs);
         }
         s.dwCheckPoint = 0;
         s.dwWaitHint = 0;
         if (p.fail) {
           s.dwCurrentState = SERVICE_STOPPED;
           services().SetServiceStatus(h, s);
           return;
         }
         s.dwCurrentState = SERVICE_RUNNING;
         s.dwControlsAccepted = SERVICE_ACCEPT_STOP;
         services().SetServiceStatus(h, s);
         kernel().WaitForSingleObject(stop, INFINITE);
         s.dwCurrentState = SERVICE_STOPPED;
         services().SetServiceStatus(h, s);
       }}};
  services().StartServiceCtrlDispatcherW(table);
  kernel().CloseHandle(stop);
  return 0;
}

class ServiceManagerOnSim : public tollgate::testing::MachineTest {
 protected:
  void Create(const std::wstring& name, Pending p, DWORD start = SERVICE_AUTO_START) {
    machine().CreateService(name, ServiceConfig{SERVICE_WIN32_OWN_PROCESS, start, L"x.exe", L""},
                            [p](const std::vector<std::wstring>&) { return RunPending(p); });
    created_.push_back(name);
  }
  void TearDown() override {
    // Stops what still runs, so that the machine can end.
    SC_HANDLE scm = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
    for (const auto& name : created_) {
      SC_HANDLE svc = services().OpenServiceW(scm, name, SERVICE_ALL_ACCESS);
      if (svc == nullptr) continue;
      ServiceStatus s;
      for (int i = 0; i < 2000; ++i) {
        services().QueryServiceStatus(svc, &s);
        if (s.dwCurrentState == SERVICE_STOPPED) break;
        if (s.dwCurrentState == SERVICE_RUNNING) services().ControlService(svc, 1, &s);
        kernel().Sleep(5);
      }
      services().CloseServiceHandle(svc);
    }
    services().CloseServiceHandle(scm);
  }
  template <typename Body>
  static std::vector<std::wstring> Raised(Body body, std::uint32_t* id = nullptr) {
    try {
      body();
    } catch (Error* error) {
      std::vector<std::wstring> args = error->Args();
      if (id != nullptr) *id = error->Id();
      delete error;
      return args;
    }
    return {};
  }
  std::vector<std::wstring> created_;
};

TEST_F(ServiceManagerOnSim, OpensReadsAndFindsNoServiceWithoutAnError) {
  Create(L"Manual", Pending{}, SERVICE_DEMAND_START);
  ServiceManager scm(GENERIC_ALL);
  EXPECT_EQ(scm.Get(L"Not Installed"), nullptr);
  std::unique_ptr<WinService> spooler = scm.Get(L"spooler");  // names in any case
  ASSERT_NE(spooler, nullptr);
  EXPECT_EQ(spooler->Status().dwCurrentState, SERVICE_RUNNING);
  std::unique_ptr<WinService> manual = scm.Get(L"Manual");
  ASSERT_NE(manual, nullptr);
  EXPECT_EQ(manual->Status().dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(manual->StartType(), SERVICE_DEMAND_START);
}

TEST_F(ServiceManagerOnSim, FailuresCarryTheirPlaces) {
  // A service removed while its handle is open: the handle no longer answers.
  SC_HANDLE raw = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
  SC_HANDLE created = services().CreateServiceW(
      raw, L"Gone", ServiceConfig{SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, L"gone.exe", L""});
  ASSERT_NE(created, nullptr);
  ServiceManager scm;
  std::unique_ptr<WinService> gone = scm.Get(L"Gone", true);
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->StartType(), SERVICE_AUTO_START);
  ASSERT_TRUE(services().DeleteService(created));
  services().CloseServiceHandle(created);
  services().CloseServiceHandle(raw);
  EXPECT_EQ(scm.Get(L"Gone"), nullptr);

  std::uint32_t id = 99;
  auto args = Raised([&] { gone->Status(); }, &id);
  ASSERT_EQ(args.size(), 3u);
  EXPECT_EQ(id, 7u);
  EXPECT_EQ(args[0], L"M353");
  EXPECT_EQ(args[1], L"6");
  EXPECT_EQ(Raised([&] { gone->StartType(); }).at(0), L"M361");
  args = Raised([&] { gone->Start(); }, &id);
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(args[0], L"StartService");
  EXPECT_EQ(args[1], L"WinService::Start");
  EXPECT_EQ(args[2], L"6");
}

TEST_F(ServiceManagerOnSim, StartWaitsWhileTheServiceProgressesAndNoLongerWhenItStalls) {
  struct Case {
    const char* what;
    Pending pending;
    bool running;
    int minMs, maxMs;
  };
  // The pause between looks is a tenth of the wait hint, at least one second.
  std::vector<Case> cases{
      {"running at once", Pending{0, true, 0, 0, false}, true, 0, 1500},
      {"progress for longer than the wait hint", Pending{14, true, 1200, 200, false}, true, 2000,
       5000},
      {"no progress for the wait hint", Pending{30, false, 1200, 100, false}, false, 1900, 3500},
      {"stopped while starting", Pending{3, true, 1000, 100, true}, false, 900, 2500},
  };
  ServiceManager scm;
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::wstring name = L"Case" + std::to_wstring(n++);
    Create(name, c.pending);
    std::unique_ptr<WinService> svc = scm.Get(name);
    ASSERT_NE(svc, nullptr);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(svc->Start(), c.running);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(ms, c.minMs);
    EXPECT_LE(ms, c.maxMs);
  }
  // A service that runs already cannot be started: the error of the start.
  std::uint32_t id = 99;
  auto args = Raised([&] { scm.Get(L"Case0")->Start(); }, &id);
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[0], L"StartService");
  EXPECT_EQ(args[2], std::to_wstring(ERROR_SERVICE_ALREADY_RUNNING));
}

}  // namespace
