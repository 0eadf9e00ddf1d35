// The agent's entry point.
#pragma once

#include <string>
#include <vector>

namespace tollgate {

// Runs the agent with its argument vector (the program name first) and returns the exit
// code: the version, the data folder and file log, the command line, and then the service
// run or the console run.
int AgentMain(const std::vector<std::wstring>& argv);

}  // namespace tollgate
