// A test program that writes registry values without end ("write") or checks what a
// machine's registry holds after such a run was killed ("check"). The machine is the one
// named by TOLLGATE_MACHINE.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/machine.h"

namespace {

constexpr wchar_t kKey[] = L"SOFTWARE\\Velmora\\Stress";

std::vector<std::uint8_t> Text(const std::wstring& text) {
  std::vector<std::uint8_t> data;
  for (wchar_t c : text) {
    data.push_back(static_cast<std::uint8_t>(c));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  data.insert(data.end(), {0, 0});
  return data;
}

int Write() {
  auto& registry = platform::registry();
  platform::HKEY key = nullptr;
  if (registry.RegCreateKeyExW(platform::HKEY_LOCAL_MACHINE, kKey, platform::KEY_ALL_ACCESS, &key,
                               nullptr) != platform::ERROR_SUCCESS) {
    return 2;
  }
  std::vector<std::uint8_t> filler(4096, 0x5A);
  registry.RegSetValueExW(key, L"Filler", platform::REG_BINARY, filler.data(),
                          static_cast<platform::DWORD>(filler.size()));
  for (unsigned i = 0;; ++i) {
    auto data = Text(std::to_wstring(i));
    if (registry.RegSetValueExW(key, L"V" + std::to_wstring(i), platform::REG_SZ, data.data(),
                                static_cast<platform::DWORD>(data.size())) != 0) {
      return 3;
    }
  }
}

// Writes `count` values named PREFIX0, PREFIX1, … and ends.
int WriteSome(const std::string& prefix, unsigned count) {
  auto& registry = platform::registry();
  platform::HKEY key = nullptr;
  if (registry.RegCreateKeyExW(platform::HKEY_LOCAL_MACHINE, kKey, platform::KEY_ALL_ACCESS, &key,
                               nullptr) != platform::ERROR_SUCCESS) {
    return 2;
  }
  std::wstring wide(prefix.begin(), prefix.end());
  for (unsigned i = 0; i < count; ++i) {
    auto data = Text(std::to_wstring(i));
    if (registry.RegSetValueExW(key, wide + std::to_wstring(i), platform::REG_SZ, data.data(),
                                static_cast<platform::DWORD>(data.size())) != 0) {
      return 3;
    }
  }
  registry.RegCloseKey(key);
  return 0;
}

int Check() {
  auto& machine = dynamic_cast<platform::sim::Machine&>(platform::Current());
  std::string error = machine.RegistryLoadError();
  if (!error.empty()) {
    std::printf("broken: %s\n", error.c_str());
    return 1;
  }
  auto& registry = platform::registry();
  platform::HKEY key = nullptr;
  if (registry.RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, kKey, platform::KEY_READ, &key) != 0) {
    std::printf("ok 0\n");
    return 0;
  }
  unsigned count = 0;
  for (;; ++count) {
    std::uint8_t data[64];
    platform::DWORD size = sizeof data;
    platform::DWORD type = 0;
    if (registry.RegQueryValueExW(key, L"V" + std::to_wstring(count), &type, data, &size) != 0) {
      break;
    }
    if (Text(std::to_wstring(count)) != std::vector<std::uint8_t>(data, data + size)) {
      std::printf("wrong value V%u\n", count);
      return 1;
    }
  }
  std::printf("ok %u\n", count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "write") == 0) return Write();
  if (argc == 2 && std::strcmp(argv[1], "check") == 0) return Check();
  if (argc == 4 && std::strcmp(argv[1], "write") == 0) {
    return WriteSome(argv[2], static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)));
  }
  std::fprintf(stderr, "usage: registry_writer write [PREFIX COUNT] | check\n");
  return 2;
}
