// The service host: runs one own-process service under the service control manager.
#pragma once

#include <cstdint>

#include "shared/error/error_result.h"

namespace tollgate {

// What the service host drives.
class ServiceApplication {
 public:
  virtual ~ServiceApplication() = default;
  // Starts the application; true when it runs.
  virtual bool Start() = 0;
  // Stops and releases the application.
  virtual void Stop() = 0;
};

// Hands the process to the service control dispatcher and returns once the service has
// stopped; a failing dispatcher call gives the Windows error.
ErrorResultPtr RunService(ServiceApplication& application, std::uint32_t startWaitHintMs,
                          std::uint32_t stopWaitHintMs);

namespace service_host {

// The callbacks registered with the control manager and the status report, exposed for
// the host's own use and its tests.
void ServiceMain();
void ControlHandler(std::uint32_t control);
void SetStatus(std::uint32_t state, std::uint32_t waitHintMs);

}  // namespace service_host
}  // namespace tollgate
