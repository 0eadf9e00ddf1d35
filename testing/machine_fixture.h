// Tests' simulated machine: a new machine in a temporary folder, installed as the
// process's platform for the test's lifetime.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/sim/machine.h"

namespace tollgate::testing {

class TempMachine {
 public:
  TempMachine();
  ~TempMachine();
  TempMachine(const TempMachine&) = delete;
  TempMachine& operator=(const TempMachine&) = delete;

  platform::sim::Machine& machine() { return *machine_; }
  const std::filesystem::path& Folder() const { return machine_->Folder(); }

 private:
  std::shared_ptr<platform::sim::Machine> machine_;
  std::shared_ptr<platform::Platform> previous_;
};

// A test whose every case runs on a new simulated machine.
class MachineTest : public ::testing::Test {
 protected:
  platform::sim::Machine& machine() { return temp_.machine(); }
  const std::filesystem::path& Folder() const { return temp_.Folder(); }

 private:
  TempMachine temp_;
};

// The bytes of a file ("" when it cannot be read), and writing one.
std::string ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::string& bytes);

// A wide path of the host.
std::wstring Wide(const std::filesystem::path& path);

}  // namespace tollgate::testing
