#include "platform/win32/win32.h"

namespace platform::win32 {
namespace {

::HKEY Key(platform::HKEY key) {
  return static_cast<::HKEY>(key);
}

}  // namespace

LONG Win32Registry::RegOpenKeyExW(platform::HKEY key, const std::wstring& subKey, DWORD samDesired,
                                  platform::HKEY* result) {
  ::HKEY opened = nullptr;
  LONG rc = ::RegOpenKeyExW(Key(key), subKey.c_str(), 0, samDesired, &opened);
  if (rc == ERROR_SUCCESS) *result = opened;
  return rc;
}

LONG Win32Registry::RegCreateKeyExW(platform::HKEY key, const std::wstring& subKey,
                                    DWORD samDesired, platform::HKEY* result, DWORD* disposition) {
  ::HKEY opened = nullptr;
  ::DWORD how = 0;
  LONG rc = ::RegCreateKeyExW(Key(key), subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              samDesired, nullptr, &opened, &how);
  if (rc == ERROR_SUCCESS) {
    *result = opened;
    if (disposition != nullptr) *disposition = how;
  }
  return rc;
}

LONG Win32Registry::RegCloseKey(platform::HKEY key) {
  return ::RegCloseKey(Key(key));
}

LONG Win32Registry::RegQueryValueExW(platform::HKEY key, const std::wstring& valueName, DWORD* type,
                                     std::uint8_t* data, DWORD* dataSize) {
  ::DWORD t = 0;
  ::DWORD size = dataSize != nullptr ? *dataSize : 0;
  LONG rc = ::RegQueryValueExW(Key(key), valueName.c_str(), nullptr, &t, data,
                               dataSize != nullptr ? &size : nullptr);
  if (type != nullptr && (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA)) *type = t;
  if (dataSize != nullptr) *dataSize = size;
  return rc;
}

LONG Win32Registry::RegSetValueExW(platform::HKEY key, const std::wstring& valueName, DWORD type,
                                   const std::uint8_t* data, DWORD dataSize) {
  return ::RegSetValueExW(Key(key), valueName.c_str(), 0, type, data, dataSize);
}

LONG Win32Registry::RegDeleteValueW(platform::HKEY key, const std::wstring& valueName) {
  return ::RegDeleteValueW(Key(key), valueName.c_str());
}

LONG Win32Registry::RegDeleteKeyW(platform::HKEY key, const std::wstring& subKey) {
  return ::RegDeleteKeyW(Key(key), subKey.c_str());
}

LONG Win32Registry::RegEnumKeyExW(platform::HKEY key, DWORD index, std::wstring* name) {
  wchar_t buffer[256];  // a key name has at most 255 characters
  ::DWORD size = 256;
  LONG rc = ::RegEnumKeyExW(Key(key), index, buffer, &size, nullptr, nullptr, nullptr, nullptr);
  if (rc == ERROR_SUCCESS && name != nullptr) name->assign(buffer, size);
  return rc;
}

LONG Win32Registry::RegEnumValueW(platform::HKEY key, DWORD index, std::wstring* name, DWORD* type,
                                  std::vector<std::uint8_t>* data) {
  ::DWORD maxName = 0, maxData = 0;
  LONG rc = ::RegQueryInfoKeyW(Key(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, &maxName, &maxData, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  std::wstring buffer(maxName + 1, L'\0');
  std::vector<std::uint8_t> bytes(maxData);
  ::DWORD nameSize = maxName + 1;
  ::DWORD dataSize = maxData;
  ::DWORD t = 0;
  rc = ::RegEnumValueW(Key(key), index, buffer.data(), &nameSize, nullptr, &t, bytes.data(),
                       &dataSize);
  if (rc != ERROR_SUCCESS) return rc;
  if (name != nullptr) name->assign(buffer.data(), nameSize);
  if (type != nullptr) *type = t;
  if (data != nullptr) data->assign(bytes.begin(), bytes.begin() + dataSize);
  return rc;
}

}  // namespace platform::win32
