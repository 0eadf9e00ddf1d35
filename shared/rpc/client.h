// The client side: a binding to one server (host and TCP endpoint, or the endpoint the host's
// endpoint mapper gives), with one connection reused from call to call.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "shared/rpc/status.h"
#include "shared/rpc/uuid.h"

namespace rpc {

namespace transport {
class Stream;
class Deadline;
}  // namespace transport

// RpcMgmtSetComTimeout levels.
inline constexpr unsigned RPC_C_BINDING_MIN_TIMEOUT = 0;
inline constexpr unsigned RPC_C_BINDING_DEFAULT_TIMEOUT = 5;
inline constexpr unsigned RPC_C_BINDING_MAX_TIMEOUT = 9;
inline constexpr unsigned RPC_C_BINDING_INFINITE_TIMEOUT = 10;

// The time a connection (TCP connect and bind) may take at a communication time-out level.
std::chrono::milliseconds ConnectTimeoutOfLevel(unsigned level);

// The largest response a client accepts, unless a binding is told otherwise.
inline constexpr std::size_t kDefaultMaxMessage = 16u << 20;

class Binding {
 public:
  // `endpoint` is the TCP port as text; empty to ask the host's endpoint mapper.
  Binding(std::wstring host, std::wstring endpoint);
  ~Binding();
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;

  const std::wstring& Host() const { return host_; }
  const std::wstring& Endpoint() const { return endpoint_; }

  void SetComTimeout(unsigned level);
  // The time one call may take from its start to its answer, 0 for none. A call that runs
  // out of it fails with RPC_S_CALL_CANCELLED and the connection is closed.
  void SetCallTimeout(std::uint32_t milliseconds);
  void SetObject(const std::optional<Uuid>& object);
  void SetMaxMessage(std::size_t bytes);
  // The address of this machine that the connections leave from (empty: the system's
  // choice). A server that admits its callers by address sees this one.
  void SetSourceAddress(std::wstring address);

  // One call: the [in] stub data out, the [out] stub data back. Throws RpcException with
  // the status of the failure (the server's fault status mapped, 1722 when the server
  // cannot be reached, 1753 when the endpoint mapper knows no endpoint, …). Calls on one
  // binding from several threads take turns.
  std::vector<std::uint8_t> Call(const SyntaxId& interfaceId, std::uint16_t opnum,
                                 std::span<const std::uint8_t> stub);

  // Closes the connection (the next call opens a new one).
  void Disconnect();

 private:
  struct Association;
  void Connect(const SyntaxId& interfaceId, const transport::Deadline& callDeadline);
  std::uint16_t ContextFor(const SyntaxId& interfaceId, const transport::Deadline& deadline);
  [[noreturn]] void Fail(RPC_STATUS status);

  std::mutex mutex_;
  std::wstring host_;
  std::wstring endpoint_;
  unsigned comTimeout_ = RPC_C_BINDING_DEFAULT_TIMEOUT;
  std::uint32_t callTimeout_ = 0;
  std::optional<Uuid> object_;
  std::size_t maxMessage_ = kDefaultMaxMessage;
  std::wstring source_;
  std::unique_ptr<Association> association_;
  std::uint32_t nextCallId_ = 1;
};

// The endpoint mapper (ept_map) on `host`: the TCP port where the interface is registered.
// RPC_S_OK, EPT_S_NOT_REGISTERED when the mapper has no such entry, or the status of the
// call to the mapper (RPC_S_SERVER_UNAVAILABLE when it cannot be reached).
RPC_STATUS EptMap(const std::wstring& host, const SyntaxId& interfaceId,
                  std::chrono::milliseconds timeout, std::uint16_t* port);
// The TCP port of the endpoint mappers this process asks: the one set here, or while none is
// set (or after 0 was set) the DWORD "TcpPort" under
// HKLM\SYSTEM\CurrentControlSet\Services\RpcEptMapper\Parameters, read at every call (a
// simulated machine's mapper keeps its port there; on Windows the value is absent), else 135.
void SetEndpointMapperPort(std::uint16_t port);
std::uint16_t EndpointMapperPort();

}  // namespace rpc
