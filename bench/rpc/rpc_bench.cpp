// Round trips of the RPC runtime over loopback: small calls on one connection, a 2 MB echo,
// and a server answering 200 client connections at once.
#include <benchmark/benchmark.h>

#include <atomic>
#include <barrier>
#include <thread>

#include "shared/rpc/rpc.h"

namespace {

using namespace rpc;

const SyntaxId kEcho{Uuid::Of("0d6fa1e5-8f3b-4a53-9c1e-6a1b2c3d4e5f"), 1, 0};

class EchoServer {
 public:
  EchoServer() {
    ServerInterface definition;
    definition.id = kEcho;
    definition.operations.push_back([](CallContext&, ndr::Reader& in, ndr::Writer& out) {
      std::int32_t n = in.I32();
      std::vector<std::uint8_t> data;
      in.UniquePointer([&] {
        in.Conformance(1, static_cast<std::uint32_t>(n));
        auto view = in.View(static_cast<std::size_t>(n));
        data.assign(view.begin(), view.end());
      });
      out.I32(static_cast<std::int32_t>(data.size()));
      out.UniquePointer(!data.empty(), [&] { out.ConformantBytes(data); });
    });
    server_.UseProtseq(L"ncacn_ip_tcp", 1000);
    server_.RegisterIf(definition, RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, 1234);
    server_.SetMaxMessage(64u << 20);
    server_.Listen(1, 1234, true);
    port_ = std::to_wstring(server_.Ports().at(0));
  }
  ~EchoServer() {
    server_.StopListening();
    server_.WaitListen();
  }
  const std::wstring& Port() const { return port_; }

 private:
  Server server_;
  std::wstring port_;
};

std::vector<std::uint8_t> Echo(Binding& b, const std::vector<std::uint8_t>& data) {
  ndr::Writer w;
  w.I32(static_cast<std::int32_t>(data.size()));
  w.UniquePointer(!data.empty(), [&] { w.ConformantBytes(data); });
  auto answer = b.Call(kEcho, 0, w.Data());
  ndr::Reader r(answer);
  std::int32_t n = r.I32();
  std::vector<std::uint8_t> back;
  r.UniquePointer([&] {
    r.Conformance(1, static_cast<std::uint32_t>(n));
    auto view = r.View(static_cast<std::size_t>(n));
    back.assign(view.begin(), view.end());
  });
  return back;
}

void BM_SmallRoundTrip(benchmark::State& state) {
  EchoServer server;
  Binding b(L"127.0.0.1", server.Port());
  std::vector<std::uint8_t> data(static_cast<std::size_t>(state.range(0)), 0x5A);
  Echo(b, data);  // connect and bind outside the loop
  for (auto _ : state) {
    auto back = Echo(b, data);
    benchmark::DoNotOptimize(back);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["calls/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SmallRoundTrip)->Arg(16)->Arg(512)->UseRealTime();

void BM_Echo2MB(benchmark::State& state) {
  EchoServer server;
  Binding b(L"127.0.0.1", server.Port());
  b.SetMaxMessage(64u << 20);
  std::vector<std::uint8_t> data(2u << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
  for (auto _ : state) {
    auto back = Echo(b, data);
    if (back != data) state.SkipWithError("echo differs");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size() * 2));
}
BENCHMARK(BM_Echo2MB)->UseRealTime()->Unit(benchmark::kMillisecond);

// 200 clients, each on its own connection, all connected at once; each makes `calls` calls.
void BM_ConcurrentClients(benchmark::State& state) {
  EchoServer server;
  const int clients = static_cast<int>(state.range(0));
  const int calls = 20;
  std::int64_t answered = 0;
  std::int64_t failed = 0;
  for (auto _ : state) {
    std::atomic<std::int64_t> good{0};
    std::atomic<std::int64_t> bad{0};
    std::barrier start(clients);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
      threads.emplace_back([&, i] {
        Binding b(L"127.0.0.1", server.Port());
        std::vector<std::uint8_t> data(32, static_cast<std::uint8_t>(i));
        // Connect first, so that every connection is open at the same time.
        bool ok = RpcTryExcept([&] { Echo(b, data); }) == RPC_S_OK;
        start.arrive_and_wait();
        for (int k = 0; k < calls && ok; ++k)
          ok = RpcTryExcept([&] { ok = Echo(b, data) == data; }) == RPC_S_OK && ok;
        (ok ? good : bad) += 1;
      });
    }
    for (auto& t : threads) t.join();
    answered += good;
    failed += bad;
  }
  state.counters["clients_answered"] =
      benchmark::Counter(static_cast<double>(answered) / static_cast<double>(state.iterations()));
  state.counters["clients_failed"] =
      benchmark::Counter(static_cast<double>(failed) / static_cast<double>(state.iterations()));
  state.counters["calls/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * clients * (calls + 1), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConcurrentClients)->Arg(200)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
