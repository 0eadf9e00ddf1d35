// The event logs of the simulated machine (internal to platform/sim).
#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/eventlog.h"
#include "platform/kernel.h"
#include "platform/registry.h"

namespace platform::sim {

class SimEventLog : public EventLog {
 public:
  SimEventLog(std::filesystem::path folder, Registry& registry, Kernel& kernel,
              std::wstring computerName);

  HANDLE OpenEventLogW(const std::wstring& sourceName) override;
  bool ReadEventLogW(HANDLE log, DWORD flags, DWORD recordOffset, DWORD bufferSize,
                     std::vector<EventLogRecord>* records, DWORD* bytesRead,
                     DWORD* minBytesNeeded) override;
  bool GetNumberOfEventLogRecords(HANDLE log, DWORD* count) override;
  bool GetOldestEventLogRecord(HANDLE log, DWORD* oldest) override;
  bool NotifyChangeEventLog(HANDLE log, HANDLE event) override;
  bool CloseEventLog(HANDLE log) override;
  HANDLE RegisterEventSourceW(const std::wstring& sourceName) override;
  bool ReportEventW(HANDLE source, std::uint16_t type, std::uint16_t category, DWORD eventId,
                    const std::vector<std::wstring>& strings,
                    const std::vector<std::uint8_t>& data) override;
  bool DeregisterEventSource(HANDLE source) override;

  // `listener` runs (on the writer's thread) after each record written to the handle's log.
  bool NotifyChange(HANDLE log, std::function<void()> listener);
  // A record of the System log, as the machine's own services write them.
  bool WriteSystem(const std::wstring& source, std::uint16_t type, DWORD eventId,
                   const std::vector<std::wstring>& strings);
  bool Write(const std::string& log, const std::wstring& source, std::uint16_t type,
             std::uint16_t category, DWORD eventId, const std::vector<std::wstring>& strings,
             const std::vector<std::uint8_t>& data);

 private:
  struct Log {
    bool loaded = false;
    std::filesystem::path file;
    std::deque<EventLogRecord> records;
  };
  struct Handle {
    std::string log;
    bool source = false;  // an event source (RegisterEventSourceW), not a reader
    DWORD cursor = 0;     // the record last read; 0 before the first read
    std::vector<std::function<void()>> listeners;
    std::wstring sourceName;
  };
  Log& LogLocked(const std::string& name);
  Handle* FindLocked(HANDLE h, bool source);
  std::string LogOf(const std::wstring& source);

  std::filesystem::path folder_;
  Registry& registry_;
  Kernel& kernel_;
  std::wstring computerName_;
  std::mutex lock_;
  std::map<std::string, Log> logs_;
  std::map<std::uintptr_t, Handle> handles_;
  std::uintptr_t next_ = 0xE0000;
};

}  // namespace platform::sim
