#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "shared/components/core.h"
#include "shared/error/file_log.h"
#include "shared/os/timer.h"
#include "testing/machine_fixture.h"

namespace {

using namespace std::chrono;
using Clock = steady_clock;

// Records when it runs; can throw or block on demand.
class RecordingTask : public os::TimerTask {
 public:
  struct Shared {
    std::atomic<int> runs{0};
    std::vector<Clock::time_point> times;
    std::atomic<bool> throwNext{false};
    std::atomic<bool> sawStop{false};
    platform::HANDLE block = nullptr;  // when set, each run waits on it up to 10 s
  };
  explicit RecordingTask(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  void Run(const std::atomic<bool>* stop) override {
    shared_->times.push_back(Clock::now());
    ++shared_->runs;
    if (shared_->block != nullptr) {
      platform::kernel().WaitForSingleObject(shared_->block, 10000);
      shared_->sawStop = stop->load();
    }
    if (shared_->throwNext.exchange(false)) throw new Error(33);
  }

 private:
  std::shared_ptr<Shared> shared_;
};

class TimerTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    tollgate::InstallFileLog(std::make_unique<tollgate::FileLog>(
        tollgate::testing::Wide(Folder() / "events.log"), 1000000));
    tollgate::Injector::Process().Register("waiter-factory",
                                           std::make_unique<os::EventWaiterFactory>());
    os::Timer::SetMinuteForTesting(20);  // a "minute" of 20 ms
  }
  void TearDown() override {
    os::Timer::SetMinuteForTesting(60000);
    tollgate::Injector::Process().Clear();
    tollgate::InstallFileLog(nullptr);
  }
  template <typename P>
  static bool Eventually(P predicate) {
    for (int i = 0; i < 1000; ++i) {
      if (predicate()) return true;
      platform::kernel().Sleep(5);
    }
    return false;
  }
};

TEST_F(TimerTest, RunsAtOnceThenOncePerPeriodAfterEachRun) {
  auto shared = std::make_shared<RecordingTask::Shared>();
  os::Timer::SetMinuteForTesting(100);  // period 3: 300 ms
  os::Timer timer(std::make_unique<RecordingTask>(shared));
  auto started = Clock::now();
  timer.Start(3);
  ASSERT_TRUE(Eventually([&] { return shared->runs >= 3; }));
  timer.Stop();
  EXPECT_LT(shared->times[0] - started, milliseconds(150));
  EXPECT_GE(shared->times[1] - shared->times[0], milliseconds(300));
  EXPECT_GE(shared->times[2] - shared->times[1], milliseconds(300));
  timer.Start(100);  // a stopped timer starts again with its new period
  ASSERT_TRUE(Eventually([&] { return shared->runs >= 4; }));
}

TEST_F(TimerTest, ATaskThatThrowsIsReportedAndTheTimerGoesOn) {
  auto shared = std::make_shared<RecordingTask::Shared>();
  shared->throwNext = true;
  os::Timer timer(std::make_unique<RecordingTask>(shared));
  timer.Start(1);
  ASSERT_TRUE(Eventually([&] { return shared->runs >= 2; }));
  timer.Stop();
  std::string log = tollgate::testing::ReadBytes(Folder() / "events_0.log");
  EXPECT_NE(log.find(" Registro n\xE3o encontrado.\r\n"), std::string::npos) << log;
}

TEST_F(TimerTest, StopWhileTheTaskRunsSignalsAndGivesUpAfterFiveSeconds) {
  auto shared = std::make_shared<RecordingTask::Shared>();
  shared->block = platform::kernel().CreateEventW(true, false);
  auto timer = std::make_unique<os::Timer>(std::make_unique<RecordingTask>(shared));
  timer->Start(1);
  ASSERT_TRUE(Eventually([&] { return shared->runs >= 1; }));
  auto before = Clock::now();
  timer->Stop();
  auto took = Clock::now() - before;
  EXPECT_GE(took, milliseconds(4900));
  EXPECT_LT(took, milliseconds(7000));
  timer.reset();  // the abandoned thread still holds its task
  platform::kernel().SetEvent(shared->block);
  ASSERT_TRUE(Eventually([&] { return shared->sawStop.load(); }));
  EXPECT_EQ(shared->runs, 1);
}

TEST_F(TimerTest, StartWithoutAWaiterFactoryIsAnError) {
  tollgate::Injector::Process().Clear();
  os::Timer timer(std::make_unique<RecordingTask>(std::make_shared<RecordingTask::Shared>()));
  try {
    timer.Start(1);
    FAIL() << "no error";
  } catch (Error* error) {
    std::unique_ptr<Error> owned(error);
    EXPECT_EQ(error->Id(), 19u);
  }
}

}  // namespace
