#include "platform/sim/machine.h"

#include <cstdlib>

#include "platform/sim/areas.h"
#include "platform/sim/eventlog.h"
#include "platform/sim/remote.h"
#include "platform/sim/spooler.h"

namespace platform::sim {

Machine::Machine(std::filesystem::path folder, Hosting hosting)
    : folder_(std::filesystem::absolute(std::move(folder))),
      handles_(std::make_unique<HandleTable>()),
      kernel_(std::make_unique<SimKernel>(*handles_)),
      system_(std::make_unique<SimSystem>(*this)),
      files_(std::make_unique<SimFiles>(*handles_)),
      console_(std::make_unique<SimConsole>()),
      processes_(std::make_unique<SimProcesses>(*handles_)),
      services_(std::make_unique<SimServices>(*kernel_, folder_)),
      registry_(std::make_unique<SimRegistry>(RegistryFile())),
      sockets_(std::make_unique<SimSockets>(*this)) {
  SetProcessFolder(folder_);
  eventLog_ = std::make_unique<SimEventLog>(folder_, *registry_, *kernel_, computerName_);
  spooler_ = std::make_unique<SimSpooler>(folder_, *registry_, *handles_, computerName_);
  services_->Attach(registry_.get(), eventLog_.get());
  SimSpooler* own = spooler_.get();
  // The service writes the spool folder's value when the registry has none, as Windows does.
  SimServices::Builtin builtin{[own] {
                                 own->WriteDefaultSpoolDirectory();
                                 own->Start();
                               },
                               [own] { own->Stop(); }, [own] { own->Crash(); }, 3000};
  services_->CreateBuiltin(L"Spooler",
                           ServiceConfig{SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                         L"%SystemRoot%\\System32\\spoolsv.exe", L"Print Spooler"},
                           builtin);
  if (hosting == Hosting::Reach) remote_ = Remote::Connect(folder_, *kernel_, *handles_);
  if (!remote_ && hosting != Hosting::System) {
    // A machine hosted in-process boots with its spooler running.
    spooler_->Start();
    services_->MarkRunning(L"Spooler");
  }
  gdi_ = std::make_unique<SimGdiSpool>(spooler(), registry(), folder_);
}

Machine::~Machine() {
  remote_.reset();
  // The services first: their processes and restarts use the other areas until they end.
  services_.reset();
  spooler_->Stop();
}

Kernel& Machine::kernel() {
  return *kernel_;
}
System& Machine::system() {
  return *system_;
}
Files& Machine::files() {
  return *files_;
}
Console& Machine::console() {
  return *console_;
}
Processes& Machine::processes() {
  return *processes_;
}
Services& Machine::services() {
  return remote_ ? remote_->services() : *services_;
}
Registry& Machine::registry() {
  return remote_ ? remote_->registry() : *registry_;
}
EventLog& Machine::eventLog() {
  return remote_ ? remote_->eventLog() : *eventLog_;
}
Spooler& Machine::spooler() {
  return remote_ ? remote_->spooler() : *spooler_;
}
GdiSpool& Machine::gdiSpool() {
  return *gdi_;
}

std::string Machine::RegistryLoadError() {
  return remote_ ? std::string() : registry_->LoadError();
}

std::optional<std::string> Machine::ImportRegistry(const std::string& bytes) {
  return remote_ ? remote_->Import(bytes) : registry_->Import(bytes);
}

std::string Machine::ExportRegistry() {
  return remote_ ? remote_->Export() : registry_->Export();
}

bool Machine::CrashService(const std::wstring& name) {
  return remote_ ? remote_->Crash(name) : services_->Crash(name);
}

void Machine::SetSubmitter(const std::wstring& user, const std::wstring& clientMachine, DWORD pages,
                           const std::wstring& notifyName) {
  SpoolCaller& caller = CurrentSpoolCaller();
  if (!user.empty()) caller.user = user;
  caller.machine = clientMachine;
  caller.pages = pages;
  caller.notifyName = notifyName;
}

Sockets& Machine::sockets() {
  return *sockets_;
}

void Machine::SetComputerName(std::wstring name) {
  computerName_ = std::move(name);
}

void Machine::CreateService(const std::wstring& name, const ServiceConfig& config,
                            ServiceProcess process) {
  services_->Create(name, config, std::move(process));
}

std::vector<ServiceStatus> Machine::ServiceStatusHistory(const std::wstring& name) {
  return services_->History(name);
}

}  // namespace platform::sim

namespace platform {

// The simulated machine named by TOLLGATE_MACHINE, or the folder "tollgate-machine" in the
// current directory, reached through its system process when one runs. Nothing is created
// in it until something is written.
std::shared_ptr<Platform> CreateDefaultPlatform() {
  const char* folder = std::getenv("TOLLGATE_MACHINE");
  return std::make_shared<sim::Machine>(
      folder != nullptr && *folder != '\0' ? folder : "tollgate-machine",
      sim::Machine::Hosting::Reach);
}

}  // namespace platform
