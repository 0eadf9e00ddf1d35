#include "agent/host/application.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "agent/config/settings.h"
#include "agent/host/composition.h"
#include "agent/jobs/client_handler.h"
#include "agent/spooler/printer_factory.h"
#include "agent/spooler/printer_notification.h"
#include "platform/platform.h"
#include "platform/sockets.h"
#include "shared/error/catalogue.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"
#include "shared/error/report.h"

namespace tollgate {

using platform::DWORD;

namespace {

constexpr DWORD kSpoolReadyWaitMs = 500;
constexpr DWORD kReRegistrationMs = 86400000;

// The local print server's watcher: every queue it reports added is monitored.
class LocalServerHandler : public spooler::PrinterNotificationHandler {
 public:
  explicit LocalServerHandler(Application& application) : application_(application) {}
  void OnNotify(DWORD changeFlags, const platform::PrinterNotifyInfo& info) override {
    if ((changeFlags & platform::PRINTER_CHANGE_ADD_PRINTER) == 0) return;
    for (const auto& entry : info.aData) {
      if (entry.Type != platform::PRINTER_NOTIFY_TYPE ||
          entry.Field != platform::PRINTER_NOTIFY_FIELD_PRINTER_NAME || !entry.pBuf)
        continue;
      RunReported(L"LocalServerHandler::OnNotify", [&] { application_.AddQueue(*entry.pBuf); });
    }
  }
  void OnError(Error* error) override { ReportError(error); }

 private:
  Application& application_;
};

// The job table of a watched queue; none when the queue is not watched.
spooler::JobNotificationHandler* JobHandlerOf(spooler::Printer& printer) {
  spooler::PrinterNotification* notification = printer.Notification();
  if (notification == nullptr) return nullptr;
  return dynamic_cast<spooler::JobNotificationHandler*>(notification->Handler());
}

bool SameQueueName(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  return true;
}

// Where a command on a job failed, for its error.
std::wstring JobPlace(const std::wstring& queue, DWORD jobId) {
  return L"SetJob(" + queue + L", " + std::to_wstring(jobId) + L")";
}

bool IsHoldText(const std::wstring& text) {
  for (std::uint32_t id : {41u, 42u, 43u})
    if (!text.empty() && text == Catalogue().Text(id)) return true;
  return false;
}

}  // namespace

std::wstring EndpointFromEnvironment() {
  std::wstring value;
  if (platform::system().GetEnvironmentVariableW(L"TOLLGATE_AGENT_ENDPOINT", &value)) {
    wchar_t* end = nullptr;
    unsigned long port = std::wcstoul(value.c_str(), &end, 10);
    if (end != value.c_str() && *end == 0 && port >= 1 && port <= 65535)
      return std::to_wstring(port);
  }
  return L"7002";
}

DWORD ObserverStepFromEnvironment() {
  std::wstring value;
  if (platform::system().GetEnvironmentVariableW(L"TOLLGATE_SPOOL_OBSERVER_STEP_MS", &value)) {
    wchar_t* end = nullptr;
    unsigned long step = std::wcstoul(value.c_str(), &end, 10);
    if (end != value.c_str() && *end == 0 && step >= 1 && step <= spooler::SpoolObserver::kStepMs)
      return static_cast<DWORD>(step);
  }
  return spooler::SpoolObserver::kStepMs;
}

Application::Application(ApplicationOptions options, std::unique_ptr<store::StoreJobsCache> store)
    : options_(options),
      store_(std::move(store)),
      journal_(std::make_unique<jobs::DecisionJournal>(options_.dataFolder.empty()
                                                           ? std::wstring()
                                                           : options_.dataFolder + L"/" +
                                                                 jobs::DecisionJournal::kFileName)),
      printMgr_(std::make_unique<spooler::PrintMgr>(L"")) {}

Application::~Application() {
  Stop();
  StopRpc();
  // The local print server's watcher ends with the print manager; a queue it added after the
  // stop goes with it.
  printMgr_->CloseNotification();
  ClearQueues();
  // A start that failed half-way may have left the observer and the daily thread running.
  if (quit_ != nullptr) platform::kernel().SetEvent(quit_);
  observer_.reset();
  if (reRegistration_.handle != nullptr) {
    os::WaitForThread(reRegistration_.handle, platform::INFINITE);
    reRegistration_.Close();
  }
  if (quit_ != nullptr) platform::kernel().CloseHandle(quit_);
}

remote::ServerResultPtr Application::AddJob(const remote::JobReport& report,
                                            remote::JobContext* context) {
  if (!store_) return remote::MakeFailure(L"Not initialized.");
  return store_->AddJob(report, context);
}

ErrorResultPtr Application::DeleteJob(std::int64_t id) {
  if (!store_) return MakeError(L"Not initialized.");
  return store_->DeleteJob(id);
}

void Application::ReplaceStoreId(std::int32_t localId, std::int64_t serverId) {
  std::lock_guard<std::recursive_mutex> guard(queuesLock_);
  for (auto& printer : printMgr_->Printers()) {
    if (auto* handler = JobHandlerOf(*printer))
      handler->ReplaceStoreId(-static_cast<std::int64_t>(localId), serverId);
  }
}

bool Application::Start() {
  if (started_) return true;
  return RunReported(
             L"Application::Start",
             [this] {
               platform::WsaData data;
               if (platform::sockets().WSAStartup(0x0101, &data) != 0)
                 throw new SystemError(L"WSAStartup", L"SocketMgr::Load");
               RegisterCoreComponents(L"7001");
               if (kServerHostMode) RegisterServerHostComponents(L"");

               LoadQueues();
               LoadJournal();

               ErrorResultPtr storeError = store_ ? store_->Initialize() : MakeError(L"no store");
               if (storeError) {
                 Log(L"Error initializing store: " + storeError->Text());
                 return;
               }
               RegisterQueues();
               {
                 std::lock_guard<std::recursive_mutex> guard(queuesLock_);
                 for (auto& printer : printMgr_->Printers()) MonitorQueue(*printer);
               }
               auto watcher = std::make_unique<spooler::PrinterNotification>(
                   *printMgr_, std::make_unique<LocalServerHandler>(*this));
               spooler::PrinterNotification* local = watcher.get();
               printMgr_->SetNotification(std::move(watcher));
               local->OpenAsync(
                   platform::PRINTER_CHANGE_ADD_PRINTER | platform::PRINTER_CHANGE_DELETE_PRINTER,
                   spooler::NotifyOptions::PrinterName());

               if (quit_ == nullptr) quit_ = platform::kernel().CreateEventW(true, false);
               if (quit_ == nullptr) throw new SystemError(L"CreateEvent", L"Application::Start");
               platform::kernel().ResetEvent(quit_);
               observer_ = std::make_unique<spooler::SpoolObserver>(
                   quit_, [this] { RestartMonitoring(); }, options_.observerStepMs);
               observer_->Start();
               StartRpc();
               reRegistration_.Start(spooler::kThreadStack, [this] { return ReRegistration(); });
               started_ = true;
             }) &&
         started_;
}

void Application::Stop() {
  if (!started_) return;
  StopRpc();
  RunReported(L"Application::Stop", [this] { ClearQueues(); });
  if (!platform::kernel().SetEvent(quit_))
    Log(L"Error setting quit event: " + WindowsErrorResult()->Text());
  if (observer_) {
    if (ErrorResultPtr error = observer_->Stop())
      Log(L"Error stopping spool observer: " + error->Text());
  }
  if (reRegistration_.handle != nullptr) {
    os::WaitForThread(reRegistration_.handle, platform::INFINITE);
    reRegistration_.Close();
  }
  if (store_) {
    if (ErrorResultPtr error = store_->Stop()) Log(L"Error stopping store: " + error->Text());
  }
  started_ = false;
}

void Application::LoadQueues() {
  std::lock_guard<std::recursive_mutex> guard(queuesLock_);
  for (;;) {
    bool ready = false;
    try {
      ready = printMgr_->LoadPrinters(platform::PRINTER_ENUM_LOCAL, L"");
    } catch (SystemError* error) {
      // A spooler that is not running yet is waited for like one that is not ready.
      if (error->Code() != static_cast<std::int32_t>(platform::RPC_S_SERVER_UNAVAILABLE)) throw;
      delete error;
    }
    if (ready) return;
    Log(L"waiting 500ms for the spool to be ready...");
    platform::kernel().Sleep(kSpoolReadyWaitMs);
  }
}

void Application::MonitorQueue(spooler::Printer& printer) {
  // One queue that cannot be watched does not keep the others from being watched.
  RunReported(L"Application::MonitorQueue", [&] {
    const std::wstring& name = printer.Name();
    config::PrinterSettings settings = config::ReadPrinterSettings(name);
    if (!settings.keepHistory) {
      Log(L"Printer " + name + L" is set to not keep history");
      return;
    }
    platform::OsVersionInfo version;
    if (platform::system().GetVersionExW(&version) && version.dwMajorVersion >= 5 &&
        version.dwMinorVersion == 1) {
      printer.SetSpoolDirectory(printMgr_->GetDefaultSpoolDirectory());
    }
    spooler::Port* port = printer.GetPort();
    if (port == nullptr) {
      Log(L"Can't monitor " + name + L" since it has no port.");
      return;
    }
    if (port->Name().rfind(L"\\\\", 0) == 0 && !options_.accountLocalPort) return;
    printer.GetPapers();
    auto handler = std::make_unique<jobs::TollgateClientPNH>(printer, *this);
    handler->SetJournal(journal_.get());
    KnowQueueJobs(printer, *handler);
    handler->Open();
    auto notification = std::make_unique<spooler::PrinterNotification>(printer, std::move(handler));
    spooler::PrinterNotification* watching = notification.get();
    printer.SetNotification(std::move(notification));
    // A queue watched only after a retry has its jobs of the meantime taken over then.
    watching->SetOnLateWatch([this, &printer] { TakeOverPausedJobs(printer); });
    watching->OpenAsync(0, spooler::NotifyOptions::JobStatus());
    TakeOverPausedJobs(printer);
  });
}

void Application::LoadJournal() {
  journal_->Load();
  std::vector<jobs::DecisionJournal::JobKey> live;
  std::lock_guard<std::recursive_mutex> guard(queuesLock_);
  for (auto& printer : printMgr_->Printers()) {
    for (const platform::JobInfo2& job : printer->GetJobs(2))
      live.push_back({printer->Name(), job.JobId, job.Submitted});
  }
  journal_->Compact(live);
}

void Application::KnowQueueJobs(spooler::Printer& printer,
                                spooler::JobNotificationHandler& handler) {
  using namespace platform;
  using spooler::JobDecision;
  for (const JobInfo2& job : printer.GetJobs(2)) {
    std::optional<JobDecision> decision = journal_->Find(printer.Name(), job.JobId, job.Submitted);
    bool paused = (job.Status & JOB_STATUS_PAUSED) != 0;
    bool spooled = (job.Status & JOB_STATUS_SPOOLING) == 0;
    bool gone = (job.Status & (JOB_STATUS_PRINTING | JOB_STATUS_PRINTED | JOB_STATUS_DELETING |
                               JOB_STATUS_DELETED | JOB_STATUS_ERROR)) != 0;
    if (decision == JobDecision::kReleased || decision == JobDecision::kReported ||
        decision == JobDecision::kDeleted) {
      // Decided before: a pause or a resume by hand does not make it examined again.
      handler.TrackReleased(job.JobId);
    } else if (decision == JobDecision::kHeld) {
      // Held by the server's decision or for someone's answer: kept held, not reported again.
      handler.TrackHeld(job.JobId);
    } else if (decision) {
      // Paused by the agent and not decided yet: examined once the watch is armed.
    } else if (paused && spooled && !gone && IsHoldText(job.pStatus)) {
      handler.TrackHeld(job.JobId);
    } else if (paused && spooled && !gone) {
      // The agent writes every job it pauses to the journal before it decides it: a paused
      // job the journal does not know was paused by someone else, and stays theirs.
      handler.LeaveToOthers(job.JobId);
      Log(L"Job " + std::to_wstring(job.JobId) + L" of " + printer.Name() +
          L" was paused by someone else; it is left to them.");
    }
  }
}

void Application::TakeOverPausedJobs(spooler::Printer& printer) {
  spooler::JobNotificationHandler* handler = JobHandlerOf(printer);
  if (handler == nullptr) return;
  using namespace platform;
  using spooler::JobDecision;
  for (const JobInfo2& job : printer.GetJobs(2)) {
    std::optional<JobDecision> decision = journal_->Find(printer.Name(), job.JobId, job.Submitted);
    bool undecided = !decision || decision == JobDecision::kPaused;
    if ((job.Status & (JOB_STATUS_PRINTING | JOB_STATUS_PRINTED)) != 0) {
      // Printing or printed while nobody held it (the agent or its watch away): reported,
      // unless it belongs to the queue's history from before the agent's journal.
      if (undecided && (decision || journal_->Remembers(job.Submitted)))
        ReportPrinted(*handler, job);
      handler->DispatchStatus(job.JobId, job.Status);
      continue;
    }
    bool paused = (job.Status & JOB_STATUS_PAUSED) != 0;
    if (decision == JobDecision::kReleased && paused) {
      // Released by the agent, but the release never reached the spooler (it failed while
      // the decision was being applied): the decision is applied again.
      Log(L"Job " + std::to_wstring(job.JobId) + L" of " + printer.Name() +
          L" was released but is paused; it is released again.");
      printer.SetJob(job.JobId, JOB_CONTROL_RESUME);
      continue;
    }
    if (decision == JobDecision::kDeleted && (job.Status & JOB_STATUS_DELETING) == 0) {
      printer.SetJob(job.JobId, JOB_CONTROL_DELETE);
      continue;
    }
    if (handler->Find(job.JobId, nullptr)) continue;  // decided, or held, before
    // Paused and undecided, still spooling, spooled free, or spooled since the watch began.
    // A job paused by someone else is passed over by the dispatch.
    handler->DispatchStatus(job.JobId, job.Status);
  }
}

void Application::ReportPrinted(spooler::JobNotificationHandler& handler,
                                const platform::JobInfo2& job) {
  // Remembered first: a crash while it is reported cannot report it twice.
  journal_->Record(handler.Queue().Name(), job.JobId, job.Submitted,
                   spooler::JobDecision::kReported);
  Log(L"Job " + std::to_wstring(job.JobId) + L" of " + handler.Queue().Name() +
      L" printed before it could be held; it is reported.");
  RunReported(L"Application::ReportPrinted", [&] {
    jobs::JobChecker checker(handler, *this);
    checker.Initialize();
    spooler::TrackedJob tracked;
    tracked.jobId = job.JobId;
    std::vector<std::int64_t> ids;
    // The answer's command has nothing left to act on: the job has printed.
    // Sent as sent again: a report that reached the server before the agent could remember
    // it is not charged twice.
    checker.Decide(job, tracked, &ids, true);
  });
}

void Application::JournalCommand(const std::wstring& queue, DWORD jobId,
                                 spooler::JobDecision decision) {
  spooler::Printer printer(queue, printMgr_.get());
  platform::JobInfo2 job;
  if (printer.GetJob(jobId, &job)) journal_->Record(queue, jobId, job.Submitted, decision);
}

void Application::ClearQueues() {
  std::vector<std::unique_ptr<spooler::Printer>> closing;
  {
    std::lock_guard<std::recursive_mutex> guard(queuesLock_);
    closing.swap(printMgr_->Printers());
  }
  closing.clear();
}

void Application::RestartMonitoring() {
  ClearQueues();
  LoadQueues();
  // Each queue's jobs are looked at once its watch is armed again (MonitorQueue): what
  // spooled or printed meanwhile is decided or reported.
  std::lock_guard<std::recursive_mutex> guard(queuesLock_);
  for (auto& printer : printMgr_->Printers()) MonitorQueue(*printer);
}

void Application::AddQueue(const std::wstring& printerName) {
  std::wstring driver;
  {
    spooler::Printer probe(printerName, printMgr_.get());
    platform::PrinterInfo2 info;
    probe.GetPrinterInfo(true, &info);
    driver = info.pDriverName;
  }
  std::unique_ptr<spooler::Printer> printer =
      spooler::MakePrinter(printerName, driver, printMgr_.get());
  if (printer == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(queuesLock_);
  for (const auto& known : printMgr_->Printers()) {
    // A queue already in the list is already watched.
    if (known->Name() == printerName) return;
  }
  spooler::Printer& added = *printer;
  printMgr_->Printers().push_back(std::move(printer));
  MonitorQueue(added);
}

bool Application::WithJobTable(const std::wstring& queue,
                               const std::function<void(spooler::JobNotificationHandler&)>& body) {
  std::lock_guard<std::recursive_mutex> guard(queuesLock_);
  for (auto& printer : printMgr_->Printers()) {
    if (!SameQueueName(printer->Name(), queue)) continue;
    if (auto* handler = JobHandlerOf(*printer)) {
      body(*handler);
      return true;
    }
  }
  return false;
}

void Application::ApplyJobCommand(const std::wstring& printerName, DWORD jobId, DWORD command,
                                  bool released, bool second) {
  JournalCommand(printerName, jobId,
                 command == platform::JOB_CONTROL_RESUME   ? spooler::JobDecision::kReleased
                 : command == platform::JOB_CONTROL_DELETE ? spooler::JobDecision::kDeleted
                                                           : spooler::JobDecision::kHeld);
  WithJobTable(printerName, [&](spooler::JobNotificationHandler& handler) {
    handler.ApplyCommand(jobId, released, second);
  });
  spooler::Printer printer(printerName, printMgr_.get());
  printer.SetJobStatusText(jobId, L"");
  if (!printer.SetJob(jobId, command)) throw new SystemError(JobPlace(printerName, jobId), 87);
}

void Application::SetJobCommand(DWORD jobId, DWORD command, const std::wstring& queue) {
  if (command == platform::JOB_CONTROL_RESUME) {
    ApplyJobDecision(jobId, command, queue, true, false);
    return;
  }
  // Any other command goes to the spooler alone: its notifications bring the job table up to
  // date (a deleted job leaves it).
  if (command == platform::JOB_CONTROL_DELETE)
    JournalCommand(queue, jobId, spooler::JobDecision::kDeleted);
  spooler::Printer printer(queue, printMgr_.get());
  if (!printer.SetJob(jobId, command)) throw new SystemError(JobPlace(queue, jobId), 87);
}

void Application::ApplyJobDecision(DWORD jobId, DWORD command, const std::wstring& queue,
                                   bool released, bool keepFirst) {
  ApplyJobCommand(queue, jobId, command, released, !keepFirst);
}

void Application::ChangeJobOwner(DWORD jobId, const std::wstring& userName,
                                 const std::wstring& queue) {
  // Examined again: until then a restart examines it again too.
  JournalCommand(queue, jobId, spooler::JobDecision::kPaused);
  WithJobTable(
      queue, [&](spooler::JobNotificationHandler& handler) { handler.MarkPending(jobId, false); });
  spooler::Printer printer(queue, printMgr_.get());
  platform::JobInfo2 job;
  if (!printer.GetJob(jobId, &job)) throw new SystemError(JobPlace(queue, jobId), 87);
  job.pUserName = userName;
  job.pStatus.clear();
  job.Position = platform::JOB_POSITION_UNSPECIFIED;
  if (!printer.SetJob(jobId, job, 0)) throw new SystemError(JobPlace(queue, jobId), 87);
  Redispatch(queue, printer, jobId);
}

void Application::ReexamineJob(const std::wstring& queue, DWORD jobId) {
  JournalCommand(queue, jobId, spooler::JobDecision::kPaused);
  WithJobTable(queue,
               [&](spooler::JobNotificationHandler& handler) { handler.MarkPending(jobId, true); });
  spooler::Printer printer(queue, printMgr_.get());
  printer.SetJobStatusText(jobId, L"");
  if (!printer.SetJob(jobId, platform::JOB_CONTROL_PAUSE))
    throw new SystemError(JobPlace(queue, jobId), 87);
  Redispatch(queue, printer, jobId);
}

void Application::Redispatch(const std::wstring& queue, spooler::Printer& printer, DWORD jobId) {
  platform::JobInfo2 job;
  if (!printer.GetJob(jobId, &job)) return;
  // A spooler reports a change of the owner or of nothing (a pause of a paused job) with no
  // status, or not at all: the job would stay held, unexamined.
  WithJobTable(queue, [&](spooler::JobNotificationHandler& handler) {
    handler.DispatchStatus(jobId, job.Status);
  });
}

void Application::StartRpc() {
  remote::LocalServer::Options options;
  options.endpoint = options_.endpoint;
  options.attempts = options_.endpointAttempts;
  options.serverHostMode = kServerHostMode;
  rpc_ = std::make_unique<remote::LocalServer>(
      options, std::shared_ptr<remote::JobControlHandler>(this, [](remote::JobControlHandler*) {}),
      remote::CallerPolicy::FromSettings());
  // While another program holds the endpoint the server waits for it on a thread of its own:
  // the queues are watched meanwhile and a stop ends the wait.
  rpcStart_.Start(64u << 10, [this] {
    if (ErrorResultPtr error = rpc_->Start()) Log(L"Error listening to RPC: " + error->Text());
    return DWORD{0};
  });
}

void Application::StopRpc() {
  if (!rpc_) return;
  rpc_->Cancel();
  if (rpcStart_.handle != nullptr) {
    os::WaitForThread(rpcStart_.handle, platform::INFINITE);
    rpcStart_.Close();
  }
  if (ErrorResultPtr error = rpc_->Stop()) Log(L"Error stopping RPC: " + error->Text());
  rpc_.reset();
}

std::uint16_t Application::RpcPort() const {
  return rpc_ && rpc_->Listening() ? rpc_->Port() : 0;
}

void Application::RegisterQueues() {
  try {
    auto queues = std::make_shared<std::vector<remote::RegisteredQueue>>();
    {
      std::lock_guard<std::recursive_mutex> guard(queuesLock_);
      for (auto& printer : printMgr_->Printers()) {
        remote::RegisteredQueue queue;
        queue.name = printer->Name();
        if (spooler::Port* port = printer->GetPort()) {
          queue.address = port->GetAddress();
          queue.networkPort = port->IsNetwork();
        } else {
          platform::PrinterInfo2 info;
          printer->GetPrinterInfo(false, &info);
          queue.address = info.pPortName;
        }
        queues->push_back(std::move(queue));
      }
    }
    ErrorResultPtr error = store_ ? store_->Register(queues) : MakeError(L"Not initialized.");
    if (error) Log(L"Error registering: " + error->Text());
  } catch (Error* error) {
    std::unique_ptr<Error> owned(error);
    Log(L"Error registering: " + owned->Message());
  }
}

DWORD Application::ReRegistration() {
  for (;;) {
    // The spool archive's clean-up runs here once an archive exists.
    bool quit = false;
    RunReported(L"Application::ReRegistration",
                [&] { quit = os::SyncLock::Lock(quit_, kReRegistrationMs); });
    if (quit) return 0;
    RunReported(L"Application::ReRegistration", [this] { RegisterQueues(); });
  }
}

}  // namespace tollgate
