// The service-control wrapper: a connection to the service control manager and the services
// opened through it.
#pragma once

#include <memory>
#include <string>

#include "platform/services.h"

namespace tollgate {

// An open service handle, closed with the object.
class WinService {
 public:
  explicit WinService(platform::SC_HANDLE handle) : handle_(handle) {}
  ~WinService();
  WinService(const WinService&) = delete;
  WinService& operator=(const WinService&) = delete;

  // QueryServiceStatus; SystemError "M353" when it fails.
  platform::ServiceStatus Status();
  // The configured start type (SERVICE_AUTO_START, SERVICE_DEMAND_START, ...); SystemError
  // "M361" when the configuration cannot be read.
  platform::DWORD StartType();
  // Starts the service and waits while it reports start-pending and makes progress: true
  // when it reached SERVICE_RUNNING. SystemError ("StartService", "WinService::Start") or
  // ("QueryServiceStatus", "WinService::Start") when the first calls fail.
  bool Start();

 private:
  platform::SC_HANDLE handle_;
};

class ServiceManager {
 public:
  // Opens the active services database of the local machine; SystemError "OpenSCManager" at
  // "open_scm" when the manager cannot be opened.
  explicit ServiceManager(platform::DWORD access = platform::SC_MANAGER_ALL_ACCESS);
  ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // The service's display name; SystemError "M426" when it has none.
  std::wstring GetDisplayName(const std::wstring& serviceName);

  // Opens the service for reading and starting (with `allAccess`, for everything): none
  // when no such service is installed, SystemError ("OpenService", "ServiceManager::Get")
  // on any other failure.
  std::unique_ptr<WinService> Get(const std::wstring& serviceName, bool allAccess = false);

 private:
  platform::SC_HANDLE manager_ = nullptr;
};

// The waits of WinService::Start, in milliseconds: the pause between two looks at a pending
// service is a tenth of its wait hint, kept within these bounds.
inline constexpr platform::DWORD kStartPollMinMs = 1000;
inline constexpr platform::DWORD kStartPollMaxMs = 10000;

}  // namespace tollgate
