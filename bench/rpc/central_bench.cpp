// The central server's conversation: ReportJob answered by the reference server (its ledger
// committed before each answer) from 8 connections at once, and the agent's gateway round
// trip (SendJob to its answer) at the median and the 99th percentile.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "agent/config/server_settings.h"
#include "agent/rpc/central_server.h"
#include "agent/rpc/gateway.h"
#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "shared/rpc/rpc.h"
#include "tools/tollserver/ledger.h"
#include "tools/tollserver/service.h"

namespace {

using namespace tollgate::remote;
using Clock = std::chrono::steady_clock;

// The reference server as tollserver composes it, on a dynamic port, with a new ledger in the
// temporary folder.
class ReferenceServer {
 public:
  ReferenceServer() {
    folder_ = std::filesystem::temp_directory_path() /
              ("tollserver-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
    ledger_ = std::make_unique<tollserver::Ledger>(folder_);
    auto service = std::make_shared<tollserver::Service>(*ledger_, tollserver::Policy{});
    server_.SetMaxMessage(64u << 10);
    server_.UseProtseq(L"ncacn_ip_tcp", rpc::RPC_C_PROTSEQ_MAX_REQS_DEFAULT);
    server_.RegisterIf(CentralServer(service), 0, rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT);
    server_.Listen(1, rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT, true);
  }
  ~ReferenceServer() {
    server_.StopListening();
    server_.WaitListen();
    ledger_.reset();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  std::wstring Port() { return std::to_wstring(server_.Ports().at(0)); }
  // The jobs the ledger holds, read through a connection of its own.
  std::int64_t Jobs() {
    tollserver::Database db(tollserver::Ledger::DatabasePath(folder_), false);
    tollserver::Statement s(db.Handle(), "SELECT count(*) FROM jobs");
    s.Step();
    return s.Int(0);
  }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<tollserver::Ledger> ledger_;
  rpc::Server server_;
};

ReportJobIn Job(std::int32_t n) {
  ReportJobIn in;
  in.clientId = 1;
  in.queueName = "Recep\xe7\xe3o";
  in.userName = "maria";
  in.owner = "maria";
  in.pages = 3;
  in.monoPages = 2;
  in.colourPages = 1;
  in.copies = 1;
  in.documentName = "Relat\xf3rio.pdf";
  in.spoolerJobId = n;
  in.paperName = "A4";
  in.agentVersion = "2.7.2.0";
  in.machineName = "\\\\PC-07";
  in.submitted = 46000.5;
  return in;
}

void BM_ReportJobFrom8Connections(benchmark::State& state) {
  const int connections = static_cast<int>(state.range(0));
  const int callsEach = 400;
  ReferenceServer server;
  std::int64_t answered = 0;
  for (auto _ : state) {
    std::atomic<std::int64_t> good{0};
    std::barrier start(connections);
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
      threads.emplace_back([&, c] {
        ServerConnection connection;
        connection.Bind(L"127.0.0.1", server.Port());
        ReportJobOut out;
        rpc::RpcTryExcept([&] { connection.ReportJob(Job(-1 - c), &out); });  // connected
        start.arrive_and_wait();
        for (int i = 0; i < callsEach; ++i) {
          if (rpc::RpcTryExcept([&] { connection.ReportJob(Job(c * callsEach + i), &out); }) ==
                  rpc::RPC_S_OK &&
              out.serverJobIds.size() == 2)
            ++good;
        }
      });
    }
    for (auto& t : threads) t.join();
    answered += good;
  }
  std::int64_t durable = server.Jobs();
  state.counters["ReportJob/s"] =
      benchmark::Counter(static_cast<double>(answered), benchmark::Counter::kIsRate);
  state.counters["answered"] = static_cast<double>(answered);
  // Every answered job is in the ledger (plus one connecting call per connection and pass).
  state.counters["in_ledger"] =
      static_cast<double>(durable - connections * static_cast<std::int64_t>(state.iterations()));
  if (durable < answered) state.SkipWithError("answered jobs missing from the ledger");
}
BENCHMARK(BM_ReportJobFrom8Connections)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_GatewayRoundTrip(benchmark::State& state) {
  ReferenceServer server;
  tollgate::ServerSettings settings;
  settings.SetHost(L"127.0.0.1");
  settings.SetPort(server.Port());
  ServerGateway gateway(
      std::make_unique<RemoteCaller>(settings, std::make_unique<ServerConnection>()));
  JobReport report;
  report.queueName = L"Recepção";
  report.userName = L"maria";
  report.pages = 3;
  report.monoPages = 2;
  report.colourPages = 1;
  report.copies = 1;
  report.submitted = 46000.5;
  JobContext context;
  if (gateway.SendJob(report, &context) != nullptr) state.SkipWithError("first job failed");
  std::vector<double> micros;
  for (auto _ : state) {
    ++report.spoolerJobId;
    auto begin = Clock::now();
    auto result = gateway.SendJob(report, &context);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
    if (result != nullptr) state.SkipWithError("a job failed");
  }
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) {
    return micros.empty() ? 0.0 : micros[static_cast<std::size_t>(q * (micros.size() - 1))];
  };
  state.counters["median_us"] = at(0.5);
  state.counters["p99_us"] = at(0.99);
}
BENCHMARK(BM_GatewayRoundTrip)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

// On a simulated machine of its own in the temporary folder (the gateway writes the
// registration's settings into its registry).
int main(int argc, char** argv) {
  auto machine =
      std::filesystem::temp_directory_path() /
      ("central-bench-machine-" + std::to_string(Clock::now().time_since_epoch().count()));
  platform::Install(std::make_shared<platform::sim::Machine>(machine));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  platform::Install(nullptr);
  std::error_code ec;
  std::filesystem::remove_all(machine, ec);
  return 0;
}
