// tollmachine: the simulated machine's system process and its administrator's commands.
#pragma once

#include <string>
#include <vector>

namespace tollgate::tollmachine {

// The command line without the program name; the exit status.
int TollmachineMain(const std::string& program, const std::vector<std::string>& args);

}  // namespace tollgate::tollmachine
