#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "testing/registry_fixture.h"

namespace {

using namespace platform;
using namespace tollgate::testing;

class RegistryFileOnSim : public RegistryTest {};

TEST_F(RegistryFileOnSim, ValuesSurviveARestartOfTheMachine) {
  HKEY key = Create(L"SOFTWARE\\Velmora\\Tollgate Client\\Printers\\Fila Financeiro");
  Set(key, L"Id", REG_SZ, Sz(L"7"));
  Set(key, L"Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12});
  Set(key, L"Multi", REG_MULTI_SZ, Sz(std::wstring(L"a\0b\0", 4)));
  Set(key, L"Bin", REG_BINARY, std::vector<std::uint8_t>(100, 0xAB));
  Set(key, L"Quote \"and\" \\", REG_SZ, Sz(L"ação \"x\" \\y"));
  Set(key, L"", REG_EXPAND_SZ, Sz(L"%SystemRoot%\\x"));
  registry().RegCloseKey(key);
  EXPECT_EQ(ReadBytes(Folder() / "registry.reg").rfind("REGEDIT4\r\n", 0), 0u);

  platform::sim::Machine restarted(Folder());
  auto previous = platform::Install(std::shared_ptr<Platform>(&restarted, [](Platform*) {}));
  const std::wstring path = L"SOFTWARE\\Velmora\\Tollgate Client\\Printers\\Fila Financeiro";
  EXPECT_EQ(QueryPath(path, L"Id").data, Sz(L"7"));
  EXPECT_EQ(QueryPath(path, L"Dword").data, (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(QueryPath(path, L"Multi").type, REG_MULTI_SZ);
  EXPECT_EQ(QueryPath(path, L"Multi").data, Sz(std::wstring(L"a\0b\0", 4)));
  EXPECT_EQ(QueryPath(path, L"Bin").data, std::vector<std::uint8_t>(100, 0xAB));
  EXPECT_EQ(QueryPath(path, L"Quote \"and\" \\").data, Sz(L"ação \"x\" \\y"));
  EXPECT_EQ(QueryPath(path, L"").type, REG_EXPAND_SZ);
  platform::Install(previous);
}

TEST_F(RegistryFileOnSim, TextsOutsideTheAnsiCodePageAreWrittenInTheUnicodeFormat) {
  HKEY key = Create(L"SOFTWARE\\\u4E2D\u6587");
  Set(key, L"V", REG_SZ, Sz(L"\u20AC\u4E2D"));
  registry().RegCloseKey(key);
  EXPECT_EQ(ReadBytes(Folder() / "registry.reg").rfind("\xFF\xFEW\0i\0n\0", 0), 0u);
  platform::sim::Machine restarted(Folder());
  auto previous = platform::Install(std::shared_ptr<Platform>(&restarted, [](Platform*) {}));
  EXPECT_EQ(QueryPath(L"SOFTWARE\\\u4E2D\u6587", L"V").data, Sz(L"\u20AC\u4E2D"));
  platform::Install(previous);
}

// A file as regedit exports it, in its ANSI form.
const char kRegedit4[] =
    "REGEDIT4\r\n"
    "\r\n"
    "; exported from the print server\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Tollgate Client]\r\n"
    "\"ServerAddress\"=\"acct01.example\"\r\n"
    "\"OnRemoteFailureWaitMinutes\"=dword:00000005\r\n"
    "\"Path\"=hex(2):25,53,79,73,74,65,6d,52,6f,6f,74,25,5c,e7,00\r\n"
    "\"List\"=hex(7):61,00,62,63,00,00\r\n"
    "\"Blob\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\r\n"
    "  18,19,1a\r\n"
    "@=\"default \\\"quoted\\\" \\\\ value\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Tollgate Client\\Printers\\Fila\xE7\xE3o]\r\n"
    "\"KeepHistory\"=\"1\"\r\n"
    "\"Gone\"=-\r\n"
    "\r\n"
    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n";

TEST_F(RegistryFileOnSim, LoadsTheAnsiExportFormat) {
  WriteBytes(Folder() / "registry.reg", kRegedit4);
  const std::wstring agent = L"SOFTWARE\\Velmora\\Tollgate Client";
  EXPECT_EQ(machine().RegistryLoadError(), "");
  EXPECT_EQ(QueryPath(agent, L"ServerAddress").data, Sz(L"acct01.example"));
  EXPECT_EQ(QueryPath(agent, L"OnRemoteFailureWaitMinutes").data,
            (std::vector<std::uint8_t>{5, 0, 0, 0}));
  RegValueRead path = QueryPath(agent, L"Path");
  EXPECT_EQ(path.type, REG_EXPAND_SZ);
  EXPECT_EQ(path.data, Sz(L"%SystemRoot%\\ç"));
  EXPECT_EQ(QueryPath(agent, L"List").data, Sz(std::wstring(L"a\0bc\0", 5)));
  RegValueRead blob = QueryPath(agent, L"Blob");
  EXPECT_EQ(blob.type, REG_BINARY);
  ASSERT_EQ(blob.data.size(), 26u);
  EXPECT_EQ(blob.data[25], 0x1a);
  EXPECT_EQ(QueryPath(agent, L"").data, Sz(L"default \"quoted\" \\ value"));
  EXPECT_EQ(QueryPath(agent + L"\\Printers\\Filação", L"KeepHistory").data, Sz(L"1"));
}

TEST_F(RegistryFileOnSim, LoadsTheUnicodeExportFormat) {
  std::wstring text =
      L"Windows Registry Editor Version 5.00\r\n\r\n"
      L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Tollgate Client]\r\n"
      L"\"ServerPort\"=\" 7000 \"\r\n"
      L"\"Path\"=hex(2):25,00,54,00,25,00,00,00\r\n"
      L"\"Name\"=\"\u4E2D\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  WriteBytes(Folder() / "registry.reg", bytes);
  const std::wstring agent = L"SOFTWARE\\Velmora\\Tollgate Client";
  EXPECT_EQ(QueryPath(agent, L"ServerPort").data, Sz(L" 7000 "));
  EXPECT_EQ(QueryPath(agent, L"Path").data, Sz(L"%T%"));
  EXPECT_EQ(QueryPath(agent, L"Name").data, Sz(L"\u4E2D"));
}

TEST_F(RegistryFileOnSim, AMalformedFileIsNotHalfLoadedAndNeverOverwritten) {
  struct Case {
    std::string file;
    const char* error;
  };
  const Case cases[] = {
      {"[HKEY_LOCAL_MACHINE\\A]\r\n", "line 1: expected the header REGEDIT4"},
      {"REGEDIT4\r\n\"v\"=\"x\"\r\n", "line 2: value outside a key"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=dword:123456789\r\n",
       "line 3: malformed dword value"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:0g\r\n", "line 3: malformed hex bytes"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"open\r\n", "line 3: malformed string value"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\r\n",
       "line 2: key name too long"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE" +
           [] {
             std::string deep;
             for (int i = 0; i < 513; ++i) deep += "\\k";
             return deep;
           }() +
           "]\r\n",
       "line 2: key too deep"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"" + std::string(16384, 'v') + "\"=\"x\"\r\n",
       "line 3: value name too long"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A\r\n", "line 2: malformed key line"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\nv=\"x\"\r\n", "line 3: malformed value name"},
      {"", "line 1: the file has no header"},
  };
  for (const Case& c : cases) {
    tollgate::testing::TempMachine temp;
    WriteBytes(temp.Folder() / "registry.reg", c.file);
    std::string error = temp.machine().RegistryLoadError();
    EXPECT_NE(error.find(c.error), std::string::npos) << error << " / " << c.error;
    HKEY key = nullptr;
    EXPECT_EQ(registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\New", KEY_ALL_ACCESS, &key,
                                         nullptr),
              ERROR_BADDB);
    EXPECT_EQ(ReadBytes(temp.Folder() / "registry.reg"), c.file);
  }
}

TEST_F(RegistryFileOnSim, NamesCompareWithoutCaseBeyondAscii) {
  HKEY key = Create(L"SOFTWARE\\Velmora\\Tollgate Client\\Printers\\Fila Recepção");
  Set(key, L"Ação", REG_SZ, Sz(L"1"));
  registry().RegCloseKey(key);
  const std::wstring upper = L"SOFTWARE\\VELMORA\\TOLLGATE CLIENT\\PRINTERS\\FILA RECEPÇÃO";
  EXPECT_EQ(QueryPath(upper, L"AÇÃO").data, Sz(L"1"));
  registry().RegCloseKey(Create(L"SOFTWARE\\Velmora\\\u0434\u043e\u043c"));
  HKEY cyrillic = nullptr;
  EXPECT_EQ(registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VELMORA\\\u0414\u041e\u041c",
                                     KEY_READ, &cyrillic),
            ERROR_SUCCESS);
  registry().RegCloseKey(cyrillic);
}

TEST_F(RegistryFileOnSim, WindowsLimitsOnNamesAndDepth) {
  HKEY key = nullptr;
  EXPECT_EQ(registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\" + std::wstring(256, L'k'),
                                       KEY_ALL_ACCESS, &key, nullptr),
            ERROR_INVALID_PARAMETER);
  std::wstring deep = L"SOFTWARE";
  for (int i = 0; i < 511; ++i) deep += L"\\k";
  ASSERT_EQ(registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE, deep, KEY_ALL_ACCESS, &key, nullptr),
            ERROR_SUCCESS);
  HKEY deeper = nullptr;
  EXPECT_EQ(registry().RegCreateKeyExW(key, L"one-too-many", KEY_ALL_ACCESS, &deeper, nullptr),
            ERROR_BADKEY);
  std::vector<std::uint8_t> data = Sz(L"x");
  EXPECT_EQ(registry().RegSetValueExW(key, std::wstring(16384, L'v'), REG_SZ, data.data(),
                                      static_cast<DWORD>(data.size())),
            ERROR_INVALID_PARAMETER);
  registry().RegCloseKey(key);
  // The deepest tree Windows allows is written and loads again.
  platform::sim::Machine restarted(Folder());
  EXPECT_EQ(restarted.RegistryLoadError(), "");
}

TEST_F(RegistryFileOnSim, ANameWithALineBreakLoadsAgain) {
  HKEY key = Create(L"SOFTWARE\\Velmora");
  Set(key, L"two\nlines\r\n", REG_SZ, Sz(L"v"));
  registry().RegCloseKey(key);
  platform::sim::Machine restarted(Folder());
  auto previous = platform::Install(std::shared_ptr<Platform>(&restarted, [](Platform*) {}));
  EXPECT_EQ(restarted.RegistryLoadError(), "");
  EXPECT_EQ(QueryPath(L"SOFTWARE\\Velmora", L"two\nlines\r\n").data, Sz(L"v"));
  platform::Install(previous);
}

TEST_F(RegistryFileOnSim, TakesTheFormsRegeditImports) {
  struct Case {
    const char* what;
    std::string file;
  };
  const Case cases[] = {
      {"version 5 in UTF-8 with a byte-order mark",
       "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"Fila\"=\"Recep\xC3\xA7\xC3\xA3o\"\r\n"},
      {"version 5 in UTF-8",
       "Windows Registry Editor Version 5.00\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"Fila\"=\"Recep\xC3\xA7\xC3\xA3o\"\r\n"},
      {"version 5 in ANSI",
       "Windows Registry Editor Version 5.00\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"Fila\"=\"Recep\xE7\xE3o\"\r\n"},
      {"another hive passed over",
       "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\X]\r\n\"Fila\"=\"no\"\r\n\r\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\r\n\"Fila\"=\"Recep\xE7\xE3o\"\r\n"
       "[HKEY_USERS\\.DEFAULT]\r\n\"Fila\"=\"no\"\r\n"},
  };
  for (const Case& c : cases) {
    tollgate::testing::TempMachine temp;
    WriteBytes(temp.Folder() / "registry.reg", c.file);
    EXPECT_EQ(temp.machine().RegistryLoadError(), "") << c.what;
    EXPECT_EQ(QueryPath(L"SOFTWARE\\V", L"Fila").data, Sz(L"Recepção")) << c.what;
  }
}

TEST_F(RegistryFileOnSim, AnEditOfTheFileByAnotherHandIsTakenIn) {
  HKEY key = Create(L"SOFTWARE\\Velmora\\Mine");
  Set(key, L"Kept", REG_SZ, Sz(L"1"));
  std::string file = ReadBytes(Folder() / "registry.reg");
  WriteBytes(Folder() / "registry.reg",
             file + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Hand]\r\n\"Edited\"=\"yes\"\r\n");
  // The next read sees it, and the key opened before still works.
  EXPECT_EQ(QueryPath(L"SOFTWARE\\Velmora\\Hand", L"Edited").data, Sz(L"yes"));
  Set(key, L"After", REG_SZ, Sz(L"2"));
  registry().RegCloseKey(key);
  std::string now = ReadBytes(Folder() / "registry.reg");
  EXPECT_NE(now.find("\"Edited\"=\"yes\""), std::string::npos);
  EXPECT_NE(now.find("\"After\"=\"2\""), std::string::npos);
  // An edit that does not load is kept aside, and the registry goes on.
  WriteBytes(Folder() / "registry.reg", now + "no registry line\r\n");
  EXPECT_EQ(QueryPath(L"SOFTWARE\\Velmora\\Mine", L"After").data, Sz(L"2"));
  EXPECT_NE(ReadBytes(Folder() / "registry.reg.rejected").find("no registry line"),
            std::string::npos);
  EXPECT_EQ(ReadBytes(Folder() / "registry.reg").find("no registry line"), std::string::npos);
}

}  // namespace
