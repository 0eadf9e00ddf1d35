#include <mutex>

#include "platform/win32/win32.h"

namespace platform::win32 {
namespace {

// One service per process: the dispatcher's table entry and the control handler.
ServiceMainFunction serviceMain;
HandlerFunction controlHandler;

void WINAPI ServiceMainTrampoline(::DWORD argc, LPWSTR* argv) {
  std::vector<std::wstring> args;
  for (::DWORD i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  serviceMain(args);
}

void WINAPI HandlerTrampoline(::DWORD control) {
  if (controlHandler) controlHandler(control);
}

void ToStatus(const SERVICE_STATUS& in, ServiceStatus* out) {
  out->dwServiceType = in.dwServiceType;
  out->dwCurrentState = in.dwCurrentState;
  out->dwControlsAccepted = in.dwControlsAccepted;
  out->dwWin32ExitCode = in.dwWin32ExitCode;
  out->dwServiceSpecificExitCode = in.dwServiceSpecificExitCode;
  out->dwCheckPoint = in.dwCheckPoint;
  out->dwWaitHint = in.dwWaitHint;
}

::SC_HANDLE Sc(void* handle) {
  return static_cast<::SC_HANDLE>(handle);
}

}  // namespace

bool Win32Services::StartServiceCtrlDispatcherW(const std::vector<ServiceTableEntry>& table) {
  if (table.empty()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  serviceMain = table.front().serviceMain;
  std::wstring name = table.front().serviceName;
  SERVICE_TABLE_ENTRYW entries[2] = {{name.data(), &ServiceMainTrampoline}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(entries) != 0;
}

platform::SERVICE_STATUS_HANDLE Win32Services::RegisterServiceCtrlHandlerW(
    const std::wstring& serviceName, HandlerFunction handler) {
  controlHandler = std::move(handler);
  return ::RegisterServiceCtrlHandlerW(serviceName.c_str(), &HandlerTrampoline);
}

bool Win32Services::SetServiceStatus(platform::SERVICE_STATUS_HANDLE handle,
                                     const ServiceStatus& status) {
  SERVICE_STATUS s{status.dwServiceType,
                   status.dwCurrentState,
                   status.dwControlsAccepted,
                   status.dwWin32ExitCode,
                   status.dwServiceSpecificExitCode,
                   status.dwCheckPoint,
                   status.dwWaitHint};
  return ::SetServiceStatus(static_cast<::SERVICE_STATUS_HANDLE>(handle), &s) != 0;
}

platform::SC_HANDLE Win32Services::OpenSCManagerW(DWORD desiredAccess) {
  return ::OpenSCManagerW(nullptr, nullptr, desiredAccess);
}

platform::SC_HANDLE Win32Services::OpenServiceW(platform::SC_HANDLE manager,
                                                const std::wstring& name, DWORD desiredAccess) {
  return ::OpenServiceW(Sc(manager), name.c_str(), desiredAccess);
}

bool Win32Services::QueryServiceStatus(platform::SC_HANDLE service, ServiceStatus* status) {
  SERVICE_STATUS s{};
  if (!::QueryServiceStatus(Sc(service), &s)) return false;
  ToStatus(s, status);
  return true;
}

bool Win32Services::QueryServiceConfigW(platform::SC_HANDLE service, ServiceConfig* config) {
  ::DWORD needed = 0;
  ::QueryServiceConfigW(Sc(service), nullptr, 0, &needed);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  std::vector<unsigned char> buffer(needed);
  auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(Sc(service), q, needed, &needed)) return false;
  config->dwServiceType = q->dwServiceType;
  config->dwStartType = q->dwStartType;
  config->lpBinaryPathName = q->lpBinaryPathName != nullptr ? q->lpBinaryPathName : L"";
  config->lpDisplayName = q->lpDisplayName != nullptr ? q->lpDisplayName : L"";
  return true;
}

bool Win32Services::GetServiceDisplayNameW(platform::SC_HANDLE manager, const std::wstring& name,
                                           std::wstring* displayName) {
  ::DWORD size = 0;
  ::GetServiceDisplayNameW(Sc(manager), name.c_str(), nullptr, &size);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  std::wstring buffer(size + 1, L'\0');
  size = static_cast<::DWORD>(buffer.size());
  if (!::GetServiceDisplayNameW(Sc(manager), name.c_str(), buffer.data(), &size)) return false;
  buffer.resize(size);
  if (displayName != nullptr) *displayName = buffer;
  return true;
}

bool Win32Services::StartServiceW(platform::SC_HANDLE service,
                                  const std::vector<std::wstring>& args) {
  std::vector<const wchar_t*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  return ::StartServiceW(Sc(service), static_cast<::DWORD>(argv.size()),
                         argv.empty() ? nullptr : argv.data()) != 0;
}

bool Win32Services::ControlService(platform::SC_HANDLE service, DWORD control,
                                   ServiceStatus* status) {
  SERVICE_STATUS s{};
  bool ok = ::ControlService(Sc(service), control, &s) != 0;
  if (status != nullptr) ToStatus(s, status);
  return ok;
}

bool Win32Services::CloseServiceHandle(platform::SC_HANDLE handle) {
  return ::CloseServiceHandle(Sc(handle)) != 0;
}

}  // namespace platform::win32

namespace platform::win32 {

bool Win32Services::QueryServiceStatusEx(platform::SC_HANDLE service,
                                         ServiceStatusProcess* status) {
  SERVICE_STATUS_PROCESS s{};
  ::DWORD needed = 0;
  if (!::QueryServiceStatusEx(Sc(service), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&s),
                              sizeof s, &needed)) {
    return false;
  }
  if (status == nullptr) return true;
  status->status.dwServiceType = s.dwServiceType;
  status->status.dwCurrentState = s.dwCurrentState;
  status->status.dwControlsAccepted = s.dwControlsAccepted;
  status->status.dwWin32ExitCode = s.dwWin32ExitCode;
  status->status.dwServiceSpecificExitCode = s.dwServiceSpecificExitCode;
  status->status.dwCheckPoint = s.dwCheckPoint;
  status->status.dwWaitHint = s.dwWaitHint;
  status->dwProcessId = s.dwProcessId;
  status->dwServiceFlags = s.dwServiceFlags;
  return true;
}

platform::SC_HANDLE Win32Services::CreateServiceW(platform::SC_HANDLE manager,
                                                  const std::wstring& name,
                                                  const ServiceConfig& config) {
  return ::CreateServiceW(Sc(manager), name.c_str(),
                          config.lpDisplayName.empty() ? nullptr : config.lpDisplayName.c_str(),
                          SERVICE_ALL_ACCESS, config.dwServiceType, config.dwStartType,
                          SERVICE_ERROR_NORMAL, config.lpBinaryPathName.c_str(), nullptr, nullptr,
                          nullptr, nullptr, nullptr);
}

bool Win32Services::ChangeServiceConfigW(platform::SC_HANDLE service, DWORD serviceType,
                                         DWORD startType, const std::wstring& binaryPathName,
                                         const std::wstring& displayName) {
  return ::ChangeServiceConfigW(Sc(service), serviceType, startType, SERVICE_NO_CHANGE,
                                binaryPathName.empty() ? nullptr : binaryPathName.c_str(), nullptr,
                                nullptr, nullptr, nullptr, nullptr,
                                displayName.empty() ? nullptr : displayName.c_str()) != 0;
}

bool Win32Services::DeleteService(platform::SC_HANDLE service) {
  return ::DeleteService(Sc(service)) != 0;
}

}  // namespace platform::win32
