// System facts: folders, computer name, OS version and code page conversions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform {

struct OsVersionInfo {  // OSVERSIONINFOEXW
  DWORD dwMajorVersion = 0;
  DWORD dwMinorVersion = 0;
  DWORD dwBuildNumber = 0;
  DWORD dwPlatformId = 0;
  std::wstring szCSDVersion;
  std::uint16_t wServicePackMajor = 0;
  std::uint16_t wServicePackMinor = 0;
  std::uint16_t wSuiteMask = 0;
  std::uint8_t wProductType = 0;
};

// A transition date of TIME_ZONE_INFORMATION (a SYSTEMTIME): with wYear 0, wDay is the week
// of the month (1 to 5, 5 the last) of the weekday wDayOfWeek; wMonth 0 when the zone has none.
struct TimeZoneDate {
  std::uint16_t wYear = 0;
  std::uint16_t wMonth = 0;
  std::uint16_t wDayOfWeek = 0;
  std::uint16_t wDay = 0;
  std::uint16_t wHour = 0;
  std::uint16_t wMinute = 0;
  std::uint16_t wSecond = 0;
  std::uint16_t wMilliseconds = 0;
};

struct TimeZoneInformation {  // TIME_ZONE_INFORMATION; biases in minutes (UTC = local + bias)
  LONG Bias = 0;
  std::wstring StandardName;
  TimeZoneDate StandardDate;
  LONG StandardBias = 0;
  std::wstring DaylightName;
  TimeZoneDate DaylightDate;
  LONG DaylightBias = 0;
};

constexpr DWORD TIME_ZONE_ID_UNKNOWN = 0;
constexpr DWORD TIME_ZONE_ID_STANDARD = 1;
constexpr DWORD TIME_ZONE_ID_DAYLIGHT = 2;
constexpr DWORD TIME_ZONE_ID_INVALID = 0xFFFFFFFF;

class System {
 public:
  virtual ~System() = default;

  // SHGetFolderPathW: the folder's path without a trailing separator.
  virtual HRESULT SHGetFolderPathW(int csidl, std::wstring* path) = 0;

  // GetComputerNameW into a buffer of `bufferChars` characters (the terminating NUL included):
  // false with ERROR_BUFFER_OVERFLOW when the name does not fit.
  virtual bool GetComputerNameW(DWORD bufferChars, std::wstring* name) = 0;

  virtual bool GetVersionExW(OsVersionInfo* info) = 0;

  // The ANSI code page and the conversions through a code page (CP_ACP, CP_UTF8 or a code
  // page's number). Characters that the code page cannot hold become its default character
  // '?', and `usedDefaultChar` (when given, and not for CP_UTF8) tells whether any did.
  virtual unsigned GetACP() = 0;
  virtual std::wstring MultiByteToWideChar(unsigned codePage, std::string_view bytes) = 0;
  virtual std::string WideCharToMultiByte(unsigned codePage, std::wstring_view text,
                                          bool* usedDefaultChar = nullptr) = 0;

  // The value of a process environment variable; false when it is not set.
  virtual bool GetEnvironmentVariableW(const std::wstring& name, std::wstring* value) = 0;

  // GetTimeZoneInformation: the zone and whether standard or daylight time holds now
  // (TIME_ZONE_ID_UNKNOWN for a zone without daylight time; TIME_ZONE_ID_INVALID on failure).
  virtual DWORD GetTimeZoneInformation(TimeZoneInformation* info) = 0;
};

}  // namespace platform
