#include <gtest/gtest.h>

#include "agent/config/server_settings.h"
#include "agent/host/agent_main.h"
#include "agent/host/agent_main_fixture.h"
#include "platform/platform.h"
#include "shared/components/injector.h"
#include "shared/rpc/client.h"

namespace {

using namespace platform;
using tollgate::AgentMain;
using tollgate::testing::ReadBytes;
using tollgate::testing::WriteBytes;

class AgentMainOnSim : public tollgate::testing::AgentMainTest {};

TEST_F(AgentMainOnSim, RunsAsAServiceUntilStopped) {
  // This machine runs no endpoint mapper: the one on port 135 may be another test machine's.
  rpc::SetEndpointMapperPort(1);
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
  rpc::SetEndpointMapperPort(0);
}

}  // namespace
