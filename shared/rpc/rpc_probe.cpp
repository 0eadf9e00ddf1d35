// rpc_probe: the runtime as a peer for the tests that pit it against an independent
// implementation. One JSON line per command on standard output.
//
//   rpc_probe serve [--deadlines B,F,R,I] [--register ANNOTATION]
//                                   serves the echo interface on a dynamic port ("port N"),
//                                   until standard input ends; the server's deadlines in ms;
//                                   registered with the machine's endpoint mapper (then
//                                   "port N registered STATUS", and at the end
//                                   "unregistered STATUS")
//   rpc_probe echo HOST EP SIZE     op 0 with SIZE bytes; checks the echo that comes back
//   rpc_probe call HOST EP OPNUM ARG  op OPNUM with one unsigned long
// Options of echo and call: --call-timeout MS, --com-timeout LEVEL, --uuid UUID (another
// interface), --epm-port PORT (the endpoint mapper to ask when EP is "-").
//
// The echo interface 0d6fa1e5-8f3b-4a53-9c1e-6a1b2c3d4e5f v1.2:
//   0: [in] long n, [in, unique, size_is(n)] byte* data, [out] long* m,
//      [out, size_is(, *m)] byte** back                          (back = data)
//   1: [in] unsigned long status                                 (raises status)
//   2: [in] unsigned long ms, [out] unsigned long* one            (sleeps ms)
// (The structure shapes of the interfaces are the interface definitions' own probe's.)
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "shared/rpc/rpc.h"

namespace {

using namespace rpc;
using Clock = std::chrono::steady_clock;

SyntaxId EchoInterface() {
  return {Uuid::Of("0d6fa1e5-8f3b-4a53-9c1e-6a1b2c3d4e5f"), 1, 2};
}

std::vector<std::uint8_t> Pattern(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
  return bytes;
}

ServerInterface EchoServer() {
  ServerInterface definition;
  definition.id = EchoInterface();
  definition.operations.resize(3);
  definition.operations[0] = [](CallContext&, ndr::Reader& in, ndr::Writer& out) {
    std::int32_t n = in.I32();
    std::vector<std::uint8_t> data;
    in.UniquePointer([&] {
      if (n < 0) ndr::Reader::Bad();
      in.Conformance(1, static_cast<std::uint32_t>(n));
      auto view = in.View(static_cast<std::size_t>(n));
      data.assign(view.begin(), view.end());
    });
    out.I32(static_cast<std::int32_t>(data.size()));
    out.UniquePointer(!data.empty(), [&] { out.ConformantBytes(data); });
  };
  definition.operations[1] = [](CallContext&, ndr::Reader& in, ndr::Writer&) {
    RpcRaiseException(static_cast<RPC_STATUS>(in.U32()));
  };
  definition.operations[2] = [](CallContext&, ndr::Reader& in, ndr::Writer& out) {
    std::this_thread::sleep_for(std::chrono::milliseconds(in.U32()));
    out.U32(1);
  };
  return definition;
}

// "--deadlines BIND,FRAGMENT,REQUEST,IDLE" in milliseconds.
int Serve(const std::vector<std::string>& options) {
  Server server;
  std::optional<std::string> annotation;
  for (std::size_t i = 0; i + 1 < options.size(); i += 2) {
    if (options[i] == "--register") annotation = options[i + 1];
    if (options[i] == "--deadlines") {
      std::vector<long> ms;
      std::size_t at = 0;
      const std::string& text = options[i + 1];
      while (at <= text.size()) {
        std::size_t comma = text.find(',', at);
        if (comma == std::string::npos) comma = text.size();
        ms.push_back(std::stol(text.substr(at, comma - at)));
        at = comma + 1;
      }
      if (ms.size() != 4) return 2;
      Server::Deadlines d;
      d.bind = std::chrono::milliseconds(ms[0]);
      d.fragment = std::chrono::milliseconds(ms[1]);
      d.request = std::chrono::milliseconds(ms[2]);
      d.idle = std::chrono::milliseconds(ms[3]);
      server.SetDeadlines(d);
    }
  }
  if (server.UseProtseq(L"ncacn_ip_tcp", RPC_C_PROTSEQ_MAX_REQS_DEFAULT) != RPC_S_OK ||
      server.RegisterIf(EchoServer(), RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, 1234) != RPC_S_OK ||
      server.Listen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, true) != RPC_S_OK) {
    std::cout << "cannot serve" << std::endl;
    return 1;
  }
  std::vector<std::wstring> bindings;
  if (annotation) {
    server.InqBindings(&bindings);
    std::wstring text(annotation->begin(), annotation->end());
    RPC_STATUS status = RpcEpRegisterW(EchoServer(), bindings, nullptr, text.c_str());
    std::cout << "port " << server.Ports().at(0) << " registered " << status << std::endl;
  } else {
    std::cout << "port " << server.Ports().at(0) << std::endl;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  if (annotation)
    std::cout << "unregistered " << RpcEpUnregister(EchoServer(), bindings, nullptr) << std::endl;
  server.StopListening();
  server.WaitListen();
  return 0;
}

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

int Client(const std::vector<std::string>& args) {
  // args: mode host endpoint x [y] options...
  std::string mode = args[0];
  std::wstring host = Wide(args[1]);
  std::wstring endpoint = args[2] == "-" ? L"" : Wide(args[2]);
  SyntaxId id = EchoInterface();
  std::uint32_t callTimeout = 0;
  unsigned comTimeout = RPC_C_BINDING_DEFAULT_TIMEOUT;
  std::size_t positional = mode == "echo" ? 4 : 5;
  for (std::size_t i = positional; i + 1 < args.size(); i += 2) {
    if (args[i] == "--call-timeout")
      callTimeout = static_cast<std::uint32_t>(std::stoul(args[i + 1]));
    else if (args[i] == "--com-timeout")
      comTimeout = static_cast<unsigned>(std::stoul(args[i + 1]));
    else if (args[i] == "--uuid")
      id.uuid = Uuid::Of(args[i + 1]);
    else if (args[i] == "--epm-port")
      SetEndpointMapperPort(static_cast<std::uint16_t>(std::stoul(args[i + 1])));
  }
  std::wstring text;
  RpcStringBindingComposeW(nullptr, L"ncacn_ip_tcp", host.c_str(), endpoint.c_str(), nullptr,
                           &text);
  RPC_BINDING_HANDLE binding = nullptr;
  RPC_STATUS status = RpcBindingFromStringBindingW(text, &binding);
  if (status != RPC_S_OK) {
    std::cout << "{\"status\": " << status << "}" << std::endl;
    return 0;
  }
  RpcMgmtSetComTimeout(binding, comTimeout);
  if (callTimeout != 0) RpcBindingSetOption(binding, RPC_C_OPT_CALL_TIMEOUT, callTimeout);
  bool ok = false;
  auto start = Clock::now();
  if (mode == "echo") {
    auto data = Pattern(std::stoul(args[3]));
    status = RpcTryExcept([&] {
      ndr::Writer w;
      w.I32(static_cast<std::int32_t>(data.size()));
      w.UniquePointer(!data.empty(), [&] { w.ConformantBytes(data); });
      auto answer = NdrClientCall(binding, id, 0, w);
      ndr::Reader r(answer);
      std::int32_t m = r.I32();
      std::vector<std::uint8_t> back;
      r.UniquePointer([&] {
        r.Conformance(1, static_cast<std::uint32_t>(m));
        auto view = r.View(static_cast<std::size_t>(m));
        back.assign(view.begin(), view.end());
      });
      ok = m == static_cast<std::int32_t>(data.size()) && back == data;
    });
  } else {
    auto opnum = static_cast<std::uint16_t>(std::stoul(args[3]));
    auto arg = static_cast<std::uint32_t>(std::stoul(args[4], nullptr, 0));
    status = RpcTryExcept([&] {
      ndr::Writer w;
      w.U32(arg);
      NdrClientCall(binding, id, opnum, w);
      ok = true;
    });
  }
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  RpcBindingFree(&binding);
  std::cout << "{\"status\": " << status << ", \"ok\": " << (ok ? "true" : "false")
            << ", \"ms\": " << ms << "}" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "serve")
    return Serve(std::vector<std::string>(args.begin() + 1, args.end()));
  if (args.size() >= 4 && args[0] == "echo") return Client(args);
  if (args.size() >= 5 && args[0] == "call") return Client(args);
  std::cerr << "usage: rpc_probe serve | echo HOST EP SIZE | call HOST EP OPNUM ARG [options]\n";
  return 2;
}
