#include "agent/jobs/client_handler.h"

#include "shared/error/errors.h"

namespace tollgate::jobs {

TollgateClientPNH::TollgateClientPNH(spooler::Printer& printer, JobStore& store)
    : JobNotificationHandler(printer), store_(store) {}

TollgateClientPNH::~TollgateClientPNH() {
  // Waits for the request in hand (36 000 ms at most) before the thread is abandoned.
  pool_.reset();
}

void TollgateClientPNH::Open() {
  pool_ = std::make_unique<os::RequestPool<JobChecker, spooler::JobCheckerRequest>>(
      [this]() -> std::unique_ptr<JobChecker> {
        auto checker = std::make_unique<JobChecker>(*this, store_);
        // A checker that could not open the queue still takes the queue's requests, and
        // releases every job: the watcher keeps pausing them, and none may stay paused.
        checker->Initialize();
        return checker;
      },
      0, 1, spooler::kThreadStack);
  if (ErrorResultPtr error = pool_->Open()) {
    pool_.reset();
    throw new SystemError(L"JCThread.Initialize", L"TollgateClientPNH::Open");
  }
}

void TollgateClientPNH::Post(std::shared_ptr<spooler::JobCheckerRequest> request,
                             const wchar_t* place) {
  if (!pool_ || pool_->PostRequest(std::move(request)))
    throw new SystemError(L"JCThread.QueueRequest", place);
}

void TollgateClientPNH::OnJobSpooled(const spooler::TrackedJob& job) {
  auto request = std::make_shared<spooler::JobCheckerRequest>();
  request->action = spooler::JobCheckerRequest::kSpooled;
  request->job = job;
  Post(std::move(request), L"TollgateClientPNH::OnJobSpooled");
}

void TollgateClientPNH::OnJobDeletedBeforePrinting(const std::vector<std::int64_t>& storeIds) {
  auto request = std::make_shared<spooler::JobCheckerRequest>();
  request->action = spooler::JobCheckerRequest::kDeletedBeforePrinting;
  request->job.storeIds = storeIds;
  Post(std::move(request), L"TollgateClientPNH::OnJobDeletedBeforePrinting");
}

}  // namespace tollgate::jobs
