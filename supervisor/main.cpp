// tollwarden: the supervisor service of the print-accounting agent.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/platform.h"
#include "supervisor/supervisor.h"

namespace {

// How long the end of the process waits for a check that is still under way.
constexpr platform::DWORD kWatchEndMs = 15000;

}  // namespace

int main() {
  auto* supervisor = new tollgate::Supervisor(tollgate::kWatchedService, tollgate::kReportName);
  tollgate::ServiceApp::instance = supervisor;
  std::vector<platform::ServiceTableEntry> table{
      {supervisor->ServiceName(), &tollgate::ServiceApp::ServiceMain}};
  if (!platform::services().StartServiceCtrlDispatcherW(table)) {
    char line[64];
    std::snprintf(line, sizeof line, "Service failed to run w/err 0x%08lx\n",
                  static_cast<unsigned long>(platform::kernel().GetLastError()));
    platform::console().WriteOut(line);
  }
  // The dispatcher returns once the service has stopped; the watch thread ends at its wait.
  if (!supervisor->EndWatch(kWatchEndMs)) {
    // A check still waits on a starting service: end without tearing down what it uses.
    std::fflush(nullptr);
    std::_Exit(0);
  }
  tollgate::ServiceApp::instance = nullptr;
  delete supervisor;
  return 0;
}
