#include "supervisor/supervisor.h"

#include "platform/platform.h"
#include "shared/application/event_log.h"
#include "shared/application/service_manager.h"
#include "shared/error/errors.h"

namespace tollgate {

platform::DWORD ReadWatchInterval() {
  auto& registry = platform::registry();
  platform::HKEY key = nullptr;
  if (registry.RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, kSupervisorKey, platform::KEY_READ,
                             &key) != platform::ERROR_SUCCESS) {
    return kWatchIntervalMs;
  }
  platform::DWORD type = 0, size = 4;
  std::uint8_t data[4] = {};
  platform::LONG rc = registry.RegQueryValueExW(key, kWatchIntervalValue, &type, data, &size);
  registry.RegCloseKey(key);
  if (rc != platform::ERROR_SUCCESS || type != platform::REG_DWORD || size != 4) {
    return kWatchIntervalMs;
  }
  platform::DWORD value =
      data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<platform::DWORD>(data[3]) << 24);
  return value >= 1 && value <= kWatchIntervalMs ? value : kWatchIntervalMs;
}

Supervisor::Supervisor(std::wstring watchedService, std::wstring reportName)
    : watchedService_(std::move(watchedService)), reportName_(std::move(reportName)) {
  // Its start and stop are recorded under the name its watch reports with.
  eventSource_ = reportName_;
}

Supervisor::~Supervisor() {
  watch_.Close();
}

void Supervisor::Run(platform::DWORD /*argc*/, const std::vector<std::wstring>& /*argv*/) {
  interval_ = ReadWatchInterval();
  watch_.Start(kWatchStackSize, [this] { return Watch(); });
}

void Supervisor::Check() {
  ServiceManager scm(platform::GENERIC_ALL);
  std::unique_ptr<WinService> spooler = scm.Get(kSpoolerService);
  if (spooler == nullptr || spooler->Status().dwCurrentState != platform::SERVICE_RUNNING) return;
  std::unique_ptr<WinService> watched = scm.Get(watchedService_);
  if (watched == nullptr) return;
  if (watched->Status().dwCurrentState == platform::SERVICE_STOPPED &&
      watched->StartType() == platform::SERVICE_AUTO_START) {
    watched->Start();
  }
}

platform::DWORD Supervisor::Watch() {
  for (;;) {
    try {
      if (os::SyncLock::Lock(stopEvent_, interval_)) return 0;
    } catch (Error* error) {
      // The stop event cannot be waited for: a loop without its wait would only spin.
      EventLog(reportName_).Log(*error);
      delete error;
      return 1;
    }
    try {
      Check();
    } catch (Error* error) {
      EventLog(reportName_).Log(*error);
      delete error;
    } catch (...) {
      UnknownError error(L"M354");
      EventLog(reportName_).Log(error);
    }
  }
}

bool Supervisor::EndWatch(platform::DWORD milliseconds) {
  if (watch_.handle == nullptr) return true;
  if (stopEvent_ != nullptr) platform::kernel().SetEvent(stopEvent_);
  return platform::kernel().WaitForSingleObject(watch_.handle, milliseconds) ==
         platform::WAIT_OBJECT_0;
}

}  // namespace tollgate
