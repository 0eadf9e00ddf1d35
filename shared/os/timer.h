// The periodic timer and the waiters it sleeps on.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "shared/components/injector.h"
#include "shared/os/sync.h"

namespace os {

// What a timer sleeps on between two runs of its task.
class Waiter {
 public:
  // Signals the waiter and releases it.
  virtual ~Waiter() = default;
  // True when the time ran out, false when the waiter was signalled.
  virtual bool Wait(platform::DWORD milliseconds) = 0;
  virtual void Signal() = 0;
};

// An auto-reset event, created not signalled.
class EventWaiter : public Waiter {
 public:
  EventWaiter();
  ~EventWaiter() override;
  bool Wait(platform::DWORD milliseconds) override;
  void Signal() override;

 private:
  platform::HANDLE event_;
};

// The "waiter-factory" component.
class WaiterFactory : public tollgate::Component {
 public:
  virtual std::unique_ptr<Waiter> MakeWaiter() = 0;
};

class EventWaiterFactory : public WaiterFactory {
 public:
  std::unique_ptr<Waiter> MakeWaiter() override { return std::make_unique<EventWaiter>(); }
};

// The work a timer runs; `stop` turns true when the timer is being stopped.
class TimerTask {
 public:
  virtual ~TimerTask() = default;
  virtual void Run(const std::atomic<bool>* stop) = 0;
};

class Timer {
 public:
  explicit Timer(std::unique_ptr<TimerTask> task);
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  // Stops the timer, then releases the task and the waiter.
  virtual ~Timer();

  // Runs the task at once, then again `periodMinutes` after each run ends. Does nothing on
  // a running timer. Raises NotInitialized when no "waiter-factory" is registered.
  virtual void Start(unsigned periodMinutes);
  // Sets the stop flag, signals the waiter and waits up to 5000 ms for the thread.
  void Stop();
  virtual TimerTask& Task() { return *task_; }

  // The period's unit in milliseconds (a minute); tests shorten it.
  static void SetMinuteForTesting(platform::DWORD milliseconds);

 private:
  // What one run of the timer thread uses. The thread holds it too, so that a thread that
  // Stop had to abandon still finds its task, waiter and flag until it ends.
  struct Run {
    std::atomic<bool> stop{false};
    std::shared_ptr<TimerTask> task;
    std::unique_ptr<Waiter> waiter;
    unsigned period = 0;
  };
  static platform::DWORD Loop(std::shared_ptr<Run> run);

  std::mutex lock_;
  Thread thread_;
  std::shared_ptr<TimerTask> task_;
  std::shared_ptr<Run> run_;
};

}  // namespace os
