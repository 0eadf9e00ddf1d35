#include "agent/config/registry_components.h"

#include "platform/platform.h"

namespace tollgate::config {

bool KeyReader::Open(const std::wstring& path) {
  return key_.Open(path, platform::KEY_READ) == platform::ERROR_SUCCESS;
}

std::optional<std::wstring> KeyReader::ReadString(const std::wstring& name) {
  return key_.ReadString(name);
}

std::vector<std::wstring> KeyEnumerator::Subkeys(const std::wstring& path) {
  RegistryKey key;
  if (key.Open(path, platform::KEY_READ) != platform::ERROR_SUCCESS) return {};
  return key.Subkeys();
}

}  // namespace tollgate::config
