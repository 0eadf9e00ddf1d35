#include "shared/application/event_log.h"

#include <cstdio>

#include "platform/platform.h"
#include "shared/error/errors.h"

namespace tollgate {

EventLog::EventLog(const std::wstring& name)
    : name_(name), handle_(platform::eventLog().RegisterEventSourceW(name)) {
  if (handle_ == nullptr) registerError_ = platform::kernel().GetLastError();
}

EventLog::~EventLog() {
  if (handle_ != nullptr) platform::eventLog().DeregisterEventSource(handle_);
}

bool EventLog::Log(platform::DWORD eventId, std::uint16_t eventType,
                   const std::vector<std::wstring>& strings) {
  bool logged = handle_ != nullptr &&
                platform::eventLog().ReportEventW(handle_, eventType, 0, eventId, strings, {});
  if (logged) {
    platform::console().WriteOut("\nEventLog: A message was logged.");
  } else {
    platform::DWORD error = handle_ != nullptr ? platform::kernel().GetLastError() : registerError_;
    char line[64];
    std::snprintf(line, sizeof line, "\nEventLog::Log: Couldn't log: %u", error);
    platform::console().WriteOut(line);
  }
  return logged;
}

bool EventLog::Log(const Error& error) {
  std::uint16_t type =
      error.Extra() == 1 ? platform::EVENTLOG_WARNING_TYPE : platform::EVENTLOG_ERROR_TYPE;
  return Log(error.Id(), type, error.Args());
}

}  // namespace tollgate
