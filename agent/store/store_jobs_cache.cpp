#include "agent/store/store_jobs_cache.h"

#include <algorithm>
#include <exception>

#include "agent/store/records.h"
#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"

namespace tollgate::store {
namespace {

using remote::ServerResultPtr;

constexpr platform::DWORD kStopWaitMs = 5 * 1000;

ServerResultPtr NotInitializedResult() {
  return remote::MakeFailure(L"Not initialized.");
}

std::wstring IdText(std::int64_t id) {
  return std::to_wstring(id);
}

}  // namespace

std::wstring JobsFilePath(const std::wstring& dataFolder) {
  return dataFolder + L"/jobs" + L"2_7_2" + L".log";
}
std::wstring HardwareFilePath(const std::wstring& dataFolder) {
  return dataFolder + L"/hdw" + L"2_7_2" + L".log";
}

StoreJobsCache::StoreJobsCache(std::unique_ptr<remote::ServerRequestQueue> queue,
                               const std::wstring& dataFolder, unsigned failureWaitSeconds,
                               IdChange idChange)
    : failureWait_(failureWaitSeconds),
      queue_(std::move(queue)),
      jobs_(std::make_unique<RecordFile>(JobsFilePath(dataFolder), kJobRecordSize)),
      hardware_(std::make_unique<RecordFile>(HardwareFilePath(dataFolder), kHardwareRecordSize)),
      idChange_(std::move(idChange)) {
  quit_ = platform::kernel().CreateEventW(true, false);
  if (quit_ == nullptr) throw new SystemError(L"CreateEventW", L"StoreJobsCache::StoreJobsCache");
}

StoreJobsCache::~StoreJobsCache() {
  if (ErrorResultPtr error = Stop()) Log(L"Error closing: " + error->Text());
  platform::kernel().CloseHandle(quit_);
}

ErrorResultPtr StoreJobsCache::Initialize() {
  if (initialized_.exchange(true)) return MakeError(L"Already initialized.");
  if (ErrorResultPtr error = queue_->Open()) return error;
  platform::kernel().ResetEvent(quit_);
  try {
    thread_.Start(0, [this] { return SyncProcedure(); });
  } catch (::Error* error) {
    std::unique_ptr<::Error> owned(error);
    return WrapError(MakeError(owned->Message()), L"error starting sync thread");
  }
  if (jobs_->Exists() || hardware_->Exists()) offline_.store(true);
  return nullptr;
}

ErrorResultPtr StoreJobsCache::Stop() {
  if (!initialized_.exchange(false)) return nullptr;
  ErrorResultPtr result = queue_->Close();
  if (!platform::kernel().SetEvent(quit_) && !result)
    result = WrapError(WindowsErrorResult(), L"error setting quit event");
  jobs_->Wake();
  hardware_->Wake();
  if (thread_.handle != nullptr) {
    ErrorResultPtr wait = os::WaitForThread(thread_.handle, kStopWaitMs);
    if (wait) {
      ErrorResultPtr stopError;
      if (!platform::kernel().TerminateThread(thread_.handle, 1))
        stopError = WrapError(WindowsErrorResult(), L"error terminating thread");
      else
        stopError = std::move(wait);
      if (!result) result = WrapError(std::move(stopError), L"error stopping offline thread");
    }
    thread_.Close();
  }
  return result;
}

ServerResultPtr StoreJobsCache::AddJob(const remote::JobReport& report,
                                       remote::JobContext* answer) {
  if (!initialized_.load()) return NotInitializedResult();
  if (!offline_.load()) {
    ServerResultPtr result = queue_->AddJob(report, answer);
    if (!result || result->IsDecision()) return result;
    offline_.store(true);
    Log(L"Error adding job record to the store caused change to offline state: " + result->Text());
  }
  std::int32_t localId = 0;
  const std::wstring job =
      L"job " + std::to_wstring(report.spoolerJobId) + L" of queue " + report.queueName;
  if (!WaitForRoom(*jobs_, job, holdMs_)) {
    // Neither sent nor kept: held, never printed unaccounted.
    Log(L"Record file " + jobs_->Path() + L" still cannot take " + job +
        L": it stays paused, to be examined again.");
    return remote::MakeDecision(1, remote::kJobHeldByStore);
  }
  try {
    std::lock_guard<std::mutex> hold(modeLock_);
    offline_.store(true);
    localId = jobs_->Append(EncodeJobRecord(report));
  } catch (::Error* error) {
    Log(L"Couldn't keep job " + std::to_wstring(report.spoolerJobId) + L" of queue " +
        report.queueName + L" in the jobs file: " + error->Message());
    throw;
  }
  *answer = remote::JobContext{};
  answer->recordIds.push_back({-static_cast<std::int64_t>(localId), report.copies * report.pages});
  answer->keptInMemory = jobs_->IsWaiting(localId);
  return nullptr;
}

ErrorResultPtr StoreJobsCache::DeleteJob(std::int64_t id) {
  if (!initialized_.load()) return MakeError(L"Not initialized.");
  if (id > 0 && !offline_.load()) {
    if (ErrorResultPtr error = queue_->CancelJob(id))
      Log(L"Error deleting job record " + IdText(id) + L" in the store: " + error->Text());
  } else if (id < 0 && offline_.load()) {
    jobs_->Delete(static_cast<std::int32_t>(-id));
  }
  return nullptr;
}

ErrorResultPtr StoreJobsCache::SetHardware(std::int64_t id, const remote::HardwareRecord& record) {
  if (!initialized_.load()) return MakeError(L"Not initialized.");
  if (!offline_.load()) {
    ErrorResultPtr result = queue_->SetHardware(id, record);
    if (!result) return nullptr;
    if (result->Text() == L"NOT-FOUND") {
      Log(L"Couldn't find job " + IdText(id) + L" to set hdw for in the store.");
      return nullptr;
    }
    offline_.store(true);
    Log(L"Error setting hdw record for job " + IdText(id) +
        L" in the store caused change to offline state: " + result->Text());
  }
  if (!WaitForRoom(*hardware_, L"the hdw record for job " + IdText(id), 0)) {
    Log(L"The agent stops while the hdw record for job " + IdText(id) +
        L" is held: it is not kept.");
    throw new SystemError(L"StoreJobsCache::SetHardware", 112 /* ERROR_DISK_FULL */);
  }
  try {
    std::lock_guard<std::mutex> hold(modeLock_);
    offline_.store(true);
    hardware_->Append(EncodeHardwareRecord(id, record));
  } catch (::Error* error) {
    Log(L"Couldn't keep the hdw record for job " + IdText(id) + L" in the hdw file: " +
        error->Message());
    throw;
  }
  return nullptr;
}

ErrorResultPtr StoreJobsCache::Register(remote::QueueList queues) {
  if (!initialized_.load()) return MakeError(L"Not initialized.");
  return queue_->Register(std::move(queues));
}

bool StoreJobsCache::WaitForRoom(RecordFile& file, const std::wstring& what,
                                 platform::DWORD holdMs) {
  if (file.Waiting() < waitingLimit_) return true;
  Log(L"Record file " + file.Path() + L" cannot be written and " + std::to_wstring(file.Waiting()) +
      L" records wait in memory; " + what + L" is held until they are written.");
  platform::DWORD held = 0;
  while (file.Waiting() >= waitingLimit_) {
    if (holdMs != 0 && held >= holdMs) return false;
    const platform::DWORD step =
        holdMs != 0 ? std::min<platform::DWORD>(1000, holdMs - held) : 1000;
    if (platform::kernel().WaitForSingleObject(quit_, step) != platform::WAIT_TIMEOUT) return false;
    held += step;
    file.WriteWaiting();
  }
  Log(what + L" is no longer held: record file " + file.Path() + L" takes records again.");
  return true;
}

void StoreJobsCache::WriteWaiting() {
  jobs_->WriteWaiting();
  hardware_->WriteWaiting();
}

platform::DWORD StoreJobsCache::SyncProcedure() {
  platform::kernel().SetStructuredExceptionTranslator([](unsigned code) {
    if (code == 0xC0000005) throw std::runtime_error("access violation on StoreJobsCache");
    throw std::runtime_error("structured exception on StoreJobsCache");
  });
  SyncLoop();
  return 0;
}

bool StoreJobsCache::WaitFailure() {
  platform::DWORD wait = platform::kernel().WaitForSingleObject(quit_, failureWait_ * 1000);
  return wait == platform::WAIT_TIMEOUT;
}

void StoreJobsCache::SyncLoop() {
  bool backOnline = false;
  for (;;) {
    platform::DWORD quit = platform::kernel().WaitForSingleObject(quit_, 0);
    if (quit == platform::WAIT_OBJECT_0) return;
    if (quit != platform::WAIT_TIMEOUT) {
      Log(L"Error waiting: " + WindowsErrorResult()->Text());
      return;
    }
    if (backOnline) {
      backOnline = false;
      if (!WaitFailure()) return;
    }
    std::size_t index = 0;
    if (ErrorResultPtr error = os::WaitForAny({quit_, jobs_->Event(), hardware_->Event()},
                                              platform::INFINITE, &index)) {
      Log(L"Error waiting: " + error->Text());
      return;
    }
    if (index == 0) return;
    std::wstring caught;
    try {
      std::string record;
      if (!jobs_->ReadFirst(&record)) {
        if (!SendHardware(0, {})) return;
        // Only when nothing was kept meanwhile: keeping a record and going offline happen
        // together under the mode lock.
        std::lock_guard<std::mutex> hold(modeLock_);
        if (!jobs_->Exists() && !hardware_->Exists()) {
          offline_.store(false);
          backOnline = true;
        }
        continue;
      }
      if (!SendJobRecord(record)) return;
      continue;
    } catch (::Error* error) {
      std::unique_ptr<::Error> owned(error);
      caught = L"Caught error synchronizing: " + owned->Message();
    } catch (const std::exception& e) {
      std::string what = e.what();
      caught = L"Caught exception synchronizing: " + std::wstring(what.begin(), what.end());
    } catch (...) {
      caught = L"Caught unknown exception synchronizing";
    }
    std::lock_guard<std::mutex> hold(modeLock_);
    if (ErrorResultPtr error = jobs_->Archive())
      Log(L"Couldn't archive jobs file: " + error->Text());
    if (ErrorResultPtr error = hardware_->Archive())
      Log(L"Couldn't archive hdw file: " + error->Text());
    Log(caught);
    offline_.store(false);
  }
}

// Sends one kept job until the server has it; false when quit was set meanwhile.
bool StoreJobsCache::SendJobRecord(const std::string& record) {
  const std::int32_t localId = RecordLocalId(record);
  remote::JobReport report = DecodeJobRecord(record);
  report.resent = true;
  remote::JobContext answer;
  bool accepted = false;
  for (;;) {
    answer = remote::JobContext{};
    ServerResultPtr result = queue_->AddJob(report, &answer);
    if (!result) {
      accepted = true;
      break;
    }
    if (result->Text() == L"JOB-EXISTS") {
      accepted = true;
      break;
    }
    if (result->IsDecision()) {
      // The server has answered for the job (whatever it answers, it answers the same at
      // every resend): it will not be sent again.
      Log(L"Kept job record " + std::to_wstring(localId) + L" (job " +
          std::to_wstring(report.spoolerJobId) + L" of queue " + report.queueName +
          L") was answered \"" + result->Text() +
          L"\" by the server; it is removed from the "
          L"jobs file.");
      break;
    }
    Log(L"Error synchronizing job record: " + result->Text());
    if (!WaitFailure()) return false;
    WriteWaiting();
    // Cancelled while the server was away: it is not sent.
    if (!jobs_->IsLive(localId)) return true;
  }
  if (!SendHardware(localId, accepted ? answer.recordIds : std::vector<remote::StoreRecord>{}))
    return false;
  if (accepted && !answer.recordIds.empty() && idChange_)
    idChange_(localId, answer.recordIds.front().id);
  jobs_->Delete(localId);
  return true;
}

bool StoreJobsCache::SendOneHardware(std::int64_t id, const remote::HardwareRecord& record) {
  for (;;) {
    ErrorResultPtr result = queue_->SetHardware(id, record);
    if (!result) return true;
    if (result->Text() == L"NOT-FOUND") {
      Log(L"Couldn't find job " + IdText(id) + L" to set hdw for in the store.");
      return true;
    }
    Log(L"Error synchronizing job hdw record: " + result->Text());
    if (!WaitFailure()) return false;
    WriteWaiting();
  }
}

bool StoreJobsCache::SendHardware(std::int32_t localId,
                                  const std::vector<remote::StoreRecord>& ids) {
  std::string record;
  while (hardware_->ReadFirst(&record)) {
    std::int64_t id = 0;
    remote::HardwareRecord hw = DecodeHardwareRecord(record, &id);
    const std::int32_t hwLocalId = RecordLocalId(record);
    if (id >= 0) {
      if (!SendOneHardware(id, hw)) return false;
      hardware_->Delete(hwLocalId);
      continue;
    }
    const std::int64_t m = -id;
    if (localId != 0 && m == localId) {
      for (std::size_t i = 0; i < ids.size(); ++i) {
        remote::HardwareRecord sent = hw;
        if (i > 0 && sent.jobNumber >= 0) sent.jobNumber = 0;
        if (!SendOneHardware(ids[i].id, sent)) return false;
      }
      hardware_->Delete(hwLocalId);
      return true;
    }
    if (m > localId && jobs_->Exists()) {
      hardware_->Unread();
      return true;
    }
    // Its job is no longer in the jobs file (cancelled, or sent before this reading was kept):
    // there is nothing to attach it to.
    Log(L"Couldn't find job " + IdText(id) + L" to set hdw for in the store.");
    hardware_->Delete(hwLocalId);
  }
  return true;
}

}  // namespace tollgate::store
