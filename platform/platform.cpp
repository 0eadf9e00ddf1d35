#include "platform/platform.h"

#include <atomic>
#include <mutex>

namespace platform {
namespace {

std::mutex installLock;
std::shared_ptr<Platform> installed;
std::atomic<Platform*> current{nullptr};

}  // namespace

std::shared_ptr<Platform> Install(std::shared_ptr<Platform> instance) {
  std::lock_guard<std::mutex> guard(installLock);
  auto previous = std::move(installed);
  installed = std::move(instance);
  current.store(installed.get(), std::memory_order_release);
  return previous;
}

Platform& Current() {
  Platform* p = current.load(std::memory_order_acquire);
  if (p != nullptr) {
    return *p;
  }
  std::lock_guard<std::mutex> guard(installLock);
  if (!installed) {
    installed = CreateDefaultPlatform();
    current.store(installed.get(), std::memory_order_release);
  }
  return *installed;
}

}  // namespace platform
