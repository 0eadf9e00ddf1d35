// The agent's data folder: common application data, then "Tollgate", then "Client".
#pragma once

#include <string>

#include "shared/error/error_result.h"

namespace tollgate {

// Computes the data folder and creates each level that does not exist yet.
ErrorResultPtr GetDataFolder(std::wstring* path);

}  // namespace tollgate
