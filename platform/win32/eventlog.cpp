#include "platform/win32/win32.h"

namespace platform::win32 {
namespace {

std::wstring TextAt(const BYTE* base, std::size_t offset, std::size_t end) {
  std::wstring text;
  for (std::size_t at = offset; at + 1 < end; at += 2) {
    wchar_t c = static_cast<wchar_t>(base[at] | (base[at + 1] << 8));
    if (c == L'\0') break;
    text += c;
  }
  return text;
}

}  // namespace

platform::HANDLE Win32EventLog::OpenEventLogW(const std::wstring& sourceName) {
  return ::OpenEventLogW(nullptr, sourceName.c_str());
}

bool Win32EventLog::ReadEventLogW(platform::HANDLE log, DWORD flags, DWORD recordOffset,
                                  DWORD bufferSize, std::vector<EventLogRecord>* records,
                                  DWORD* bytesRead, DWORD* minBytesNeeded) {
  if (records == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  records->clear();
  std::vector<BYTE> buffer(std::max<DWORD>(bufferSize, 1));
  ::DWORD read = 0, needed = 0;
  BOOL ok = ::ReadEventLogW(log, flags, recordOffset, buffer.data(), bufferSize, &read, &needed);
  if (bytesRead != nullptr) *bytesRead = read;
  if (minBytesNeeded != nullptr) *minBytesNeeded = needed;
  if (!ok) return false;
  std::size_t at = 0;
  while (at + sizeof(EVENTLOGRECORD) <= read) {
    const auto* r = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
    if (r->Length < sizeof(EVENTLOGRECORD) || at + r->Length > read) break;
    const BYTE* base = buffer.data() + at;
    std::size_t end = r->Length;
    EventLogRecord e;
    e.RecordNumber = r->RecordNumber;
    e.TimeGenerated = r->TimeGenerated;
    e.TimeWritten = r->TimeWritten;
    e.EventID = r->EventID & 0xFFFF;  // the event's code, as the event viewer shows it
    e.EventType = r->EventType;
    e.EventCategory = r->EventCategory;
    e.SourceName = TextAt(base, sizeof(EVENTLOGRECORD), end);
    e.ComputerName = TextAt(base, sizeof(EVENTLOGRECORD) + (e.SourceName.size() + 1) * 2, end);
    std::size_t s = r->StringOffset;
    for (WORD k = 0; k < r->NumStrings && s < end; ++k) {
      std::wstring text = TextAt(base, s, end);
      s += (text.size() + 1) * 2;
      e.Strings.push_back(std::move(text));
    }
    if (r->DataOffset + std::size_t{r->DataLength} <= end) {
      e.Data.assign(base + r->DataOffset, base + r->DataOffset + r->DataLength);
    }
    records->push_back(std::move(e));
    at += r->Length;
  }
  return true;
}

bool Win32EventLog::GetNumberOfEventLogRecords(platform::HANDLE log, DWORD* count) {
  ::DWORD n = 0;
  if (!::GetNumberOfEventLogRecords(log, &n)) return false;
  if (count != nullptr) *count = n;
  return true;
}

bool Win32EventLog::GetOldestEventLogRecord(platform::HANDLE log, DWORD* oldest) {
  ::DWORD n = 0;
  if (!::GetOldestEventLogRecord(log, &n)) return false;
  if (oldest != nullptr) *oldest = n;
  return true;
}

bool Win32EventLog::NotifyChangeEventLog(platform::HANDLE log, platform::HANDLE event) {
  return ::NotifyChangeEventLog(log, event) != 0;
}

bool Win32EventLog::CloseEventLog(platform::HANDLE log) {
  return ::CloseEventLog(log) != 0;
}

platform::HANDLE Win32EventLog::RegisterEventSourceW(const std::wstring& sourceName) {
  return ::RegisterEventSourceW(nullptr, sourceName.c_str());
}

bool Win32EventLog::ReportEventW(platform::HANDLE source, std::uint16_t type,
                                 std::uint16_t category, DWORD eventId,
                                 const std::vector<std::wstring>& strings,
                                 const std::vector<std::uint8_t>& data) {
  std::vector<LPCWSTR> texts;
  for (const auto& s : strings) texts.push_back(s.c_str());
  return ::ReportEventW(source, type, category, eventId, nullptr, static_cast<WORD>(texts.size()),
                        static_cast<::DWORD>(data.size()), texts.empty() ? nullptr : texts.data(),
                        data.empty() ? nullptr : const_cast<std::uint8_t*>(data.data())) != 0;
}

bool Win32EventLog::DeregisterEventSource(platform::HANDLE source) {
  return ::DeregisterEventSource(source) != 0;
}

}  // namespace platform::win32
