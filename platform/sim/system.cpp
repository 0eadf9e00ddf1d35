#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/sim/areas.h"
#include "platform/sim/text.h"

namespace platform::sim {

HRESULT SimSystem::SHGetFolderPathW(int csidl, std::wstring* path) {
  if ((csidl & ~CSIDL_FLAG_CREATE) != CSIDL_COMMON_APPDATA || path == nullptr) {
    return HResultFromWin32(ERROR_INVALID_PARAMETER);
  }
  std::filesystem::path folder = machine_.ProgramData();
  if ((csidl & CSIDL_FLAG_CREATE) != 0) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) return HResultFromWin32(ErrorFromErrno(ec.value()));
  } else if (!std::filesystem::is_directory(folder)) {
    return HResultFromWin32(ERROR_FILE_NOT_FOUND);
  }
  *path = WideFromUtf8(folder.string());
  return S_OK;
}

bool SimSystem::GetComputerNameW(DWORD bufferChars, std::wstring* name) {
  const std::wstring& computer = machine_.ComputerName();
  if (name == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
  if (computer.size() + 1 > bufferChars) return Fail(ERROR_BUFFER_OVERFLOW, false);
  *name = computer;
  return true;
}

bool SimSystem::GetVersionExW(OsVersionInfo* info) {
  if (info == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
  // A program without a compatibility manifest sees Windows 8 (6.2) on later versions.
  *info = OsVersionInfo{};
  info->dwMajorVersion = 6;
  info->dwMinorVersion = 2;
  info->dwBuildNumber = 9200;
  info->dwPlatformId = 2;     // VER_PLATFORM_WIN32_NT
  info->wSuiteMask = 0x0110;  // VER_SUITE_SINGLEUSERTS | VER_SUITE_TERMINAL
  info->wProductType = 3;     // VER_NT_SERVER
  return true;
}

std::wstring SimSystem::MultiByteToWideChar(unsigned codePage, std::string_view bytes) {
  return codePage == CP_UTF8 ? WideFromUtf8(bytes) : WideFromCp1252(bytes);
}

std::string SimSystem::WideCharToMultiByte(unsigned codePage, std::wstring_view text) {
  return codePage == CP_UTF8 ? Utf8FromWide(text) : Cp1252FromWide(text, nullptr);
}

bool SimSystem::GetEnvironmentVariableW(const std::wstring& name, std::wstring* value) {
  const char* found = std::getenv(Utf8FromWide(name).c_str());
  if (found == nullptr) return Fail(203u, false);  // ERROR_ENVVAR_NOT_FOUND
  if (value != nullptr) *value = WideFromUtf8(found);
  return true;
}

}  // namespace platform::sim
