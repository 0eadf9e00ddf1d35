// The English system texts of the Windows error codes the agent can meet, as the system's
// message table holds them (line end included).
#pragma once

#include <string>

#include "platform/types.h"

namespace platform::sim {

// The text of `code`, or null when the simulated machine has none.
const wchar_t* SystemMessageText(DWORD code);

}  // namespace platform::sim
