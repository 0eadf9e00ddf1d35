#include "platform/sim/machine.h"

#include <cstdlib>

#include "platform/sim/areas.h"

namespace platform::sim {

Machine::Machine(std::filesystem::path folder)
    : folder_(std::filesystem::absolute(std::move(folder))),
      handles_(std::make_unique<HandleTable>()),
      kernel_(std::make_unique<SimKernel>(*handles_)),
      system_(std::make_unique<SimSystem>(*this)),
      files_(std::make_unique<SimFiles>(*handles_)),
      console_(std::make_unique<SimConsole>()),
      processes_(std::make_unique<SimProcesses>(*handles_)),
      services_(std::make_unique<SimServices>(*kernel_)),
      registry_(std::make_unique<SimRegistry>(RegistryFile())),
      sockets_(std::make_unique<SimSockets>(*this)) {}

Machine::~Machine() = default;

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
  return *services_;
}
Registry& Machine::registry() {
  return *registry_;
}

std::string Machine::RegistryLoadError() {
  return registry_->LoadError();
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
// current directory. Nothing is created in it until something is written.
std::shared_ptr<Platform> CreateDefaultPlatform() {
  const char* folder = std::getenv("TOLLGATE_MACHINE");
  return std::make_shared<sim::Machine>(folder != nullptr && *folder != '\0' ? folder
                                                                             : "tollgate-machine");
}

}  // namespace platform
