#include "platform/sim/objects.h"

#include <unistd.h>

namespace platform::sim {

FileObject::~FileObject() {
  if (fd_ >= 0) ::close(fd_);
}

HANDLE HandleTable::Add(std::shared_ptr<Object> object) {
  std::lock_guard<std::mutex> guard(lock_);
  std::uintptr_t value = next_;
  next_ += 4;
  objects_.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> HandleTable::Find(HANDLE handle) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == objects_.end() ? nullptr : it->second;
}

bool HandleTable::Close(HANDLE handle) {
  std::shared_ptr<Object> object;  // destroyed outside the lock
  std::lock_guard<std::mutex> guard(lock_);
  auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == objects_.end()) return false;
  object = std::move(it->second);
  objects_.erase(it);
  return true;
}

}  // namespace platform::sim
