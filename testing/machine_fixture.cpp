#include "testing/machine_fixture.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <vector>

namespace tollgate::testing {
namespace {

std::filesystem::path NewFolder() {
  static std::atomic<int> counter{0};
  static const auto run = std::chrono::steady_clock::now().time_since_epoch().count();
  auto base = std::filesystem::temp_directory_path() /
              ("tollgate-test-" + std::to_string(run) + "-" + std::to_string(counter.fetch_add(1)));
  std::filesystem::remove_all(base);
  std::filesystem::create_directories(base);
  return base;
}

#ifdef _WIN32
// What tests leave on the real machine: the agent's registry key and data folder.
void ClearAgentState() {
  DeleteRegistryTree(L"SOFTWARE\\Velmora");
  std::wstring common;
  if (platform::system().SHGetFolderPathW(platform::CSIDL_COMMON_APPDATA, &common) >= 0) {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(common) / "Tollgate", ec);
  }
}
#endif

}  // namespace

TempMachine::TempMachine() : folder_(NewFolder()) {
#ifdef _WIN32
  ClearAgentState();
#else
  machine_ = std::make_shared<platform::sim::Machine>(folder_);
  previous_ = platform::Install(machine_);
#endif
}

TempMachine::~TempMachine() {
#ifdef _WIN32
  ClearAgentState();
#else
  platform::Install(previous_);
#endif
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::wstring Wide(const std::filesystem::path& path) {
#ifdef _WIN32
  return path.wstring();
#else
  std::string s = path.string();
  return std::wstring(s.begin(), s.end());
#endif
}

std::wstring SystemText(platform::DWORD code) {
  return platform::kernel()
      .FormatMessageW(
          platform::FORMAT_MESSAGE_FROM_SYSTEM | platform::FORMAT_MESSAGE_ALLOCATE_BUFFER, code,
          platform::LANG_USER_DEFAULT)
      .value_or(L"");
}

std::wstring OneLineSystemText(platform::DWORD code) {
  return platform::kernel().FormatMessageW(0x11FF, code, platform::LANG_USER_DEFAULT).value_or(L"");
}

void DeleteRegistryTree(const std::wstring& path) {
  auto& registry = platform::registry();
  platform::HKEY key = nullptr;
  if (registry.RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, path, platform::KEY_ALL_ACCESS, &key) !=
      platform::ERROR_SUCCESS) {
    return;
  }
  std::vector<std::wstring> subkeys;
  std::wstring name;
  for (platform::DWORD i = 0; registry.RegEnumKeyExW(key, i, &name) == platform::ERROR_SUCCESS;
       ++i) {
    subkeys.push_back(name);
  }
  registry.RegCloseKey(key);
  for (const auto& sub : subkeys) DeleteRegistryTree(path + L"\\" + sub);
  registry.RegDeleteKeyW(platform::HKEY_LOCAL_MACHINE, path);
}

}  // namespace tollgate::testing
