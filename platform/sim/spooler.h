// The print spooler of the simulated machine (internal to platform/sim): queues and ports
// from the registry, jobs with their spool and shadow files, the printer that prints
// released jobs into printed/<queue>/, change notifications and the journal spooler.jsonl.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/sim/objects.h"
#include "platform/spooler.h"

namespace platform::sim {

// Who asks, for the journal's "by", and whose job a submitted one is. The machine process
// sets it for each request from its callers' greetings; in-process it is the program itself.
struct SpoolCaller {
  std::wstring program;
  std::wstring user;
  std::wstring machine;
  DWORD pages = 0;          // TotalPages of the next document
  std::wstring notifyName;  // pNotifyName of the next document (the user when empty)
};
SpoolCaller& CurrentSpoolCaller();

class SimSpooler : public Spooler {
 public:
  SimSpooler(std::filesystem::path folder, Registry& registry, HandleTable& handles,
             std::wstring computerName);
  ~SimSpooler() override;

  // The service's life: Start loads queues, ports and the jobs kept in the spool
  // directories; Stop ends it in order; Crash ends it as a failing process does (every
  // handle and notification fails, jobs stay only in their files).
  void Start();
  // Writes "DefaultSpoolDirectory" of the Printers key as Windows keeps it when the registry
  // has none, so that programs reading it find the folder the spooler uses.
  void WriteDefaultSpoolDirectory();
  void Stop();
  void Crash();
  bool Running();
  // The queues of the running spooler (0 when it is not running).
  std::size_t QueueCount();

  // Notifications as the machine process serves them: `signal` runs whenever changes wait
  // (and once with true when the spooler goes away). The watcher's id, or 0 (last error set).
  DWORD Watch(HANDLE printer, DWORD filter, const PrinterNotifyOptions* options,
              std::function<void(bool failed)> signal);
  bool Next(DWORD watcher, DWORD* changeFlags, const PrinterNotifyOptions* options,
            PrinterNotifyInfo* info);
  bool Unwatch(DWORD watcher);

  bool EnumPrintersW(DWORD flags, const std::wstring& name,
                     std::vector<PrinterInfo2>* printers) override;
  bool EnumPortsW(const std::wstring& server, std::vector<PortInfo2>* ports) override;
  bool OpenPrinterW(const std::wstring& name, HANDLE* printer,
                    const PrinterDefaults* defaults) override;
  bool ClosePrinter(HANDLE printer) override;
  bool GetPrinterW(HANDLE printer, PrinterInfo2* info) override;
  DWORD GetPrinterDataW(HANDLE printer, const std::wstring& valueName, DWORD* type,
                        std::vector<std::uint8_t>* data) override;
  DWORD SetPrinterDataExW(HANDLE printer, const std::wstring& keyName,
                          const std::wstring& valueName, DWORD type,
                          const std::vector<std::uint8_t>& data) override;
  bool EnumJobsW(HANDLE printer, DWORD firstJob, DWORD noJobs,
                 std::vector<JobInfo2>* jobs) override;
  bool GetJobW(HANDLE printer, DWORD jobId, JobInfo2* job) override;
  bool SetJobW(HANDLE printer, DWORD jobId, DWORD level, const JobInfo2* info,
               DWORD command) override;
  int DeviceCapabilitiesW(const std::wstring& device, const std::wstring& port,
                          std::uint16_t capability, std::vector<std::uint16_t>* papers,
                          std::vector<std::wstring>* paperNames) override;
  HANDLE FindFirstPrinterChangeNotification(HANDLE printer, DWORD filter, DWORD options,
                                            const PrinterNotifyOptions* notifyOptions) override;
  bool FindNextPrinterChangeNotification(HANDLE change, DWORD* changeFlags,
                                         const PrinterNotifyOptions* notifyOptions,
                                         PrinterNotifyInfo** info) override;
  bool FreePrinterNotifyInfo(PrinterNotifyInfo* info) override;
  bool FindClosePrinterChangeNotification(HANDLE change) override;
  DWORD StartDocPrinterW(HANDLE printer, const DocInfo1& doc) override;
  bool WritePrinter(HANDLE printer, const void* data, DWORD size, DWORD* written) override;
  bool EndDocPrinter(HANDLE printer) override;

  // The spool directory of a queue (host path).
  std::filesystem::path SpoolDirectory(const std::wstring& queue);

 private:
  struct Queue {
    std::wstring name;
    PrinterInfo2 info;
    std::wstring spoolDirectory;  // the queue's own "SpoolDirectory", or empty
    std::vector<std::pair<std::uint16_t, std::wstring>> papers;
    DWORD id = 0;  // the notification id of the printer
  };
  struct Job {
    JobInfo2 info;
    std::wstring queue;  // upper-case key
    std::filesystem::path spool, shadow;
    bool complete = false;
    std::chrono::steady_clock::time_point spooledAt;
    std::uint64_t order = 0;
    std::shared_ptr<std::ofstream> writing;  // the spool file while the document is written
  };
  struct PrinterHandle {
    std::wstring queue;  // upper-case key; empty for the server
    std::uint64_t run = 0;
    PrinterDefaults defaults;
    DWORD docJob = 0;  // the document being written
  };
  struct Entry {
    std::uint16_t type, field;
    DWORD id;
  };
  struct Watcher {
    std::wstring queue;  // empty: the server
    std::uint64_t run = 0;
    DWORD filter = 0;
    PrinterNotifyOptions options;
    DWORD change = 0;
    std::vector<PrinterNotifyInfoData> pending;
    bool discarded = false;
    bool failed = false;
    std::function<void(bool)> signal;
  };

  bool UpLocked();
  void LoadLocked();
  void LoadQueuesLocked(bool notify);
  void LoadPortsLocked();
  void LoadJobsLocked();
  PrinterHandle* HandleLocked(HANDLE h);
  Queue* QueueLocked(const std::wstring& key);
  std::filesystem::path SpoolDirectoryLocked(const Queue& q);
  PrinterInfo2 PrinterRecordLocked(const Queue& q);
  void Journal(const std::wstring& queue, DWORD job, const char* event,
               const std::vector<std::pair<std::string, std::wstring>>& details);
  void SaveShadowLocked(const Job& job);
  // `fields`: the job fields that changed (empty: all of them, for a new job).
  void NotifyJobLocked(const Job& job, DWORD change, std::vector<std::uint16_t> fields = {});
  void NotifyPrinterLocked(const Queue& q, DWORD change);
  void AddEntryLocked(Watcher& w, PrinterNotifyInfoData d);
  PrinterNotifyInfoData JobFieldLocked(const Job& job, std::uint16_t field);
  void RemoveJobLocked(DWORD id);
  // Drops the oldest printed jobs of a queue that keeps printed documents beyond its bound.
  void KeepPrintedLocked(const std::wstring& queue);
  void PrinterLoop(std::uint64_t run);
  void EndRunLocked(bool crashed, std::unique_lock<std::mutex>& lock);

  std::filesystem::path folder_;
  Registry& registry_;
  HandleTable& handles_;
  std::wstring computerName_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool running_ = false;
  bool loaded_ = false;
  std::uint64_t run_ = 1;
  std::map<std::wstring, Queue> queues_;
  std::vector<PortInfo2> ports_;
  std::map<DWORD, Job> jobs_;
  DWORD nextJob_ = 1;
  DWORD nextQueueId_ = 1;
  std::uint64_t nextOrder_ = 1;
  std::map<std::uintptr_t, PrinterHandle> printers_;
  std::uintptr_t nextHandle_ = 0x7A0000;
  std::map<DWORD, Watcher> watchers_;
  DWORD nextWatcher_ = 1;
  std::map<HANDLE, DWORD> changeHandles_;  // in-process change handles and their watchers
  std::thread printer_;
  std::mutex journalLock_;
  std::ofstream journal_;
  DWORD reservedJob_ = 0;  // job ids below this one are recorded as used
};

// The DEVMODEW of Windows as bytes (the public part, then the driver's private bytes), and
// back; false for bytes that are no DEVMODE.
std::vector<std::uint8_t> DevModeBytes(const DevMode& devMode);
bool DevModeFromBytes(const std::uint8_t* data, std::size_t size, DevMode* devMode);

// A plain EMF file as a one-page EMF spool file with the job's DEVMODE.
std::string WrapEmfAsSpoolFile(const std::string& emf, const DevMode& devMode,
                               const std::wstring& document);

class SimGdiSpool : public GdiSpool {
 public:
  SimGdiSpool(Spooler& spooler, Registry& registry, std::filesystem::path folder)
      : spooler_(spooler), registry_(registry), folder_(std::move(folder)) {}
  HANDLE GdiGetSpoolFileHandle(const std::wstring& printer, const DevMode* devMode,
                               const std::wstring& document) override;
  bool GdiGetPageCount(HANDLE spool, DWORD* pages) override;
  bool GdiGetDevmodeForPage(HANDLE spool, DWORD page, DevMode* current, DevMode* last) override;
  bool GdiDeleteSpoolFileHandle(HANDLE spool) override;

 private:
  struct SpoolFile {
    std::vector<DevMode> devModes;  // in the order the file records them
    std::vector<int> pageDevMode;   // per page: index into devModes, -1 for the job's
    std::optional<DevMode> jobDevMode;
  };
  Spooler& spooler_;
  Registry& registry_;
  std::filesystem::path folder_;
  std::mutex lock_;
  std::map<std::uintptr_t, SpoolFile> open_;
  std::uintptr_t next_ = 0x6D0000;
};

}  // namespace platform::sim
