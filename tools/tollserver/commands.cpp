#include "tools/tollserver/commands.h"

#include <chrono>
#include <cmath>
#include <ostream>

#include "agent/rpc/interfaces.h"
#include "platform/platform.h"
#include "shared/error/error_result.h"
#include "shared/rpc/rpc.h"

namespace tollserver {
namespace {

using namespace tollgate::remote;

constexpr std::int32_t kPause = 1;
constexpr std::int32_t kResume = 2;
constexpr std::int32_t kDelete = 5;
constexpr std::chrono::milliseconds kMapperTimeout{3000};
constexpr std::uint32_t kCallTimeoutMs = 15000;

std::wstring Wide(const std::string& utf8) {
  return platform::system().MultiByteToWideChar(platform::CP_UTF8, utf8);
}

std::string Narrow(const std::wstring& text) {
  return platform::system().WideCharToMultiByte(platform::CP_UTF8, text);
}

struct HeldJob {
  bool found = false;
  bool settled = false;  // released, deleted, given to another owner or examined again
  std::int64_t status = 0;
  bool cancelled = false;
  std::string queue;
  std::int64_t spoolerJobId = 0;
  std::string user;
  std::int64_t cents = 0;
  std::string agent;
  std::string address;
};

const char* Name(JobCommand command) {
  switch (command) {
    case JobCommand::kRelease:
      return "released";
    case JobCommand::kDelete:
      return "deleted";
    case JobCommand::kPause:
      return "paused";
    case JobCommand::kOwner:
      return "owner";
    case JobCommand::kReexamine:
      return "reexamined";
  }
  return "";
}

// The agent's endpoint: the one its host's endpoint mapper knows, else the fixed one.
std::wstring AgentEndpoint(const std::wstring& host) {
  std::uint16_t port = 0;
  if (::rpc::EptMap(host, AgentJobControlId(), kMapperTimeout, &port) == ::rpc::RPC_S_OK)
    return std::to_wstring(port);
  return L"7002";
}

std::string StatusText(::rpc::RPC_STATUS status) {
  return Narrow(tollgate::WindowsErrorResult(static_cast<std::uint32_t>(status))->Text());
}

}  // namespace

std::string WaitingFor(std::int64_t status) {
  switch (status) {
    case 1:
      return "balance";
    case 6:
      return "cost centre";
    case 12:
      return "confirmation";
    case 13:
      return "authorization";
    case 14:
      return "authentication";
    case 15:
      return "colour allowed";
    case 17:
      return "duplex";
    case 19:
      return "release at the printer";
    default:
      return "";
  }
}

int PrintHeld(Database& db, const Policy& policy, std::ostream& out) {
  Statement s(db.Handle(),
              "SELECT j.job_id, a.computer_name, j.queue, j.spooler_job_id, j.user_name, "
              "j.document, j.pages, j.copies, j.cost_cents, j.status FROM jobs j LEFT JOIN agents "
              "a ON a.client_id = j.client_id WHERE j.charged = 0 AND j.cancelled = 0 AND NOT "
              "EXISTS (SELECT 1 FROM commands c WHERE c.job_id = j.job_id AND c.command <> "
              "'paused') ORDER BY j.job_id");
  out << "job\tagent\tprinter\tspooler job\tuser\tdocument\tpages\tcopies\tcost\twaiting for\n";
  while (s.Step()) {
    std::string waiting = WaitingFor(s.Int(9));
    if (waiting.empty()) continue;
    out << s.Int(0) << '\t' << s.Text(1) << '\t' << s.Text(2) << '\t' << s.Int(3) << '\t'
        << s.Text(4) << '\t' << s.Text(5) << '\t' << s.Int(6) << '\t' << s.Int(7) << '\t'
        << Money(policy, static_cast<double>(s.Int(8)) / 100.0) << '\t' << waiting << '\n';
  }
  return 0;
}

int CommandJob(Ledger& ledger, const Policy& policy, std::int64_t job, JobCommand command,
               const std::string& user, std::ostream& out, std::ostream& err,
               const std::string& from) {
  HeldJob held;
  try {
    ledger.Write([&](Database& db) {
      Statement& find = db.Prepared(
          "SELECT j.status, j.cancelled, j.charged, j.queue, j.spooler_job_id, j.user_name, "
          "j.cost_cents, a.computer_name, a.address, EXISTS (SELECT 1 FROM commands c WHERE "
          "c.job_id = j.job_id AND c.command <> 'paused') FROM jobs j LEFT JOIN agents a ON "
          "a.client_id = j.client_id WHERE j.job_id = ?");
      find.Bind(1, job);
      if (find.Step()) {
        held.found = true;
        held.status = find.Int(0);
        held.cancelled = find.Int(1) != 0;
        held.settled = find.Int(2) != 0 || find.Int(9) != 0;
        held.queue = find.Text(3);
        held.spoolerJobId = find.Int(4);
        held.user = find.Text(5);
        held.cents = find.Int(6);
        held.agent = find.Text(7);
        held.address = find.Text(8);
      }
      find.Reset();
    });
  } catch (const LedgerError& e) {
    err << "tollserver: " << e.what() << std::endl;
    return 1;
  }
  if (!held.found) {
    err << "tollserver: the ledger has no job " << job << std::endl;
    return 1;
  }
  if (held.cancelled || held.settled || WaitingFor(held.status).empty()) {
    err << "tollserver: job " << job << " is not held" << std::endl;
    return 1;
  }
  if (held.address.empty()) {
    err << "tollserver: job " << job << " has no agent address" << std::endl;
    return 1;
  }

  std::wstring host = Wide(held.address);
  std::wstring queue = Wide(held.queue);
  auto jobId = static_cast<std::int32_t>(held.spoolerJobId);
  Writer in;
  std::uint16_t opnum = jobcontrol::kSetJobCommand;
  switch (command) {
    case JobCommand::kRelease:
    case JobCommand::kDelete:
    case JobCommand::kPause:
      SetJobCommandIn{jobId,
                      command == JobCommand::kRelease  ? kResume
                      : command == JobCommand::kDelete ? kDelete
                                                       : kPause,
                      queue}
          .Write(in);
      break;
    case JobCommand::kOwner:
      opnum = jobcontrol::kChangeJobOwner;
      ChangeJobOwnerIn{jobId, Wide(user), queue}.Write(in);
      break;
    case JobCommand::kReexamine:
      opnum = jobcontrol::kReexamineJob;
      ReexamineJobIn{queue, jobId}.Write(in);
      break;
  }
  std::wstring endpoint = AgentEndpoint(host);
  ::rpc::RPC_STATUS status = ::rpc::RpcTryExcept([&] {
    ::rpc::Binding binding(host, endpoint);
    binding.SetCallTimeout(kCallTimeoutMs);
    binding.SetSourceAddress(Wide(from));
    binding.Call(AgentJobControlId(), opnum, in.Data());
  });
  if (status != ::rpc::RPC_S_OK) {
    err << "tollserver: job " << job << ": the agent " << held.agent << " at " << held.address
        << "[" << Narrow(endpoint) << "] did not take the command: " << StatusText(status)
        << std::endl;
    return 1;
  }

  try {
    ledger.Write([&](Database& db) {
      db.Prepared("INSERT INTO commands (job_id, at, command, detail) VALUES (?, ?, ?, ?)")
          .Bind(1, job)
          .Bind(2, LedgerTime())
          .Bind(3, std::string(Name(command)))
          .Bind(4, command == JobCommand::kOwner ? user : std::string())
          .Run();
      if (command != JobCommand::kRelease) return;
      // Released: charged now, as a job the server let print at once.
      db.Prepared("UPDATE jobs SET charged = 1 WHERE job_id = ?").Bind(1, job).Run();
      if (held.cents != 0 && policy.UserFor(held.user) != nullptr) {
        db.Prepared(
              "INSERT INTO spent (user_name, cents) VALUES (?, ?) ON CONFLICT (user_name) "
              "DO UPDATE SET cents = cents + excluded.cents")
            .Bind(1, held.user)
            .Bind(2, held.cents)
            .Run();
      }
    });
  } catch (const LedgerError& e) {
    err << "tollserver: job " << job << " was " << Name(command)
        << " but the ledger could not record it: " << e.what() << std::endl;
    return 1;
  }
  out << "job " << job << ": " << Name(command);
  if (command == JobCommand::kOwner) out << " " << user;
  out << std::endl;
  return 0;
}

}  // namespace tollserver
