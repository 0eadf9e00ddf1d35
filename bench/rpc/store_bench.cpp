// The job store's AddJob: offline (a jobs-file append on the disk before the answer) and
// online (through the request queue to the reference server on loopback), each with its
// median and 99th-percentile latency.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

#include "agent/config/server_settings.h"
#include "agent/rpc/central_server.h"
#include "agent/rpc/gateway.h"
#include "agent/store/store_jobs_cache.h"
#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "shared/error/file_log.h"
#include "shared/rpc/rpc.h"
#include "tools/tollserver/ledger.h"
#include "tools/tollserver/service.h"

namespace {

using namespace tollgate::remote;
using Clock = std::chrono::steady_clock;

std::filesystem::path NewFolder(const std::string& name) {
  auto folder = std::filesystem::temp_directory_path() /
                (name + std::to_string(Clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(folder);
  return folder;
}

JobReport Job(std::int32_t n) {
  JobReport report;
  report.queueName = L"Recepção";
  report.userName = L"maria";
  report.machineName = L"\\\\PC-07";
  report.documentName = L"Relatório.pdf";
  report.paperName = L"A4";
  report.pages = 3;
  report.monoPages = 2;
  report.colourPages = 1;
  report.copies = 1;
  report.spoolerJobId = n;
  report.submitted = 46000.5;
  return report;
}

std::unique_ptr<tollgate::store::StoreJobsCache> MakeStore(tollgate::ServerSettings& settings,
                                                           const std::filesystem::path& folder) {
  auto queue = std::make_unique<ServerRequestQueue>(
      [&settings] {
        return std::make_unique<ServerGateway>(
            std::make_unique<RemoteCaller>(settings, std::make_unique<ServerConnection>()));
      },
      2);
  return std::make_unique<tollgate::store::StoreJobsCache>(std::move(queue), folder.wstring(),
                                                           3600);
}

void Report(benchmark::State& state, std::vector<double>& micros) {
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) {
    return micros.empty() ? 0.0 : micros[static_cast<std::size_t>(q * (micros.size() - 1))];
  };
  state.counters["median_us"] = at(0.5);
  state.counters["p99_us"] = at(0.99);
  state.counters["AddJob/s"] =
      benchmark::Counter(static_cast<double>(micros.size()), benchmark::Counter::kIsRate);
}

void BM_AddJobOffline(benchmark::State& state) {
  auto folder = NewFolder("store-bench-offline-");
  tollgate::ServerSettings settings;
  settings.SetHost(L"127.0.0.1");
  settings.SetPort(L"1");  // nothing listens there: the first job turns the store offline
  auto store = MakeStore(settings, folder);
  store->Initialize();
  JobContext answer;
  store->AddJob(Job(0), &answer);
  if (!store->Offline()) state.SkipWithError("the store did not go offline");
  std::vector<double> micros;
  std::int32_t n = 1;
  for (auto _ : state) {
    auto begin = Clock::now();
    auto result = store->AddJob(Job(n++), &answer);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
    if (result != nullptr || answer.recordIds.at(0).id >= 0) state.SkipWithError("not kept");
  }
  Report(state, micros);
  store.reset();
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_AddJobOffline)->Iterations(3000)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_AddJobOnline(benchmark::State& state) {
  auto folder = NewFolder("store-bench-online-");
  auto ledger = std::make_unique<tollserver::Ledger>(folder / "ledger");
  auto service = std::make_shared<tollserver::Service>(*ledger, tollserver::Policy{});
  rpc::Server server;
  server.UseProtseq(L"ncacn_ip_tcp", rpc::RPC_C_PROTSEQ_MAX_REQS_DEFAULT);
  server.RegisterIf(CentralServer(service), 0, rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT);
  server.Listen(1, rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT, true);
  tollgate::ServerSettings settings;
  settings.SetHost(L"127.0.0.1");
  settings.SetPort(std::to_wstring(server.Ports().at(0)));
  auto store = MakeStore(settings, folder);
  store->Initialize();
  JobContext answer;
  if (store->AddJob(Job(0), &answer) != nullptr) state.SkipWithError("first job failed");
  std::vector<double> micros;
  std::int32_t n = 1;
  for (auto _ : state) {
    auto begin = Clock::now();
    auto result = store->AddJob(Job(n++), &answer);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
    if (result != nullptr || store->Offline()) state.SkipWithError("a job was not accepted");
  }
  Report(state, micros);
  store.reset();
  server.StopListening();
  server.WaitListen();
  ledger.reset();
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_AddJobOnline)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  auto machine = NewFolder("store-bench-machine-");
  platform::Install(std::make_shared<platform::sim::Machine>(machine));
  tollgate::InstallFileLog(
      std::make_unique<tollgate::FileLog>((machine / "events.log").wstring(), 10000000));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tollgate::InstallFileLog(nullptr);
  platform::Install(nullptr);
  std::error_code ec;
  std::filesystem::remove_all(machine, ec);
  return 0;
}
