// tollmachine: runs a simulated Windows machine's system services and drives them.
#include <string>
#include <vector>

#include "tools/tollmachine/tollmachine.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return tollgate::tollmachine::TollmachineMain(argv[0], args);
}
