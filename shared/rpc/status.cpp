#include "shared/rpc/status.h"

namespace rpc {

RPC_STATUS StatusFromFault(std::uint32_t faultStatus) {
  switch (faultStatus) {
    case nca_s_fault_int_div_by_zero:
      return RPC_S_ZERO_DIVIDE;
    case nca_s_fault_addr_error:
      return RPC_S_ADDRESS_ERROR;
    case nca_s_fault_fp_div_zero:
      return RPC_S_FP_DIV_ZERO;
    case nca_s_fault_fp_underflow:
      return RPC_S_FP_UNDERFLOW;
    case nca_s_fault_fp_overflow:
      return RPC_S_FP_OVERFLOW;
    case nca_s_fault_invalid_tag:
      return RPC_S_INVALID_TAG;
    case nca_s_fault_invalid_bound:
      return RPC_S_INVALID_BOUND;
    case nca_s_fault_cancel:
      return RPC_S_CALL_CANCELLED;
    case nca_s_fault_unspec:
      return RPC_S_CALL_FAILED;
    case nca_s_fault_context_mismatch:
      return RPC_S_INVALID_HANDLE;
    case nca_s_fault_remote_no_memory:
    case nca_out_args_too_big:
      return RPC_S_SERVER_OUT_OF_MEMORY;
    case nca_s_fault_invalid_pres_context_id:
    case nca_unk_if:
      return RPC_S_UNKNOWN_IF;
    case nca_comm_failure:
      return RPC_S_COMM_FAILURE;
    case nca_op_rng_error:
      return RPC_S_PROCNUM_OUT_OF_RANGE;
    case nca_proto_error:
      return RPC_S_PROTOCOL_ERROR;
    case nca_server_too_busy:
      return RPC_S_SERVER_TOO_BUSY;
    case nca_string_too_long:
      return RPC_S_STRING_TOO_LONG;
    case nca_unsupported_type:
      return RPC_S_UNSUPPORTED_TYPE;
    default:
      return static_cast<RPC_STATUS>(faultStatus);
  }
}

std::uint32_t FaultFromStatus(RPC_STATUS status) {
  switch (status) {
    case RPC_S_PROCNUM_OUT_OF_RANGE:
      return nca_op_rng_error;
    case RPC_S_UNKNOWN_IF:
      return nca_unk_if;
    case RPC_S_PROTOCOL_ERROR:
      return nca_proto_error;
    case RPC_S_SERVER_TOO_BUSY:
      return nca_server_too_busy;
    case RPC_S_CALL_CANCELLED:
      return nca_s_fault_cancel;
    case RPC_S_SERVER_OUT_OF_MEMORY:
      return nca_s_fault_remote_no_memory;
    case RPC_S_ZERO_DIVIDE:
      return nca_s_fault_int_div_by_zero;
    case RPC_S_INVALID_TAG:
      return nca_s_fault_invalid_tag;
    case RPC_S_INVALID_BOUND:
      return nca_s_fault_invalid_bound;
    default:
      return static_cast<std::uint32_t>(status);
  }
}

RpcException::RpcException(RPC_STATUS status)
    : status_(status), text_("RPC exception " + std::to_string(status)) {}

void RpcRaiseException(RPC_STATUS status) {
  throw RpcException(status);
}

}  // namespace rpc
