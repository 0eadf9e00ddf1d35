// tollserver: the reference central accounting server. Serves CentralServerInterface on TCP
// port 7000 (--port N; 0 for a dynamic port), keeps its ledger in the data folder (--data
// DIR, the current folder unless given) and decides each job by its policy (--policy FILE;
// without one every job is accepted); the agents' narrow texts are in this machine's ANSI code
// page unless --codepage N names theirs. `tollserver jobs|balance|report|held` print the ledger;
// `tollserver release|delete|pause|reexamine JOB` and `tollserver owner JOB USER` command a
// held job through the agent that reported it. --address A: the server's own address, the one
// it listens on and its commands leave from (an agent takes commands from the addresses it
// knows its server by); every address of the machine unless given.
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "shared/rpc/rpc.h"
#include "tools/tollserver/commands.h"
#include "tools/tollserver/ledger.h"
#include "tools/tollserver/policy.h"
#include "tools/tollserver/service.h"

namespace {

using namespace tollserver;

std::atomic<bool> stopRequested{false};

extern "C" void OnSignal(int) {
  stopRequested = true;
}

int Usage() {
  std::cerr << "usage: tollserver [--port N] [--address A] [--data DIR] [--policy FILE]"
               " [--codepage N]\n"
               "       tollserver jobs|balance|report|held [--data DIR] [--policy FILE]\n"
               "       tollserver release|delete|pause|reexamine JOB [--data DIR] [--policy FILE]"
               " [--mapper-port N] [--address A]\n"
               "       tollserver owner JOB USER [--data DIR] [--policy FILE] [--mapper-port N]"
               " [--address A]\n";
  return 2;
}

bool ParsePort(const std::string& text, unsigned long* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned long>(c - '0');
  }
  if (v > 65535) return false;
  *port = v;
  return true;
}

std::string Money(const Policy& policy, std::int64_t cents) {
  return tollserver::Money(policy, static_cast<double>(cents) / 100.0);
}

int PrintJobs(Database& db, const Policy& policy) {
  Statement s(db.Handle(),
              "SELECT j.job_id, j.received, a.computer_name, j.queue, j.user_name, j.document, "
              "j.pages, j.colour_pages, j.mono_pages, j.copies, j.status, j.cost_cents, "
              "j.charged, j.cancelled, j.resent, (SELECT group_concat(server_job_id, ',') FROM "
              "job_records r WHERE r.job_id = j.job_id) FROM jobs j LEFT JOIN agents a ON "
              "a.client_id = j.client_id ORDER BY j.job_id");
  std::cout << "job\treceived\tagent\tprinter\tuser\tdocument\tpages\tcolour\tmono\tcopies\t"
               "status\tcost\tserver ids\n";
  while (s.Step()) {
    std::string cost = s.Int(12) != 0 ? Money(policy, s.Int(11)) : "-";
    if (s.Int(13) != 0) cost += " (cancelled)";
    std::cout << s.Int(0) << '\t' << s.Text(1) << '\t' << s.Text(2) << '\t' << s.Text(3) << '\t'
              << s.Text(4) << '\t' << s.Text(5) << '\t' << s.Int(6) << '\t' << s.Int(7) << '\t'
              << s.Int(8) << '\t' << s.Int(9) << '\t' << s.Int(10) << '\t' << cost << '\t'
              << s.Text(15) << '\n';
  }
  return 0;
}

int PrintBalance(Database& db, const Policy& policy) {
  std::map<std::string, std::int64_t> spent;
  Statement s(db.Handle(), "SELECT user_name, cents FROM spent");
  while (s.Step()) spent[s.Text(0)] = s.Int(1);
  std::cout << "user\tgroup\tbalance\tspent\tleft\n";
  std::map<std::string, bool> shown;
  for (const auto& [name, user] : policy.users) {
    std::int64_t initial = std::llround(user.balance * 100.0);
    std::int64_t used = spent.count(name) ? spent[name] : 0;
    std::cout << name << '\t' << user.group << '\t' << Money(policy, initial) << '\t'
              << Money(policy, used) << '\t' << Money(policy, initial - used) << '\n';
    shown[name] = true;
  }
  for (const auto& [name, used] : spent) {
    if (shown.count(name)) continue;
    const User* user = policy.UserFor(name);
    std::int64_t initial = user != nullptr ? std::llround(user->balance * 100.0) : 0;
    std::cout << name << '\t' << (user != nullptr ? user->group : "") << '\t'
              << Money(policy, initial) << '\t' << Money(policy, used) << '\t'
              << Money(policy, initial - used) << '\n';
  }
  return 0;
}

int PrintReport(Database& db, const Policy& policy) {
  const char* kinds[][2] = {{"user", "user_name"}, {"printer", "queue"}};
  for (const auto& kind : kinds) {
    std::string sql = std::string("SELECT ") + kind[1] +
                      ", count(*), sum(pages * copies), sum(colour_pages * copies), "
                      "sum(cost_cents) FROM jobs WHERE charged = 1 AND cancelled = 0 GROUP BY " +
                      kind[1] + " ORDER BY " + kind[1];
    Statement s(db.Handle(), sql.c_str());
    std::cout << kind[0] << "\tjobs\tpages\tcolour pages\tcost\n";
    while (s.Step()) {
      std::cout << s.Text(0) << '\t' << s.Int(1) << '\t' << s.Int(2) << '\t' << s.Int(3) << '\t'
                << Money(policy, s.Int(4)) << '\n';
    }
    std::cout << '\n';
  }
  return 0;
}

int Serve(unsigned long port, const std::string& address, const std::filesystem::path& data,
          Policy policy) {
  std::unique_ptr<Ledger> ledger;
  try {
    ledger = std::make_unique<Ledger>(data);
  } catch (const LedgerError& e) {
    std::cerr << "tollserver: " << e.what() << std::endl;
    return 1;
  }
  auto service = std::make_shared<Service>(*ledger, std::move(policy));
  rpc::Server server;
  // The calls of this interface are small: the largest is an upload chunk of 32 KiB.
  server.SetMaxMessage(64u << 10);
  if (!address.empty())
    server.SetListenAddress(platform::system().MultiByteToWideChar(platform::CP_UTF8, address));
  rpc::RPC_STATUS status =
      port == 0 ? server.UseProtseq(L"ncacn_ip_tcp", rpc::RPC_C_PROTSEQ_MAX_REQS_DEFAULT)
                : server.UseProtseqEp(L"ncacn_ip_tcp", rpc::RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                      std::to_wstring(port));
  if (status != rpc::RPC_S_OK) {
    std::cerr << "tollserver: cannot use port " << port
              << (address.empty() ? std::string() : " on " + address) << ": RPC status " << status
              << std::endl;
    return 1;
  }
  server.RegisterIf(tollgate::remote::CentralServer(service),
                    rpc::RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT);
  status = server.Listen(1, rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT, true);
  if (status != rpc::RPC_S_OK) {
    std::cerr << "tollserver: cannot listen: RPC status " << status << std::endl;
    return 1;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::cerr << "tollserver: listening on ncacn_ip_tcp port " << server.Ports().at(0) << ", ledger "
            << Ledger::DatabasePath(data).string() << std::endl;
  while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server.StopListening();
  server.WaitListen();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command;
  std::vector<std::string> operands;
  unsigned long port = 7000;
  unsigned long mapperPort = 0;
  std::filesystem::path data = ".";
  std::string policyFile;
  std::string address;
  int i = 1;
  if (argc > 1 && argv[1][0] != '-') command = argv[i++];
  const std::map<std::string, std::pair<JobCommand, std::size_t>> jobCommands = {
      {"release", {JobCommand::kRelease, 1}},
      {"delete", {JobCommand::kDelete, 1}},
      {"pause", {JobCommand::kPause, 1}},
      {"reexamine", {JobCommand::kReexamine, 1}},
      {"owner", {JobCommand::kOwner, 2}}};
  auto jobCommand = jobCommands.find(command);
  if (jobCommand != jobCommands.end()) {
    for (std::size_t n = 0; n < jobCommand->second.second && i < argc && argv[i][0] != '-'; ++n)
      operands.push_back(argv[i++]);
    if (operands.size() != jobCommand->second.second) return Usage();
  }
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc && command.empty()) {
      if (!ParsePort(argv[++i], &port)) return Usage();
    } else if (arg == "--codepage" && i + 1 < argc && command.empty()) {
      // The agents' ANSI code page, where it is not this machine's.
      unsigned long codePage = 0;
      if (!ParsePort(argv[++i], &codePage) || codePage == 0) return Usage();
      SetAgentCodePage(static_cast<unsigned>(codePage));
    } else if (arg == "--mapper-port" && i + 1 < argc && jobCommand != jobCommands.end()) {
      if (!ParsePort(argv[++i], &mapperPort) || mapperPort == 0) return Usage();
    } else if (arg == "--address" && i + 1 < argc &&
               (command.empty() || jobCommand != jobCommands.end())) {
      address = argv[++i];
    } else if (arg == "--data" && i + 1 < argc) {
      data = argv[++i];
    } else if (arg == "--policy" && i + 1 < argc) {
      policyFile = argv[++i];
    } else {
      return Usage();
    }
  }
  if (!command.empty() && command != "jobs" && command != "balance" && command != "report" &&
      command != "held" && jobCommand == jobCommands.end())
    return Usage();
  Policy policy;
  if (!policyFile.empty()) {
    try {
      policy = LoadPolicy(policyFile);
    } catch (const PolicyError& e) {
      std::cerr << "tollserver: policy " << e.what() << std::endl;
      return 2;
    }
  }
  if (command.empty()) return Serve(port, address, data, std::move(policy));
  std::filesystem::path file = Ledger::DatabasePath(data);
  if (!std::filesystem::exists(file)) {
    std::cerr << "tollserver: no ledger at " << file.string() << std::endl;
    return 1;
  }
  try {
    if (jobCommand != jobCommands.end()) {
      std::int64_t job = 0;
      try {
        std::size_t used = 0;
        job = std::stoll(operands[0], &used);
        if (used != operands[0].size() || job <= 0) return Usage();
      } catch (const std::exception&) {
        return Usage();
      }
      if (mapperPort != 0) rpc::SetEndpointMapperPort(static_cast<std::uint16_t>(mapperPort));
      Ledger ledger(data);
      return CommandJob(ledger, policy, job, jobCommand->second.first,
                        operands.size() > 1 ? operands[1] : std::string(), std::cout, std::cerr,
                        address);
    }
    // Opened for writing: a ledger made before the commands existed gets their table.
    Database db(file, true);
    if (command == "jobs") return PrintJobs(db, policy);
    if (command == "balance") return PrintBalance(db, policy);
    if (command == "held") return PrintHeld(db, policy, std::cout);
    return PrintReport(db, policy);
  } catch (const LedgerError& e) {
    std::cerr << "tollserver: " << e.what() << std::endl;
    return 1;
  }
}
