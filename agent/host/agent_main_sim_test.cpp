#include <gtest/gtest.h>

#include "agent/config/server_settings.h"
#include "agent/host/agent_main.h"
#include "platform/platform.h"
#include "shared/components/injector.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;
using tollgate::AgentMain;
using tollgate::testing::ReadBytes;
using tollgate::testing::WriteBytes;

class AgentMainOnSim : public tollgate::testing::MachineTest {
 protected:
  static std::filesystem::path DataFolder() {
    std::wstring common;
    platform::system().SHGetFolderPathW(CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, &common);
    return std::filesystem::path(common) / "Tollgate" / "Client";
  }
  std::string LogFile(int k) {
    return ReadBytes(DataFolder() / ("events_" + std::to_string(k) + ".log"));
  }
  static bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
  }
};

TEST_F(AgentMainOnSim, RunsAsAServiceUntilStopped) {
  machine().CreateService(L"TollgateAgent",
                          ServiceConfig{SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                        L"tollagent.exe /servicerun /server acct", L""},
                          [](const std::vector<std::wstring>& argv) { return AgentMain(argv); });
  SC_HANDLE scm = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
  SC_HANDLE svc = services().OpenServiceW(scm, L"TollgateAgent", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(services().StartServiceW(svc, {}));
  ServiceStatus status;
  for (int i = 0; i < 1000 && status.dwCurrentState != SERVICE_RUNNING; ++i) {
    services().QueryServiceStatus(svc, &status);
    kernel().Sleep(5);
  }
  ASSERT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  // The running application has registered the core components.
  EXPECT_NE(tollgate::Injector::Process().Get("clock"), nullptr);
  ASSERT_TRUE(services().ControlService(svc, SERVICE_CONTROL_STOP, &status));
  for (int i = 0; i < 1000 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
    services().QueryServiceStatus(svc, &status);
    kernel().Sleep(5);
  }
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  std::string log = LogFile(0);
  EXPECT_NE(log.find(" Starting...\r\n"), std::string::npos);
  EXPECT_TRUE(EndsWith(log, " Service stopped.\r\n")) << log;
  services().CloseServiceHandle(svc);
  services().CloseServiceHandle(scm);
}

}  // namespace
