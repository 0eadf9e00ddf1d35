#include "testing/registry_fixture.h"

namespace tollgate::testing {

using namespace platform;

std::vector<std::uint8_t> Sz(const std::wstring& text) {
  std::vector<std::uint8_t> out;
  for (wchar_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

RegValueRead Query(HKEY key, const std::wstring& name) {
  RegValueRead v{0, 0, {}};
  DWORD size = 0;
  v.rc = registry().RegQueryValueExW(key, name, &v.type, nullptr, &size);
  if (v.rc != ERROR_SUCCESS) return v;
  v.data.resize(size);
  v.rc = registry().RegQueryValueExW(key, name, &v.type, v.data.data(), &size);
  return v;
}

RegValueRead QueryPath(const std::wstring& path, const std::wstring& name) {
  HKEY key = nullptr;
  LONG rc = registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return RegValueRead{rc, 0, {}};
  RegValueRead v = Query(key, name);
  registry().RegCloseKey(key);
  return v;
}

HKEY RegistryTest::Create(const std::wstring& path, DWORD access) {
  HKEY key = nullptr;
  EXPECT_EQ(registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, access, &key, nullptr),
            ERROR_SUCCESS);
  return key;
}

void RegistryTest::Set(HKEY key, const std::wstring& name, DWORD type,
                       std::vector<std::uint8_t> data) {
  ASSERT_EQ(
      registry().RegSetValueExW(key, name, type, data.data(), static_cast<DWORD>(data.size())),
      ERROR_SUCCESS);
}

}  // namespace tollgate::testing
