// Tests' helpers for registry values.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "testing/machine_fixture.h"

namespace tollgate::testing {

// The registry's bytes of a text value: UTF-16LE with its terminating zero.
std::vector<std::uint8_t> Sz(const std::wstring& text);

struct RegValueRead {
  platform::LONG rc;
  platform::DWORD type;
  std::vector<std::uint8_t> data;
};

// A value read with the two-call sizing of RegQueryValueExW.
RegValueRead Query(platform::HKEY key, const std::wstring& name);
RegValueRead QueryPath(const std::wstring& path, const std::wstring& name);

class RegistryTest : public MachineTest {
 protected:
  platform::HKEY Create(const std::wstring& path,
                        platform::DWORD access = platform::KEY_ALL_ACCESS);
  void Set(platform::HKEY key, const std::wstring& name, platform::DWORD type,
           std::vector<std::uint8_t> data);
};

}  // namespace tollgate::testing
