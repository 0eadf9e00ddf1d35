// Tests' machine: on the simulated platform a new simulated machine in a temporary folder,
// installed as the process's platform for the test's lifetime; on Windows the real machine,
// with a temporary folder and the agent's registry key and data folder cleared before and
// after the test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/platform.h"
#ifndef _WIN32
#include "platform/sim/machine.h"
#endif

namespace tollgate::testing {

class TempMachine {
 public:
  TempMachine();
  ~TempMachine();
  TempMachine(const TempMachine&) = delete;
  TempMachine& operator=(const TempMachine&) = delete;

#ifndef _WIN32
  platform::sim::Machine& machine() {
    return *machine_;
  }
#endif
  // A new empty folder of the test's own (the simulated machine's folder).
  const std::filesystem::path& Folder() const {
    return folder_;
  }

 private:
  std::filesystem::path folder_;
#ifndef _WIN32
  std::shared_ptr<platform::sim::Machine> machine_;
  std::shared_ptr<platform::Platform> previous_;
#endif
};

// A test whose every case runs on a new machine.
class MachineTest : public ::testing::Test {
 protected:
#ifndef _WIN32
  platform::sim::Machine& machine() {
    return temp_.machine();
  }
#endif
  const std::filesystem::path& Folder() const {
    return temp_.Folder();
  }

 private:
  TempMachine temp_;
};

// The bytes of a file ("" when it cannot be read), and writing one.
std::string ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::string& bytes);

// A wide path of the host.
std::wstring Wide(const std::filesystem::path& path);

// The machine's own text of an error code: as the system's message table holds it (line end
// included), or on one line as the agent's error values show it.
std::wstring SystemText(platform::DWORD code);
std::wstring OneLineSystemText(platform::DWORD code);

// Deletes HKEY_LOCAL_MACHINE\path with all its subkeys.
void DeleteRegistryTree(const std::wstring& path);

}  // namespace tollgate::testing
