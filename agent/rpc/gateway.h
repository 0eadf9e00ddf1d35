// The agent's road to the central server: the gateway that turns job reports, registrations,
// hardware readings and file uploads into calls, the worker that runs requests on its own
// gateway, and the request queue (a pool of such workers) that the job store calls.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>

#include "agent/rpc/connection.h"
#include "agent/rpc/payloads.h"
#include "platform/types.h"
#include "shared/os/request_pool.h"

namespace tollgate::remote {

class ServerGateway {
 public:
  // The computer name comes from GetComputerNameW; a failure raises SystemError "M266".
  explicit ServerGateway(std::unique_ptr<RemoteCaller> caller);
  ServerGateway(const ServerGateway&) = delete;
  ServerGateway& operator=(const ServerGateway&) = delete;
  virtual ~ServerGateway() = default;

  // None for an accepted job (the context then holds its record ids and texts), else the
  // server's decision or a failure.
  virtual ServerResultPtr SendJob(const JobReport& report, JobContext* context);
  virtual ErrorResultPtr SendFile(std::int64_t serverJobId, std::istream& input);
  virtual ErrorResultPtr SendHardware(std::int64_t serverJobId, const HardwareRecord& record);
  virtual ErrorResultPtr Register(QueueList queues);
  virtual ErrorResultPtr CancelJob(std::int64_t serverJobId);

  std::int32_t ClientId() const { return clientId_; }

  // The queue list of the process's last registration (shared by every gateway).
  static QueueList LastRegistered();
  static void ResetRegistrationForTesting();

 private:
  std::unique_ptr<RemoteCaller> caller_;
  std::string computerName_;
  std::uint8_t agentKind_ = 4;
  std::int32_t clientId_ = 0;
};

// Makes one gateway with its own connection.
using GatewayFactory = std::function<std::unique_ptr<ServerGateway>()>;
// The gateway factory of the process: the process's ServerSettings.
GatewayFactory ProcessGatewayFactory();

struct ServerRequest {
  enum Type { kSendJob = 0, kCancelJob = 1, kRegister = 2, kSendHardware = 3 };
  Type type = kSendJob;
  // Arguments, as the type needs them.
  JobReport report;
  JobContext context;  // the request's own: a caller that stopped waiting leaves it behind
  std::int64_t serverJobId = 0;
  HardwareRecord hardware;
  QueueList queues;
  // The result (none: success).
  ServerResultPtr serverResult;
  ErrorResultPtr errorResult;
};

class JobsWorker {
 public:
  explicit JobsWorker(const GatewayFactory& factory);
  void Execute(ServerRequest& request);
  ServerGateway& Gateway() { return *gateway_; }

 private:
  std::unique_ptr<ServerGateway> gateway_;
};

// The job store's handle on the server: a pool of JobsWorkers, each caller waiting at most
// 30 seconds for its request.
class ServerRequestQueue {
 public:
  explicit ServerRequestQueue(GatewayFactory factory, unsigned threads = 0,
                              unsigned requestWaitSeconds = 30);
  virtual ~ServerRequestQueue() = default;
  virtual ErrorResultPtr Open();
  virtual ErrorResultPtr Close();
  virtual ServerResultPtr AddJob(const JobReport& report, JobContext* answer);
  virtual ErrorResultPtr CancelJob(std::int64_t serverJobId);
  virtual ErrorResultPtr SetHardware(std::int64_t serverJobId, const HardwareRecord& record);
  virtual ErrorResultPtr Register(QueueList queues);

 private:
  ErrorResultPtr Run(const std::shared_ptr<ServerRequest>& request);

  os::RequestPool<JobsWorker, ServerRequest> pool_;
};

}  // namespace tollgate::remote
