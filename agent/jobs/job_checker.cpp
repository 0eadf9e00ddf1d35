#include "agent/jobs/job_checker.h"

#include <boost/beast/core/detail/base64.hpp>
#include <boost/date_time/gregorian/gregorian.hpp>

#include <cwctype>
#include <exception>
#include <stdexcept>

#include "agent/config/settings.h"
#include "agent/jobs/job_files.h"
#include "agent/jobs/workstation.h"
#include "agent/spooler/printer.h"
#include "gatelib/printing/job_data.h"
#include "gatelib/printing/printer_language.h"
#include "gatelib/printing/spool_analyzer.h"
#include "gatelib/printing/text_analyzer.h"
#include "platform/platform.h"
#include "shared/components/core.h"
#include "shared/components/injector.h"
#include "shared/error/catalogue.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"
#include "shared/error/report.h"

namespace tollgate::jobs {

using platform::DWORD;
namespace printing = gatelib::printing;

namespace {

constexpr DWORD kMaxSpoolerPages = 32699;

bool EndsWithNoCase(const std::wstring& text, const std::wstring& end) {
  if (text.size() < end.size()) return false;
  for (std::size_t i = 0; i < end.size(); ++i) {
    if (std::towlower(text[text.size() - end.size() + i]) != std::towlower(end[i])) return false;
  }
  return true;
}

bool SameNoCase(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() && EndsWithNoCase(a, b);
}

// The spooler names its EMF data types "NT EMF 1.003", "NT EMF 1.006", "NT EMF 1.008": the
// version follows the name.
bool IsEmfDataType(const std::wstring& dataType) {
  return dataType.size() >= 6 && SameNoCase(dataType.substr(0, 6), L"NT EMF");
}

bool SpoolerCountUsable(const platform::JobInfo2& job) {
  return job.TotalPages >= 1 && job.TotalPages <= kMaxSpoolerPages;
}

std::int16_t DevModeCopies(const platform::JobInfo2& job) {
  return job.pDevMode ? job.pDevMode->dmCopies : 1;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  return platform::system().MultiByteToWideChar(platform::CP_UTF8, text);
}

std::vector<std::uint8_t> DecodeKey(const std::string& text) {
  namespace base64 = boost::beast::detail::base64;
  std::vector<std::uint8_t> bytes(base64::decoded_size(text.size()));
  auto [written, read] = base64::decode(bytes.data(), text.data(), text.size());
  (void)read;
  bytes.resize(written);
  return bytes;
}

// Turns the thread's structured exceptions into standard exceptions the handlers see.
[[noreturn]] void CheckerStructuredException(unsigned code) {
  if (code == 0xC0000005u) throw std::runtime_error("access violation on JobChecker");
  throw std::runtime_error("structured exception on JobChecker");
}

// The name of the machine the agent runs on, read once.
const std::wstring& ComputerName() {
  static const std::wstring name = [] {
    std::wstring read;
    platform::system().GetComputerNameW(16, &read);
    return read;
  }();
  return name;
}

}  // namespace

bool OleDate(const platform::SystemTime& t, double* date) {
  try {
    boost::gregorian::date day(t.wYear, t.wMonth, t.wDay);
    if (t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 || t.wMilliseconds > 999) return false;
    boost::gregorian::date epoch(1899, 12, 30);
    double days = static_cast<double>((day - epoch).days());
    double fraction =
        (t.wHour * 3600.0 + t.wMinute * 60.0 + t.wSecond + t.wMilliseconds / 1000.0) / 86400.0;
    *date = days + fraction;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

SendResult SendJob(JobStore& store, const remote::JobReport& report) {
  SendResult result;
  remote::JobContext context;
  remote::ServerResultPtr answer = store.AddJob(report, &context);
  result.storeIds = context.recordIds;
  result.keptInMemory = context.keptInMemory;
  if (!answer) {
    result.watermark = context.watermark;
    result.feedbackMessage = context.feedbackMessage;
    return result;
  }
  std::wstring text = answer->Text();
  if (text == remote::kJobHeldByStore) {
    result.status = 1;  // kept held, without store records, and examined again
    result.heldByStore = true;
    return result;
  }
  std::optional<std::int16_t> code = remote::JobStatusCode(text);
  if (!code) {
    Log(L"Invalid error: '" + text + L"'");
    result.status = 3;
    return result;
  }
  result.status = *code;
  switch (*code) {
    case 6:
      result.accounts = answer->accounts;
      if (result.accounts.empty())
        Log(L"Was asked to select an account, but not accounts were provided.");
      break;
    case 12:
      result.confirmation = answer->message;
      break;
    case 13:
    case 14:
      result.publicKey = answer->publicKey;
      if (result.publicKey.empty()) {
        Log(L"The server asked to authenticate job " + std::to_wstring(report.spoolerJobId) +
            L" of queue " + report.queueName +
            L" without a public key; the user is asked with an empty key.");
      }
      break;
    default:
      break;
  }
  return result;
}

JobChecker::JobChecker(spooler::JobNotificationHandler& handler, JobStore& store)
    : handler_(handler), printer_(handler.Queue()), store_(store) {}

JobChecker::~JobChecker() {
  if (finished_ != nullptr) platform::kernel().CloseHandle(finished_);
}

bool JobChecker::Initialize() {
  platform::kernel().SetStructuredExceptionTranslator(&CheckerStructuredException);
  queueName_ = printer_.Name();
  own_ = std::make_unique<spooler::Printer>(queueName_, nullptr);
  try {
    own_->Open();
  } catch (Error* error) {
    ReportToHandler(error);
    own_.reset();
    return false;
  }
  finished_ = platform::kernel().CreateEventW(false, false);
  if (finished_ == nullptr) throw new SystemError(L"evtFinished.Create", L"JobChecker::Initialize");
  return true;
}

void JobChecker::Terminate() {
  if (finished_ != nullptr) platform::kernel().SetEvent(finished_);
}

void JobChecker::Execute(spooler::JobCheckerRequest& request) {
  std::wstring prefix = L"Exception executing job checker action " +
                        std::to_wstring(request.action) + L" for printer " + queueName_ + L": ";
  try {
    switch (request.action) {
      case spooler::JobCheckerRequest::kSpooled:
        ProcessSpooled(request.job);
        break;
      case spooler::JobCheckerRequest::kDeletedBeforePrinting:
        DeleteStoreRecords(request.job.storeIds);
        break;
      case spooler::JobCheckerRequest::kDeletedAfterRelease:
        break;
      default:
        throw std::runtime_error("invalid action");
    }
  } catch (Error* error) {
    std::unique_ptr<Error> owned(error);
    Log(prefix + owned->Message());
  } catch (const std::exception& exception) {
    Log(prefix + platform::system().MultiByteToWideChar(platform::CP_ACP, exception.what()));
  } catch (...) {
    Log(prefix + L"unexpected error");
  }
}

void JobChecker::DeleteStoreRecords(const std::vector<std::int64_t>& ids) {
  for (std::int64_t id : ids) {
    try {
      if (ErrorResultPtr error = store_.DeleteJob(id)) Log(L"Error deleting job: " + error->Text());
    } catch (Error* error) {
      std::unique_ptr<Error> owned(error);
      Log(L"Error deleting job: " + owned->Message());
    }
  }
}

void JobChecker::ReadSettings() {
  config::PrinterSettings read = config::ReadPrinterSettings(queueName_);
  settings_.language = read.language;
  settings_.emfCopiesReading = read.emfCopiesReading;
  settings_.isToArchive = read.isToArchive;
  settings_.id = read.id;
  PortFacts port = ReadPort(0);
  bool networked = port.kind == 1 && !port.address.empty();
  settings_.identifyHardware = networked && read.identifyHardware;
  settings_.isToCheckCounterAfterPrint = networked && read.isToCheckCounterAfterPrint;
  settings_.snmpCommunity = networked ? read.snmpCommunity : std::wstring();
}

JobChecker::PortFacts JobChecker::ReadPort(DWORD jobId) {
  PortFacts facts;
  try {
    spooler::Port* port = printer_.GetPort();
    if (port == nullptr) return facts;
    facts.kind = port->IsNetwork() ? 1 : port->IsUnc() ? 2 : 0;
    facts.address = port->GetAddress();
  } catch (Error* error) {
    std::unique_ptr<Error> owned(error);
    facts.address.clear();
    Log(L"Couldn't read the port address of queue " + queueName_ +
        (jobId != 0 ? L" for job " + std::to_wstring(jobId) : std::wstring()) + L": " +
        owned->Message());
  }
  return facts;
}

void JobChecker::RecordDecision(DWORD jobId, const std::vector<std::int64_t>& ids, DWORD command) {
  try {
    bool released = command == platform::JOB_CONTROL_RESUME;
    bool pending = command == platform::JOB_CONTROL_PAUSE && ids.empty();
    if (!handler_.RecordDecision(jobId, ids, released, pending)) DeleteStoreRecords(ids);
  } catch (Error* error) {
    ReportToHandler(error);
  } catch (...) {
    Log(L"Exception while saving job list");
  }
}

void JobChecker::ProcessSpooled(const spooler::TrackedJob& tracked) {
  DWORD jobId = tracked.jobId;
  if (!own_) {
    // A checker without its own handle on the queue cannot decide: the job goes free, and is
    // known as released so that it is not held again.
    RecordDecision(jobId, {}, platform::JOB_CONTROL_RESUME);
    printer_.SetJob(jobId, platform::JOB_CONTROL_RESUME);
    return;
  }
  DWORD command = platform::JOB_CONTROL_RESUME;
  std::vector<std::int64_t> ids;
  heldByStore_ = false;
  keptInMemory_ = false;
  platform::JobInfo2 job;
  bool haveRecord = false;
  try {
    ReadSettings();
    // The hardware audits of network printers take their place here; without an audit
    // object the mode stays 0.
    auditMode_ = 0;
    if (!printer_.GetJob(jobId, &job)) return;  // gone before its turn: nothing to do
    haveRecord = true;
    command = Decide(job, tracked, &ids);
  } catch (...) {
    // A job that cannot be handled is released, never left held.
    try {
      throw;
    } catch (Error* error) {
      ReportToHandler(error);
    } catch (...) {
      Log(L"Exception while adding job record");
    }
    command = platform::JOB_CONTROL_RESUME;
    if (haveRecord) {
      Log(::Error(14, {job.pPrinterName, std::to_wstring(job.JobId), job.pUserName, job.pDocument})
              .Message());
    }
  }
  // Remembered before it is applied, so that a restart neither examines it again nor takes
  // it for a job paused by someone else. A job the store could not keep yet is not decided:
  // it stays as the agent paused it. Nor is a job whose record waits in the store's memory
  // (a full disk while the server is away): should the agent die before the record is
  // written, the job is reported again after the restart, as sent again, and the server
  // answers one it already holds with what it answered then.
  if (!heldByStore_ && !keptInMemory_)
    handler_.JournalDecision(jobId, haveRecord ? &job : nullptr, command);
  if (command != platform::JOB_CONTROL_DELETE) RecordDecision(jobId, ids, command);
  if (heldByStore_) {
    // The store could not keep the job yet: it stays paused and is examined again, behind
    // the queue's other requests.
    heldByStore_ = false;
    try {
      handler_.DispatchStatus(jobId, platform::JOB_STATUS_PAUSED);
    } catch (Error* error) {
      ReportToHandler(error);
    }
  }
  if (command == platform::JOB_CONTROL_PAUSE) return;  // already paused
  if (!platform::spooler().SetJobW(own_->Open(), jobId, 0, nullptr, command)) {
    Log(L"Couldn't apply status" + std::to_wstring(command) + L" to job " + std::to_wstring(jobId) +
        L": " + WindowsErrorResult()->Text());
    return;
  }
  // A released job's counters are audited here by the hardware audit of network printers.
}

printing::JobCounts JobChecker::CountJob(const platform::JobInfo2& job) {
  std::wstring failure;
  try {
    return CountFromData(job);
  } catch (Error* error) {
    std::unique_ptr<Error> owned(error);
    failure = owned->Message();
  } catch (const std::exception& exception) {
    failure = platform::system().MultiByteToWideChar(platform::CP_ACP, exception.what());
  }
  // The job is still reported, with what the spooler knows of it.
  printing::JobCounts counts;
  counts.holdMode = 1;
  paperOverride_ = 0;
  documentName_.clear();
  if (IsEmfDataType(job.pDatatype)) {
    counts.language = printing::PrinterLanguage::EMF;
  } else if (job.pDatatype == L"TEXT") {
    counts.language = printing::PrinterLanguage::TEXT;
  }
  counts.colour = printer_.IsColor(job);
  counts.duplex = job.pDevMode && job.pDevMode->dmDuplex != platform::DMDUP_SIMPLEX;
  if (SpoolerCountUsable(job)) {
    counts.pages = static_cast<int>(job.TotalPages);
    counts.copies = DevModeCopies(job);
  }
  Log(L"Couldn't count job " + std::to_wstring(job.JobId) + L" of queue " + queueName_ + L": " +
      failure + L"; it is reported with " + std::to_wstring(counts.pages) + L" pages.");
  return counts;
}

printing::JobCounts JobChecker::CountFromData(const platform::JobInfo2& job) {
  printing::JobCounts counts;
  counts.holdMode = 1;
  bool emf = IsEmfDataType(job.pDatatype);
  bool text = !emf && job.pDatatype == L"TEXT";
  counts.colour = printer_.IsColor(job);
  counts.duplex = job.pDevMode && job.pDevMode->dmDuplex != platform::DMDUP_SIMPLEX;
  paperOverride_ = 0;
  documentName_.clear();
  if (emf) {
    counts.language = printing::PrinterLanguage::EMF;
    counts.pages = static_cast<int>(job.TotalPages);
    counts.copies = DevModeCopies(job);
    if (settings_.emfCopiesReading) {
      std::int16_t copies = 0;
      if (ReadEmfCopies(printer_, queueName_, job, &copies)) counts.copies = copies;
    }
    int perCopy = job.pDevMode ? printer_.GetCopiesFromDevmode(*job.pDevMode) : 1;
    if (perCopy < 1) perCopy = 1;
    counts.pages = (counts.pages + perCopy - 1) / perCopy;
    return counts;
  }
  if (text) counts.language = printing::PrinterLanguage::TEXT;
  if (!text && settings_.language == static_cast<int>(printing::PrinterLanguage::WINDOWS_GDI) &&
      SpoolerCountUsable(job)) {
    counts.pages = static_cast<int>(job.TotalPages);
    counts.copies = DevModeCopies(job);
    if (settings_.isToArchive) AnalyseForLanguage(job, &counts);
    return counts;
  }
  bool failed = false;
  Analyse(job, text, &counts, &failed);
  if ((failed || (counts.pages == 0 && counts.colourPages == 0 && counts.monoPages == 0)) &&
      SpoolerCountUsable(job)) {
    counts.pages = static_cast<int>(job.TotalPages);
    counts.copies = DevModeCopies(job);
  }
  return counts;
}

void JobChecker::AnalyseForLanguage(const platform::JobInfo2& job, printing::JobCounts* counts) {
  printing::PageEndList pageEnds;
  printing::SpoolAnalyzer analyzer(printing::kSpoolBufferSize,
                                   static_cast<printing::PrinterLanguage>(settings_.language),
                                   pageEnds);
  if (analyzer.Open(SpoolFilePath(printer_, job.JobId), &job) == printing::analysis::kCounted)
    counts->language = analyzer.Counts().language;
}

void JobChecker::Analyse(const platform::JobInfo2& job, bool text, printing::JobCounts* counts,
                         bool* failed) {
  printing::PageEndList pageEnds;
  std::unique_ptr<printing::JobAnalyzer> analyzer;
  if (text) {
    analyzer = std::make_unique<printing::TextAnalyzer>(printing::kSpoolBufferSize, kLinesPerPage);
  } else {
    analyzer = std::make_unique<printing::SpoolAnalyzer>(
        printing::kSpoolBufferSize, static_cast<printing::PrinterLanguage>(settings_.language),
        pageEnds);
  }
  int result = analyzer->Open(SpoolFilePath(printer_, job.JobId), &job);
  if (result == printing::analysis::kCounted) {
    const printing::JobCounts& found = analyzer->Counts();
    bool colour = counts->colour;
    bool duplex = counts->duplex;
    *counts = found;
    counts->colour = found.colourKnown ? found.colour : colour;
    counts->duplex = duplex || found.duplex;
    documentName_ = found.documentName;
    if (!found.paperName.empty()) {
      for (const auto& paper : printer_.Papers()) {
        if (SameNoCase(paper.name, found.paperName)) {
          paperOverride_ = paper.id;
          break;
        }
      }
    } else if (found.mediaSize) {
      std::uint16_t code = *found.mediaSize;
      if (printer_.TranslatePaperCode(&code)) paperOverride_ = code;
    }
    return;
  }
  *failed = true;
  if (result == printing::analysis::kNotRecognised) {
    Log(::Error(21, {job.pDocument, job.pUserName, job.pPrinterName}).Message());
  }
  counts->pages = 0;
  counts->copies = 0;
}

DWORD JobChecker::Decide(const platform::JobInfo2& job, const spooler::TrackedJob& tracked,
                         std::vector<std::int64_t>* storeIds, bool resent) {
  storeIds->clear();
  {
    printing::JobCounts counts = CountJob(job);

    remote::JobReport report;
    report.queueName = queueName_;
    report.machineName = job.pMachineName;
    report.userName = job.pUserName;
    report.notifyName = job.pNotifyName.empty() ? job.pUserName : job.pNotifyName;
    report.documentName = job.pDocument;
    report.spoolerJobId = static_cast<std::int32_t>(job.JobId);
    PortFacts port = ReadPort(job.JobId);
    report.portKind = port.kind;
    report.portAddress = port.address;
    double submitted = 0;
    if (OleDate(job.Submitted, &submitted)) report.submitted = submitted;
    report.pages = counts.pages;
    report.copies = counts.copies;
    report.colourPages = counts.colourPages;
    report.monoPages = counts.monoPages;
    report.language = static_cast<std::int16_t>(counts.language);
    report.colour = counts.colour;
    report.duplex = counts.duplex;
    std::int16_t paper = paperOverride_ != 0 ? static_cast<std::int16_t>(paperOverride_)
                         : job.pDevMode      ? job.pDevMode->dmPaperSize
                                             : 0;
    report.paperCode = paper;
    for (const auto& entry : printer_.Papers()) {
      if (entry.id == static_cast<std::uint16_t>(paper)) {
        report.paperName = entry.name;
        break;
      }
    }
    report.trackedA = tracked.second;
    report.trackedB = tracked.extra == 1;
    report.resent = resent;

    SendResult sent = SendJob(store_, report);
    for (const auto& record : sent.storeIds) storeIds->push_back(record.id);
    heldByStore_ = sent.heldByStore;
    keptInMemory_ = sent.keptInMemory;

    std::wstring workstation = WorkstationOf(job.pMachineName);
    const std::wstring& computer = ComputerName();
    auto& injector = Injector::Process();
    switch (sent.status) {
      case 1:
        return platform::JOB_CONTROL_PAUSE;
      case 2:
        return platform::JOB_CONTROL_DELETE;
      case 6: {
        if (sent.accounts.empty()) {
          // Nobody could choose a cost centre: a job held for one would wait for ever.
          Log(L"Job " + std::to_wstring(job.JobId) + L" of queue " + queueName_ +
              L" is released: the server asked for a cost centre but gave none to choose from.");
          break;
        }
        printer_.SetJobStatusText(job.JobId, Catalogue().Text(41));
        if (auto* requester = injector.GetAs<AccountRequester>("account-requester")) {
          auto request = std::make_unique<AccountRequest>();
          request->jobId = static_cast<std::int32_t>(job.JobId);
          request->storeIds = *storeIds;
          request->computerName = computer;
          request->queueName = queueName_;
          request->documentName = job.pDocument;
          request->pages = counts.pages;
          request->accounts = sent.accounts;
          requester->Request(workstation, std::move(request));
        }
        return platform::JOB_CONTROL_PAUSE;
      }
      case 12: {
        if (auto* confirmer = injector.GetAs<PrintConfirmer>("print-confirmer")) {
          auto request = std::make_unique<ConfirmRequest>();
          request->computerName = computer;
          request->jobId = static_cast<std::int32_t>(job.JobId);
          request->printerName = queueName_;
          request->message = sent.confirmation;
          confirmer->Confirm(workstation, std::move(request));
        }
        printer_.SetJobStatusText(job.JobId, Catalogue().Text(43));
        return platform::JOB_CONTROL_PAUSE;
      }
      case 13:
      case 14: {
        if (auto* requester = injector.GetAs<AuthRequester>("auth-requester")) {
          auto request = std::make_unique<AuthRequest>();
          request->jobId = static_cast<std::int32_t>(job.JobId);
          request->computerName = computer;
          request->queueName = queueName_;
          request->documentName = job.pDocument;
          request->pages = counts.pages;
          request->publicKey = DecodeKey(sent.publicKey);
          request->unauthenticated = sent.status == 14;
          requester->Request(workstation, std::move(request));
        }
        printer_.SetJobStatusText(job.JobId, Catalogue().Text(42));
        return platform::JOB_CONTROL_PAUSE;
      }
      default:
        break;
    }
    if (!sent.feedbackMessage.empty()) {
      if (auto* sender = injector.GetAs<FeedbackSender>("feedback-sender"))
        sender->Send(workstation, FromUtf8(sent.feedbackMessage));
    }
    // Released: the records and the page count are kept for the hardware audit.
    if (!sent.storeIds.empty()) {
      lastIds_ = sent.storeIds;
      lastPages_ = counts.pages;
    }
    // The watermark the answer asks for and the archive of the spool file take their place
    // here.
    return platform::JOB_CONTROL_RESUME;
  }
}

}  // namespace tollgate::jobs
