// The composition root: the functions that register the agent's components.
#pragma once

#include <string>

#include "shared/components/injector.h"

namespace tollgate {

// Server-host mode (copier readers, periodic timers, the configuration interface) is built
// in but switched off in this agent.
inline constexpr bool kServerHostMode = false;

// Registers the core components; `endpoint` is the RPC endpoint of the program on the
// users' workstations.
void RegisterCoreComponents(const std::wstring& endpoint, Injector& injector = Injector::Process());

// Registers the server-host group: of it this agent has only the timers' "waiter-factory".
// Called only in server-host mode, which is off.
void RegisterServerHostComponents(const std::wstring& text,
                                  Injector& injector = Injector::Process());

}  // namespace tollgate
