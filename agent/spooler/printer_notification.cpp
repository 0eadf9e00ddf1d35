#include "agent/spooler/printer_notification.h"

#include <algorithm>

#include "agent/spooler/printer.h"
#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"
#include "shared/error/format.h"

namespace tollgate::spooler {

using platform::DWORD;

// NotifyOptions

NotifyOptions::NotifyOptions(std::vector<std::uint16_t> printerFields,
                             std::vector<std::uint16_t> jobFields)
    : printerFields_(std::move(printerFields)), jobFields_(std::move(jobFields)) {}

std::unique_ptr<NotifyOptions> NotifyOptions::JobStatus() {
  return std::make_unique<NotifyOptions>(
      std::vector<std::uint16_t>{}, std::vector<std::uint16_t>{platform::JOB_NOTIFY_FIELD_STATUS});
}

std::unique_ptr<NotifyOptions> NotifyOptions::PrinterName() {
  return std::make_unique<NotifyOptions>(
      std::vector<std::uint16_t>{platform::PRINTER_NOTIFY_FIELD_PRINTER_NAME},
      std::vector<std::uint16_t>{});
}

platform::PrinterNotifyOptions NotifyOptions::Build(DWORD flags) const {
  platform::PrinterNotifyOptions options;
  options.Version = 2;
  options.Flags = flags;
  if (!printerFields_.empty())
    options.pTypes.push_back({platform::PRINTER_NOTIFY_TYPE, printerFields_});
  if (!jobFields_.empty()) options.pTypes.push_back({platform::JOB_NOTIFY_TYPE, jobFields_});
  return options;
}

// Handlers

void PrinterNotificationHandler::OnError(Error* error) {
  std::unique_ptr<Error> owned(error);
  Log(owned->Message());
}

JobNotificationHandler::JobNotificationHandler(Printer& printer) : printer_(printer) {}

void JobNotificationHandler::OnNotify(DWORD /*changeFlags*/,
                                      const platform::PrinterNotifyInfo& info) {
  for (const auto& entry : info.aData) {
    if (entry.Type != platform::JOB_NOTIFY_TYPE || entry.Field != platform::JOB_NOTIFY_FIELD_STATUS)
      continue;
    DispatchStatus(entry.Id, entry.adwData[0]);
  }
}

void JobNotificationHandler::DispatchStatus(DWORD jobId, DWORD status) {
  using namespace platform;
  if ((status & (JOB_STATUS_SPOOLING | JOB_STATUS_PAUSED)) != 0) {
    if ((status & JOB_STATUS_PAUSED) == 0) {
      // Still spooling and free to print: held at once, decided once it is spooled. The
      // journal learns that the agent paused it, so that a restart tells it from a job
      // someone else paused.
      printer_.SetJob(jobId, JOB_CONTROL_PAUSE);
      bool known = false;
      {
        std::lock_guard<std::mutex> guard(lock_);
        known = jobs_.count(jobId) != 0;
        others_.erase(jobId);
      }
      if (!known) JournalJob(jobId, nullptr, JobDecision::kPaused);
      return;
    }
    if ((status & JOB_STATUS_SPOOLING) == 0 &&
        (status &
         (JOB_STATUS_ERROR | JOB_STATUS_DELETING | JOB_STATUS_OFFLINE | JOB_STATUS_DELETED)) == 0) {
      Spooled(jobId);
      return;
    }
  }
  if ((status & (JOB_STATUS_PRINTING | JOB_STATUS_PRINTED)) != 0) {
    std::lock_guard<std::mutex> guard(lock_);
    jobs_.erase(jobId);
    existing_.erase(jobId);
    others_.erase(jobId);
  } else if ((status & (JOB_STATUS_DELETED | JOB_STATUS_DELETING)) != 0) {
    Deleted(jobId);
  } else if (status == 0) {
    StatusCleared(jobId);
  }
}

void JobNotificationHandler::Spooled(DWORD jobId) {
  TrackedJob copy;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (others_.count(jobId) != 0) return;  // paused by someone else: theirs
    auto it = jobs_.find(jobId);
    if (it != jobs_.end()) {
      if (!it->second.pending) return;  // already queued or decided
      it->second.pending = false;
      copy = it->second;
    } else {
      TrackedJob fresh;
      fresh.jobId = jobId;
      copy = jobs_.emplace(jobId, fresh).first->second;
    }
  }
  OnJobSpooled(copy);
}

void JobNotificationHandler::Deleted(DWORD jobId) {
  std::vector<std::int64_t> ids;
  bool notify = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    existing_.erase(jobId);
    others_.erase(jobId);
    auto it = jobs_.find(jobId);
    if (it == jobs_.end()) return;
    ids = std::move(it->second.storeIds);
    notify = it->second.notifyAfterRelease;
    jobs_.erase(it);
  }
  OnJobDeletedBeforePrinting(ids);
  if (notify) OnJobDeletedAfterRelease(jobId);
}

void JobNotificationHandler::StatusCleared(DWORD jobId) {
  bool hold = false;
  bool fresh = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = jobs_.find(jobId);
    if (it != jobs_.end()) {
      // Someone resumed a held job by hand: it stays held until it is decided.
      hold = !it->second.released;
    } else {
      // The spooler keeps one waiting value a job: a job that spooled before the thread read
      // its notification is first seen spooled and free. It is held like one seen spooling;
      // so is a job someone else had paused and now resumed.
      others_.erase(jobId);
      hold = fresh = existing_.count(jobId) == 0;
    }
  }
  if (hold) printer_.SetJob(jobId, platform::JOB_CONTROL_PAUSE);
  if (fresh) JournalJob(jobId, nullptr, JobDecision::kPaused);
}

bool JobNotificationHandler::RecordDecision(DWORD jobId, const std::vector<std::int64_t>& storeIds,
                                            bool released, bool pending) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = jobs_.find(jobId);
  if (it == jobs_.end()) return false;
  it->second.storeIds = storeIds;
  it->second.released = released;
  it->second.pending = pending;
  it->second.notifyAfterRelease = false;
  return true;
}

bool JobNotificationHandler::ApplyCommand(DWORD jobId, bool released, bool second) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = jobs_.find(jobId);
  if (it == jobs_.end()) return false;
  it->second.released = released;
  it->second.second = second;
  return true;
}

bool JobNotificationHandler::MarkPending(DWORD jobId, bool reexamine) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = jobs_.find(jobId);
  if (it == jobs_.end()) return false;
  it->second.pending = true;
  if (reexamine) it->second.extra = 1;
  return true;
}

void JobNotificationHandler::ReplaceStoreId(std::int64_t localId, std::int64_t serverId) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& [id, job] : jobs_) {
    for (std::int64_t& stored : job.storeIds)
      if (stored == localId) stored = serverId;
  }
}

void JobNotificationHandler::TrackHeld(DWORD jobId) {
  std::lock_guard<std::mutex> guard(lock_);
  TrackedJob held;
  held.jobId = jobId;
  jobs_.emplace(jobId, held);
}

void JobNotificationHandler::TrackReleased(DWORD jobId) {
  std::lock_guard<std::mutex> guard(lock_);
  TrackedJob released;
  released.jobId = jobId;
  released.released = true;
  jobs_.emplace(jobId, released);
}

void JobNotificationHandler::LeaveToOthers(DWORD jobId) {
  std::lock_guard<std::mutex> guard(lock_);
  others_.insert(jobId);
}

void JobNotificationHandler::JournalJob(DWORD jobId, const platform::JobInfo2* job,
                                        JobDecision decision) {
  if (journal_ == nullptr) return;
  platform::JobInfo2 read;
  if (job == nullptr) {
    // A job gone meanwhile needs no memory.
    if (!printer_.GetJob(jobId, &read)) return;
    job = &read;
  }
  journal_->Record(printer_.Name(), jobId, job->Submitted, decision);
}

void JobNotificationHandler::JournalDecision(DWORD jobId, const platform::JobInfo2* job,
                                             DWORD command) {
  JobDecision decision = command == platform::JOB_CONTROL_RESUME   ? JobDecision::kReleased
                         : command == platform::JOB_CONTROL_DELETE ? JobDecision::kDeleted
                                                                   : JobDecision::kHeld;
  JournalJob(jobId, job, decision);
}

void JobNotificationHandler::KnowExisting(DWORD jobId) {
  std::lock_guard<std::mutex> guard(lock_);
  existing_.insert(jobId);
}

bool JobNotificationHandler::Find(DWORD jobId, TrackedJob* job) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = jobs_.find(jobId);
  if (it == jobs_.end()) return false;
  if (job != nullptr) *job = it->second;
  return true;
}

std::size_t JobNotificationHandler::TrackedCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return jobs_.size();
}

// PrinterNotification

PrinterNotification::PrinterNotification(CPrinterBase& printer,
                                         std::unique_ptr<PrinterNotificationHandler> handler)
    : printer_(printer), handler_(std::move(handler)) {}

PrinterNotification::~PrinterNotification() {
  Close();
  if (quit_ != nullptr) platform::kernel().CloseHandle(quit_);
  if (armed_ != nullptr) platform::kernel().CloseHandle(armed_);
}

bool PrinterNotification::Running() const {
  return thread_.handle != nullptr &&
         platform::kernel().WaitForSingleObject(thread_.handle, 0) == platform::WAIT_TIMEOUT;
}

void PrinterNotification::SetWatchRetry(DWORD firstMs, DWORD longestMs) {
  retryFirstMs_ = firstMs;
  retryLongestMs_ = longestMs;
}

void PrinterNotification::OpenAsync(DWORD filter, std::unique_ptr<NotifyOptions> options) {
  filter_ = filter;
  options_ = std::move(options);
  if (quit_ == nullptr) {
    quit_ = platform::kernel().CreateEventW(false, false);
    if (quit_ == nullptr) throw new SystemError(L"CreateEvent", L"PrinterNotification::OpenAsync");
  }
  if (armed_ == nullptr) {
    armed_ = platform::kernel().CreateEventW(true, false);
    if (armed_ == nullptr) throw new SystemError(L"CreateEvent", L"PrinterNotification::OpenAsync");
  }
  platform::kernel().ResetEvent(armed_);
  thread_.Start(kThreadStack, [this]() -> DWORD {
    DWORD wait = retryFirstMs_;
    bool failedBefore = false;
    for (;;) {
      try {
        Open(filter_, platform::INFINITE, options_.get(), failedBefore);
        return 0;
      } catch (SystemError* error) {
        platform::kernel().SetEvent(armed_);
        if (change_ != nullptr || stop_) {
          handler_->OnError(error);
          return 0;
        }
        // The watch did not begin: the queue is not watched until it does.
        std::unique_ptr<SystemError> owned(error);
        std::wstring text = owned->SystemText();
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
        if (text.empty()) text = L"Windows error " + std::to_wstring(owned->Code());
        Log(L"Can't watch printer " + printer_.Name() + L": " + text + L" Trying again in " +
            std::to_wstring(wait) + L" ms.");
      } catch (Error* error) {
        platform::kernel().SetEvent(armed_);
        handler_->OnError(error);
        return 0;
      } catch (...) {
        platform::kernel().SetEvent(armed_);
        handler_->OnError(new UnknownError(L"PrinterNotification::OpenAsync"));
        return 0;
      }
      failedBefore = true;
      if (platform::kernel().WaitForSingleObject(quit_, wait) != platform::WAIT_TIMEOUT || stop_)
        return 0;
      wait = std::min(retryLongestMs_, wait * 2);
    }
  });
  // What the caller looks at after this (the queue's jobs) is then either seen by it or
  // reported by the watch.
  platform::kernel().WaitForSingleObject(armed_, kArmWaitMs);
}

void PrinterNotification::Open(DWORD filter, DWORD timeout, const NotifyOptions* options,
                               bool late) {
  platform::Spooler& spooler = platform::spooler();
  if (change_ == nullptr) {
    if (quit_ == nullptr) quit_ = platform::kernel().CreateEventW(false, false);
    stop_ = false;
    flags_ = 0;
    platform::PrinterNotifyOptions built;
    if (options != nullptr) built = options->Build(0);
    platform::HANDLE change = spooler.FindFirstPrinterChangeNotification(
        printer_.Open(), filter, 0, options != nullptr ? &built : nullptr);
    if (change == nullptr || change == platform::INVALID_HANDLE_VALUE) {
      throw new SystemError(FormatW(L"FindFirstPrinterChangeNotification(%s)", {printer_.Name()}),
                            L"PrinterNotification::Open");
    }
    change_ = change;
    if (late) {
      Log(L"Printer " + printer_.Name() + L" is watched now.");
      // What the queue did meanwhile; a failure of it does not end the watch.
      try {
        if (onLateWatch_) onLateWatch_();
      } catch (Error* error) {
        handler_->OnError(error);
      }
    }
  }
  if (armed_ != nullptr) platform::kernel().SetEvent(armed_);
  while (!stop_) {
    int which = os::SyncLock::Lock({quit_, change_}, timeout);
    if (which != 1) break;
    DWORD changeFlags = 0;
    platform::PrinterNotifyInfo* info = nullptr;
    platform::PrinterNotifyOptions built;
    if (options != nullptr) built = options->Build(flags_);
    if (!spooler.FindNextPrinterChangeNotification(change_, &changeFlags,
                                                   options != nullptr ? &built : nullptr, &info)) {
      throw new SystemError(L"FindNextPrinterChangeNotification", L"PrinterNotification::Open");
    }
    struct Freer {
      platform::PrinterNotifyInfo* info;
      ~Freer() {
        if (info != nullptr) platform::spooler().FreePrinterNotifyInfo(info);
      }
    } freer{info};
    if (info != nullptr) {
      handler_->OnNotify(changeFlags, *info);
      // A discarded batch asks for the whole state again on the next call.
      flags_ = (info->Flags & 1) != 0 ? 1 : 0;
    } else {
      platform::PrinterNotifyInfo empty;
      handler_->OnNotify(changeFlags, empty);
      flags_ = 0;
    }
  }
}

void PrinterNotification::Close() {
  if (thread_.handle != nullptr) {
    if (quit_ != nullptr) platform::kernel().SetEvent(quit_);
    stop_ = true;
    platform::kernel().WaitForSingleObject(thread_.handle, platform::INFINITE);
    thread_.Close();
    thread_.handle = nullptr;
  }
  options_.reset();
  handler_.reset();
  if (change_ != nullptr) {
    platform::spooler().FindClosePrinterChangeNotification(change_);
    change_ = nullptr;
  }
}

}  // namespace tollgate::spooler
