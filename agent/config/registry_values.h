// Reading and writing registry values as the agent's settings need them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace tollgate::config {

// An open registry key, closed with its owner.
class RegistryKey {
 public:
  RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() { Close(); }

  // RegOpenKeyExW of HKEY_LOCAL_MACHINE\path; the Win32 result.
  platform::LONG Open(const std::wstring& path, platform::DWORD access);
  // RegCreateKeyExW of HKEY_LOCAL_MACHINE\path.
  platform::LONG Create(const std::wstring& path, platform::DWORD access);
  void Close();
  bool IsOpen() const { return key_ != nullptr; }
  platform::HKEY Handle() const { return key_; }

  // A REG_SZ value's text (up to its first zero); nullopt when missing or of another type.
  std::optional<std::wstring> ReadString(const std::wstring& name) const;
  // A REG_DWORD value of four bytes; nullopt otherwise.
  std::optional<std::uint32_t> ReadDword(const std::wstring& name) const;
  // Sets a REG_SZ value, its length counting the terminating zero; the Win32 result.
  platform::LONG WriteString(const std::wstring& name, const std::wstring& text) const;
  // The names of the key's subkeys.
  std::vector<std::wstring> Subkeys() const;

 private:
  platform::HKEY key_ = nullptr;
};

// _wtoi / _wtol: leading white space and a sign accepted, the conversion stops at the
// first non-digit, no digits give 0, values beyond the range give its limit.
std::int32_t Wtoi(const std::wstring& text);

}  // namespace tollgate::config
