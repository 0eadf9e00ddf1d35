#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;
using tollgate::testing::ReadBytes;
using tollgate::testing::Wide;
using tollgate::testing::WriteBytes;

class FilesTest : public tollgate::testing::MachineTest {};

TEST_F(FilesTest, CreateDirectoryReportsWhatStandsInTheWay) {
  std::wstring dir = Wide(Folder() / "a");
  ASSERT_TRUE(files().CreateDirectoryW(dir));
  EXPECT_FALSE(files().CreateDirectoryW(dir));
  EXPECT_EQ(kernel().GetLastError(), ERROR_ALREADY_EXISTS);
  WriteBytes(Folder() / "file", "x");
  EXPECT_FALSE(files().CreateDirectoryW(Wide(Folder() / "file")));
  EXPECT_EQ(kernel().GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(files().CreateDirectoryW(Wide(Folder() / "file" / "sub")));
  EXPECT_EQ(kernel().GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(files().CreateDirectoryW(Wide(Folder() / "missing" / "sub")));
  EXPECT_EQ(kernel().GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, DeleteAndMoveFailTheWindowsWay) {
  EXPECT_FALSE(files().DeleteFileW(Wide(Folder() / "none")));
  EXPECT_EQ(kernel().GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(files().DeleteFileW(Wide(Folder() / "nodir" / "none")));
  EXPECT_EQ(kernel().GetLastError(), ERROR_PATH_NOT_FOUND);
  WriteBytes(Folder() / "one", "1");
  WriteBytes(Folder() / "two", "2");
  EXPECT_FALSE(files().MoveFileW(Wide(Folder() / "one"), Wide(Folder() / "two")));
  EXPECT_EQ(kernel().GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadBytes(Folder() / "two"), "2");
  EXPECT_FALSE(files().MoveFileW(Wide(Folder() / "none"), Wide(Folder() / "three")));
  EXPECT_EQ(kernel().GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(files().MoveFileExW(Wide(Folder() / "one"), Wide(Folder() / "two"),
                                  MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadBytes(Folder() / "two"), "1");
}

TEST_F(FilesTest, AppendWritesAtTheEndAndReadSeesEndOfFile) {
  std::wstring path = Wide(Folder() / "log.txt");
  for (const char* piece : {"ab", "cd"}) {
    HANDLE h = files().CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(files().WriteFile(h, piece, 2, &done));
    kernel().CloseHandle(h);
  }
  HANDLE h = files().CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  char buffer[8] = {};
  DWORD got = 0;
  ASSERT_TRUE(files().ReadFile(h, buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), "abcd");
  ASSERT_TRUE(files().ReadFile(h, buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  kernel().CloseHandle(h);
  EXPECT_EQ(files().CreateFileW(path, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(kernel().GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(files().CreateFileW(Wide(Folder()), GENERIC_READ, 0, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(kernel().GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(FilesTest, StandardHandlesAndTheTemporaryFolder) {
  HANDLE out = files().GetStdHandle(STD_OUTPUT_HANDLE);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  EXPECT_EQ(files().GetStdHandle(STD_OUTPUT_HANDLE), out);
  EXPECT_NE(files().GetStdHandle(STD_INPUT_HANDLE), out);
  EXPECT_EQ(files().GetStdHandle(7), INVALID_HANDLE_VALUE);
  EXPECT_EQ(kernel().GetLastError(), ERROR_INVALID_HANDLE);

  std::wstring temp;
  ASSERT_TRUE(files().GetTempPathW(&temp));
  ASSERT_FALSE(temp.empty());
  EXPECT_TRUE(temp.back() == L'/' || temp.back() == L'\\') << temp.size();
  std::wstring path = temp + L"tollgate-files-test.tmp";
  HANDLE h = files().CreateFileW(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  kernel().CloseHandle(h);
  EXPECT_TRUE(files().DeleteFileW(path));
}

}  // namespace
