// The registry's tree and its text form: the files that regedit exports and imports,
// "REGEDIT4" (ANSI, Windows-1252) and "Windows Registry Editor Version 5.00" (UTF-16LE with a
// byte-order mark).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace platform::sim {

struct RegValue {
  std::wstring name;  // as written; empty for the key's default value
  DWORD type = 0;
  std::vector<std::uint8_t> data;  // as the registry stores it (text in UTF-16LE)
};

struct RegKey {
  std::wstring name;  // as written
  // Subkeys by their upper-case name, so that they sort and compare without regard to case.
  std::map<std::wstring, std::shared_ptr<RegKey>> subkeys;
  std::vector<RegValue> values;  // in the order they were made
  bool deleted = false;

  RegValue* FindValue(const std::wstring& name);
  std::shared_ptr<RegKey> FindSubkey(const std::wstring& name) const;
  // The subkey, made when missing.
  std::shared_ptr<RegKey> Subkey(const std::wstring& name);
};

// Windows' limits: a key name of at most 255 characters, a value name of 16 383, a tree of
// 512 levels.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
constexpr std::size_t kMaxKeyDepth = 512;

std::wstring UpperName(const std::wstring& name);
// The error code of a key path that passes Windows' limits below a key `depth` levels deep.
std::optional<DWORD> CheckKeyPath(const std::vector<std::wstring>& levels, std::size_t depth);

// Splits "A\B\\C" into its levels; empty levels are dropped.
std::vector<std::wstring> SplitKeyPath(const std::wstring& path);

// Loads a registry file into `root` (HKEY_LOCAL_MACHINE), as regedit imports one: keys and
// values are added or replaced, "[-key]" and "name"=- delete. On a malformed file the result
// names the line and what is wrong, and `root` is left as it was; `notes` receives what was
// passed over (sections of other hives).
std::optional<std::string> ParseRegFile(std::string_view bytes, RegKey& root,
                                        std::vector<std::string>* notes = nullptr);

// The registry as a file: REGEDIT4 when every name and text can be written in Windows-1252,
// otherwise the UTF-16LE format.
std::string FormatRegFile(const RegKey& root);

}  // namespace platform::sim
