// The service control manager, as the spooler's watcher needs it.
#pragma once

#include <string>

#include "platform/services.h"

namespace tollgate::spooler {

class ServiceManager {
 public:
  // SystemError "OpenSCManager" at "open_scm" when the manager cannot be opened.
  explicit ServiceManager(platform::DWORD access = platform::SC_MANAGER_ALL_ACCESS);
  ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // The service's display name; SystemError "M426" when it has none.
  std::wstring GetDisplayName(const std::wstring& serviceName);

 private:
  platform::SC_HANDLE manager_ = nullptr;
};

}  // namespace tollgate::spooler
