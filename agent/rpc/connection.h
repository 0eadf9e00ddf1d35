// The agent's side of the calls: the binding handle, the connection to the central server
// with its typed operations, the caller that runs one operation with the retry rule, and the
// per-call binding of the workstation's interfaces.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <string>

#include "agent/rpc/interfaces.h"
#include "shared/error/error_result.h"
#include "shared/rpc/rpc.h"

namespace tollgate {
class ServerSettings;
}

namespace tollgate::remote {

using ::rpc::RPC_BINDING_HANDLE;
using ::rpc::RPC_STATUS;

class RpcBinding {
 public:
  RpcBinding() = default;
  RpcBinding(const RpcBinding&) = delete;
  RpcBinding& operator=(const RpcBinding&) = delete;
  ~RpcBinding() { Unbind(); }

  // An empty endpoint asks the host's endpoint mapper. `callTimeout` 0 is none. The status
  // of the first step that fails; the handle then stays allocated until Unbind.
  RPC_STATUS Bind(const std::wstring& protseq, const std::wstring& address,
                  const std::wstring& endpoint, unsigned timeoutLevel, std::uint32_t callTimeout,
                  bool authenticate, const std::optional<std::array<std::uint8_t, 16>>& object);
  void Unbind();
  RPC_BINDING_HANDLE Handle() const { return handle_; }
  bool IsBound() const { return bound_; }

 private:
  RPC_BINDING_HANDLE handle_ = nullptr;
  bool bound_ = false;
};

// One binding to the central server. The operations make one call each and throw
// RpcException on failure (they run inside the caller's exception frame).
class ServerConnection {
 public:
  ServerConnection() = default;
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;
  virtual ~ServerConnection() = default;

  virtual void ReportJob(const ReportJobIn& message, ReportJobOut* answer);
  virtual std::int16_t CancelJob(std::int32_t serverJobId);
  virtual void RegisterAgent(const RegisterAgentIn& request, RegisterAgentOut* answer);
  virtual std::int16_t ReportHardwareCounters(const ReportHardwareCountersIn& report);
  // Sends the stream in chunks of up to 32 767 bytes while it is good; the last chunk (the
  // one shorter than that, possibly empty) carries last = 1. The largest chunk result.
  virtual std::int16_t UploadFile(std::int32_t serverJobId, std::istream& input);
  virtual bool IsBound() const { return binding_.IsBound(); }
  // "ncacn_ip_tcp", the address, the port as endpoint; an empty address is
  // ERROR_INVALID_PARAMETER (87) without a call.
  virtual RPC_STATUS Bind(const std::wstring& address, const std::wstring& port);
  virtual RPC_STATUS Unbind();

 protected:
  std::vector<std::uint8_t> Call(std::uint16_t opnum, const Writer& in);

 private:
  RpcBinding binding_;
};

inline constexpr std::size_t kFileChunk = 32767;

// Runs one operation on a connection, binding when needed and retrying once on an existing
// binding when the server was away (1722) or its endpoint unknown (1753).
class RemoteCaller {
 public:
  using Operation = std::function<void(ServerConnection&)>;

  RemoteCaller(ServerSettings& settings, std::unique_ptr<ServerConnection> connection);
  ErrorResultPtr Call(const Operation& operation);
  ServerConnection& Connection() { return *connection_; }

 private:
  ServerSettings& settings_;
  std::unique_ptr<ServerConnection> connection_;
  std::wstring address_;
  std::wstring port_;
};

// One call to a workstation interface on a binding of its own: bound with timeout level 0, an
// 8 000 ms call time-out and a nil object, called once, unbound. The call's status (0 when
// it returned).
RPC_STATUS CallWorkstation(const std::wstring& address, const std::wstring& endpoint,
                           const SyntaxId& interfaceId, std::uint16_t opnum, const Writer& in);

}  // namespace tollgate::remote
