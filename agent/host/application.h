// The agent's application: what the console run and the service run start and stop. It
// watches every local queue (one notification thread and one job-checker thread a queue),
// the local print server for new queues and the event log for a failed spooler, and
// registers the queues with the server when it starts and every day.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/jobs/decision_journal.h"
#include "agent/jobs/job_checker.h"
#include "agent/rpc/local_server.h"
#include "agent/spooler/printer.h"
#include "agent/spooler/spool_observer.h"
#include "agent/store/store_jobs_cache.h"
#include "shared/os/sync.h"

namespace tollgate {

namespace spooler {
class JobNotificationHandler;
}

struct ApplicationOptions {
  // The local RPC server's endpoint, and how often it tries to take it.
  std::wstring endpoint = L"7002";
  std::uint32_t endpointAttempts = 60;
  // The "AccountLocalPort" setting.
  bool accountLocalPort = false;
  // The spool observer's wait step before it restarts monitoring (i × step for the i-th try).
  platform::DWORD observerStepMs = spooler::SpoolObserver::kStepMs;
  // The agent's data folder, where the journal of its decisions is kept; empty keeps the
  // journal in memory.
  std::wstring dataFolder;
};

// The observer's step from the environment variable TOLLGATE_SPOOL_OBSERVER_STEP_MS (for
// tests), else the product's 90 seconds.
platform::DWORD ObserverStepFromEnvironment();
// The local RPC server's endpoint from the environment variable TOLLGATE_AGENT_ENDPOINT (for
// tests that run several machines side by side), else the product's "7002".
std::wstring EndpointFromEnvironment();

class Application : public jobs::JobStore, public remote::JobControlHandler {
 public:
  Application(ApplicationOptions options, std::unique_ptr<store::StoreJobsCache> store);
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;
  // Runs the stop sequence when the application was started.
  ~Application() override;

  // The start sequence; false when the job store cannot be initialised or an error ends it.
  bool Start();
  void Stop();

  // A new queue reported by the local print server.
  void AddQueue(const std::wstring& printerName);
  // The server's later command on a held job: the tracked job's flags, then the spooler's
  // command. A job that is gone is an error (code ERROR_INVALID_PARAMETER).
  void ApplyJobCommand(const std::wstring& printerName, platform::DWORD jobId,
                       platform::DWORD command, bool released, bool second);

  // What the local RPC server's callers ask of a job.
  void SetJobCommand(platform::DWORD jobId, platform::DWORD command,
                     const std::wstring& queue) override;
  void ChangeJobOwner(platform::DWORD jobId, const std::wstring& userName,
                      const std::wstring& queue) override;
  void ApplyJobDecision(platform::DWORD jobId, platform::DWORD command, const std::wstring& queue,
                        bool released, bool keepFirst) override;
  void ReexamineJob(const std::wstring& queue, platform::DWORD jobId) override;
  // The local RPC server's port once it listens, else 0.
  std::uint16_t RpcPort() const;
  void RegisterQueues();

  // The job store's operations, as the job checkers call them.
  remote::ServerResultPtr AddJob(const remote::JobReport& report,
                                 remote::JobContext* context) override;
  ErrorResultPtr DeleteJob(std::int64_t id) override;

  bool Started() const { return started_; }
  const ApplicationOptions& Options() const { return options_; }
  // A job kept offline was accepted: its tracked record id changes to the server's.
  void ReplaceStoreId(std::int32_t localId, std::int64_t serverId);

 private:
  void LoadQueues();
  void MonitorQueue(spooler::Printer& printer);
  // Before the queue's watch is armed: the job table learns from the journal what the agent
  // decided about the queue's jobs, and which paused jobs are someone else's.
  void KnowQueueJobs(spooler::Printer& printer, spooler::JobNotificationHandler& handler);
  // After the watch is armed: every job of the queue the agent has not decided is decided
  // (held first when it is free), and one that printed undecided (while the agent or the
  // spooler's watch was away) is reported.
  void TakeOverPausedJobs(spooler::Printer& printer);
  // Reports a job that printed before the agent could hold it; no spooler command follows.
  void ReportPrinted(spooler::JobNotificationHandler& handler, const platform::JobInfo2& job);
  // Loads the journal and keeps in it only the jobs still in a queue.
  void LoadJournal();
  // The server's or a caller's command on a job, written to the journal before it is applied.
  void JournalCommand(const std::wstring& queue, platform::DWORD jobId,
                      spooler::JobDecision decision);
  // Clears the monitored-queue list; the printers are destroyed outside the list's lock.
  void ClearQueues();
  void RestartMonitoring();
  platform::DWORD ReRegistration();
  // Runs `body` on the job table of the monitored queue of that name; false when the queue
  // is not monitored.
  bool WithJobTable(const std::wstring& queue,
                    const std::function<void(spooler::JobNotificationHandler&)>& body);
  // Hands a held job to its queue's status dispatch, as the spooler's next report of it
  // would: a job marked for another examination is examined whether or not the spooler
  // reports the change.
  void Redispatch(const std::wstring& queue, spooler::Printer& printer, platform::DWORD jobId);
  void StartRpc();
  void StopRpc();

  ApplicationOptions options_;
  std::unique_ptr<store::StoreJobsCache> store_;
  std::unique_ptr<jobs::DecisionJournal> journal_;
  bool started_ = false;
  platform::HANDLE quit_ = nullptr;
  std::recursive_mutex queuesLock_;  // the monitored-queue list
  std::unique_ptr<spooler::SpoolObserver> observer_;
  os::Thread reRegistration_;
  std::unique_ptr<spooler::PrintMgr> printMgr_;
  std::unique_ptr<remote::LocalServer> rpc_;
  os::Thread rpcStart_;
};

}  // namespace tollgate
