#include "shared/rpc/client.h"

#include <algorithm>

#include "shared/rpc/ndr.h"
#include "shared/rpc/pdu.h"
#include "shared/rpc/transport.h"

namespace rpc {

using transport::Deadline;
using transport::Io;
using transport::Stream;

namespace {

// The largest fragment a client reads: any length the 16-bit field can state.
constexpr std::size_t kMaxIncomingFragment = 0xFFFF;

RPC_STATUS StatusOfNak(std::uint16_t reason) {
  switch (reason) {
    case 1:  // temporary congestion
    case pdu::kNakLocalLimitExceeded:
      return RPC_S_SERVER_TOO_BUSY;
    case pdu::kNakProtocolVersionNotSupported:
      return RPC_S_PROTOCOL_ERROR;
    case pdu::kNakAuthenticationTypeNotRecognized:
      return RPC_S_UNKNOWN_AUTHN_SERVICE;
    default:
      return RPC_S_CALL_FAILED_DNE;
  }
}

RPC_STATUS StatusOfRejection(const pdu::ContextResult& r) {
  if (r.reason == pdu::kTransferSyntaxesNotSupported) return RPC_S_UNSUPPORTED_TRANS_SYN;
  return RPC_S_UNKNOWN_IF;
}

// A fragment that is plausible protocol at all: version 5, our data representation.
bool Plausible(const std::vector<std::uint8_t>& fragment, pdu::Header* h) {
  *h = pdu::ParseHeader(fragment);
  return h->version == 5 && h->LittleEndianAsciiIeee() &&
         static_cast<std::size_t>(h->authLength) + pdu::kHeaderSize <= fragment.size();
}

}  // namespace

std::chrono::milliseconds ConnectTimeoutOfLevel(unsigned level) {
  static constexpr int kSeconds[] = {2, 3, 4, 6, 8, 21, 30, 45, 60, 90};
  if (level >= RPC_C_BINDING_INFINITE_TIMEOUT) return std::chrono::hours(24);
  return std::chrono::seconds(kSeconds[level]);
}

struct Binding::Association {
  std::unique_ptr<Stream> stream;
  std::uint16_t xmitFrag = pdu::kMaxFragment;
  std::uint32_t assocGroup = 0;
  std::vector<std::pair<SyntaxId, std::uint16_t>> contexts;
  std::uint16_t nextContext = 0;
};

Binding::Binding(std::wstring host, std::wstring endpoint)
    : host_(std::move(host)), endpoint_(std::move(endpoint)) {}

Binding::~Binding() = default;

void Binding::SetComTimeout(unsigned level) {
  std::lock_guard<std::mutex> guard(mutex_);
  comTimeout_ = level;
}

void Binding::SetCallTimeout(std::uint32_t milliseconds) {
  std::lock_guard<std::mutex> guard(mutex_);
  callTimeout_ = milliseconds;
}

void Binding::SetObject(const std::optional<Uuid>& object) {
  std::lock_guard<std::mutex> guard(mutex_);
  object_ = object && !object->IsNil() ? object : std::nullopt;
}

void Binding::SetMaxMessage(std::size_t bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  maxMessage_ = bytes;
}

void Binding::SetSourceAddress(std::wstring address) {
  std::lock_guard<std::mutex> guard(mutex_);
  source_ = std::move(address);
}

void Binding::Disconnect() {
  std::lock_guard<std::mutex> guard(mutex_);
  association_.reset();
}

void Binding::Fail(RPC_STATUS status) {
  association_.reset();
  throw RpcException(status);
}

void Binding::Connect(const SyntaxId& interfaceId, const Deadline& callDeadline) {
  auto connectTime = ConnectTimeoutOfLevel(comTimeout_);
  std::uint16_t port = 0;
  if (endpoint_.empty()) {
    RPC_STATUS status = EptMap(host_, interfaceId, connectTime, &port);
    if (status != RPC_S_OK) throw RpcException(status);
  } else {
    // The endpoint was checked when the binding was made.
    port = static_cast<std::uint16_t>(std::stoul(endpoint_));
  }
  Deadline deadline = Deadline::After(connectTime).Min(callDeadline);
  auto association = std::make_unique<Association>();
  RPC_STATUS status = Stream::Connect(host_, port, connectTime, &association->stream, source_);
  if (status != RPC_S_OK) throw RpcException(status);

  pdu::Bind bind;
  bind.contexts.push_back({0, interfaceId, {Ndr20()}});
  std::uint32_t callId = nextCallId_++;
  auto bytes = pdu::EncodeBind(pdu::kBind, callId, bind);
  if (association->stream->Send(bytes, deadline) != Io::kOk)
    throw RpcException(RPC_S_SERVER_UNAVAILABLE);
  std::vector<std::uint8_t> fragment;
  Io io = association->stream->ReadFragment(fragment, kMaxIncomingFragment, deadline);
  if (io == Io::kTimeout && callDeadline.Passed()) throw RpcException(RPC_S_CALL_CANCELLED);
  if (io == Io::kTimeout || io == Io::kClosed) throw RpcException(RPC_S_SERVER_UNAVAILABLE);
  pdu::Header h;
  if (io != Io::kOk || !Plausible(fragment, &h) || h.callId != callId)
    throw RpcException(RPC_S_PROTOCOL_ERROR);
  if (h.type == pdu::kBindNak) {
    auto reason = pdu::DecodeBindNak(fragment);
    throw RpcException(reason ? StatusOfNak(*reason) : RPC_S_PROTOCOL_ERROR);
  }
  if (h.type != pdu::kBindAck) throw RpcException(RPC_S_PROTOCOL_ERROR);
  auto ack = pdu::DecodeBindAck(fragment);
  if (!ack || ack->results.size() != 1 || ack->maxRecvFrag < 64)
    throw RpcException(RPC_S_PROTOCOL_ERROR);
  if (ack->results[0].result != pdu::kAcceptance)
    throw RpcException(StatusOfRejection(ack->results[0]));
  association->xmitFrag =
      static_cast<std::uint16_t>(std::min<unsigned>(pdu::kMaxFragment, ack->maxRecvFrag) & ~7u);
  association->assocGroup = ack->assocGroup;
  association->contexts.emplace_back(interfaceId, 0);
  association->nextContext = 1;
  association_ = std::move(association);
}

std::uint16_t Binding::ContextFor(const SyntaxId& interfaceId, const Deadline& deadline) {
  for (const auto& [id, context] : association_->contexts) {
    if (id == interfaceId) return context;
  }
  // Another interface on the same connection: alter_context.
  pdu::Bind alter;
  alter.assocGroup = association_->assocGroup;
  std::uint16_t context = association_->nextContext++;
  alter.contexts.push_back({context, interfaceId, {Ndr20()}});
  std::uint32_t callId = nextCallId_++;
  auto bytes = pdu::EncodeBind(pdu::kAlterContext, callId, alter);
  Io io = association_->stream->Send(bytes, deadline);
  if (io == Io::kTimeout) Fail(RPC_S_CALL_CANCELLED);
  if (io != Io::kOk) Fail(RPC_S_CALL_FAILED_DNE);
  std::vector<std::uint8_t> fragment;
  io = association_->stream->ReadFragment(fragment, kMaxIncomingFragment, deadline);
  if (io == Io::kTimeout) Fail(RPC_S_CALL_CANCELLED);
  if (io == Io::kClosed) Fail(RPC_S_CALL_FAILED_DNE);
  pdu::Header h;
  if (io != Io::kOk || !Plausible(fragment, &h) || h.callId != callId ||
      h.type != pdu::kAlterContextResp)
    Fail(RPC_S_PROTOCOL_ERROR);
  auto ack = pdu::DecodeBindAck(fragment);
  if (!ack || ack->results.size() != 1) Fail(RPC_S_PROTOCOL_ERROR);
  if (ack->results[0].result != pdu::kAcceptance)
    throw RpcException(StatusOfRejection(ack->results[0]));
  association_->contexts.emplace_back(interfaceId, context);
  return context;
}

std::vector<std::uint8_t> Binding::Call(const SyntaxId& interfaceId, std::uint16_t opnum,
                                        std::span<const std::uint8_t> stub) {
  std::lock_guard<std::mutex> guard(mutex_);
  Deadline deadline = callTimeout_ != 0 ? Deadline::After(std::chrono::milliseconds(callTimeout_))
                                        : Deadline::Never();
  // A connection that the server closed while it sat unused is replaced before the call.
  if (association_ && association_->stream->Stale()) association_.reset();
  if (!association_) Connect(interfaceId, deadline);
  std::uint16_t context = ContextFor(interfaceId, deadline);

  std::uint32_t callId = nextCallId_++;
  std::vector<std::uint8_t> request;
  pdu::AppendRequest(request, callId, context, opnum, object_, stub, association_->xmitFrag);
  Io io = association_->stream->Send(request, deadline);
  if (io == Io::kTimeout) Fail(RPC_S_CALL_CANCELLED);
  if (io != Io::kOk) Fail(RPC_S_CALL_FAILED);

  std::vector<std::uint8_t> answer;
  std::vector<std::uint8_t> fragment;
  bool started = false;
  for (;;) {
    io = association_->stream->ReadFragment(fragment, kMaxIncomingFragment, deadline);
    if (io == Io::kTimeout) {
      // Tell the server the call is abandoned, then give up the connection.
      auto orphaned =
          pdu::EncodeBare(pdu::kOrphaned, pdu::PFC_FIRST_FRAG | pdu::PFC_LAST_FRAG, callId);
      association_->stream->Send(orphaned, Deadline::After(std::chrono::milliseconds(100)));
      Fail(RPC_S_CALL_CANCELLED);
    }
    if (io == Io::kClosed) Fail(RPC_S_CALL_FAILED);
    pdu::Header h;
    if (io != Io::kOk || !Plausible(fragment, &h)) Fail(RPC_S_PROTOCOL_ERROR);
    if (h.type == pdu::kShutdown) Fail(RPC_S_CALL_FAILED);
    if (h.callId != callId) Fail(RPC_S_PROTOCOL_ERROR);
    if (h.type == pdu::kFault) {
      auto fault = pdu::DecodeFault(fragment, h);
      if (!fault) Fail(RPC_S_PROTOCOL_ERROR);
      throw RpcException(StatusFromFault(fault->status));
    }
    if (h.type != pdu::kResponse) Fail(RPC_S_PROTOCOL_ERROR);
    auto response = pdu::DecodeResponse(fragment, h);
    if (!response || (!started && !(h.flags & pdu::PFC_FIRST_FRAG))) Fail(RPC_S_PROTOCOL_ERROR);
    if (!started) {
      answer.reserve(std::min<std::size_t>(response->allocHint, 1u << 20));
      started = true;
    }
    if (response->stub.size() > maxMessage_ - answer.size()) Fail(RPC_S_OUT_OF_MEMORY);
    answer.insert(answer.end(), response->stub.begin(), response->stub.end());
    if (h.flags & pdu::PFC_LAST_FRAG) break;
  }
  return answer;
}

}  // namespace rpc
