// The job store's modes and synchronisation, through the real record files and a request
// queue whose server can be taken away and brought back.
#include "agent/store/store_jobs_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "agent/store/full_disk_fixture.h"
#include "agent/store/records.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"
#include "testing/machine_fixture.h"

namespace tollgate::store {
namespace {

using namespace tollgate::remote;
using tollgate::testing::ReadBytes;
using tollgate::testing::Wide;

struct Sent {
  char kind;  // 'j' job, 'h' hardware, 'c' cancel
  std::int64_t id = 0;
  std::int32_t spoolerJobId = 0;
  std::int32_t jobNumber = 0;
  bool resent = false;
};

// A queue whose server is up or down; an accepted job gets server ids 100 + spooler job id
// (and 200 + it when `twoIds`).
class FakeQueue : public ServerRequestQueue {
 public:
  FakeQueue() : ServerRequestQueue([] { return std::unique_ptr<ServerGateway>(); }, 1) {}
  ErrorResultPtr Open() override { return nullptr; }
  ErrorResultPtr Close() override { return nullptr; }
  ServerResultPtr AddJob(const JobReport& report, JobContext* answer) override {
    std::lock_guard<std::mutex> hold(lock);
    if (report.spoolerJobId == throwOn) throw std::runtime_error("boom");
    if (!up) return MakeFailure(L"RPC error 1722");
    sent.push_back({'j', 0, report.spoolerJobId, 0, report.resent});
    answer->recordIds = {{100 + report.spoolerJobId, report.pages}};
    if (twoIds) answer->recordIds.push_back({200 + report.spoolerJobId, report.pages});
    return nullptr;
  }
  ErrorResultPtr CancelJob(std::int64_t id) override {
    std::lock_guard<std::mutex> hold(lock);
    sent.push_back({'c', id});
    return nullptr;
  }
  ErrorResultPtr SetHardware(std::int64_t id, const HardwareRecord& record) override {
    std::lock_guard<std::mutex> hold(lock);
    if (!up) return MakeError(L"RPC error 1722");
    sent.push_back({'h', id, 0, record.jobNumber});
    return nullptr;
  }
  ErrorResultPtr Register(QueueList) override { return nullptr; }

  void SetUp(bool value) {
    std::lock_guard<std::mutex> hold(lock);
    up = value;
  }
  std::vector<Sent> Taken() {
    std::lock_guard<std::mutex> hold(lock);
    return sent;
  }

  std::mutex lock;
  bool up = true;
  bool twoIds = false;
  std::int32_t throwOn = -1;
  std::vector<Sent> sent;
};

JobReport Job(std::int32_t spoolerJobId, std::int32_t pages = 3, std::int32_t copies = 2) {
  JobReport r;
  r.queueName = L"Fila";
  r.userName = L"maria";
  r.spoolerJobId = spoolerJobId;
  r.pages = pages;
  r.monoPages = pages;
  r.copies = copies;
  r.submitted = 46366.5;
  return r;
}

class StoreTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    InstallFileLog(std::make_unique<FileLog>(Wide(Folder() / "events.log"), 10000000));
  }
  void TearDown() override {
    store_.reset();
    InstallFileLog(nullptr);
  }
  void Make(bool up) {
    auto queue = std::make_unique<FakeQueue>();
    queue->up = up;
    queue_ = queue.get();
    store_ = std::make_unique<StoreJobsCache>(std::move(queue), Wide(Folder()), 1,
                                              [this](std::int32_t local, std::int64_t server) {
                                                std::lock_guard<std::mutex> hold(idsLock_);
                                                idChanges_.emplace_back(local, server);
                                              });
    ASSERT_EQ(store_->Initialize(), nullptr);
  }
  std::filesystem::path JobsPath() const { return Folder() / "jobs2_7_2.log"; }
  std::filesystem::path HdwPath() const { return Folder() / "hdw2_7_2.log"; }
  // The jobs file's name as the store writes it in the log (the data folder, a slash, the
  // name, whatever the system's own separator).
  std::string JobsLogName() const { return Folder().string() + "/jobs2_7_2.log"; }
  std::string LogText() { return ReadBytes(Folder() / "events_0.log"); }
  // Waits until the store is online with both files gone.
  bool WaitSynchronised(int seconds = 20) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
      if (!store_->Offline() && !std::filesystem::exists(JobsPath()) &&
          !std::filesystem::exists(HdwPath()))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::unique_ptr<StoreJobsCache> store_;
  FakeQueue* queue_ = nullptr;
  std::mutex idsLock_;
  std::vector<std::pair<std::int32_t, std::int64_t>> idChanges_;
};

TEST_F(StoreTest, AJobTheServerCannotTakeIsKeptAndAnsweredAsAccepted) {
  Make(false);
  JobContext answer;
  EXPECT_EQ(store_->AddJob(Job(7, 3, 2), &answer), nullptr);
  EXPECT_EQ(answer.recordIds, (std::vector<StoreRecord>{{-1, 6}}));
  EXPECT_TRUE(store_->Offline());
  EXPECT_EQ(ReadBytes(JobsPath()).size(), kJobRecordSize);
  EXPECT_NE(LogText().find("Error adding job record to the store caused change to offline "
                           "state: RPC error 1722"),
            std::string::npos);
  EXPECT_EQ(store_->AddJob(Job(8, 1, 1), &answer), nullptr);
  EXPECT_EQ(answer.recordIds, (std::vector<StoreRecord>{{-2, 1}}));
}

TEST_F(StoreTest, AJobWhoseRecordCannotBeWrittenWaitsInMemoryAndReachesTheServer) {
  std::filesystem::create_directory(JobsPath());  // the jobs file cannot be opened
  Make(false);
  JobContext answer;
  EXPECT_EQ(store_->AddJob(Job(7, 3, 2), &answer), nullptr);
  EXPECT_EQ(answer.recordIds, (std::vector<StoreRecord>{{-1, 6}}));
  EXPECT_TRUE(store_->Offline());
  EXPECT_NE(LogText().find("Couldn't write to record file " + JobsLogName()), std::string::npos)
      << LogText();
  std::filesystem::remove(JobsPath());
  queue_->SetUp(true);
  ASSERT_TRUE(WaitSynchronised());
  auto taken = queue_->Taken();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].spoolerJobId, 7);
}

class FullDiskTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    disk_ = std::make_unique<FullDiskInstalled>();
  }
  void TearDown() override {
    StoreTest::TearDown();
    disk_.reset();
  }
  std::unique_ptr<FullDiskInstalled> disk_;
};

TEST_F(FullDiskTest, JobsPrintedWhileTheDiskIsFullAreKeptInMemoryAndReachTheServerOnce) {
  (*disk_)->SetRoom(2 * kJobRecordSize + 300);  // two records and a torn third
  Make(false);
  JobContext answer;
  for (int job = 1; job <= 8; ++job) {
    ASSERT_EQ(store_->AddJob(Job(job, 1, 1), &answer), nullptr) << job;
    EXPECT_EQ(answer.recordIds, (std::vector<StoreRecord>{{-job, 1}}));
  }
  EXPECT_EQ(ReadBytes(JobsPath()).size(), 2 * kJobRecordSize + 300);
  EXPECT_EQ(store_->JobsFile().Waiting(), 6u);
  std::string log = LogText();
  EXPECT_NE(log.find("Couldn't write to record file " + JobsLogName() + ": "), std::string::npos)
      << log;
  EXPECT_NE(log.find("records wait in memory and are written as soon as the file can take them."),
            std::string::npos)
      << log;
  // A job cancelled while it waits in memory is not sent.
  EXPECT_EQ(store_->DeleteJob(-5), nullptr);

  (*disk_)->Unlimited();
  queue_->SetUp(true);
  ASSERT_TRUE(WaitSynchronised());
  auto taken = queue_->Taken();
  std::vector<std::int32_t> sent;
  for (const Sent& s : taken) sent.push_back(s.spoolerJobId);
  EXPECT_EQ(sent, (std::vector<std::int32_t>{1, 2, 3, 4, 6, 7, 8}));
}

TEST_F(FullDiskTest, BeyondWhatMemoryHoldsANewJobIsHeldUntilRecordsCanBeWritten) {
  (*disk_)->SetRoom(0);
  Make(false);
  store_->SetWaitingLimitForTesting(2);
  JobContext answer;
  ASSERT_EQ(store_->AddJob(Job(1), &answer), nullptr);
  ASSERT_EQ(store_->AddJob(Job(2), &answer), nullptr);
  auto third = std::async(std::launch::async, [&] {
    JobContext held;
    EXPECT_EQ(store_->AddJob(Job(3, 1, 1), &held), nullptr);
    return held.recordIds;
  });
  EXPECT_EQ(third.wait_for(std::chrono::milliseconds(400)), std::future_status::timeout);
  EXPECT_NE(LogText().find("records wait in memory; job 3 of queue Fila is held until they are "
                           "written."),
            std::string::npos)
      << LogText();
  (*disk_)->Unlimited();
  ASSERT_EQ(third.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(third.get(), (std::vector<StoreRecord>{{-3, 1}}));
  EXPECT_NE(LogText().find("job 3 of queue Fila is no longer held"), std::string::npos);
  queue_->SetUp(true);
  ASSERT_TRUE(WaitSynchronised());
  EXPECT_EQ(queue_->Taken().size(), 3u);
}

TEST_F(StoreTest, ADecisionOfTheServerIsReturnedAndNothingIsKept) {
  class Deciding : public FakeQueue {
    ServerResultPtr AddJob(const JobReport&, JobContext*) override {
      return MakeDecision(3, L"JOB-DELETE");
    }
  };
  store_ = std::make_unique<StoreJobsCache>(std::make_unique<Deciding>(), Wide(Folder()), 1);
  JobContext answer;
  EXPECT_EQ(store_->AddJob(Job(1), &answer)->Text(), L"Not initialized.");
  ASSERT_EQ(store_->Initialize(), nullptr);
  EXPECT_EQ(store_->Initialize()->Text(), L"Already initialized.");
  auto result = store_->AddJob(Job(1), &answer);
  ASSERT_NE(result, nullptr);
  EXPECT_TRUE(result->IsDecision());
  EXPECT_FALSE(store_->Offline());
  EXPECT_FALSE(std::filesystem::exists(JobsPath()));
}

TEST_F(StoreTest, ARestartWithKeptJobsStartsOfflineAndContinuesTheIds) {
  Make(false);
  JobContext answer;
  store_->AddJob(Job(1), &answer);
  store_->AddJob(Job(2), &answer);
  EXPECT_EQ(store_->Stop(), nullptr);
  store_.reset();

  Make(false);  // the server still away: the synchronisation waits
  EXPECT_TRUE(store_->Offline());
  EXPECT_EQ(store_->AddJob(Job(3, 1, 1), &answer), nullptr);
  EXPECT_EQ(answer.recordIds, (std::vector<StoreRecord>{{-3, 1}}));
}

TEST_F(StoreTest, DeleteJobCancelsOnlyWhatTheModeOwns) {
  Make(true);
  EXPECT_EQ(store_->DeleteJob(-1), nullptr);  // online: a local id names nothing
  EXPECT_EQ(store_->DeleteJob(0), nullptr);
  EXPECT_EQ(store_->DeleteJob(55), nullptr);
  auto taken = queue_->Taken();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].kind, 'c');
  EXPECT_EQ(taken[0].id, 55);

  queue_->SetUp(false);
  JobContext answer;
  store_->AddJob(Job(1), &answer);
  store_->AddJob(Job(2), &answer);
  EXPECT_EQ(store_->DeleteJob(56), nullptr);  // offline: the server keeps its record
  EXPECT_EQ(store_->DeleteJob(-2), nullptr);
  EXPECT_EQ(queue_->Taken().size(), 1u);
  std::string bytes = ReadBytes(JobsPath());
  ASSERT_EQ(bytes.size(), 2 * kJobRecordSize);
  EXPECT_EQ(bytes[kJobRecordSize], 1);
  EXPECT_EQ(bytes[0], 0);
}

TEST_F(StoreTest, KeptJobsAndReadingsReachTheServerInOrderOncePerServerId) {
  Make(false);
  queue_->twoIds = true;
  JobContext answer;
  HardwareRecord reading;
  reading.jobNumber = 5;
  EXPECT_EQ(store_->SetHardware(40, reading), nullptr);  // kept: a server job
  EXPECT_NE(LogText().find("Error setting hdw record for job 40 in the store caused change to "
                           "offline state: RPC error 1722"),
            std::string::npos);
  // The synchronisation is trying the reading already.
  for (int i = 0; i < 500 && LogText().find("Error synchronizing job hdw record: RPC error 1722") ==
                                 std::string::npos;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (int job = 1; job <= 3; ++job) EXPECT_EQ(store_->AddJob(Job(job), &answer), nullptr);
  EXPECT_EQ(store_->SetHardware(-2, reading), nullptr);
  queue_->SetUp(true);
  ASSERT_TRUE(WaitSynchronised());

  auto taken = queue_->Taken();
  ASSERT_EQ(taken.size(), 6u);
  EXPECT_EQ(taken[0].kind, 'h');
  EXPECT_EQ(taken[0].id, 40);
  EXPECT_EQ(taken[1].kind, 'j');
  EXPECT_EQ(taken[1].spoolerJobId, 1);
  EXPECT_TRUE(taken[1].resent);
  EXPECT_EQ(taken[2].spoolerJobId, 2);
  EXPECT_EQ(taken[3].kind, 'h');  // after its job, with each of the job's ids
  EXPECT_EQ(taken[3].id, 102);
  EXPECT_EQ(taken[3].jobNumber, 5);
  EXPECT_EQ(taken[4].kind, 'h');
  EXPECT_EQ(taken[4].id, 202);
  EXPECT_EQ(taken[4].jobNumber, 0);
  EXPECT_EQ(taken[5].spoolerJobId, 3);
  std::lock_guard<std::mutex> hold(idsLock_);
  EXPECT_EQ(idChanges_,
            (std::vector<std::pair<std::int32_t, std::int64_t>>{{1, 101}, {2, 102}, {3, 103}}));
}

TEST_F(StoreTest, AJobCancelledWhileItWaitsForTheServerIsNotSent) {
  Make(false);
  JobContext answer;
  store_->AddJob(Job(1), &answer);
  store_->AddJob(Job(2), &answer);
  for (int i = 0; i < 500 && LogText().find("Error synchronizing job record: RPC error 1722") ==
                                 std::string::npos;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(store_->DeleteJob(-1), nullptr);  // the one being tried
  queue_->SetUp(true);
  ASSERT_TRUE(WaitSynchronised());
  auto taken = queue_->Taken();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].spoolerJobId, 2);
}

TEST_F(StoreTest, RecordsThatCannotBeSynchronisedAreArchivedNotDeleted) {
  Make(false);
  queue_->throwOn = 2;
  JobContext answer;
  store_->AddJob(Job(1), &answer);
  store_->AddJob(Job(2), &answer);
  HardwareRecord reading;
  store_->SetHardware(-2, reading);
  std::string jobs = ReadBytes(JobsPath());
  queue_->SetUp(true);
  ASSERT_TRUE(WaitSynchronised());
  int archived = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Folder())) {
    std::string name = entry.path().filename().string();
    if (name.rfind("jobs2_7_2.log.", 0) == 0) {
      ++archived;
      std::string kept = ReadBytes(entry.path());
      ASSERT_EQ(kept.size(), jobs.size());
      EXPECT_EQ(kept[0], 1);  // job 1 was sent
      EXPECT_EQ(kept.substr(1), jobs.substr(1));
    }
    if (name.rfind("hdw2_7_2.log.", 0) == 0) ++archived;
  }
  EXPECT_EQ(archived, 2);
  EXPECT_NE(LogText().find("Caught exception synchronizing: boom"), std::string::npos);
}

TEST_F(FullDiskTest, AJobHeldTooLongOrWhenTheAgentStopsIsAnsweredAsHeldByTheStore) {
  (*disk_)->SetRoom(0);
  Make(false);
  store_->SetWaitingLimitForTesting(1);
  store_->SetHoldForTesting(300);
  JobContext answer;
  ASSERT_EQ(store_->AddJob(Job(1), &answer), nullptr);
  // Held for its time, then answered: the caller keeps the job paused and comes back.
  auto start = std::chrono::steady_clock::now();
  ServerResultPtr result = store_->AddJob(Job(2), &answer);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  ASSERT_NE(result, nullptr);
  EXPECT_TRUE(result->IsDecision());
  EXPECT_EQ(result->Text(), kJobHeldByStore);
  EXPECT_NE(LogText().find("still cannot take job 2 of queue Fila: it stays paused, to be "
                           "examined again."),
            std::string::npos)
      << LogText();

  // The agent stops while a job is held: answered at once.
  store_->SetHoldForTesting(0);
  auto held = std::async(std::launch::async, [&] {
    JobContext none;
    return store_->AddJob(Job(3), &none);
  });
  EXPECT_EQ(held.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  EXPECT_EQ(store_->Stop(), nullptr);
  ASSERT_EQ(held.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  result = held.get();
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Text(), kJobHeldByStore);
}

}  // namespace
}  // namespace tollgate::store
