#include "agent/config/registry_values.h"

#include <climits>
#include <cwctype>

#include "platform/platform.h"

namespace tollgate::config {

platform::LONG RegistryKey::Open(const std::wstring& path, platform::DWORD access) {
  Close();
  return platform::registry().RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, path, access, &key_);
}

platform::LONG RegistryKey::Create(const std::wstring& path, platform::DWORD access) {
  Close();
  return platform::registry().RegCreateKeyExW(platform::HKEY_LOCAL_MACHINE, path, access, &key_,
                                              nullptr);
}

void RegistryKey::Close() {
  if (key_ != nullptr) platform::registry().RegCloseKey(key_);
  key_ = nullptr;
}

std::optional<std::wstring> RegistryKey::ReadString(const std::wstring& name) const {
  if (key_ == nullptr) return std::nullopt;
  platform::DWORD type = 0;
  platform::DWORD size = 0;
  auto& registry = platform::registry();
  if (registry.RegQueryValueExW(key_, name, &type, nullptr, &size) != platform::ERROR_SUCCESS ||
      type != platform::REG_SZ) {
    return std::nullopt;
  }
  // The registry tells the size of what it holds; a value that grows between the two calls
  // is read again at its new size.
  std::vector<std::uint8_t> data(size);
  platform::LONG rc;
  while ((rc = registry.RegQueryValueExW(key_, name, &type, data.data(), &size)) ==
         platform::ERROR_MORE_DATA) {
    data.resize(size);
  }
  if (rc != platform::ERROR_SUCCESS || type != platform::REG_SZ) return std::nullopt;
  std::wstring text;
  text.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (c == L'\0') break;
    text += c;
  }
  return text;
}

std::optional<std::uint32_t> RegistryKey::ReadDword(const std::wstring& name) const {
  if (key_ == nullptr) return std::nullopt;
  platform::DWORD type = 0;
  std::uint8_t data[8] = {};
  platform::DWORD size = sizeof data;
  if (platform::registry().RegQueryValueExW(key_, name, &type, data, &size) !=
          platform::ERROR_SUCCESS ||
      type != platform::REG_DWORD || size != 4) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(data[0] | (data[1] << 8) | (data[2] << 16) |
                                    (static_cast<std::uint32_t>(data[3]) << 24));
}

platform::LONG RegistryKey::WriteString(const std::wstring& name, const std::wstring& text) const {
  std::vector<std::uint8_t> data;
  data.reserve((text.size() + 1) * 2);
  for (wchar_t c : text) {
    data.push_back(static_cast<std::uint8_t>(c & 0xFF));
    data.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
  }
  data.push_back(0);
  data.push_back(0);
  return platform::registry().RegSetValueExW(key_, name, platform::REG_SZ, data.data(),
                                             static_cast<platform::DWORD>(data.size()));
}

std::vector<std::wstring> RegistryKey::Subkeys() const {
  std::vector<std::wstring> names;
  if (key_ == nullptr) return names;
  std::wstring name;
  for (platform::DWORD i = 0;
       platform::registry().RegEnumKeyExW(key_, i, &name) == platform::ERROR_SUCCESS; ++i) {
    names.push_back(name);
  }
  return names;
}

std::int32_t Wtoi(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && std::iswspace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > static_cast<std::int64_t>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<std::int32_t>(value);
}

}  // namespace tollgate::config
