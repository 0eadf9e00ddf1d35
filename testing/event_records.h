// The records of an event log ("System" or "Application"), oldest first, as a reader of the
// log gets them.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace tollgate::testing {

inline std::vector<platform::EventLogRecord> EventRecords(const std::wstring& log) {
  auto& events = platform::eventLog();
  std::vector<platform::EventLogRecord> all, some;
  platform::HANDLE h = events.OpenEventLogW(log);
  if (h == nullptr) return all;
  platform::DWORD read = 0, needed = 0;
  while (events.ReadEventLogW(h,
                              platform::EVENTLOG_SEQUENTIAL_READ | platform::EVENTLOG_FORWARDS_READ,
                              0, 65536, &some, &read, &needed)) {
    all.insert(all.end(), some.begin(), some.end());
  }
  events.CloseEventLog(h);
  return all;
}

// The records of one source.
inline std::vector<platform::EventLogRecord> EventRecordsOf(const std::wstring& log,
                                                            const std::wstring& source) {
  std::vector<platform::EventLogRecord> mine;
  for (auto& r : EventRecords(log)) {
    if (r.SourceName == source) mine.push_back(r);
  }
  return mine;
}

}  // namespace tollgate::testing
