// The gateway, its caller and the request queue against a central server served by the
// runtime on the simulated machine's loopback. The independent peer (impacket) is in the
// Python tests beside this file.
#include "agent/rpc/gateway.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

#include "agent/config/registry_values.h"
#include "agent/config/server_settings.h"
#include "agent/config/settings.h"
#include "agent/rpc/central_server.h"
#include "platform/platform.h"
#include "shared/error/file_log.h"
#include "testing/machine_fixture.h"

namespace tollgate::remote {
namespace {

using ::rpc::CallContext;

// A central server that records what it is given and answers as told.
class FakeServer : public CentralServerHandler {
 public:
  std::int16_t CancelJob(const CallContext&, const CancelJobIn& in) override {
    std::lock_guard<std::mutex> guard(lock);
    cancelled.push_back(in.serverJobId);
    return 0;
  }
  std::int16_t UploadFileChunk(const CallContext&, const UploadFileChunkIn& in) override {
    std::lock_guard<std::mutex> guard(lock);
    chunks.push_back({in.data.size(), in.last});
    return 0;
  }
  void ReportJob(const CallContext&, const ReportJobIn& in, ReportJobOut* out) override {
    std::lock_guard<std::mutex> guard(lock);
    if (fault != 0) ::rpc::RpcRaiseException(fault);
    jobs.push_back(in);
    *out = jobAnswer;
  }
  void RegisterAgent(const CallContext&, const RegisterAgentIn& in,
                     RegisterAgentOut* out) override {
    std::lock_guard<std::mutex> guard(lock);
    registrations.push_back(in);
    *out = registration;
  }
  std::int16_t ReportHardwareCounters(const CallContext&,
                                      const ReportHardwareCountersIn& in) override {
    std::lock_guard<std::mutex> guard(lock);
    hardware.push_back(in);
    return hardwareResult;
  }

  std::mutex lock;
  std::vector<std::int32_t> cancelled;
  std::vector<std::pair<std::size_t, std::uint8_t>> chunks;
  std::vector<ReportJobIn> jobs;
  std::vector<RegisterAgentIn> registrations;
  std::vector<ReportHardwareCountersIn> hardware;
  ReportJobOut jobAnswer;
  RegisterAgentOut registration;
  std::int16_t hardwareResult = 0;
  ::rpc::RPC_STATUS fault = 0;
};

struct Served {
  std::shared_ptr<FakeServer> handler = std::make_shared<FakeServer>();
  ::rpc::Server server;
  std::wstring port;
  Served() {
    EXPECT_EQ(server.UseProtseq(L"ncacn_ip_tcp", 10), ::rpc::RPC_S_OK);
    server.RegisterIf(CentralServer(handler), 0, 1234);
    EXPECT_EQ(server.Listen(1, 1234, true), ::rpc::RPC_S_OK);
    port = std::to_wstring(server.Ports().at(0));
  }
};

class GatewayTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    ServerGateway::ResetRegistrationForTesting();
    InstallFileLog(
        std::make_unique<FileLog>(tollgate::testing::Wide(Folder() / "events.log"), 1000000));
    settings_.SetHost(L"127.0.0.1");
    settings_.SetPort(served_.port);
    served_.handler->registration.clientId = 55;
  }
  void TearDown() override { InstallFileLog(nullptr); }

  std::unique_ptr<ServerGateway> MakeGateway() {
    return std::make_unique<ServerGateway>(
        std::make_unique<RemoteCaller>(settings_, std::make_unique<ServerConnection>()));
  }
  std::string LogText() { return tollgate::testing::ReadBytes(Folder() / "events_0.log"); }

  ServerSettings settings_;
  Served served_;
};

JobReport SampleReport() {
  JobReport r;
  r.queueName = L"Recepção";
  r.userName = L"maria";
  r.machineName = L"\\\\PC-07";
  r.documentName = L"doc";
  r.spoolerJobId = 31;
  r.pages = 4;
  r.monoPages = 3;
  r.colourPages = 1;
  r.copies = 2;
  r.submitted = 46000.5;
  return r;
}

TEST_F(GatewayTest, AFirstJobRegistersThenReportsAndReadsTheAnswer) {
  auto queues = std::make_shared<const std::vector<RegisteredQueue>>(
      std::vector<RegisteredQueue>{{L"Recepção", true, L"10.0.0.7"}});
  auto first = MakeGateway();
  ASSERT_EQ(first->Register(queues), nullptr);  // as the store does at start
  EXPECT_EQ(first->ClientId(), 55);
  served_.handler->registration.clientId = 56;
  served_.handler->registration.settings = {{0, 300, 2, 0, std::nullopt, 0, 0, 0}};
  served_.handler->jobAnswer.serverJobIds = {10, 11};
  served_.handler->jobAnswer.json = R"({"watermark":"CONFIDENCIAL","feedbackMessage":"ok"})";

  auto second = MakeGateway();  // another worker: registers on its own first job
  JobContext context;
  EXPECT_EQ(second->SendJob(SampleReport(), &context), nullptr);
  EXPECT_EQ(second->ClientId(), 56);
  ASSERT_EQ(served_.handler->registrations.size(), 2u);
  EXPECT_EQ(served_.handler->registrations[1].queues.size(), 1u);  // the last registered list
  EXPECT_EQ(served_.handler->registrations[1].queues[0].portAddress, "10.0.0.7");
  ASSERT_EQ(served_.handler->jobs.size(), 1u);
  const ReportJobIn& sent = served_.handler->jobs[0];
  EXPECT_EQ(sent.clientId, 56);
  EXPECT_EQ(sent.queueName, "Recep\xe7\xe3o");
  EXPECT_EQ(sent.agentVersion, "2.7.2.0");
  EXPECT_EQ(sent.owner, "maria");
  EXPECT_EQ(context.recordIds, (std::vector<StoreRecord>{{10, 6}, {11, 2}}));
  EXPECT_EQ(context.watermark, "CONFIDENCIAL");
  EXPECT_EQ(context.feedbackMessage, "ok");
  config::RegistryKey key;
  ASSERT_EQ(key.Open(config::PrinterKey(L"Recepção"), platform::KEY_READ), platform::ERROR_SUCCESS);
  EXPECT_EQ(key.ReadString(L"Id"), L"300");

  served_.handler->jobAnswer.status = 7;
  auto result = second->SendJob(SampleReport(), &context);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Text(), L"Unknown RPC status: 7");
  EXPECT_TRUE(result->IsDecision());  // the server answered: the job is decided, not kept
  served_.handler->jobAnswer.status = 17;
  result = second->SendJob(SampleReport(), &context);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Text(), L"JOB-DUPLEX-REQUIRED-PAUSE");
  EXPECT_TRUE(result->IsDecision());
}

TEST_F(GatewayTest, AnEmptyServerAddressEndsEveryCallWithTheTextOf87) {
  settings_.SetHost(L"");
  auto gateway = MakeGateway();
  std::wstring text =
      L"error determining retries: Windows error 87: " + tollgate::testing::OneLineSystemText(87);
  auto cancel = gateway->CancelJob(10);
  ASSERT_NE(cancel, nullptr);
  EXPECT_EQ(cancel->Text(), text);
  std::istringstream file("abc");
  EXPECT_EQ(gateway->SendFile(10, file)->Text(), text);
  EXPECT_EQ(gateway->SendHardware(10, HardwareRecord{})->Text(), text);
  EXPECT_EQ(gateway->Register(nullptr)->Text(), L"error registering client: " + text);
  JobContext context;
  auto job = gateway->SendJob(SampleReport(), &context);
  EXPECT_EQ(job->Text(), L"error registering: error registering client: " + text);
  EXPECT_FALSE(job->IsDecision());
  EXPECT_TRUE(served_.handler->registrations.empty());
}

TEST_F(GatewayTest, AChangedAddressUnbindsAndBindsAnew) {
  Served other;
  auto gateway = MakeGateway();
  ASSERT_EQ(gateway->CancelJob(1), nullptr);
  ASSERT_EQ(gateway->CancelJob(2), nullptr);
  settings_.SetPort(other.port);
  ASSERT_EQ(gateway->CancelJob(3), nullptr);
  settings_.SetPort(served_.port);
  ASSERT_EQ(gateway->CancelJob(4), nullptr);
  EXPECT_EQ(served_.handler->cancelled, (std::vector<std::int32_t>{1, 2, 4}));
  EXPECT_EQ(other.handler->cancelled, (std::vector<std::int32_t>{3}));
}

TEST_F(GatewayTest, FilesGoInChunksOf32767BytesTheLastShorter) {
  struct Case {
    std::size_t size;
    std::vector<std::pair<std::size_t, std::uint8_t>> chunks;
  };
  const Case cases[] = {
      {32767, {{32767, 0}, {0, 1}}},
      {0, {{0, 1}}},
      {40000, {{32767, 0}, {7233, 1}}},
      {65534, {{32767, 0}, {32767, 0}, {0, 1}}},
      {5, {{5, 1}}},
  };
  auto gateway = MakeGateway();
  for (const auto& c : cases) {
    served_.handler->chunks.clear();
    std::istringstream file(std::string(c.size, 'x'));
    EXPECT_EQ(gateway->SendFile(8, file), nullptr);
    EXPECT_EQ(served_.handler->chunks, c.chunks) << c.size;
  }
  // A stream that fails without reaching its end.
  std::istringstream broken("abc");
  broken.setstate(std::ios::failbit);
  EXPECT_EQ(gateway->SendFile(8, broken)->Text(), L"logical error on the stream");
}

TEST_F(GatewayTest, FaultsOfTheServerBecomeTheirTexts) {
  auto gateway = MakeGateway();
  JobContext context;
  ASSERT_EQ(gateway->Register(nullptr), nullptr);
  served_.handler->fault = static_cast<::rpc::RPC_STATUS>(0x20000005);
  auto result = gateway->SendJob(SampleReport(), &context);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Text(), L"error sending job: Internal server error.");
  served_.handler->fault = 5;
  result = gateway->SendJob(SampleReport(), &context);
  EXPECT_EQ(result->Text(),
            L"error sending job: Windows error 5: " + tollgate::testing::OneLineSystemText(5));
  served_.handler->hardwareResult = 1;
  EXPECT_EQ(gateway->SendHardware(9, HardwareRecord{})->Text(), L"NOT-FOUND");
}

TEST_F(GatewayTest, AServerThatWentAwayIsAFailureNotAHang) {
  auto gateway = MakeGateway();
  ASSERT_EQ(gateway->CancelJob(1), nullptr);
  served_.server.StopListening();
  served_.server.WaitListen();
  auto result = gateway->CancelJob(2);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Text(), L"Windows error 1722: " + tollgate::testing::OneLineSystemText(1722));
}

TEST_F(GatewayTest, TheRequestQueueRunsRequestsOnItsWorkers) {
  ServerRequestQueue queue(
      [this] {
        return std::make_unique<ServerGateway>(
            std::make_unique<RemoteCaller>(settings_, std::make_unique<ServerConnection>()));
      },
      2);
  JobContext answer;
  EXPECT_EQ(queue.AddJob(SampleReport(), &answer)->Text(), L"not open");
  ASSERT_EQ(queue.Open(), nullptr);
  served_.handler->jobAnswer.serverJobIds = {70};
  EXPECT_EQ(queue.Register(nullptr), nullptr);
  EXPECT_EQ(queue.AddJob(SampleReport(), &answer), nullptr);
  EXPECT_EQ(answer.recordIds, (std::vector<StoreRecord>{{70, 6}, {70, 2}}));
  EXPECT_EQ(queue.CancelJob(70), nullptr);
  served_.handler->hardwareResult = 1;
  EXPECT_EQ(queue.SetHardware(70, HardwareRecord{})->Text(), L"NOT-FOUND");
  EXPECT_EQ(queue.Close(), nullptr);
}

// A connection whose calls fail with the statuses it is given, one per attempt.
class FailingConnection : public ServerConnection {
 public:
  std::int16_t CancelJob(std::int32_t) override {
    ++attempts;
    if (next < statuses.size()) ::rpc::RpcRaiseException(statuses[next++]);
    return 0;
  }
  bool IsBound() const override { return bound; }
  ::rpc::RPC_STATUS Bind(const std::wstring&, const std::wstring&) override {
    ++binds;
    bound = true;
    return 0;
  }
  ::rpc::RPC_STATUS Unbind() override {
    bound = false;
    return 0;
  }
  std::vector<::rpc::RPC_STATUS> statuses;
  std::size_t next = 0;
  int attempts = 0;
  int binds = 0;
  bool bound = false;
};

TEST_F(GatewayTest, AnUnavailableServerIsTriedOnceMoreOnlyOnAnExistingBinding) {
  struct Case {
    bool bound;
    std::vector<::rpc::RPC_STATUS> statuses;
    int attempts;
    ::rpc::RPC_STATUS result;
  };
  const Case cases[] = {
      {false, {1722}, 1, 1722},       // right after a fresh bind: no retry
      {true, {1722}, 2, 0},           // on an existing binding: once more
      {true, {1753, 1753}, 2, 1753},  // once only
      {true, {1753, 1722}, 2, 1722},
      {true, {5}, 1, 5},  // other failures are not retried
      {false, {}, 1, 0},
  };
  for (const auto& c : cases) {
    auto owned = std::make_unique<FailingConnection>();
    FailingConnection* connection = owned.get();
    RemoteCaller caller(settings_, std::move(owned));
    if (c.bound) {
      ASSERT_EQ(caller.Call([](ServerConnection& s) { s.CancelJob(0); }), nullptr);
      connection->attempts = 0;
    }
    connection->statuses = c.statuses;
    auto result = caller.Call([](ServerConnection& s) { s.CancelJob(0); });
    EXPECT_EQ(connection->attempts, c.attempts) << c.statuses.size();
    EXPECT_EQ(connection->binds, 1);  // the binding stays between calls
    if (c.result == 0) {
      EXPECT_EQ(result, nullptr);
    } else {
      ASSERT_NE(result, nullptr);
      EXPECT_EQ(result->Text(), L"Windows error " + std::to_wstring(c.result) + L": " +
                                    tollgate::testing::OneLineSystemText(c.result));
    }
  }
}

class ThrowingGateway : public ServerGateway {
 public:
  using ServerGateway::ServerGateway;
  ServerResultPtr SendJob(const JobReport&, JobContext*) override {
    throw std::runtime_error("disk on fire");
  }
  ErrorResultPtr CancelJob(std::int64_t) override { throw 42; }
};

TEST_F(GatewayTest, AnExceptionOfARequestIsLoggedAndTheRequestStillFinishes) {
  ServerRequestQueue queue(
      [this] {
        return std::make_unique<ThrowingGateway>(
            std::make_unique<RemoteCaller>(settings_, std::make_unique<ServerConnection>()));
      },
      1);
  ASSERT_EQ(queue.Open(), nullptr);
  JobContext answer;
  EXPECT_EQ(queue.AddJob(SampleReport(), &answer), nullptr);  // finished, result empty
  EXPECT_EQ(queue.CancelJob(3), nullptr);
  EXPECT_EQ(queue.Close(), nullptr);
  std::string log = LogText();
  EXPECT_NE(log.find("Exception executing a JobsWorker's request type 0: disk on fire"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Unknown exception executing a JobsWorker's request type 1"),
            std::string::npos);
}

TEST_F(GatewayTest, AWorkstationCallHasABindingOfItsOwn) {
  std::vector<std::wstring> messages;
  ::rpc::Server server;
  ASSERT_EQ(server.UseProtseq(L"ncacn_ip_tcp", 10), ::rpc::RPC_S_OK);
  ::rpc::ServerInterface notifier;
  notifier.id = WorkstationNotifierId();
  notifier.operations.resize(5);
  notifier.operations[notifier::kShowFeedback] = [&](CallContext& call, Reader& in, Writer&) {
    EXPECT_FALSE(call.object.has_value());  // a nil object is not sent
    messages.push_back(ShowFeedbackIn::Read(in).message);
  };
  // A workstation that does not answer: the call ends at its 8 000 ms time-out.
  notifier.operations[notifier::kRequestAuthorization] = [](CallContext&, Reader&, Writer&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(9500));
  };
  server.RegisterIf(notifier, 0, 1234);
  ASSERT_EQ(server.Listen(1, 1234, true), ::rpc::RPC_S_OK);
  Writer w;
  ShowFeedbackIn{L"Impressão liberada."}.Write(w);
  std::wstring port = std::to_wstring(server.Ports().at(0));
  EXPECT_EQ(CallWorkstation(L"127.0.0.1", port, WorkstationNotifierId(), 1, w), 0);
  EXPECT_EQ(messages, (std::vector<std::wstring>{L"Impressão liberada."}));
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(CallWorkstation(L"127.0.0.1", port, WorkstationNotifierId(), 2, w),
            ::rpc::RPC_S_CALL_CANCELLED);
  auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(took, std::chrono::milliseconds(7900));
  EXPECT_LT(took, std::chrono::milliseconds(9400));
  EXPECT_EQ(CallWorkstation(L"127.0.0.1", port, WorkstationConfirmId(), 0, w),
            ::rpc::RPC_S_UNKNOWN_IF);
  server.StopListening();
  server.WaitListen();
  EXPECT_EQ(CallWorkstation(L"127.0.0.1", port, WorkstationNotifierId(), 1, w),
            ::rpc::RPC_S_SERVER_UNAVAILABLE);
}

}  // namespace
}  // namespace tollgate::remote
