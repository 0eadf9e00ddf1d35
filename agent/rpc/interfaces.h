// The interfaces the agent speaks over DCE/RPC: the central server's (the agent is the
// client), the user's workstation's two (the agent is the client) and their structures, each
// written once as NDR marshalling that a client and a server both use. For every operation
// an `...In` record holds its [in] parameters and an `...Out` record its [out] parameters
// and result; `Write` puts one on the wire and `Read` takes it back, in the order of the
// interface definition. Reading is bounded by the stub data (see ndr.h): hostile input
// throws RpcException(RPC_X_BAD_STUB_DATA).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "shared/rpc/ndr.h"
#include "shared/rpc/uuid.h"

namespace tollgate::remote {

using ::rpc::SyntaxId;
using ::rpc::ndr::Reader;
using ::rpc::ndr::Writer;

const SyntaxId& CentralServerInterfaceId();  // b9969d8a-… v1.5
const SyntaxId& WorkstationNotifierId();     // a9d0e856-… v1.0
const SyntaxId& WorkstationConfirmId();      // a6fc6445-… v1.0
const SyntaxId& AgentJobControlId();         // 1edbe959-… v1.0 (the agent is the server)
const SyntaxId& AgentConfigNotifyId();       // e3eae101-… v1.0 (the agent is the server)

// Operations of CentralServerInterface that the agent calls; it has 41 (0 to 40).
namespace central {
inline constexpr std::uint16_t kCancelJob = 5;
inline constexpr std::uint16_t kUploadFileChunk = 23;
inline constexpr std::uint16_t kReportJob = 34;
inline constexpr std::uint16_t kRegisterAgent = 37;
inline constexpr std::uint16_t kReportHardwareCounters = 40;
inline constexpr std::uint16_t kOperationCount = 41;
}  // namespace central

// ---- Structures of the central server's interface --------------------------------------

struct QueueEntry {
  std::optional<std::string> queueName;
  std::optional<std::string> portAddress;  // null when hasAddress is 0
  std::uint8_t hasAddress = 0;
  bool operator==(const QueueEntry&) const = default;
};

struct QueueSettings {
  std::int32_t queueIndex = 0;
  std::int32_t id = 0;
  std::int16_t language = 0;
  std::int16_t identifyHardware = 0;
  std::optional<std::string> snmpCommunity;  // may be null
  std::int16_t isToArchive = 0;
  std::int16_t isToCheckCounterAfterPrint = 0;
  std::int16_t reserved = 0;
  bool operator==(const QueueSettings&) const = default;
};

struct CounterLine {  // 16 bytes
  std::int32_t first = 0;
  std::int32_t second = 0;
  std::int16_t kind = 0;
  std::optional<std::string> paperSize;  // null, or "A3"
  bool operator==(const CounterLine&) const = default;
};

struct CounterSnapshot {  // 40 bytes, alignment 8
  std::optional<std::string> deviceText[3];
  std::int32_t value1 = 0;
  std::int32_t value2 = 0;
  double readingTime = 0;
  std::vector<CounterLine> lines;  // a null pointer when empty
  bool operator==(const CounterSnapshot&) const = default;
};

struct CounterJobLink {  // 12 bytes
  std::int32_t storeRecordId = 0;
  std::int32_t jobNumber = 0;
  std::int32_t one = 1;
  bool operator==(const CounterJobLink&) const = default;
};

// The structures alone, as they sit in a parameter list: the pointer of the array (or the
// reference) and what it points to.
void WriteQueueEntries(Writer& w, const std::vector<QueueEntry>& queues);  // short n; unique*
std::vector<QueueEntry> ReadQueueEntries(Reader& r);
void WriteQueueSettings(Writer& w, const std::vector<QueueSettings>& settings);  // [out] n; **
std::vector<QueueSettings> ReadQueueSettings(Reader& r);
void WriteCounterSnapshot(Writer& w, const CounterSnapshot& snapshot);  // [in, ref]
CounterSnapshot ReadCounterSnapshot(Reader& r);
void WriteCounterJobLink(Writer& w, const CounterJobLink& link);  // [in, ref]
CounterJobLink ReadCounterJobLink(Reader& r);

// ---- CentralServerInterface operations -------------------------------------------------

struct CancelJobIn {
  std::int32_t serverJobId = 0;
  void Write(Writer& w) const;
  static CancelJobIn Read(Reader& r);
};

struct UploadFileChunkIn {
  std::int32_t serverJobId = 0;
  std::vector<std::uint8_t> data;  // count = its size (at most 32 767)
  std::uint8_t last = 0;
  void Write(Writer& w) const;
  static UploadFileChunkIn Read(Reader& r);
};

// The short result of CancelJob, UploadFileChunk and ReportHardwareCounters.
struct ShortResult {
  std::int16_t value = 0;
  void Write(Writer& w) const;
  static ShortResult Read(Reader& r);
};

struct ReportJobIn {
  std::int32_t clientId = 0;
  std::string queueName;
  std::string portAddress;
  std::string userName;
  std::string owner;
  std::int8_t networkPort = 0;
  double submitted = 0;
  std::int32_t pages = 0;
  std::int32_t colourPages = 0;
  std::int32_t monoPages = 0;
  std::int32_t copies = 0;
  std::string documentName;
  std::int32_t spoolerJobId = 0;
  std::int16_t paperCode = 0;
  std::string paperName;
  std::int16_t colour = 0;
  std::int16_t duplex = 0;
  std::uint8_t resent = 0;
  std::uint8_t fresh = 0;
  std::string agentVersion;
  std::string machineName;
  std::int16_t language = 0;
  std::int16_t one = 1;
  std::uint8_t reexamined = 0;
  bool operator==(const ReportJobIn&) const = default;
  void Write(Writer& w) const;
  static ReportJobIn Read(Reader& r);
};

struct ReportJobOut {
  std::vector<std::int32_t> serverJobIds;
  std::int16_t status = 0;
  std::wstring message;
  std::string json;
  void Write(Writer& w) const;
  static ReportJobOut Read(Reader& r);
};

struct RegisterAgentIn {
  std::uint8_t agentKind = 4;
  std::string computerName;
  std::vector<QueueEntry> queues;
  void Write(Writer& w) const;
  static RegisterAgentIn Read(Reader& r);
};

struct RegisterAgentOut {
  std::int16_t status = 0;
  std::int32_t clientId = 0;
  std::uint8_t freeGbRequiredToArchive = 0;
  std::int16_t daysToKeepArchivedFile = 0;
  std::int16_t canQueryMfCopy = 0;
  std::wstring text;
  std::vector<QueueSettings> settings;
  std::string json;
  void Write(Writer& w) const;
  static RegisterAgentOut Read(Reader& r);
};

struct ReportHardwareCountersIn {
  CounterSnapshot snapshot;
  CounterJobLink link;
  std::uint8_t hasJobNumber = 0;
  void Write(Writer& w) const;
  static ReportHardwareCountersIn Read(Reader& r);
};

// ---- The workstation's interfaces ------------------------------------------------------

struct AccountEntry {
  std::optional<std::wstring> id;
  std::optional<std::wstring> name;
  std::int32_t requireItem = 0;  // 1 or 0
  bool operator==(const AccountEntry&) const = default;
};

// WorkstationNotifier opnum 0 (not called by the agent).
struct Reserved0In {
  std::int32_t a = 0;
  std::int32_t b = 0;
  std::uint8_t c = 0;
  std::wstring s1, s2, s3;
  std::int32_t d = 0;
  std::int32_t count = 0;
  std::optional<std::vector<AccountEntry>> accounts;  // null array: nullopt
  void Write(Writer& w) const;
  static Reserved0In Read(Reader& r);
};

// WorkstationNotifier opnum 1.
struct ShowFeedbackIn {
  std::wstring message;
  void Write(Writer& w) const;
  static ShowFeedbackIn Read(Reader& r);
};

// WorkstationNotifier opnums 2 (RequestAuthorization) and 3 (RequestAuthentication).
struct AuthenticationIn {
  std::int32_t jobId = 0;
  std::uint8_t reserved = 0;
  std::wstring computerName;
  std::wstring queueName;
  std::wstring documentName;
  std::int32_t pages = 0;
  std::int32_t keyLength = 0;
  std::optional<std::vector<std::uint8_t>> publicKey;
  void Write(Writer& w) const;
  static AuthenticationIn Read(Reader& r);
};

// WorkstationNotifier opnum 4.
struct RequestAccountIn {
  std::int32_t jobId = 0;
  std::int16_t idCount = 0;
  std::optional<std::vector<std::int32_t>> storeRecordIds;
  std::uint8_t reserved = 0;
  std::wstring computerName;
  std::wstring queueName;
  std::wstring documentName;
  std::int32_t pages = 0;
  std::int32_t count = 0;
  std::optional<std::vector<AccountEntry>> accounts;
  void Write(Writer& w) const;
  static RequestAccountIn Read(Reader& r);
};

// WorkstationConfirm opnum 0.
struct ConfirmPrintIn {
  std::wstring computerName;
  std::uint8_t reserved1 = 0;
  std::int32_t jobId = 0;
  std::wstring printerName;
  std::wstring message;
  std::uint8_t reserved2 = 0;
  std::uint8_t reserved3 = 0;
  void Write(Writer& w) const;
  static ConfirmPrintIn Read(Reader& r);
};

namespace notifier {
inline constexpr std::uint16_t kReserved0 = 0;
inline constexpr std::uint16_t kShowFeedback = 1;
inline constexpr std::uint16_t kRequestAuthorization = 2;
inline constexpr std::uint16_t kRequestAuthentication = 3;
inline constexpr std::uint16_t kRequestAccount = 4;
inline constexpr std::uint16_t kConfirmPrint = 0;  // of WorkstationConfirm
}  // namespace notifier

// ---- The agent's own interfaces (the central server is the client) ---------------------

// AgentJobControl opnum 0.
struct SetJobCommandIn {
  std::int32_t jobId = 0;
  std::int32_t command = 0;
  std::wstring queueName;
  void Write(Writer& w) const;
  static SetJobCommandIn Read(Reader& r);
};

// AgentJobControl opnum 1.
struct ChangeJobOwnerIn {
  std::int32_t jobId = 0;
  std::wstring userName;
  std::wstring queueName;
  void Write(Writer& w) const;
  static ChangeJobOwnerIn Read(Reader& r);
};

// AgentJobControl opnum 2.
struct ApplyJobDecisionIn {
  std::int32_t jobId = 0;
  std::int32_t command = 0;
  std::wstring queueName;
  std::uint8_t released = 0;
  std::uint8_t keepFirst = 0;
  void Write(Writer& w) const;
  static ApplyJobDecisionIn Read(Reader& r);
};

// AgentJobControl opnum 3.
struct ReexamineJobIn {
  std::wstring queueName;
  std::int32_t jobId = 0;
  void Write(Writer& w) const;
  static ReexamineJobIn Read(Reader& r);
};

// AgentConfigNotify opnum 0; answered with a ShortResult.
struct ConfigChangedIn {
  std::int16_t type = 0;
  std::wstring data;
  void Write(Writer& w) const;
  static ConfigChangedIn Read(Reader& r);
};

namespace jobcontrol {
inline constexpr std::uint16_t kSetJobCommand = 0;
inline constexpr std::uint16_t kChangeJobOwner = 1;
inline constexpr std::uint16_t kApplyJobDecision = 2;
inline constexpr std::uint16_t kReexamineJob = 3;
inline constexpr std::uint16_t kConfigChanged = 0;  // of AgentConfigNotify
}  // namespace jobcontrol

}  // namespace tollgate::remote
