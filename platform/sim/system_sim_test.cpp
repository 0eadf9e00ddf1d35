#include <gtest/gtest.h>

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
