#include "agent/spooler/service_manager.h"

#include "platform/platform.h"
#include "shared/error/errors.h"

namespace tollgate::spooler {

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

}  // namespace tollgate::spooler
