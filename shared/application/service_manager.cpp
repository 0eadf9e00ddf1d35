#include "shared/application/service_manager.h"

#include <algorithm>
#include <chrono>

#include "platform/platform.h"
#include "shared/error/errors.h"

namespace tollgate {

WinService::~WinService() {
  platform::services().CloseServiceHandle(handle_);
}

platform::ServiceStatus WinService::Status() {
  platform::ServiceStatus status;
  if (!platform::services().QueryServiceStatus(handle_, &status)) throw new SystemError(L"M353");
  return status;
}

platform::DWORD WinService::StartType() {
  // The platform call sizes and reads the configuration in one: a failure of either step is
  // the failure of the query.
  platform::ServiceConfig config;
  if (!platform::services().QueryServiceConfigW(handle_, &config)) throw new SystemError(L"M361");
  return config.dwStartType;
}

bool WinService::Start() {
  auto& scm = platform::services();
  if (!scm.StartServiceW(handle_, {})) throw new SystemError(L"StartService", L"WinService::Start");
  platform::ServiceStatus status;
  if (!scm.QueryServiceStatus(handle_, &status)) {
    throw new SystemError(L"QueryServiceStatus", L"WinService::Start");
  }
  using Clock = std::chrono::steady_clock;
  Clock::time_point since = Clock::now();
  platform::DWORD checkPoint = status.dwCheckPoint;
  while (status.dwCurrentState == platform::SERVICE_START_PENDING) {
    platform::DWORD pause = std::clamp(status.dwWaitHint / 10, kStartPollMinMs, kStartPollMaxMs);
    platform::kernel().Sleep(pause);
    if (!scm.QueryServiceStatus(handle_, &status)) break;
    if (status.dwCheckPoint > checkPoint) {
      since = Clock::now();
      checkPoint = status.dwCheckPoint;
      continue;
    }
    if (Clock::now() - since > std::chrono::milliseconds(status.dwWaitHint)) break;
  }
  return status.dwCurrentState == platform::SERVICE_RUNNING;
}

ServiceManager::ServiceManager(platform::DWORD access)
    : manager_(platform::services().OpenSCManagerW(access)) {
  if (manager_ == nullptr) throw new SystemError(L"OpenSCManager", L"open_scm");
}

ServiceManager::~ServiceManager() {
  platform::services().CloseServiceHandle(manager_);
}

std::wstring ServiceManager::GetDisplayName(const std::wstring& serviceName) {
  std::wstring name;
  if (!platform::services().GetServiceDisplayNameW(manager_, serviceName, &name))
    throw new SystemError(L"M426");
  return name;
}

std::unique_ptr<WinService> ServiceManager::Get(const std::wstring& serviceName, bool allAccess) {
  platform::DWORD access =
      allAccess ? platform::GENERIC_ALL : platform::GENERIC_READ | platform::GENERIC_EXECUTE;
  platform::SC_HANDLE service = platform::services().OpenServiceW(manager_, serviceName, access);
  if (service == nullptr) {
    if (platform::kernel().GetLastError() == platform::ERROR_SERVICE_DOES_NOT_EXIST) return nullptr;
    throw new SystemError(L"OpenService", L"ServiceManager::Get");
  }
  return std::make_unique<WinService>(service);
}

}  // namespace tollgate
