// The spooler's change notifications: the thread that waits for them on one printer handle
// (a queue, or the local print server), the handlers it hands them to, and the per-queue job
// table that keeps every job of the queue paused until it is decided.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/spooler.h"
#include "shared/os/sync.h"

class Error;

namespace tollgate::spooler {

class CPrinterBase;
class Printer;

// The field lists of a watch: printer fields and job fields.
class NotifyOptions {
 public:
  NotifyOptions(std::vector<std::uint16_t> printerFields, std::vector<std::uint16_t> jobFields);
  // The queue watch: the job status field.
  static std::unique_ptr<NotifyOptions> JobStatus();
  // The print server watch: the printer name field.
  static std::unique_ptr<NotifyOptions> PrinterName();

  // Version 2, the flags, one type entry for each non-empty list (the printer list first).
  platform::PrinterNotifyOptions Build(platform::DWORD flags) const;

 private:
  std::vector<std::uint16_t> printerFields_;
  std::vector<std::uint16_t> jobFields_;
};

// One job of a queue's table.
struct TrackedJob {
  std::wstring text1, text2, text3;  // carried for the job checker, empty when made
  platform::DWORD jobId = 0;
  std::vector<std::int64_t> storeIds;  // the job store's records of this job
  bool pending = false;                // held: examine again when next reported paused
  bool released = false;
  bool notifyAfterRelease = false;
  bool second = false;  // set with `released` by the server's job command
  std::uint32_t extra = 0;
};

// What the agent decided about a job, kept across restarts of the agent and of the spooler.
enum class JobDecision : std::uint8_t {
  kPaused,    // paused by the agent while it spooled, not decided yet
  kReleased,  // released (or printed by the server's later release)
  kHeld,      // kept paused by the server's decision
  kDeleted,
  kReported,  // printed before the agent could hold it, and reported afterwards
};

// The agent's memory of its decisions, keyed by queue (case-insensitive), job id and the
// time the job was submitted (a spooler that restarts may give an id again).
class JobJournal {
 public:
  virtual ~JobJournal() = default;
  virtual void Record(const std::wstring& queue, platform::DWORD jobId,
                      const platform::SystemTime& submitted, JobDecision decision) = 0;
  virtual std::optional<JobDecision> Find(const std::wstring& queue, platform::DWORD jobId,
                                          const platform::SystemTime& submitted) const = 0;
  // Whether a job submitted at that time may have printed while the agent watched nothing:
  // false for jobs older than the journal's memory (the queue's history before the agent's
  // first run).
  virtual bool Remembers(const platform::SystemTime& submitted) const = 0;
};

// What a queue's job checker is asked to do.
struct JobCheckerRequest {
  enum Action : std::int32_t { kSpooled = 0, kDeletedBeforePrinting = 1, kDeletedAfterRelease = 2 };
  std::int32_t action = kSpooled;
  TrackedJob job;
};

class PrinterNotificationHandler {
 public:
  virtual ~PrinterNotificationHandler() = default;
  virtual void OnNotify(platform::DWORD changeFlags, const platform::PrinterNotifyInfo& info) = 0;
  // Logs the error's message and destroys it.
  virtual void OnError(Error* error);
  virtual void Open() {}
};

// A queue's handler: the job table and the status dispatch.
class JobNotificationHandler : public PrinterNotificationHandler {
 public:
  explicit JobNotificationHandler(Printer& printer);

  void OnNotify(platform::DWORD changeFlags, const platform::PrinterNotifyInfo& info) override;
  virtual void OnJobSpooled(const TrackedJob& job) = 0;
  virtual void OnJobDeletedBeforePrinting(const std::vector<std::int64_t>& storeIds) = 0;
  virtual void OnJobDeletedAfterRelease(platform::DWORD /*jobId*/) {}

  // One job status report.
  void DispatchStatus(platform::DWORD jobId, platform::DWORD status);

  // The decided job's entry: false when the job has no entry any more.
  bool RecordDecision(platform::DWORD jobId, const std::vector<std::int64_t>& storeIds,
                      bool released, bool pending);
  // The server's later command on a held job: false when the job is not tracked.
  bool ApplyCommand(platform::DWORD jobId, bool released, bool second);
  // The server asks for another examination of a held job: it is queued again when it is
  // next reported paused, marked as examined again when `reexamine`. False when the job is
  // not tracked.
  bool MarkPending(platform::DWORD jobId, bool reexamine);
  // A job kept offline was accepted by the server: its local record id becomes the server's.
  void ReplaceStoreId(std::int64_t localId, std::int64_t serverId);
  // Tracks a job that is already held for someone's answer, without examining it again.
  void TrackHeld(platform::DWORD jobId);
  // A job that was in the queue, spooled and free, before the queue was watched: it may have
  // been released before, and is left alone when it is reported spooled.
  void KnowExisting(platform::DWORD jobId);
  // The journal of the agent's decisions; none keeps them in the job table only.
  void SetJournal(JobJournal* journal) { journal_ = journal; }
  JobJournal* Journal() const { return journal_; }
  // Writes the checker's decision to the journal before it is applied: RESUME released,
  // DELETE deleted, PAUSE held. The job record is read again when `job` is null.
  void JournalDecision(platform::DWORD jobId, const platform::JobInfo2* job,
                       platform::DWORD command);
  void JournalJob(platform::DWORD jobId, const platform::JobInfo2* job, JobDecision decision);
  // Tracks a job the agent had released before it restarted: a pause or a resume by hand
  // does not make it examined again.
  void TrackReleased(platform::DWORD jobId);
  // A job paused by someone else, found when the watch began: left paused and not examined;
  // resumed by hand, it is held and decided like a new job.
  void LeaveToOthers(platform::DWORD jobId);
  // A copy of the job's entry; false when there is none.
  bool Find(platform::DWORD jobId, TrackedJob* job) const;
  std::size_t TrackedCount() const;

  Printer& Queue() { return printer_; }

 private:
  void Spooled(platform::DWORD jobId);
  void Deleted(platform::DWORD jobId);
  void StatusCleared(platform::DWORD jobId);

  Printer& printer_;
  mutable std::mutex lock_;
  std::unordered_map<platform::DWORD, TrackedJob> jobs_;
  std::unordered_set<platform::DWORD> existing_;
  std::unordered_set<platform::DWORD> others_;  // paused by someone else
  JobJournal* journal_ = nullptr;
};

// Waits for the changes of one printer handle on a thread of its own and hands them to its
// handler, which it owns.
// The waits before a queue whose watch could not begin is tried again.
inline constexpr platform::DWORD kWatchRetryFirstMs = 2000;
inline constexpr platform::DWORD kWatchRetryLongestMs = 60000;

class PrinterNotification {
 public:
  PrinterNotification(CPrinterBase& printer, std::unique_ptr<PrinterNotificationHandler> handler);
  PrinterNotification(const PrinterNotification&) = delete;
  PrinterNotification& operator=(const PrinterNotification&) = delete;
  ~PrinterNotification();

  // Starts the notification thread; SystemError when it cannot start. Returns once the
  // watch is armed (or its arming failed), so that a change made after the call is seen.
  // A queue whose watch cannot begin (FindFirstPrinterChangeNotification fails: the spooler
  // has no room for it, or is away) is logged, "Can't watch printer <name>: <Windows error
  // text>", and tried again after a wait that doubles from the first retry wait to the
  // longest, until it is watched or the notification is closed. `onLateWatch` runs on the
  // thread once a watch that failed first has begun, to take over what the queue did
  // meanwhile.
  void OpenAsync(platform::DWORD filter, std::unique_ptr<NotifyOptions> options);
  void SetWatchRetry(platform::DWORD firstMs, platform::DWORD longestMs);
  void SetOnLateWatch(std::function<void()> onLateWatch) { onLateWatch_ = std::move(onLateWatch); }
  // The notification loop; returns when the quit event is set or the wait ends otherwise.
  // `late`: the watch failed to begin before.
  void Open(platform::DWORD filter, platform::DWORD timeout, const NotifyOptions* options,
            bool late = false);
  // Ends the thread, destroys the options and the handler and closes the change handle.
  void Close();

  PrinterNotificationHandler* Handler() { return handler_.get(); }
  bool Running() const;

 private:
  CPrinterBase& printer_;
  std::unique_ptr<PrinterNotificationHandler> handler_;
  platform::HANDLE change_ = nullptr;
  platform::HANDLE quit_ = nullptr;
  platform::HANDLE armed_ = nullptr;  // set once the change handle is open or failed
  std::atomic<bool> stop_{false};
  os::Thread thread_;
  platform::DWORD filter_ = 0;
  std::unique_ptr<NotifyOptions> options_;
  platform::DWORD flags_ = 0;
  platform::DWORD retryFirstMs_ = kWatchRetryFirstMs;
  platform::DWORD retryLongestMs_ = kWatchRetryLongestMs;
  std::function<void()> onLateWatch_;
};

inline constexpr std::size_t kThreadStack = 20480;
// How long starting a watch waits for it to be armed.
inline constexpr platform::DWORD kArmWaitMs = 10000;

}  // namespace tollgate::spooler
