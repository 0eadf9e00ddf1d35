// The agent's application: what the console run and the service run start and stop. It
// watches every local queue (one notification thread and one job-checker thread a queue),
// the local print server for new queues and the event log for a failed spooler, and
// registers the queues with the server when it starts and every day.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/jobs/job_checker.h"
#include "agent/spooler/printer.h"
#include "agent/spooler/spool_observer.h"
#include "agent/store/store_jobs_cache.h"
#include "shared/os/sync.h"

namespace tollgate {

struct ApplicationOptions {
  // How often the local RPC server tries to take its endpoint.
  std::uint32_t endpointAttempts = 60;
  // The "AccountLocalPort" setting.
  bool accountLocalPort = false;
  // The spool observer's wait step before it restarts monitoring (i × step for the i-th try).
  platform::DWORD observerStepMs = spooler::SpoolObserver::kStepMs;
};

// The observer's step from the environment variable TOLLGATE_SPOOL_OBSERVER_STEP_MS (for
// tests), else the product's 90 seconds.
platform::DWORD ObserverStepFromEnvironment();

class Application : public jobs::JobStore {
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
  // The server's later command on a held job.
  void ApplyJobCommand(const std::wstring& printerName, platform::DWORD jobId,
                       platform::DWORD command, bool released, bool second);
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
  // Hands every completely spooled, paused job of the queue to its handler as if the spooler
  // had just reported it: nothing stays paused because the agent was away when it spooled.
  void TakeOverPausedJobs(spooler::Printer& printer);
  // Clears the monitored-queue list; the printers are destroyed outside the list's lock.
  void ClearQueues();
  void RestartMonitoring();
  platform::DWORD ReRegistration();

  ApplicationOptions options_;
  std::unique_ptr<store::StoreJobsCache> store_;
  bool started_ = false;
  platform::HANDLE quit_ = nullptr;
  std::recursive_mutex queuesLock_;  // the monitored-queue list
  std::unique_ptr<spooler::SpoolObserver> observer_;
  os::Thread reRegistration_;
  std::unique_ptr<spooler::PrintMgr> printMgr_;
};

}  // namespace tollgate
