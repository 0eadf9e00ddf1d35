#include "agent/config/server_settings.h"

#include "agent/config/settings.h"

namespace tollgate {

std::wstring ServerSettings::Host() const {
  std::lock_guard<std::mutex> guard(lock_);
  return host_;
}

std::wstring ServerSettings::Port() const {
  std::lock_guard<std::mutex> guard(lock_);
  return port_;
}

void ServerSettings::SetHost(const std::wstring& host) {
  std::lock_guard<std::mutex> guard(lock_);
  host_ = host;
}

void ServerSettings::SetPort(const std::wstring& port) {
  std::lock_guard<std::mutex> guard(lock_);
  port_ = port;
}

ServerSettings& ServerSettings::Process() {
  static ServerSettings* settings = [] {
    auto* made = new ServerSettings;  // lives to the end of the process
    config::AgentSettings agent = config::ReadAgentSettings();
    made->SetHost(agent.serverAddress);
    made->SetPort(agent.serverPort);
    return made;
  }();
  return *settings;
}

}  // namespace tollgate
