// The service control manager: the service process's side (dispatcher, control handler,
// status reports) and the controller's side (open, query, start, control).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

struct ServiceStatus {  // SERVICE_STATUS
  DWORD dwServiceType = 0;
  DWORD dwCurrentState = 0;
  DWORD dwControlsAccepted = 0;
  DWORD dwWin32ExitCode = 0;
  DWORD dwServiceSpecificExitCode = 0;
  DWORD dwCheckPoint = 0;
  DWORD dwWaitHint = 0;
};

using ServiceMainFunction = std::function<void(const std::vector<std::wstring>& args)>;
using HandlerFunction = std::function<void(DWORD control)>;

struct ServiceTableEntry {  // SERVICE_TABLE_ENTRYW
  std::wstring serviceName;
  ServiceMainFunction serviceMain;
};

using SERVICE_STATUS_HANDLE = void*;
using SC_HANDLE = void*;

constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

// SERVICE_STATUS_PROCESS: the status with the service's process.
struct ServiceStatusProcess {
  ServiceStatus status;
  DWORD dwProcessId = 0;
  DWORD dwServiceFlags = 0;
};

constexpr DWORD SERVICE_NO_CHANGE = 0xFFFFFFFF;
constexpr DWORD ERROR_SERVICE_DISABLED = 1058;
constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr DWORD ERROR_INVALID_SERVICE_NAME = 123;

struct ServiceConfig {  // the QUERY_SERVICE_CONFIGW fields in use
  DWORD dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  DWORD dwStartType = SERVICE_DEMAND_START;
  std::wstring lpBinaryPathName;
  std::wstring lpDisplayName;
};

class Services {
 public:
  virtual ~Services() = default;

  // Service process side.
  // StartServiceCtrlDispatcherW: connects the process to the control manager, runs each
  // service's main on a thread of its own and the control handlers on the calling thread,
  // and returns when the services have stopped. Fails with
  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT in a process that no control manager started.
  virtual bool StartServiceCtrlDispatcherW(const std::vector<ServiceTableEntry>& table) = 0;
  virtual SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(const std::wstring& serviceName,
                                                            HandlerFunction handler) = 0;
  virtual bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const ServiceStatus& status) = 0;

  // Controller side.
  virtual SC_HANDLE OpenSCManagerW(DWORD desiredAccess) = 0;
  virtual SC_HANDLE OpenServiceW(SC_HANDLE manager, const std::wstring& name,
                                 DWORD desiredAccess) = 0;
  virtual bool QueryServiceStatus(SC_HANDLE service, ServiceStatus* status) = 0;
  virtual bool QueryServiceConfigW(SC_HANDLE service, ServiceConfig* config) = 0;
  virtual bool GetServiceDisplayNameW(SC_HANDLE manager, const std::wstring& name,
                                      std::wstring* displayName) = 0;
  virtual bool StartServiceW(SC_HANDLE service, const std::vector<std::wstring>& args) = 0;
  virtual bool ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) = 0;
  virtual bool CloseServiceHandle(SC_HANDLE handle) = 0;

  // QueryServiceStatusEx (SC_STATUS_PROCESS_INFO).
  virtual bool QueryServiceStatusEx(SC_HANDLE service, ServiceStatusProcess* status) = 0;
  // CreateServiceW (own process, normal error control), ChangeServiceConfigW
  // (SERVICE_NO_CHANGE and empty texts leave a field as it is) and DeleteService: the
  // service's key under HKLM\SYSTEM\CurrentControlSet\Services changes with them.
  virtual SC_HANDLE CreateServiceW(SC_HANDLE manager, const std::wstring& name,
                                   const ServiceConfig& config) = 0;
  virtual bool ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                                    const std::wstring& binaryPathName,
                                    const std::wstring& displayName) = 0;
  virtual bool DeleteService(SC_HANDLE service) = 0;
};

}  // namespace platform
