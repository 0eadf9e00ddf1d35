// The request pool: worker threads that each own one worker object, a first-in first-out
// queue of requests, and callers that wait a bounded time for their request to finish.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "shared/error/file_log.h"
#include "shared/error/report.h"
#include "shared/os/sync.h"

namespace os {

// `Worker` runs requests: `void Execute(Request&)`, storing its result in the request. Each
// pool thread makes its worker with the factory when it starts and keeps it until it ends; a
// thread whose worker cannot be made (the factory throws or gives none) logs it and ends
// without taking a request.
template <typename Worker, typename Request>
class RequestPool {
 public:
  using WorkerFactory = std::function<std::unique_ptr<Worker>()>;

  // `threads` 0 means two per processor; `requestWaitSeconds` bounds QueueRequest's wait.
  RequestPool(WorkerFactory factory, unsigned requestWaitSeconds, unsigned threads = 0,
              std::size_t stackSize = 0)
      : factory_(std::move(factory)),
        requestWaitSeconds_(requestWaitSeconds),
        threads_(threads),
        stackSize_(stackSize) {}
  RequestPool(const RequestPool&) = delete;
  RequestPool& operator=(const RequestPool&) = delete;

  virtual ~RequestPool() {
    if (Opened()) {
      if (tollgate::ErrorResultPtr error = Close())
        tollgate::Log(L"Error closing: " + error->Text());
    }
  }

  virtual tollgate::ErrorResultPtr Open() {
    if (Opened()) return nullptr;
    unsigned count = threads_;
    if (count == 0) count = 2 * std::max(1u, std::thread::hardware_concurrency());
    auto shared = std::make_shared<Shared>();
    for (unsigned i = 0; i < count; ++i) {
      Thread thread;
      try {
        WorkerFactory factory = factory_;
        thread.Start(stackSize_, [shared, factory] { return Run(shared, factory); });
      } catch (Error* error) {
        std::unique_ptr<Error> owned(error);
        platform::kernel().SetLastError(static_cast<platform::DWORD>(error->Code()));
        auto result =
            tollgate::WrapError(tollgate::WindowsErrorResult(), L"error initializing thread pool");
        Shutdown(shared, threadHandles_);
        threadHandles_.clear();
        return result;
      }
      threadHandles_.push_back(thread);
    }
    std::lock_guard<std::mutex> guard(stateLock_);
    shared_ = std::move(shared);
    opened_ = true;
    return nullptr;
  }

  // Ends every thread once it has finished the request in hand; a thread still busy after
  // the shutdown wait (36000 ms per thread) is abandoned.
  virtual tollgate::ErrorResultPtr Close() {
    std::shared_ptr<Shared> shared;
    {
      std::lock_guard<std::mutex> guard(stateLock_);
      if (!opened_) return nullptr;
      opened_ = false;
      shared = std::move(shared_);
    }
    Shutdown(shared, threadHandles_);
    threadHandles_.clear();
    return nullptr;
  }

  // Queues the request and waits for a worker to finish it: "not open" before Open,
  // "TIMEOUT" when the request wait runs out (the worker goes on with it and releases it).
  virtual tollgate::ErrorResultPtr QueueRequest(std::shared_ptr<Request> request) {
    std::shared_ptr<Shared> shared = Current();
    if (!shared) return tollgate::MakeError(L"not open");
    auto item = std::make_shared<Item>();
    item->request = std::move(request);
    item->finished = platform::kernel().CreateEventW(true, false);
    if (item->finished == nullptr) {
      return tollgate::WrapError(tollgate::WindowsErrorResult(), L"error queueing request");
    }
    Post(*shared, item);
    platform::DWORD wait =
        platform::kernel().WaitForSingleObject(item->finished, requestWaitSeconds_ * 1000);
    if (wait == platform::WAIT_TIMEOUT) return tollgate::MakeError(L"TIMEOUT");
    if (wait != platform::WAIT_OBJECT_0) {
      return tollgate::WrapError(tollgate::WindowsErrorResult(), L"error waiting finish event");
    }
    return nullptr;
  }

  // Queues the request without waiting for it.
  virtual tollgate::ErrorResultPtr PostRequest(std::shared_ptr<Request> request) {
    std::shared_ptr<Shared> shared = Current();
    if (!shared) return tollgate::MakeError(L"not open");
    auto item = std::make_shared<Item>();
    item->request = std::move(request);
    Post(*shared, std::move(item));
    return nullptr;
  }

  bool Opened() const {
    std::lock_guard<std::mutex> guard(stateLock_);
    return opened_;
  }

 private:
  struct Item {
    std::shared_ptr<Request> request;
    platform::HANDLE finished = nullptr;  // null for posted requests
    ~Item() {
      if (finished != nullptr) platform::kernel().CloseHandle(finished);
    }
  };
  // What the threads share with the pool; a thread abandoned at shutdown keeps it alive.
  struct Shared {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<std::shared_ptr<Item>> items;  // a null item is the shutdown marker
  };

  std::shared_ptr<Shared> Current() const {
    std::lock_guard<std::mutex> guard(stateLock_);
    return opened_ ? shared_ : nullptr;
  }

  static void Post(Shared& shared, std::shared_ptr<Item> item) {
    {
      std::lock_guard<std::mutex> guard(shared.lock);
      shared.items.push_back(std::move(item));
    }
    shared.ready.notify_one();
  }

  static void Shutdown(const std::shared_ptr<Shared>& shared, std::vector<Thread>& threads) {
    if (!shared) return;
    {
      std::lock_guard<std::mutex> guard(shared->lock);
      for (std::size_t i = 0; i < threads.size(); ++i) shared->items.push_back(nullptr);
    }
    shared->ready.notify_all();
    for (Thread& thread : threads) {
      try {
        SyncLock::Lock(thread.handle, 36000);
      } catch (Error* error) {
        tollgate::ReportError(error);
      }
      thread.Close();
    }
  }

  static platform::DWORD Run(std::shared_ptr<Shared> shared, WorkerFactory factory) {
    // A thread whose worker cannot be made takes no requests: it ends, and the others serve.
    std::unique_ptr<Worker> worker;
    bool made = tollgate::RunReported(L"RequestPool::worker", [&] { worker = factory(); });
    if (!worker) {
      if (made) tollgate::Log(L"Error making a request pool worker: the factory made none");
      tollgate::Log(L"A request pool thread ends: it has no worker");
      return 1;
    }
    for (;;) {
      std::shared_ptr<Item> item;
      {
        std::unique_lock<std::mutex> lock(shared->lock);
        shared->ready.wait(lock, [&] { return !shared->items.empty(); });
        item = std::move(shared->items.front());
        shared->items.pop_front();
      }
      if (!item) break;
      tollgate::RunReported(L"RequestPool::worker", [&] { worker->Execute(*item->request); });
      if (item->finished != nullptr) platform::kernel().SetEvent(item->finished);
    }
    tollgate::RunReported(L"RequestPool::worker", [&] { worker.reset(); });
    return 0;
  }

  WorkerFactory factory_;
  unsigned requestWaitSeconds_;
  unsigned threads_;
  std::size_t stackSize_;
  mutable std::mutex stateLock_;
  bool opened_ = false;
  std::shared_ptr<Shared> shared_;
  std::vector<Thread> threadHandles_;
};

}  // namespace os
