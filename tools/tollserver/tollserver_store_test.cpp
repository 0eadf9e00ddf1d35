// The agent's job store against the reference server on loopback, the server taken away and
// brought back: every job reaches the ledger once, in order, and the offline files go.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "agent/config/server_settings.h"
#include "agent/rpc/gateway.h"
#include "agent/store/store_jobs_cache.h"
#include "shared/error/file_log.h"
#include "shared/rpc/rpc.h"
#include "testing/machine_fixture.h"
#include "tools/tollserver/ledger.h"
#include "tools/tollserver/policy.h"
#include "tools/tollserver/service.h"

namespace tollserver {
namespace {

using namespace tollgate::remote;
using tollgate::testing::Wide;

// The reference service, except that a job of some queues gets an answer the agent cannot
// act on: queue "S3" status 3, "S99" status 99, "S13" status 13 and "S14" status 14 without a
// public key.
class OddService : public Service {
 public:
  using Service::Service;
  void ReportJob(const ::rpc::CallContext& call, const ReportJobIn& in,
                 ReportJobOut* out) override {
    static const std::map<std::string, std::pair<std::int16_t, std::string>> odd = {
        {"S3", {3, ""}},
        {"S99", {99, ""}},
        {"S13", {13, ""}},
        {"S14", {14, R"({"publicKey":""})"}}};
    auto it = odd.find(in.queueName);
    if (it == odd.end()) return Service::ReportJob(call, in, out);
    out->status = it->second.first;
    out->json = it->second.second;
  }
};

// The server's RPC end over one ledger, started and stopped on one port.
class LiveServer {
 public:
  explicit LiveServer(Ledger& ledger)
      : service_(std::make_shared<OddService>(ledger, ParsePolicy("{}", "policy"))) {}
  ~LiveServer() { Stop(); }
  void Start() {
    server_ = std::make_unique<rpc::Server>();
    rpc::RPC_STATUS status =
        port_ == 0 ? server_->UseProtseq(L"ncacn_ip_tcp", 10)
                   : server_->UseProtseqEp(L"ncacn_ip_tcp", 10, std::to_wstring(port_));
    ASSERT_EQ(status, rpc::RPC_S_OK);
    server_->RegisterIf(CentralServer(service_), rpc::RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH,
                        rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT);
    ASSERT_EQ(server_->Listen(1, rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT, true), rpc::RPC_S_OK);
    port_ = server_->Ports().at(0);
  }
  void Stop() {
    if (!server_) return;
    server_->StopListening();
    server_->WaitListen();
    server_.reset();
  }
  std::uint16_t Port() const { return port_; }

 private:
  std::shared_ptr<Service> service_;
  std::unique_ptr<rpc::Server> server_;
  std::uint16_t port_ = 0;
};

struct LedgerJob {
  std::int64_t spoolerJobId;
  std::int64_t resent;
};

class StoreServerTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    ServerGateway::ResetRegistrationForTesting();
    tollgate::InstallFileLog(
        std::make_unique<tollgate::FileLog>(Wide(Folder() / "events.log"), 50000000));
    ledger_ = std::make_unique<Ledger>(Folder() / "ledger");
    server_ = std::make_unique<LiveServer>(*ledger_);
    server_->Start();
    settings_.SetHost(L"127.0.0.1");
    settings_.SetPort(std::to_wstring(server_->Port()));
    auto queue = std::make_unique<ServerRequestQueue>(
        [this] {
          return std::make_unique<ServerGateway>(
              std::make_unique<RemoteCaller>(settings_, std::make_unique<ServerConnection>()));
        },
        2);
    store_ = std::make_unique<tollgate::store::StoreJobsCache>(std::move(queue), Wide(Folder()), 1);
    ASSERT_EQ(store_->Initialize(), nullptr);
  }
  void TearDown() override {
    store_.reset();
    server_.reset();
    ledger_.reset();
    tollgate::InstallFileLog(nullptr);
  }
  std::vector<LedgerJob> Jobs() {
    std::vector<LedgerJob> jobs;
    ledger_->Write([&](Database& db) {
      Statement s(db.Handle(), "SELECT spooler_job_id, resent FROM jobs ORDER BY job_id");
      while (s.Step()) jobs.push_back({s.Int(0), s.Int(1)});
    });
    return jobs;
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> Counters() {
    std::vector<std::pair<std::int64_t, std::int64_t>> readings;
    ledger_->Write([&](Database& db) {
      Statement s(db.Handle(),
                  "SELECT c.server_job_id, j.spooler_job_id FROM counters c JOIN job_records r ON "
                  "r.server_job_id = c.server_job_id JOIN jobs j ON j.job_id = r.job_id ORDER BY "
                  "c.reading_id");
      while (s.Step()) readings.emplace_back(s.Int(0), s.Int(1));
    });
    return readings;
  }
  static JobReport Job(std::int32_t spoolerJobId) {
    JobReport r;
    r.queueName = L"Fila";
    r.userName = L"maria";
    r.machineName = L"\\\\PC1";
    r.documentName = L"doc " + std::to_wstring(spoolerJobId);
    r.spoolerJobId = spoolerJobId;
    r.pages = 2;
    r.monoPages = 2;
    r.copies = 1;
    r.submitted = 46366.5 + spoolerJobId / 86400.0;
    return r;
  }
  bool WaitSynchronised(int seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
      if (!store_->Offline() && !std::filesystem::exists(Folder() / "jobs2_7_2.log") &&
          !std::filesystem::exists(Folder() / "hdw2_7_2.log"))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  tollgate::ServerSettings settings_;
  std::unique_ptr<Ledger> ledger_;
  std::unique_ptr<LiveServer> server_;
  std::unique_ptr<tollgate::store::StoreJobsCache> store_;
};

TEST_F(StoreServerTest, JobsKeptWhileTheServerWasAwayReachItOnceInOrder) {
  const char* env = std::getenv("TOLLGATE_STORE_JOBS");
  const int count = env ? std::atoi(env) : 300;
  JobContext answer;
  ASSERT_EQ(store_->AddJob(Job(1), &answer), nullptr);
  ASSERT_EQ(answer.recordIds.size(), 1u);
  EXPECT_GT(answer.recordIds[0].id, 0);

  server_->Stop();
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(store_->AddJob(Job(2 + i), &answer), nullptr);
    ASSERT_EQ(answer.recordIds, (std::vector<StoreRecord>{{-(i + 1), 2}}));
  }
  EXPECT_TRUE(store_->Offline());
  HardwareRecord reading;
  reading.deviceText1 = L"SERIE";
  reading.jobNumber = 9;
  ASSERT_EQ(store_->SetHardware(-5, reading), nullptr);  // for the job of spooler id 6

  auto started = std::chrono::steady_clock::now();
  server_->Start();
  ASSERT_TRUE(WaitSynchronised(600));
  auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("synchronised %d jobs in %.2f s\n", count, took);

  std::vector<LedgerJob> jobs = Jobs();
  ASSERT_EQ(jobs.size(), static_cast<std::size_t>(count + 1));
  for (int i = 0; i <= count; ++i) {
    EXPECT_EQ(jobs[i].spoolerJobId, i + 1);
    EXPECT_EQ(jobs[i].resent, i == 0 ? 0 : 1);
  }
  auto readings = Counters();
  ASSERT_EQ(readings.size(), 1u);
  EXPECT_EQ(readings[0].second, 6);
}

TEST_F(StoreServerTest, AnswersTheAgentCannotActOnAreDecisionsNeverAnOutage) {
  struct Case {
    const char* queue;
    const wchar_t* text;
  };
  const Case cases[] = {{"S3", L"Internal server error"},
                        {"S99", L"Unknown RPC status: 99"},
                        {"S13", L"JOB-UNAUTHORIZED"},
                        {"S14", L"JOB-UNAUTHENTICATED"}};
  JobContext answer;
  std::int32_t spoolerId = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.queue);
    JobReport job = Job(spoolerId++);
    job.queueName = std::wstring(c.queue, c.queue + std::strlen(c.queue));
    ServerResultPtr result = store_->AddJob(job, &answer);
    ASSERT_NE(result, nullptr);
    EXPECT_TRUE(result->IsDecision());
    EXPECT_EQ(result->Text(), c.text);
    EXPECT_FALSE(store_->Offline());
    EXPECT_FALSE(std::filesystem::exists(Folder() / "jobs2_7_2.log"));
  }

  // Kept while the server was away, then answered the same way when it is back: removed
  // from the jobs file with a log line, and the store goes back online.
  server_->Stop();
  for (const Case& c : cases) {
    JobReport job = Job(spoolerId++);
    job.queueName = std::wstring(c.queue, c.queue + std::strlen(c.queue));
    ASSERT_EQ(store_->AddJob(job, &answer), nullptr);
  }
  ASSERT_EQ(store_->AddJob(Job(spoolerId++), &answer), nullptr);  // an ordinary job
  EXPECT_TRUE(store_->Offline());
  server_->Start();
  ASSERT_TRUE(WaitSynchronised(60));
  std::string log = tollgate::testing::ReadBytes(Folder() / "events_0.log");
  for (int local = 1; local <= 4; ++local) {
    EXPECT_NE(log.find("Kept job record " + std::to_string(local) + " (job " +
                       std::to_string(4 + local) + " of queue S"),
              std::string::npos)
        << log;
  }
  EXPECT_NE(log.find("was answered \"Unknown RPC status: 99\" by the server; it is removed "
                     "from the jobs file."),
            std::string::npos)
      << log;
  // The next job goes online.
  ASSERT_EQ(store_->AddJob(Job(spoolerId), &answer), nullptr);
  ASSERT_EQ(answer.recordIds.size(), 1u);
  EXPECT_GT(answer.recordIds[0].id, 0);
  std::vector<LedgerJob> jobs = Jobs();
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].spoolerJobId, 9);
  EXPECT_EQ(jobs[0].resent, 1);
  EXPECT_EQ(jobs[1].spoolerJobId, 10);
}

}  // namespace
}  // namespace tollserver
