// The installed platform: one instance per process, reached through the accessors below.
// Programs install the default implementation at start; tests install their own.
#pragma once

#include <memory>

#include "platform/console.h"
#include "platform/eventlog.h"
#include "platform/files.h"
#include "platform/kernel.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "platform/sockets.h"
#include "platform/spooler.h"
#include "platform/system.h"

namespace platform {

class Platform {
 public:
  virtual ~Platform() = default;
  virtual Kernel& kernel() = 0;
  virtual System& system() = 0;
  virtual Files& files() = 0;
  virtual Console& console() = 0;
  virtual Processes& processes() = 0;
  virtual Services& services() = 0;
  virtual Registry& registry() = 0;
  virtual Sockets& sockets() = 0;
  virtual EventLog& eventLog() = 0;
  virtual Spooler& spooler() = 0;
  virtual GdiSpool& gdiSpool() = 0;
};

// Installs `instance` as the process's platform and returns the one it replaces. Install
// before any thread uses the platform; the previous instance stays alive for its owner.
std::shared_ptr<Platform> Install(std::shared_ptr<Platform> instance);

// The installed platform. Installs the default one (CreateDefaultPlatform) on first use.
Platform& Current();

// The implementation linked into the program: the simulated machine on Linux, the real
// Win32 calls on Windows. Defined by platform/sim or platform/win32.
std::shared_ptr<Platform> CreateDefaultPlatform();

inline Kernel& kernel() {
  return Current().kernel();
}
inline System& system() {
  return Current().system();
}
inline Files& files() {
  return Current().files();
}
inline Console& console() {
  return Current().console();
}
inline Processes& processes() {
  return Current().processes();
}
inline Services& services() {
  return Current().services();
}
inline Registry& registry() {
  return Current().registry();
}
inline Sockets& sockets() {
  return Current().sockets();
}
inline EventLog& eventLog() {
  return Current().eventLog();
}
inline Spooler& spooler() {
  return Current().spooler();
}
inline GdiSpool& gdiSpool() {
  return Current().gdiSpool();
}

}  // namespace platform
