// The job checker: the worker of a queue's job-checker thread. For a spooled, held job it
// reads the job record, counts the job from its spool data, has the server decide through the
// job store, records the outcome in the queue's job table and applies it to the spooler; for
// a job deleted before it printed it cancels the job's store records.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/rpc/payloads.h"
#include "agent/spooler/printer_notification.h"
#include "gatelib/printing/job_counts.h"
#include "platform/spooler.h"

namespace tollgate::spooler {
class Printer;
}

namespace tollgate::jobs {

// What the checker needs of the job store.
class JobStore {
 public:
  virtual ~JobStore() = default;
  // None: accepted (the context holds the record ids and the answer's texts); else the
  // server's decision or a failure.
  virtual remote::ServerResultPtr AddJob(const remote::JobReport& report,
                                         remote::JobContext* context) = 0;
  virtual ErrorResultPtr DeleteJob(std::int64_t id) = 0;
};

// The settings of the queue, read again for every job.
struct CheckerSettings {
  std::int32_t language = 0;
  bool emfCopiesReading = true;
  bool isToArchive = false;
  std::int32_t id = 0;
  bool identifyHardware = false;
  bool isToCheckCounterAfterPrint = false;
  std::wstring snmpCommunity;
};

// What the server's answer to a job report says.
struct SendResult {
  std::int16_t status = 0;
  std::vector<remote::StoreRecord> storeIds;
  std::wstring confirmation;              // 12: the question for the user
  std::vector<remote::Account> accounts;  // 6
  std::string publicKey;                  // 13, 14: as the server sent it
  std::string watermark;                  // 0
  std::string feedbackMessage;            // 0: UTF-8
  bool heldByStore = false;               // 1: the store could not keep the job yet
  bool keptInMemory = false;              // kept offline, its record not yet on the disk
};

// Reports the job: the status code of the server's answer (the error texts of the status
// table; another text logs "Invalid error: '<text>'" and gives 3) with what came with it.
SendResult SendJob(JobStore& store, const remote::JobReport& report);

// The spooler's Submitted time as an OLE automation date; false for an impossible date.
bool OleDate(const platform::SystemTime& time, double* date);

class JobChecker {
 public:
  static constexpr int kLinesPerPage = 66;

  JobChecker(spooler::JobNotificationHandler& handler, JobStore& store);
  JobChecker(const JobChecker&) = delete;
  JobChecker& operator=(const JobChecker&) = delete;
  ~JobChecker();

  // Opens the checker's own handle on the queue; false when the queue cannot be opened (the
  // checker then releases every job it is given).
  bool Initialize();
  void Execute(spooler::JobCheckerRequest& request);
  void Terminate();
  void DeleteStoreRecords(const std::vector<std::int64_t>& ids);

  // Always completes: a job whose data cannot be read is counted from what the spooler knows
  // of it (0 pages when it knows nothing), and the failure is logged.
  gatelib::printing::JobCounts CountJob(const platform::JobInfo2& job);
  // `resent`: the job was reported before, or may have been (a job that printed while no
  // watch held it): the server answers a job it already holds with what it answered then.
  platform::DWORD Decide(const platform::JobInfo2& job, const spooler::TrackedJob& tracked,
                         std::vector<std::int64_t>* storeIds, bool resent = false);

  // The queue's settings snapshot, read again at the start of every job.
  void ReadSettings();
  const CheckerSettings& Settings() const { return settings_; }

 private:
  // The kind of the queue's port (1 network, 2 local with a UNC path, 0 other) and its
  // address; a port whose address cannot be read has none, logged.
  struct PortFacts {
    int kind = 0;
    std::wstring address;
  };
  PortFacts ReadPort(platform::DWORD jobId);
  // Every decision about a spooled job that is not a deletion is recorded here, in the
  // queue's job table (a job released is never held again by the watcher).
  void RecordDecision(platform::DWORD jobId, const std::vector<std::int64_t>& ids,
                      platform::DWORD command);
  gatelib::printing::JobCounts CountFromData(const platform::JobInfo2& job);
  void ProcessSpooled(const spooler::TrackedJob& tracked);
  void AnalyseForLanguage(const platform::JobInfo2& job, gatelib::printing::JobCounts* counts);
  void Analyse(const platform::JobInfo2& job, bool text, gatelib::printing::JobCounts* counts,
               bool* failed);

  spooler::JobNotificationHandler& handler_;
  spooler::Printer& printer_;
  JobStore& store_;
  std::wstring queueName_;
  std::unique_ptr<spooler::Printer> own_;  // the handle the final SetJob goes through
  platform::HANDLE finished_ = nullptr;
  CheckerSettings settings_;
  int auditMode_ = 0;  // 0 none, 1 hold audit, 2 counter after print
  std::uint16_t paperOverride_ = 0;
  std::wstring documentName_;
  std::vector<remote::StoreRecord> lastIds_;
  std::int32_t lastPages_ = 0;
  bool heldByStore_ = false;   // the last decision: held because the store could not keep it
  bool keptInMemory_ = false;  // the last decision: its record waits in the store's memory
};

}  // namespace tollgate::jobs
