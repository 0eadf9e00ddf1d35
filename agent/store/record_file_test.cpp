// The record files through the machine's real files: ids, deletion, removal, damaged ends,
// archiving.
#include "agent/store/record_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "agent/store/full_disk_fixture.h"
#include "agent/store/records.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"
#include "testing/machine_fixture.h"

namespace tollgate::store {
namespace {

using tollgate::testing::ReadBytes;
using tollgate::testing::Wide;
using tollgate::testing::WriteBytes;

constexpr std::size_t kSize = kHardwareRecordSize;

std::string Record(char fill) {
  std::string r(kSize, fill);
  r[0] = 0;
  return r;
}

class RecordFileTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    InstallFileLog(std::make_unique<FileLog>(Wide(Folder() / "events.log"), 1000000));
  }
  void TearDown() override { InstallFileLog(nullptr); }
  std::filesystem::path Path() const { return Folder() / "hdw2_7_2.log"; }
  std::unique_ptr<RecordFile> Make() { return std::make_unique<RecordFile>(Wide(Path()), kSize); }
  std::string LogText() { return ReadBytes(Folder() / "events_0.log"); }
};

TEST_F(RecordFileTest, IdsAscendAcrossRestartsAndRecordsComeBackInOrder) {
  auto file = Make();
  EXPECT_FALSE(file->Exists());
  EXPECT_EQ(file->Append(Record('a')), 1);
  EXPECT_EQ(file->Append(Record('b')), 2);
  EXPECT_TRUE(file->Exists());
  EXPECT_EQ(ReadBytes(Path()).size(), 2 * kSize);
  file.reset();

  file = Make();
  EXPECT_EQ(file->Append(Record('c')), 3);
  std::string r;
  for (int id = 1; id <= 3; ++id) {
    ASSERT_TRUE(file->ReadFirst(&r));
    EXPECT_EQ(RecordLocalId(r), id);
    EXPECT_EQ(r[100], static_cast<char>('a' + id - 1));
  }
  file->Unread();
  ASSERT_TRUE(file->ReadFirst(&r));
  EXPECT_EQ(RecordLocalId(r), 3);
}

TEST_F(RecordFileTest, DeletedRecordsAreSkippedAndAnAllDeletedFileIsRemoved) {
  auto file = Make();
  for (char c : {'a', 'b', 'c'}) file->Append(Record(c));
  file->Delete(2);
  std::string r;
  ASSERT_TRUE(file->ReadFirst(&r));
  EXPECT_EQ(RecordLocalId(r), 1);
  file->Delete(1);
  ASSERT_TRUE(file->ReadFirst(&r));
  EXPECT_EQ(RecordLocalId(r), 3);
  file->Delete(3);
  EXPECT_EQ(ReadBytes(Path())[2 * kSize], 1);  // the flag byte of record 3
  EXPECT_EQ(platform::kernel().WaitForSingleObject(file->Event(), 0), platform::WAIT_OBJECT_0);
  EXPECT_FALSE(file->ReadFirst(&r));
  EXPECT_FALSE(std::filesystem::exists(Path()));
  EXPECT_EQ(platform::kernel().WaitForSingleObject(file->Event(), 0), platform::WAIT_TIMEOUT);
  // A new file starts again at id 1 and sets the event.
  EXPECT_EQ(file->Append(Record('d')), 1);
  EXPECT_EQ(platform::kernel().WaitForSingleObject(file->Event(), 0), platform::WAIT_OBJECT_0);
}

TEST_F(RecordFileTest, DeletingAnIdThatIsNotThereIsError33) {
  auto file = Make();
  auto expect33 = [&](std::int32_t id) {
    try {
      file->Delete(id);
      ADD_FAILURE() << "no error for " << id;
    } catch (::Error* error) {
      std::unique_ptr<::Error> owned(error);
      EXPECT_EQ(owned->Id(), 33u);
    }
  };
  expect33(1);  // no file
  file->Append(Record('a'));
  file->Append(Record('b'));
  expect33(0);
  expect33(3);
  file->Delete(2);
  file->Delete(1);
}

TEST_F(RecordFileTest, ARecordCutShortIsSetAsideAndTheNextAppendLinesUp) {
  {
    auto file = Make();
    file->Append(Record('a'));
    file->Append(Record('b'));
  }
  std::string bytes = ReadBytes(Path());
  std::string torn = Record('z').substr(0, 300);
  WriteBytes(Path(), bytes + torn);

  auto file = Make();
  EXPECT_EQ(file->Append(Record('c')), 3);
  std::string now = ReadBytes(Path());
  ASSERT_EQ(now.size(), 3 * kSize);
  EXPECT_EQ(now.substr(0, 2 * kSize), bytes);
  EXPECT_EQ(now[2 * kSize + 100], 'c');
  EXPECT_EQ(ReadBytes(Folder() / "hdw2_7_2.log.partial"), torn);
  EXPECT_NE(LogText().find("ends with a partial record of 300 bytes at offset 2336"),
            std::string::npos)
      << LogText();
  std::string r;
  for (int id = 1; id <= 3; ++id) {
    ASSERT_TRUE(file->ReadFirst(&r));
    EXPECT_EQ(RecordLocalId(r), id);
  }
}

TEST_F(RecordFileTest, ATornEndIsNeverWrittenOverBeforeItIsKept) {
  {
    auto file = Make();
    file->Append(Record('a'));
    file->Append(Record('b'));
  }
  std::string whole = ReadBytes(Path());
  std::string torn = Record('z').substr(0, 300);
  WriteBytes(Path(), whole + torn);

  FullDiskInstalled disk;
  disk->SetRoom(0);  // the disk is full: no ".partial" copy can be made
  auto file = Make();
  EXPECT_EQ(file->Append(Record('c')), 3);
  EXPECT_EQ(file->Append(Record('d')), 4);
  EXPECT_EQ(ReadBytes(Path()), whole + torn);  // the torn bytes are still there
  EXPECT_EQ(file->Waiting(), 2u);
  EXPECT_TRUE(file->Exists());
  std::string log = LogText();
  EXPECT_NE(log.find("ends with a partial record of 300 bytes at offset 2336; its bytes could "
                     "not be kept in "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Couldn't write to record file " + Path().string() + ": "), std::string::npos)
      << log;
  // Records waiting in memory are read and deleted as the file's own, after those on the
  // disk.
  std::string r;
  for (int id = 1; id <= 3; ++id) {
    ASSERT_TRUE(file->ReadFirst(&r));
    EXPECT_EQ(RecordLocalId(r), id);
    EXPECT_TRUE(file->IsLive(id));
    file->Delete(id);
    EXPECT_FALSE(file->IsLive(id));
  }
  EXPECT_EQ(file->Waiting(), 1u);

  disk->Unlimited();
  EXPECT_TRUE(file->WriteWaiting());
  EXPECT_EQ(file->Waiting(), 0u);
  EXPECT_EQ(ReadBytes(Folder() / "hdw2_7_2.log.partial"), torn);
  std::string now = ReadBytes(Path());
  ASSERT_EQ(now.size(), 3 * kSize);
  EXPECT_EQ(now[0], 1);  // records 1 and 2 deleted in place
  EXPECT_EQ(now[kSize], 1);
  EXPECT_EQ(now.substr(kSize + 1, kSize - 1), whole.substr(kSize + 1, kSize - 1));
  EXPECT_EQ(RecordLocalId(now.substr(2 * kSize)), 4);
  EXPECT_NE(LogText().find("The records that waited in memory are written to record file "),
            std::string::npos);
  ASSERT_TRUE(file->ReadFirst(&r));
  EXPECT_EQ(RecordLocalId(r), 4);
}

TEST_F(RecordFileTest, AFileWhoseTornEndCannotBeKeptIsSetAsideNotRemoved) {
  {
    auto file = Make();
    file->Append(Record('a'));
  }
  std::string torn = Record('z').substr(0, 300);
  WriteBytes(Path(), ReadBytes(Path()) + torn);
  FullDiskInstalled disk;
  disk->SetRoom(0);
  auto file = Make();
  std::string r;
  ASSERT_TRUE(file->ReadFirst(&r));
  file->Delete(1);
  EXPECT_FALSE(file->ReadFirst(&r));
  EXPECT_FALSE(std::filesystem::exists(Path()));
  int kept = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Folder())) {
    std::string name = entry.path().filename().string();
    if (name.rfind("hdw2_7_2.log.", 0) == 0 && name != "hdw2_7_2.log.partial") {
      ++kept;
      std::string bytes = ReadBytes(entry.path());
      EXPECT_EQ(bytes.substr(bytes.size() - torn.size()), torn);
    }
  }
  EXPECT_EQ(kept, 1);
  EXPECT_NE(LogText().find("its partial record could not be kept in "), std::string::npos)
      << LogText();
}

TEST_F(RecordFileTest, ArchiveSetsTheFileAsideUnderItsTime) {
  auto file = Make();
  EXPECT_EQ(file->Archive(), nullptr);  // nothing to set aside
  file->Append(Record('a'));
  std::string bytes = ReadBytes(Path());
  EXPECT_EQ(file->Archive(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(Path()));
  int archived = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Folder())) {
    std::string name = entry.path().filename().string();
    if (name.rfind("hdw2_7_2.log.", 0) != 0) continue;
    ++archived;
    std::string stamp = name.substr(13);
    EXPECT_EQ(stamp.size(), 15u) << name;
    EXPECT_EQ(stamp[8], 'T') << name;
    EXPECT_EQ(ReadBytes(entry.path()), bytes);
  }
  EXPECT_EQ(archived, 1);
  std::string r;
  EXPECT_FALSE(file->ReadFirst(&r));
}

}  // namespace
}  // namespace tollgate::store
