#include "testing/machine_fixture.h"

#include <atomic>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace tollgate::testing {
namespace {

std::filesystem::path NewFolder() {
  static std::atomic<int> counter{0};
  auto base =
      std::filesystem::temp_directory_path() /
      ("tollgate-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)));
  std::filesystem::remove_all(base);
  std::filesystem::create_directories(base);
  return base;
}

}  // namespace

TempMachine::TempMachine() : machine_(std::make_shared<platform::sim::Machine>(NewFolder())) {
  previous_ = platform::Install(machine_);
}

TempMachine::~TempMachine() {
  platform::Install(previous_);
  std::error_code ec;
  std::filesystem::remove_all(machine_->Folder(), ec);
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
  std::string s = path.string();
  return std::wstring(s.begin(), s.end());
}

}  // namespace tollgate::testing
