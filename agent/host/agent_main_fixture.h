// Tests of the agent's entry point: the data folder and its file log.
#pragma once

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "testing/machine_fixture.h"

namespace tollgate::testing {

class AgentMainTest : public MachineTest {
 protected:
  static std::filesystem::path DataFolder() {
    std::wstring common;
    platform::system().SHGetFolderPathW(
        platform::CSIDL_COMMON_APPDATA | platform::CSIDL_FLAG_CREATE, &common);
    return std::filesystem::path(common) / "Tollgate" / "Client";
  }
  static std::string LogFile(int k) {
    return ReadBytes(DataFolder() / ("events_" + std::to_string(k) + ".log"));
  }
  static bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
  }
};

}  // namespace tollgate::testing
