#include "agent/rpc/interfaces.h"

namespace tollgate::remote {
namespace {

using ::rpc::Uuid;

// An embedded [string] char* (unique): its referent id in place, the text deferred.
void WriteText(Writer& w, const std::optional<std::string>& text) {
  w.EmbeddedPointer(text.has_value(), [&w, &text] { w.String(*text); });
}
void ReadText(Reader& r, std::optional<std::string>& text) {
  text.reset();
  r.EmbeddedPointer([&r, &text] { text = r.String(); });
}
void WriteWideText(Writer& w, const std::optional<std::wstring>& text) {
  w.EmbeddedPointer(text.has_value(), [&w, &text] { w.WideString(*text); });
}
void ReadWideText(Reader& r, std::optional<std::wstring>& text) {
  text.reset();
  r.EmbeddedPointer([&r, &text] { text = r.WideString(); });
}

// A count read from the wire that sizes an array: never negative.
std::uint32_t Count(std::int64_t n) {
  if (n < 0) Reader::Bad();
  return static_cast<std::uint32_t>(n);
}

// [out] <count>* n, [out, size_is(, *n)] char** text: a counted narrow text.
void WriteCountedNarrow(Writer& w, const std::string& text) {
  w.UniquePointer(!text.empty(), [&] {
    w.Conformance(static_cast<std::uint32_t>(text.size()));
    w.Bytes(text.data(), text.size());
  });
}
std::string ReadCountedNarrow(Reader& r, std::int64_t n) {
  std::string text;
  r.UniquePointer([&] {
    std::uint32_t count = r.Conformance(1, Count(n));
    auto view = r.View(count);
    text.assign(reinterpret_cast<const char*>(view.data()), view.size());
  });
  return text;
}
void WriteCountedWide(Writer& w, const std::wstring& text, std::uint32_t units) {
  w.UniquePointer(units > 0, [&] {
    w.Conformance(units);
    w.WideChars(text);
  });
}
std::wstring ReadCountedWide(Reader& r, std::int64_t n) {
  std::wstring text;
  r.UniquePointer([&] { text = r.WideChars(r.Conformance(2, Count(n))); });
  return text;
}

void WriteAccounts(Writer& w, const std::optional<std::vector<AccountEntry>>& accounts) {
  w.UniquePointer(accounts.has_value(), [&] {
    w.Conformance(static_cast<std::uint32_t>(accounts->size()));
    for (const auto& a : *accounts) {
      w.Align(4);
      WriteWideText(w, a.id);
      WriteWideText(w, a.name);
      w.I32(a.requireItem);
    }
  });
}
std::optional<std::vector<AccountEntry>> ReadAccounts(Reader& r, std::int32_t count) {
  std::optional<std::vector<AccountEntry>> accounts;
  r.UniquePointer([&] {
    std::uint32_t n = r.Conformance(12, Count(count));
    accounts.emplace(n);  // sized before the deferred texts point into it
    for (auto& a : *accounts) {
      r.Align(4);
      ReadWideText(r, a.id);
      ReadWideText(r, a.name);
      a.requireItem = r.I32();
    }
  });
  return accounts;
}

}  // namespace

const SyntaxId& CentralServerInterfaceId() {
  static const SyntaxId id{Uuid::Of("b9969d8a-327c-405a-be87-c6408967b4bf"), 1, 5};
  return id;
}
const SyntaxId& WorkstationNotifierId() {
  static const SyntaxId id{Uuid::Of("a9d0e856-eb8f-4efb-8341-82aa0a9e8f02"), 1, 0};
  return id;
}
const SyntaxId& WorkstationConfirmId() {
  static const SyntaxId id{Uuid::Of("a6fc6445-3f19-4196-b293-cd8af088925a"), 1, 0};
  return id;
}
const SyntaxId& AgentJobControlId() {
  static const SyntaxId id{Uuid::Of("1edbe959-3e15-4ccf-ab5b-1ed5458654e9"), 1, 0};
  return id;
}
const SyntaxId& AgentConfigNotifyId() {
  static const SyntaxId id{Uuid::Of("e3eae101-adb7-4970-87ca-c1972b8bca68"), 1, 0};
  return id;
}

void WriteQueueEntries(Writer& w, const std::vector<QueueEntry>& queues) {
  w.I16(static_cast<std::int16_t>(queues.size()));
  w.UniquePointer(!queues.empty(), [&] {
    w.Conformance(static_cast<std::uint32_t>(queues.size()));
    for (const auto& q : queues) {
      w.Align(4);
      WriteText(w, q.queueName);
      WriteText(w, q.portAddress);
      w.U8(q.hasAddress);
    }
  });
}

std::vector<QueueEntry> ReadQueueEntries(Reader& r) {
  std::int16_t n = r.I16();
  std::vector<QueueEntry> queues;
  r.UniquePointer([&] {
    queues.resize(r.Conformance(9, Count(n)));
    for (auto& q : queues) {
      r.Align(4);
      ReadText(r, q.queueName);
      ReadText(r, q.portAddress);
      q.hasAddress = r.U8();
    }
  });
  return queues;
}

void WriteQueueSettings(Writer& w, const std::vector<QueueSettings>& settings) {
  w.I16(static_cast<std::int16_t>(settings.size()));
  w.UniquePointer(!settings.empty(), [&] {
    w.Conformance(static_cast<std::uint32_t>(settings.size()));
    for (const auto& s : settings) {
      w.Align(4);
      w.I32(s.queueIndex);
      w.I32(s.id);
      w.I16(s.language);
      w.I16(s.identifyHardware);
      WriteText(w, s.snmpCommunity);
      w.I16(s.isToArchive);
      w.I16(s.isToCheckCounterAfterPrint);
      w.I16(s.reserved);
    }
  });
}

std::vector<QueueSettings> ReadQueueSettings(Reader& r) {
  std::int16_t n = r.I16();
  std::vector<QueueSettings> settings;
  r.UniquePointer([&] {
    settings.resize(r.Conformance(22, Count(n)));
    for (auto& s : settings) {
      r.Align(4);
      s.queueIndex = r.I32();
      s.id = r.I32();
      s.language = r.I16();
      s.identifyHardware = r.I16();
      ReadText(r, s.snmpCommunity);
      s.isToArchive = r.I16();
      s.isToCheckCounterAfterPrint = r.I16();
      s.reserved = r.I16();
    }
  });
  return settings;
}

void WriteCounterSnapshot(Writer& w, const CounterSnapshot& s) {
  w.RefPointer([&] {
    w.Align(8);
    for (const auto& t : s.deviceText) WriteText(w, t);
    w.I32(s.value1);
    w.I32(s.value2);
    w.Double(s.readingTime);
    w.I16(static_cast<std::int16_t>(s.lines.size()));
    w.EmbeddedPointer(!s.lines.empty(), [&w, &s] {
      w.Conformance(static_cast<std::uint32_t>(s.lines.size()));
      for (const auto& line : s.lines) {
        w.Align(4);
        w.I32(line.first);
        w.I32(line.second);
        w.I16(line.kind);
        WriteText(w, line.paperSize);
      }
    });
  });
}

CounterSnapshot ReadCounterSnapshot(Reader& r) {
  CounterSnapshot s;
  r.RefPointer([&] {
    r.Align(8);
    for (auto& t : s.deviceText) ReadText(r, t);
    s.value1 = r.I32();
    s.value2 = r.I32();
    s.readingTime = r.Double();
    std::int16_t count = r.I16();
    r.EmbeddedPointer([&r, &s, count] {
      s.lines.resize(r.Conformance(14, Count(count)));
      for (auto& line : s.lines) {
        r.Align(4);
        line.first = r.I32();
        line.second = r.I32();
        line.kind = r.I16();
        ReadText(r, line.paperSize);
      }
    });
  });
  return s;
}

void WriteCounterJobLink(Writer& w, const CounterJobLink& link) {
  w.RefPointer([&] {
    w.Align(4);
    w.I32(link.storeRecordId);
    w.I32(link.jobNumber);
    w.I32(link.one);
  });
}

CounterJobLink ReadCounterJobLink(Reader& r) {
  CounterJobLink link;
  r.RefPointer([&] {
    r.Align(4);
    link.storeRecordId = r.I32();
    link.jobNumber = r.I32();
    link.one = r.I32();
  });
  return link;
}

void CancelJobIn::Write(Writer& w) const {
  w.I32(serverJobId);
}
CancelJobIn CancelJobIn::Read(Reader& r) {
  CancelJobIn in;
  in.serverJobId = r.I32();
  return in;
}

void UploadFileChunkIn::Write(Writer& w) const {
  w.I32(serverJobId);
  w.I16(static_cast<std::int16_t>(data.size()));
  w.UniquePointer(!data.empty(), [&] { w.ConformantBytes(data); });
  w.U8(last);
}
UploadFileChunkIn UploadFileChunkIn::Read(Reader& r) {
  UploadFileChunkIn in;
  in.serverJobId = r.I32();
  std::int16_t count = r.I16();
  bool present = r.UniquePointer([&] {
    std::uint32_t n = r.Conformance(1, Count(count));
    auto view = r.View(n);
    in.data.assign(view.begin(), view.end());
  });
  if (!present && count != 0) Reader::Bad();  // a count without its bytes
  in.last = r.U8();
  return in;
}

void ShortResult::Write(Writer& w) const {
  w.I16(value);
}
ShortResult ShortResult::Read(Reader& r) {
  return ShortResult{r.I16()};
}

void ReportJobIn::Write(Writer& w) const {
  w.I32(clientId);
  w.String(queueName);
  w.String(portAddress);
  w.String(userName);
  w.String(owner);
  w.I8(networkPort);
  w.Double(submitted);
  w.I32(pages);
  w.I32(colourPages);
  w.I32(monoPages);
  w.I32(copies);
  w.String(documentName);
  w.I32(spoolerJobId);
  w.I16(paperCode);
  w.String(paperName);
  w.I16(colour);
  w.I16(duplex);
  w.U8(resent);
  w.U8(fresh);
  w.String(agentVersion);
  w.String(machineName);
  w.I16(language);
  w.I16(one);
  w.U8(reexamined);
}

ReportJobIn ReportJobIn::Read(Reader& r) {
  ReportJobIn in;
  in.clientId = r.I32();
  in.queueName = r.String();
  in.portAddress = r.String();
  in.userName = r.String();
  in.owner = r.String();
  in.networkPort = r.I8();
  in.submitted = r.Double();
  in.pages = r.I32();
  in.colourPages = r.I32();
  in.monoPages = r.I32();
  in.copies = r.I32();
  in.documentName = r.String();
  in.spoolerJobId = r.I32();
  in.paperCode = r.I16();
  in.paperName = r.String();
  in.colour = r.I16();
  in.duplex = r.I16();
  in.resent = r.U8();
  in.fresh = r.U8();
  in.agentVersion = r.String();
  in.machineName = r.String();
  in.language = r.I16();
  in.one = r.I16();
  in.reexamined = r.U8();
  return in;
}

void ReportJobOut::Write(Writer& w) const {
  w.I16(static_cast<std::int16_t>(serverJobIds.size()));
  w.UniquePointer(!serverJobIds.empty(), [&] {
    w.Conformance(static_cast<std::uint32_t>(serverJobIds.size()));
    for (std::int32_t id : serverJobIds) w.I32(id);
  });
  w.I16(status);
  std::uint32_t units = Writer::Utf16Length(message);
  w.I32(static_cast<std::int32_t>(units));
  WriteCountedWide(w, message, units);
  w.I32(static_cast<std::int32_t>(json.size()));
  WriteCountedNarrow(w, json);
}

ReportJobOut ReportJobOut::Read(Reader& r) {
  ReportJobOut out;
  std::int16_t n = r.I16();
  r.UniquePointer([&] {
    std::uint32_t count = r.Conformance(4, Count(n));
    out.serverJobIds.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) out.serverJobIds.push_back(r.I32());
  });
  out.status = r.I16();
  std::int32_t units = r.I32();
  out.message = ReadCountedWide(r, units);
  std::int32_t bytes = r.I32();
  out.json = ReadCountedNarrow(r, bytes);
  return out;
}

void RegisterAgentIn::Write(Writer& w) const {
  w.U8(agentKind);
  w.String(computerName);
  WriteQueueEntries(w, queues);
}

RegisterAgentIn RegisterAgentIn::Read(Reader& r) {
  RegisterAgentIn in;
  in.agentKind = r.U8();
  in.computerName = r.String();
  in.queues = ReadQueueEntries(r);
  return in;
}

void RegisterAgentOut::Write(Writer& w) const {
  w.I16(status);
  w.I32(clientId);
  w.U8(freeGbRequiredToArchive);
  w.I16(daysToKeepArchivedFile);
  w.I16(canQueryMfCopy);
  std::uint32_t units = Writer::Utf16Length(text);
  w.I16(static_cast<std::int16_t>(units));
  WriteCountedWide(w, text, units);
  WriteQueueSettings(w, settings);
  w.I32(static_cast<std::int32_t>(json.size()));
  WriteCountedNarrow(w, json);
}

RegisterAgentOut RegisterAgentOut::Read(Reader& r) {
  RegisterAgentOut out;
  out.status = r.I16();
  out.clientId = r.I32();
  out.freeGbRequiredToArchive = r.U8();
  out.daysToKeepArchivedFile = r.I16();
  out.canQueryMfCopy = r.I16();
  std::int16_t units = r.I16();
  out.text = ReadCountedWide(r, units);
  out.settings = ReadQueueSettings(r);
  std::int32_t bytes = r.I32();
  out.json = ReadCountedNarrow(r, bytes);
  return out;
}

void ReportHardwareCountersIn::Write(Writer& w) const {
  WriteCounterSnapshot(w, snapshot);
  WriteCounterJobLink(w, link);
  w.U8(hasJobNumber);
}

ReportHardwareCountersIn ReportHardwareCountersIn::Read(Reader& r) {
  ReportHardwareCountersIn in;
  in.snapshot = ReadCounterSnapshot(r);
  in.link = ReadCounterJobLink(r);
  in.hasJobNumber = r.U8();
  return in;
}

void Reserved0In::Write(Writer& w) const {
  w.I32(a);
  w.I32(b);
  w.U8(c);
  w.WideString(s1);
  w.WideString(s2);
  w.WideString(s3);
  w.I32(d);
  w.I32(count);
  WriteAccounts(w, accounts);
}

Reserved0In Reserved0In::Read(Reader& r) {
  Reserved0In in;
  in.a = r.I32();
  in.b = r.I32();
  in.c = r.U8();
  in.s1 = r.WideString();
  in.s2 = r.WideString();
  in.s3 = r.WideString();
  in.d = r.I32();
  in.count = r.I32();
  in.accounts = ReadAccounts(r, in.count);
  return in;
}

void ShowFeedbackIn::Write(Writer& w) const {
  w.WideString(message);
}

ShowFeedbackIn ShowFeedbackIn::Read(Reader& r) {
  return ShowFeedbackIn{r.WideString()};
}

void AuthenticationIn::Write(Writer& w) const {
  w.I32(jobId);
  w.U8(reserved);
  w.WideString(computerName);
  w.WideString(queueName);
  w.WideString(documentName);
  w.I32(pages);
  w.I32(keyLength);
  w.UniquePointer(publicKey.has_value(), [&] { w.ConformantBytes(*publicKey); });
}

AuthenticationIn AuthenticationIn::Read(Reader& r) {
  AuthenticationIn in;
  in.jobId = r.I32();
  in.reserved = r.U8();
  in.computerName = r.WideString();
  in.queueName = r.WideString();
  in.documentName = r.WideString();
  in.pages = r.I32();
  in.keyLength = r.I32();
  r.UniquePointer([&] {
    std::uint32_t n = r.Conformance(1, Count(in.keyLength));
    auto view = r.View(n);
    in.publicKey.emplace(view.begin(), view.end());
  });
  return in;
}

void RequestAccountIn::Write(Writer& w) const {
  w.I32(jobId);
  w.I16(idCount);
  w.UniquePointer(storeRecordIds.has_value(), [&] {
    w.Conformance(static_cast<std::uint32_t>(storeRecordIds->size()));
    for (std::int32_t id : *storeRecordIds) w.I32(id);
  });
  w.U8(reserved);
  w.WideString(computerName);
  w.WideString(queueName);
  w.WideString(documentName);
  w.I32(pages);
  w.I32(count);
  WriteAccounts(w, accounts);
}

RequestAccountIn RequestAccountIn::Read(Reader& r) {
  RequestAccountIn in;
  in.jobId = r.I32();
  in.idCount = r.I16();
  r.UniquePointer([&] {
    std::uint32_t n = r.Conformance(4, Count(in.idCount));
    in.storeRecordIds.emplace();
    in.storeRecordIds->reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) in.storeRecordIds->push_back(r.I32());
  });
  in.reserved = r.U8();
  in.computerName = r.WideString();
  in.queueName = r.WideString();
  in.documentName = r.WideString();
  in.pages = r.I32();
  in.count = r.I32();
  in.accounts = ReadAccounts(r, in.count);
  return in;
}

void ConfirmPrintIn::Write(Writer& w) const {
  w.WideString(computerName);
  w.U8(reserved1);
  w.I32(jobId);
  w.WideString(printerName);
  w.WideString(message);
  w.U8(reserved2);
  w.U8(reserved3);
}

ConfirmPrintIn ConfirmPrintIn::Read(Reader& r) {
  ConfirmPrintIn in;
  in.computerName = r.WideString();
  in.reserved1 = r.U8();
  in.jobId = r.I32();
  in.printerName = r.WideString();
  in.message = r.WideString();
  in.reserved2 = r.U8();
  in.reserved3 = r.U8();
  return in;
}

void SetJobCommandIn::Write(Writer& w) const {
  w.I32(jobId);
  w.I32(command);
  w.WideString(queueName);
}

SetJobCommandIn SetJobCommandIn::Read(Reader& r) {
  SetJobCommandIn in;
  in.jobId = r.I32();
  in.command = r.I32();
  in.queueName = r.WideString();
  return in;
}

void ChangeJobOwnerIn::Write(Writer& w) const {
  w.I32(jobId);
  w.WideString(userName);
  w.WideString(queueName);
}

ChangeJobOwnerIn ChangeJobOwnerIn::Read(Reader& r) {
  ChangeJobOwnerIn in;
  in.jobId = r.I32();
  in.userName = r.WideString();
  in.queueName = r.WideString();
  return in;
}

void ApplyJobDecisionIn::Write(Writer& w) const {
  w.I32(jobId);
  w.I32(command);
  w.WideString(queueName);
  w.U8(released);
  w.U8(keepFirst);
}

ApplyJobDecisionIn ApplyJobDecisionIn::Read(Reader& r) {
  ApplyJobDecisionIn in;
  in.jobId = r.I32();
  in.command = r.I32();
  in.queueName = r.WideString();
  in.released = r.U8();
  in.keepFirst = r.U8();
  return in;
}

void ReexamineJobIn::Write(Writer& w) const {
  w.WideString(queueName);
  w.I32(jobId);
}

ReexamineJobIn ReexamineJobIn::Read(Reader& r) {
  ReexamineJobIn in;
  in.queueName = r.WideString();
  in.jobId = r.I32();
  return in;
}

void ConfigChangedIn::Write(Writer& w) const {
  w.I16(type);
  w.WideString(data);
}

ConfigChangedIn ConfigChangedIn::Read(Reader& r) {
  ConfigChangedIn in;
  in.type = r.I16();
  in.data = r.WideString();
  return in;
}

}  // namespace tollgate::remote
