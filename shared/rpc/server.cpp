#include "shared/rpc/server.h"

#include <algorithm>
#include <cwctype>
#include <new>
#include <system_error>

#include "platform/platform.h"
#include "shared/rpc/pdu.h"
#include "shared/rpc/transport.h"

namespace rpc {

using namespace platform;
using transport::Deadline;
using transport::Io;
using transport::Stream;

namespace {

constexpr int kAcceptSliceMs = 200;
constexpr auto kResponseSendTime = std::chrono::seconds(60);
constexpr std::size_t kMaxContextsPerConnection = 256;
constexpr std::size_t kKeptBuffer = 64 * 1024;

bool IsTcpProtseq(const std::wstring& protseq) {
  std::wstring lower = protseq;
  for (auto& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  return lower == L"ncacn_ip_tcp";
}

// The port of an endpoint text: 1 to 65535 in decimal.
std::optional<std::uint16_t> PortOf(const std::wstring& endpoint) {
  if (endpoint.empty() || endpoint.size() > 5) return std::nullopt;
  unsigned long v = 0;
  for (wchar_t c : endpoint) {
    if (c < L'0' || c > L'9') return std::nullopt;
    v = v * 10 + static_cast<unsigned long>(c - L'0');
  }
  if (v == 0 || v > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(v);
}

}  // namespace

struct Server::Connection {
  std::unique_ptr<Stream> stream;
  std::wstring peer;
  std::uint16_t port = 0;  // of the endpoint it came in on
  transport::Clock::time_point accepted;
  std::thread thread;
  std::atomic<bool> done{false};
};

// One call being received on a connection.
struct Server::CallState {
  bool open = false;
  bool discarding = false;  // a request over the size limit: its fragments are dropped
  std::uint32_t callId = 0;
  std::uint16_t contextId = 0;
  std::uint16_t opnum = 0;
  std::uint8_t flags = 0;
  std::optional<Uuid> object;
  std::vector<std::uint8_t> stub;
  std::size_t held = 0;  // the bytes of the budget the stub's buffer holds
  // The connection's presentation contexts and fragment size.
  std::vector<std::pair<std::uint16_t, SyntaxId>> contexts;
  std::uint16_t fragment = pdu::kMaxFragment;
};

Server::Server() : winsock_(std::make_unique<transport::WinsockUse>()) {}

Server::~Server() {
  StopListening();
  WaitListen();
  std::lock_guard<std::mutex> guard(mutex_);
  CloseListenersLocked();
  endpoints_.clear();
}

RPC_STATUS Server::OpenListeners(Endpoint& e) {
  int queue = static_cast<int>(std::clamp(e.backlog, 64u, 4096u));
  SockAddr where = SockAddr::Ipv4Any(e.port);
  if (!listenAddress_.empty()) {
    AddrInfoW hints;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    std::vector<AddrInfoW> found;
    if (sockets().GetAddrInfoW(listenAddress_, std::to_wstring(e.port), &hints, &found) != 0 ||
        found.empty())
      return RPC_S_INVALID_NET_ADDR;
    where = found.front().ai_addr;
  }
  SOCKET v4 = sockets().socket(where.family, SOCK_STREAM, IPPROTO_TCP);
  if (v4 == INVALID_SOCKET) return RPC_S_OUT_OF_RESOURCES;
  if (sockets().bind(v4, where) != 0) {
    DWORD error = static_cast<DWORD>(sockets().WSAGetLastError());
    sockets().closesocket(v4);
    return error == WSAEADDRINUSE ? RPC_S_DUPLICATE_ENDPOINT : RPC_S_CANT_CREATE_ENDPOINT;
  }
  if (sockets().listen(v4, queue) != 0) {
    sockets().closesocket(v4);
    return RPC_S_CANT_CREATE_ENDPOINT;
  }
  SockAddr local;
  sockets().getsockname(v4, &local);
  unsigned long on = 1;
  sockets().ioctlsocket(v4, FIONBIO, &on);
  e.port = local.port;
  e.listeners.push_back(v4);
  if (!listenAddress_.empty()) return RPC_S_OK;
  // The same port on IPv6 where the machine has it.
  SOCKET v6 = sockets().socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
  if (v6 != INVALID_SOCKET) {
    if (sockets().bind(v6, SockAddr::Ipv6Any(e.port)) == 0 && sockets().listen(v6, queue) == 0) {
      sockets().ioctlsocket(v6, FIONBIO, &on);
      e.listeners.push_back(v6);
    } else {
      sockets().closesocket(v6);
    }
  }
  return RPC_S_OK;
}

RPC_STATUS Server::OpenEndpoint(std::uint16_t port, unsigned backlog) {
  Endpoint e;
  e.port = port;
  e.backlog = backlog;
  RPC_STATUS status = OpenListeners(e);
  if (status == RPC_S_OK) endpoints_.push_back(std::move(e));
  return status;
}

void Server::CloseListenersLocked() {
  for (auto& e : endpoints_) {
    for (SOCKET s : e.listeners) sockets().closesocket(s);
    e.listeners.clear();
  }
}

RPC_STATUS Server::UseProtseqEp(const std::wstring& protseq, unsigned maxCalls,
                                const std::wstring& endpoint) {
  if (!IsTcpProtseq(protseq)) return RPC_S_PROTSEQ_NOT_SUPPORTED;
  auto port = PortOf(endpoint);
  if (!port) return RPC_S_INVALID_ENDPOINT_FORMAT;
  if (!winsock_->Ok()) return RPC_S_OUT_OF_RESOURCES;
  std::lock_guard<std::mutex> guard(mutex_);
  for (const auto& e : endpoints_) {
    if (e.port == *port) return RPC_S_OK;
  }
  return OpenEndpoint(*port, maxCalls);
}

RPC_STATUS Server::UseProtseq(const std::wstring& protseq, unsigned maxCalls) {
  if (!IsTcpProtseq(protseq)) return RPC_S_PROTSEQ_NOT_SUPPORTED;
  if (!winsock_->Ok()) return RPC_S_OUT_OF_RESOURCES;
  std::lock_guard<std::mutex> guard(mutex_);
  return OpenEndpoint(0, maxCalls);
}

RPC_STATUS Server::InqBindings(std::vector<std::wstring>* bindings) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (endpoints_.empty()) return RPC_S_NO_BINDINGS;
  std::wstring host;
  if (!platform::system().GetComputerNameW(256, &host)) host = L"localhost";
  bindings->clear();
  for (const auto& e : endpoints_)
    bindings->push_back(L"ncacn_ip_tcp:" + host + L"[" + std::to_wstring(e.port) + L"]");
  return RPC_S_OK;
}

std::vector<std::uint16_t> Server::Ports() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::uint16_t> ports;
  for (const auto& e : endpoints_) ports.push_back(e.port);
  return ports;
}

void Server::SetListenAddress(std::wstring address) {
  std::lock_guard<std::mutex> guard(mutex_);
  listenAddress_ = std::move(address);
}

void Server::SetMaxMessage(std::size_t bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  maxMessage_ = bytes;
}

void Server::SetMaxConnections(std::size_t count) {
  std::lock_guard<std::mutex> guard(mutex_);
  maxConnections_ = count;
}

void Server::SetMaxConnectionsPerPeer(std::size_t count) {
  std::lock_guard<std::mutex> guard(mutex_);
  maxConnectionsPerPeer_ = count;
}

void Server::SetMaxPendingPerPeer(std::size_t bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  maxPendingPerPeer_ = bytes;
}

void Server::SetDeadlines(const Deadlines& deadlines) {
  std::lock_guard<std::mutex> guard(mutex_);
  deadlines_ = deadlines;
}

std::size_t Server::Connections() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::size_t n = 0;
  for (const auto& c : connections_) n += c->done ? 0 : 1;
  return n;
}

std::size_t Server::PendingBytes() {
  std::lock_guard<std::mutex> guard(mutex_);
  return pending_;
}

RPC_STATUS Server::RegisterIf(const ServerInterface& definition, unsigned, unsigned) {
  auto copy = std::make_shared<const ServerInterface>(definition);
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto& existing : interfaces_) {
    if (existing->id == definition.id) {
      existing = std::move(copy);
      return RPC_S_OK;
    }
  }
  interfaces_.push_back(std::move(copy));
  return RPC_S_OK;
}

RPC_STATUS Server::UnregisterIf(const SyntaxId* id, bool waitForCalls) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (id == nullptr) {
    interfaces_.clear();
  } else {
    auto it = std::find_if(interfaces_.begin(), interfaces_.end(),
                           [&](const auto& i) { return i->id == *id; });
    if (it == interfaces_.end()) return RPC_S_UNKNOWN_IF;
    interfaces_.erase(it);
  }
  if (waitForCalls) changed_.wait(lock, [&] { return activeCalls_ == 0; });
  return RPC_S_OK;
}

std::shared_ptr<const ServerInterface> Server::Find(const SyntaxId& abstract,
                                                    bool* versionMismatch) {
  std::lock_guard<std::mutex> guard(mutex_);
  *versionMismatch = false;
  for (const auto& i : interfaces_) {
    if (i->id.uuid != abstract.uuid) continue;
    // The same major version, and a client minor version not above the server's.
    if (i->id.major == abstract.major && abstract.minor <= i->id.minor) return i;
    *versionMismatch = true;
  }
  return nullptr;
}

std::shared_ptr<const ServerInterface> Server::FindExact(const SyntaxId& id) {
  bool mismatch;
  return Find(id, &mismatch);
}

RPC_STATUS Server::Listen(unsigned, unsigned maxCalls, bool dontWait) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (listening_) return RPC_S_ALREADY_LISTENING;
    if (endpoints_.empty()) return RPC_S_NO_PROTSEQS_REGISTERED;
    if (acceptThread_.joinable())
      return RPC_S_ALREADY_LISTENING;  // the previous listening has not been waited for
    // Endpoints closed by an earlier stop open again on their ports.
    for (auto& e : endpoints_) {
      if (e.listeners.empty()) {
        RPC_STATUS status = OpenListeners(e);
        if (status != RPC_S_OK) return status;
      }
    }
    listening_ = true;
    stop_ = false;
    maxCalls_ = std::max(1u, maxCalls);
    try {
      acceptThread_ = std::thread([this] { AcceptLoop(); });
    } catch (const std::system_error&) {
      listening_ = false;
      stop_ = true;
      return RPC_S_OUT_OF_RESOURCES;  // no thread to accept with
    }
  }
  if (dontWait) return RPC_S_OK;
  return WaitListen();
}

RPC_STATUS Server::StopListening() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!listening_) return RPC_S_NOT_LISTENING;
  listening_ = false;
  stop_ = true;
  changed_.notify_all();
  return RPC_S_OK;
}

RPC_STATUS Server::WaitListen() {
  std::thread accept;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!acceptThread_.joinable()) return RPC_S_NOT_LISTENING;
    changed_.wait(lock, [&] { return !listening_; });
    accept = std::move(acceptThread_);
  }
  accept.join();
  std::lock_guard<std::mutex> guard(mutex_);
  // No new connections wait in a queue nobody reads: the ports close until the next Listen.
  CloseListenersLocked();
  ReapLocked(true);
  return RPC_S_OK;
}

void Server::ReapLocked(bool all) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (all || (*it)->done) {
      // A connection thread takes the lock only briefly, never while it is joined here
      // for `all` (its stop flag is up and it ends by itself).
      auto connection = *it;
      it = connections_.erase(it);
      if (connection->thread.joinable()) {
        mutex_.unlock();
        connection->thread.join();
        mutex_.lock();
      }
    } else {
      ++it;
    }
  }
}

void Server::AcceptLoop() {
  std::vector<WsaPollFd> polls;
  std::vector<std::uint16_t> ports;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& e : endpoints_) {
      for (SOCKET s : e.listeners) {
        polls.push_back({s, POLLIN, 0});
        ports.push_back(e.port);
      }
    }
  }
  // After a failed accept (out of sockets or memory), the next try waits a little longer, up
  // to a second, so that a listener that stays readable does not spin.
  int backoffMs = 0;
  while (!stop_) {
    if (backoffMs > 0) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(backoffMs), [&] { return stop_.load(); });
      if (stop_) break;
    }
    for (auto& p : polls) p.revents = 0;
    int ready =
        sockets().WSAPoll(polls.data(), static_cast<unsigned long>(polls.size()), kAcceptSliceMs);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ReapLocked(false);
    }
    if (ready <= 0) continue;
    for (std::size_t i = 0; i < polls.size(); ++i) {
      auto& p = polls[i];
      if (!(p.revents & POLLIN)) continue;
      for (;;) {  // every connection waiting on this listener
        SockAddr peer;
        SOCKET s = sockets().accept(p.fd, &peer);
        if (s == INVALID_SOCKET) {
          if (static_cast<DWORD>(sockets().WSAGetLastError()) != WSAEWOULDBLOCK)
            backoffMs = std::min(1000, std::max(10, backoffMs * 2));
          break;
        }
        backoffMs = 0;
        auto connection = std::make_shared<Connection>();
        connection->stream = std::make_unique<Stream>(s);
        connection->peer = sockets().AddressToString(peer);
        connection->port = ports[i];
        connection->accepted = transport::Clock::now();
        std::lock_guard<std::mutex> guard(mutex_);
        std::size_t& fromPeer = peerConnections_[connection->peer];
        if (connections_.size() >= maxConnections_ || fromPeer >= maxConnectionsPerPeer_ || stop_) {
          if (fromPeer == 0) peerConnections_.erase(connection->peer);
          continue;  // closed as it goes out of scope
        }
        ++fromPeer;
        connections_.push_back(connection);
        try {
          connection->thread = std::thread([this, connection] { Serve(connection); });
        } catch (const std::system_error&) {
          // No thread for it: the connection is closed, the server goes on.
          connections_.pop_back();
          if (--fromPeer == 0) peerConnections_.erase(connection->peer);
          backoffMs = std::min(1000, std::max(10, backoffMs * 2));
        }
      }
    }
  }
}

void Server::Forget(const Connection& connection) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = peerConnections_.find(connection.peer);
  if (it != peerConnections_.end() && --it->second == 0) peerConnections_.erase(it);
}

bool Server::Hold(const std::wstring& peer, std::size_t bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::size_t perPeer = maxPendingPerPeer_.value_or(std::max(maxPending_ / 4, maxMessage_));
  std::size_t& held = peerPending_[peer];
  if (bytes > maxPending_ - pending_ || bytes > perPeer - std::min(perPeer, held)) {
    if (held == 0) peerPending_.erase(peer);
    return false;
  }
  pending_ += bytes;
  held += bytes;
  return true;
}

void Server::Unhold(const std::wstring& peer, std::size_t bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  pending_ -= std::min(bytes, pending_);
  auto it = peerPending_.find(peer);
  if (it == peerPending_.end()) return;
  it->second -= std::min(bytes, it->second);
  if (it->second == 0) peerPending_.erase(it);
}

void Server::SetMaxPending(std::size_t bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  maxPending_ = bytes;
}

bool Server::AcquireCall() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return activeCalls_ < maxCalls_ || stop_; });
  if (activeCalls_ >= maxCalls_) return false;
  ++activeCalls_;
  return true;
}

void Server::ReleaseCall() {
  std::lock_guard<std::mutex> guard(mutex_);
  --activeCalls_;
  changed_.notify_all();
}

void Server::Execute(Connection& connection, CallState& call) {
  auto send = [&](const std::vector<std::uint8_t>& bytes) {
    connection.stream->Send(bytes, Deadline::After(kResponseSendTime), &stop_);
  };
  auto fault = [&](std::uint32_t status, bool didNotExecute) {
    if (!(call.flags & pdu::PFC_MAYBE))
      send(pdu::EncodeFault(call.callId, call.contextId, status, didNotExecute));
  };
  const SyntaxId* abstract = nullptr;
  for (const auto& [id, syntax] : call.contexts) {
    if (id == call.contextId) abstract = &syntax;
  }
  std::shared_ptr<const ServerInterface> definition = abstract ? FindExact(*abstract) : nullptr;
  if (!definition) {
    fault(nca_unk_if, true);
    return;
  }
  if (call.opnum >= definition->operations.size() || !definition->operations[call.opnum]) {
    fault(nca_op_rng_error, true);
    return;
  }
  if (!AcquireCall()) {
    fault(nca_server_too_busy, true);
    return;
  }
  CallContext context;
  context.opnum = call.opnum;
  context.object = call.object;
  context.clientAddress = connection.peer;
  ndr::Reader in(call.stub);
  ndr::Writer out;
  std::optional<std::uint32_t> failure;
  bool didNotExecute = false;
  try {
    RPC_STATUS allowed = definition->security ? definition->security(context) : RPC_S_OK;
    if (allowed != RPC_S_OK) {
      didNotExecute = true;
      failure = FaultFromStatus(allowed);
    } else {
      definition->operations[call.opnum](context, in, out);
    }
  } catch (const RpcException& e) {
    failure = FaultFromStatus(e.Status());
    didNotExecute = e.Status() == RPC_X_BAD_STUB_DATA;
  } catch (const std::bad_alloc&) {
    failure = nca_s_fault_remote_no_memory;
  } catch (...) {
    failure = static_cast<std::uint32_t>(RPC_S_CALL_FAILED);
  }
  ReleaseCall();
  call.stub.clear();
  if (failure) {
    fault(*failure, didNotExecute);
    return;
  }
  if (call.flags & pdu::PFC_MAYBE) return;
  std::vector<std::uint8_t> response;
  pdu::AppendResponse(response, call.callId, call.contextId, out.Data(), call.fragment);
  send(response);
}

void Server::Serve(std::shared_ptr<Connection> connection) {
  Stream& stream = *connection->stream;
  CallState call;
  bool bound = false;
  std::size_t maxMessage;
  Deadlines deadlines;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    maxMessage = maxMessage_;
    deadlines = deadlines_;
  }
  const std::wstring& peer = connection->peer;
  transport::Clock::time_point requestStarted;
  // Gives back the memory of the request being received; a small buffer is kept for the
  // next one (outside the budget: a few kilobytes per connection).
  auto release = [&] {
    Unhold(peer, call.held);
    call.held = 0;
    call.stub.clear();
    if (call.stub.capacity() > kKeptBuffer) std::vector<std::uint8_t>().swap(call.stub);
  };
  std::vector<std::uint8_t> fragment;
  auto reply = [&](const std::vector<std::uint8_t>& bytes) {
    return stream.Send(bytes, Deadline::After(kResponseSendTime), &stop_) == Io::kOk;
  };
  // The results of a bind's or alter_context's presentation contexts.
  auto negotiate = [&](const pdu::Bind& bind, pdu::BindAck* ack) {
    for (const auto& element : bind.contexts) {
      pdu::ContextResult result;
      bool mismatch = false;
      auto definition = Find(element.abstract, &mismatch);
      bool ndr = std::find(element.transfers.begin(), element.transfers.end(), Ndr20()) !=
                 element.transfers.end();
      bool features =
          std::any_of(element.transfers.begin(), element.transfers.end(),
                      [](const SyntaxId& t) { return IsBindTimeFeatureNegotiation(t.uuid); });
      if (!definition && !features) {
        result.result = pdu::kProviderRejection;
        result.reason = pdu::kAbstractSyntaxNotSupported;
      } else if (ndr && definition) {
        if (call.contexts.size() >= kMaxContextsPerConnection) {
          result.result = pdu::kProviderRejection;
          result.reason = pdu::kLocalLimitExceeded;
        } else {
          result.transfer = Ndr20();
          auto it = std::find_if(call.contexts.begin(), call.contexts.end(),
                                 [&](const auto& c) { return c.first == element.id; });
          if (it != call.contexts.end())
            it->second = element.abstract;
          else
            call.contexts.emplace_back(element.id, element.abstract);
        }
      } else if (features) {
        result.result = pdu::kNegotiateAck;  // no optional features offered
        result.reason = 0;
      } else {
        result.result = pdu::kProviderRejection;
        result.reason = pdu::kTransferSyntaxesNotSupported;
      }
      ack->results.push_back(result);
    }
  };

  for (;;) {
    std::size_t limit = bound ? call.fragment : pdu::kMaxFragment;
    // A bind within its time of the accept; the rest of a request within its time of the
    // first fragment; otherwise the next PDU within the idle time.
    Deadline deadline = !bound      ? Deadline::At(connection->accepted + deadlines.bind)
                        : call.open ? Deadline::At(requestStarted + deadlines.request)
                                    : Deadline::After(deadlines.idle);
    Io io = stream.ReadFragment(fragment, limit, deadline, &stop_, deadlines.fragment);
    if (io != Io::kOk) break;
    pdu::Header h = pdu::ParseHeader(fragment);
    if (h.version != 5 || h.versionMinor > 1 || !h.LittleEndianAsciiIeee()) {
      if (h.type == pdu::kBind && !bound) {
        reply(pdu::EncodeBindNak(h.callId, h.version != 5 || h.versionMinor > 1
                                               ? pdu::kNakProtocolVersionNotSupported
                                               : pdu::kNakReasonNotSpecified));
      }
      break;
    }
    if (static_cast<std::size_t>(h.authLength) + pdu::kHeaderSize + 8 > fragment.size() &&
        h.authLength != 0)
      break;
    if (h.type == pdu::kBind) {
      if (bound) break;  // one association per connection
      if (h.authLength != 0) {
        reply(pdu::EncodeBindNak(h.callId, pdu::kNakAuthenticationTypeNotRecognized));
        break;
      }
      auto bind = pdu::DecodeBind(fragment);
      if (!bind) {
        reply(pdu::EncodeBindNak(h.callId, pdu::kNakReasonNotSpecified));
        break;
      }
      pdu::BindAck ack;
      call.fragment = pdu::NegotiateFragment(bind->maxXmitFrag, bind->maxRecvFrag);
      ack.maxXmitFrag = ack.maxRecvFrag = call.fragment;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        ack.assocGroup = bind->assocGroup != 0 ? bind->assocGroup : nextAssocGroup_++;
      }
      ack.secondaryAddress = std::to_string(connection->port);  // the port the client reached
      negotiate(*bind, &ack);
      if (!reply(pdu::EncodeBindAck(pdu::kBindAck, h.callId, ack))) break;
      bound = true;
      continue;
    }
    if (!bound) break;  // nothing but a bind opens a connection
    switch (h.type) {
      case pdu::kAlterContext: {
        auto alter = pdu::DecodeBind(fragment);
        if (!alter || h.authLength != 0) goto close;
        pdu::BindAck ack;
        ack.maxXmitFrag = ack.maxRecvFrag = call.fragment;
        ack.assocGroup = alter->assocGroup;
        negotiate(*alter, &ack);
        if (!reply(pdu::EncodeBindAck(pdu::kAlterContextResp, h.callId, ack))) goto close;
        break;
      }
      case pdu::kRequest: {
        auto request = pdu::DecodeRequest(fragment, h);
        if (!request) goto close;
        if (h.flags & pdu::PFC_FIRST_FRAG) {
          if (call.open) goto close;  // a new call before the last fragment of the previous one
          call.open = true;
          requestStarted = transport::Clock::now();
          call.discarding = false;
          call.callId = h.callId;
          call.contextId = request->contextId;
          call.opnum = request->opnum;
          call.flags = h.flags;
          call.object = request->object;
          call.stub.clear();
          if (h.authLength != 0) {
            reply(pdu::EncodeFault(h.callId, request->contextId,
                                   static_cast<std::uint32_t>(RPC_S_ACCESS_DENIED), true));
            call.discarding = true;
          }
        } else if (!call.open || h.callId != call.callId) {
          goto close;
        }
        if (!call.discarding) {
          // The request must fit the message limit, and the memory it takes (what its buffer
          // has room for) every connection's requests together the server's budget and
          // those of one address their share of it.
          std::size_t needed = call.stub.size() + request->stub.size();
          bool fits = request->stub.size() <= maxMessage - call.stub.size();
          if (fits && needed > call.stub.capacity()) {
            // The first fragment's allocation hint, when it is plausible, sizes the buffer
            // once; otherwise it grows by doubling.
            std::size_t hint = request->allocHint;
            bool hinted = (h.flags & pdu::PFC_FIRST_FRAG) && hint >= needed && hint <= maxMessage;
            std::size_t grown =
                hinted ? hint : std::min(maxMessage, std::max(needed, 2 * call.stub.capacity()));
            if (!Hold(peer, grown - std::min(grown, call.held))) {
              grown = needed;
              fits = Hold(peer, grown - std::min(grown, call.held));
            }
            if (fits) {
              call.held = std::max(call.held, grown);
              call.stub.reserve(grown);
            }
          }
          if (!fits) {
            reply(
                pdu::EncodeFault(call.callId, call.contextId, nca_s_fault_remote_no_memory, true));
            call.discarding = true;
            release();
          } else {
            call.stub.insert(call.stub.end(), request->stub.begin(), request->stub.end());
          }
        }
        if (h.flags & pdu::PFC_LAST_FRAG) {
          call.open = false;
          if (!call.discarding) Execute(*connection, call);
          call.discarding = false;
          release();
        }
        break;
      }
      case pdu::kOrphaned:
        if (call.open && h.callId == call.callId) {
          call.open = false;
          release();
        }
        break;
      case pdu::kCoCancel:
      case pdu::kAuth3:
        break;  // calls run to their end; no authentication to complete
      default:
        goto close;  // a PDU a client does not send, or no PDU at all
    }
  }
close:
  release();
  stream.Abort();
  Forget(*connection);
  connection->done = true;
}

}  // namespace rpc
