// The PDUs of the connection-oriented protocol: their header, the bind family (bind, bind_ack,
// bind_nak, alter_context, alter_context_resp), request, response and fault, and the
// fragmentation of stub data into requests and responses.
//
// Decoders take the bytes of one whole fragment and return nullopt for anything malformed;
// they never read past the fragment nor trust a count that the fragment cannot hold.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "shared/rpc/uuid.h"

namespace rpc::pdu {

enum Type : std::uint8_t {
  kRequest = 0,
  kResponse = 2,
  kFault = 3,
  kBind = 11,
  kBindAck = 12,
  kBindNak = 13,
  kAlterContext = 14,
  kAlterContextResp = 15,
  kAuth3 = 16,
  kShutdown = 17,
  kCoCancel = 18,
  kOrphaned = 19,
};

inline constexpr std::uint8_t PFC_FIRST_FRAG = 0x01;
inline constexpr std::uint8_t PFC_LAST_FRAG = 0x02;
inline constexpr std::uint8_t PFC_PENDING_CANCEL = 0x04;
inline constexpr std::uint8_t PFC_CONC_MPX = 0x10;
inline constexpr std::uint8_t PFC_DID_NOT_EXECUTE = 0x20;
inline constexpr std::uint8_t PFC_MAYBE = 0x40;
inline constexpr std::uint8_t PFC_OBJECT_UUID = 0x80;

inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kRequestHeaderSize = 24;  // without the object UUID
inline constexpr std::size_t kResponseHeaderSize = 24;
inline constexpr std::size_t kFaultSize = 32;
// Fragment sizes: what this runtime offers on TCP, and the least it agrees to.
inline constexpr std::uint16_t kMaxFragment = 5840;
inline constexpr std::uint16_t kMinFragment = 1432;  // the protocol's least

// Reasons of a bind_nak.
inline constexpr std::uint16_t kNakReasonNotSpecified = 0;
inline constexpr std::uint16_t kNakLocalLimitExceeded = 2;
inline constexpr std::uint16_t kNakProtocolVersionNotSupported = 4;
inline constexpr std::uint16_t kNakAuthenticationTypeNotRecognized = 8;

// Results and reasons of one presentation context in a bind_ack.
inline constexpr std::uint16_t kAcceptance = 0;
inline constexpr std::uint16_t kProviderRejection = 2;
inline constexpr std::uint16_t kNegotiateAck = 3;
inline constexpr std::uint16_t kReasonNotSpecified = 0;
inline constexpr std::uint16_t kAbstractSyntaxNotSupported = 1;
inline constexpr std::uint16_t kTransferSyntaxesNotSupported = 2;
inline constexpr std::uint16_t kLocalLimitExceeded = 3;

struct Header {
  std::uint8_t version = 5;
  std::uint8_t versionMinor = 0;
  std::uint8_t type = 0;
  std::uint8_t flags = 0;
  std::uint8_t drep[4] = {0x10, 0, 0, 0};
  std::uint16_t fragLength = 0;
  std::uint16_t authLength = 0;
  std::uint32_t callId = 0;

  // Little-endian integers, ASCII characters, IEEE floats: the only representation this
  // runtime reads.
  bool LittleEndianAsciiIeee() const { return drep[0] == 0x10 && drep[1] == 0; }
};

// The header at the start of `bytes` (at least 16 of them). The fragment length is read in
// the byte order the header declares.
Header ParseHeader(std::span<const std::uint8_t> bytes);
void PutHeader(std::vector<std::uint8_t>& out, const Header& header);
// Sets the fragment length of the PDU that starts at `start` to what follows it in `out`.
void SetFragLength(std::vector<std::uint8_t>& out, std::size_t start);

struct ContextElement {
  std::uint16_t id = 0;
  SyntaxId abstract;
  std::vector<SyntaxId> transfers;
};

struct Bind {  // bind and alter_context
  std::uint16_t maxXmitFrag = kMaxFragment;
  std::uint16_t maxRecvFrag = kMaxFragment;
  std::uint32_t assocGroup = 0;
  std::vector<ContextElement> contexts;
};

struct ContextResult {
  std::uint16_t result = kAcceptance;
  std::uint16_t reason = 0;
  SyntaxId transfer;
};

struct BindAck {  // bind_ack and alter_context_resp
  std::uint16_t maxXmitFrag = kMaxFragment;
  std::uint16_t maxRecvFrag = kMaxFragment;
  std::uint32_t assocGroup = 0;
  std::string secondaryAddress;  // without its terminating zero
  std::vector<ContextResult> results;
};

struct Request {
  std::uint32_t allocHint = 0;
  std::uint16_t contextId = 0;
  std::uint16_t opnum = 0;
  std::optional<Uuid> object;
  std::span<const std::uint8_t> stub;  // a view into the fragment
};

struct Response {
  std::uint32_t allocHint = 0;
  std::uint16_t contextId = 0;
  std::uint8_t cancelCount = 0;
  std::span<const std::uint8_t> stub;
};

struct Fault {
  std::uint16_t contextId = 0;
  std::uint32_t status = 0;
};

std::vector<std::uint8_t> EncodeBind(std::uint8_t type, std::uint32_t callId, const Bind& bind);
std::optional<Bind> DecodeBind(std::span<const std::uint8_t> fragment);
std::vector<std::uint8_t> EncodeBindAck(std::uint8_t type, std::uint32_t callId,
                                        const BindAck& ack);
std::optional<BindAck> DecodeBindAck(std::span<const std::uint8_t> fragment);
std::vector<std::uint8_t> EncodeBindNak(std::uint32_t callId, std::uint16_t reason);
// The reason of a bind_nak; nullopt when malformed.
std::optional<std::uint16_t> DecodeBindNak(std::span<const std::uint8_t> fragment);

std::optional<Request> DecodeRequest(std::span<const std::uint8_t> fragment, const Header& h);
std::optional<Response> DecodeResponse(std::span<const std::uint8_t> fragment, const Header& h);
std::optional<Fault> DecodeFault(std::span<const std::uint8_t> fragment, const Header& h);

std::vector<std::uint8_t> EncodeFault(std::uint32_t callId, std::uint16_t contextId,
                                      std::uint32_t status, bool didNotExecute);
// A PDU of only a header (shutdown, orphaned, co_cancel).
std::vector<std::uint8_t> EncodeBare(std::uint8_t type, std::uint8_t flags, std::uint32_t callId);

// The request fragments of one call, appended to `out`: every fragment at most `fragSize`
// bytes, the stub data of all but the last a multiple of 8 bytes.
void AppendRequest(std::vector<std::uint8_t>& out, std::uint32_t callId, std::uint16_t contextId,
                   std::uint16_t opnum, const std::optional<Uuid>& object,
                   std::span<const std::uint8_t> stub, std::uint16_t fragSize);
void AppendResponse(std::vector<std::uint8_t>& out, std::uint32_t callId, std::uint16_t contextId,
                    std::span<const std::uint8_t> stub, std::uint16_t fragSize);

// The fragment size both sides use after a bind offering these sizes: the smaller of the two,
// at least kMinFragment, at most kMaxFragment, a multiple of 8.
std::uint16_t NegotiateFragment(std::uint16_t maxXmit, std::uint16_t maxRecv);

}  // namespace rpc::pdu
