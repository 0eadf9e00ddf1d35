#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/sim/areas.h"

namespace platform::sim {
namespace {

// Windows-1252 bytes 0x80 to 0x9F; the five undefined ones map to the C1 controls, as
// MultiByteToWideChar does.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

wchar_t FromCp1252(unsigned char b) {
  if (b >= 0x80 && b <= 0x9F)
    return static_cast<wchar_t>(kCp1252High[b - 0x80]);
  return static_cast<wchar_t>(b);
}

char ToCp1252(wchar_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
    return static_cast<char>(c);
  for (int i = 0; i < 32; ++i) {
    if (static_cast<wchar_t>(kCp1252High[i]) == c)
      return static_cast<char>(0x80 + i);
  }
  return '?';
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c >= 0xD800 && c <= 0xDFFF)
    c = 0xFFFD;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x110000) {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    AppendUtf8(out, 0xFFFD);
  }
}

// Decodes UTF-8; an ill-formed sequence gives U+FFFD for its first byte.
std::wstring DecodeUtf8(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    char32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = extra >= 0 && i + static_cast<std::size_t>(extra) < s.size();
    for (int k = 1; ok && k <= extra; ++k) {
      unsigned char n = static_cast<unsigned char>(s[i + k]);
      if ((n & 0xC0) != 0x80) {
        ok = false;
      } else {
        c = (c << 6) | (n & 0x3F);
      }
    }
    if (ok && extra > 0) {
      static constexpr char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
      ok = c >= kMin[extra] && c < 0x110000 && !(c >= 0xD800 && c <= 0xDFFF);
    }
    if (!ok) {
      out += L'\xFFFD';
      ++i;
      continue;
    }
    out += static_cast<wchar_t>(c);
    i += extra + 1;
  }
  return out;
}

}  // namespace

std::string Utf8FromWide(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text)
    AppendUtf8(out, static_cast<char32_t>(c));
  return out;
}

std::wstring WideFromUtf8(std::string_view bytes) {
  return DecodeUtf8(bytes);
}

HRESULT SimSystem::SHGetFolderPathW(int csidl, std::wstring* path) {
  if ((csidl & ~CSIDL_FLAG_CREATE) != CSIDL_COMMON_APPDATA || path == nullptr) {
    return HResultFromWin32(ERROR_INVALID_PARAMETER);
  }
  std::filesystem::path folder = machine_.ProgramData();
  if ((csidl & CSIDL_FLAG_CREATE) != 0) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec)
      return HResultFromWin32(ErrorFromErrno(ec.value()));
  } else if (!std::filesystem::is_directory(folder)) {
    return HResultFromWin32(ERROR_FILE_NOT_FOUND);
  }
  *path = WideFromUtf8(folder.string());
  return S_OK;
}

bool SimSystem::GetComputerNameW(DWORD bufferChars, std::wstring* name) {
  const std::wstring& computer = machine_.ComputerName();
  if (name == nullptr)
    return Fail(ERROR_INVALID_PARAMETER, false);
  if (computer.size() + 1 > bufferChars)
    return Fail(ERROR_BUFFER_OVERFLOW, false);
  *name = computer;
  return true;
}

bool SimSystem::GetVersionExW(OsVersionInfo* info) {
  if (info == nullptr)
    return Fail(ERROR_INVALID_PARAMETER, false);
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
  if (codePage == CP_UTF8)
    return DecodeUtf8(bytes);
  std::wstring out;
  out.reserve(bytes.size());
  for (char b : bytes)
    out += FromCp1252(static_cast<unsigned char>(b));
  return out;
}

std::string SimSystem::WideCharToMultiByte(unsigned codePage, std::wstring_view text) {
  if (codePage == CP_UTF8)
    return Utf8FromWide(text);
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text)
    out += ToCp1252(c);
  return out;
}

bool SimSystem::GetEnvironmentVariableW(const std::wstring& name, std::wstring* value) {
  const char* found = std::getenv(Utf8FromWide(name).c_str());
  if (found == nullptr)
    return Fail(203u, false);  // ERROR_ENVVAR_NOT_FOUND
  if (value != nullptr)
    *value = WideFromUtf8(found);
  return true;
}

}  // namespace platform::sim
