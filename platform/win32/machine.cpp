#include "platform/win32/win32.h"

namespace platform {

std::shared_ptr<Platform> CreateDefaultPlatform() {
  return std::make_shared<win32::Win32Platform>();
}

}  // namespace platform
