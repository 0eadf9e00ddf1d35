// One host trying to lock the others out of an RPC server: 2 100 idle connections from one
// address, or 16 unfinished 16 MiB requests from it, while a caller of another address makes
// its calls. The figures: the other caller's round trip, the connections the server keeps,
// and the request memory it holds.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "shared/rpc/pdu.h"
#include "shared/rpc/rpc.h"
#include "shared/rpc/transport.h"

namespace {

using namespace rpc;
using Clock = std::chrono::steady_clock;

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
    server_.Listen(1, 1234, true);
    port = server_.Ports().at(0);
  }
  ~EchoServer() {
    server_.StopListening();
    server_.WaitListen();
  }
  Server& server() { return server_; }
  std::uint16_t port = 0;

 private:
  Server server_;
};

// A connection from 127.0.0.2: another host, as the server sees it.
std::unique_ptr<transport::Stream> FromOtherHost(std::uint16_t port) {
  using namespace platform;
  SOCKET s = sockets().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return nullptr;
  if (sockets().bind(s, SockAddr::Ipv4(127, 0, 0, 2, 0)) != 0 ||
      sockets().connect(s, SockAddr::Ipv4Loopback(port)) != 0) {
    sockets().closesocket(s);
    return nullptr;
  }
  return std::make_unique<transport::Stream>(s);
}

// The other caller's echo of `bytes` bytes on a new binding (connect and bind included).
double NormalCallMs(std::uint16_t port, std::size_t bytes) {
  auto begin = Clock::now();
  Binding b(L"127.0.0.1", std::to_wstring(port));
  std::vector<std::uint8_t> data(bytes, 0x5A);
  ndr::Writer w;
  w.I32(static_cast<std::int32_t>(data.size()));
  w.UniquePointer(true, [&] { w.ConformantBytes(data); });
  auto answer = b.Call(kEcho, 0, w.Data());
  if (answer.size() < bytes) throw RpcException(RPC_X_BAD_STUB_DATA);
  return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

void BM_CallerDuring2100IdleConnectionsOfOneHost(benchmark::State& state) {
  EchoServer echo;
  std::vector<std::unique_ptr<transport::Stream>> idle;
  for (int i = 0; i < 2100; ++i) {
    if (auto s = FromOtherHost(echo.port)) idle.push_back(std::move(s));
  }
  platform::kernel().Sleep(300);  // the server has taken or refused them all
  double worst = 0;
  for (auto _ : state) {
    double ms = 0;
    if (RpcTryExcept([&] { ms = NormalCallMs(echo.port, 64); }) != RPC_S_OK)
      state.SkipWithError("the other caller was not answered");
    worst = std::max(worst, ms);
  }
  state.counters["connected"] = static_cast<double>(idle.size());
  state.counters["kept_by_server"] = static_cast<double>(echo.server().Connections());
  state.counters["worst_call_ms"] = worst;
}
BENCHMARK(BM_CallerDuring2100IdleConnectionsOfOneHost)
    ->Iterations(20)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_CallerDuring16UnfinishedRequestsOfOneHost(benchmark::State& state) {
  EchoServer echo;
  const std::uint16_t frag = pdu::kMaxFragment;
  std::vector<std::unique_ptr<transport::Stream>> attackers;
  std::vector<std::uint8_t> stub(16u << 20);
  std::vector<std::uint8_t> request;
  pdu::AppendRequest(request, 7, 0, 0, std::nullopt, stub, frag);
  // All but the last fragment: the request never ends.
  std::size_t last = request.size();
  for (std::size_t at = 0; at < request.size();) {
    std::uint16_t length = static_cast<std::uint16_t>(request[at + 8] | (request[at + 9] << 8));
    if (at + length >= request.size()) last = at;
    at += length;
  }
  request.resize(last);
  pdu::Bind bind;
  bind.maxXmitFrag = bind.maxRecvFrag = frag;
  bind.contexts.push_back({0, kEcho, {Ndr20()}});
  auto bindPdu = pdu::EncodeBind(pdu::kBind, 1, bind);
  for (int i = 0; i < 16; ++i) {
    auto s = FromOtherHost(echo.port);
    if (!s) continue;
    std::vector<std::uint8_t> ack;
    s->Send(bindPdu, transport::Deadline::After(std::chrono::seconds(5)));
    s->ReadFragment(ack, 0xFFFF, transport::Deadline::After(std::chrono::seconds(5)));
    s->Send(request, transport::Deadline::After(std::chrono::seconds(30)));
    attackers.push_back(std::move(s));
  }
  platform::kernel().Sleep(300);
  std::size_t held = echo.server().PendingBytes();
  double worst = 0;
  for (auto _ : state) {
    double ms = 0;
    if (RpcTryExcept([&] { ms = NormalCallMs(echo.port, 4u << 20); }) != RPC_S_OK)
      state.SkipWithError("the other caller was not answered");
    worst = std::max(worst, ms);
  }
  state.counters["held_by_one_host_MiB"] = static_cast<double>(held) / (1 << 20);
  state.counters["worst_4MiB_call_ms"] = worst;
}
BENCHMARK(BM_CallerDuring16UnfinishedRequestsOfOneHost)
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
