#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "platform/platform.h"
#include "shared/application/service_host.h"
#include "shared/error/file_log.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;
using tollgate::testing::ReadBytes;
using tollgate::testing::Wide;

// An application whose start waits until the test lets it go on.
class GatedApplication : public tollgate::ServiceApplication {
 public:
  explicit GatedApplication(bool startResult) : startResult_(startResult) {}
  bool Start() override {
    std::unique_lock<std::mutex> lock(m_);
    starting_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return released_; });
    return startResult_;
  }
  void Stop() override { stopped_ = true; }
  void WaitUntilStarting() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return starting_; });
  }
  void Release() {
    std::lock_guard<std::mutex> guard(m_);
    released_ = true;
    cv_.notify_all();
  }
  bool stopped_ = false;

 private:
  bool startResult_;
  bool starting_ = false;
  bool released_ = false;
  std::mutex m_;
  std::condition_variable cv_;
};

class ServiceHostOnSim : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    tollgate::InstallFileLog(
        std::make_unique<tollgate::FileLog>(Wide(Folder() / "events.log"), 1000000));
  }
  void TearDown() override { tollgate::InstallFileLog(nullptr); }

  SC_HANDLE Install(GatedApplication& app) {
    machine().CreateService(L"TollgateAgent",
                            ServiceConfig{SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                          L"tollagent.exe /servicerun /server s", L""},
                            [&app](const std::vector<std::wstring>&) {
                              return tollgate::RunService(app, 10000, 10000) ? 1 : 0;
                            });
    scm_ = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
    return services().OpenServiceW(scm_, L"TollgateAgent", SERVICE_ALL_ACCESS);
  }

  ServiceStatus WaitFor(SC_HANDLE svc, DWORD state) {
    ServiceStatus status;
    for (int i = 0; i < 1000; ++i) {
      services().QueryServiceStatus(svc, &status);
      if (status.dwCurrentState == state) break;
      kernel().Sleep(5);
    }
    return status;
  }

  std::vector<DWORD> States() {
    std::vector<DWORD> states;
    for (const auto& s : machine().ServiceStatusHistory(L"TollgateAgent")) {
      states.push_back(s.dwCurrentState);
    }
    return states;
  }

  SC_HANDLE scm_ = nullptr;
};

TEST_F(ServiceHostOnSim, GoesThroughItsStatesAndRefusesStopWhileStarting) {
  GatedApplication app(true);
  SC_HANDLE svc = Install(app);
  ASSERT_TRUE(services().StartServiceW(svc, {}));
  app.WaitUntilStarting();
  ServiceStatus status = WaitFor(svc, SERVICE_START_PENDING);
  EXPECT_EQ(status.dwControlsAccepted, 0u);
  EXPECT_EQ(status.dwWaitHint, 10000u);
  EXPECT_FALSE(services().ControlService(svc, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(kernel().GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_TRUE(services().ControlService(svc, SERVICE_CONTROL_INTERROGATE, &status));

  app.Release();
  status = WaitFor(svc, SERVICE_RUNNING);
  ASSERT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(status.dwControlsAccepted, SERVICE_ACCEPT_STOP);
  EXPECT_EQ(status.dwWaitHint, 0u);
  // Controls other than stop are ignored.
  EXPECT_FALSE(services().ControlService(svc, SERVICE_CONTROL_PAUSE, &status));
  ASSERT_TRUE(services().ControlService(svc, SERVICE_CONTROL_STOP, &status));
  status = WaitFor(svc, SERVICE_STOPPED);
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_TRUE(app.stopped_);
  EXPECT_EQ(States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING,
                                          SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  auto history = machine().ServiceStatusHistory(L"TollgateAgent");
  EXPECT_EQ(history[2].dwWaitHint, 10000u);
  for (const auto& s : history) {
    EXPECT_EQ(s.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(s.dwCheckPoint, 0u);
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
  }
  EXPECT_NE(ReadBytes(Folder() / "events_0.log").find(" Service stopped.\r\n"), std::string::npos);
  services().CloseServiceHandle(svc);
  services().CloseServiceHandle(scm_);
}

TEST_F(ServiceHostOnSim, ApplicationThatFailsToStartGoesStraightToStopped) {
  GatedApplication app(false);
  SC_HANDLE svc = Install(app);
  app.Release();
  ASSERT_TRUE(services().StartServiceW(svc, {}));
  WaitFor(svc, SERVICE_STOPPED);
  for (int i = 0; i < 200 && States().size() < 2; ++i) kernel().Sleep(5);
  EXPECT_EQ(States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOPPED}));
  EXPECT_FALSE(app.stopped_);
  EXPECT_NE(ReadBytes(Folder() / "events_0.log").find(" Error starting the application.\r\n"),
            std::string::npos);
  services().CloseServiceHandle(svc);
  services().CloseServiceHandle(scm_);
}

TEST_F(ServiceHostOnSim, DispatcherOutsideAControlManagerGivesTheWindowsError) {
  GatedApplication app(true);
  auto error = tollgate::RunService(app, 10000, 10000);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->Text(),
            L"Windows error 1063: The service process could not connect to the "
            L"service controller. ");
}

}  // namespace
