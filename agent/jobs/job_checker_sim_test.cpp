#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "agent/config/settings.h"
#include "agent/jobs/job_checker.h"
#include "agent/jobs/job_files.h"
#include "agent/jobs/workstation.h"
#include "agent/spooler/printer.h"
#include "gatelib/printing/printer_language.h"
#include "platform/platform.h"
#include "shared/components/core.h"
#include "shared/error/catalogue.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;
using namespace tollgate;
using tollgate::testing::ReadBytes;
using tollgate::testing::Wide;
using tollgate::testing::WriteBytes;

// Two paused queues (their jobs stay until someone acts on them): a networked one and a
// Brother model whose DEVMODE says how many copies the driver prints of each page.
const char kMachine[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers]\r\n"
    "\"DefaultSpoolDirectory\"=\"%SPOOL%\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Fila]\r\n"
    "\"Port\"=\"IP_10.0.0.5\"\r\n\"Printer Driver\"=\"HP Universal Printing PCL 6\"\r\n"
    "\"Status\"=dword:00000001\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Brother]\r\n"
    "\"Port\"=\"LPT1:\"\r\n\"Printer Driver\"=\"Brother MFC-7820N Printer\"\r\n"
    "\"Status\"=dword:00000001\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Standard TCP/IP "
    "Port\\Ports\\IP_10.0.0.5]\r\n\"IPAddress\"=\"10.0.0.5\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\r\n"
    "\"LPT1:\"=\"\"\r\n";

// The machine's registry with its spool folder inside the machine's folder.
std::string MachineRegistry(const std::filesystem::path& folder) {
  std::string text = kMachine;
  std::string spool = (folder / "spool").string();
  std::string escaped;
  for (char c : spool) escaped += c == '/' ? std::string("\\\\") : std::string(1, c);
  text.replace(text.find("%SPOOL%"), 7, escaped);
  return text;
}

class RecordingHandler : public spooler::JobNotificationHandler {
 public:
  using JobNotificationHandler::JobNotificationHandler;
  void OnJobSpooled(const spooler::TrackedJob& job) override { spooled.push_back(job); }
  void OnJobDeletedBeforePrinting(const std::vector<std::int64_t>& ids) override {
    deleted.push_back(ids);
  }
  std::vector<spooler::TrackedJob> spooled;
  std::vector<std::vector<std::int64_t>> deleted;
};

class FakeStore : public jobs::JobStore {
 public:
  std::function<remote::ServerResultPtr(const remote::JobReport&, remote::JobContext*)> answer;
  std::vector<remote::JobReport> reports;
  std::vector<std::int64_t> cancelled;
  remote::ServerResultPtr AddJob(const remote::JobReport& report,
                                 remote::JobContext* context) override {
    reports.push_back(report);
    context->recordIds = {{501, report.pages}};
    return answer ? answer(report, context) : nullptr;
  }
  ErrorResultPtr DeleteJob(std::int64_t id) override {
    cancelled.push_back(id);
    return nullptr;
  }
};

// What the workstation was asked, one line a request.
struct Asked {
  std::mutex lock;
  std::vector<std::wstring> lines;
  void Add(std::wstring line) {
    std::lock_guard<std::mutex> guard(lock);
    lines.push_back(std::move(line));
  }
};

class FakeAccounts : public jobs::AccountRequester {
 public:
  explicit FakeAccounts(Asked& asked) : asked_(asked) {}
  void Request(const std::wstring& at, std::unique_ptr<jobs::AccountRequest> r) override {
    asked_.Add(L"account " + at + L" job " + std::to_wstring(r->jobId) + L" accounts " +
               std::to_wstring(r->accounts.size()) + L" ids " +
               std::to_wstring(r->storeIds.size()));
  }

 private:
  Asked& asked_;
};

class FakeAuth : public jobs::AuthRequester {
 public:
  explicit FakeAuth(Asked& asked) : asked_(asked) {}
  void Request(const std::wstring& at, std::unique_ptr<jobs::AuthRequest> r) override {
    asked_.Add(L"auth " + at + L" key " + std::to_wstring(r->publicKey.size()) +
               (r->unauthenticated ? L" unauthenticated" : L" unauthorized"));
  }

 private:
  Asked& asked_;
};

class FakeConfirm : public jobs::PrintConfirmer {
 public:
  explicit FakeConfirm(Asked& asked) : asked_(asked) {}
  void Confirm(const std::wstring& at, std::unique_ptr<jobs::ConfirmRequest> r) override {
    asked_.Add(L"confirm " + at + L" " + r->printerName + L" " + r->message);
  }

 private:
  Asked& asked_;
};

class FakeFeedback : public jobs::FeedbackSender {
 public:
  explicit FakeFeedback(Asked& asked) : asked_(asked) {}
  void Send(const std::wstring& at, const std::wstring& message) override {
    asked_.Add(L"feedback " + at + L" " + message);
  }

 private:
  Asked& asked_;
};

class JobCheckerOnSim : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    WriteBytes(Folder() / "registry.reg", MachineRegistry(Folder()));
    InstallFileLog(std::make_unique<FileLog>(Wide(Folder() / "events.log"), 10000000));
    Injector& injector = Injector::Process();
    injector.Register("error-handler", std::make_unique<ApplicationErrorHandler>());
    injector.Register("account-requester", std::make_unique<FakeAccounts>(asked_));
    injector.Register("auth-requester", std::make_unique<FakeAuth>(asked_));
    injector.Register("print-confirmer", std::make_unique<FakeConfirm>(asked_));
    injector.Register("feedback-sender", std::make_unique<FakeFeedback>(asked_));
  }
  void TearDown() override {
    checker_.reset();
    handler_.reset();
    printer_.reset();
    Injector::Process().Clear();
    InstallFileLog(nullptr);
  }

  jobs::JobChecker& Checker(const std::wstring& queue = L"Fila") {
    checker_.reset();
    handler_.reset();
    printer_ = std::make_unique<spooler::Printer>(queue, &manager_);
    printer_->GetPapers();
    handler_ = std::make_unique<RecordingHandler>(*printer_);
    checker_ = std::make_unique<jobs::JobChecker>(*handler_, store_);
    EXPECT_TRUE(checker_->Initialize());
    checker_->ReadSettings();
    return *checker_;
  }

  DWORD Print(const std::wstring& queue, const std::string& bytes, DWORD pages = 0,
              const std::wstring& datatype = L"RAW", std::vector<std::uint8_t> extra = {}) {
    machine().SetSubmitter(L"maria", L"WS042", pages, L"");
    Spooler& sp = platform::spooler();
    PrinterDefaults defaults;
    defaults.pDatatype = datatype;
    DevMode dm;
    dm.driverExtra = std::move(extra);
    defaults.pDevMode = dm;
    defaults.DesiredAccess = 0x8;
    HANDLE h = nullptr;
    EXPECT_TRUE(sp.OpenPrinterW(queue, &h, &defaults));
    DWORD id = sp.StartDocPrinterW(h, DocInfo1{L"relatorio.pcl", L"", datatype});
    DWORD written = 0;
    EXPECT_TRUE(sp.WritePrinter(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written));
    EXPECT_TRUE(sp.EndDocPrinter(h));
    sp.ClosePrinter(h);
    return id;
  }
  std::string Pcl(int pages) {
    std::string bytes =
        "\x1b"
        "E";
    for (int i = 0; i < pages; ++i) bytes += "page\f";
    return bytes +
           "\x1b"
           "E";
  }

  // Runs one spooled-job request as the queue's worker thread would.
  void Examine(DWORD jobId) {
    printer_->SetJob(jobId, JOB_CONTROL_PAUSE);
    handler_->DispatchStatus(jobId, JOB_STATUS_PAUSED);
    ASSERT_FALSE(handler_->spooled.empty());
    spooler::JobCheckerRequest request;
    request.action = spooler::JobCheckerRequest::kSpooled;
    request.job = handler_->spooled.back();
    checker_->Execute(request);
  }
  JobInfo2 Job(DWORD id) {
    JobInfo2 job;
    EXPECT_TRUE(printer_->GetJob(id, &job));
    return job;
  }
  bool Exists(DWORD id) { return printer_->GetJob(id, nullptr); }
  std::string Journal() { return ReadBytes(Folder() / "spooler.jsonl"); }
  std::string LogText() { return ReadBytes(Folder() / "events_0.log"); }
  static std::string Ansi(const std::wstring& text) {
    return system().WideCharToMultiByte(CP_ACP, text);
  }

  spooler::PrintMgr manager_{L""};
  std::unique_ptr<spooler::Printer> printer_;
  std::unique_ptr<RecordingHandler> handler_;
  std::unique_ptr<jobs::JobChecker> checker_;
  FakeStore store_;
  Asked asked_;
};

struct StatusCase {
  const wchar_t* answer;  // the server's status text ("" accepted)
  DWORD command;
  std::uint32_t statusText;  // catalogue id, 0 none
  const wchar_t* asked;      // what the workstation was asked ("" nothing)
};

TEST_F(JobCheckerOnSim, EveryServerStatusGivesItsCommandStatusTextAndRequest) {
  const StatusCase cases[] = {
      {L"", JOB_CONTROL_RESUME, 0, L"feedback WS042 Custo: R$ 0,40"},
      {L"INSUFFICIENT-BALANCE-PAUSE-PRINTER", JOB_CONTROL_PAUSE, 0, L""},
      {L"INSUFFICIENT-BALANCE-PAUSE-USER", JOB_CONTROL_PAUSE, 0, L""},
      {L"INSUFFICIENT-BALANCE-DELETE-GROUP", JOB_CONTROL_DELETE, 0, L""},
      {L"INSUFFICIENT-BALANCE-DELETE-ACCOUNT", JOB_CONTROL_DELETE, 0, L""},
      {L"JOB-ACCOUNT-REQUIRED", JOB_CONTROL_PAUSE, 41, L"account WS042 job 1 accounts 2 ids 1"},
      {L"JOB-UNCONFIRMED", JOB_CONTROL_PAUSE, 43, L"confirm WS042 Fila Confirma 4 páginas?"},
      {L"JOB-UNAUTHORIZED", JOB_CONTROL_PAUSE, 42, L"auth WS042 key 3 unauthorized"},
      {L"JOB-UNAUTHENTICATED", JOB_CONTROL_PAUSE, 42, L"auth WS042 key 0 unauthenticated"},
      {L"JOB-COLORED-FORBIDDEN-PAUSE", JOB_CONTROL_RESUME, 0, L""},
      {L"JOB-COLORED-FORBIDDEN-DELETE", JOB_CONTROL_RESUME, 0, L""},
      {L"JOB-DUPLEX-REQUIRED-PAUSE", JOB_CONTROL_RESUME, 0, L""},
      {L"JOB-DUPLEX-REQUIRED-DELETE", JOB_CONTROL_RESUME, 0, L""},
      {L"JOB-UNRELEASED", JOB_CONTROL_RESUME, 0, L""},
      {L"JOB-PENDING", JOB_CONTROL_RESUME, 0, L""},
      // Answers the agent cannot act on: released.
      {L"Internal server error", JOB_CONTROL_RESUME, 0, L""},
      {L"Unknown RPC status: 99", JOB_CONTROL_RESUME, 0, L""},
      // The job store could neither send nor keep the job: it stays held.
      {remote::kJobHeldByStore, JOB_CONTROL_PAUSE, 0, L""},
  };
  jobs::JobChecker& checker = Checker();
  DWORD id = Print(L"Fila", Pcl(4));
  JobInfo2 job = Job(id);
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << Ansi(c.answer));
    std::wstring name = c.answer;
    store_.answer = [&](const remote::JobReport&,
                        remote::JobContext* context) -> remote::ServerResultPtr {
      if (name.empty()) {
        context->feedbackMessage = "Custo: R$ 0,40";
        return nullptr;
      }
      std::int16_t code = remote::JobStatusCode(name).value_or(3);
      auto decision = remote::MakeDecision(code, name);
      if (name == L"JOB-ACCOUNT-REQUIRED")
        decision->accounts = {{L"c1", L"Centro 1", true}, {L"c2", L"Centro 2", false}};
      if (name == L"JOB-UNCONFIRMED") decision->message = L"Confirma 4 páginas?";
      if (name == L"JOB-UNAUTHORIZED") decision->publicKey = "AQID";  // bytes 1, 2, 3
      return decision;
    };
    printer_->SetJobStatusText(id, L"");
    asked_.lines.clear();
    std::vector<std::int64_t> ids;
    EXPECT_EQ(checker.Decide(job, spooler::TrackedJob{}, &ids), c.command);
    EXPECT_EQ(ids, std::vector<std::int64_t>{501});
    std::wstring text = c.statusText == 0 ? L"" : Catalogue().Text(c.statusText);
    EXPECT_EQ(Ansi(Job(id).pStatus), Ansi(text));
    std::vector<std::wstring> expected;
    if (*c.asked != 0) expected.push_back(c.asked);
    EXPECT_EQ(asked_.lines, expected);
  }
  EXPECT_NE(LogText().find("Invalid error: 'JOB-PENDING'"), std::string::npos) << LogText();
  // The report carries the job record and its counts.
  const remote::JobReport& report = store_.reports.front();
  EXPECT_EQ(report.queueName, L"Fila");
  EXPECT_EQ(report.userName, L"maria");
  EXPECT_EQ(report.notifyName, L"maria");
  EXPECT_EQ(report.machineName, L"\\\\WS042");
  EXPECT_EQ(report.pages, 4);
  EXPECT_EQ(report.portKind, 1);
  EXPECT_EQ(report.portAddress, L"10.0.0.5");
  EXPECT_EQ(report.language, static_cast<std::int16_t>(gatelib::printing::PrinterLanguage::PCL));
  EXPECT_GT(report.submitted, 46000);
}

TEST_F(JobCheckerOnSim, AnAccountRequestWithoutAccountsIsLoggedAndTheJobIsReleased) {
  // Nobody can choose among no accounts: held, the job would wait for ever.
  Checker();
  DWORD id = Print(L"Fila", Pcl(1));
  store_.answer = [](const remote::JobReport&, remote::JobContext*) {
    return remote::MakeDecision(6, L"JOB-ACCOUNT-REQUIRED");
  };
  Examine(id);
  EXPECT_TRUE(asked_.lines.empty());
  EXPECT_EQ(Ansi(Job(id).pStatus), "");
  EXPECT_NE(Journal().find("\"job\":" + std::to_string(id) + ",\"event\":\"resumed\""),
            std::string::npos);
  spooler::TrackedJob entry;
  ASSERT_TRUE(handler_->Find(id, &entry));
  EXPECT_TRUE(entry.released);
  EXPECT_NE(LogText().find("Was asked to select an account, but not accounts were provided."),
            std::string::npos);
  EXPECT_NE(LogText().find("Job " + std::to_string(id) +
                           " of queue Fila is released: the server asked for a cost centre but "
                           "gave none to choose from."),
            std::string::npos)
      << LogText();
}

TEST_F(JobCheckerOnSim, AJobTheStoreCannotKeepYetStaysPausedAndIsExaminedAgain) {
  Checker();
  DWORD id = Print(L"Fila", Pcl(1));
  store_.answer = [](const remote::JobReport&, remote::JobContext* context) {
    context->recordIds.clear();
    return remote::MakeDecision(1, remote::kJobHeldByStore);
  };
  Examine(id);
  ASSERT_EQ(handler_->spooled.size(), 2u);  // queued again
  EXPECT_EQ(handler_->spooled.back().jobId, id);
  EXPECT_NE(Job(id).Status & JOB_STATUS_PAUSED, 0u);
  EXPECT_EQ(Journal().find("\"job\":" + std::to_string(id) + ",\"event\":\"resumed\""),
            std::string::npos);
  EXPECT_EQ(LogText().find("Invalid error"), std::string::npos) << LogText();
  // Once the store keeps it, the job is released.
  store_.answer = nullptr;
  spooler::JobCheckerRequest request;
  request.action = spooler::JobCheckerRequest::kSpooled;
  request.job = handler_->spooled.back();
  checker_->Execute(request);
  EXPECT_NE(Journal().find("\"job\":" + std::to_string(id) + ",\"event\":\"resumed\""),
            std::string::npos);
}

TEST_F(JobCheckerOnSim, AJobWhosePortOrSpoolFolderCannotBeReadIsStillReported) {
  struct Case {
    const char* name;
    std::function<void()> breakIt;
    const char* logged;
    std::wstring address;
    int pages;
  };
  const Case cases[] = {
      {"port address",
       [] {
         tollgate::testing::DeleteRegistryTree(
             L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Standard TCP/IP "
             L"Port\\Ports\\IP_10.0.0.5");
       },
       "Couldn't read the port address of queue Fila for job ", L"", 3},
      {"spool folder",
       [] {
         HKEY key = nullptr;
         ASSERT_EQ(registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                            L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers",
                                            KEY_ALL_ACCESS, &key),
                   0);
         EXPECT_EQ(registry().RegDeleteValueW(key, L"DefaultSpoolDirectory"), 0);
         registry().RegCloseKey(key);
       },
       "Couldn't count job ", L"10.0.0.5", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(Folder() / "registry.reg", MachineRegistry(Folder()));
    Checker();
    DWORD id = Print(L"Fila", Pcl(3));
    c.breakIt();
    store_.reports.clear();
    Checker();
    Examine(id);
    // Reported with what is known, then released; the failure is in the log.
    ASSERT_EQ(store_.reports.size(), 1u) << LogText();
    EXPECT_EQ(store_.reports[0].portKind, 1);
    EXPECT_EQ(store_.reports[0].portAddress, c.address);
    EXPECT_EQ(store_.reports[0].pages, c.pages);
    EXPECT_NE(Journal().find("\"job\":" + std::to_string(id) + ",\"event\":\"resumed\""),
              std::string::npos);
    EXPECT_NE(LogText().find(c.logged + std::to_string(id)), std::string::npos) << LogText();
  }
}

TEST_F(JobCheckerOnSim, AJobReleasedByACheckerWithoutItsQueueIsNotHeldAgain) {
  // A checker that could not open its own handle on the queue releases every job.
  printer_ = std::make_unique<spooler::Printer>(L"Fila", &manager_);
  handler_ = std::make_unique<RecordingHandler>(*printer_);
  checker_ = std::make_unique<jobs::JobChecker>(*handler_, store_);
  DWORD id = Print(L"Fila", Pcl(1));
  Examine(id);
  spooler::TrackedJob entry;
  ASSERT_TRUE(handler_->Find(id, &entry));
  EXPECT_TRUE(entry.released);
  // The spooler then reports the job free (status 0): it is left to print.
  handler_->DispatchStatus(id, 0);
  EXPECT_EQ(Job(id).Status & JOB_STATUS_PAUSED, 0u) << Journal();
}

TEST_F(JobCheckerOnSim, TheDecisionIsAppliedAndRecordedInTheJobTable) {
  Checker();
  // Released: resumed in the spooler, the entry released with its store records.
  DWORD released = Print(L"Fila", Pcl(2));
  Examine(released);
  EXPECT_NE(Journal().find("\"job\":" + std::to_string(released) + ",\"event\":\"resumed\""),
            std::string::npos);
  spooler::TrackedJob entry;
  ASSERT_TRUE(handler_->Find(released, &entry));
  EXPECT_TRUE(entry.released);
  EXPECT_FALSE(entry.pending);
  EXPECT_EQ(entry.storeIds, std::vector<std::int64_t>{501});

  // Held without store records: pending, so that the next paused report examines it again.
  DWORD held = Print(L"Fila", Pcl(1));
  store_.answer = [](const remote::JobReport&, remote::JobContext* context) {
    context->recordIds.clear();
    return remote::MakeDecision(1, L"INSUFFICIENT-BALANCE-PAUSE-USER");
  };
  Examine(held);
  ASSERT_TRUE(handler_->Find(held, &entry));
  EXPECT_TRUE(entry.pending);
  EXPECT_FALSE(entry.released);
  std::size_t before = handler_->spooled.size();
  handler_->DispatchStatus(held, JOB_STATUS_PAUSED);
  EXPECT_EQ(handler_->spooled.size(), before + 1);

  // Deleted: gone from the spooler, its entry left for the deletion report.
  DWORD deleted = Print(L"Fila", Pcl(1));
  store_.answer = [](const remote::JobReport&, remote::JobContext*) {
    return remote::MakeDecision(2, L"INSUFFICIENT-BALANCE-DELETE-USER");
  };
  Examine(deleted);
  EXPECT_FALSE(Exists(deleted));
}

TEST_F(JobCheckerOnSim, AJobThatCannotBeHandledIsReleasedWithMessage14) {
  Checker();
  DWORD id = Print(L"Fila", Pcl(1));
  store_.answer = [](const remote::JobReport&, remote::JobContext*) -> remote::ServerResultPtr {
    throw new SystemError(L"jobs file", 112);
  };
  Examine(id);
  EXPECT_NE(Journal().find("\"job\":" + std::to_string(id) + ",\"event\":\"resumed\""),
            std::string::npos);
  std::string expected =
      Ansi(::Error(14, {L"Fila", std::to_wstring(id), L"maria", L"relatorio.pcl"}).Message());
  EXPECT_NE(LogText().find(expected), std::string::npos) << LogText();
}

TEST_F(JobCheckerOnSim, AJobGoneBeforeItsTurnCausesNoSpoolerCallAndNoLogLine) {
  Checker();
  DWORD id = Print(L"Fila", Pcl(1));
  handler_->DispatchStatus(id, JOB_STATUS_PAUSED);
  ASSERT_TRUE(printer_->SetJob(id, JOB_CONTROL_DELETE));
  std::string journal = Journal();
  spooler::JobCheckerRequest request;
  request.job = handler_->spooled.back();
  checker_->Execute(request);
  EXPECT_EQ(Journal(), journal);
  EXPECT_TRUE(store_.reports.empty());
  EXPECT_EQ(LogText(), "");
}

TEST_F(JobCheckerOnSim, AReleaseOfAJobDeletedMeanwhileLogsThatItCouldNotBeApplied) {
  Checker();
  DWORD id = Print(L"Fila", Pcl(1));
  store_.answer = [&](const remote::JobReport&, remote::JobContext*) -> remote::ServerResultPtr {
    printer_->SetJob(id, JOB_CONTROL_DELETE);
    return nullptr;
  };
  Examine(id);
  EXPECT_NE(
      LogText().find("Couldn't apply status2 to job " + std::to_string(id) + ": Windows error "),
      std::string::npos)
      << LogText();
}

TEST_F(JobCheckerOnSim, ActionsOtherThanTheThreeAreInvalidAndDeletionsCancelTheRecords) {
  Checker();
  spooler::JobCheckerRequest request;
  request.action = 7;
  checker_->Execute(request);
  EXPECT_NE(LogText().find("Exception executing job checker action 7 for printer Fila: "
                           "invalid action"),
            std::string::npos)
      << LogText();
  request.action = spooler::JobCheckerRequest::kDeletedBeforePrinting;
  request.job.storeIds = {41, -3};
  checker_->Execute(request);
  EXPECT_EQ(store_.cancelled, (std::vector<std::int64_t>{41, -3}));
}

TEST_F(JobCheckerOnSim, CountsFollowTheDataTypeAndTheSpoolerCountRules) {
  // An EMF job of 6 pages whose DEVMODE says the driver prints 2 copies of each page.
  jobs::JobChecker& brother = Checker(L"Brother");
  std::vector<std::uint8_t> extra(200, 0);
  extra[120] = 2;
  DWORD emf = Print(L"Brother", std::string(64, '\0'), 6, L"NT EMF 1.008", extra);
  JobInfo2 emfJob = Job(emf);
  ASSERT_EQ(emfJob.pDatatype, L"NT EMF 1.008");
  ASSERT_TRUE(emfJob.pDevMode.has_value());
  ASSERT_EQ(emfJob.pDevMode->driverExtra.size(), 200u);
  gatelib::printing::JobCounts counts = brother.CountJob(emfJob);
  EXPECT_EQ(counts.pages, 3);
  EXPECT_EQ(counts.language, gatelib::printing::PrinterLanguage::EMF);

  // A raw job on a queue set to the spooler's count, with a count out of its range: the
  // spool file is analysed.
  config::WritePrinterNumber(
      L"Fila", L"Language",
      static_cast<std::int32_t>(gatelib::printing::PrinterLanguage::WINDOWS_GDI));
  jobs::JobChecker& fila = Checker(L"Fila");
  DWORD raw = Print(L"Fila", Pcl(5), 40000);
  fila.ReadSettings();
  EXPECT_EQ(fila.CountJob(Job(raw)).pages, 5);
  DWORD counted = Print(L"Fila", Pcl(5), 7);
  EXPECT_EQ(fila.CountJob(Job(counted)).pages, 7);

  // Plain text, and a file no reader knows (message 21, then the spooler's count).
  DWORD text = Print(L"Fila", "a\fb\fc\f", 0, L"TEXT");
  EXPECT_EQ(fila.CountJob(Job(text)).pages, 3);
  config::WritePrinterNumber(L"Fila", L"Language", 0);
  Checker(L"Fila");
  checker_->ReadSettings();
  DWORD unknown = Print(L"Fila", std::string("\x01\x02\x03 nothing known", 17), 2);
  EXPECT_EQ(checker_->CountJob(Job(unknown)).pages, 2);
  EXPECT_NE(LogText().find(Ansi(::Error(21, {L"relatorio.pcl", L"maria", L"Fila"}).Message())),
            std::string::npos)
      << LogText();
}

TEST(SpoolFileNames, HoldTheJobIdInAtLeastFiveDigits) {
  tollgate::testing::TempMachine temp;
  WriteBytes(temp.Folder() / "registry.reg", MachineRegistry("/srv"));
  spooler::PrintMgr manager(L"");
  spooler::Printer printer(L"Fila", &manager);
  EXPECT_EQ(jobs::SpoolFilePath(printer, 7), L"\\srv\\spool\\00007.spl");
  spooler::Printer other(L"Brother", &manager);
  other.SetSpoolDirectory(L"D:\\Q");
  EXPECT_EQ(jobs::SpoolFilePath(other, 100000), L"D:\\Q\\100000.spl");
}

}  // namespace
