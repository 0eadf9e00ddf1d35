// The job store: registration, job reports, counter readings and cancellations go to the
// server through the request queue; while the server cannot be reached jobs and readings are
// kept in the offline files and answered as accepted, and a synchronisation thread sends them
// when the server is back.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "agent/rpc/gateway.h"
#include "agent/store/record_file.h"
#include "shared/os/sync.h"

namespace tollgate::store {

// The jobs file and the hardware file of a data folder.
std::wstring JobsFilePath(const std::wstring& dataFolder);
std::wstring HardwareFilePath(const std::wstring& dataFolder);

class StoreJobsCache {
 public:
  // Called as (local id, server job id) when a job kept offline has been accepted.
  using IdChange = std::function<void(std::int32_t, std::int64_t)>;

  StoreJobsCache(std::unique_ptr<remote::ServerRequestQueue> queue, const std::wstring& dataFolder,
                 unsigned failureWaitSeconds, IdChange idChange = {});
  StoreJobsCache(const StoreJobsCache&) = delete;
  StoreJobsCache& operator=(const StoreJobsCache&) = delete;
  virtual ~StoreJobsCache();

  virtual ErrorResultPtr Initialize();
  virtual ErrorResultPtr Stop();
  virtual remote::ServerResultPtr AddJob(const remote::JobReport& report,
                                         remote::JobContext* answer);
  virtual ErrorResultPtr DeleteJob(std::int64_t id);
  virtual ErrorResultPtr SetHardware(std::int64_t id, const remote::HardwareRecord& record);
  virtual ErrorResultPtr Register(remote::QueueList queues);

  // At most this many records of a file wait in memory while the file cannot be written;
  // beyond it a new job is held (its caller waits, the job stays paused) until records can
  // be written again.
  static constexpr std::size_t kMaxWaitingRecords = 1000;
  // A job is held at most this long at a time; then it is answered as held by the store
  // (kept paused and examined again), so that a job-checker thread never waits without end.
  static constexpr platform::DWORD kMaxHoldMs = 30 * 1000;
  void SetWaitingLimitForTesting(std::size_t limit) { waitingLimit_ = limit; }
  void SetHoldForTesting(platform::DWORD ms) { holdMs_ = ms; }

  bool Offline() const { return offline_.load(); }
  bool Initialized() const { return initialized_.load(); }
  RecordFile& JobsFile() { return *jobs_; }
  RecordFile& HardwareFile() { return *hardware_; }

 private:
  platform::DWORD SyncProcedure();
  void SyncLoop();
  // False when quit was set during a wait.
  bool WaitFailure();
  bool SendJobRecord(const std::string& record);
  // False when quit was set during a wait.
  bool SendHardware(std::int32_t localId, const std::vector<remote::StoreRecord>& ids);
  bool SendOneHardware(std::int64_t id, const remote::HardwareRecord& record);
  // Waits while `file` has as many records waiting in memory as it may hold, trying to write
  // them every second; false when quit was set meanwhile or after `holdMs` (0: no limit).
  bool WaitForRoom(RecordFile& file, const std::wstring& what, platform::DWORD holdMs);
  void WriteWaiting();

  std::atomic<bool> initialized_{false};
  std::atomic<bool> offline_{false};
  std::mutex modeLock_;  // going offline with a kept record, against going back online
  unsigned failureWait_;
  std::size_t waitingLimit_ = kMaxWaitingRecords;
  platform::DWORD holdMs_ = kMaxHoldMs;
  platform::HANDLE quit_ = nullptr;
  std::unique_ptr<remote::ServerRequestQueue> queue_;
  std::unique_ptr<RecordFile> jobs_;
  std::unique_ptr<RecordFile> hardware_;
  os::Thread thread_;
  IdChange idChange_;
};

}  // namespace tollgate::store
