#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/spooler/printer.h"
#include "agent/spooler/printer_notification.h"
#include "agent/spooler/spooler_probe.h"
#include "platform/platform.h"
#include "shared/error/file_log.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;
using namespace tollgate::spooler;
using tollgate::testing::ReadBytes;
using tollgate::testing::WriteBytes;

// A paused queue: its jobs stay until someone acts on them.
const char kMachine[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Fila]\r\n"
    "\"Port\"=\"LPT1:\"\r\n\"Printer Driver\"=\"HP Universal Printing PCL 6\"\r\n"
    "\"Status\"=dword:00000001\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\r\n"
    "\"LPT1:\"=\"\"\r\n";

class RecordingHandler : public JobNotificationHandler {
 public:
  using JobNotificationHandler::JobNotificationHandler;
  void OnJobSpooled(const TrackedJob& job) override { spooled.push_back(job.jobId); }
  void OnJobDeletedBeforePrinting(const std::vector<std::int64_t>& ids) override {
    deleted.push_back(ids);
  }
  std::vector<DWORD> spooled;
  std::vector<std::vector<std::int64_t>> deleted;
};

class JobTableOnSim : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override { WriteBytes(Folder() / "registry.reg", kMachine); }

  DWORD Print() {
    Spooler& sp = platform::spooler();
    HANDLE h = nullptr;
    EXPECT_TRUE(sp.OpenPrinterW(L"Fila", &h, nullptr));
    DWORD id = sp.StartDocPrinterW(h, DocInfo1{L"doc", L"", L"RAW"});
    DWORD written = 0;
    EXPECT_TRUE(sp.WritePrinter(h,
                                "\x1b"
                                "Ex\f",
                                4, &written));
    EXPECT_TRUE(sp.EndDocPrinter(h));
    sp.ClosePrinter(h);
    return id;
  }
  bool Paused(DWORD id) {
    JobInfo2 job;
    EXPECT_TRUE(printer_.GetJob(id, &job));
    return (job.Status & JOB_STATUS_PAUSED) != 0;
  }

  PrintMgr manager_{L""};
  Printer printer_{L"Fila", &manager_};
  RecordingHandler handler_{printer_};
};

TEST_F(JobTableOnSim, ASpoolingJobIsPausedAtOnceAndQueuedOnceWhenSpooled) {
  DWORD id = Print();
  handler_.DispatchStatus(id, JOB_STATUS_SPOOLING);
  EXPECT_TRUE(Paused(id));
  EXPECT_TRUE(handler_.spooled.empty());
  handler_.DispatchStatus(id, JOB_STATUS_PAUSED | JOB_STATUS_SPOOLING);
  EXPECT_TRUE(handler_.spooled.empty());
  handler_.DispatchStatus(id, JOB_STATUS_PAUSED);
  handler_.DispatchStatus(id, JOB_STATUS_PAUSED);
  EXPECT_EQ(handler_.spooled, std::vector<DWORD>{id});
}

TEST_F(JobTableOnSim, APendingEntryIsQueuedAgainOnceOnItsNextPausedReport) {
  handler_.DispatchStatus(5, JOB_STATUS_PAUSED);
  ASSERT_TRUE(handler_.RecordDecision(5, {}, false, true));
  handler_.DispatchStatus(5, JOB_STATUS_PAUSED);
  handler_.DispatchStatus(5, JOB_STATUS_PAUSED);
  EXPECT_EQ(handler_.spooled, (std::vector<DWORD>{5, 5}));
  TrackedJob entry;
  ASSERT_TRUE(handler_.Find(5, &entry));
  EXPECT_FALSE(entry.pending);
}

TEST_F(JobTableOnSim, StatusesThatAreNotASpooledHeldJob) {
  struct Case {
    DWORD status;
    bool tracked;  // the entry is there afterwards
    std::size_t deletions;
  } cases[] = {
      {JOB_STATUS_PAUSED | JOB_STATUS_ERROR, true, 0},
      {JOB_STATUS_PAUSED | JOB_STATUS_OFFLINE, true, 0},
      {JOB_STATUS_PAUSED | JOB_STATUS_DELETING, false, 1},
      {JOB_STATUS_DELETED, false, 1},
      {JOB_STATUS_PRINTING, false, 0},
      {JOB_STATUS_PRINTED, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    RecordingHandler handler(printer_);
    handler.DispatchStatus(9, JOB_STATUS_PAUSED);
    ASSERT_TRUE(handler.RecordDecision(9, {70, 71}, false, false));
    handler.DispatchStatus(9, c.status);
    EXPECT_EQ(handler.spooled.size(), 1u);
    EXPECT_EQ(handler.Find(9, nullptr), c.tracked);
    ASSERT_EQ(handler.deleted.size(), c.deletions);
    if (c.deletions == 1) {
      EXPECT_EQ(handler.deleted[0], (std::vector<std::int64_t>{70, 71}));
    }
  }
  // A job never tracked is ignored when it is deleted.
  handler_.DispatchStatus(12, JOB_STATUS_DELETING);
  EXPECT_TRUE(handler_.deleted.empty());
}

TEST_F(JobTableOnSim, AHeldJobResumedByHandIsPausedAgainAReleasedOneIsNot) {
  DWORD held = Print();
  DWORD released = Print();
  for (DWORD id : {held, released}) handler_.DispatchStatus(id, JOB_STATUS_PAUSED);
  ASSERT_TRUE(handler_.RecordDecision(held, {1}, false, false));
  ASSERT_TRUE(handler_.RecordDecision(released, {2}, true, false));
  handler_.DispatchStatus(held, 0);
  handler_.DispatchStatus(released, 0);
  EXPECT_TRUE(Paused(held));
  EXPECT_FALSE(Paused(released));
  // Once the server releases it, it is left alone.
  ASSERT_TRUE(handler_.ApplyCommand(held, true, false));
  ASSERT_TRUE(printer_.SetJob(held, JOB_CONTROL_RESUME));
  handler_.DispatchStatus(held, 0);
  EXPECT_FALSE(Paused(held));
}

TEST_F(JobTableOnSim, AJobFirstSeenSpooledAndFreeIsHeldUnlessItWasThereBeforeTheWatch) {
  DWORD before = Print();
  DWORD unseen = Print();
  handler_.KnowExisting(before);
  handler_.DispatchStatus(before, 0);
  handler_.DispatchStatus(unseen, 0);
  EXPECT_FALSE(Paused(before));
  EXPECT_TRUE(Paused(unseen));
  handler_.DispatchStatus(unseen, JOB_STATUS_PAUSED);
  EXPECT_EQ(handler_.spooled, std::vector<DWORD>{unseen});
}

// The queue's watch fails to begin, as when the spooler has no room for one more: the agent
// says which queue is not watched and why, tries again, and decides the job printed meanwhile.
class WatchRetryOnSim : public JobTableOnSim {
 protected:
  void SetUp() override {
    JobTableOnSim::SetUp();
    std::shared_ptr<Platform> inner(std::shared_ptr<Platform>{}, &machine());
    probe_ = std::make_shared<tollgate::spooler::testing::ProbePlatform>(inner);
    previous_ = Install(probe_);
    tollgate::InstallFileLog(std::make_unique<tollgate::FileLog>(
        tollgate::testing::Wide(Folder() / "events.log"), 1000000));
  }
  void TearDown() override {
    tollgate::InstallFileLog(nullptr);
    Install(previous_);
  }
  std::string LogText() { return ReadBytes(Folder() / "events_0.log"); }
  template <typename F>
  static bool Within(int ms, F done) {
    for (int i = 0; i < ms / 10; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
  }

  tollgate::spooler::testing::ProbeSpooler& probe() { return probe_->probe(); }
  std::shared_ptr<tollgate::spooler::testing::ProbePlatform> probe_;
  std::shared_ptr<Platform> previous_;
};

TEST_F(WatchRetryOnSim, AQueueThatCannotBeWatchedIsLoggedAndWatchedLater) {
  probe().failCode = RPC_S_SERVER_UNAVAILABLE;
  probe().findFirstFailures = 2;
  auto handler = std::make_unique<RecordingHandler>(printer_);
  RecordingHandler* recording = handler.get();
  PrinterNotification watch(printer_, std::move(handler));
  watch.SetWatchRetry(50, 80);
  std::atomic<int> late{0};
  watch.SetOnLateWatch([&] { ++late; });
  watch.OpenAsync(0, NotifyOptions::JobStatus());
  ASSERT_TRUE(Within(5000, [&] { return late.load() == 1; })) << LogText();
  EXPECT_EQ(probe().findFirstFailed.load(), 2);
  std::string log = LogText();
  EXPECT_NE(
      log.find("Can't watch printer Fila: The RPC server is unavailable. Trying again in 50 ms."),
      std::string::npos)
      << log;
  EXPECT_NE(
      log.find("Can't watch printer Fila: The RPC server is unavailable. Trying again in 80 ms."),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("Printer Fila is watched now."), std::string::npos) << log;
  // Watched now: a new job is held and decided.
  DWORD id = Print();
  ASSERT_TRUE(Within(5000, [&] { return !recording->spooled.empty(); }));
  EXPECT_EQ(recording->spooled, std::vector<DWORD>{id});
  EXPECT_TRUE(Paused(id));
  EXPECT_TRUE(watch.Running());
  watch.Close();
}

TEST_F(WatchRetryOnSim, ClosingEndsTheRetriesAtOnce) {
  probe().failCode = RPC_S_SERVER_UNAVAILABLE;
  probe().findFirstFailures = 1000;
  PrinterNotification watch(printer_, std::make_unique<RecordingHandler>(printer_));
  watch.OpenAsync(0, NotifyOptions::JobStatus());  // the product's waits: 2 s, then longer
  ASSERT_TRUE(Within(2000, [&] { return probe().findFirstFailed.load() == 1; }));
  auto asked = std::chrono::steady_clock::now();
  watch.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(500));
  EXPECT_EQ(probe().findFirstFailed.load(), 1);
}

// What the handler writes to the journal, one "decision job" pair a record.
class ListJournal : public JobJournal {
 public:
  void Record(const std::wstring& queue, DWORD jobId, const SystemTime&,
              JobDecision decision) override {
    EXPECT_EQ(queue, L"Fila");
    records.emplace_back(decision, jobId);
  }
  std::optional<JobDecision> Find(const std::wstring&, DWORD, const SystemTime&) const override {
    return std::nullopt;
  }
  bool Remembers(const SystemTime&) const override { return true; }
  std::vector<std::pair<JobDecision, DWORD>> records;
};

TEST_F(JobTableOnSim, EveryJobTheAgentPausesIsJournaledAJobLeftToOthersIsTheirsUntilResumed) {
  ListJournal journal;
  handler_.SetJournal(&journal);
  DWORD spooling = Print();
  DWORD free = Print();
  DWORD theirs = Print();
  handler_.DispatchStatus(spooling, JOB_STATUS_SPOOLING);
  handler_.DispatchStatus(free, 0);
  using Records = std::vector<std::pair<JobDecision, DWORD>>;
  EXPECT_EQ(journal.records,
            (Records{{JobDecision::kPaused, spooling}, {JobDecision::kPaused, free}}));
  // Someone else paused it: reported paused, it is not examined.
  ASSERT_TRUE(printer_.SetJob(theirs, JOB_CONTROL_PAUSE));
  handler_.LeaveToOthers(theirs);
  handler_.DispatchStatus(theirs, JOB_STATUS_PAUSED);
  EXPECT_TRUE(handler_.spooled.empty());
  // Resumed by them, it is held, journaled and examined like a new job.
  ASSERT_TRUE(printer_.SetJob(theirs, JOB_CONTROL_RESUME));
  handler_.DispatchStatus(theirs, 0);
  EXPECT_TRUE(Paused(theirs));
  EXPECT_EQ(journal.records.back(), std::make_pair(JobDecision::kPaused, theirs));
  handler_.DispatchStatus(theirs, JOB_STATUS_PAUSED);
  EXPECT_EQ(handler_.spooled, std::vector<DWORD>{theirs});
  // The checker's decisions: release, deletion, anything else keeps it held.
  handler_.JournalDecision(spooling, nullptr, JOB_CONTROL_RESUME);
  handler_.JournalDecision(free, nullptr, JOB_CONTROL_DELETE);
  handler_.JournalDecision(theirs, nullptr, JOB_CONTROL_PAUSE);
  EXPECT_EQ(Records(journal.records.end() - 3, journal.records.end()),
            (Records{{JobDecision::kReleased, spooling},
                     {JobDecision::kDeleted, free},
                     {JobDecision::kHeld, theirs}}));
}

TEST(NotifyOptionsTest, ListThePrinterTypeFirstAndOnlyNonEmptyLists) {
  auto queue = NotifyOptions::JobStatus()->Build(0);
  ASSERT_EQ(queue.pTypes.size(), 1u);
  EXPECT_EQ(queue.pTypes[0].Type, JOB_NOTIFY_TYPE);
  EXPECT_EQ(queue.pTypes[0].pFields, std::vector<std::uint16_t>{JOB_NOTIFY_FIELD_STATUS});
  NotifyOptions both({PRINTER_NOTIFY_FIELD_PRINTER_NAME}, {JOB_NOTIFY_FIELD_STATUS});
  auto built = both.Build(1);
  EXPECT_EQ(built.Version, 2u);
  EXPECT_EQ(built.Flags, 1u);
  ASSERT_EQ(built.pTypes.size(), 2u);
  EXPECT_EQ(built.pTypes[0].Type, PRINTER_NOTIFY_TYPE);
}

}  // namespace
