// The central server's interface as a server offers it: the five operations the agent calls,
// decoded and encoded with the shared definitions; every other opnum of the interface is
// answered with nca_op_rng_error.
#pragma once

#include <memory>

#include "agent/rpc/interfaces.h"
#include "shared/rpc/server.h"

namespace tollgate::remote {

class CentralServerHandler {
 public:
  virtual ~CentralServerHandler() = default;
  // A failure is raised as rpc::RpcException (answered with a fault of its status).
  virtual std::int16_t CancelJob(const ::rpc::CallContext& call, const CancelJobIn& in) = 0;
  virtual std::int16_t UploadFileChunk(const ::rpc::CallContext& call,
                                       const UploadFileChunkIn& in) = 0;
  virtual void ReportJob(const ::rpc::CallContext& call, const ReportJobIn& in,
                         ReportJobOut* out) = 0;
  virtual void RegisterAgent(const ::rpc::CallContext& call, const RegisterAgentIn& in,
                             RegisterAgentOut* out) = 0;
  virtual std::int16_t ReportHardwareCounters(const ::rpc::CallContext& call,
                                              const ReportHardwareCountersIn& in) = 0;
};

::rpc::ServerInterface CentralServer(std::shared_ptr<CentralServerHandler> handler);

}  // namespace tollgate::remote
