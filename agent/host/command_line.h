// The agent's command line.
#pragma once

#include <string>
#include <vector>

namespace tollgate {

struct CommandLine {
  bool serviceInstall = false;
  bool serviceRun = false;
  bool serviceUninstall = false;
  std::wstring server;
  std::wstring port;
};

// Parses the arguments after the program name (argv[0] is skipped). Option names are
// compared without regard to case; "/server" and "/port" take the next argument, and are
// ignored as the last one; anything else is ignored; a repeated option overwrites.
CommandLine ParseCommandLine(const std::vector<std::wstring>& argv);

}  // namespace tollgate
