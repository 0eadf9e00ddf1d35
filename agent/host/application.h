// The agent's application: what the console run and the service run start and stop.
#pragma once

#include <cstdint>

namespace tollgate {

struct ApplicationOptions {
  // How often the local RPC server tries to take its endpoint.
  std::uint32_t endpointAttempts = 60;
  // The "AccountLocalPort" setting.
  bool accountLocalPort = false;
};

class Application {
 public:
  explicit Application(ApplicationOptions options);
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;
  // Runs the stop sequence when the application was started.
  ~Application();

  // Registers the core components and starts monitoring; true when running. Monitoring the
  // queues, the job store and the local RPC server join this sequence as they are built.
  bool Start();
  void Stop();

  bool Started() const { return started_; }
  const ApplicationOptions& Options() const { return options_; }

 private:
  ApplicationOptions options_;
  bool started_ = false;
};

}  // namespace tollgate
