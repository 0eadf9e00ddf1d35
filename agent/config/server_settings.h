// The process-wide central server address, shared by start-up, the configuration and the
// RPC client.
#pragma once

#include <mutex>
#include <string>

namespace tollgate {

class ServerSettings {
 public:
  std::wstring Host() const;
  std::wstring Port() const;
  void SetHost(const std::wstring& host);
  void SetPort(const std::wstring& port);

  // The process's settings, made on first use from the registry's "ServerAddress" and
  // "ServerPort"; start-up then overwrites both with the command line.
  static ServerSettings& Process();

 private:
  mutable std::mutex lock_;
  std::wstring host_;
  std::wstring port_;
};

}  // namespace tollgate
