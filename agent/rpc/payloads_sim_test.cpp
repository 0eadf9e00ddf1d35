// The machine's time zone as the simulated machine keeps it: in its registry, where Windows
// keeps it.
#include <gtest/gtest.h>

#include <chrono>

#include "agent/config/registry_values.h"
#include "agent/rpc/payloads.h"
#include "platform/platform.h"
#include "testing/machine_fixture.h"

namespace tollgate::remote {
namespace {

using config::RegistryKey;

class PayloadsOnSim : public tollgate::testing::MachineTest {
 protected:
  void SetDword(const std::wstring& path, const std::wstring& name, std::int32_t v) {
    RegistryKey key;
    ASSERT_EQ(key.Create(path, platform::KEY_ALL_ACCESS), platform::ERROR_SUCCESS);
    auto u = static_cast<std::uint32_t>(v);
    std::uint8_t data[4] = {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
                            static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 24)};
    platform::registry().RegSetValueExW(key.Handle(), name, platform::REG_DWORD, data, 4);
  }
};

TEST_F(PayloadsOnSim, LocalTimeTakesTheBiasOfTheMachinesTimeZone) {
  const std::wstring zone = L"SYSTEM\\CurrentControlSet\\Control\\TimeZoneInformation";
  double local = 0;
  ASSERT_EQ(LocalTime(46000.5, &local), nullptr);
  EXPECT_DOUBLE_EQ(local, 46000.5);  // no zone: UTC
  SetDword(zone, L"Bias", 180);      // UTC-3, no daylight time
  ASSERT_EQ(LocalTime(46000.5, &local), nullptr);
  EXPECT_NEAR(local, 46000.5 - 3.0 / 24, 1e-9);
  SetDword(zone, L"Bias", -330);  // UTC+5:30
  SetDword(zone, L"StandardBias", 0);
  ASSERT_EQ(LocalTime(46000.5, &local), nullptr);
  EXPECT_NEAR(local, 46000.5 + 5.5 / 24, 1e-9);
  // Daylight bias counts only while daylight time holds; the standard bias while it does not.
  platform::TimeZoneInformation info;
  SetDword(zone, L"Bias", 0);
  SetDword(zone, L"StandardBias", -30);
  SetDword(zone, L"DaylightBias", -60);
  RegistryKey key;
  ASSERT_EQ(key.Create(zone, platform::KEY_ALL_ACCESS), platform::ERROR_SUCCESS);
  const std::uint16_t march[8] = {0, 3, 0, 5, 2, 0, 0, 0};     // last Sunday of March, 02:00
  const std::uint16_t october[8] = {0, 10, 0, 5, 3, 0, 0, 0};  // last Sunday of October
  platform::registry().RegSetValueExW(key.Handle(), L"DaylightStart", platform::REG_BINARY,
                                      reinterpret_cast<const std::uint8_t*>(march), 16);
  platform::registry().RegSetValueExW(key.Handle(), L"StandardStart", platform::REG_BINARY,
                                      reinterpret_cast<const std::uint8_t*>(october), 16);
  platform::DWORD id = platform::system().GetTimeZoneInformation(&info);
  ASSERT_TRUE(id == platform::TIME_ZONE_ID_STANDARD || id == platform::TIME_ZONE_ID_DAYLIGHT);
  ASSERT_EQ(LocalTime(46000.5, &local), nullptr);
  double hours = id == platform::TIME_ZONE_ID_DAYLIGHT ? 1.0 : 0.5;
  EXPECT_NEAR(local, 46000.5 + hours / 24, 1e-9);
}

// Daylight time from the first Sunday of last month to the last Sunday of next month holds
// now, in either hemisphere's order of the two dates; the other way round it does not.
TEST_F(PayloadsOnSim, DaylightTimeHoldsBetweenItsTransitions) {
  using namespace std::chrono;
  unsigned month = unsigned(year_month_day(floor<days>(system_clock::now())).month());
  auto previous = static_cast<std::uint16_t>((month + 10) % 12 + 1);
  auto next = static_cast<std::uint16_t>(month % 12 + 1);
  const std::wstring zone = L"SYSTEM\\CurrentControlSet\\Control\\TimeZoneInformation";
  SetDword(zone, L"Bias", 180);
  SetDword(zone, L"StandardBias", 0);
  SetDword(zone, L"DaylightBias", -60);
  RegistryKey key;
  ASSERT_EQ(key.Create(zone, platform::KEY_ALL_ACCESS), platform::ERROR_SUCCESS);
  auto set = [&](const wchar_t* name, std::uint16_t m, std::uint16_t week) {
    const std::uint16_t date[8] = {0, m, 0, week, 2, 0, 0, 0};
    platform::registry().RegSetValueExW(key.Handle(), name, platform::REG_BINARY,
                                        reinterpret_cast<const std::uint8_t*>(date), 16);
  };
  platform::TimeZoneInformation info;
  set(L"DaylightStart", previous, 1);
  set(L"StandardStart", next, 5);
  EXPECT_EQ(platform::system().GetTimeZoneInformation(&info), platform::TIME_ZONE_ID_DAYLIGHT);
  double local = 0;
  ASSERT_EQ(LocalTime(46000.5, &local), nullptr);
  EXPECT_NEAR(local, 46000.5 - 2.0 / 24, 1e-9);  // UTC-3, an hour less in daylight time
  set(L"DaylightStart", next, 5);
  set(L"StandardStart", previous, 1);
  EXPECT_EQ(platform::system().GetTimeZoneInformation(&info), platform::TIME_ZONE_ID_STANDARD);
  ASSERT_EQ(LocalTime(46000.5, &local), nullptr);
  EXPECT_NEAR(local, 46000.5 - 3.0 / 24, 1e-9);
}

// A machine whose ANSI code page is 936 (GBK) sends Chinese names as that code page writes
// them; what it cannot hold still goes as references.
TEST_F(PayloadsOnSim, AMachineOfCodePage936SendsChineseNamesAsTheyAre) {
  RegistryKey key;
  ASSERT_EQ(
      key.Create(L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", platform::KEY_ALL_ACCESS),
      platform::ERROR_SUCCESS);
  ASSERT_EQ(key.WriteString(L"ACP", L"936"), platform::ERROR_SUCCESS);
  ASSERT_EQ(platform::system().GetACP(), 936u);
  EXPECT_EQ(Narrow(L"\u674e\u660e"), "\xc0\xee\xc3\xf7");
  EXPECT_EQ(Narrow(L"\u738b\u82b3"), "\xcd\xf5\xb7\xbc");
  EXPECT_EQ(Narrow(L"maria"), "maria");
  EXPECT_EQ(Narrow(L"\u674e\U0001F600"), "\xc0\xee&#128512;");
}

}  // namespace
}  // namespace tollgate::remote
