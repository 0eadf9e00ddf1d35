#include "agent/rpc/central_server.h"

namespace tollgate::remote {

using ::rpc::CallContext;

::rpc::ServerInterface CentralServer(std::shared_ptr<CentralServerHandler> handler) {
  ::rpc::ServerInterface definition;
  definition.id = CentralServerInterfaceId();
  definition.operations.resize(central::kOperationCount);
  definition.operations[central::kCancelJob] = [handler](CallContext& call, Reader& in,
                                                         Writer& out) {
    ShortResult{handler->CancelJob(call, CancelJobIn::Read(in))}.Write(out);
  };
  definition.operations[central::kUploadFileChunk] = [handler](CallContext& call, Reader& in,
                                                               Writer& out) {
    ShortResult{handler->UploadFileChunk(call, UploadFileChunkIn::Read(in))}.Write(out);
  };
  definition.operations[central::kReportJob] = [handler](CallContext& call, Reader& in,
                                                         Writer& out) {
    ReportJobOut answer;
    handler->ReportJob(call, ReportJobIn::Read(in), &answer);
    answer.Write(out);
  };
  definition.operations[central::kRegisterAgent] = [handler](CallContext& call, Reader& in,
                                                             Writer& out) {
    RegisterAgentOut answer;
    handler->RegisterAgent(call, RegisterAgentIn::Read(in), &answer);
    answer.Write(out);
  };
  definition.operations[central::kReportHardwareCounters] = [handler](CallContext& call, Reader& in,
                                                                      Writer& out) {
    ShortResult{handler->ReportHardwareCounters(call, ReportHardwareCountersIn::Read(in))}.Write(
        out);
  };
  return definition;
}

}  // namespace tollgate::remote
