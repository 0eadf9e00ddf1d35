#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

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

unsigned SimSystem::GetACP() {
  Registry& registry = machine_.registry();
  HKEY key = nullptr;
  if (registry.RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                             L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", KEY_READ,
                             &key) != ERROR_SUCCESS) {
    return 1252;
  }
  std::wstring text;
  DWORD type = 0, size = 0;
  if (registry.RegQueryValueExW(key, L"ACP", &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && size <= 64) {
    std::vector<std::uint8_t> data(size);
    if (registry.RegQueryValueExW(key, L"ACP", &type, data.data(), &size) == ERROR_SUCCESS)
      text = WideFromUtf16Le(data.data(), size);
  }
  registry.RegCloseKey(key);
  unsigned number = 0;
  std::size_t digits = 0;
  for (wchar_t c : text) {
    if (c == L'\0') break;
    if (c < L'0' || c > L'9' || ++digits > 5) return 1252;
    number = number * 10 + static_cast<unsigned>(c - L'0');
  }
  if (digits == 0 || number == 0) return 1252;
  if (number == 1252 || number == CP_UTF8) return number;
  std::string probe;
  return NarrowFromWide(number, L"", &probe, nullptr) ? number : 1252;
}

std::wstring SimSystem::MultiByteToWideChar(unsigned codePage, std::string_view bytes) {
  if (codePage == CP_ACP) codePage = GetACP();
  if (codePage == CP_UTF8) return WideFromUtf8(bytes);
  std::wstring text;
  if (codePage != 1252 && WideFromNarrow(codePage, bytes, &text)) return text;
  return WideFromCp1252(bytes);
}

std::string SimSystem::WideCharToMultiByte(unsigned codePage, std::wstring_view text,
                                           bool* usedDefaultChar) {
  if (codePage == CP_ACP) codePage = GetACP();
  if (codePage == CP_UTF8) {
    if (usedDefaultChar != nullptr) *usedDefaultChar = false;
    return Utf8FromWide(text);
  }
  std::string bytes;
  if (codePage != 1252 && NarrowFromWide(codePage, text, &bytes, usedDefaultChar)) return bytes;
  bool lossless = true;
  bytes = Cp1252FromWide(text, &lossless);
  if (usedDefaultChar != nullptr) *usedDefaultChar = !lossless;
  return bytes;
}

bool SimSystem::GetEnvironmentVariableW(const std::wstring& name, std::wstring* value) {
  const char* found = std::getenv(Utf8FromWide(name).c_str());
  if (found == nullptr) return Fail(203u, false);  // ERROR_ENVVAR_NOT_FOUND
  if (value != nullptr) *value = WideFromUtf8(found);
  return true;
}

namespace {

// A value of the open key: its type and bytes; false when missing.
bool QueryValue(Registry& registry, HKEY key, const std::wstring& name, DWORD* type,
                std::vector<std::uint8_t>* data) {
  DWORD size = 0;
  if (registry.RegQueryValueExW(key, name, type, nullptr, &size) != ERROR_SUCCESS) return false;
  data->assign(size, 0);
  return registry.RegQueryValueExW(key, name, type, data->data(), &size) == ERROR_SUCCESS;
}

void ReadBias(Registry& registry, HKEY key, const std::wstring& name, LONG* bias) {
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  if (QueryValue(registry, key, name, &type, &data) && type == REG_DWORD && data.size() == 4)
    std::memcpy(bias, data.data(), 4);
}

void ReadName(Registry& registry, HKEY key, const std::wstring& name, std::wstring* text) {
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  if (!QueryValue(registry, key, name, &type, &data) || type != REG_SZ) return;
  std::u16string units(data.size() / 2, u'\0');
  std::memcpy(units.data(), data.data(), units.size() * 2);
  text->clear();
  for (char16_t c : units) {
    if (c == 0) break;
    text->push_back(static_cast<wchar_t>(c));
  }
}

void ReadDate(Registry& registry, HKEY key, const std::wstring& name, TimeZoneDate* date) {
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  if (!QueryValue(registry, key, name, &type, &data) || type != REG_BINARY || data.size() != 16)
    return;
  std::uint16_t f[8];
  std::memcpy(f, data.data(), 16);
  *date = {f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]};
}

using Minutes = std::chrono::minutes;
using LocalMinutes = std::chrono::time_point<std::chrono::system_clock, Minutes>;

// The moment of a transition in `year`, on the clock it is stated in.
std::optional<LocalMinutes> TransitionIn(int year, const TimeZoneDate& d) {
  using namespace std::chrono;
  if (d.wMonth < 1 || d.wMonth > 12 || d.wDayOfWeek > 6 || d.wDay < 1 || d.wDay > 5)
    return std::nullopt;
  auto y = std::chrono::year(year);
  auto m = month(d.wMonth);
  auto wd = weekday(d.wDayOfWeek);
  sys_days day = d.wDay == 5 ? sys_days(year_month_weekday_last(y, m, weekday_last(wd)))
                             : sys_days(year_month_weekday(y, m, wd[d.wDay]));
  return LocalMinutes(duration_cast<Minutes>(day.time_since_epoch()) + hours(d.wHour) +
                      Minutes(d.wMinute));
}

}  // namespace

DWORD SimSystem::GetTimeZoneInformation(TimeZoneInformation* info) {
  if (info == nullptr) return Fail(ERROR_INVALID_PARAMETER, TIME_ZONE_ID_INVALID);
  *info = TimeZoneInformation{};
  Registry& registry = machine_.registry();
  HKEY key = nullptr;
  if (registry.RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                             L"SYSTEM\\CurrentControlSet\\Control\\TimeZoneInformation", KEY_READ,
                             &key) != ERROR_SUCCESS) {
    info->StandardName = info->DaylightName = L"Coordinated Universal Time";
    return TIME_ZONE_ID_UNKNOWN;
  }
  ReadBias(registry, key, L"Bias", &info->Bias);
  ReadBias(registry, key, L"StandardBias", &info->StandardBias);
  ReadBias(registry, key, L"DaylightBias", &info->DaylightBias);
  ReadName(registry, key, L"StandardName", &info->StandardName);
  ReadName(registry, key, L"DaylightName", &info->DaylightName);
  ReadDate(registry, key, L"StandardStart", &info->StandardDate);
  ReadDate(registry, key, L"DaylightStart", &info->DaylightDate);
  registry.RegCloseKey(key);
  if (info->StandardDate.wMonth == 0 || info->DaylightDate.wMonth == 0) return TIME_ZONE_ID_UNKNOWN;
  // Both transitions on the standard-time clock: daylight time starts at a standard-time
  // moment and ends at a daylight-time one.
  using namespace std::chrono;
  auto now =
      time_point_cast<Minutes>(system_clock::now()) - Minutes(info->Bias + info->StandardBias);
  int year = static_cast<int>(year_month_day(floor<days>(now)).year());
  auto daylight = TransitionIn(year, info->DaylightDate);
  auto standard = TransitionIn(year, info->StandardDate);
  if (!daylight || !standard) return TIME_ZONE_ID_UNKNOWN;
  *standard += Minutes(info->DaylightBias - info->StandardBias);
  bool inDaylight = *daylight < *standard ? (now >= *daylight && now < *standard)
                                          : !(now >= *standard && now < *daylight);
  return inDaylight ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

}  // namespace platform::sim
