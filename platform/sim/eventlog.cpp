// The event logs of the simulated machine: "System" and "Application", each kept as one JSON
// object a line in eventlog/<log>.jsonl of the machine folder.
#include "platform/sim/eventlog.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/sim/areas.h"
#include "platform/sim/text.h"

namespace platform::sim {
namespace {

constexpr std::size_t kMaxRecords = 20000;      // the oldest are overwritten past this
constexpr std::size_t kMaxLineBytes = 1 << 20;  // a longer line is not a record

std::string Upper8(const std::wstring& s) {
  return Utf8FromWide(UpperName(s));
}

DWORD Now() {
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count());
}

std::string Line(const EventLogRecord& e) {
  rapidjson::StringBuffer out;
  rapidjson::Writer<rapidjson::StringBuffer> w(out);
  w.StartObject();
  w.Key("record");
  w.Uint(e.RecordNumber);
  w.Key("time");
  w.Uint(e.TimeGenerated);
  w.Key("written");
  w.Uint(e.TimeWritten);
  w.Key("id");
  w.Uint(e.EventID);
  w.Key("type");
  w.Uint(e.EventType);
  w.Key("category");
  w.Uint(e.EventCategory);
  w.Key("source");
  w.String(Utf8FromWide(e.SourceName).c_str());
  w.Key("computer");
  w.String(Utf8FromWide(e.ComputerName).c_str());
  w.Key("strings");
  w.StartArray();
  for (const auto& s : e.Strings) {
    std::string u = Utf8FromWide(s);
    w.String(u.c_str(), static_cast<rapidjson::SizeType>(u.size()));
  }
  w.EndArray();
  static const char* hex = "0123456789abcdef";
  std::string data;
  for (std::uint8_t b : e.Data) {
    data += hex[b >> 4];
    data += hex[b & 15];
  }
  w.Key("data");
  w.String(data.c_str());
  w.EndObject();
  return std::string(out.GetString(), out.GetSize()) + "\n";
}

bool FromLine(const std::string& line, EventLogRecord* e) {
  rapidjson::Document d;
  d.Parse(line.c_str(), line.size());
  if (d.HasParseError() || !d.IsObject()) return false;
  auto num = [&](const char* k, DWORD* v, DWORD max) {
    auto it = d.FindMember(k);
    if (it == d.MemberEnd() || !it->value.IsUint() || it->value.GetUint() > max) return false;
    *v = it->value.GetUint();
    return true;
  };
  auto text = [&](const char* k, std::wstring* v) {
    auto it = d.FindMember(k);
    if (it == d.MemberEnd() || !it->value.IsString()) return false;
    *v = WideFromUtf8(std::string_view(it->value.GetString(), it->value.GetStringLength()));
    return true;
  };
  DWORD type = 0, category = 0;
  if (!num("record", &e->RecordNumber, 0xFFFFFFFF) || !num("time", &e->TimeGenerated, 0xFFFFFFFF) ||
      !num("id", &e->EventID, 0xFFFFFFFF) || !num("type", &type, 0xFFFF) ||
      !num("category", &category, 0xFFFF) || !text("source", &e->SourceName) ||
      !text("computer", &e->ComputerName)) {
    return false;
  }
  if (!num("written", &e->TimeWritten, 0xFFFFFFFF)) e->TimeWritten = e->TimeGenerated;
  e->EventType = static_cast<std::uint16_t>(type);
  e->EventCategory = static_cast<std::uint16_t>(category);
  e->Strings.clear();
  auto strings = d.FindMember("strings");
  if (strings != d.MemberEnd()) {
    if (!strings->value.IsArray()) return false;
    for (const auto& s : strings->value.GetArray()) {
      if (!s.IsString()) return false;
      e->Strings.push_back(WideFromUtf8(std::string_view(s.GetString(), s.GetStringLength())));
    }
  }
  e->Data.clear();
  auto data = d.FindMember("data");
  if (data != d.MemberEnd() && data->value.IsString()) {
    std::string h(data->value.GetString(), data->value.GetStringLength());
    for (std::size_t k = 0; k + 1 < h.size(); k += 2) {
      e->Data.push_back(static_cast<std::uint8_t>(std::stoi(h.substr(k, 2), nullptr, 16)));
    }
  }
  return true;
}

}  // namespace

SimEventLog::SimEventLog(std::filesystem::path folder, Registry& registry, Kernel& kernel,
                         std::wstring computerName)
    : folder_(std::move(folder)),
      registry_(registry),
      kernel_(kernel),
      computerName_(std::move(computerName)) {}

SimEventLog::Log& SimEventLog::LogLocked(const std::string& name) {
  Log& log = logs_[name];
  if (log.loaded) return log;
  log.loaded = true;
  log.file = folder_ / "eventlog" / (name + ".jsonl");
  std::ifstream in(log.file, std::ios::binary);
  std::string line;
  std::size_t number = 0, bad = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    EventLogRecord e;
    if (line.size() > kMaxLineBytes || !FromLine(line, &e) ||
        (!log.records.empty() && e.RecordNumber <= log.records.back().RecordNumber)) {
      ++bad;
      continue;
    }
    log.records.push_back(std::move(e));
    if (log.records.size() > kMaxRecords) log.records.pop_front();
  }
  if (bad > 0) {
    std::fprintf(stderr, "event log %s: %zu unreadable lines passed over\n",
                 log.file.string().c_str(), bad);
  }
  return log;
}

std::string SimEventLog::LogOf(const std::wstring& source) {
  std::string upper = Upper8(source);
  if (upper == "SYSTEM" || upper == "SERVICE CONTROL MANAGER") return "System";
  if (upper == "APPLICATION") return "Application";
  HKEY key = nullptr;
  if (registry_.RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                              L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\" + source,
                              KEY_READ, &key) == ERROR_SUCCESS) {
    registry_.RegCloseKey(key);
    return "System";
  }
  return "Application";
}

HANDLE SimEventLog::OpenEventLogW(const std::wstring& sourceName) {
  std::string log = LogOf(sourceName);
  std::lock_guard<std::mutex> guard(lock_);
  LogLocked(log);
  std::uintptr_t h = next_ += 4;
  handles_[h] = Handle{log, false, 0, {}, L""};
  return reinterpret_cast<HANDLE>(h);
}

SimEventLog::Handle* SimEventLog::FindLocked(HANDLE h, bool source) {
  auto it = handles_.find(reinterpret_cast<std::uintptr_t>(h));
  if (it == handles_.end() || it->second.source != source) return nullptr;
  return &it->second;
}

bool SimEventLog::ReadEventLogW(HANDLE log, DWORD flags, DWORD recordOffset, DWORD bufferSize,
                                std::vector<EventLogRecord>* records, DWORD* bytesRead,
                                DWORD* minBytesNeeded) {
  std::lock_guard<std::mutex> guard(lock_);
  Handle* h = FindLocked(log, false);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  bool sequential = (flags & EVENTLOG_SEQUENTIAL_READ) != 0;
  bool seek = (flags & EVENTLOG_SEEK_READ) != 0;
  bool forwards = (flags & EVENTLOG_FORWARDS_READ) != 0;
  bool backwards = (flags & EVENTLOG_BACKWARDS_READ) != 0;
  if (sequential == seek || forwards == backwards || records == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, false);
  }
  if (bytesRead != nullptr) *bytesRead = 0;
  if (minBytesNeeded != nullptr) *minBytesNeeded = 0;
  records->clear();
  Log& l = LogLocked(h->log);
  if (l.records.empty()) return Fail(ERROR_HANDLE_EOF, false);
  DWORD oldest = l.records.front().RecordNumber;
  DWORD newest = l.records.back().RecordNumber;
  std::int64_t next;
  if (seek) {
    next = recordOffset;
    if (next < oldest || next > newest) return Fail(ERROR_INVALID_PARAMETER, false);
  } else if (h->cursor == 0) {
    next = forwards ? oldest : newest;
  } else {
    next = forwards ? std::int64_t{h->cursor} + 1 : std::int64_t{h->cursor} - 1;
  }
  DWORD used = 0;
  while (next >= oldest && next <= newest) {
    const EventLogRecord& e = l.records[static_cast<std::size_t>(next - oldest)];
    DWORD length = EventLogRecordLength(e);
    if (used + length > bufferSize) {
      if (records->empty()) {
        if (minBytesNeeded != nullptr) *minBytesNeeded = length;
        return Fail(ERROR_INSUFFICIENT_BUFFER, false);
      }
      break;
    }
    used += length;
    records->push_back(e);
    h->cursor = static_cast<DWORD>(next);
    next += forwards ? 1 : -1;
  }
  if (records->empty()) return Fail(ERROR_HANDLE_EOF, false);
  if (bytesRead != nullptr) *bytesRead = used;
  return true;
}

bool SimEventLog::GetNumberOfEventLogRecords(HANDLE log, DWORD* count) {
  std::lock_guard<std::mutex> guard(lock_);
  Handle* h = FindLocked(log, false);
  if (h == nullptr || count == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  *count = static_cast<DWORD>(LogLocked(h->log).records.size());
  return true;
}

bool SimEventLog::GetOldestEventLogRecord(HANDLE log, DWORD* oldest) {
  std::lock_guard<std::mutex> guard(lock_);
  Handle* h = FindLocked(log, false);
  if (h == nullptr || oldest == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  Log& l = LogLocked(h->log);
  *oldest = l.records.empty() ? 0 : l.records.front().RecordNumber;
  return true;
}

bool SimEventLog::NotifyChange(HANDLE log, std::function<void()> listener) {
  std::lock_guard<std::mutex> guard(lock_);
  Handle* h = FindLocked(log, false);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  h->listeners.push_back(std::move(listener));
  return true;
}

bool SimEventLog::NotifyChangeEventLog(HANDLE log, HANDLE event) {
  if (event == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  Kernel& kernel = kernel_;
  return NotifyChange(log, [&kernel, event] { kernel.SetEvent(event); });
}

bool SimEventLog::CloseEventLog(HANDLE log) {
  std::lock_guard<std::mutex> guard(lock_);
  if (FindLocked(log, false) == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  handles_.erase(reinterpret_cast<std::uintptr_t>(log));
  return true;
}

HANDLE SimEventLog::RegisterEventSourceW(const std::wstring& sourceName) {
  std::string log = LogOf(sourceName);
  std::lock_guard<std::mutex> guard(lock_);
  std::uintptr_t h = next_ += 4;
  handles_[h] = Handle{log, true, 0, {}, sourceName};
  return reinterpret_cast<HANDLE>(h);
}

bool SimEventLog::ReportEventW(HANDLE source, std::uint16_t type, std::uint16_t category,
                               DWORD eventId, const std::vector<std::wstring>& strings,
                               const std::vector<std::uint8_t>& data) {
  std::wstring name;
  std::string log;
  {
    std::lock_guard<std::mutex> guard(lock_);
    Handle* h = FindLocked(source, true);
    if (h == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
    name = h->sourceName;
    log = h->log;
  }
  if (strings.size() > 256 || data.size() > 61440) return Fail(ERROR_INVALID_PARAMETER, false);
  return Write(log, name, type, category, eventId, strings, data);
}

bool SimEventLog::DeregisterEventSource(HANDLE source) {
  std::lock_guard<std::mutex> guard(lock_);
  if (FindLocked(source, true) == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  handles_.erase(reinterpret_cast<std::uintptr_t>(source));
  return true;
}

bool SimEventLog::Write(const std::string& logName, const std::wstring& source, std::uint16_t type,
                        std::uint16_t category, DWORD eventId,
                        const std::vector<std::wstring>& strings,
                        const std::vector<std::uint8_t>& data) {
  std::vector<std::function<void()>> wake;
  {
    std::lock_guard<std::mutex> guard(lock_);
    Log& log = LogLocked(logName);
    EventLogRecord e;
    e.RecordNumber = log.records.empty() ? 1 : log.records.back().RecordNumber + 1;
    e.TimeGenerated = e.TimeWritten = Now();
    e.EventID = eventId;
    e.EventType = type;
    e.EventCategory = category;
    e.SourceName = source;
    e.ComputerName = computerName_;
    e.Strings = strings;
    e.Data = data;
    std::error_code ec;
    std::filesystem::create_directories(log.file.parent_path(), ec);
    std::ofstream out(log.file, std::ios::binary | std::ios::app);
    out << Line(e);
    out.flush();
    if (!out) return Fail(ERROR_DISK_FULL, false);
    log.records.push_back(std::move(e));
    if (log.records.size() > kMaxRecords) log.records.pop_front();
    for (auto& [value, h] : handles_) {
      if (!h.source && h.log == logName) {
        for (auto& l : h.listeners) wake.push_back(l);
      }
    }
  }
  for (auto& w : wake) w();
  return true;
}

bool SimEventLog::WriteSystem(const std::wstring& source, std::uint16_t type, DWORD eventId,
                              const std::vector<std::wstring>& strings) {
  return Write("System", source, type, 0, eventId, strings, {});
}

}  // namespace platform::sim
