#include "agent/rpc/gateway.h"

#include <mutex>
#include <stdexcept>

#include "agent/config/server_settings.h"
#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"
#include "shared/error/report.h"

namespace tollgate::remote {
namespace {

// The process's registration: one at a time, and the queue list it last sent.
std::mutex registrationLock;
QueueList lastRegistered;

[[noreturn]] void TranslateJobsWorkerException(unsigned code) {
  if (code == 0xC0000005u) throw std::runtime_error("access violation on JobsWorker");
  throw std::runtime_error("structured exception on JobsWorker");
}

std::wstring WideOfAnsi(const char* text) {
  return platform::system().MultiByteToWideChar(platform::CP_ACP, text);
}

}  // namespace

ServerGateway::ServerGateway(std::unique_ptr<RemoteCaller> caller) : caller_(std::move(caller)) {
  std::wstring name;
  if (!platform::system().GetComputerNameW(16, &name)) throw new SystemError(L"M266");
  computerName_ = Narrow(name);
}

QueueList ServerGateway::LastRegistered() {
  std::lock_guard<std::mutex> guard(registrationLock);
  return lastRegistered;
}

void ServerGateway::ResetRegistrationForTesting() {
  std::lock_guard<std::mutex> guard(registrationLock);
  lastRegistered.reset();
}

ErrorResultPtr ServerGateway::Register(QueueList queues) {
  std::lock_guard<std::mutex> guard(registrationLock);
  if (queues != lastRegistered) lastRegistered = queues;
  static const std::vector<RegisteredQueue> kNone;
  const std::vector<RegisteredQueue>& list = queues ? *queues : kNone;
  RegisterAgentIn request = BuildRegistration(computerName_, list);
  request.agentKind = agentKind_;
  RegisterAgentOut answer;
  clientId_ = 0;
  ErrorResultPtr failure =
      caller_->Call([&](ServerConnection& c) { c.RegisterAgent(request, &answer); });
  if (failure) return WrapError(std::move(failure), L"error registering client");
  clientId_ = answer.clientId;
  ApplyRegistration(answer, list);
  return nullptr;
}

ServerResultPtr ServerGateway::SendJob(const JobReport& report, JobContext* context) {
  if (clientId_ == 0) {
    if (ErrorResultPtr failure = Register(LastRegistered()))
      return MakeFailure(L"error registering: " + failure->Text());
  }
  double local = 0;
  if (ErrorResultPtr failure = LocalTime(report.submitted, &local))
    return MakeFailure(failure->Text());
  ReportJobIn message = BuildJobReport(report, clientId_, local);
  ReportJobOut out;
  if (ErrorResultPtr failure =
          caller_->Call([&](ServerConnection& c) { c.ReportJob(message, &out); })) {
    return MakeFailure(L"error sending job: " + failure->Text());
  }
  JobAnswer answer{out.status, std::move(out.serverJobIds), std::move(out.message),
                   std::move(out.json)};
  context->recordIds = JobRecordIds(answer, report);
  ServerResultPtr result = ReadJobAnswer(answer);
  if (!result) ReadAnswerJson(answer, context);
  return result;
}

ErrorResultPtr ServerGateway::SendFile(std::int64_t serverJobId, std::istream& input) {
  std::int16_t result = 0;
  ErrorResultPtr failure = caller_->Call([&](ServerConnection& c) {
    result = c.UploadFile(static_cast<std::int32_t>(serverJobId), input);
  });
  if (failure) return failure;
  if (!input.eof()) {
    if (input.bad()) return WrapError(WindowsErrorResult(), L"bad input stream");
    if (input.fail()) return MakeError(L"logical error on the stream");
  }
  if (result == 1) return MakeError(L"NOT-FOUND");
  return nullptr;
}

ErrorResultPtr ServerGateway::SendHardware(std::int64_t serverJobId, const HardwareRecord& record) {
  ReportHardwareCountersIn report = BuildHardwareReport(record, serverJobId);
  std::int16_t result = 0;
  ErrorResultPtr failure =
      caller_->Call([&](ServerConnection& c) { result = c.ReportHardwareCounters(report); });
  if (failure) return failure;
  if (result == 1) return MakeError(L"NOT-FOUND");
  return nullptr;
}

ErrorResultPtr ServerGateway::CancelJob(std::int64_t serverJobId) {
  auto id = static_cast<std::int32_t>(serverJobId);
  return caller_->Call([&](ServerConnection& c) { c.CancelJob(id); });
}

GatewayFactory ProcessGatewayFactory() {
  return [] {
    return std::make_unique<ServerGateway>(std::make_unique<RemoteCaller>(
        ServerSettings::Process(), std::make_unique<ServerConnection>()));
  };
}

JobsWorker::JobsWorker(const GatewayFactory& factory) {
  platform::kernel().SetStructuredExceptionTranslator(TranslateJobsWorkerException);
  gateway_ = factory();
  if (!gateway_) throw std::runtime_error("the gateway factory made no gateway");
}

void JobsWorker::Execute(ServerRequest& request) {
  int type = static_cast<int>(request.type);
  try {
    switch (request.type) {
      case ServerRequest::kSendJob:
        request.serverResult = gateway_->SendJob(request.report, &request.context);
        break;
      case ServerRequest::kCancelJob:
        request.errorResult = gateway_->CancelJob(request.serverJobId);
        break;
      case ServerRequest::kRegister:
        request.errorResult = gateway_->Register(request.queues);
        break;
      case ServerRequest::kSendHardware:
        request.errorResult = gateway_->SendHardware(request.serverJobId, request.hardware);
        break;
    }
  } catch (const std::exception& e) {
    Log(L"Exception executing a JobsWorker's request type " + std::to_wstring(type) + L": " +
        WideOfAnsi(e.what()));
  } catch (Error* error) {
    delete error;  // not a standard exception: logged as unknown
    Log(L"Unknown exception executing a JobsWorker's request type " + std::to_wstring(type));
  } catch (...) {
    Log(L"Unknown exception executing a JobsWorker's request type " + std::to_wstring(type));
  }
}

ServerRequestQueue::ServerRequestQueue(GatewayFactory factory, unsigned threads,
                                       unsigned requestWaitSeconds)
    : pool_([factory] { return std::make_unique<JobsWorker>(factory); }, requestWaitSeconds,
            threads) {}

ErrorResultPtr ServerRequestQueue::Open() {
  return pool_.Open();
}

ErrorResultPtr ServerRequestQueue::Close() {
  return pool_.Close();
}

ErrorResultPtr ServerRequestQueue::Run(const std::shared_ptr<ServerRequest>& request) {
  return pool_.QueueRequest(request);
}

ServerResultPtr ServerRequestQueue::AddJob(const JobReport& report, JobContext* answer) {
  auto request = std::make_shared<ServerRequest>();
  request->type = ServerRequest::kSendJob;
  request->report = report;
  if (ErrorResultPtr failure = Run(request)) return MakeFailure(failure->Text());
  if (answer != nullptr) *answer = request->context;
  return std::move(request->serverResult);
}

ErrorResultPtr ServerRequestQueue::CancelJob(std::int64_t serverJobId) {
  auto request = std::make_shared<ServerRequest>();
  request->type = ServerRequest::kCancelJob;
  request->serverJobId = serverJobId;
  if (ErrorResultPtr failure = Run(request)) return failure;
  return std::move(request->errorResult);
}

ErrorResultPtr ServerRequestQueue::SetHardware(std::int64_t serverJobId,
                                               const HardwareRecord& record) {
  auto request = std::make_shared<ServerRequest>();
  request->type = ServerRequest::kSendHardware;
  request->serverJobId = serverJobId;
  request->hardware = record;
  if (ErrorResultPtr failure = Run(request)) return failure;
  return std::move(request->errorResult);
}

ErrorResultPtr ServerRequestQueue::Register(QueueList queues) {
  auto request = std::make_shared<ServerRequest>();
  request->type = ServerRequest::kRegister;
  request->queues = std::move(queues);
  if (ErrorResultPtr failure = Run(request)) return failure;
  return std::move(request->errorResult);
}

}  // namespace tollgate::remote
