// An event source of the Windows event log, as the supervisor writes to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

class Error;

namespace tollgate {

class EventLog {
 public:
  // Registers the source (RegisterEventSourceW on the local machine); a source that cannot be
  // registered makes every Log fail.
  explicit EventLog(const std::wstring& name);
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Writes one record (category 0, no user, no data) and says on standard output whether it
  // was written. True when it was.
  bool Log(platform::DWORD eventId, std::uint16_t eventType,
           const std::vector<std::wstring>& strings = {});

  // Writes the error: its Id as the event id, a warning when its Extra is 1 (else an error),
  // its arguments as the insertion strings. The error stays the caller's.
  bool Log(const Error& error);

  const std::wstring& Name() const { return name_; }

 private:
  std::wstring name_;
  platform::HANDLE handle_ = nullptr;
  platform::DWORD registerError_ = 0;  // why the source could not be registered
};

}  // namespace tollgate
