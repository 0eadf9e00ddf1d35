#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>

#include "platform/platform.h"
#include "shared/error/file_log.h"
#include "shared/os/request_pool.h"
#include "testing/machine_fixture.h"

namespace {

struct Request {
  int input = 0;
  int output = 0;
  const void* worker = nullptr;
  platform::HANDLE block = nullptr;
};

class Worker {
 public:
  explicit Worker(std::atomic<int>* made) { ++*made; }
  void Execute(Request& r) {
    if (r.block != nullptr) platform::kernel().WaitForSingleObject(r.block, 10000);
    r.output = r.input * 2;
    r.worker = this;
  }
};

using Pool = os::RequestPool<Worker, Request>;

class RequestPoolTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    tollgate::InstallFileLog(std::make_unique<tollgate::FileLog>(
        tollgate::testing::Wide(Folder() / "events.log"), 1000000));
  }
  void TearDown() override { tollgate::InstallFileLog(nullptr); }
  std::string LogText() { return tollgate::testing::ReadBytes(Folder() / "events_0.log"); }
  Pool::WorkerFactory Factory() {
    return [this] { return std::make_unique<Worker>(&made_); };
  }
  std::atomic<int> made_{0};
};

TEST_F(RequestPoolTest, NotOpenPostsNothing) {
  Pool pool(Factory(), 30, 2);
  auto request = std::make_shared<Request>();
  auto error = pool.QueueRequest(request);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->Text(), L"not open");
  EXPECT_EQ(made_, 0);
  EXPECT_EQ(pool.PostRequest(request)->Text(), L"not open");
}

TEST_F(RequestPoolTest, EachThreadRunsRequestsWithItsOwnWorker) {
  Pool pool(Factory(), 30, 3);
  ASSERT_EQ(pool.Open(), nullptr);
  std::set<const void*> workers;
  for (int i = 0; i < 30; ++i) {
    auto request = std::make_shared<Request>();
    request->input = i;
    ASSERT_EQ(pool.QueueRequest(request), nullptr);
    EXPECT_EQ(request->output, 2 * i);
    workers.insert(request->worker);
  }
  EXPECT_LE(workers.size(), 3u);
  EXPECT_EQ(pool.Close(), nullptr);
  EXPECT_EQ(made_, 3);  // each thread made its worker once
  EXPECT_EQ(pool.QueueRequest(std::make_shared<Request>())->Text(), L"not open");
}

TEST_F(RequestPoolTest, ARequestThatOutlivesTheWaitTimesOutAndIsStillFinished) {
  Pool pool(Factory(), 1, 1);
  ASSERT_EQ(pool.Open(), nullptr);
  auto request = std::make_shared<Request>();
  request->input = 21;
  request->block = platform::kernel().CreateEventW(true, false);
  std::weak_ptr<Request> watch = request;
  auto error = pool.QueueRequest(request);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->Text(), L"TIMEOUT");
  platform::HANDLE block = request->block;
  request.reset();
  EXPECT_FALSE(watch.expired());  // the worker still holds it
  platform::kernel().SetEvent(block);
  for (int i = 0; i < 500 && !watch.expired(); ++i) platform::kernel().Sleep(5);
  EXPECT_TRUE(watch.expired());  // released once the worker was done
  platform::kernel().CloseHandle(block);
  EXPECT_EQ(pool.Close(), nullptr);
}

TEST_F(RequestPoolTest, PostedRequestsRunInOrderOnASingleThread) {
  Pool pool(Factory(), 30, 1);
  ASSERT_EQ(pool.Open(), nullptr);
  std::vector<std::shared_ptr<Request>> requests;
  for (int i = 0; i < 20; ++i) {
    requests.push_back(std::make_shared<Request>());
    requests.back()->input = i;
    ASSERT_EQ(pool.PostRequest(requests.back()), nullptr);
  }
  EXPECT_EQ(pool.Close(), nullptr);  // waits for the queued work
  for (int i = 0; i < 20; ++i) EXPECT_EQ(requests[i]->output, 2 * i);
}

TEST_F(RequestPoolTest, AThreadWhoseWorkerFailedTakesNoRequests) {
  // The first worker cannot be made (its factory throws), the second is made: every request
  // is run by the one real worker, none is answered as done without a worker.
  std::atomic<int> calls{0};
  Pool pool(
      [this, &calls]() -> std::unique_ptr<Worker> {
        if (calls++ == 0) throw std::runtime_error("no gateway");
        return std::make_unique<Worker>(&made_);
      },
      30, 2);
  ASSERT_EQ(pool.Open(), nullptr);
  for (int i = 0; i < 10; ++i) {
    auto request = std::make_shared<Request>();
    request->input = i;
    ASSERT_EQ(pool.QueueRequest(request), nullptr);
    EXPECT_EQ(request->output, 2 * i);
    EXPECT_NE(request->worker, nullptr);
  }
  EXPECT_EQ(pool.Close(), nullptr);
  EXPECT_EQ(made_, 1);
  std::string log = LogText();
  EXPECT_NE(log.find("no gateway"), std::string::npos) << log;
  EXPECT_NE(log.find("A request pool thread ends: it has no worker"), std::string::npos);
}

TEST_F(RequestPoolTest, WithNoWorkerARequestWaitsItsTimeAndIsNotAnsweredAsDone) {
  Pool pool([]() -> std::unique_ptr<Worker> { return nullptr; }, 1, 1);
  ASSERT_EQ(pool.Open(), nullptr);
  auto request = std::make_shared<Request>();
  request->input = 4;
  auto error = pool.QueueRequest(request);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->Text(), L"TIMEOUT");
  EXPECT_EQ(request->output, 0);
  EXPECT_EQ(pool.Close(), nullptr);
}

}  // namespace
