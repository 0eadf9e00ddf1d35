// The simulated Windows machine: one folder on the host that holds the machine's state
// (DESIGN.md), and the platform areas that act on it.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform::sim {

class HandleTable;
class SimKernel;
class SimSystem;
class SimFiles;
class SimConsole;
class SimProcesses;
class SimServices;
class SimRegistry;
class SimSockets;
class SimEventLog;
class SimSpooler;
class SimGdiSpool;
class Remote;

// The body of a service process that the simulated control manager starts in-process: the
// program's entry point with its argument vector (the program name first); its result is
// the process's exit code.
using ServiceProcess = std::function<int(const std::vector<std::wstring>& argv)>;

class Machine : public Platform {
 public:
  // How the machine's shared state (registry, control manager, event log, spooler) is
  // reached: through the machine's system process when one runs (Reach), never through it
  // (Own: tests and programs that host a machine of their own, booted with its spooler
  // running), or as the system process itself (System: its services are started by it).
  enum class Hosting { Reach, Own, System };
  explicit Machine(std::filesystem::path folder, Hosting hosting = Hosting::Own);
  ~Machine() override;

  Kernel& kernel() override;
  System& system() override;
  Files& files() override;
  Console& console() override;
  Processes& processes() override;
  Services& services() override;
  Registry& registry() override;
  Sockets& sockets() override;
  EventLog& eventLog() override;
  Spooler& spooler() override;
  GdiSpool& gdiSpool() override;

  // Whether the shared state is the machine process's (reached through its socket).
  bool Reached() const { return remote_ != nullptr; }
  // The machine's own areas, whatever the hosting (for the machine process).
  SimServices& OwnServices() { return *services_; }
  SimRegistry& OwnRegistry() { return *registry_; }
  SimEventLog& OwnEventLog() { return *eventLog_; }
  SimSpooler& OwnSpooler() { return *spooler_; }
  HandleTable& Handles() { return *handles_; }

  // The registry as regedit imports and exports it: Import takes in a file's keys and
  // values (the error when the file is malformed: nothing is taken then); Export gives the
  // whole registry as a file.
  std::optional<std::string> ImportRegistry(const std::string& bytes);
  std::string ExportRegistry();
  // Fault injection: the service's process (or the built-in spooler) fails.
  bool CrashService(const std::wstring& name);
  // The identity of documents this process prints (user, client machine, page count,
  // notify name), which Windows takes from the caller's session.
  void SetSubmitter(const std::wstring& user, const std::wstring& clientMachine, DWORD pages,
                    const std::wstring& notifyName);

  const std::filesystem::path& Folder() const { return folder_; }
  // The common application data folder (CSIDL_COMMON_APPDATA).
  std::filesystem::path ProgramData() const { return folder_ / "ProgramData"; }

  void SetComputerName(std::wstring name);
  const std::wstring& ComputerName() const { return computerName_; }

  // Installs a service in the control manager. `process` is what starting it runs, on a
  // thread of its own as if it were the service's process; its image path gives the
  // argument vector.
  void CreateService(const std::wstring& name, const ServiceConfig& config, ServiceProcess process);

  // The registry file, "registry.reg" in the machine folder: loaded on the registry's first
  // use and written back after every change.
  std::filesystem::path RegistryFile() const { return folder_ / "registry.reg"; }
  // Why the registry file could not be loaded ("" when it could); a registry that failed to
  // load answers every call with ERROR_BADDB and is never written.
  std::string RegistryLoadError();

  // Every status the service reported since it was last started, oldest first.
  std::vector<ServiceStatus> ServiceStatusHistory(const std::wstring& name);

  // The host path of a Windows-style path of a machine (separators become '/'). A path with a
  // drive letter lies in the machine folder: "C:\\" is the folder's root, as a real server's
  // registry has its paths ("C:\\Windows\\System32\\spool\\PRINTERS"), another drive X
  // the folder's "drive_x". Without `folder`, the folder of the process's machine (the last
  // one made in the process).
  static std::string HostPath(const std::wstring& path);
  static std::string HostPath(const std::filesystem::path& folder, const std::wstring& path);
  static void SetProcessFolder(const std::filesystem::path& folder);

 private:
  std::filesystem::path folder_;
  std::wstring computerName_ = L"TOLLSRV01";
  std::unique_ptr<HandleTable> handles_;
  std::unique_ptr<SimKernel> kernel_;
  std::unique_ptr<SimSystem> system_;
  std::unique_ptr<SimFiles> files_;
  std::unique_ptr<SimConsole> console_;
  std::unique_ptr<SimProcesses> processes_;
  std::unique_ptr<SimServices> services_;
  std::unique_ptr<SimRegistry> registry_;
  std::unique_ptr<SimSockets> sockets_;
  std::unique_ptr<SimEventLog> eventLog_;
  std::unique_ptr<SimSpooler> spooler_;
  std::unique_ptr<SimGdiSpool> gdi_;
  std::unique_ptr<class Remote> remote_;
};

// Splits a command line into arguments by the Windows rules (CommandLineToArgvW).
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

}  // namespace platform::sim
