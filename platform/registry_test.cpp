#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testing/registry_fixture.h"

namespace {

using namespace platform;
using namespace tollgate::testing;

TEST_F(RegistryTest, KeysAndValuesCompareWithoutCaseAndKeepTheirSpelling) {
  HKEY key = Create(L"SOFTWARE\\Velmora\\Tollgate Client");
  Set(key, L"ServerAddress", REG_SZ, Sz(L"acct01"));
  registry().RegCloseKey(key);
  RegValueRead v = QueryPath(L"software\\VELMORA\\tollgate client", L"serveraddress");
  EXPECT_EQ(v.rc, ERROR_SUCCESS);
  EXPECT_EQ(v.type, REG_SZ);
  EXPECT_EQ(v.data, Sz(L"acct01"));

  HKEY velmora = nullptr;
  ASSERT_EQ(registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\velmora", KEY_READ, &velmora),
            ERROR_SUCCESS);
  std::wstring name;
  EXPECT_EQ(registry().RegEnumKeyExW(velmora, 0, &name), ERROR_SUCCESS);
  EXPECT_EQ(name, L"Tollgate Client");
  EXPECT_EQ(registry().RegEnumKeyExW(velmora, 1, &name), ERROR_NO_MORE_ITEMS);
  registry().RegCloseKey(velmora);
}

TEST_F(RegistryTest, CallsFailWithTheWin32Codes) {
  HKEY none = nullptr;
  EXPECT_EQ(registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Missing", KEY_READ, &none),
            ERROR_FILE_NOT_FOUND);
  HKEY key = Create(L"SOFTWARE\\Velmora\\T");
  Set(key, L"Name", REG_SZ, Sz(L"abcdef"));
  EXPECT_EQ(Query(key, L"Other").rc, ERROR_FILE_NOT_FOUND);
  std::uint8_t small[4];
  DWORD size = sizeof small;
  DWORD type = 0;
  EXPECT_EQ(registry().RegQueryValueExW(key, L"Name", &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 14u);
  std::uint8_t four[4] = {1, 2, 3};
  registry().RegCloseKey(key);
  EXPECT_EQ(registry().RegCloseKey(key), ERROR_INVALID_HANDLE);

  HKEY readOnly = nullptr;
  ASSERT_EQ(
      registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmora\\T", KEY_READ, &readOnly),
      ERROR_SUCCESS);
  EXPECT_EQ(registry().RegSetValueExW(readOnly, L"X", REG_SZ, four, 2), ERROR_ACCESS_DENIED);
  EXPECT_EQ(registry().RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmora"),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(registry().RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmora\\T"), ERROR_SUCCESS);
  EXPECT_EQ(Query(readOnly, L"Name").rc, ERROR_KEY_DELETED);
  registry().RegCloseKey(readOnly);
}

}  // namespace
