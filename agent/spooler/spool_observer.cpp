#include "agent/spooler/spool_observer.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "agent/spooler/printer_notification.h"
#include "platform/eventlog.h"
#include "platform/platform.h"
#include "shared/application/service_manager.h"
#include "shared/components/core.h"
#include "shared/error/catalogue.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"
#include "shared/error/report.h"

namespace tollgate::spooler {

using platform::DWORD;

namespace {

constexpr wchar_t kSource[] = L"Service Control Manager";
constexpr DWORD kFirstBuffer = 56;
constexpr int kReadTries = 4;
constexpr DWORD kLargestRecord = 0x7FFFF;  // an event record is at most 512 KiB

class LogHandle {
 public:
  explicit LogHandle(platform::HANDLE log) : log_(log) {}
  ~LogHandle() {
    if (log_ != nullptr) platform::eventLog().CloseEventLog(log_);
  }
  platform::HANDLE get() const { return log_; }

 private:
  platform::HANDLE log_;
};

class EventHandle {
 public:
  explicit EventHandle(platform::HANDLE event) : event_(event) {}
  ~EventHandle() {
    if (event_ != nullptr) platform::kernel().CloseHandle(event_);
  }
  platform::HANDLE get() const { return event_; }

 private:
  platform::HANDLE event_;
};

// One read: the records, or none at the end of the log; SystemError "M34" on a failure.
// A buffer too small is grown to the size the call asks for and the read repeated; while the
// log is being written (a record overwritten, the oldest dropped) the next answer may ask
// for more again, so a few tries are made, never past the largest record a log holds.
bool ReadRecords(platform::HANDLE log, DWORD flags,
                 std::vector<platform::EventLogRecord>* records) {
  platform::EventLog& events = platform::eventLog();
  DWORD size = kFirstBuffer;
  for (int attempt = 0; attempt < kReadTries; ++attempt) {
    DWORD read = 0, needed = 0;
    records->clear();
    if (events.ReadEventLogW(log, flags, 0, size, records, &read, &needed)) return true;
    DWORD error = platform::kernel().GetLastError();
    if (error == platform::ERROR_HANDLE_EOF) return false;
    if (error != platform::ERROR_INSUFFICIENT_BUFFER || attempt + 1 == kReadTries)
      throw new SystemError(L"M34");
    size = std::min(kLargestRecord, std::max(needed, size * 2));
  }
  return false;
}

}  // namespace

SpoolObserver::SpoolObserver(platform::HANDLE quit, std::function<void()> restart, DWORD stepMs)
    : quit_(quit), restart_(std::move(restart)), stepMs_(std::max<DWORD>(stepMs, 1)) {}

SpoolObserver::~SpoolObserver() {
  if (thread_.handle != nullptr) {
    platform::kernel().WaitForSingleObject(thread_.handle, platform::INFINITE);
    thread_.Close();
  }
}

void SpoolObserver::Start() {
  thread_.Start(kThreadStack, [this] { return Run(); });
}

ErrorResultPtr SpoolObserver::Stop() {
  if (thread_.handle == nullptr) return nullptr;
  ErrorResultPtr error = os::WaitForThread(thread_.handle, platform::INFINITE);
  thread_.Close();
  return error;
}

DWORD SpoolObserver::Run() {
  try {
    Observe();
  } catch (Error* error) {
    ReportToHandler(error);
  } catch (const std::exception& exception) {
    ReportToHandler(exception);
  } catch (...) {
    ReportToHandler(new UnknownError(L"SpoolObserver::Run"));
  }
  return 0;
}

void SpoolObserver::Observe() {
  std::wstring spoolerName;
  {
    ServiceManager services;
    spoolerName = services.GetDisplayName(L"Spooler");
  }
  platform::EventLog& events = platform::eventLog();
  LogHandle log(events.OpenEventLogW(kSource));
  if (log.get() == nullptr) throw new SystemError(L"M29");
  EventHandle changed(platform::kernel().CreateEventW(true, false));
  if (changed.get() == nullptr) throw new SystemError(L"M35");
  // Reading the newest record backwards puts the reader after it: only new records count.
  std::vector<platform::EventLogRecord> records;
  ReadRecords(log.get(), platform::EVENTLOG_SEQUENTIAL_READ | platform::EVENTLOG_BACKWARDS_READ,
              &records);
  if (!events.NotifyChangeEventLog(log.get(), changed.get())) throw new SystemError(L"M31");
  for (;;) {
    int which = os::SyncLock::Lock({changed.get(), quit_}, platform::INFINITE);
    if (which != 0) return;
    platform::kernel().ResetEvent(changed.get());
    if (!ReadNew(log.get(), spoolerName)) return;
  }
}

bool SpoolObserver::ReadNew(platform::HANDLE log, const std::wstring& spoolerName) {
  std::vector<platform::EventLogRecord> records;
  while (ReadRecords(log, platform::EVENTLOG_SEQUENTIAL_READ | platform::EVENTLOG_FORWARDS_READ,
                     &records)) {
    for (const auto& record : records) {
      if (record.SourceName != kSource || record.EventType != platform::EVENTLOG_ERROR_TYPE)
        continue;
      if (std::find(record.Strings.begin(), record.Strings.end(), spoolerName) ==
          record.Strings.end())
        continue;
      if (!Restart()) return false;
    }
  }
  return true;
}

bool SpoolObserver::Restart() {
  for (int i = 1;; i = std::min(i + 1, kMaxSteps)) {
    if (os::SyncLock::Lock(quit_, static_cast<DWORD>(i) * stepMs_)) return false;
    try {
      Log(Catalogue().Text(25));
      restart_();
      return true;
    } catch (Error* error) {
      ReportToHandler(error);
    } catch (const std::exception& exception) {
      ReportToHandler(exception);
    } catch (...) {
      ReportToHandler(new UnknownError(L"SpoolObserver::Restart"));
    }
  }
}

}  // namespace tollgate::spooler
