#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;
using tollgate::testing::ReadBytes;
using tollgate::testing::WriteBytes;

std::vector<std::uint8_t> Sz(const std::wstring& text) {
  std::vector<std::uint8_t> out;
  for (wchar_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

struct Value {
  LONG rc;
  DWORD type;
  std::vector<std::uint8_t> data;
};

Value Query(HKEY key, const std::wstring& name) {
  Value v{0, 0, {}};
  DWORD size = 0;
  v.rc = registry().RegQueryValueExW(key, name, &v.type, nullptr, &size);
  if (v.rc != ERROR_SUCCESS) return v;
  v.data.resize(size);
  v.rc = registry().RegQueryValueExW(key, name, &v.type, v.data.data(), &size);
  return v;
}

Value QueryPath(const std::wstring& path, const std::wstring& name) {
  HKEY key = nullptr;
  LONG rc = registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return Value{rc, 0, {}};
  Value v = Query(key, name);
  registry().RegCloseKey(key);
  return v;
}

class RegistryTest : public tollgate::testing::MachineTest {
 protected:
  HKEY Create(const std::wstring& path, DWORD access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, access, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }
  void Set(HKEY key, const std::wstring& name, DWORD type, std::vector<std::uint8_t> data) {
    ASSERT_EQ(
        registry().RegSetValueExW(key, name, type, data.data(), static_cast<DWORD>(data.size())),
        ERROR_SUCCESS);
  }
};

TEST_F(RegistryTest, KeysAndValuesCompareWithoutCaseAndKeepTheirSpelling) {
  HKEY key = Create(L"SOFTWARE\\Velmora\\Tollgate Client");
  Set(key, L"ServerAddress", REG_SZ, Sz(L"acct01"));
  registry().RegCloseKey(key);
  Value v = QueryPath(L"software\\VELMORA\\tollgate client", L"serveraddress");
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
  HKEY key = Create(L"SOFTWARE\\T");
  Set(key, L"Name", REG_SZ, Sz(L"abcdef"));
  EXPECT_EQ(Query(key, L"Other").rc, ERROR_FILE_NOT_FOUND);
  std::uint8_t small[4];
  DWORD size = sizeof small;
  DWORD type = 0;
  EXPECT_EQ(registry().RegQueryValueExW(key, L"Name", &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 14u);
  std::uint8_t four[4] = {1, 2, 3};
  EXPECT_EQ(registry().RegSetValueExW(key, L"D", REG_DWORD, four, 3), ERROR_INVALID_PARAMETER);
  registry().RegCloseKey(key);
  EXPECT_EQ(registry().RegCloseKey(key), ERROR_INVALID_HANDLE);

  HKEY readOnly = nullptr;
  ASSERT_EQ(registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\T", KEY_READ, &readOnly),
            ERROR_SUCCESS);
  EXPECT_EQ(registry().RegSetValueExW(readOnly, L"X", REG_SZ, four, 2), ERROR_ACCESS_DENIED);
  EXPECT_EQ(registry().RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(registry().RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\T"), ERROR_SUCCESS);
  EXPECT_EQ(Query(readOnly, L"Name").rc, ERROR_KEY_DELETED);
  registry().RegCloseKey(readOnly);
}

TEST_F(RegistryTest, ValuesSurviveARestartOfTheMachine) {
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

TEST_F(RegistryTest, TextsOutsideTheAnsiCodePageAreWrittenInTheUnicodeFormat) {
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

TEST_F(RegistryTest, LoadsTheAnsiExportFormat) {
  WriteBytes(Folder() / "registry.reg", kRegedit4);
  const std::wstring agent = L"SOFTWARE\\Velmora\\Tollgate Client";
  EXPECT_EQ(machine().RegistryLoadError(), "");
  EXPECT_EQ(QueryPath(agent, L"ServerAddress").data, Sz(L"acct01.example"));
  EXPECT_EQ(QueryPath(agent, L"OnRemoteFailureWaitMinutes").data,
            (std::vector<std::uint8_t>{5, 0, 0, 0}));
  Value path = QueryPath(agent, L"Path");
  EXPECT_EQ(path.type, REG_EXPAND_SZ);
  EXPECT_EQ(path.data, Sz(L"%SystemRoot%\\ç"));
  EXPECT_EQ(QueryPath(agent, L"List").data, Sz(std::wstring(L"a\0bc\0", 5)));
  Value blob = QueryPath(agent, L"Blob");
  EXPECT_EQ(blob.type, REG_BINARY);
  ASSERT_EQ(blob.data.size(), 26u);
  EXPECT_EQ(blob.data[25], 0x1a);
  EXPECT_EQ(QueryPath(agent, L"").data, Sz(L"default \"quoted\" \\ value"));
  EXPECT_EQ(QueryPath(agent + L"\\Printers\\Filação", L"KeepHistory").data, Sz(L"1"));
}

TEST_F(RegistryTest, LoadsTheUnicodeExportFormat) {
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

TEST_F(RegistryTest, AMalformedFileIsNotHalfLoadedAndNeverOverwritten) {
  struct Case {
    const char* file;
    const char* error;
  };
  const Case cases[] = {
      {"[HKEY_LOCAL_MACHINE\\A]\r\n", "line 1: expected the header REGEDIT4"},
      {"REGEDIT4\r\n\"v\"=\"x\"\r\n", "line 2: value outside a key"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=dword:123456789\r\n",
       "line 3: malformed dword value"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:0g\r\n", "line 3: malformed hex bytes"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"open\r\n", "line 3: malformed string value"},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\A]\r\n",
       "line 2: only HKEY_LOCAL_MACHINE keys are supported"},
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

}  // namespace
