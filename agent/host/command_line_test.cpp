#include <gtest/gtest.h>

#include "agent/host/command_line.h"

namespace {

using tollgate::CommandLine;
using tollgate::ParseCommandLine;

TEST(ParseCommandLine, ReadsOptionsInAnyCaseAndIgnoresTheRest) {
  struct Case {
    std::vector<std::wstring> argv;
    std::wstring server, port;
    bool run, install, uninstall;
  };
  const Case cases[] = {
      {{L"tollagent"}, L"", L"", false, false, false},
      {{L"tollagent", L"/server", L"acct01"}, L"acct01", L"", false, false, false},
      {{L"tollagent", L"/SERVER", L"a", L"/Port", L"7000"}, L"a", L"7000", false, false, false},
      {{L"tollagent", L"/servicerun", L"/server", L"a"}, L"a", L"", true, false, false},
      {{L"tollagent", L"/ServiceInstall", L"/SERVICEUNINSTALL"}, L"", L"", false, true, true},
      {{L"tollagent", L"/server"}, L"", L"", false, false, false},
      {{L"tollagent", L"/server", L"a", L"/port"}, L"a", L"", false, false, false},
      {{L"tollagent", L"/server", L"a", L"/server", L"b"}, L"b", L"", false, false, false},
      {{L"tollagent", L"-x", L"server", L"/server", L"/port"}, L"/port", L"", false, false, false},
      {{L"tollagent", L"/servicerunx", L"/server", L"h"}, L"h", L"", false, false, false},
  };
  for (const Case& c : cases) {
    CommandLine parsed = ParseCommandLine(c.argv);
    EXPECT_EQ(parsed.server, c.server) << c.argv.size();
    EXPECT_EQ(parsed.port, c.port);
    EXPECT_EQ(parsed.serviceRun, c.run);
    EXPECT_EQ(parsed.serviceInstall, c.install);
    EXPECT_EQ(parsed.serviceUninstall, c.uninstall);
  }
}

}  // namespace
