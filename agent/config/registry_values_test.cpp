#include <gtest/gtest.h>

#include "agent/config/registry_values.h"
#include "platform/platform.h"
#include "testing/machine_fixture.h"

namespace {

using tollgate::config::RegistryKey;
using tollgate::config::Wtoi;

TEST(Wtoi, ConvertsLikeTheRuntimeLibrary) {
  struct Case {
    const wchar_t* text;
    std::int32_t value;
  };
  const Case cases[] = {{L"42", 42},
                        {L"  -17x", -17},
                        {L"+8", 8},
                        {L"abc", 0},
                        {L"", 0},
                        {L"\t\n 5 6", 5},
                        {L"01", 1},
                        {L"99999999999", INT32_MAX},
                        {L"-99999999999", INT32_MIN},
                        {L"2147483647", INT32_MAX},
                        {L"-2147483648", INT32_MIN},
                        {L"- 3", 0}};
  for (const Case& c : cases) EXPECT_EQ(Wtoi(c.text), c.value) << c.text;
}

class RegistryKeyTest : public tollgate::testing::MachineTest {};

TEST_F(RegistryKeyTest, ReadsOnlyValuesOfTheirOwnType) {
  RegistryKey key;
  ASSERT_EQ(key.Create(L"SOFTWARE\\T", platform::KEY_ALL_ACCESS), platform::ERROR_SUCCESS);
  ASSERT_EQ(key.WriteString(L"Text", L"ação"), platform::ERROR_SUCCESS);
  std::uint8_t dword[4] = {5, 0, 0, 0};
  platform::registry().RegSetValueExW(key.Handle(), L"Number", platform::REG_DWORD, dword, 4);
  std::uint8_t raw[6] = {'a', 0, 'b', 0, 0, 0};
  platform::registry().RegSetValueExW(key.Handle(), L"Expand", platform::REG_EXPAND_SZ, raw, 6);
  platform::registry().RegSetValueExW(key.Handle(), L"Unterminated", platform::REG_SZ, raw, 4);
  EXPECT_EQ(key.ReadString(L"Text"), L"ação");
  EXPECT_EQ(key.ReadString(L"Number"), std::nullopt);
  EXPECT_EQ(key.ReadString(L"Expand"), std::nullopt);
  EXPECT_EQ(key.ReadString(L"Unterminated"), L"ab");
  EXPECT_EQ(key.ReadString(L"Missing"), std::nullopt);
  EXPECT_EQ(key.ReadDword(L"Number"), 5u);
  EXPECT_EQ(key.ReadDword(L"Text"), std::nullopt);
}

}  // namespace
