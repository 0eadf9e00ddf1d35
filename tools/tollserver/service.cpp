#include "tools/tollserver/service.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "agent/rpc/payloads.h"
#include "platform/platform.h"
#include "shared/rpc/status.h"

namespace tollserver {
namespace {

using namespace tollgate::remote;
using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

std::string Replace(std::string text, const std::string& key, const std::string& value) {
  for (std::size_t at = text.find(key); at != std::string::npos;
       at = text.find(key, at + value.size())) {
    text.replace(at, key.size(), value);
  }
  return text;
}

void Key(JsonWriter& w, const char* name) {
  w.Key(name);
}
void String(JsonWriter& w, const std::string& s) {
  w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

std::wstring WideOfUtf8(const std::string& text) {
  return platform::system().MultiByteToWideChar(platform::CP_UTF8, text);
}

// A page count from the wire, kept within what a job can hold.
std::int64_t Pages(std::int32_t n) {
  return std::clamp<std::int64_t>(n, 0, 1'000'000);
}

// The job's part records: the mono part first, then the colour part (the agent takes the
// first id for the mono pages and the second for the colour pages).
struct Part {
  const char* name;
  std::int64_t pages;
};

// A second, in days (OLE automation dates).
constexpr double kSameTime = 1.0 / 86400.0;

struct Decision {
  std::int16_t status = 0;
  std::string message;  // UTF-8
  std::string json;
};

}  // namespace

namespace {
std::atomic<unsigned> agentCodePage{platform::CP_ACP};
}  // namespace

void SetAgentCodePage(unsigned codePage) {
  agentCodePage = codePage;
}

std::string Utf8OfAnsi(const std::string& text) {
  return platform::system().WideCharToMultiByte(
      platform::CP_UTF8,
      DecodeCharacterReferences(platform::system().MultiByteToWideChar(agentCodePage, text)));
}

Service::Service(Ledger& ledger, Policy policy) : ledger_(ledger), policy_(std::move(policy)) {}

void Service::Write(const std::function<void(Database&)>& change) {
  try {
    ledger_.Write(change);
  } catch (const LedgerError& e) {
    std::cerr << "tollserver: " << e.what() << std::endl;
    ::rpc::RpcRaiseException(kLedgerFault);
  }
}

void Service::RegisterAgent(const ::rpc::CallContext& call, const RegisterAgentIn& in,
                            RegisterAgentOut* out) {
  std::string computer = Utf8OfAnsi(in.computerName);
  std::string address =
      platform::system().WideCharToMultiByte(platform::CP_UTF8, call.clientAddress);
  std::vector<std::string> names;
  for (const auto& q : in.queues) names.push_back(Utf8OfAnsi(q.queueName.value_or("")));
  std::int64_t clientId = 0;
  Write([&](Database& db) {
    db.Prepared(
          "INSERT INTO agents (computer_name, agent_kind, address, registered) "
          "VALUES (?, ?, ?, ?) ON CONFLICT (computer_name) DO UPDATE SET "
          "agent_kind = excluded.agent_kind, address = excluded.address, "
          "registered = excluded.registered")
        .Bind(1, computer)
        .Bind(2, std::int64_t{in.agentKind})
        .Bind(3, address)
        .Bind(4, LedgerTime())
        .Run();
    Statement& id = db.Prepared("SELECT client_id FROM agents WHERE computer_name = ?");
    id.Bind(1, computer);
    id.Step();
    clientId = id.Int(0);
    id.Reset();
    db.Prepared("DELETE FROM queues WHERE client_id = ?").Bind(1, clientId).Run();
    Statement& queue = db.Prepared(
        "INSERT INTO queues (client_id, position, name, port_address) VALUES (?, ?, ?, ?)");
    for (std::size_t i = 0; i < in.queues.size(); ++i) {
      queue.Bind(1, clientId).Bind(2, static_cast<std::int64_t>(i)).Bind(3, names[i]);
      if (in.queues[i].hasAddress && in.queues[i].portAddress)
        queue.Bind(4, Utf8OfAnsi(*in.queues[i].portAddress));
      else
        queue.BindNull(4);
      queue.Run();
    }
  });
  out->status = 0;
  out->clientId = static_cast<std::int32_t>(clientId);
  out->freeGbRequiredToArchive = policy_.freeGbRequiredToArchive;
  out->daysToKeepArchivedFile = policy_.daysToKeepArchivedFile;
  out->canQueryMfCopy = policy_.canQueryMfCopy;
  out->text.clear();
  rapidjson::StringBuffer buffer;
  JsonWriter json(buffer);
  json.StartObject();
  Key(json, "printers");
  json.StartArray();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const PrinterRules& rules = policy_.PrinterFor(names[i]);
    if (!rules.settings) continue;
    QueueSettings s;
    s.queueIndex = static_cast<std::int32_t>(i);
    s.id = rules.settings->id;
    s.language = rules.settings->language;
    s.identifyHardware = rules.settings->identifyHardware;
    if (rules.settings->snmpCommunity)
      s.snmpCommunity = platform::system().WideCharToMultiByte(
          agentCodePage, WideOfUtf8(*rules.settings->snmpCommunity));
    s.isToArchive = rules.settings->isToArchive;
    s.isToCheckCounterAfterPrint = rules.settings->isToCheckCounterAfterPrint;
    out->settings.push_back(s);
    json.StartObject();
    Key(json, "emfCopiesReading");
    json.Bool(rules.emfCopiesReading.value_or(true));
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  if (!out->settings.empty()) out->json.assign(buffer.GetString(), buffer.GetSize());
}

void Service::ReportJob(const ::rpc::CallContext&, const ReportJobIn& in, ReportJobOut* out) {
  std::string queue = Utf8OfAnsi(in.queueName);
  std::string user = Utf8OfAnsi(in.userName);
  const PrinterRules& rules = policy_.PrinterFor(queue);
  std::int64_t copies = std::max<std::int64_t>(Pages(in.copies), 1);
  std::int64_t mono = Pages(in.monoPages);
  std::int64_t colour = Pages(in.colourPages);
  if (mono == 0 && colour == 0) mono = Pages(in.pages);
  std::int64_t total = (mono + colour) * copies;
  auto cents = static_cast<std::int64_t>(
      std::llround(static_cast<double>(mono * copies) * policy_.monoPrice * 100.0 +
                   static_cast<double>(colour * copies) * policy_.colourPrice * 100.0));
  bool isColour = in.colour != 0 || colour > 0;
  const User* account = policy_.UserFor(user);

  Decision decision;
  std::vector<std::int32_t> ids;
  Write([&](Database& db) {
    decision = Decision{};
    ids.clear();
    // A job sent again from the agent's offline file that the ledger already holds gets the
    // answer it had, with its ids, and is not charged again.
    if (in.resent) {
      Statement& known = db.Prepared(
          "SELECT job_id, status, message, answer_json FROM jobs WHERE client_id = ? AND "
          "queue = ? AND spooler_job_id = ? AND submitted BETWEEN ? AND ? ORDER BY job_id "
          "LIMIT 1");
      known.Bind(1, std::int64_t{in.clientId})
          .Bind(2, queue)
          .Bind(3, std::int64_t{in.spoolerJobId});
      // The agent's offline file keeps the time as text to the microsecond: the same
      // submission time is the same within a second.
      known.Bind(4, in.submitted - kSameTime).Bind(5, in.submitted + kSameTime);
      if (known.Step()) {
        std::int64_t job = known.Int(0);
        decision.status = static_cast<std::int16_t>(known.Int(1));
        decision.message = known.Text(2);
        decision.json = known.Text(3);
        known.Reset();
        Statement& parts = db.Prepared(
            "SELECT server_job_id FROM job_records WHERE job_id = ? ORDER BY server_job_id");
        parts.Bind(1, job);
        while (parts.Step()) ids.push_back(static_cast<std::int32_t>(parts.Int(0)));
        parts.Reset();
        return;
      }
      known.Reset();
    }
    std::int64_t spent = 0;
    if (account != nullptr) {
      Statement& s = db.Prepared("SELECT cents FROM spent WHERE user_name = ?");
      s.Bind(1, user);
      if (s.Step()) spent = s.Int(0);
      s.Reset();
    }
    auto leftCents = [&](std::int64_t charged) {
      return std::llround(account->balance * 100.0) - spent - charged;
    };
    auto balanceLeft = [&](std::int64_t charged) {
      return static_cast<double>(leftCents(charged)) / 100.0;
    };
    auto fill = [&](std::string text) {
      text = Replace(std::move(text), "{pages}", std::to_string(total));
      text = Replace(std::move(text), "{cost}", Money(policy_, static_cast<double>(cents) / 100.0));
      return Replace(std::move(text), "{balance}",
                     account != nullptr
                         ? Money(policy_, balanceLeft(decision.status == 0 ? cents : 0))
                         : std::string("-"));
    };
    rapidjson::StringBuffer buffer;
    JsonWriter json(buffer);
    if (isColour && rules.colour != Action::kAllow) {
      decision.status = rules.colour == Action::kPause ? 15 : 16;
    } else if (in.duplex == 0 && total > 1 && rules.duplex != Action::kAllow) {
      decision.status = rules.duplex == Action::kPause ? 17 : 18;
    } else if (rules.publicKey) {
      decision.status = rules.unauthenticated ? 14 : 13;
      json.StartObject();
      Key(json, "publicKey");
      String(json, *rules.publicKey);
      json.EndObject();
    } else if (!rules.accounts.empty()) {
      decision.status = 6;
      json.StartObject();
      Key(json, "accounts");
      json.StartArray();
      for (const auto& a : rules.accounts) {
        json.StartObject();
        Key(json, "id");
        String(json, a.id);
        Key(json, "name");
        String(json, a.name);
        Key(json, "requireItem");
        json.Int(a.requireItem ? 1 : 0);
        json.EndObject();
      }
      json.EndArray();
      json.EndObject();
    } else if (rules.confirmAbove && total > *rules.confirmAbove) {
      decision.status = 12;
      decision.message = fill(rules.confirmMessage);
    } else if (rules.holdForRelease) {
      decision.status = 19;
    } else if (account != nullptr && leftCents(0) < cents) {
      decision.status = rules.insufficientBalance == Action::kPause ? 1 : 2;
    } else {
      decision.status = 0;
      if (!rules.watermark.empty() || rules.feedback) {
        json.StartObject();
        if (!rules.watermark.empty()) {
          Key(json, "watermark");
          String(json, rules.watermark);
        }
        if (rules.feedback) {
          Key(json, "feedbackMessage");
          String(json, fill(*rules.feedback));
        }
        json.EndObject();
      }
    }
    decision.json.assign(buffer.GetString(), buffer.GetSize());
    bool charged = decision.status == 0;
    Statement& insert = db.Prepared(
        "INSERT INTO jobs (received, client_id, queue, port_address, user_name, owner, "
        "network_port, submitted, pages, colour_pages, mono_pages, copies, document, "
        "spooler_job_id, paper_code, paper_name, colour, duplex, resent, fresh, agent_version, "
        "machine, language, one, reexamined, status, message, answer_json, cost_cents, charged) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
        "?, ?, ?)");
    insert.Bind(1, LedgerTime());
    insert.Bind(2, std::int64_t{in.clientId});
    insert.Bind(3, queue);
    insert.Bind(4, Utf8OfAnsi(in.portAddress));
    insert.Bind(5, user);
    insert.Bind(6, Utf8OfAnsi(in.owner));
    insert.Bind(7, std::int64_t{in.networkPort});
    insert.Bind(8, in.submitted);
    insert.Bind(9, std::int64_t{in.pages});
    insert.Bind(10, std::int64_t{in.colourPages});
    insert.Bind(11, std::int64_t{in.monoPages});
    insert.Bind(12, std::int64_t{in.copies});
    insert.Bind(13, Utf8OfAnsi(in.documentName));
    insert.Bind(14, std::int64_t{in.spoolerJobId});
    insert.Bind(15, std::int64_t{in.paperCode});
    insert.Bind(16, Utf8OfAnsi(in.paperName));
    insert.Bind(17, std::int64_t{in.colour});
    insert.Bind(18, std::int64_t{in.duplex});
    insert.Bind(19, std::int64_t{in.resent});
    insert.Bind(20, std::int64_t{in.fresh});
    insert.Bind(21, Utf8OfAnsi(in.agentVersion));
    insert.Bind(22, Utf8OfAnsi(in.machineName));
    insert.Bind(23, std::int64_t{in.language});
    insert.Bind(24, std::int64_t{in.one});
    insert.Bind(25, std::int64_t{in.reexamined});
    insert.Bind(26, std::int64_t{decision.status});
    insert.Bind(27, decision.message);
    insert.Bind(28, decision.json);
    // The cost is kept for a held job too: it is charged when the job is released later.
    insert.Bind(29, cents);
    insert.Bind(30, std::int64_t{charged ? 1 : 0});
    insert.Run();
    std::int64_t job = db.LastInsertId();
    Statement& part = db.Prepared("INSERT INTO job_records (job_id, part, pages) VALUES (?, ?, ?)");
    for (const Part& p : {Part{"mono", mono * copies}, Part{"colour", colour * copies}}) {
      if (p.pages == 0 && !(std::string(p.name) == "mono" && colour == 0)) continue;
      part.Bind(1, job).Bind(2, std::string(p.name)).Bind(3, p.pages).Run();
      std::int64_t id = db.LastInsertId();
      if (id > INT32_MAX) throw LedgerError("server job ids are used up");
      ids.push_back(static_cast<std::int32_t>(id));
    }
    if (charged && account != nullptr && cents != 0) {
      db.Prepared(
            "INSERT INTO spent (user_name, cents) VALUES (?, ?) ON CONFLICT (user_name) "
            "DO UPDATE SET cents = cents + excluded.cents")
          .Bind(1, user)
          .Bind(2, cents)
          .Run();
    }
  });
  out->serverJobIds = ids;
  out->status = decision.status;
  out->message = WideOfUtf8(decision.message);
  out->json = decision.json;
}

std::int16_t Service::CancelJob(const ::rpc::CallContext&, const CancelJobIn& in) {
  std::int16_t result = 1;
  Write([&](Database& db) {
    result = 1;
    Statement& find = db.Prepared(
        "SELECT j.job_id, j.user_name, j.cost_cents, j.charged, j.cancelled FROM job_records r "
        "JOIN jobs j ON j.job_id = r.job_id WHERE r.server_job_id = ?");
    find.Bind(1, std::int64_t{in.serverJobId});
    if (!find.Step()) {
      find.Reset();
      return;
    }
    std::int64_t job = find.Int(0);
    std::string user = find.Text(1);
    std::int64_t cents = find.Int(2);
    bool charged = find.Int(3) != 0;
    bool cancelled = find.Int(4) != 0;
    find.Reset();
    result = 0;
    if (cancelled) return;
    db.Prepared("UPDATE jobs SET cancelled = 1 WHERE job_id = ?").Bind(1, job).Run();
    if (charged && cents != 0) {
      db.Prepared("UPDATE spent SET cents = cents - ? WHERE user_name = ?")
          .Bind(1, cents)
          .Bind(2, user)
          .Run();
    }
  });
  return result;
}

std::int16_t Service::UploadFileChunk(const ::rpc::CallContext&, const UploadFileChunkIn& in) {
  std::int16_t result = 1;
  std::filesystem::path folder = ledger_.FilesFolder();
  Write([&](Database& db) {
    result = 1;
    Statement& known = db.Prepared("SELECT 1 FROM job_records WHERE server_job_id = ?");
    known.Bind(1, std::int64_t{in.serverJobId});
    bool found = known.Step();
    known.Reset();
    if (!found) return;
    std::string name = std::to_string(in.serverJobId) + ".spl";
    Statement& file = db.Prepared("SELECT bytes, complete FROM files WHERE server_job_id = ?");
    file.Bind(1, std::int64_t{in.serverJobId});
    std::int64_t bytes = 0;
    bool complete = false;
    if (file.Step()) {
      bytes = file.Int(0);
      complete = file.Int(1) != 0;
    }
    file.Reset();
    // A file sent again after it was complete starts anew.
    if (complete) bytes = 0;
    if (bytes + static_cast<std::int64_t>(in.data.size()) > kMaxUpload)
      throw LedgerError("upload of " + name + " beyond " + std::to_string(kMaxUpload) + " bytes");
    std::ofstream out(folder / name, bytes == 0 ? std::ios::binary | std::ios::trunc
                                                : std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(in.data.data()),
              static_cast<std::streamsize>(in.data.size()));
    out.flush();
    if (!out) throw LedgerError("cannot write " + (folder / name).string());
    bytes += static_cast<std::int64_t>(in.data.size());
    db.Prepared(
          "INSERT INTO files (server_job_id, name, bytes, complete) VALUES (?, ?, ?, ?) "
          "ON CONFLICT (server_job_id) DO UPDATE SET bytes = excluded.bytes, "
          "complete = excluded.complete")
        .Bind(1, std::int64_t{in.serverJobId})
        .Bind(2, name)
        .Bind(3, bytes)
        .Bind(4, std::int64_t{in.last != 0 ? 1 : 0})
        .Run();
    result = 0;
  });
  return result;
}

std::int16_t Service::ReportHardwareCounters(const ::rpc::CallContext&,
                                             const ReportHardwareCountersIn& in) {
  std::int16_t result = 1;
  rapidjson::StringBuffer buffer;
  JsonWriter json(buffer);
  json.StartArray();
  for (const auto& line : in.snapshot.lines) {
    json.StartObject();
    Key(json, "first");
    json.Int(line.first);
    Key(json, "second");
    json.Int(line.second);
    Key(json, "kind");
    json.Int(line.kind);
    Key(json, "paperSize");
    if (line.paperSize)
      String(json, Utf8OfAnsi(*line.paperSize));
    else
      json.Null();
    json.EndObject();
  }
  json.EndArray();
  std::string lines(buffer.GetString(), buffer.GetSize());
  Write([&](Database& db) {
    result = 1;
    Statement& known = db.Prepared("SELECT 1 FROM job_records WHERE server_job_id = ?");
    known.Bind(1, std::int64_t{in.link.storeRecordId});
    bool found = known.Step();
    known.Reset();
    if (!found) return;
    Statement& insert = db.Prepared(
        "INSERT INTO counters (received, server_job_id, job_number, has_job_number, "
        "device_text1, device_text2, device_text3, value1, value2, reading_time, lines) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.Bind(1, LedgerTime()).Bind(2, std::int64_t{in.link.storeRecordId});
    insert.Bind(3, std::int64_t{in.link.jobNumber}).Bind(4, std::int64_t{in.hasJobNumber});
    for (int i = 0; i < 3; ++i) {
      if (in.snapshot.deviceText[i])
        insert.Bind(5 + i, Utf8OfAnsi(*in.snapshot.deviceText[i]));
      else
        insert.BindNull(5 + i);
    }
    insert.Bind(8, std::int64_t{in.snapshot.value1}).Bind(9, std::int64_t{in.snapshot.value2});
    insert.Bind(10, in.snapshot.readingTime).Bind(11, lines);
    insert.Run();
    result = 0;
  });
  return result;
}

}  // namespace tollserver
