// The registry: keys, subkeys and values of HKEY_LOCAL_MACHINE, with the Win32 calls' meaning.
// Every call returns its Win32 error code (ERROR_SUCCESS on success), as the Reg* calls do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

using HKEY = void*;
inline const HKEY HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002));

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_SET_VALUE = 0x0002;
constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
constexpr DWORD KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr DWORD KEY_NOTIFY = 0x0010;
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

constexpr DWORD ERROR_BADDB = 1009;
constexpr DWORD ERROR_BADKEY = 1010;
constexpr DWORD ERROR_KEY_DELETED = 1018;

class Registry {
 public:
  virtual ~Registry() = default;

  // RegOpenKeyExW: the subkey of an open key (or of HKEY_LOCAL_MACHINE); an empty subkey
  // opens the key itself again. Names are compared without regard to case.
  virtual LONG RegOpenKeyExW(HKEY key, const std::wstring& subKey, DWORD samDesired,
                             HKEY* result) = 0;
  // RegCreateKeyExW: opens the subkey, creating every missing level.
  virtual LONG RegCreateKeyExW(HKEY key, const std::wstring& subKey, DWORD samDesired, HKEY* result,
                               DWORD* disposition) = 0;
  virtual LONG RegCloseKey(HKEY key) = 0;

  // RegQueryValueExW: the value's type and data as stored (text as UTF-16LE bytes with
  // their terminating zero). With a null `data`, only the size; with a buffer too small,
  // ERROR_MORE_DATA and the size needed. An empty name is the key's default value.
  virtual LONG RegQueryValueExW(HKEY key, const std::wstring& valueName, DWORD* type,
                                std::uint8_t* data, DWORD* dataSize) = 0;
  virtual LONG RegSetValueExW(HKEY key, const std::wstring& valueName, DWORD type,
                              const std::uint8_t* data, DWORD dataSize) = 0;
  virtual LONG RegDeleteValueW(HKEY key, const std::wstring& valueName) = 0;
  // RegDeleteKeyW: deletes a subkey that has no subkeys of its own.
  virtual LONG RegDeleteKeyW(HKEY key, const std::wstring& subKey) = 0;

  // RegEnumKeyExW / RegEnumValueW: the index-th subkey (in the order of their names) or
  // value (in the order they were made); ERROR_NO_MORE_ITEMS past the last.
  virtual LONG RegEnumKeyExW(HKEY key, DWORD index, std::wstring* name) = 0;
  virtual LONG RegEnumValueW(HKEY key, DWORD index, std::wstring* name, DWORD* type,
                             std::vector<std::uint8_t>* data) = 0;
};

}  // namespace platform
