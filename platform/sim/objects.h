// Kernel objects of the simulated machine and the handle table that names them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/types.h"

namespace platform::sim {

// Every kernel object. Objects that can be waited for answer Signaled and Acquire under the
// table's wait lock; the others are never signalled.
class Object {
 public:
  virtual ~Object() = default;
  virtual bool Waitable() const { return false; }
  virtual bool Signaled() const { return false; }
  // Takes the signal a wait consumed (an auto-reset event resets, a semaphore counts down).
  virtual void Acquire() {}
};

class EventObject : public Object {
 public:
  EventObject(bool manual, bool initial) : manual_(manual), signaled_(initial) {}
  bool Waitable() const override { return true; }
  bool Signaled() const override { return signaled_; }
  void Acquire() override {
    if (!manual_) signaled_ = false;
  }
  void Set(bool on) { signaled_ = on; }

 private:
  bool manual_;
  bool signaled_;
};

class SemaphoreObject : public Object {
 public:
  SemaphoreObject(LONG initial, LONG maximum) : count_(initial), maximum_(maximum) {}
  bool Waitable() const override { return true; }
  bool Signaled() const override { return count_ > 0; }
  void Acquire() override { --count_; }
  // false when the count would pass the maximum.
  bool Release(LONG n, LONG* previous) {
    if (n <= 0 || count_ > maximum_ - n) return false;
    if (previous != nullptr) *previous = count_;
    count_ += n;
    return true;
  }

 private:
  LONG count_;
  LONG maximum_;
};

// A thread or a process: signalled once it has ended.
class EndingObject : public Object {
 public:
  bool Waitable() const override { return true; }
  bool Signaled() const override { return ended_; }
  void End(DWORD code) {
    ended_ = true;
    exitCode_ = code;
  }
  bool Ended() const { return ended_; }
  DWORD ExitCode() const { return ended_ ? exitCode_ : STILL_ACTIVE; }

 private:
  bool ended_ = false;
  DWORD exitCode_ = STILL_ACTIVE;
};

// A file or pipe end, an open POSIX descriptor; closed with the last handle.
class FileObject : public Object {
 public:
  explicit FileObject(int fd, bool append = false) : fd_(fd), append_(append) {}
  ~FileObject() override;
  int Fd() const { return fd_; }
  bool Append() const { return append_; }

 private:
  int fd_;
  bool append_;
};

// Handles of one simulated machine. One lock and one condition serve every wait: the
// agent's waits are few and coarse, and a single condition keeps waits on several objects
// simple and exact.
class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<Object> object);
  std::shared_ptr<Object> Find(HANDLE handle);
  bool Close(HANDLE handle);

  template <typename T>
  std::shared_ptr<T> FindAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(Find(handle));
  }

  // Changes the state of objects under the wait lock and wakes the waiters.
  template <typename F>
  void Signal(F&& change) {
    {
      std::lock_guard<std::mutex> guard(waitLock_);
      change();
    }
    waitCondition_.notify_all();
  }

  std::mutex& WaitLock() { return waitLock_; }
  std::condition_variable& WaitCondition() { return waitCondition_; }

 private:
  std::mutex lock_;
  std::map<std::uintptr_t, std::shared_ptr<Object>> objects_;
  std::uintptr_t next_ = 0x100;
  std::mutex waitLock_;
  std::condition_variable waitCondition_;
};

}  // namespace platform::sim
