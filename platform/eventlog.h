// The event log: reading a log's records (the spool observer) and writing records under an
// event source (the supervisor), with the Win32 calls' meaning and error codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

constexpr std::uint16_t EVENTLOG_SUCCESS = 0x0000;
constexpr std::uint16_t EVENTLOG_ERROR_TYPE = 0x0001;
constexpr std::uint16_t EVENTLOG_WARNING_TYPE = 0x0002;
constexpr std::uint16_t EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr std::uint16_t EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr std::uint16_t EVENTLOG_AUDIT_FAILURE = 0x0010;

constexpr DWORD EVENTLOG_SEQUENTIAL_READ = 0x0001;
constexpr DWORD EVENTLOG_SEEK_READ = 0x0002;
constexpr DWORD EVENTLOG_FORWARDS_READ = 0x0004;
constexpr DWORD EVENTLOG_BACKWARDS_READ = 0x0008;

// The fixed part of EVENTLOGRECORD, in bytes.
constexpr DWORD EVENTLOGRECORD_FIXED_SIZE = 56;

struct EventLogRecord {  // EVENTLOGRECORD with its variable parts
  DWORD RecordNumber = 0;
  DWORD TimeGenerated = 0;  // seconds since 1970-01-01 UTC
  DWORD TimeWritten = 0;
  DWORD EventID = 0;
  std::uint16_t EventType = 0;
  std::uint16_t EventCategory = 0;
  std::wstring SourceName;
  std::wstring ComputerName;
  std::vector<std::wstring> Strings;
  std::vector<std::uint8_t> Data;
};

// The bytes the record takes in a ReadEventLogW buffer (its Length field).
inline DWORD EventLogRecordLength(const EventLogRecord& record) {
  std::size_t n = EVENTLOGRECORD_FIXED_SIZE;  // header, then the texts with their zeros
  n += (record.SourceName.size() + 1) * 2 + (record.ComputerName.size() + 1) * 2;
  for (const std::wstring& s : record.Strings) n += (s.size() + 1) * 2;
  n += record.Data.size();
  n = (n + 3) & ~std::size_t{3};
  return static_cast<DWORD>(n + 4);  // the closing copy of the length
}

class EventLog {
 public:
  virtual ~EventLog() = default;

  // OpenEventLogW (null server): the log that holds `sourceName` ("System", "Application", or
  // a source registered under one of them; any other name opens the Application log).
  virtual HANDLE OpenEventLogW(const std::wstring& sourceName) = 0;
  // ReadEventLogW: as many whole records as `bufferSize` bytes hold, starting from the handle's
  // position (sequential) or at `recordOffset` (seek). ERROR_INSUFFICIENT_BUFFER with
  // `minBytesNeeded` when not even the first record fits; ERROR_HANDLE_EOF when none is left.
  virtual bool ReadEventLogW(HANDLE log, DWORD flags, DWORD recordOffset, DWORD bufferSize,
                             std::vector<EventLogRecord>* records, DWORD* bytesRead,
                             DWORD* minBytesNeeded) = 0;
  virtual bool GetNumberOfEventLogRecords(HANDLE log, DWORD* count) = 0;
  virtual bool GetOldestEventLogRecord(HANDLE log, DWORD* oldest) = 0;
  // NotifyChangeEventLog: `event` (a kernel event of this process) is set whenever a record is
  // written to the log, until the handle is closed.
  virtual bool NotifyChangeEventLog(HANDLE log, HANDLE event) = 0;
  virtual bool CloseEventLog(HANDLE log) = 0;

  // RegisterEventSourceW (null server), ReportEventW (no user SID), DeregisterEventSource.
  virtual HANDLE RegisterEventSourceW(const std::wstring& sourceName) = 0;
  virtual bool ReportEventW(HANDLE source, std::uint16_t type, std::uint16_t category,
                            DWORD eventId, const std::vector<std::wstring>& strings,
                            const std::vector<std::uint8_t>& data) = 0;
  virtual bool DeregisterEventSource(HANDLE source) = 0;
};

}  // namespace platform
