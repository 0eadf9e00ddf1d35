#include <gtest/gtest.h>

#include "agent/config/server_settings.h"
#include "agent/host/agent_main.h"
#include "agent/host/agent_main_fixture.h"
#include "platform/platform.h"
#include "shared/components/injector.h"

namespace {

using namespace platform;
using tollgate::AgentMain;
using tollgate::testing::AgentMainTest;
using tollgate::testing::ReadBytes;
using tollgate::testing::WriteBytes;

TEST_F(AgentMainTest, VersionRequestPrintsTheVersionAndTouchesNothing) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AgentMain({L"tollagent", L"-v"}), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "2.7.2");
  EXPECT_FALSE(std::filesystem::exists(DataFolder().parent_path()));
}

TEST_F(AgentMainTest, MissingServerLogsTheUsageLineAndEachRunStartsANewFile) {
  for (auto argv : {std::vector<std::wstring>{L"tollagent"},
                    std::vector<std::wstring>{L"tollagent", L"-v", L"x"},
                    std::vector<std::wstring>{L"tollagent", L"/server"}}) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(AgentMain(argv), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(EndsWith(LogFile(0), " Usage: tollagent /server {host}\r\n")) << LogFile(0);
  }
  EXPECT_TRUE(EndsWith(LogFile(1), " Usage: tollagent /server {host}\r\n"));
  EXPECT_TRUE(EndsWith(LogFile(2), " Usage: tollagent /server {host}\r\n"));
}

TEST_F(AgentMainTest, AFileWhereTheDataFolderShouldBeStopsStartUp) {
  WriteBytes(DataFolder().parent_path(), "not a folder");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AgentMain({L"tollagent", L"/server", L"h"}), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Error making data folder: error creating folder: Windows error 3: " +
                platform::system().WideCharToMultiByte(platform::CP_UTF8,
                                                       tollgate::testing::OneLineSystemText(3)));
}

TEST_F(AgentMainTest, ServiceRunOutsideAControlManagerEndsSilently) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AgentMain({L"tollagent", L"/servicerun", L"/server", L"acct", L"/port", L"7000"}), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(EndsWith(LogFile(0), " Starting...\r\n")) << LogFile(0);
  EXPECT_EQ(tollgate::ServerSettings::Process().Host(), L"acct");
  EXPECT_EQ(tollgate::ServerSettings::Process().Port(), L"7000");
}

}  // namespace
