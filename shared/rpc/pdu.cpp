#include "shared/rpc/pdu.h"

#include <algorithm>
#include <cstring>

namespace rpc::pdu {
namespace {

// Little-endian reads within a bounded fragment.
class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> bytes, std::size_t at = 0)
      : bytes_(bytes), at_(at) {}
  bool Has(std::size_t n) const { return at_ <= bytes_.size() && n <= bytes_.size() - at_; }
  std::size_t At() const { return at_; }
  void Skip(std::size_t n) { at_ += n; }
  std::uint8_t U8() { return bytes_[at_++]; }
  std::uint16_t U16() {
    std::uint16_t v = static_cast<std::uint16_t>(bytes_[at_] | (bytes_[at_ + 1] << 8));
    at_ += 2;
    return v;
  }
  std::uint32_t U32() {
    std::uint32_t v = static_cast<std::uint32_t>(bytes_[at_]) |
                      (static_cast<std::uint32_t>(bytes_[at_ + 1]) << 8) |
                      (static_cast<std::uint32_t>(bytes_[at_ + 2]) << 16) |
                      (static_cast<std::uint32_t>(bytes_[at_ + 3]) << 24);
    at_ += 4;
    return v;
  }
  Uuid ReadUuid() {
    Uuid u;
    std::memcpy(u.bytes.data(), bytes_.data() + at_, 16);
    at_ += 16;
    return u;
  }
  SyntaxId Syntax() {
    SyntaxId s;
    s.uuid = ReadUuid();
    s.major = U16();
    s.minor = U16();
    return s;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_;
};

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutSyntax(std::vector<std::uint8_t>& out, const SyntaxId& s) {
  out.insert(out.end(), s.uuid.bytes.begin(), s.uuid.bytes.end());
  Put16(out, s.major);
  Put16(out, s.minor);
}

// The body of a fragment: the bytes after the header up to the authentication trailer.
std::size_t BodyEnd(std::span<const std::uint8_t> fragment, const Header& h) {
  std::size_t end = fragment.size();
  if (h.authLength > 0) {
    std::size_t trailer = static_cast<std::size_t>(h.authLength) + 8;
    end = trailer > end ? 0 : end - trailer;
  }
  return end;
}

}  // namespace

Header ParseHeader(std::span<const std::uint8_t> b) {
  Header h;
  h.version = b[0];
  h.versionMinor = b[1];
  h.type = b[2];
  h.flags = b[3];
  std::memcpy(h.drep, b.data() + 4, 4);
  bool big = (h.drep[0] & 0xF0) == 0;
  auto u16 = [&](std::size_t at) {
    return big ? static_cast<std::uint16_t>((b[at] << 8) | b[at + 1])
               : static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
  };
  h.fragLength = u16(8);
  h.authLength = u16(10);
  if (big) {
    h.callId = (static_cast<std::uint32_t>(b[12]) << 24) |
               (static_cast<std::uint32_t>(b[13]) << 16) |
               (static_cast<std::uint32_t>(b[14]) << 8) | b[15];
  } else {
    h.callId = static_cast<std::uint32_t>(b[12]) | (static_cast<std::uint32_t>(b[13]) << 8) |
               (static_cast<std::uint32_t>(b[14]) << 16) |
               (static_cast<std::uint32_t>(b[15]) << 24);
  }
  return h;
}

void PutHeader(std::vector<std::uint8_t>& out, const Header& h) {
  out.push_back(h.version);
  out.push_back(h.versionMinor);
  out.push_back(h.type);
  out.push_back(h.flags);
  out.insert(out.end(), h.drep, h.drep + 4);
  Put16(out, h.fragLength);
  Put16(out, h.authLength);
  Put32(out, h.callId);
}

void SetFragLength(std::vector<std::uint8_t>& out, std::size_t start) {
  auto n = static_cast<std::uint16_t>(out.size() - start);
  out[start + 8] = static_cast<std::uint8_t>(n);
  out[start + 9] = static_cast<std::uint8_t>(n >> 8);
}

std::vector<std::uint8_t> EncodeBind(std::uint8_t type, std::uint32_t callId, const Bind& bind) {
  std::vector<std::uint8_t> out;
  Header h;
  h.type = type;
  h.flags = PFC_FIRST_FRAG | PFC_LAST_FRAG;
  h.callId = callId;
  PutHeader(out, h);
  Put16(out, bind.maxXmitFrag);
  Put16(out, bind.maxRecvFrag);
  Put32(out, bind.assocGroup);
  out.push_back(static_cast<std::uint8_t>(bind.contexts.size()));
  out.push_back(0);
  Put16(out, 0);
  for (const auto& c : bind.contexts) {
    Put16(out, c.id);
    out.push_back(static_cast<std::uint8_t>(c.transfers.size()));
    out.push_back(0);
    PutSyntax(out, c.abstract);
    for (const auto& t : c.transfers) PutSyntax(out, t);
  }
  SetFragLength(out, 0);
  return out;
}

std::optional<Bind> DecodeBind(std::span<const std::uint8_t> fragment) {
  Header h = ParseHeader(fragment);
  std::span<const std::uint8_t> body = fragment.first(BodyEnd(fragment, h));
  Cursor c(body, kHeaderSize);
  if (!c.Has(12)) return std::nullopt;
  Bind bind;
  bind.maxXmitFrag = c.U16();
  bind.maxRecvFrag = c.U16();
  bind.assocGroup = c.U32();
  std::uint8_t count = c.U8();
  c.Skip(3);
  for (std::uint8_t i = 0; i < count; ++i) {
    if (!c.Has(24)) return std::nullopt;
    ContextElement e;
    e.id = c.U16();
    std::uint8_t transfers = c.U8();
    c.Skip(1);
    e.abstract = c.Syntax();
    if (!c.Has(static_cast<std::size_t>(transfers) * 20)) return std::nullopt;
    for (std::uint8_t t = 0; t < transfers; ++t) e.transfers.push_back(c.Syntax());
    bind.contexts.push_back(std::move(e));
  }
  return bind;
}

std::vector<std::uint8_t> EncodeBindAck(std::uint8_t type, std::uint32_t callId,
                                        const BindAck& ack) {
  std::vector<std::uint8_t> out;
  Header h;
  h.type = type;
  h.flags = PFC_FIRST_FRAG | PFC_LAST_FRAG;
  h.callId = callId;
  PutHeader(out, h);
  Put16(out, ack.maxXmitFrag);
  Put16(out, ack.maxRecvFrag);
  Put32(out, ack.assocGroup);
  if (ack.secondaryAddress.empty()) {
    Put16(out, 0);
  } else {
    Put16(out, static_cast<std::uint16_t>(ack.secondaryAddress.size() + 1));
    out.insert(out.end(), ack.secondaryAddress.begin(), ack.secondaryAddress.end());
    out.push_back(0);
  }
  while (out.size() % 4 != 0) out.push_back(0);
  out.push_back(static_cast<std::uint8_t>(ack.results.size()));
  out.push_back(0);
  Put16(out, 0);
  for (const auto& r : ack.results) {
    Put16(out, r.result);
    Put16(out, r.reason);
    PutSyntax(out, r.transfer);
  }
  SetFragLength(out, 0);
  return out;
}

std::optional<BindAck> DecodeBindAck(std::span<const std::uint8_t> fragment) {
  Header h = ParseHeader(fragment);
  std::span<const std::uint8_t> body = fragment.first(BodyEnd(fragment, h));
  Cursor c(body, kHeaderSize);
  if (!c.Has(10)) return std::nullopt;
  BindAck ack;
  ack.maxXmitFrag = c.U16();
  ack.maxRecvFrag = c.U16();
  ack.assocGroup = c.U32();
  std::uint16_t addressLength = c.U16();
  if (!c.Has(addressLength)) return std::nullopt;
  std::string address(reinterpret_cast<const char*>(body.data() + c.At()), addressLength);
  c.Skip(addressLength);
  while (!address.empty() && address.back() == '\0') address.pop_back();
  ack.secondaryAddress = std::move(address);
  c.Skip((4 - c.At() % 4) % 4);
  if (!c.Has(4)) return std::nullopt;
  std::uint8_t count = c.U8();
  c.Skip(3);
  if (!c.Has(static_cast<std::size_t>(count) * 24)) return std::nullopt;
  for (std::uint8_t i = 0; i < count; ++i) {
    ContextResult r;
    r.result = c.U16();
    r.reason = c.U16();
    r.transfer = c.Syntax();
    ack.results.push_back(r);
  }
  return ack;
}

std::vector<std::uint8_t> EncodeBindNak(std::uint32_t callId, std::uint16_t reason) {
  std::vector<std::uint8_t> out;
  Header h;
  h.type = kBindNak;
  h.flags = PFC_FIRST_FRAG | PFC_LAST_FRAG;
  h.callId = callId;
  PutHeader(out, h);
  Put16(out, reason);
  out.push_back(1);  // one supported protocol version: 5.0
  out.push_back(5);
  out.push_back(0);
  out.push_back(0);
  SetFragLength(out, 0);
  return out;
}

std::optional<std::uint16_t> DecodeBindNak(std::span<const std::uint8_t> fragment) {
  Cursor c(fragment, kHeaderSize);
  if (!c.Has(2)) return std::nullopt;
  return c.U16();
}

std::optional<Request> DecodeRequest(std::span<const std::uint8_t> fragment, const Header& h) {
  std::span<const std::uint8_t> body = fragment.first(BodyEnd(fragment, h));
  Cursor c(body, kHeaderSize);
  if (!c.Has(8)) return std::nullopt;
  Request r;
  r.allocHint = c.U32();
  r.contextId = c.U16();
  r.opnum = c.U16();
  if (h.flags & PFC_OBJECT_UUID) {
    if (!c.Has(16)) return std::nullopt;
    r.object = c.ReadUuid();
  }
  r.stub = body.subspan(c.At());
  return r;
}

std::optional<Response> DecodeResponse(std::span<const std::uint8_t> fragment, const Header& h) {
  std::span<const std::uint8_t> body = fragment.first(BodyEnd(fragment, h));
  Cursor c(body, kHeaderSize);
  if (!c.Has(8)) return std::nullopt;
  Response r;
  r.allocHint = c.U32();
  r.contextId = c.U16();
  r.cancelCount = c.U8();
  c.Skip(1);
  r.stub = body.subspan(c.At());
  return r;
}

std::optional<Fault> DecodeFault(std::span<const std::uint8_t> fragment, const Header&) {
  // 28 bytes at least: some peers leave out the reserved word after the status.
  Cursor c(fragment, kHeaderSize);
  if (!c.Has(12)) return std::nullopt;
  Fault f;
  c.Skip(4);
  f.contextId = c.U16();
  c.Skip(2);
  f.status = c.U32();
  return f;
}

std::vector<std::uint8_t> EncodeFault(std::uint32_t callId, std::uint16_t contextId,
                                      std::uint32_t status, bool didNotExecute) {
  std::vector<std::uint8_t> out;
  out.reserve(kFaultSize);
  Header h;
  h.type = kFault;
  h.flags = PFC_FIRST_FRAG | PFC_LAST_FRAG | (didNotExecute ? PFC_DID_NOT_EXECUTE : 0);
  h.callId = callId;
  PutHeader(out, h);
  Put32(out, 0);  // alloc_hint
  Put16(out, contextId);
  out.push_back(0);  // cancel_count
  out.push_back(0);
  Put32(out, status);
  Put32(out, 0);
  SetFragLength(out, 0);
  return out;
}

std::vector<std::uint8_t> EncodeBare(std::uint8_t type, std::uint8_t flags, std::uint32_t callId) {
  std::vector<std::uint8_t> out;
  Header h;
  h.type = type;
  h.flags = flags;
  h.callId = callId;
  PutHeader(out, h);
  SetFragLength(out, 0);
  return out;
}

namespace {

void AppendFragments(std::vector<std::uint8_t>& out, std::uint8_t type, std::uint32_t callId,
                     std::uint16_t contextId, std::uint16_t opnum,
                     const std::optional<Uuid>& object, std::span<const std::uint8_t> stub,
                     std::uint16_t fragSize) {
  std::size_t headerSize = kRequestHeaderSize + (object ? 16 : 0);
  std::size_t room =
      (static_cast<std::size_t>(fragSize) - headerSize) & ~static_cast<std::size_t>(7);
  std::size_t fragments = stub.empty() ? 1 : (stub.size() + room - 1) / room;
  out.reserve(out.size() + stub.size() + fragments * headerSize);
  std::size_t offset = 0;
  do {
    std::size_t n = std::min(room, stub.size() - offset);
    std::size_t start = out.size();
    Header h;
    h.type = type;
    h.callId = callId;
    if (offset == 0) h.flags |= PFC_FIRST_FRAG;
    if (offset + n == stub.size()) h.flags |= PFC_LAST_FRAG;
    if (object) h.flags |= PFC_OBJECT_UUID;
    PutHeader(out, h);
    Put32(out, static_cast<std::uint32_t>(stub.size() - offset));  // alloc_hint
    Put16(out, contextId);
    if (type == kRequest) {
      Put16(out, opnum);
      if (object) out.insert(out.end(), object->bytes.begin(), object->bytes.end());
    } else {
      out.push_back(0);  // cancel_count
      out.push_back(0);
    }
    out.insert(out.end(), stub.begin() + static_cast<long>(offset),
               stub.begin() + static_cast<long>(offset + n));
    SetFragLength(out, start);
    offset += n;
  } while (offset < stub.size());
}

}  // namespace

void AppendRequest(std::vector<std::uint8_t>& out, std::uint32_t callId, std::uint16_t contextId,
                   std::uint16_t opnum, const std::optional<Uuid>& object,
                   std::span<const std::uint8_t> stub, std::uint16_t fragSize) {
  AppendFragments(out, kRequest, callId, contextId, opnum, object, stub, fragSize);
}

void AppendResponse(std::vector<std::uint8_t>& out, std::uint32_t callId, std::uint16_t contextId,
                    std::span<const std::uint8_t> stub, std::uint16_t fragSize) {
  AppendFragments(out, kResponse, callId, contextId, 0, std::nullopt, stub, fragSize);
}

std::uint16_t NegotiateFragment(std::uint16_t maxXmit, std::uint16_t maxRecv) {
  std::uint16_t n = std::min(maxXmit, maxRecv);
  n = std::max(n, kMinFragment);
  n = std::min(n, kMaxFragment);
  return static_cast<std::uint16_t>(n & ~7u);
}

}  // namespace rpc::pdu
