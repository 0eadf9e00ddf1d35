// tollagent: the print-accounting agent.
#include <string>
#include <vector>

#include "agent/host/agent_main.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  std::vector<std::wstring> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    args.push_back(platform::system().MultiByteToWideChar(platform::CP_UTF8, argv[i]));
  }
  return tollgate::AgentMain(args);
}
