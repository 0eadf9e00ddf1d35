// contract_probe: the interface definitions and the gateway as a peer for the tests that pit
// them against an independent implementation. One JSON line per result on standard output.
//
//   contract_probe serve             serves the shapes operation (below) on a dynamic port
//                                    ("port N"), until standard input ends
//   contract_probe shapes HOST EP    calls it with a fixed case and checks the answer
//   contract_probe gateway HOST PORT registers two queues with the central server at
//                                    HOST:PORT, reports a job, uploads three files, reports a
//                                    counter reading and cancels a job, through the agent's
//                                    gateway on the simulated machine (TOLLGATE_MACHINE)
//
// The shapes operation is opnum 3 of the interface 0d6fa1e5-8f3b-4a53-9c1e-6a1b2c3d4e5f v1.2:
//   void Shapes([in, ref] CounterSnapshot* snapshot, [in, string] char* text, [in] double when,
//               [in] short n, [in, unique, size_is(n)] QueueEntry* queues,
//               [out] short* count, [out, size_is(, *count)] QueueSettings** settings,
//               [out] long* textLength, [out, size_is(, *textLength)] wchar_t** message,
//               [out] double* total);
// settings[i] = {i, 100 * strlen(queueName) + hasAddress, 7, -1, portAddress or null when
// hasAddress is 0, 1, 0, 0}; message = text "|" deviceText1 "|" each line's paperSize ("-"
// for null), bytes as Latin-1; total = when + readingTime + value1 + value2 + the lines'
// first + second + kind.
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "agent/config/registry_values.h"
#include "agent/config/server_settings.h"
#include "agent/config/settings.h"
#include "agent/rpc/gateway.h"
#include "agent/rpc/interfaces.h"
#include "platform/platform.h"
#include "shared/rpc/rpc.h"

namespace {

using namespace tollgate::remote;
using ::rpc::RPC_STATUS;

::rpc::SyntaxId ShapesInterface() {
  return {::rpc::Uuid::Of("0d6fa1e5-8f3b-4a53-9c1e-6a1b2c3d4e5f"), 1, 2};
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

void WriteAnswer(Writer& out, const ShapesAnswer& a) {
  WriteQueueSettings(out, a.settings);
  std::uint32_t units = Writer::Utf16Length(a.message);
  out.I32(static_cast<std::int32_t>(units));
  out.UniquePointer(units > 0, [&] {
    out.Conformance(units);
    out.WideChars(a.message);
  });
  out.Double(a.total);
}

ShapesAnswer ReadAnswer(Reader& r) {
  ShapesAnswer a;
  a.settings = ReadQueueSettings(r);
  std::int32_t units = r.I32();
  r.UniquePointer([&] {
    if (units < 0) Reader::Bad();
    a.message = r.WideChars(r.Conformance(2, static_cast<std::uint32_t>(units)));
  });
  a.total = r.Double();
  return a;
}

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

int Serve() {
  ::rpc::Server server;
  ::rpc::ServerInterface definition;
  definition.id = ShapesInterface();
  definition.operations.resize(4);
  definition.operations[3] = [](::rpc::CallContext&, Reader& in, Writer& out) {
    CounterSnapshot snapshot = ReadCounterSnapshot(in);
    std::string text = in.String();
    double when = in.Double();
    std::vector<QueueEntry> queues = ReadQueueEntries(in);
    WriteAnswer(out, Compute(snapshot, text, when, queues));
  };
  if (server.UseProtseq(L"ncacn_ip_tcp", ::rpc::RPC_C_PROTSEQ_MAX_REQS_DEFAULT) !=
          ::rpc::RPC_S_OK ||
      server.RegisterIf(definition, 0, 1234) != ::rpc::RPC_S_OK ||
      server.Listen(1, ::rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT, true) != ::rpc::RPC_S_OK) {
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

int Shapes(const std::string& host, const std::string& endpoint) {
  RpcBinding binding;
  RPC_STATUS status = binding.Bind(L"ncacn_ip_tcp", Wide(host), Wide(endpoint),
                                   ::rpc::RPC_C_BINDING_DEFAULT_TIMEOUT, 0, false, std::nullopt);
  bool ok = false;
  if (status == ::rpc::RPC_S_OK) {
    ShapesCase c = FixedCase();
    status = ::rpc::RpcTryExcept([&] {
      Writer w;
      WriteCounterSnapshot(w, c.snapshot);
      w.String(c.text);
      w.Double(c.when);
      WriteQueueEntries(w, c.queues);
      auto answer = ::rpc::NdrClientCall(binding.Handle(), ShapesInterface(), 3, w);
      Reader r(answer);
      ShapesAnswer got = ReadAnswer(r);
      ShapesAnswer want = Compute(c.snapshot, c.text, c.when, c.queues);
      ok = got.message == want.message && got.total == want.total && got.settings == want.settings;
    });
  }
  std::cout << "{\"status\": " << status << ", \"ok\": " << (ok ? "true" : "false") << "}"
            << std::endl;
  return 0;
}

// A JSON string of a wide text (UTF-8).
std::string Json(const std::wstring& text) {
  std::string utf8 = platform::system().WideCharToMultiByte(platform::CP_UTF8, text);
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string Json(const tollgate::ErrorResult* result) {
  return result ? Json(result->Text()) : "null";
}
std::string Json(const tollgate::ErrorResultPtr& result) {
  return Json(result.get());
}
std::string Json(const ServerResultPtr& result) {
  return Json(result.get());
}

std::string Registry(const std::wstring& path, const std::wstring& name) {
  tollgate::config::RegistryKey key;
  if (key.Open(path, platform::KEY_READ) != platform::ERROR_SUCCESS) return "null";
  auto value = key.ReadString(name);
  return value ? Json(*value) : "null";
}

// The gateway's conversation with a central server; what the server must have received is
// the test's business, what the gateway made of the answers is printed here.
int Gateway(const std::string& host, const std::string& port) {
  tollgate::ServerSettings settings;
  settings.SetHost(Wide(host));
  settings.SetPort(Wide(port));
  ServerGateway gateway(
      std::make_unique<RemoteCaller>(settings, std::make_unique<ServerConnection>()));
  auto queues = std::make_shared<const std::vector<RegisteredQueue>>(std::vector<RegisteredQueue>{
      {L"Recepção", true, L"10.0.0.7"}, {L"Local", false, L"ignored"}});
  auto registered = gateway.Register(queues);
  std::cout << "{\"register\": " << Json(registered) << ", \"clientId\": " << gateway.ClientId()
            << ", \"FreeGBRequiredToArchive\": "
            << Registry(tollgate::config::kAgentKey, L"FreeGBRequiredToArchive")
            << ", \"DaysToKeepArchivedFile\": "
            << Registry(tollgate::config::kAgentKey, L"DaysToKeepArchivedFile")
            << ", \"CanQueryMFCopy\": " << Registry(tollgate::config::kAgentKey, L"CanQueryMFCopy");
  for (const auto& q : *queues) {
    std::wstring key = tollgate::config::PrinterKey(q.name);
    std::cout << ", " << Json(q.name) << ": {";
    const wchar_t* names[] = {L"Id",
                              L"Language",
                              L"IdentifyHardware",
                              L"IsToArchive",
                              L"IsToCheckCounterAfterPrint",
                              L"SnmpCommunity",
                              L"EmfCopiesReading"};
    for (std::size_t i = 0; i < std::size(names); ++i)
      std::cout << (i ? ", " : "") << Json(names[i]) << ": " << Registry(key, names[i]);
    std::cout << "}";
  }
  std::cout << "}" << std::endl;

  JobReport report;
  report.queueName = L"Recepção";
  report.machineName = L"\\\\PC-07";
  report.userName = L"joão";
  report.notifyName = L"João Silva";
  report.documentName = L"Relatório € 1.pdf";
  report.spoolerJobId = 31;
  report.portKind = 1;
  report.portAddress = L"10.0.0.7";
  report.submitted = 46000.5;  // 9 December 2025 12:00 UTC
  report.pages = 4;
  report.copies = 2;
  report.colourPages = 1;
  report.monoPages = 3;
  report.language = 12;
  report.colour = true;
  report.duplex = true;
  report.paperCode = 9;
  report.paperName = L"A4";
  report.trackedB = true;
  JobContext context;
  auto job = gateway.SendJob(report, &context);
  std::cout << "{\"job\": " << Json(job)
            << ", \"decision\": " << (job && job->IsDecision() ? "true" : "false")
            << ", \"records\": [";
  for (std::size_t i = 0; i < context.recordIds.size(); ++i)
    std::cout << (i ? ", " : "") << "[" << context.recordIds[i].id << ", "
              << context.recordIds[i].pages << "]";
  std::cout << "], \"watermark\": " << Json(Wide(context.watermark)) << ", \"feedbackMessage\": "
            << Json(platform::system().MultiByteToWideChar(platform::CP_UTF8,
                                                           context.feedbackMessage))
            << "}" << std::endl;

  // The files and the counter reading go to the job's first record (a file of odd size to
  // the next id).
  std::int64_t target = context.recordIds.empty() ? 70 : context.recordIds[0].id;
  for (std::size_t size : {std::size_t{40000}, std::size_t{32767}, std::size_t{0}}) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7) & 0xFF);
    std::istringstream file(data);
    auto sent = gateway.SendFile(target + static_cast<std::int64_t>(size % 2), file);
    std::cout << "{\"file\": " << size << ", \"result\": " << Json(sent) << "}" << std::endl;
  }

  HardwareRecord hardware;
  hardware.deviceText1 = L"MFP-4000";
  hardware.deviceText2 = L"Recepção";
  hardware.deviceText3 = L"série 77";
  hardware.values[0] = 1000;
  hardware.values[1] = 20;
  hardware.values[2] = 30;
  hardware.values[5] = 60;
  hardware.a3Second = 8;
  hardware.readingTime = 46000.25;
  hardware.jobNumber = 31;
  std::cout << "{\"hardware\": " << Json(gateway.SendHardware(target, hardware)) << "}"
            << std::endl;
  std::cout << "{\"cancel\": " << Json(gateway.CancelJob(0x100000000LL + 11)) << "}" << std::endl;

  // Names the code page cannot hold, and one that looks like their wire form.
  report.userName = L"\u674e\u660e";            // 李明
  report.notifyName = L"\u738b\u82b3";          // 王芳
  report.documentName = L"a&#65;b \U0001F600";  // a literal reference and an emoji
  report.machineName = L"\\\\PC-\u0141";
  report.trackedB = false;
  JobContext names;
  std::cout << "{\"names\": " << Json(gateway.SendJob(report, &names)) << "}" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "serve") return Serve();
  if (args.size() == 3 && args[0] == "shapes") return Shapes(args[1], args[2]);
  if (args.size() == 3 && args[0] == "gateway") return Gateway(args[1], args[2]);
  std::cerr << "usage: contract_probe serve | shapes HOST EP | gateway HOST PORT\n";
  return 2;
}
