#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "platform/platform.h"
#include "shared/application/service_app.h"
#include "shared/error/errors.h"
#include "testing/event_records.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;
using tollgate::ServiceApp;
using tollgate::testing::EventRecordsOf;

// A service whose work is a function of the test's.
class TestApp : public ServiceApp {
 public:
  std::function<void()> run;
  std::atomic<int> runs{0}, stops{0}, shutdowns{0};
  std::vector<std::wstring> args;
  void Run(DWORD argc, const std::vector<std::wstring>& argv) override {
    ++runs;
    args = argv;
    EXPECT_EQ(argc, argv.size());
    EXPECT_NE(StopEvent(), nullptr);
    if (run) run();
  }
  void OnStop() override {
    ++stops;
    // The stop event is set before the hook runs.
    EXPECT_EQ(kernel().WaitForSingleObject(StopEvent(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(Stopping());
  }
  void OnShutdown() override { ++shutdowns; }
};

class ServiceAppOnSim : public tollgate::testing::MachineTest {
 protected:
  void Install(TestApp& app) {
    machine().CreateService(
        L"Warden",
        ServiceConfig{SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, L"tollwarden.exe", L"Warden"},
        [this, &app](const std::vector<std::wstring>&) {
          ServiceApp::instance = &app;
          std::vector<ServiceTableEntry> table{{L"", &ServiceApp::ServiceMain}};
          bool ok = services().StartServiceCtrlDispatcherW(table);
          ++ended_;
          return ok ? 0 : 1;
        });
    scm_ = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
    svc_ = services().OpenServiceW(scm_, L"Warden", SERVICE_ALL_ACCESS);
  }
  void TearDown() override {
    if (svc_ != nullptr) services().CloseServiceHandle(svc_);
    if (scm_ != nullptr) services().CloseServiceHandle(scm_);
    ServiceApp::instance = nullptr;
  }
  // Waits until `count` service processes have ended (their service is no longer used).
  void WaitForEnded(int count) {
    for (int i = 0; i < 2000 && ended_ < count; ++i) kernel().Sleep(5);
    ASSERT_EQ(ended_, count);
  }

  std::atomic<int> ended_{0};

  ServiceStatus WaitFor(DWORD state, int ms = 5000) {
    ServiceStatus status;
    for (int i = 0; i < ms / 5; ++i) {
      services().QueryServiceStatus(svc_, &status);
      if (status.dwCurrentState == state) break;
      kernel().Sleep(5);
    }
    return status;
  }
  // Starts the service again once its process (the dispatcher) has ended.
  void StartAgain() {
    ServiceStatusProcess s;
    for (int i = 0; i < 1000; ++i) {
      services().QueryServiceStatusEx(svc_, &s);
      if (s.status.dwCurrentState == SERVICE_STOPPED && services().StartServiceW(svc_, {})) return;
      kernel().Sleep(5);
    }
    FAIL() << "the service could not be started again";
  }
  std::vector<ServiceStatus> History() { return machine().ServiceStatusHistory(L"Warden"); }
  std::vector<EventLogRecord> OwnEvents() { return EventRecordsOf(L"Application", L""); }

  SC_HANDLE scm_ = nullptr;
  SC_HANDLE svc_ = nullptr;
};

TEST_F(ServiceAppOnSim, RunsStopsAndWritesItsEventsWithCheckPointsCounting) {
  TestApp app;
  Install(app);
  ASSERT_TRUE(services().StartServiceW(svc_, {L"extra"}));
  ServiceStatus status = WaitFor(SERVICE_RUNNING);
  ASSERT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(status.dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
  EXPECT_EQ(app.runs, 1);
  EXPECT_EQ(app.args, (std::vector<std::wstring>{L"Warden", L"extra"}));
  // The service main returned; the process lives on until the service stops.
  for (int i = 0; i < 100 && OwnEvents().empty(); ++i) kernel().Sleep(5);
  auto events = OwnEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].EventID, 104u);
  EXPECT_EQ(events[0].EventType, EVENTLOG_SUCCESS);
  EXPECT_TRUE(events[0].Strings.empty());

  ASSERT_TRUE(services().ControlService(svc_, SERVICE_CONTROL_STOP, &status));
  status = WaitFor(SERVICE_STOPPED);
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(app.stops, 1);
  auto history = History();
  ASSERT_EQ(history.size(), 4u);
  std::vector<DWORD> states;
  for (const auto& s : history) {
    states.push_back(s.dwCurrentState);
    EXPECT_EQ(s.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
    EXPECT_EQ(s.dwWaitHint, 0u);
  }
  EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING,
                                        SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_GT(history[0].dwCheckPoint, 0u);
  EXPECT_EQ(history[1].dwCheckPoint, 0u);
  EXPECT_GT(history[2].dwCheckPoint, history[0].dwCheckPoint);
  EXPECT_EQ(history[3].dwCheckPoint, 0u);
  for (int i = 0; i < 100 && OwnEvents().size() < 2; ++i) kernel().Sleep(5);
  events = OwnEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].EventID, 103u);
  EXPECT_EQ(events[1].EventType, EVENTLOG_SUCCESS);

  // The counter never resets: the next start's pending report counts on.
  DWORD before = history[2].dwCheckPoint;
  StartAgain();
  ASSERT_EQ(WaitFor(SERVICE_RUNNING).dwCurrentState, SERVICE_RUNNING);
  EXPECT_GT(History().at(0).dwCheckPoint, before);
  ASSERT_TRUE(services().ControlService(svc_, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(WaitFor(SERVICE_STOPPED).dwCurrentState, SERVICE_STOPPED);
  WaitForEnded(2);
}

TEST_F(ServiceAppOnSim, ShutdownRunsItsHookAndReportsStopped) {
  TestApp app;
  Install(app);
  ASSERT_TRUE(services().StartServiceW(svc_, {}));
  ASSERT_EQ(WaitFor(SERVICE_RUNNING).dwCurrentState, SERVICE_RUNNING);
  // Other controls are ignored.
  ServiceStatus status;
  services().ControlService(svc_, SERVICE_CONTROL_INTERROGATE, &status);
  ASSERT_TRUE(services().ControlService(svc_, 200, &status));
  kernel().Sleep(50);
  EXPECT_EQ(WaitFor(SERVICE_RUNNING).dwCurrentState, SERVICE_RUNNING);
  // Only the system sends shutdown: the handler is called as the dispatcher calls it.
  ServiceApp::ControlHandler(SERVICE_CONTROL_SHUTDOWN);
  EXPECT_EQ(WaitFor(SERVICE_STOPPED).dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(app.shutdowns, 1);
  EXPECT_EQ(app.stops, 0);
  EXPECT_FALSE(app.Stopping());
  auto events = OwnEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].EventID, 104u);
  WaitForEnded(1);
}

TEST_F(ServiceAppOnSim, AFailingRunStopsTheServiceWithItsErrorInTheEventLog) {
  struct Case {
    const char* what;
    std::function<void()> raise;
    DWORD eventId;
    std::uint16_t type;
    std::vector<std::wstring> strings;
    DWORD specific;
  };
  const std::wstring denied = tollgate::testing::SystemText(ERROR_ACCESS_DENIED);
  std::vector<Case> cases{
      {"system error",
       [] { throw new SystemError(L"M99", ERROR_ACCESS_DENIED); },
       7,
       EVENTLOG_ERROR_TYPE,
       {L"M99", L"5", denied},
       ERROR_ACCESS_DENIED},
      {"error marked as a warning",
       [] {
         throw new Error(33, {L"a", L"b"}, 1);
       },
       33,
       EVENTLOG_WARNING_TYPE,
       {L"a", L"b"},
       0xFFFFFFFFu},
      {"error of another mark",
       [] { throw new Error(34, {}, 2); },
       34,
       EVENTLOG_ERROR_TYPE,
       {},
       0xFFFFFFFFu},
      {"anything else", [] { throw 42; }, 1, EVENTLOG_ERROR_TYPE, {L"M56"}, 0xFFFFFFFFu},
  };
  // Each case on a service of its own.
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestApp app;
    app.run = c.raise;
    std::wstring name = L"Failing" + std::to_wstring(n++);
    machine().CreateService(
        name, ServiceConfig{SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, L"x", L""},
        [this, &app](const std::vector<std::wstring>&) {
          ServiceApp::instance = &app;
          std::vector<ServiceTableEntry> table{{L"", &ServiceApp::ServiceMain}};
          services().StartServiceCtrlDispatcherW(table);
          ++ended_;
          return 0;
        });
    if (scm_ == nullptr) scm_ = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
    SC_HANDLE svc = services().OpenServiceW(scm_, name, SERVICE_ALL_ACCESS);
    std::size_t before = OwnEvents().size();
    ASSERT_TRUE(services().StartServiceW(svc, {}));
    ServiceStatus status;
    for (int i = 0; i < 1000; ++i) {
      services().QueryServiceStatus(svc, &status);
      if (status.dwCurrentState == SERVICE_STOPPED && app.runs == 1) break;
      kernel().Sleep(5);
    }
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwWin32ExitCode, ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(status.dwServiceSpecificExitCode, c.specific);
    auto history = machine().ServiceStatusHistory(name);
    ASSERT_EQ(history.size(), 2u);  // start-pending, then stopped: never running
    EXPECT_EQ(history[0].dwCurrentState, SERVICE_START_PENDING);
    auto events = OwnEvents();
    ASSERT_EQ(events.size(), before + 1);
    EXPECT_EQ(events.back().EventID, c.eventId);
    EXPECT_EQ(events.back().EventType, c.type);
    EXPECT_EQ(events.back().Strings, c.strings);
    services().CloseServiceHandle(svc);
    WaitForEnded(n);
  }
}

}  // namespace
