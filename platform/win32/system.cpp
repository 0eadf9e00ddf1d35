#include "platform/win32/win32.h"

#include <shlobj.h>

namespace platform::win32 {

HRESULT Win32System::SHGetFolderPathW(int csidl, std::wstring* path) {
  wchar_t buffer[MAX_PATH] = {};
  ::HRESULT hr = ::SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer);
  if (SUCCEEDED(hr) && path != nullptr) *path = buffer;
  return hr;
}

bool Win32System::GetComputerNameW(DWORD bufferChars, std::wstring* name) {
  std::wstring buffer(bufferChars, L'\0');
  ::DWORD size = bufferChars;
  if (!::GetComputerNameW(buffer.data(), &size)) return false;
  buffer.resize(size);
  if (name != nullptr) *name = buffer;
  return true;
}

bool Win32System::GetVersionExW(OsVersionInfo* info) {
  OSVERSIONINFOEXW version{};
  version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) return false;
#pragma GCC diagnostic pop
  info->dwMajorVersion = version.dwMajorVersion;
  info->dwMinorVersion = version.dwMinorVersion;
  info->dwBuildNumber = version.dwBuildNumber;
  info->dwPlatformId = version.dwPlatformId;
  info->szCSDVersion = version.szCSDVersion;
  info->wServicePackMajor = version.wServicePackMajor;
  info->wServicePackMinor = version.wServicePackMinor;
  info->wSuiteMask = version.wSuiteMask;
  info->wProductType = version.wProductType;
  return true;
}

unsigned Win32System::GetACP() {
  return ::GetACP();
}

std::wstring Win32System::MultiByteToWideChar(unsigned codePage, std::string_view bytes) {
  if (bytes.empty()) return L"";
  int n =
      ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                          n);
  }
  return text;
}

std::string Win32System::WideCharToMultiByte(unsigned codePage, std::wstring_view text,
                                             bool* usedDefaultChar) {
  if (usedDefaultChar != nullptr) *usedDefaultChar = false;
  if (text.empty()) return "";
  // A caller that asks which characters were lost gets no best-fit look-alikes either: a
  // character is its code page's own or the default character. UTF-8 takes neither.
  bool utf8 = codePage == CP_UTF8;
  ::DWORD flags = usedDefaultChar != nullptr && !utf8 ? WC_NO_BEST_FIT_CHARS : 0;
  ::BOOL used = FALSE;
  ::BOOL* usedOut = usedDefaultChar != nullptr && !utf8 ? &used : nullptr;
  int n = ::WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()),
                                nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    ::WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), bytes.data(),
                          n, nullptr, usedOut);
  }
  if (usedDefaultChar != nullptr) *usedDefaultChar = used != FALSE;
  return bytes;
}

bool Win32System::GetEnvironmentVariableW(const std::wstring& name, std::wstring* value) {
  ::DWORD n = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0);
  if (n == 0) return false;
  std::wstring buffer(n, L'\0');
  n = ::GetEnvironmentVariableW(name.c_str(), buffer.data(), n);
  buffer.resize(n);
  if (value != nullptr) *value = buffer;
  return true;
}

}  // namespace platform::win32

namespace platform::win32 {
namespace {

TimeZoneDate DateOf(const ::SYSTEMTIME& t) {
  return {t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

}  // namespace

DWORD Win32System::GetTimeZoneInformation(TimeZoneInformation* info) {
  ::TIME_ZONE_INFORMATION zone{};
  ::DWORD id = ::GetTimeZoneInformation(&zone);
  if (id == TIME_ZONE_ID_INVALID || info == nullptr) return id;
  info->Bias = zone.Bias;
  info->StandardName = zone.StandardName;
  info->StandardDate = DateOf(zone.StandardDate);
  info->StandardBias = zone.StandardBias;
  info->DaylightName = zone.DaylightName;
  info->DaylightDate = DateOf(zone.DaylightDate);
  info->DaylightBias = zone.DaylightBias;
  return id;
}

}  // namespace platform::win32
