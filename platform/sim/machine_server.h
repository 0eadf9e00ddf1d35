// The simulated machine's system process: it owns the machine's registry, service control
// manager, event log and spooler, and serves the machine's other programs on the socket in
// the machine folder.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace platform::sim {

class Machine;

// Boots the machine of `folder` (the registry, the control manager with the services of the
// registry, the event log, the spooler, then the automatic services) and serves it until a
// shutdown request. `ready` runs once the socket listens. The exit code: 0 after a clean
// stop, 1 when the machine could not start (the reason on standard error).
int RunMachineProcess(const std::filesystem::path& folder, void (*ready)() = nullptr);

// What the system process runs beside the machine's own services: `boot` once the machine's
// registry has loaded, before the socket listens and the automatic services start (so that
// what it writes to the registry is there for them); `shutdown` after the services have
// stopped, before the machine goes. Either may be empty.
struct SystemHooks {
  std::function<void(Machine&)> boot;
  std::function<void()> shutdown;
};
int RunMachineProcess(const std::filesystem::path& folder, const SystemHooks& hooks,
                      void (*ready)() = nullptr);

// Starts the machine process of `folder` in the background (`program serve`), with its
// output in "tollmachine.log" of the folder, and waits until it answers. 0 when it runs, else
// the reason on standard error and 1.
int StartMachineProcess(const std::filesystem::path& folder, const std::string& program);

// Whether a machine process answers on the folder's socket.
bool MachineProcessRunning(const std::filesystem::path& folder);

// Asks the machine process to stop its services and end, and waits up to `waitMs`.
bool StopMachineProcess(const std::filesystem::path& folder, int waitMs);

}  // namespace platform::sim
