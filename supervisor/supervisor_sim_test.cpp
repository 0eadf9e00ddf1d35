#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/platform.h"
#include "shared/application/service_host.h"
#include "supervisor/supervisor.h"
#include "testing/event_records.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;
using tollgate::Supervisor;
using tollgate::testing::EventRecordsOf;
using Clock = std::chrono::steady_clock;

// The agent's side: a service application that starts at once.
class QuickApplication : public tollgate::ServiceApplication {
 public:
  bool Start() override { return true; }
  void Stop() override {}
};

class SupervisorOnSim : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override { scm_ = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS); }
  void TearDown() override {
    for (const wchar_t* name : {L"tollwarden", L"tollwarden2", L"tollgate client"}) {
      SC_HANDLE svc = services().OpenServiceW(scm_, name, SERVICE_ALL_ACCESS);
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
    services().CloseServiceHandle(scm_);
  }

  // The agent's service as the installer registers it; `runs` false: its program is missing.
  void InstallAgent(DWORD start, bool runs = true,
                    const std::wstring& name = tollgate::kWatchedService) {
    platform::sim::ServiceProcess process;
    if (runs) {
      process = [this](const std::vector<std::wstring>&) {
        return tollgate::RunService(agent_, 10000, 10000) ? 1 : 0;
      };
    }
    machine().CreateService(
        name,
        ServiceConfig{SERVICE_WIN32_OWN_PROCESS, start, L"tollagent.exe /servicerun /server acct01",
                      L"Tollgate Client"},
        process);
  }
  void InstallSupervisor(Supervisor& supervisor, const std::wstring& name = L"tollwarden") {
    machine().CreateService(
        name,
        ServiceConfig{SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, L"tollwarden.exe",
                      L"Tollgate Client Supervisor"},
        [this, &supervisor](const std::vector<std::wstring>&) {
          tollgate::ServiceApp::instance = &supervisor;
          std::vector<ServiceTableEntry> table{{L"", &tollgate::ServiceApp::ServiceMain}};
          services().StartServiceCtrlDispatcherW(table);
          supervisor.EndWatch(15000);
          tollgate::ServiceApp::instance = nullptr;
          ++ended_;
          return 0;
        });
  }
  void SetInterval(DWORD ms) {
    HKEY key = nullptr;
    ASSERT_EQ(registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE, tollgate::kSupervisorKey,
                                         KEY_ALL_ACCESS, &key, nullptr),
              ERROR_SUCCESS);
    std::uint8_t data[4] = {static_cast<std::uint8_t>(ms), static_cast<std::uint8_t>(ms >> 8),
                            static_cast<std::uint8_t>(ms >> 16),
                            static_cast<std::uint8_t>(ms >> 24)};
    registry().RegSetValueExW(key, tollgate::kWatchIntervalValue, REG_DWORD, data, 4);
    registry().RegCloseKey(key);
  }
  DWORD State(const std::wstring& name) {
    SC_HANDLE svc = services().OpenServiceW(scm_, name, SERVICE_ALL_ACCESS);
    ServiceStatus s;
    if (svc != nullptr) services().QueryServiceStatus(svc, &s);
    services().CloseServiceHandle(svc);
    return s.dwCurrentState;
  }
  bool Control(const std::wstring& name, DWORD control) {
    SC_HANDLE svc = services().OpenServiceW(scm_, name, SERVICE_ALL_ACCESS);
    ServiceStatus s;
    bool ok = services().ControlService(svc, control, &s);
    services().CloseServiceHandle(svc);
    return ok;
  }
  bool Start(const std::wstring& name) {
    SC_HANDLE svc = services().OpenServiceW(scm_, name, SERVICE_ALL_ACCESS);
    bool ok = services().StartServiceW(svc, {});
    services().CloseServiceHandle(svc);
    return ok;
  }
  bool WaitForState(const std::wstring& name, DWORD state, int ms) {
    for (int i = 0; i < ms / 5; ++i) {
      if (State(name) == state) return true;
      kernel().Sleep(5);
    }
    return State(name) == state;
  }
  // The records of the watch's checks: those of its report name but the service's own start
  // (104) and stop (103).
  std::vector<EventLogRecord> WatchEvents() {
    std::vector<EventLogRecord> found;
    for (auto& e : EventRecordsOf(L"Application", tollgate::kReportName)) {
      if (e.EventID != 103 && e.EventID != 104) found.push_back(std::move(e));
    }
    return found;
  }
  // The service's own start and stop records, under the report name too: an own-process
  // service has no name of its own to write them with.
  std::vector<EventLogRecord> OwnEvents() {
    EXPECT_TRUE(EventRecordsOf(L"Application", L"").empty());
    std::vector<EventLogRecord> found;
    for (auto& e : EventRecordsOf(L"Application", tollgate::kReportName)) {
      if (e.EventID == 103 || e.EventID == 104) found.push_back(std::move(e));
    }
    return found;
  }

  // Stops the supervisor's service and waits until its process is over (the supervisor is no
  // longer used): the `count`th process to end.
  void StopSupervisor(const std::wstring& name, int count) {
    ASSERT_TRUE(Control(name, SERVICE_CONTROL_STOP));
    ASSERT_TRUE(WaitForState(name, SERVICE_STOPPED, 1000));
    for (int i = 0; i < 3000 && ended_ < count; ++i) kernel().Sleep(5);
    ASSERT_EQ(ended_, count);
  }

  std::atomic<int> ended_{0};
  QuickApplication agent_;
  SC_HANDLE scm_ = nullptr;
};

TEST_F(SupervisorOnSim, ACheckStartsOnlyAStoppedAutomaticAgentWhileTheSpoolerRuns) {
  struct Case {
    const char* what;
    bool installed;
    DWORD start;
    bool spoolerRuns;
    bool started;
  };
  const Case cases[] = {
      {"automatic, spooler running", true, SERVICE_AUTO_START, true, true},
      {"automatic, spooler stopped", true, SERVICE_AUTO_START, false, false},
      {"manual start", true, SERVICE_DEMAND_START, true, false},
      {"disabled", true, SERVICE_DISABLED, true, false},
      {"not installed", false, SERVICE_AUTO_START, true, false},
  };
  Supervisor supervisor(tollgate::kWatchedService, tollgate::kReportName);
  InstallAgent(SERVICE_AUTO_START);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SC_HANDLE svc = services().OpenServiceW(scm_, L"tollgate client", SERVICE_ALL_ACCESS);
    ASSERT_TRUE(services().ChangeServiceConfigW(svc, SERVICE_NO_CHANGE, c.start, L"", L""));
    services().CloseServiceHandle(svc);
    if (!c.spoolerRuns) {
      ASSERT_TRUE(Control(L"Spooler", SERVICE_CONTROL_STOP));
    }
    if (c.installed) {
      supervisor.Check();
    } else {
      Supervisor(L"tollgate other", tollgate::kReportName).Check();
    }
    EXPECT_EQ(State(L"tollgate client"), c.started ? SERVICE_RUNNING : SERVICE_STOPPED);
    if (c.started) {
      ASSERT_TRUE(Control(L"tollgate client", SERVICE_CONTROL_STOP));
      ASSERT_TRUE(WaitForState(L"tollgate client", SERVICE_STOPPED, 5000));
      kernel().Sleep(100);  // its process ends
    }
    if (!c.spoolerRuns) {
      ASSERT_TRUE(Start(L"Spooler"));
    }
  }
  // Nothing of this is an error.
  EXPECT_TRUE(WatchEvents().empty());
}

TEST_F(SupervisorOnSim, TheWatchRestartsTheAgentAndWritesFailedChecksToTheEventLog) {
  SetInterval(100);
  InstallAgent(SERVICE_AUTO_START);
  Supervisor supervisor(tollgate::kWatchedService, tollgate::kReportName);
  InstallSupervisor(supervisor);
  ASSERT_TRUE(Start(L"tollwarden"));
  ASSERT_TRUE(WaitForState(L"tollwarden", SERVICE_RUNNING, 2000));
  EXPECT_EQ(supervisor.WatchInterval(), 100u);
  EXPECT_TRUE(WaitForState(L"tollgate client", SERVICE_RUNNING, 3000));
  EXPECT_TRUE(WatchEvents().empty());
  // The supervisor's own events: started (104).
  auto own = OwnEvents();
  ASSERT_EQ(own.size(), 1u);
  EXPECT_EQ(own[0].EventID, 104u);
  StopSupervisor(L"tollwarden", 1);
  ASSERT_TRUE(Control(L"tollgate client", SERVICE_CONTROL_STOP));
  ASSERT_TRUE(WaitForState(L"tollgate client", SERVICE_STOPPED, 5000));
  kernel().Sleep(50);

  // The agent's program is missing: every check fails its start and says so.
  InstallAgent(SERVICE_AUTO_START, false, L"tollgate missing");
  Supervisor second(L"tollgate missing", tollgate::kReportName);
  InstallSupervisor(second, L"tollwarden2");
  ASSERT_TRUE(Start(L"tollwarden2"));
  for (int i = 0; i < 400 && WatchEvents().size() < 2; ++i) kernel().Sleep(5);
  auto events = WatchEvents();
  ASSERT_GE(events.size(), 2u);
  for (const auto& e : events) {
    EXPECT_EQ(e.EventID, 0u);
    EXPECT_EQ(e.EventType, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(e.Strings, (std::vector<std::wstring>{L"StartService", L"WinService::Start", L"2",
                                                    tollgate::testing::SystemText(2)}));
  }
  StopSupervisor(L"tollwarden2", 2);
}

TEST_F(SupervisorOnSim, AStopWhileTheWatchSleepsEndsItAtOnce) {
  Supervisor supervisor(tollgate::kWatchedService, tollgate::kReportName);
  InstallSupervisor(supervisor);
  ASSERT_TRUE(Start(L"tollwarden"));
  ASSERT_TRUE(WaitForState(L"tollwarden", SERVICE_RUNNING, 2000));
  EXPECT_EQ(supervisor.WatchInterval(), tollgate::kWatchIntervalMs);
  Clock::time_point asked = Clock::now();
  ASSERT_TRUE(Control(L"tollwarden", SERVICE_CONTROL_STOP));
  ASSERT_TRUE(WaitForState(L"tollwarden", SERVICE_STOPPED, 1000));
  // The watch thread ended with the stop, not at its next check.
  EXPECT_TRUE(supervisor.EndWatch(1000));
  EXPECT_LT(Clock::now() - asked, std::chrono::milliseconds(1000));
  auto own = OwnEvents();
  ASSERT_EQ(own.size(), 2u);
  EXPECT_EQ(own[1].EventID, 103u);
  EXPECT_EQ(own[1].EventType, EVENTLOG_SUCCESS);
  for (int i = 0; i < 3000 && ended_ < 1; ++i) kernel().Sleep(5);
  ASSERT_EQ(ended_, 1);
}

TEST_F(SupervisorOnSim, OnlyAShorterIntervalIsTakenFromTheRegistry) {
  EXPECT_EQ(tollgate::ReadWatchInterval(), 30000u);
  const std::pair<DWORD, DWORD> cases[] = {{500, 500}, {1, 1},         {30000, 30000},
                                           {0, 30000}, {30001, 30000}, {0xFFFFFFFF, 30000}};
  for (const auto& [set, used] : cases) {
    SetInterval(set);
    EXPECT_EQ(tollgate::ReadWatchInterval(), used) << set;
  }
  HKEY key = nullptr;
  registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, tollgate::kSupervisorKey, KEY_ALL_ACCESS, &key);
  const std::uint8_t text[] = {'5', 0, 0, 0};
  registry().RegSetValueExW(key, tollgate::kWatchIntervalValue, REG_SZ, text, 4);
  registry().RegCloseKey(key);
  EXPECT_EQ(tollgate::ReadWatchInterval(), 30000u);
}

}  // namespace
