// The reference server's decisions, ledger and policy, called directly; its wire form against
// an independent client is in tollserver_impacket_test.py.
#include <gtest/gtest.h>

#include <fstream>

#include "agent/rpc/payloads.h"
#include "platform/platform.h"
#include "testing/machine_fixture.h"
#include "tools/tollserver/ledger.h"
#include "tools/tollserver/policy.h"
#include "tools/tollserver/service.h"

namespace tollserver {
namespace {

using namespace tollgate::remote;

const char* kPolicy = R"({
  "prices": {"mono": 0.10, "colour": 0.50},
  "users": {"maria": {"balance": 1.00, "group": "financeiro"},
            "pobre": {"balance": 0.05}},
  "defaultUser": {"balance": 100},
  "defaultPrinter": {"feedback": true},
  "printers": {
    "Cor proibida": {"colour": "pause"},
    "Cor apagada": {"colour": "delete"},
    "Frente e verso": {"duplex": "pause"},
    "Frente e verso apaga": {"duplex": "delete"},
    "Liberação": {"holdForRelease": true},
    "Centro de custo": {"accounts": [{"id": "c1", "name": "Água", "requireItem": true},
                                     {"id": "c2", "name": "Luz"}]},
    "Autorização": {"authentication": {"publicKey": "QUJD"}},
    "Autenticação": {"authentication": {"publicKey": "REVG", "unauthenticated": true}},
    "Confirmação": {"confirmAbove": 5, "confirmMessage": "Imprimir {pages} páginas ({cost})?"},
    "Apaga sem saldo": {"insufficientBalance": "delete"},
    "Marca": {"watermark": "CONFIDENCIAL", "feedback": "Custo {cost}, saldo {balance}",
              "settings": {"Id": 900, "Language": 12, "SnmpCommunity": "priv"},
              "emfCopiesReading": false}
  }
})";

class ServiceTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    ledger_ = std::make_unique<Ledger>(Folder() / "data");
    service_ = std::make_unique<Service>(*ledger_, ParsePolicy(kPolicy, "test policy"));
  }

  ReportJobOut Report(const std::string& queue, const std::string& user, std::int32_t mono,
                      std::int32_t colour, std::int32_t copies, bool duplex = false,
                      std::uint8_t resent = 0, std::int32_t spoolerJobId = 31,
                      double submitted = 46000.5) {
    ReportJobIn in;
    in.clientId = 1;
    in.queueName = Ansi(queue);
    in.userName = user;
    in.owner = user;
    in.pages = mono + colour;
    in.monoPages = mono;
    in.colourPages = colour;
    in.copies = copies;
    in.colour = colour > 0 ? 1 : 0;
    in.duplex = duplex ? 1 : 0;
    in.resent = resent;
    in.spoolerJobId = spoolerJobId;
    in.submitted = submitted;
    ReportJobOut out;
    service_->ReportJob(call_, in, &out);
    return out;
  }
  // UTF-8 to the agent's code page.
  static std::string Ansi(const std::string& utf8) {
    return Narrow(platform::system().MultiByteToWideChar(platform::CP_UTF8, utf8));
  }

  ::rpc::CallContext call_;
  std::unique_ptr<Ledger> ledger_;
  std::unique_ptr<Service> service_;
};

TEST_F(ServiceTest, EveryStatusOfTheTableComesFromSomePolicy) {
  struct Case {
    const char* queue;
    const char* user;
    std::int32_t mono, colour, copies;
    bool duplex;
    std::int16_t status;
    const char* json;
  };
  const Case cases[] = {
      {"Geral", "joao", 2, 0, 1, false, 0,
       R"({"feedbackMessage":"Custo: R$ 0,20. Saldo: R$ 99,80."})"},
      {"Geral", "pobre", 1, 0, 1, false, 1, ""},
      {"Apaga sem saldo", "pobre", 1, 0, 1, false, 2, ""},
      {"Centro de custo", "joao", 1, 0, 1, false, 6,
       R"({"accounts":[{"id":"c1","name":"Água","requireItem":1},{"id":"c2","name":"Luz","requireItem":0}]})"},
      {"Confirmação", "joao", 3, 0, 2, false, 12, ""},
      {"Autorização", "joao", 1, 0, 1, false, 13, R"({"publicKey":"QUJD"})"},
      {"Autenticação", "joao", 1, 0, 1, false, 14, R"({"publicKey":"REVG"})"},
      {"Cor proibida", "joao", 1, 1, 1, false, 15, ""},
      {"Cor apagada", "joao", 0, 1, 1, false, 16, ""},
      {"Frente e verso", "joao", 2, 0, 1, false, 17, ""},
      {"Frente e verso apaga", "joao", 2, 0, 1, false, 18, ""},
      {"Liberação", "joao", 1, 0, 1, false, 19, ""},
      // The rules let a job through when it is not what they forbid.
      {"Cor proibida", "joao", 1, 0, 1, false, 0, nullptr},
      {"Frente e verso", "joao", 2, 0, 1, true, 0, nullptr},
      {"Confirmação", "joao", 5, 0, 1, false, 0, nullptr},
  };
  std::int32_t job = 100;
  for (const auto& c : cases) {
    auto out = Report(c.queue, c.user, c.mono, c.colour, c.copies, c.duplex, 0, job++);
    EXPECT_EQ(out.status, c.status) << c.queue << " " << c.user;
    if (c.json != nullptr) {
      EXPECT_EQ(out.json, c.json) << c.queue;
    }
    EXPECT_FALSE(out.serverJobIds.empty()) << c.queue;
    if (c.status == 12) {
      EXPECT_EQ(out.message, L"Imprimir 6 páginas (R$ 0,60)?");
    }
  }
}

TEST_F(ServiceTest, ChargesOnlyAcceptedJobsOnceAndRefundsCancelledOnes) {
  // maria has R$ 1,00: a job of 3 mono and 1 colour page, 2 copies, costs R$ 1,60.
  auto tooDear = Report("Marca", "maria", 3, 1, 2);
  EXPECT_EQ(tooDear.status, 1);
  auto first = Report("Marca", "maria", 3, 1, 1, false, 0, 40);  // R$ 0,80
  ASSERT_EQ(first.status, 0);
  ASSERT_EQ(first.serverJobIds.size(), 2u);  // a mono record and a colour record
  EXPECT_EQ(first.json,
            R"({"watermark":"CONFIDENCIAL","feedbackMessage":"Custo R$ 0,80, saldo R$ 0,20"})");
  // The same job again from the agent's offline file (its time read back from text): its
  // ids, no second charge. Another submission time is another job.
  auto again = Report("Marca", "maria", 3, 1, 1, false, 1, 40, 46000.5 + 0.3 / 86400);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.serverJobIds, first.serverJobIds);
  EXPECT_EQ(Report("Marca", "maria", 3, 1, 1, false, 1, 40, 46000.5 + 5.0 / 86400).status, 1);
  auto second = Report("Marca", "maria", 2, 0, 1, false, 0, 41);  // R$ 0,20 left: exactly
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(Report("Marca", "maria", 1, 0, 1, false, 0, 42).status, 1);
  // Cancelling the first job gives its R$ 0,80 back.
  EXPECT_EQ(service_->CancelJob(call_, CancelJobIn{first.serverJobIds[1]}), 0);
  EXPECT_EQ(service_->CancelJob(call_, CancelJobIn{first.serverJobIds[1]}), 0);  // once only
  EXPECT_EQ(service_->CancelJob(call_, CancelJobIn{999999}), 1);
  EXPECT_EQ(Report("Marca", "maria", 8, 0, 1, false, 0, 43).status, 0);
  EXPECT_EQ(Report("Marca", "maria", 1, 0, 1, false, 0, 44).status, 1);
}

TEST_F(ServiceTest, RegistrationGivesTheSettingsOfThePrintersThatHaveThem) {
  RegisterAgentIn in;
  in.computerName = "TOLLSRV01";
  in.queues = {{"Geral", std::nullopt, 0}, {"Marca", "10.0.0.7", 1}};
  RegisterAgentOut out;
  service_->RegisterAgent(call_, in, &out);
  EXPECT_GT(out.clientId, 0);
  ASSERT_EQ(out.settings.size(), 1u);
  EXPECT_EQ(out.settings[0], (QueueSettings{1, 900, 12, 0, "priv", 0, 0, 0}));
  EXPECT_EQ(out.json, R"({"printers":[{"emfCopiesReading":false}]})");
  EXPECT_EQ(out.freeGbRequiredToArchive, 2);
  EXPECT_EQ(out.daysToKeepArchivedFile, 30);
  RegisterAgentOut again;
  service_->RegisterAgent(call_, in, &again);
  EXPECT_EQ(again.clientId, out.clientId);  // the same agent keeps its id
  in.computerName = "OUTRO";
  service_->RegisterAgent(call_, in, &again);
  EXPECT_NE(again.clientId, out.clientId);
}

TEST_F(ServiceTest, CountersAndFilesBelongToKnownJobsOnly) {
  auto job = Report("Geral", "joao", 1, 0, 1);
  ReportHardwareCountersIn reading;
  reading.link.storeRecordId = job.serverJobIds.at(0);
  EXPECT_EQ(service_->ReportHardwareCounters(call_, reading), 0);
  reading.link.storeRecordId = 424242;
  EXPECT_EQ(service_->ReportHardwareCounters(call_, reading), 1);
  UploadFileChunkIn chunk{job.serverJobIds.at(0), std::vector<std::uint8_t>(32767, 'a'), 0};
  EXPECT_EQ(service_->UploadFileChunk(call_, chunk), 0);
  chunk.data.assign(3, 'b');
  chunk.last = 1;
  EXPECT_EQ(service_->UploadFileChunk(call_, chunk), 0);
  auto path = ledger_->FilesFolder() / (std::to_string(job.serverJobIds.at(0)) + ".spl");
  EXPECT_EQ(std::filesystem::file_size(path), 32770u);
  chunk.serverJobId = 424242;
  EXPECT_EQ(service_->UploadFileChunk(call_, chunk), 1);
}

TEST(PolicyTest, WrongTypesAreClearErrorsNamingTheMember) {
  struct Case {
    const char* json;
    const char* error;
  };
  const Case cases[] = {
      {"[]", "\"(top)\" must be an object"},
      {R"({"prices":{"mono":"0,10"}})", "\"prices.mono\" must be a number"},
      {R"({"prices":{"mono":-1}})", "\"prices.mono\" is out of range"},
      {R"({"users":{"ana":{"balance":true}}})", "\"users.ana.balance\" must be a number"},
      {R"({"printers":{"P":{"colour":"forbid"}}})",
       "\"printers.P.colour\" must be \"allow\", \"pause\" or \"delete\""},
      {R"({"printers":{"P":{"confirmAbove":2.5}}})",
       "\"printers.P.confirmAbove\" must be an integer"},
      {R"({"printers":{"P":{"accounts":[{"name":"x"}]}}})",
       "\"printers.P.accounts[0].id\" is missing"},
      {R"({"printers":{"P":{"settings":{"Language":70000}}}})",
       "\"printers.P.settings.Language\" is out of range"},
      {R"({"printers":{"P":{"colours":"pause"}}})",
       "\"printers.P.colours\" is not a policy member"},
      {R"({"prices":)", "not JSON at offset"},
  };
  for (const auto& c : cases) {
    try {
      ParsePolicy(c.json, "p.json");
      ADD_FAILURE() << c.json << " was taken";
    } catch (const PolicyError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("p.json: ", 0), 0u) << e.what();
    }
  }
  // The default policy (no file) accepts every job and knows no user.
  Policy none;
  EXPECT_EQ(none.UserFor("anyone"), nullptr);
}

TEST(LedgerTest, AFileThatIsNotALedgerIsRefusedAndLeftAsItIs) {
  tollgate::testing::TempMachine machine;
  auto folder = machine.Folder() / "data";
  std::filesystem::create_directories(folder);
  const std::string junk = "this is not a database, but it is someone's file\n";
  tollgate::testing::WriteBytes(Ledger::DatabasePath(folder), junk);
  try {
    Ledger ledger(folder);
    ADD_FAILURE() << "taken";
  } catch (const LedgerError& e) {
    EXPECT_NE(std::string(e.what()).find("not a database"), std::string::npos) << e.what();
  }
  EXPECT_EQ(tollgate::testing::ReadBytes(Ledger::DatabasePath(folder)), junk);
}

}  // namespace
}  // namespace tollserver
