#include <gtest/gtest.h>

#include <regex>

#include "shared/error/file_log.h"
#include "shared/error/report.h"
#include "testing/machine_fixture.h"

namespace {

using tollgate::FileLog;
using tollgate::testing::ReadBytes;
using tollgate::testing::Wide;
using tollgate::testing::WriteBytes;

class FileLogTest : public tollgate::testing::MachineTest {
 protected:
  std::filesystem::path File(int k) { return Folder() / ("events_" + std::to_string(k) + ".log"); }
  std::wstring LogPath() { return Wide(Folder() / "events.log"); }
};

TEST_F(FileLogTest, NamesItsFilesFromThePathGiven) {
  FileLog log(LogPath(), 1000000);
  EXPECT_EQ(log.Current(), Wide(File(0)));
  EXPECT_EQ(log.FileName(9), Wide(File(9)));
}

TEST_F(FileLogTest, FirstLineOfARunShiftsEveryFileAndDropsTheOldest) {
  for (int k = 0; k <= 9; ++k) WriteBytes(File(k), "file" + std::to_string(k));
  FileLog log(LogPath(), 1000000);
  ASSERT_EQ(log.Write(L"first"), nullptr);
  EXPECT_EQ(ReadBytes(File(0)), "first\r\n");
  for (int k = 1; k <= 9; ++k) EXPECT_EQ(ReadBytes(File(k)), "file" + std::to_string(k - 1));
}

TEST_F(FileLogTest, OnlyFileZeroBecomesFileOne) {
  WriteBytes(File(0), "old");
  FileLog log(LogPath(), 1000000);
  ASSERT_EQ(log.Write(L"new"), nullptr);
  EXPECT_EQ(ReadBytes(File(1)), "old");
  EXPECT_EQ(ReadBytes(File(0)), "new\r\n");
  EXPECT_FALSE(std::filesystem::exists(File(2)));
}

TEST_F(FileLogTest, RotatesBeforeTheLineAfterTheLimitIsPassedNeverInsideALine) {
  FileLog log(LogPath(), 1000000);  // 500000 characters a file
  ASSERT_EQ(log.Write(std::wstring(500000, L'a')), nullptr);
  ASSERT_EQ(log.Write(L"b"), nullptr);  // the 500001st character: still in file 0
  EXPECT_FALSE(std::filesystem::exists(File(1)));
  ASSERT_EQ(log.Write(L"c"), nullptr);
  EXPECT_EQ(ReadBytes(File(0)), "c\r\n");
  EXPECT_EQ(ReadBytes(File(1)), std::string(500000, 'a') + "\r\nb\r\n");
}

TEST_F(FileLogTest, ALineLongerThanTheLimitIsWrittenWhole) {
  FileLog log(LogPath(), 20);
  ASSERT_EQ(log.Write(std::wstring(50, L'x')), nullptr);
  EXPECT_EQ(ReadBytes(File(0)), std::string(50, 'x') + "\r\n");
  ASSERT_EQ(log.Write(L"y"), nullptr);
  EXPECT_EQ(ReadBytes(File(0)), "y\r\n");
}

TEST_F(FileLogTest, StoresEachCharacterAsOneByte) {
  FileLog log(LogPath(), 1000000);
  ASSERT_EQ(log.Write(L"Registro não encontrado.\r\nção \u20AC"), nullptr);
  EXPECT_EQ(ReadBytes(File(0)), "Registro n\xE3o encontrado.\r\n\xE7\xE3o ?\r\n");
}

TEST_F(FileLogTest, FailedRotationWritesNothingAndIsTriedAgain) {
  std::filesystem::create_directories(File(9) / "busy");
  FileLog log(LogPath(), 1000000);
  auto error = log.Write(L"lost");
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->Text(), L"error removing file " + Wide(File(9)) + L": Windows error 5: " +
                               tollgate::testing::OneLineSystemText(5));
  EXPECT_FALSE(std::filesystem::exists(File(0)));
  std::filesystem::remove_all(File(9));
  ASSERT_EQ(log.Write(L"kept"), nullptr);
  EXPECT_EQ(ReadBytes(File(0)), "kept\r\n");
}

TEST_F(FileLogTest, LogAndTraceWriteTimeStampedLinesToTheInstalledLog) {
  tollgate::InstallFileLog(std::make_unique<FileLog>(LogPath(), 1000000));
  tollgate::Log(L"Starting...");
  tollgate::Trace(L"Injector", L"%s not found", {L"clock"});
  tollgate::Trace(L"Injector", L"%s", {L""});  // formats to nothing: no line
  std::string text = ReadBytes(File(0));
  std::regex expected(
      "\\d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\\d\\d \\d\\d:\\d\\d:\\d\\d "
      "Starting\\.\\.\\.\r\n"
      "\\d{4}-\\w{3}-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[tid:0x[0-9a-f]+\\]\\[Injector\\] clock not "
      "found\r\n");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
  tollgate::InstallFileLog(nullptr);
}

TEST_F(FileLogTest, ALogThatCannotBeWrittenGoesToStandardError) {
  tollgate::InstallFileLog(
      std::make_unique<FileLog>(Wide(Folder() / "missing" / "events.log"), 1000000));
  ::testing::internal::CaptureStderr();
  tollgate::Log(L"hello");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Error logging 'hello': error removing file ", 0), 0u) << err;
  tollgate::InstallFileLog(nullptr);
}

TEST_F(FileLogTest, ReportsWriteTheErrorsMessage) {
  tollgate::InstallFileLog(std::make_unique<FileLog>(LogPath(), 1000000));
  tollgate::ReportError(new Error(33));
  tollgate::ReportException(std::runtime_error("could not convert \xE7"));
  EXPECT_FALSE(tollgate::RunReported(L"Timer::loop", [] { throw 5; }));
  EXPECT_FALSE(tollgate::RunReported(L"X", [] { throw new Error(38); }));
  EXPECT_FALSE(
      tollgate::RunReported(L"X", [] { tollgate::TranslateStructuredException(0xC0000005); }));
  EXPECT_TRUE(tollgate::RunReported(L"X", [] {}));
  std::string text = ReadBytes(File(0));
  EXPECT_NE(text.find(" Registro n\xE3o encontrado.\r\n"), std::string::npos);
  EXPECT_NE(text.find(" could not convert \xE7\r\n"), std::string::npos);
  EXPECT_NE(text.find("Manipulada em: Timer::loop.\r\n"), std::string::npos);
  EXPECT_NE(text.find(" Formato de registro n\xE3o reconhecido"), std::string::npos);
  EXPECT_NE(text.find(" SEH exception: -1073741819\r\n"), std::string::npos);
  tollgate::InstallFileLog(nullptr);
}

}  // namespace
