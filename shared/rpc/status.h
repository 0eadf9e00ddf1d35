// RPC status codes, the exception that carries one, and the mapping between the status of a
// fault PDU and the code a caller sees.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/types.h"

namespace rpc {

using RPC_STATUS = std::int32_t;

inline constexpr RPC_STATUS RPC_S_OK = 0;
inline constexpr RPC_STATUS RPC_S_ACCESS_DENIED = 5;
inline constexpr RPC_STATUS RPC_S_INVALID_HANDLE = 6;
inline constexpr RPC_STATUS RPC_S_OUT_OF_MEMORY = 14;
inline constexpr RPC_STATUS RPC_S_INVALID_ARG = 87;
inline constexpr RPC_STATUS RPC_S_SERVER_OUT_OF_MEMORY = 1130;
inline constexpr RPC_STATUS RPC_S_INVALID_STRING_BINDING = 1700;
inline constexpr RPC_STATUS RPC_S_WRONG_KIND_OF_BINDING = 1701;
inline constexpr RPC_STATUS RPC_S_INVALID_BINDING = 1702;
inline constexpr RPC_STATUS RPC_S_PROTSEQ_NOT_SUPPORTED = 1703;
inline constexpr RPC_STATUS RPC_S_INVALID_RPC_PROTSEQ = 1704;
inline constexpr RPC_STATUS RPC_S_INVALID_STRING_UUID = 1705;
inline constexpr RPC_STATUS RPC_S_INVALID_ENDPOINT_FORMAT = 1706;
inline constexpr RPC_STATUS RPC_S_INVALID_NET_ADDR = 1707;
inline constexpr RPC_STATUS RPC_S_INVALID_TIMEOUT = 1709;
inline constexpr RPC_STATUS RPC_S_ALREADY_LISTENING = 1713;
inline constexpr RPC_STATUS RPC_S_NO_PROTSEQS_REGISTERED = 1714;
inline constexpr RPC_STATUS RPC_S_NOT_LISTENING = 1715;
inline constexpr RPC_STATUS RPC_S_UNKNOWN_IF = 1717;
inline constexpr RPC_STATUS RPC_S_NO_BINDINGS = 1718;
inline constexpr RPC_STATUS RPC_S_CANT_CREATE_ENDPOINT = 1720;
inline constexpr RPC_STATUS RPC_S_OUT_OF_RESOURCES = 1721;
inline constexpr RPC_STATUS RPC_S_SERVER_UNAVAILABLE = 1722;
inline constexpr RPC_STATUS RPC_S_SERVER_TOO_BUSY = 1723;
inline constexpr RPC_STATUS RPC_S_CALL_FAILED = 1726;
inline constexpr RPC_STATUS RPC_S_CALL_FAILED_DNE = 1727;
inline constexpr RPC_STATUS RPC_S_PROTOCOL_ERROR = 1728;
inline constexpr RPC_STATUS RPC_S_UNSUPPORTED_TRANS_SYN = 1730;
inline constexpr RPC_STATUS RPC_S_UNSUPPORTED_TYPE = 1732;
inline constexpr RPC_STATUS RPC_S_INVALID_TAG = 1733;
inline constexpr RPC_STATUS RPC_S_INVALID_BOUND = 1734;
inline constexpr RPC_STATUS RPC_S_DUPLICATE_ENDPOINT = 1740;
inline constexpr RPC_STATUS RPC_S_STRING_TOO_LONG = 1743;
inline constexpr RPC_STATUS RPC_S_PROCNUM_OUT_OF_RANGE = 1745;
inline constexpr RPC_STATUS RPC_S_UNKNOWN_AUTHN_SERVICE = 1747;
inline constexpr RPC_STATUS EPT_S_INVALID_ENTRY = 1751;
inline constexpr RPC_STATUS EPT_S_CANT_PERFORM_OP = 1752;
inline constexpr RPC_STATUS EPT_S_NOT_REGISTERED = 1753;
inline constexpr RPC_STATUS RPC_S_ZERO_DIVIDE = 1767;
inline constexpr RPC_STATUS RPC_S_ADDRESS_ERROR = 1768;
inline constexpr RPC_STATUS RPC_S_FP_DIV_ZERO = 1769;
inline constexpr RPC_STATUS RPC_S_FP_UNDERFLOW = 1770;
inline constexpr RPC_STATUS RPC_S_FP_OVERFLOW = 1771;
inline constexpr RPC_STATUS RPC_X_NULL_REF_POINTER = 1780;
inline constexpr RPC_STATUS RPC_X_BAD_STUB_DATA = 1783;
inline constexpr RPC_STATUS RPC_S_CALL_CANCELLED = 1818;
inline constexpr RPC_STATUS RPC_S_COMM_FAILURE = 1820;
inline constexpr RPC_STATUS EPT_S_CANT_CREATE = 1899;

// Status values of fault PDUs (the NCA status codes of DCE/RPC).
inline constexpr std::uint32_t nca_s_fault_int_div_by_zero = 0x1C000001;
inline constexpr std::uint32_t nca_s_fault_addr_error = 0x1C000002;
inline constexpr std::uint32_t nca_s_fault_fp_div_zero = 0x1C000003;
inline constexpr std::uint32_t nca_s_fault_fp_underflow = 0x1C000004;
inline constexpr std::uint32_t nca_s_fault_fp_overflow = 0x1C000005;
inline constexpr std::uint32_t nca_s_fault_invalid_tag = 0x1C000006;
inline constexpr std::uint32_t nca_s_fault_invalid_bound = 0x1C000007;
inline constexpr std::uint32_t nca_s_fault_cancel = 0x1C00000D;
inline constexpr std::uint32_t nca_s_fault_unspec = 0x1C000012;
inline constexpr std::uint32_t nca_s_fault_context_mismatch = 0x1C00001A;
inline constexpr std::uint32_t nca_s_fault_remote_no_memory = 0x1C00001B;
inline constexpr std::uint32_t nca_s_fault_invalid_pres_context_id = 0x1C00001C;
inline constexpr std::uint32_t nca_comm_failure = 0x1C010001;
inline constexpr std::uint32_t nca_op_rng_error = 0x1C010002;
inline constexpr std::uint32_t nca_unk_if = 0x1C010003;
inline constexpr std::uint32_t nca_proto_error = 0x1C01000B;
inline constexpr std::uint32_t nca_out_args_too_big = 0x1C010013;
inline constexpr std::uint32_t nca_server_too_busy = 0x1C010014;
inline constexpr std::uint32_t nca_string_too_long = 0x1C010015;
inline constexpr std::uint32_t nca_unsupported_type = 0x1C010017;

// The status a caller sees for the status of a fault PDU: the NCA codes become their
// Windows codes, every other value (a Windows code, an application's own code) stays.
RPC_STATUS StatusFromFault(std::uint32_t faultStatus);
// The status a server puts into a fault PDU for a failure with `status`.
std::uint32_t FaultFromStatus(RPC_STATUS status);

// An RPC failure as an exception: what the stubs throw where the Win32 runtime raises one
// (RpcRaiseException), caught with RpcTryExcept.
class RpcException : public std::exception {
 public:
  explicit RpcException(RPC_STATUS status);
  RPC_STATUS Status() const { return status_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  RPC_STATUS status_;
  std::string text_;
};

[[noreturn]] void RpcRaiseException(RPC_STATUS status);

// Runs `body` as the Win32 RpcTryExcept block does: 0 when it returns, the status of an
// RpcException it throws. Other exceptions pass through.
template <typename Body>
RPC_STATUS RpcTryExcept(Body&& body) {
  try {
    body();
    return RPC_S_OK;
  } catch (const RpcException& e) {
    return e.Status();
  }
}

}  // namespace rpc
