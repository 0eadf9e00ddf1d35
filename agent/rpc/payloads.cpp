#include "agent/rpc/payloads.h"

#include <rapidjson/document.h>

#include <cmath>
#include <map>

#include "agent/config/settings.h"
#include "platform/platform.h"

namespace tollgate::remote {
namespace {

// The job status names in their order; the code -> name table keeps the last name of a code.
const std::pair<const wchar_t*, std::int16_t> kStatusList[] = {
    {L"INSUFFICIENT-BALANCE-PAUSE-ACCOUNT", 1},
    {L"INSUFFICIENT-BALANCE-PAUSE-GROUP", 1},
    {L"INSUFFICIENT-BALANCE-PAUSE-PRINTER", 1},
    {L"INSUFFICIENT-BALANCE-PAUSE-USER", 1},
    {L"INSUFFICIENT-BALANCE-DELETE-ACCOUNT", 2},
    {L"INSUFFICIENT-BALANCE-DELETE-GROUP", 2},
    {L"INSUFFICIENT-BALANCE-DELETE-PRINTER", 2},
    {L"INSUFFICIENT-BALANCE-DELETE-USER", 2},
    {L"JOB-UNAUTHORIZED", 13},
    {L"JOB-UNAUTHENTICATED", 14},
    {L"JOB-COLORED-FORBIDDEN-PAUSE", 15},
    {L"JOB-COLORED-FORBIDDEN-DELETE", 16},
    {L"JOB-DUPLEX-REQUIRED-PAUSE", 17},
    {L"JOB-DUPLEX-REQUIRED-DELETE", 18},
    {L"JOB-ACCOUNT-REQUIRED", 6},
    {L"JOB-UNCONFIRMED", 12},
    {L"JOB-UNRELEASED", 19},
};

// A resent job that the server already holds (a decision carrying its server job ids).
constexpr std::int16_t kJobExists = 20;

const std::map<std::wstring, std::int16_t>& CodesByName() {
  static const auto table = [] {
    std::map<std::wstring, std::int16_t> t;
    for (const auto& [name, code] : kStatusList) t[name] = code;
    return t;
  }();
  return table;
}

const std::map<std::int16_t, std::wstring>& NamesByCode() {
  static const auto table = [] {
    std::map<std::int16_t, std::wstring> t;
    for (const auto& [name, code] : kStatusList) t[code] = name;
    return t;
  }();
  return table;
}

// A JSON text as a document; anything that does not parse is an empty document (a member
// then counts as absent). Parsed iteratively, so that nesting depth cannot exhaust the stack.
void Parse(const std::string& text, rapidjson::Document* document) {
  if (text.empty()) return;
  document->Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag>(text.data(),
                                                                                      text.size());
  if (document->HasParseError()) document->SetNull();
}

// A member of the document's top-level object, when it is there with that type.
const rapidjson::Value* Member(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return nullptr;
  auto it = object.FindMember(name);
  return it == object.MemberEnd() ? nullptr : &it->value;
}
std::optional<std::string> StringMember(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* v = Member(object, name);
  if (v == nullptr || !v->IsString()) return std::nullopt;
  return std::string(v->GetString(), v->GetStringLength());
}

std::wstring FromUtf8(const std::string& text) {
  return platform::system().MultiByteToWideChar(platform::CP_UTF8, text);
}

}  // namespace

ServerResultPtr MakeFailure(std::wstring text) {
  return std::make_unique<ServerResult>(std::move(text), false);
}

ServerResultPtr MakeDecision(std::int16_t status, std::wstring name) {
  auto result = std::make_unique<ServerResult>(std::move(name), true);
  result->status = status;
  return result;
}

std::optional<std::int16_t> JobStatusCode(const std::wstring& name) {
  auto it = CodesByName().find(name);
  if (it == CodesByName().end()) return std::nullopt;
  return it->second;
}

std::optional<std::wstring> JobStatusName(std::int16_t code) {
  auto it = NamesByCode().find(code);
  if (it == NamesByCode().end()) return std::nullopt;
  return it->second;
}

namespace {

bool IsHighSurrogate(std::uint32_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(std::uint32_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// Whether the ANSI code page holds `text` as itself: its narrow form reads back the same (a
// character the code page lacks becomes "?" or a look-alike, "ł" as "l").
bool HoldsAsItself(const std::wstring& text, const std::string& narrow) {
  return platform::system().MultiByteToWideChar(platform::CP_ACP, narrow) == text;
}

void AppendReference(std::uint32_t codePoint, std::string* out) {
  *out += "&#" + std::to_string(codePoint) + ";";
}

}  // namespace

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  std::string whole = platform::system().WideCharToMultiByte(platform::CP_ACP, text);
  if (text.find(L"&#") == std::wstring::npos && HoldsAsItself(text, whole)) return whole;
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<std::uint32_t>(text[i]);
    std::size_t length = 1;
    // A character beyond the first plane, in two UTF-16 units where wide text has them.
    if (IsHighSurrogate(c) && i + 1 < text.size() &&
        IsLowSurrogate(static_cast<std::uint32_t>(text[i + 1]))) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(text[i + 1]) - 0xDC00);
      length = 2;
    }
    if (c == 0x26 && i + 1 < text.size() && text[i + 1] == L'#') {
      AppendReference(c, &out);
    } else {
      std::wstring one = text.substr(i, length);
      std::string narrow = platform::system().WideCharToMultiByte(platform::CP_ACP, one);
      if (!narrow.empty() && HoldsAsItself(one, narrow))
        out += narrow;
      else
        AppendReference(c, &out);
    }
    i += length;
  }
  return out;
}

std::wstring DecodeCharacterReferences(const std::wstring& text) {
  if (text.find(L"&#") == std::wstring::npos) return text;
  std::wstring out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, 2, L"&#") == 0) {
      std::size_t end = i + 2;
      std::uint32_t value = 0;
      // At most 7 digits: the largest scalar value, 1114111, has 7.
      while (end < text.size() && end - (i + 2) < 8 && text[end] >= L'0' && text[end] <= L'9') {
        value = value * 10 + static_cast<std::uint32_t>(text[end] - L'0');
        ++end;
      }
      std::size_t digits = end - (i + 2);
      if (digits >= 1 && digits <= 7 && end < text.size() && text[end] == L';' && value != 0 &&
          value <= 0x10FFFF && !IsHighSurrogate(value) && !IsLowSurrogate(value)) {
        if (sizeof(wchar_t) == 2 && value >= 0x10000) {
          out += static_cast<wchar_t>(0xD800 + ((value - 0x10000) >> 10));
          out += static_cast<wchar_t>(0xDC00 + ((value - 0x10000) & 0x3FF));
        } else {
          out += static_cast<wchar_t>(value);
        }
        i = end + 1;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

RegisterAgentIn BuildRegistration(const std::string& computerName,
                                  const std::vector<RegisteredQueue>& queues) {
  RegisterAgentIn in;
  in.agentKind = 4;
  in.computerName = computerName;
  for (const auto& q : queues) {
    QueueEntry entry;
    entry.queueName = Narrow(q.name);
    if (q.networkPort && !q.address.empty()) {
      entry.portAddress = Narrow(q.address);
      entry.hasAddress = 1;
    }
    in.queues.push_back(std::move(entry));
  }
  return in;
}

void ApplyRegistration(const RegisterAgentOut& answer, const std::vector<RegisteredQueue>& queues) {
  config::ServerConfiguration configuration;
  configuration.freeGbRequiredToArchive = answer.freeGbRequiredToArchive;
  configuration.daysToKeepArchivedFile = answer.daysToKeepArchivedFile;
  configuration.canQueryMfCopy = answer.canQueryMfCopy;
  if (!answer.settings.empty()) {
    rapidjson::Document json;
    Parse(answer.json, &json);
    const rapidjson::Value* printers = Member(json, "printers");
    std::vector<bool> emf;
    for (std::size_t i = 0; i < answer.settings.size(); ++i) {
      const QueueSettings& s = answer.settings[i];
      // A record that names no queue of the request has no key to go to.
      if (s.queueIndex < 0 || static_cast<std::size_t>(s.queueIndex) >= queues.size()) continue;
      config::ServerPrinterConfiguration p;
      p.name = queues[static_cast<std::size_t>(s.queueIndex)].name;
      p.id = s.id;
      p.language = s.language;
      p.identifyHardware = s.identifyHardware;
      p.isToArchive = s.isToArchive;
      p.isToCheckCounterAfterPrint = s.isToCheckCounterAfterPrint;
      p.snmpCommunity = s.snmpCommunity;
      bool reading = true;
      if (printers != nullptr && printers->IsArray() && printers->Size() > i) {
        const rapidjson::Value* v =
            Member((*printers)[static_cast<rapidjson::SizeType>(i)], "emfCopiesReading");
        reading = v != nullptr && v->IsTrue();
      }
      configuration.printers.push_back(std::move(p));
      emf.push_back(reading);
    }
    configuration.emfCopiesReading = std::move(emf);
  }
  config::ApplyServerConfiguration(configuration);
}

ErrorResultPtr LocalTime(double utc, double* local) {
  platform::TimeZoneInformation zone;
  platform::DWORD id = platform::system().GetTimeZoneInformation(&zone);
  if (id == platform::TIME_ZONE_ID_INVALID) {
    return WrapError(WindowsErrorResult(), L"error converting to local time");
  }
  std::int64_t bias = zone.Bias;
  if (id == platform::TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  if (id == platform::TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  // local = UTC - (bias / 60 hours, bias % 60 minutes)
  *local = utc - static_cast<double>(bias / 60) / 24.0 - static_cast<double>(bias % 60) / 1440.0;
  return nullptr;
}

ReportJobIn BuildJobReport(const JobReport& report, std::int32_t clientId, double submitted) {
  ReportJobIn in;
  in.clientId = clientId;
  in.queueName = Narrow(report.queueName);
  in.portAddress = Narrow(report.portAddress);
  in.userName = Narrow(report.userName);
  in.owner = Narrow(report.notifyName.empty() ? report.userName : report.notifyName);
  in.networkPort = report.portKind == 1 ? 1 : 0;
  in.submitted = submitted;
  in.pages = report.pages;
  in.colourPages = report.colourPages;
  in.monoPages = report.monoPages;
  in.copies = report.copies;
  in.documentName = Narrow(report.documentName);
  in.spoolerJobId = report.spoolerJobId;
  in.paperCode = report.paperCode;
  in.paperName = Narrow(report.paperName);
  in.colour = report.colour ? 1 : 0;
  in.duplex = report.duplex ? 1 : 0;
  in.resent = report.resent ? 1 : 0;
  in.fresh = !report.resent && !report.trackedA ? 1 : 0;
  in.agentVersion = "2.7.2.0";
  in.machineName = Narrow(report.machineName);
  in.language = report.language;
  in.one = 1;
  in.reexamined = report.trackedB ? 1 : 0;
  return in;
}

std::vector<StoreRecord> JobRecordIds(const JobAnswer& answer, const JobReport& report) {
  std::vector<StoreRecord> ids;
  const auto& d = answer.serverJobIds;
  if (d.empty()) return ids;
  auto times = [&](std::int32_t pages) {
    return static_cast<std::int32_t>(static_cast<std::int64_t>(pages) * report.copies);
  };
  if (report.monoPages != 0) {
    ids.push_back({d[0], times(report.monoPages)});
  } else if (report.colourPages == 0) {
    ids.push_back({d[0], times(report.pages)});
    return ids;
  }
  if (report.colourPages != 0)
    ids.push_back({d.size() >= 2 ? d[1] : d[0], times(report.colourPages)});
  return ids;
}

ServerResultPtr ReadJobAnswer(const JobAnswer& answer) {
  switch (answer.status) {
    case 0:
      return nullptr;
    case 3:
      // The server took the call and answered it: the job is decided (released, as an answer
      // the agent cannot act on), never a reason to keep jobs for later.
      return MakeDecision(3, L"Internal server error");
    case 6: {
      auto decision = MakeDecision(6, L"JOB-ACCOUNT-REQUIRED");
      rapidjson::Document json;
      Parse(answer.json, &json);
      const rapidjson::Value* accounts = Member(json, "accounts");
      if (accounts != nullptr && accounts->IsArray()) {
        for (const auto& element : accounts->GetArray()) {
          auto id = StringMember(element, "id");
          auto name = StringMember(element, "name");
          if (!id || !name) continue;
          const rapidjson::Value* item = Member(element, "requireItem");
          bool requireItem = item != nullptr && item->IsInt64() && item->GetInt64() == 1;
          decision->accounts.push_back({FromUtf8(*id), FromUtf8(*name), requireItem});
        }
      }
      return decision;
    }
    case 12: {
      auto decision = MakeDecision(12, L"JOB-UNCONFIRMED");
      decision->message = answer.message;
      return decision;
    }
    case 13:
    case 14: {
      rapidjson::Document json;
      Parse(answer.json, &json);
      auto key = StringMember(json, "publicKey");
      // Without a key the user is still asked to authenticate, with an empty key.
      auto decision = MakeDecision(answer.status, *JobStatusName(answer.status));
      if (key) decision->publicKey = *key;
      return decision;
    }
    case kJobExists:
      return MakeDecision(kJobExists, L"JOB-EXISTS");
    default:
      break;
  }
  if (answer.status == 1 || answer.status == 2 || (answer.status >= 15 && answer.status <= 19))
    return MakeDecision(answer.status, *JobStatusName(answer.status));
  // An answer of a status the agent does not know is still the server's answer: the job is
  // released.
  return MakeDecision(answer.status, L"Unknown RPC status: " + std::to_wstring(answer.status));
}

void ReadAnswerJson(const JobAnswer& answer, JobContext* context) {
  rapidjson::Document json;
  Parse(answer.json, &json);
  if (auto watermark = StringMember(json, "watermark")) context->watermark = *watermark;
  if (auto feedback = StringMember(json, "feedbackMessage")) context->feedbackMessage = *feedback;
}

ReportHardwareCountersIn BuildHardwareReport(const HardwareRecord& record,
                                             std::int64_t serverJobId) {
  ReportHardwareCountersIn in;
  CounterSnapshot& s = in.snapshot;
  s.deviceText[0] = Narrow(record.deviceText1);
  s.deviceText[1] = Narrow(record.deviceText2);
  s.deviceText[2] = Narrow(record.deviceText3);
  s.value1 = record.values[0];
  s.value2 = record.values[1];
  s.readingTime = record.readingTime;
  if (record.values[4] != 0 || record.values[5] != 0)
    s.lines.push_back({record.values[4], record.values[5], 0, std::nullopt});
  if (record.values[2] != 0 || record.values[3] != 0)
    s.lines.push_back({record.values[2], record.values[3], 1, std::nullopt});
  if (record.a3First != 0) s.lines.push_back({record.a3First, record.a3First, 0, "A3"});
  if (record.a3Second != 0) s.lines.push_back({record.a3Second, record.a3Second, 1, "A3"});
  in.link.storeRecordId = static_cast<std::int32_t>(serverJobId);
  in.link.jobNumber = record.jobNumber;
  in.link.one = 1;
  in.hasJobNumber = record.jobNumber >= 0 ? 1 : 0;
  return in;
}

double OleDateFromUnixSeconds(double seconds) {
  return 25569.0 + seconds / 86400.0;
}

}  // namespace tollgate::remote
