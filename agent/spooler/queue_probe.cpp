// A queue's jobs driven through Printer, for the tests against a running machine:
//   queue_probe QUEUE pause|resume|restart|cancel|delete|text JOB [TEXT]
// Exit 0 when done, 1 when the job is gone, 2 on an error (its arguments on stderr).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/spooler/printer.h"
#include "platform/spooler.h"
#include "shared/error/errors.h"

namespace {

std::wstring Wide(const char* text) {
  std::wstring wide;
  for (const char* p = text; *p != 0; ++p) wide.push_back(static_cast<unsigned char>(*p));
  return wide;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tollgate::spooler;
  if (argc < 4) {
    std::fprintf(stderr, "usage: queue_probe QUEUE COMMAND JOB [TEXT]\n");
    return 2;
  }
  const std::string command = argv[2];
  const auto job = static_cast<platform::DWORD>(std::strtoul(argv[3], nullptr, 10));
  PrintMgr manager(L"");
  Printer printer(Wide(argv[1]), &manager);
  try {
    if (command == "text") {
      printer.SetJobStatusText(job, argc > 4 ? Wide(argv[4]) : L"");
      return 0;
    }
    platform::DWORD control = command == "pause"     ? platform::JOB_CONTROL_PAUSE
                              : command == "resume"  ? platform::JOB_CONTROL_RESUME
                              : command == "restart" ? platform::JOB_CONTROL_RESTART
                              : command == "cancel"  ? platform::JOB_CONTROL_CANCEL
                              : command == "delete"  ? platform::JOB_CONTROL_DELETE
                                                     : 0;
    if (control == 0) {
      std::fprintf(stderr, "unknown command %s\n", command.c_str());
      return 2;
    }
    return printer.SetJob(job, control) ? 0 : 1;
  } catch (Error* error) {
    for (const auto& arg : error->Args()) std::fprintf(stderr, "%ls\n", arg.c_str());
    delete error;
    return 2;
  }
}
