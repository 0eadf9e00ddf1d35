// The central server's five operations over the ledger and the policy.
#pragma once

#include <memory>
#include <string>

#include "agent/rpc/central_server.h"
#include "tools/tollserver/ledger.h"
#include "tools/tollserver/policy.h"

namespace tollserver {

// The fault of a call the ledger could not take: an application error of the server (the
// agent reads it as "Internal server error." and keeps its jobs for later).
inline constexpr std::int32_t kLedgerFault = 0x20000001;

// Uploaded files are cut off at this size (the rest of the chunks is refused).
inline constexpr std::int64_t kMaxUpload = 1ll << 30;

class Service : public tollgate::remote::CentralServerHandler {
 public:
  Service(Ledger& ledger, Policy policy);

  std::int16_t CancelJob(const ::rpc::CallContext& call,
                         const tollgate::remote::CancelJobIn& in) override;
  std::int16_t UploadFileChunk(const ::rpc::CallContext& call,
                               const tollgate::remote::UploadFileChunkIn& in) override;
  void ReportJob(const ::rpc::CallContext& call, const tollgate::remote::ReportJobIn& in,
                 tollgate::remote::ReportJobOut* out) override;
  void RegisterAgent(const ::rpc::CallContext& call, const tollgate::remote::RegisterAgentIn& in,
                     tollgate::remote::RegisterAgentOut* out) override;
  std::int16_t ReportHardwareCounters(
      const ::rpc::CallContext& call,
      const tollgate::remote::ReportHardwareCountersIn& in) override;

 private:
  void Write(const std::function<void(Database&)>& change);

  Ledger& ledger_;
  Policy policy_;
};

// Narrow text of the agents' code page as UTF-8, with the numeric character references the
// agent sends for the characters its code page cannot hold ("&#26446;") made characters again.
std::string Utf8OfAnsi(const std::string& text);

// The agents' ANSI code page: this machine's (CP_ACP) unless set.
void SetAgentCodePage(unsigned codePage);

}  // namespace tollserver
