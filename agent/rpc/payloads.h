// The messages of the central server's conversation: what the agent puts into each call and
// what it makes of the answers (registration settings, job status and its JSON, the server
// job ids of a job, the hardware counter report).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/rpc/interfaces.h"
#include "shared/error/error_result.h"

namespace tollgate::remote {

// One job as the job checker reports it.
struct JobReport {
  std::wstring queueName;
  std::wstring machineName;   // pMachineName
  std::wstring userName;      // pUserName
  std::wstring notifyName;    // pNotifyName; the user name stands in when it is empty
  std::wstring documentName;  // pDocument
  std::int32_t spoolerJobId = 0;
  std::int32_t portKind = 0;  // 1 network port, 2 local port with a UNC name, 0 other
  std::wstring portAddress;
  double submitted = 0;  // the spooler's Submitted (UTC) as an OLE automation date
  std::int32_t pages = 0;
  std::int32_t copies = 0;
  std::int32_t colourPages = 0;
  std::int32_t monoPages = 0;
  std::int16_t language = 0;  // PrinterLanguage
  bool colour = false;
  bool duplex = false;
  std::int16_t paperCode = 0;
  std::wstring paperName;
  bool trackedA = false;  // the tracked job's two values (A forces the fresh flag off)
  bool trackedB = false;
  bool resent = false;  // from the offline jobs file
};

// A monitored queue as the registration sends it.
struct RegisteredQueue {
  std::wstring name;
  bool networkPort = false;
  std::wstring address;
};
using QueueList = std::shared_ptr<const std::vector<RegisteredQueue>>;

// A printer counter reading as the job store keeps it.
struct HardwareRecord {
  std::wstring deviceText1;
  std::wstring deviceText2;
  std::wstring deviceText3;
  std::int32_t values[6] = {0, 0, 0, 0, 0, 0};
  std::int32_t a3First = 0;
  std::int32_t a3Second = 0;
  double readingTime = 0;       // OLE automation date
  std::int32_t jobNumber = -1;  // negative when the reading carries none
};

// What the agent keeps of a ReportJob answer.
struct JobAnswer {
  std::int16_t status = 0;
  std::vector<std::int32_t> serverJobIds;
  std::wstring message;
  std::string json;
};

// A store record id with the page count it stands for.
struct StoreRecord {
  std::int64_t id = 0;
  std::int32_t pages = 0;
  bool operator==(const StoreRecord&) const = default;
};

// What an accepted job brings back besides its decision.
struct JobContext {
  std::vector<StoreRecord> recordIds;
  std::string watermark;        // narrow, as the server sent it
  std::string feedbackMessage;  // UTF-8
  // Kept offline, but its record could not be written yet: it waits in the store's memory,
  // and a crash of the agent before it is written would lose it.
  bool keptInMemory = false;
};

struct Account {
  std::wstring id;
  std::wstring name;
  bool requireItem = false;
  bool operator==(const Account&) const = default;
};

// The outcome of a conversation with the server: a failure (IsDecision clear: the job store
// goes offline) or the server's decision about the job, named by its job status.
class ServerResult : public ErrorResult {
 public:
  ServerResult(std::wstring text, bool decision)
      : ErrorResult(std::move(text)), decision_(decision) {}
  bool IsDecision() const { return decision_; }

  std::int16_t status = 0;
  std::vector<Account> accounts;  // 6 JOB-ACCOUNT-REQUIRED
  std::string publicKey;          // 13, 14
  std::wstring message;           // 12 JOB-UNCONFIRMED: the question for the user

 private:
  bool decision_;
};
using ServerResultPtr = std::unique_ptr<ServerResult>;

ServerResultPtr MakeFailure(std::wstring text);
ServerResultPtr MakeDecision(std::int16_t status, std::wstring name);

// The job store's own answer for a job it could neither send nor keep (the agent stops while
// the job waits for room in a full jobs file): the job stays held, and is decided again.
inline constexpr wchar_t kJobHeldByStore[] = L"JOB-HELD-BY-STORE";

// The job status names and their codes, shared with the decisions and the local server.
std::optional<std::int16_t> JobStatusCode(const std::wstring& name);
std::optional<std::wstring> JobStatusName(std::int16_t code);

// Texts the agent sends (user, document, machine, queue names and the like): wide to narrow
// in the ANSI code page. A character the code page cannot hold as itself goes as its decimal
// numeric character reference ("李明" on a Windows-1252 machine: "&#26446;&#26126;"), and an
// "&" that a "#" follows as "&#38;", so that no two names meet in one narrow text; a name the
// code page holds without an "&#" is sent exactly as the code page writes it.
std::string Narrow(const std::wstring& text);

// The receiving side of Narrow, on the text converted back to wide: every well-formed
// reference ("&#" decimal digits ";" naming a Unicode scalar value) becomes its character;
// anything else stays as it is.
std::wstring DecodeCharacterReferences(const std::wstring& text);

// RegisterAgent's parameters 2 to 5.
RegisterAgentIn BuildRegistration(const std::string& computerName,
                                  const std::vector<RegisteredQueue>& queues);
// Writes the answer's settings into the configuration.
void ApplyRegistration(const RegisterAgentOut& answer, const std::vector<RegisteredQueue>& queues);

// The submission time in the machine's local time: "error converting to local time" around
// the Windows error when the time zone cannot be read.
ErrorResultPtr LocalTime(double utc, double* local);

// ReportJob's parameters 2 to 25; `submitted` is the local time.
ReportJobIn BuildJobReport(const JobReport& report, std::int32_t clientId, double submitted);

// The store record ids of an accepted job.
std::vector<StoreRecord> JobRecordIds(const JobAnswer& answer, const JobReport& report);

// The status of the answer: none for an accepted job, else a decision or a failure.
ServerResultPtr ReadJobAnswer(const JobAnswer& answer);
// The "watermark" and "feedbackMessage" of an accepted job's answer.
void ReadAnswerJson(const JobAnswer& answer, JobContext* context);

// ReportHardwareCounters' parameters 2 to 4.
ReportHardwareCountersIn BuildHardwareReport(const HardwareRecord& record,
                                             std::int64_t serverJobId);

// OLE automation dates: days since 30 December 1899, the fraction the time of day.
double OleDateFromUnixSeconds(double seconds);

}  // namespace tollgate::remote
