// The server side: TCP endpoints, registered interfaces, and a thread per connection that reads
// its PDUs, answers binds and runs each call's manager routine, at most `maxCalls` at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sockets.h"
#include "shared/rpc/ndr.h"
#include "shared/rpc/status.h"
#include "shared/rpc/uuid.h"

namespace rpc {

namespace transport {
class Stream;
class WinsockUse;
}  // namespace transport

inline constexpr unsigned RPC_C_LISTEN_MAX_CALLS_DEFAULT = 1234;
inline constexpr unsigned RPC_C_PROTSEQ_MAX_REQS_DEFAULT = 10;
inline constexpr unsigned RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH = 0x10;

// What a manager routine knows about its call.
struct CallContext {
  std::uint16_t opnum = 0;
  std::optional<Uuid> object;
  std::wstring clientAddress;
};

// One operation: reads its [in] parameters from `in`, does its work, writes its [out]
// parameters to `out`. A failure is raised as RpcException(status) and answered with a fault
// of that status; stub data that does not decode raises RPC_X_BAD_STUB_DATA (the Reader does).
using Operation = std::function<void(CallContext& call, ndr::Reader& in, ndr::Writer& out)>;

// Decides whether a call may run, before its stub data is read: RPC_S_OK, or the status of
// the fault the caller gets (ERROR_ACCESS_DENIED, as a refusing security callback answers).
using SecurityCallback = std::function<RPC_STATUS(const CallContext& call)>;

struct ServerInterface {
  SyntaxId id;
  std::vector<Operation> operations;  // by opnum; an empty one is an opnum out of range
  SecurityCallback security;          // none: every caller
};

class Server {
 public:
  Server();
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // A fixed TCP endpoint (the port as text). RPC_S_DUPLICATE_ENDPOINT when another socket
  // holds the port, RPC_S_INVALID_ENDPOINT_FORMAT for a bad port text,
  // RPC_S_PROTSEQ_NOT_SUPPORTED for anything but "ncacn_ip_tcp".
  RPC_STATUS UseProtseqEp(const std::wstring& protseq, unsigned maxCalls,
                          const std::wstring& endpoint);
  // A dynamic TCP endpoint.
  RPC_STATUS UseProtseq(const std::wstring& protseq, unsigned maxCalls);
  // The string bindings of the endpoints: "ncacn_ip_tcp:HOST[port]".
  RPC_STATUS InqBindings(std::vector<std::wstring>* bindings);
  // Registering an interface again replaces its operations.
  RPC_STATUS RegisterIf(const ServerInterface& definition, unsigned flags, unsigned maxCalls);
  // One interface, or every one (null). Calls to it then get a fault.
  RPC_STATUS UnregisterIf(const SyntaxId* id, bool waitForCalls);
  // Starts accepting connections. With dontWait false, returns when listening has stopped.
  RPC_STATUS Listen(unsigned minThreads, unsigned maxCalls, bool dontWait);
  // Stops accepting, lets the calls under way finish, then closes the connections.
  RPC_STATUS StopListening();
  // Waits until StopListening has taken effect and every call has ended.
  RPC_STATUS WaitListen();

  // The one address of this machine that endpoints opened after this listen on (a numeric
  // IPv4 or IPv6 address); every address when empty, as unless set.
  void SetListenAddress(std::wstring address);
  // The TCP ports of the endpoints.
  std::vector<std::uint16_t> Ports();
  // The largest request (stub data) a call may bring; larger ones get a fault.
  void SetMaxMessage(std::size_t bytes);
  // The request bytes all connections together may hold while their calls come in; a
  // request that would pass it gets a fault as an oversized one does.
  void SetMaxPending(std::size_t bytes);
  // Connections beyond this many are closed as they come.
  void SetMaxConnections(std::size_t count);
  // Connections from one address beyond this many are closed as they come (256 unless set),
  // and the request bytes the connections of one address may hold together (unless set, a
  // quarter of the server's budget, or one largest request when that is more): no single
  // host can shut the others out.
  void SetMaxConnectionsPerPeer(std::size_t count);
  void SetMaxPendingPerPeer(std::size_t bytes);
  // How long a connection may take: from its accept to its bind, from the first byte of a
  // fragment to its last, from the first fragment of a request to its last, and between two
  // PDUs while no request is being received. A connection that takes longer is closed.
  struct Deadlines {
    std::chrono::milliseconds bind{10000};
    std::chrono::milliseconds fragment{10000};
    std::chrono::milliseconds request{60000};
    std::chrono::milliseconds idle{300000};
  };
  void SetDeadlines(const Deadlines& deadlines);
  // Connections open now, and the request bytes they hold.
  std::size_t Connections();
  std::size_t PendingBytes();

 private:
  struct Endpoint {
    std::uint16_t port = 0;
    unsigned backlog = 0;
    std::vector<platform::SOCKET> listeners;  // empty while closed by a stop
  };
  struct Connection;
  struct CallState;

  RPC_STATUS OpenEndpoint(std::uint16_t port, unsigned backlog);
  RPC_STATUS OpenListeners(Endpoint& e);
  void CloseListenersLocked();
  void AcceptLoop();
  void Serve(std::shared_ptr<Connection> connection);
  void ReapLocked(bool all);
  std::shared_ptr<const ServerInterface> Find(const SyntaxId& abstract, bool* versionMismatch);
  std::shared_ptr<const ServerInterface> FindExact(const SyntaxId& id);
  void Execute(Connection& connection, CallState& call);
  bool Hold(const std::wstring& peer, std::size_t bytes);
  void Unhold(const std::wstring& peer, std::size_t bytes);
  void Forget(const Connection& connection);
  bool AcquireCall();
  void ReleaseCall();

  std::unique_ptr<transport::WinsockUse> winsock_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Endpoint> endpoints_;
  std::wstring listenAddress_;
  std::vector<std::shared_ptr<const ServerInterface>> interfaces_;
  bool listening_ = false;
  std::atomic<bool> stop_{false};
  std::thread acceptThread_;
  std::list<std::shared_ptr<Connection>> connections_;
  unsigned maxCalls_ = RPC_C_LISTEN_MAX_CALLS_DEFAULT;
  unsigned activeCalls_ = 0;
  std::size_t maxMessage_ = 16u << 20;
  std::size_t maxConnections_ = 2048;
  std::size_t maxPending_ = 256u << 20;
  std::size_t pending_ = 0;
  std::size_t maxConnectionsPerPeer_ = 256;
  std::optional<std::size_t> maxPendingPerPeer_;
  std::map<std::wstring, std::size_t> peerConnections_;
  std::map<std::wstring, std::size_t> peerPending_;
  Deadlines deadlines_;
  std::uint32_t nextAssocGroup_ = 0x1000;
};

}  // namespace rpc
