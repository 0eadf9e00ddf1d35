// The agent's only road to the print spooler: a lazily opened printer handle, one print
// queue (its jobs, printer record, paper table, port and spool directory) and the local
// print server (its queues, its port table and its default spool directory).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "agent/spooler/ports.h"
#include "platform/spooler.h"

namespace tollgate::spooler {

class PrinterNotification;

class CPrinterBase {
 public:
  // An empty name is the local print server.
  CPrinterBase(std::wstring name, platform::DWORD desiredAccess, bool shared);
  CPrinterBase(const CPrinterBase&) = delete;
  CPrinterBase& operator=(const CPrinterBase&) = delete;

  // The virtual slots in their order: the hook, Open, the destructor.
  virtual void Hook() {}
  // Opens the handle unless it is held; SystemError "OpenPrinter(<name>)" at
  // "CPrinterBase::Open".
  virtual platform::HANDLE Open();
  virtual ~CPrinterBase();

  const std::wstring& Name() const { return name_; }

  // The watcher of this handle's changes, owned; a new one replaces (and closes) the old.
  void SetNotification(std::unique_ptr<PrinterNotification> notification);
  PrinterNotification* Notification() { return notification_.get(); }
  // Ends the watcher's thread and destroys it with its handler; derived classes call it
  // first in their destructors, while the whole object still stands.
  void CloseNotification();

 protected:
  // The object's lock when it is shared between threads (the printer's operations always
  // take it).
  std::unique_lock<std::recursive_mutex> Guard(bool always = false);

  std::wstring name_;

 private:
  platform::HANDLE handle_ = nullptr;
  std::unique_ptr<PrinterNotification> notification_;
  platform::DWORD access_;
  bool shared_;
  std::recursive_mutex lock_;
};

class PrintMgr;

struct Paper {
  std::uint16_t id = 0;
  std::wstring name;  // at most 64 characters
};

class Printer : public CPrinterBase {
 public:
  Printer(std::wstring name, PrintMgr* manager);
  ~Printer() override;

  // The job's record; false when the job is gone.
  bool GetJob(platform::DWORD jobId, platform::JobInfo2* job);
  // False when the job is gone.
  bool SetJob(platform::DWORD jobId, const platform::JobInfo2& info, platform::DWORD command);
  bool SetJob(platform::DWORD jobId, platform::DWORD command);
  // The text the queue window shows beside the job ("" clears it); a gone job is ignored.
  void SetJobStatusText(platform::DWORD jobId, const std::wstring& text);
  std::vector<platform::JobInfo2> GetJobs(platform::DWORD level);
  // False when the queue holds no job.
  bool GetJobIds(std::unordered_set<platform::DWORD>* ids);
  // The cached printer record, fetched again when `refresh` is set or none is cached.
  bool GetPrinterInfo(bool refresh, platform::PrinterInfo2* info = nullptr);
  bool GetPapers();
  const std::vector<Paper>& Papers() const { return papers_; }

  // The queue's port (none when the port table has no such port); owned by the printer.
  virtual Port* GetPort();
  bool IsExcludedPort();
  virtual bool IsColor(const platform::JobInfo2& job);
  // Maps a driver's own paper code to a standard one; false when there is no mapping.
  virtual bool TranslatePaperCode(std::uint16_t* code);

  std::uint16_t GetCopiesFromDevmode(const platform::DevMode& devMode);
  std::wstring GetSpoolDirectory();
  const std::wstring& SpoolDirectory() const { return spoolDirectory_; }
  void SetSpoolDirectory(const std::wstring& directory);

  PrintMgr& Manager() { return *manager_; }

 protected:
  // The private bytes of a job's DEVMODE.
  static const std::vector<std::uint8_t>& Private(const platform::DevMode& devMode) {
    return devMode.driverExtra;
  }

 private:
  PrintMgr* manager_;
  std::unique_ptr<platform::PrinterInfo2> info_;
  std::unique_ptr<Port> port_;
  std::wstring portName_;
  std::vector<Paper> papers_;
  bool papersLoaded_ = false;
  std::wstring spoolDirectory_;
};

// Makes the queue's Printer, or declines it (none).
using PrinterMaker = std::unique_ptr<Printer> (*)(const std::wstring& name,
                                                  const std::wstring& driver, PrintMgr* manager);

class PrintMgr : public CPrinterBase {
 public:
  explicit PrintMgr(std::wstring serverName, bool shared = true);
  ~PrintMgr() override;

  void LoadPorts(bool reload);
  std::unique_ptr<Port> GetPort(const std::wstring& portName, bool reload);
  std::wstring GetDefaultSpoolDirectory();
  // False when the spooler is not ready yet (its first queue has no name).
  bool LoadPrinters(platform::DWORD flags, const std::wstring& serverName);

  std::vector<std::unique_ptr<Printer>>& Printers() { return printers_; }
  // The lock of the queue list and the port table.
  std::unique_lock<std::recursive_mutex> Lock() { return Guard(true); }
  std::size_t PortCount() const { return ports_.size(); }
  void SetPrinterMaker(PrinterMaker maker) { maker_ = maker; }

 private:
  std::wstring server_;
  std::vector<platform::PortInfo2> ports_;
  bool portsLoaded_ = false;
  std::vector<std::unique_ptr<Printer>> printers_;
  std::wstring defaultSpoolDirectory_;
  PrinterMaker maker_;
};

// The queue-information component: the port of the queue's printer record (GetPrinterW
// level 2 on a handle of the queue); the errors are Printer's.
std::wstring QueuePortName(const std::wstring& queue);

}  // namespace tollgate::spooler
