// The agent's version.
#pragma once

namespace tollgate {

inline constexpr char kVersion[] = "2.7.2";
// The version as the store's file names carry it.
inline constexpr wchar_t kVersionUnderscored[] = L"2_7_2";

}  // namespace tollgate
