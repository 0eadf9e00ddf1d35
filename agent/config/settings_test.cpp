#include <gtest/gtest.h>

#include "agent/config/registry_components.h"
#include "agent/config/registry_values.h"
#include "agent/config/server_settings.h"
#include "agent/config/settings.h"
#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"
#include "testing/machine_fixture.h"

namespace {

using namespace tollgate::config;
using tollgate::testing::ReadBytes;
using tollgate::testing::Wide;

class SettingsTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    ResetPrinterIdCounterForTesting();
    tollgate::InstallFileLog(
        std::make_unique<tollgate::FileLog>(Wide(Folder() / "events.log"), 1000000));
  }
  void TearDown() override { tollgate::InstallFileLog(nullptr); }

  void SetText(const std::wstring& path, const std::wstring& name, const std::wstring& text) {
    RegistryKey key;
    ASSERT_EQ(key.Create(path, platform::KEY_ALL_ACCESS), platform::ERROR_SUCCESS);
    ASSERT_EQ(key.WriteString(name, text), platform::ERROR_SUCCESS);
  }
  void SetDword(const std::wstring& path, const std::wstring& name, std::uint32_t v) {
    RegistryKey key;
    ASSERT_EQ(key.Create(path, platform::KEY_ALL_ACCESS), platform::ERROR_SUCCESS);
    std::uint8_t data[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    platform::registry().RegSetValueExW(key.Handle(), name, platform::REG_DWORD, data, 4);
  }
  std::optional<std::wstring> Get(const std::wstring& path, const std::wstring& name) {
    RegistryKey key;
    if (key.Open(path, platform::KEY_READ) != platform::ERROR_SUCCESS) return std::nullopt;
    return key.ReadString(name);
  }
  std::string LogText() { return ReadBytes(Folder() / "events_0.log"); }
};

TEST_F(SettingsTest, WithoutTheAgentKeyEverySettingHasItsDefault) {
  AgentSettings s = ReadAgentSettings();
  EXPECT_EQ(s.serverAddress, L"");
  EXPECT_EQ(s.serverPort, L"");
  EXPECT_EQ(s.freeGbRequiredToArchive, 2);
  EXPECT_EQ(s.daysToKeepArchivedFile, 30);
  EXPECT_EQ(s.onRemoteFailureWaitMinutes, 1);
  EXPECT_TRUE(s.canQueryMfCopy);
  EXPECT_FALSE(s.accountLocalPort);
  PrinterSettings p = ReadPrinterSettings(L"Nowhere");
  EXPECT_EQ(p.id, 0);
  EXPECT_TRUE(p.keepHistory);
  EXPECT_EQ(p.snmpCommunity, L"public");
  EXPECT_FALSE(Get(PrinterKey(L"Nowhere"), L"Id"));  // nothing is written for a missing key
}

TEST_F(SettingsTest, AgentValuesFollowTheirTypeAndConversionRules) {
  SetText(kAgentKey, L"ServerAddress", L"acct01");
  SetText(kAgentKey, L"ServerPort", L"  7000\t");
  SetText(kAgentKey, L"FreeGBRequiredToArchive", L"70000");
  SetText(kAgentKey, L"DaysToKeepArchivedFile", L" 45 days");
  SetText(kAgentKey, L"OnRemoteFailureWaitMinutes", L"5");  // text: the wrong type
  SetDword(kAgentKey, L"AccountLocalPort", 1);
  AgentSettings s = ReadAgentSettings();
  EXPECT_EQ(s.serverAddress, L"acct01");
  EXPECT_EQ(s.serverPort, L"7000");
  EXPECT_EQ(s.freeGbRequiredToArchive, 4464);
  EXPECT_EQ(s.daysToKeepArchivedFile, 45);
  EXPECT_EQ(s.onRemoteFailureWaitMinutes, 1);
  EXPECT_TRUE(s.accountLocalPort);
  SetDword(kAgentKey, L"OnRemoteFailureWaitMinutes", 5);
  SetDword(kAgentKey, L"AccountLocalPort", 2);
  s = ReadAgentSettings();
  EXPECT_EQ(s.onRemoteFailureWaitMinutes, 5);
  EXPECT_FALSE(s.accountLocalPort);
}

TEST_F(SettingsTest, OnlyTheTextOneAllowsCopyQueries) {
  for (auto [text, expected] :
       {std::pair{L"1", true}, {L"true", false}, {L"01", false}, {L"0", false}, {L"", true}}) {
    SetText(kAgentKey, L"CanQueryMFCopy", text);
    EXPECT_EQ(ReadAgentSettings().canQueryMfCopy, expected) << text;
  }
}

TEST_F(SettingsTest, PrinterValuesFollowTheirRules) {
  const std::wstring key = PrinterKey(L"Fila A");
  SetText(key, L"Id", L"12");
  SetText(key, L"KeepHistory", L"abc");
  SetText(key, L"IsToArchive", L"2");
  SetText(key, L"Language", L"7x");
  SetText(key, L"SnmpCommunity", L"");
  SetText(key, L"User", L"op");
  SetText(key, L"LastCopyJob", L"-3");
  PrinterSettings p = ReadPrinterSettings(L"Fila A");
  EXPECT_EQ(p.id, 12);
  EXPECT_FALSE(p.keepHistory);
  EXPECT_TRUE(p.isToArchive);
  EXPECT_EQ(p.language, 7);
  EXPECT_EQ(p.snmpCommunity, L"public");  // empty leaves the default
  EXPECT_EQ(p.user, L"op");
  EXPECT_EQ(p.lastCopyJob, -3);
  EXPECT_EQ(p.logPath, L"");
  SetText(key, L"KeepHistory", L"0");
  EXPECT_FALSE(ReadPrinterSettings(L"Fila A").keepHistory);
}

TEST_F(SettingsTest, QueuesWithoutAnIdAreNumberedFromOneInEachRun) {
  SetText(PrinterKey(L"First"), L"Language", L"1");
  SetText(PrinterKey(L"Second"), L"Language", L"1");
  EXPECT_EQ(ReadPrinterSettings(L"First").id, 1);
  EXPECT_EQ(Get(PrinterKey(L"First"), L"Id"), L"1");
  EXPECT_EQ(ReadPrinterSettings(L"First").id, 1);  // now stored
  EXPECT_EQ(ReadPrinterSettings(L"Second").id, 2);
  ResetPrinterIdCounterForTesting();  // a new run
  SetText(PrinterKey(L"Third"), L"Language", L"1");
  EXPECT_EQ(ReadPrinterSettings(L"Third").id, 1);
}

TEST_F(SettingsTest, ServerConfigurationIsWrittenBack) {
  ServerConfiguration c;
  c.freeGbRequiredToArchive = 5;
  c.daysToKeepArchivedFile = 60;
  c.canQueryMfCopy = 0;
  c.printers.push_back({L"P1", 10, 3, 1, 0, 1, std::string("priv\xE9")});
  c.printers.push_back({L"P2", 11, 0, 0, 1, 0, std::nullopt});
  c.printers.push_back({L"P3", 12, 0, 0, 0, 0, std::nullopt});
  c.emfCopiesReading = std::vector<bool>{false, true};
  ApplyServerConfiguration(c);
  EXPECT_EQ(Get(kAgentKey, L"FreeGBRequiredToArchive"), L"5");
  EXPECT_EQ(Get(kAgentKey, L"DaysToKeepArchivedFile"), L"60");
  EXPECT_EQ(Get(kAgentKey, L"CanQueryMFCopy"), L"0");
  EXPECT_EQ(Get(PrinterKey(L"P1"), L"Id"), L"10");
  EXPECT_EQ(Get(PrinterKey(L"P1"), L"Language"), L"3");
  EXPECT_EQ(Get(PrinterKey(L"P1"), L"SnmpCommunity"), L"privé");
  EXPECT_EQ(Get(PrinterKey(L"P1"), L"EmfCopiesReading"), L"0");
  EXPECT_EQ(Get(PrinterKey(L"P2"), L"SnmpCommunity"), std::nullopt);
  EXPECT_EQ(Get(PrinterKey(L"P2"), L"EmfCopiesReading"), L"1");
  EXPECT_EQ(Get(PrinterKey(L"P3"), L"EmfCopiesReading"), L"1");  // no entry in the array
  c.emfCopiesReading.reset();
  ApplyServerConfiguration(c);
  EXPECT_EQ(Get(PrinterKey(L"P1"), L"EmfCopiesReading"), L"1");
  EXPECT_EQ(ReadPrinterSettings(L"P2").isToArchive, true);
}

TEST_F(SettingsTest, ConfigChangeEvents) {
  EXPECT_EQ(OnConfigChanged(5, L"newhost"), 1);
  EXPECT_EQ(tollgate::ServerSettings::Process().Host(), L"newhost");
  EXPECT_EQ(OnConfigChanged(6, L"7100"), 1);
  EXPECT_EQ(tollgate::ServerSettings::Process().Port(), L"7100");
  EXPECT_EQ(OnConfigChanged(7, L"x"), 1);
  EXPECT_NE(LogText().find(" Received an unexpected config change event. Type: 7Data: x\r\n"),
            std::string::npos);
  std::vector<std::wstring> changed;
  SetQueueConfigChangedHandler([&](const std::wstring& p) { changed.push_back(p); });
  for (std::int16_t type : {1, 2, 3, 4}) EXPECT_EQ(OnConfigChanged(type, L"Fila"), 1);
  EXPECT_EQ(changed.size(), 4u);
  SetQueueConfigChangedHandler([](const std::wstring&) { throw new Error(33); });
  EXPECT_EQ(OnConfigChanged(2, L"Fila"), 0);
  EXPECT_NE(LogText().find(" Error while changing config: Registro n\xE3o encontrado.\r\n"),
            std::string::npos);
  SetQueueConfigChangedHandler([](const std::wstring&) { throw 1; });
  EXPECT_EQ(OnConfigChanged(3, L"Fila"), 0);
  EXPECT_NE(LogText().find(" Unknown exception while changing config\r\n"), std::string::npos);
  SetQueueConfigChangedHandler(nullptr);
}

TEST_F(SettingsTest, RegistryComponentsReadAndEnumerate) {
  SetText(L"SYSTEM\\CurrentControlSet\\Enum\\SWD\\DAFWSDProvider\\dev1", L"ContainerID", L"{1}");
  SetText(L"SYSTEM\\CurrentControlSet\\Enum\\SWD\\DAFWSDProvider\\dev2", L"ContainerID", L"{2}");
  KeyEnumerator enumerator;
  EXPECT_EQ(enumerator.Subkeys(L"SYSTEM\\CurrentControlSet\\Enum\\SWD\\DAFWSDProvider"),
            (std::vector<std::wstring>{L"dev1", L"dev2"}));
  EXPECT_TRUE(enumerator.Subkeys(L"SYSTEM\\Nothing").empty());
  auto reader = KeyReaderMaker().MakeReader();
  EXPECT_FALSE(reader->Open(L"SYSTEM\\Nothing"));
  EXPECT_EQ(reader->ReadString(L"ContainerID"), std::nullopt);
  ASSERT_TRUE(reader->Open(L"SYSTEM\\CurrentControlSet\\Enum\\SWD\\DAFWSDProvider\\dev2"));
  EXPECT_EQ(reader->ReadString(L"ContainerID"), L"{2}");
}

}  // namespace
