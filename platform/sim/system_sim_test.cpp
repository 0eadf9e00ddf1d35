#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;

class SystemOnSim : public tollgate::testing::MachineTest {};

TEST_F(SystemOnSim, AnsiCodePageIsWindows1252BothWays) {
  EXPECT_EQ(system().GetACP(), 1252u);
  std::string bytes = "\x80 \xE7\xE3o \x93x\x94 \x81";
  std::wstring text = system().MultiByteToWideChar(CP_ACP, bytes);
  EXPECT_EQ(text, L"\u20AC \u00E7\u00E3o \u201Cx\u201D \u0081");
  EXPECT_EQ(system().WideCharToMultiByte(CP_ACP, text), bytes);
  EXPECT_EQ(system().WideCharToMultiByte(CP_ACP, L"\u4E2D"), "?");
}

// The code page as Windows keeps it: "ACP" of the Nls\CodePage key.
void SetAnsiCodePage(const std::wstring& number) {
  HKEY key = nullptr;
  ASSERT_EQ(registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                       L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage",
                                       KEY_ALL_ACCESS, &key, nullptr),
            ERROR_SUCCESS);
  std::vector<std::uint8_t> data;
  for (wchar_t c : number + L'\0') {
    data.push_back(static_cast<std::uint8_t>(c & 0xFF));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  ASSERT_EQ(
      registry().RegSetValueExW(key, L"ACP", REG_SZ, data.data(), static_cast<DWORD>(data.size())),
      ERROR_SUCCESS);
  registry().RegCloseKey(key);
}

TEST_F(SystemOnSim, TheAnsiCodePageIsTheRegistrysAndConvertsBothWays) {
  struct Case {
    unsigned codePage;
    std::wstring text;
    std::string bytes;
  };
  const Case cases[] = {
      {936, L"\u674E\u660E \u738B\u82B3", "\xC0\xEE\xC3\xF7 \xCD\xF5\xB7\xBC"},
      {950, L"\u53F0\u7063", "\xA5\x78\xC6\x57"},
      {932, L"\u65E5\u672C\u8A9E", "\x93\xFA\x96\x7B\x8C\xEA"},
      {949, L"\uD55C\uAD6D\uC5B4", "\xC7\xD1\xB1\xB9\xBE\xEE"},
      {874, L"\u0E20\u0E32\u0E29\u0E32", "\xC0\xD2\xC9\xD2"},
      {1250, L"\u0141\u00F3d\u017A", "\xA3\xF3\x64\x9F"},
      {1251, L"\u041F\u0440\u0438", "\xCF\xF0\xE8"},
      {1253, L"\u0395\u03BB\u03AC", "\xC5\xEB\xDC"},
      {1254, L"\u0130\u011F\u015F", "\xDD\xF0\xFE"},
      {1255, L"\u05E9\u05DC\u05D5\u05DD", "\xF9\xEC\xE5\xED"},
      {1256, L"\u0645\u0631\u062D", "\xE3\xD1\xCD"},
      {1257, L"\u0104\u017Euolas", "\xC0\xFEuolas"},
      {1258, L"\u0110\u00E0", "\xD0\xE0"},
      {1252, L"\u20AC\u00E7", "\x80\xE7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codePage);
    SetAnsiCodePage(std::to_wstring(c.codePage));
    EXPECT_EQ(system().GetACP(), c.codePage);
    bool usedDefault = true;
    EXPECT_EQ(system().WideCharToMultiByte(CP_ACP, c.text, &usedDefault), c.bytes);
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ(system().MultiByteToWideChar(CP_ACP, c.bytes), c.text);
    // A character the code page cannot hold: its default character, and the flag says so.
    EXPECT_EQ(system().WideCharToMultiByte(CP_ACP, L"a\U0001F600b", &usedDefault), "a?b");
    EXPECT_TRUE(usedDefault);
    // A question mark of the text is the code page's own.
    EXPECT_EQ(system().WideCharToMultiByte(CP_ACP, L"?", &usedDefault), "?");
    EXPECT_FALSE(usedDefault);
  }
  // A Chinese machine's names are not a Western one's.
  SetAnsiCodePage(L"1252");
  bool usedDefault = false;
  EXPECT_EQ(system().WideCharToMultiByte(CP_ACP, L"\u674E\u660E", &usedDefault), "??");
  EXPECT_TRUE(usedDefault);
  // A value that names no code page the machine has is Windows-1252.
  for (const wchar_t* bad : {L"", L"abc", L"99999", L"0", L"12x"}) {
    SetAnsiCodePage(bad);
    EXPECT_EQ(system().GetACP(), 1252u);
  }
  // Bytes that make no character of a double-byte code page: a lead byte at the end.
  SetAnsiCodePage(L"936");
  EXPECT_EQ(system().MultiByteToWideChar(CP_ACP, "a\xC0"), L"a?");
}

TEST_F(SystemOnSim, Utf8DecodingReplacesIllFormedBytes) {
  EXPECT_EQ(system().MultiByteToWideChar(CP_UTF8, "a\xC3\xA7\xE2\x82\xAC"), L"a\u00E7\u20AC");
  EXPECT_EQ(system().MultiByteToWideChar(CP_UTF8, "\xC3"), L"\uFFFD");
  EXPECT_EQ(system().MultiByteToWideChar(CP_UTF8, "\xC0\xAF!"), L"\uFFFD\uFFFD!");
  EXPECT_EQ(system().WideCharToMultiByte(CP_UTF8, L"\u00E7"), "\xC3\xA7");
}

TEST_F(SystemOnSim, CommonAppDataIsTheMachinesProgramDataFolder) {
  std::wstring path;
  EXPECT_EQ(system().SHGetFolderPathW(CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, &path), S_OK);
  EXPECT_EQ(path, tollgate::testing::Wide(Folder() / "ProgramData"));
  EXPECT_TRUE(std::filesystem::is_directory(Folder() / "ProgramData"));
}

TEST_F(SystemOnSim, ComputerNameMustFitTheBuffer) {
  std::wstring name;
  ASSERT_TRUE(system().GetComputerNameW(16, &name));
  EXPECT_EQ(name, L"TOLLSRV01");
  machine().SetComputerName(L"A-VERY-LONG-NAME-1");
  EXPECT_FALSE(system().GetComputerNameW(16, &name));
  EXPECT_EQ(kernel().GetLastError(), ERROR_BUFFER_OVERFLOW);
}

TEST_F(SystemOnSim, KeepsTheEnglishWindowsTextsOfErrorCodes) {
  struct Case {
    DWORD code;
    const wchar_t* text;
  };
  const Case cases[] = {
      {2, L"The system cannot find the file specified.\r\n"},
      {3, L"The system cannot find the path specified.\r\n"},
      {5, L"Access is denied.\r\n"},
      {6, L"The handle is invalid.\r\n"},
      {1063, L"The service process could not connect to the service controller.\r\n"},
      {1722, L"The RPC server is unavailable.\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kernel().FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, c.code, LANG_USER_DEFAULT),
              std::wstring(c.text));
  }
  EXPECT_EQ(kernel().FormatMessageW(0x11FF, 5, LANG_USER_DEFAULT),
            std::wstring(L"Access is denied. "));
}

TEST(SplitCommandLineOnSim, FollowsTheWindowsRules) {
  struct Case {
    const wchar_t* line;
    std::vector<std::wstring> args;
  };
  const Case cases[] = {
      {L"prog a b", {L"prog", L"a", L"b"}},
      {L"\"C:\\Program Files\\x.exe\" /server host",
       {L"C:\\Program Files\\x.exe", L"/server", L"host"}},
      {L"p \"a b\" c", {L"p", L"a b", L"c"}},
      {L"p a\\\\\\\"b", {L"p", L"a\\\"b"}},
      {L"p a\\\\\"b c\"", {L"p", L"a\\b c"}},
      {L"p a\\b", {L"p", L"a\\b"}},
      {L"p \"\"", {L"p", L""}},
      {L"p \"a\"\"b\"", {L"p", L"a\"b"}},
      {L"  ", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::sim::SplitCommandLine(c.line), c.args) << std::wstring(c.line).size();
  }
}

TEST_F(SystemOnSim, ChildProcessRunsWithItsOutputOnAPipeAndGivesItsExitCode) {
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(files().CreatePipe(&readEnd, &writeEnd));
  StartupInfo startup;
  startup.hStdOutput = writeEnd;
  ProcessInformation info;
  ASSERT_TRUE(
      processes().CreateProcessW(L"", L"/bin/sh -c \"echo hello; exit 3\"", L"", startup, &info));
  kernel().CloseHandle(writeEnd);
  std::string output;
  char buffer[64];
  DWORD got = 0;
  while (files().ReadFile(readEnd, buffer, sizeof buffer, &got) && got > 0) {
    output.append(buffer, got);
  }
  EXPECT_EQ(kernel().GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_EQ(output, "hello\n");
  ASSERT_EQ(kernel().WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(processes().GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 3u);
  kernel().CloseHandle(info.hProcess);
  kernel().CloseHandle(info.hThread);
  kernel().CloseHandle(readEnd);

  EXPECT_FALSE(processes().CreateProcessW(L"", L"/no/such/program.exe", L"", {}, &info));
  EXPECT_EQ(kernel().GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
