// The registry components: "registry-reader-maker" (a new reader per call) and
// "registry-enumerator" (the subkeys of a key).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/config/registry_values.h"
#include "shared/components/injector.h"

namespace tollgate::config {

// Reads text values of one key of HKEY_LOCAL_MACHINE.
class RegistryReader {
 public:
  virtual ~RegistryReader() = default;
  // Opens the key for reading; false when it cannot be opened.
  virtual bool Open(const std::wstring& path) = 0;
  // A REG_SZ value; nullopt when the key is not open or the value is missing.
  virtual std::optional<std::wstring> ReadString(const std::wstring& name) = 0;
};

class RegistryReaderMaker : public Component {
 public:
  virtual std::unique_ptr<RegistryReader> MakeReader() = 0;
};

class RegistryEnumerator : public Component {
 public:
  // The names of the subkeys of HKEY_LOCAL_MACHINE\path; empty when it cannot be opened.
  virtual std::vector<std::wstring> Subkeys(const std::wstring& path) = 0;
};

class KeyReader : public RegistryReader {
 public:
  bool Open(const std::wstring& path) override;
  std::optional<std::wstring> ReadString(const std::wstring& name) override;

 private:
  RegistryKey key_;
};

class KeyReaderMaker : public RegistryReaderMaker {
 public:
  std::unique_ptr<RegistryReader> MakeReader() override { return std::make_unique<KeyReader>(); }
};

class KeyEnumerator : public RegistryEnumerator {
 public:
  std::vector<std::wstring> Subkeys(const std::wstring& path) override;
};

}  // namespace tollgate::config
