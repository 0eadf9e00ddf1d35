// The machine's shared areas reached through its system process (internal to platform/sim).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/eventlog.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "platform/sim/objects.h"
#include "platform/spooler.h"

namespace platform::sim {

class Link;

class Remote {
 public:
  // The areas of the machine process of `folder`, or null when none runs there.
  static std::unique_ptr<Remote> Connect(const std::filesystem::path& folder, Kernel& kernel,
                                         HandleTable& handles);
  ~Remote();
  Registry& registry() { return *registry_; }
  Services& services() { return *services_; }
  EventLog& eventLog() { return *eventLog_; }
  Spooler& spooler() { return *spooler_; }
  std::optional<std::string> Import(const std::string& bytes);
  std::string Export();
  bool Crash(const std::wstring& service);

 private:
  Remote() = default;
  std::shared_ptr<Link> link_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<Services> services_;
  std::unique_ptr<EventLog> eventLog_;
  std::unique_ptr<Spooler> spooler_;
};

}  // namespace platform::sim
