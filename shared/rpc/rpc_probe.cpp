// rpc_probe: the runtime as a peer for the tests that pit it against an independent
// implementation. One JSON line per command on standard output.
//
//   rpc_probe serve                 serves the echo interface on a dynamic port ("port N"),
//                                   until standard input ends
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
//   3: the remaining shapes of the contract (see Shapes below)
//
//   rpc_probe shapes HOST EP        op 3 with a fixed case; checks the answer
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

// Operation 3 carries the structure shapes of the contract's central-server interface:
//   void Shapes([in, ref] CounterSnapshot* snapshot, [in, string] char* text, [in] double when,
//               [in] short n, [in, unique, size_is(n)] QueueEntry* queues,
//               [out] short* count, [out, size_is(, *count)] QueueSettings** settings,
//               [out] long* textLength, [out, size_is(, *textLength)] wchar_t** message,
//               [out] double* total);
// settings[i] = {i, 100 * strlen(queueName) + hasAddress, 7, -1, portAddress or null when
// hasAddress is 0, 1, 0, 0}; message = text "|" deviceText1 "|" each line's paperSize ("-"
// for null), bytes as Latin-1; total = when + readingTime + value1 + value2 + the lines'
// first + second + kind.
struct CounterLine {
  std::int32_t first = 0;
  std::int32_t second = 0;
  std::int16_t kind = 0;
  std::optional<std::string> paperSize;
};
struct CounterSnapshot {
  std::optional<std::string> deviceText[3];
  std::int32_t value1 = 0;
  std::int32_t value2 = 0;
  double readingTime = 0;
  std::vector<CounterLine> lines;
};
struct QueueEntry {
  std::optional<std::string> queueName;
  std::optional<std::string> portAddress;
  std::uint8_t hasAddress = 0;
};
struct QueueSettings {
  std::int32_t queueIndex = 0;
  std::int32_t id = 0;
  std::int16_t language = 0;
  std::int16_t identifyHardware = 0;
  std::optional<std::string> snmpCommunity;
  std::int16_t isToArchive = 0;
  std::int16_t isToCheckCounterAfterPrint = 0;
  std::int16_t reserved = 0;
};

void WriteText(ndr::Writer& w, const std::optional<std::string>& text) {
  w.EmbeddedPointer(text.has_value(), [&w, &text] { w.String(*text); });
}
void ReadText(ndr::Reader& r, std::optional<std::string>& text) {
  text.reset();
  r.EmbeddedPointer([&r, &text] { text = r.String(); });
}

void WriteSnapshot(ndr::Writer& w, const CounterSnapshot& s) {
  w.RefPointer([&] {
    w.Align(8);
    for (const auto& t : s.deviceText) WriteText(w, t);
    w.I32(s.value1);
    w.I32(s.value2);
    w.Double(s.readingTime);
    w.I16(static_cast<std::int16_t>(s.lines.size()));
    w.EmbeddedPointer(!s.lines.empty(), [&w, &s] {
      w.Conformance(static_cast<std::uint32_t>(s.lines.size()));
      for (const auto& line : s.lines) {
        w.Align(4);
        w.I32(line.first);
        w.I32(line.second);
        w.I16(line.kind);
        WriteText(w, line.paperSize);
      }
    });
  });
}

CounterSnapshot ReadSnapshot(ndr::Reader& r) {
  CounterSnapshot s;
  r.RefPointer([&] {
    r.Align(8);
    for (auto& t : s.deviceText) ReadText(r, t);
    s.value1 = r.I32();
    s.value2 = r.I32();
    s.readingTime = r.Double();
    std::int16_t count = r.I16();
    r.EmbeddedPointer([&r, &s, count] {
      if (count < 0) ndr::Reader::Bad();
      std::uint32_t n = r.Conformance(14, static_cast<std::uint32_t>(count));
      s.lines.resize(n);
      for (auto& line : s.lines) {
        r.Align(4);
        line.first = r.I32();
        line.second = r.I32();
        line.kind = r.I16();
        ReadText(r, line.paperSize);
      }
    });
  });
  return s;
}

void WriteQueues(ndr::Writer& w, const std::vector<QueueEntry>& queues) {
  w.I16(static_cast<std::int16_t>(queues.size()));
  w.UniquePointer(!queues.empty(), [&] {
    w.Conformance(static_cast<std::uint32_t>(queues.size()));
    for (const auto& q : queues) {
      w.Align(4);
      WriteText(w, q.queueName);
      WriteText(w, q.portAddress);
      w.U8(q.hasAddress);
    }
  });
}

std::vector<QueueEntry> ReadQueues(ndr::Reader& r) {
  std::int16_t n = r.I16();
  std::vector<QueueEntry> queues;
  r.UniquePointer([&] {
    if (n < 0) ndr::Reader::Bad();
    queues.resize(r.Conformance(9, static_cast<std::uint32_t>(n)));
    for (auto& q : queues) {
      r.Align(4);
      ReadText(r, q.queueName);
      ReadText(r, q.portAddress);
      q.hasAddress = r.U8();
    }
  });
  return queues;
}

void WriteSettings(ndr::Writer& w, const std::vector<QueueSettings>& settings) {
  w.I16(static_cast<std::int16_t>(settings.size()));
  w.UniquePointer(!settings.empty(), [&] {
    w.Conformance(static_cast<std::uint32_t>(settings.size()));
    for (const auto& s : settings) {
      w.Align(4);
      w.I32(s.queueIndex);
      w.I32(s.id);
      w.I16(s.language);
      w.I16(s.identifyHardware);
      WriteText(w, s.snmpCommunity);
      w.I16(s.isToArchive);
      w.I16(s.isToCheckCounterAfterPrint);
      w.I16(s.reserved);
    }
  });
}

std::vector<QueueSettings> ReadSettings(ndr::Reader& r) {
  std::int16_t n = r.I16();
  std::vector<QueueSettings> settings;
  r.UniquePointer([&] {
    if (n < 0) ndr::Reader::Bad();
    settings.resize(r.Conformance(22, static_cast<std::uint32_t>(n)));
    for (auto& s : settings) {
      r.Align(4);
      s.queueIndex = r.I32();
      s.id = r.I32();
      s.language = r.I16();
      s.identifyHardware = r.I16();
      ReadText(r, s.snmpCommunity);
      s.isToArchive = r.I16();
      s.isToCheckCounterAfterPrint = r.I16();
      s.reserved = r.I16();
    }
  });
  return settings;
}

struct ShapesAnswer {
  std::vector<QueueSettings> settings;
  std::wstring message;
  double total = 0;
};

ShapesAnswer Compute(const CounterSnapshot& snapshot, const std::string& text, double when,
                     const std::vector<QueueEntry>& queues) {
  ShapesAnswer a;
  for (std::size_t i = 0; i < queues.size(); ++i) {
    QueueSettings s;
    s.queueIndex = static_cast<std::int32_t>(i);
    s.id = static_cast<std::int32_t>(100 * queues[i].queueName.value_or("").size() +
                                     queues[i].hasAddress);
    s.language = 7;
    s.identifyHardware = -1;
    if (queues[i].hasAddress) s.snmpCommunity = queues[i].portAddress;
    s.isToArchive = 1;
    a.settings.push_back(s);
  }
  std::string m = text + "|" + snapshot.deviceText[0].value_or("-");
  a.total = when + snapshot.readingTime + snapshot.value1 + snapshot.value2;
  for (const auto& line : snapshot.lines) {
    m += "|" + line.paperSize.value_or("-");
    a.total += line.first + line.second + line.kind;
  }
  for (unsigned char c : m) a.message += static_cast<wchar_t>(c);
  return a;
}

void WriteAnswer(ndr::Writer& out, const ShapesAnswer& a) {
  WriteSettings(out, a.settings);
  std::uint32_t units = ndr::Writer::Utf16Length(a.message);
  out.I32(static_cast<std::int32_t>(units));
  out.UniquePointer(units > 0, [&] {
    out.Conformance(units);
    out.WideChars(a.message);
  });
  out.Double(a.total);
}

ShapesAnswer ReadAnswer(ndr::Reader& r) {
  ShapesAnswer a;
  a.settings = ReadSettings(r);
  std::int32_t units = r.I32();
  r.UniquePointer([&] {
    if (units < 0) ndr::Reader::Bad();
    a.message = r.WideChars(r.Conformance(2, static_cast<std::uint32_t>(units)));
  });
  a.total = r.Double();
  return a;
}

// The case the shapes command sends.
struct ShapesCase {
  CounterSnapshot snapshot;
  std::string text = "Relat\xf3rio";  // Latin-1 bytes, as the agent's code page writes them
  double when = 46000.625;
  std::vector<QueueEntry> queues;
};

ShapesCase FixedCase() {
  ShapesCase c;
  c.snapshot.deviceText[0] = "MFP-4000";
  c.snapshot.deviceText[2] = "serial 77";
  c.snapshot.value1 = 12;
  c.snapshot.value2 = -3;
  c.snapshot.readingTime = 0.5;
  c.snapshot.lines = {{1000, 200, 1, std::nullopt}, {3, 4, 2, "A3"}};
  c.queues = {{"Recep\xe7\xe3o", "10.0.0.7", 1}, {"Local", std::nullopt, 0}};
  return c;
}

ServerInterface EchoServer() {
  ServerInterface definition;
  definition.id = EchoInterface();
  definition.operations.resize(4);
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
  definition.operations[3] = [](CallContext&, ndr::Reader& in, ndr::Writer& out) {
    CounterSnapshot snapshot = ReadSnapshot(in);
    std::string text = in.String();
    double when = in.Double();
    std::vector<QueueEntry> queues = ReadQueues(in);
    WriteAnswer(out, Compute(snapshot, text, when, queues));
  };
  return definition;
}

int Serve() {
  Server server;
  if (server.UseProtseq(L"ncacn_ip_tcp", RPC_C_PROTSEQ_MAX_REQS_DEFAULT) != RPC_S_OK ||
      server.RegisterIf(EchoServer(), RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, 1234) != RPC_S_OK ||
      server.Listen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, true) != RPC_S_OK) {
    std::cout << "cannot serve" << std::endl;
    return 1;
  }
  std::cout << "port " << server.Ports().at(0) << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
  }
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
  std::size_t positional = mode == "echo" ? 4 : mode == "shapes" ? 3 : 5;
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
  } else if (mode == "shapes") {
    ShapesCase c = FixedCase();
    status = RpcTryExcept([&] {
      ndr::Writer w;
      WriteSnapshot(w, c.snapshot);
      w.String(c.text);
      w.Double(c.when);
      WriteQueues(w, c.queues);
      auto answer = NdrClientCall(binding, id, 3, w);
      ndr::Reader r(answer);
      ShapesAnswer got = ReadAnswer(r);
      ShapesAnswer want = Compute(c.snapshot, c.text, c.when, c.queues);
      ok = got.message == want.message && got.total == want.total &&
           got.settings.size() == want.settings.size();
      for (std::size_t i = 0; ok && i < got.settings.size(); ++i) {
        const auto& g = got.settings[i];
        const auto& e = want.settings[i];
        ok = g.queueIndex == e.queueIndex && g.id == e.id && g.language == e.language &&
             g.identifyHardware == e.identifyHardware && g.snmpCommunity == e.snmpCommunity &&
             g.isToArchive == e.isToArchive &&
             g.isToCheckCounterAfterPrint == e.isToCheckCounterAfterPrint &&
             g.reserved == e.reserved;
      }
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
  if (args.size() == 1 && args[0] == "serve") return Serve();
  if (args.size() >= 3 && args[0] == "shapes") return Client(args);
  if (args.size() >= 4 && args[0] == "echo") return Client(args);
  if (args.size() >= 5 && args[0] == "call") return Client(args);
  std::cerr << "usage: rpc_probe serve | echo HOST EP SIZE | call HOST EP OPNUM ARG [options]\n";
  return 2;
}
