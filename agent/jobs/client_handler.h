// A monitored queue's handler: the job table and status dispatch of every queue, with the
// queue's job-checker thread, which examines the queue's requests one at a time in the order
// they came.
#pragma once

#include <memory>

#include "agent/jobs/job_checker.h"
#include "agent/spooler/printer_notification.h"
#include "shared/os/request_pool.h"

namespace tollgate::jobs {

class TollgateClientPNH : public spooler::JobNotificationHandler {
 public:
  TollgateClientPNH(spooler::Printer& printer, JobStore& store);
  ~TollgateClientPNH() override;

  // Starts the job-checker thread; SystemError ("JCThread.Initialize",
  // "TollgateClientPNH::Open") when it cannot start.
  void Open() override;
  void OnJobSpooled(const spooler::TrackedJob& job) override;
  void OnJobDeletedBeforePrinting(const std::vector<std::int64_t>& storeIds) override;

 private:
  void Post(std::shared_ptr<spooler::JobCheckerRequest> request, const wchar_t* place);

  JobStore& store_;
  std::unique_ptr<os::RequestPool<JobChecker, spooler::JobCheckerRequest>> pool_;
};

}  // namespace tollgate::jobs
