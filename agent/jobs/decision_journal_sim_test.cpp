#include "agent/jobs/decision_journal.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "agent/store/full_disk_fixture.h"
#include "shared/error/file_log.h"
#include "testing/machine_fixture.h"

namespace {

using namespace tollgate;
using jobs::DecisionJournal;
using spooler::JobDecision;
using tollgate::testing::ReadBytes;
using tollgate::testing::Wide;
using tollgate::testing::WriteBytes;

// A time after the tests' own (the journal's memory starts when it is made).
platform::SystemTime At(int second, int minute = 0) {
  platform::SystemTime t;
  t.wYear = 2030;
  t.wMonth = 12;
  t.wDay = 11;
  t.wHour = 10;
  t.wMinute = static_cast<std::uint16_t>(minute);
  t.wSecond = static_cast<std::uint16_t>(second);
  return t;
}

class DecisionJournalTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    InstallFileLog(std::make_unique<FileLog>(Wide(Folder() / "events.log"), 10000000));
  }
  void TearDown() override { InstallFileLog(nullptr); }
  std::filesystem::path Path() const { return Folder() / "decisions.log"; }
  std::unique_ptr<DecisionJournal> Open(std::size_t bound = DecisionJournal::kMaxEntries) {
    auto journal = std::make_unique<DecisionJournal>(Wide(Path()), bound);
    journal->Load();
    return journal;
  }
  std::string LogText() { return ReadBytes(Folder() / "events_0.log"); }
};

TEST_F(DecisionJournalTest, DecisionsOutliveTheAgentKeyedByQueueJobAndSubmittedTime) {
  {
    auto journal = Open();
    journal->Record(L"Recepção", 7, At(1), JobDecision::kPaused);
    journal->Record(L"Recepção", 7, At(1), JobDecision::kHeld);
    journal->Record(L"Balcão", 8, At(2), JobDecision::kReleased);
  }
  auto journal = Open();
  // The last line of a job wins; queue names match whatever their case.
  EXPECT_EQ(journal->Find(L"RECEPÇÃO", 7, At(1)), JobDecision::kHeld);
  EXPECT_EQ(journal->Find(L"balcão", 8, At(2)), JobDecision::kReleased);
  // The same id given again by a restarted spooler is another job.
  EXPECT_EQ(journal->Find(L"Recepção", 7, At(3)), std::nullopt);
  EXPECT_EQ(journal->Find(L"Balcão", 7, At(1)), std::nullopt);
}

TEST_F(DecisionJournalTest, ATornTailAndDamagedLinesArePassedOverAndLogged) {
  WriteBytes(Path(),
             "since\t20301211T100000.000\n"
             "held\t20301211T100001.000\t7\tFila\n"
             "held\t2026X211T100001.000\t9\tFila\n"      // a damaged time
             "\xff\xfe\x01garbage\n"                     // not a line of the journal
             "released\t20301211T100002.000\t0\tFila\n"  // no job has id 0
             "frobbed\t20301211T100002.000\t10\tFila\n"  // no such decision
             "released\t20301211T100003.000\t11\tFi");   // cut short by a crash
  auto journal = Open();
  EXPECT_EQ(journal->Find(L"Fila", 7, At(1)), JobDecision::kHeld);
  EXPECT_EQ(journal->Size(), 1u);
  EXPECT_NE(LogText().find("The decision journal ends with a torn line"), std::string::npos);
  EXPECT_NE(LogText().find("The decision journal's line 3 cannot be read"), std::string::npos);
  EXPECT_NE(LogText().find("The decision journal's line 6 cannot be read"), std::string::npos);
  // Rewritten clean: what follows is appended after whole lines.
  journal->Record(L"Fila", 12, At(4), JobDecision::kDeleted);
  journal.reset();
  EXPECT_EQ(ReadBytes(Path()),
            "since\t20301211T100000.000\n"
            "held\t20301211T100001.000\t7\tFila\n"
            "deleted\t20301211T100004.000\t12\tFila\n");
}

TEST_F(DecisionJournalTest, CompactionKeepsOnlyJobsStillInAQueueAndTheSizeIsBounded) {
  constexpr std::size_t kBound = 64;
  auto journal = Open(kBound);
  journal->Record(L"Fila", 1, At(1), JobDecision::kReleased);
  journal->Record(L"Fila", 2, At(2), JobDecision::kHeld);
  journal->Compact({{L"fila", 2, At(2)}, {L"Fila", 3, At(3)}});
  EXPECT_EQ(journal->Find(L"Fila", 1, At(1)), std::nullopt);
  EXPECT_EQ(journal->Find(L"Fila", 2, At(2)), JobDecision::kHeld);
  // More jobs than it keeps: the oldest are forgotten and its memory starts after them.
  for (std::size_t i = 0; i < 5 * kBound; ++i)
    journal->Record(L"Fila", static_cast<platform::DWORD>(100 + i),
                    At(static_cast<int>(i % 60), static_cast<int>(10 + i / 60)),
                    JobDecision::kReleased);
  EXPECT_LE(journal->Size(), kBound);
  EXPECT_FALSE(journal->Remembers(At(0, 10)));
  EXPECT_TRUE(journal->Remembers(At(59, 59)));
  EXPECT_EQ(journal->Find(L"Fila", 100 + 5 * kBound - 1, At((5 * kBound - 1) % 60, 15)),
            JobDecision::kReleased);
  journal.reset();
  // Rewritten as it grows: never more than a few lines a job it keeps.
  EXPECT_LT(ReadBytes(Path()).size(), 4 * kBound * 40);
}

TEST_F(DecisionJournalTest, WithoutAFileTheQueuesHistoryIsNotRemembered) {
  auto journal = Open();
  platform::SystemTime earlier = At(0);
  earlier.wYear = 2020;
  EXPECT_FALSE(journal->Remembers(earlier));
  EXPECT_TRUE(journal->Remembers(At(0)));
}

// A full disk: the entries made meanwhile are kept in memory, and the file is written whole
// again once there is room, so that no decision is missing from it after a restart.
TEST_F(DecisionJournalTest, EntriesMadeWhileTheDiskIsFullReachTheFileOnceThereIsRoom) {
  {
    store::FullDiskInstalled disk;
    auto journal = Open();
    journal->Record(L"Recepção", 1, At(1), JobDecision::kReleased);
    disk->SetRoom(10);  // a torn line, then nothing
    journal->Record(L"Recepção", 2, At(2), JobDecision::kReleased);
    journal->Record(L"Recepção", 3, At(3), JobDecision::kPaused);
    journal->Record(L"Recepção", 3, At(3), JobDecision::kHeld);
    EXPECT_EQ(journal->Find(L"Recepção", 2, At(2)), JobDecision::kReleased);
    EXPECT_NE(LogText().find("Couldn't write the decision journal"), std::string::npos);
    disk->Unlimited();
    journal->Record(L"Balcão", 4, At(4), JobDecision::kDeleted);
    EXPECT_NE(LogText().find("The decision journal is written again."), std::string::npos);
  }
  auto journal = Open();
  EXPECT_EQ(journal->Find(L"Recepção", 1, At(1)), JobDecision::kReleased);
  EXPECT_EQ(journal->Find(L"Recepção", 2, At(2)), JobDecision::kReleased);
  EXPECT_EQ(journal->Find(L"Recepção", 3, At(3)), JobDecision::kHeld);
  EXPECT_EQ(journal->Find(L"Balcão", 4, At(4)), JobDecision::kDeleted);
  // Nothing torn was left behind to be passed over.
  EXPECT_EQ(LogText().find("torn line"), std::string::npos);
  EXPECT_EQ(LogText().find("cannot be read"), std::string::npos);
}

}  // namespace
