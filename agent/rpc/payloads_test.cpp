#include "agent/rpc/payloads.h"

#include <gtest/gtest.h>

#include <set>

#include "agent/config/registry_values.h"
#include "agent/config/settings.h"
#include "platform/platform.h"
#include "testing/machine_fixture.h"

namespace tollgate::remote {
namespace {

using config::PrinterKey;
using config::RegistryKey;

class PayloadsTest : public tollgate::testing::MachineTest {
 protected:
  std::optional<std::wstring> Get(const std::wstring& path, const std::wstring& name) {
    RegistryKey key;
    if (key.Open(path, platform::KEY_READ) != platform::ERROR_SUCCESS) return std::nullopt;
    return key.ReadString(name);
  }
};

JobReport Report(std::int32_t pages, std::int32_t mono, std::int32_t colour, std::int32_t copies) {
  JobReport r;
  r.pages = pages;
  r.monoPages = mono;
  r.colourPages = colour;
  r.copies = copies;
  return r;
}

TEST(JobRecordIdsTest, OneRecordForTheMonoPartAndOneForTheColourPart) {
  struct Case {
    JobReport report;
    std::vector<std::int32_t> ids;
    std::vector<StoreRecord> expected;
  };
  const Case cases[] = {
      {Report(5, 0, 0, 3), {42}, {{42, 15}}},
      {Report(5, 3, 2, 2), {10, 11}, {{10, 6}, {11, 4}}},
      {Report(5, 3, 2, 2), {10}, {{10, 6}, {10, 4}}},
      {Report(5, 0, 2, 2), {10, 11}, {{11, 4}}},
      {Report(5, 4, 0, 1), {10, 11}, {{10, 4}}},
      {Report(5, 3, 2, 2), {}, {}},
      {Report(5, 0, 0, 1), {-7}, {{-7, 5}}},  // ids are sign-extended
  };
  for (const auto& c : cases) {
    JobAnswer answer;
    answer.serverJobIds = c.ids;
    EXPECT_EQ(JobRecordIds(answer, c.report), c.expected);
  }
}

TEST_F(PayloadsTest, JobStatusTablesShareOneList) {
  EXPECT_EQ(JobStatusCode(L"INSUFFICIENT-BALANCE-DELETE-GROUP"), 2);
  EXPECT_EQ(JobStatusCode(L"JOB-UNRELEASED"), 19);
  EXPECT_EQ(JobStatusCode(L"job-unreleased"), std::nullopt);  // exact, case-sensitive
  EXPECT_EQ(JobStatusCode(L"JOB-PENDING"), std::nullopt);
  EXPECT_EQ(JobStatusName(1), L"INSUFFICIENT-BALANCE-PAUSE-USER");
  EXPECT_EQ(JobStatusName(2), L"INSUFFICIENT-BALANCE-DELETE-USER");
  EXPECT_EQ(JobStatusName(6), L"JOB-ACCOUNT-REQUIRED");
  EXPECT_EQ(JobStatusName(7), std::nullopt);
}

TEST_F(PayloadsTest, JobAnswerStatusesBecomeDecisionsOrFailures) {
  struct Case {
    std::int16_t status;
    std::string json;
    bool none;  // accepted: no result
    bool decision;
    std::wstring text;
  };
  const Case cases[] = {
      {0, R"({"watermark":"x"})", true, false, L""},
      {1, "", false, true, L"INSUFFICIENT-BALANCE-PAUSE-USER"},
      {2, "", false, true, L"INSUFFICIENT-BALANCE-DELETE-USER"},
      {3, "", false, true, L"Internal server error"},
      {6, "", false, true, L"JOB-ACCOUNT-REQUIRED"},
      {12, "", false, true, L"JOB-UNCONFIRMED"},
      {13, R"({"publicKey":"QUJD"})", false, true, L"JOB-UNAUTHORIZED"},
      {14, R"({"publicKey":"QUJD"})", false, true, L"JOB-UNAUTHENTICATED"},
      // Without a usable key: still the decision, with an empty key.
      {13, R"({"publicKey":""})", false, true, L"JOB-UNAUTHORIZED"},
      {14, "", false, true, L"JOB-UNAUTHENTICATED"},
      {14, R"({"publicKey":5})", false, true, L"JOB-UNAUTHENTICATED"},
      {14, "not json", false, true, L"JOB-UNAUTHENTICATED"},
      {15, "", false, true, L"JOB-COLORED-FORBIDDEN-PAUSE"},
      {16, "", false, true, L"JOB-COLORED-FORBIDDEN-DELETE"},
      {17, "", false, true, L"JOB-DUPLEX-REQUIRED-PAUSE"},
      {18, "", false, true, L"JOB-DUPLEX-REQUIRED-DELETE"},
      {19, "", false, true, L"JOB-UNRELEASED"},
      {20, "", false, true, L"JOB-EXISTS"},
      {7, "", false, true, L"Unknown RPC status: 7"},
      {-1, "", false, true, L"Unknown RPC status: -1"},
  };
  for (const auto& c : cases) {
    JobAnswer answer;
    answer.status = c.status;
    answer.json = c.json;
    answer.message = L"Confirma?";
    ServerResultPtr result = ReadJobAnswer(answer);
    if (c.none) {
      EXPECT_EQ(result, nullptr) << c.status;
      continue;
    }
    ASSERT_NE(result, nullptr) << c.status;
    EXPECT_EQ(result->Text(), c.text) << c.status;
    EXPECT_EQ(result->IsDecision(), c.decision) << c.status;
    if (c.status == 12) {
      EXPECT_EQ(result->message, L"Confirma?");
    }
    if (c.decision && (c.status == 13 || c.status == 14)) {
      EXPECT_EQ(result->publicKey, c.json.find("QUJD") != std::string::npos ? "QUJD" : "")
          << c.json;
    }
  }
}

TEST_F(PayloadsTest, AccountsWithoutAStringIdOrNameAreSkipped) {
  JobAnswer answer;
  answer.status = 6;
  answer.json = R"({"accounts":[
      {"id":"c1","name":"Centro de Custo \u00c1gua","requireItem":1},
      {"name":"sem id"},
      {"id":"c3","name":"Item true","requireItem":true},
      {"id":4,"name":"numeric id"},
      {"id":"c5","name":"Sem item"},
      "not an object"]})";
  ServerResultPtr result = ReadJobAnswer(answer);
  ASSERT_NE(result, nullptr);
  ASSERT_TRUE(result->IsDecision());
  std::vector<Account> expected = {{L"c1", L"Centro de Custo Água", true},
                                   {L"c3", L"Item true", false},
                                   {L"c5", L"Sem item", false}};
  EXPECT_EQ(result->accounts, expected);
  for (const char* json : {"", R"({"accounts":[]})", R"({"accounts":{}})", "[1,2]", "{"}) {
    answer.json = json;
    result = ReadJobAnswer(answer);
    ASSERT_NE(result, nullptr);
    EXPECT_TRUE(result->IsDecision());
    EXPECT_TRUE(result->accounts.empty()) << json;
  }
}

TEST_F(PayloadsTest, AnswerJsonOfAnAcceptedJobGivesItsStringMembersOnly) {
  struct Case {
    std::string json;
    std::string watermark;
    std::string feedback;
  };
  const Case cases[] = {
      {R"({"watermark":"CONFIDENCIAL","feedbackMessage":"Impress\u00e3o: R$ 0,50"})",
       "CONFIDENCIAL", "Impress\xc3\xa3o: R$ 0,50"},
      {R"({"watermark":7,"feedbackMessage":null})", "", ""},
      {R"(["watermark"])", "", ""},
      {"", "", ""},
      {R"({"watermark":"a")", "", ""},     // cut short
      {std::string(100000, '['), "", ""},  // deep nesting does not exhaust the stack
  };
  for (const auto& c : cases) {
    JobAnswer answer;
    answer.json = c.json;
    JobContext context;
    ReadAnswerJson(answer, &context);
    EXPECT_EQ(context.watermark, c.watermark);
    EXPECT_EQ(context.feedbackMessage, c.feedback);
  }
}

TEST_F(PayloadsTest, RegistrationWritesEveryValueAndEmfCopiesReadingByItsRule) {
  auto queues =
      std::vector<RegisteredQueue>{{L"Recepção", true, L"10.0.0.7"}, {L"Local", false, L""}};
  RegisterAgentOut answer;
  answer.freeGbRequiredToArchive = 5;
  answer.daysToKeepArchivedFile = 60;
  answer.canQueryMfCopy = 0;
  answer.settings = {{0, 100, 7, 1, "priv\xe9", 1, 0, 9}, {1, 101, 3, 0, std::nullopt, 0, 1, 0}};
  answer.json = R"({"printers":[{"emfCopiesReading":false}]})";
  ApplyRegistration(answer, queues);
  EXPECT_EQ(Get(config::kAgentKey, L"FreeGBRequiredToArchive"), L"5");
  EXPECT_EQ(Get(config::kAgentKey, L"DaysToKeepArchivedFile"), L"60");
  EXPECT_EQ(Get(config::kAgentKey, L"CanQueryMFCopy"), L"0");
  EXPECT_EQ(Get(PrinterKey(L"Recepção"), L"Id"), L"100");
  EXPECT_EQ(Get(PrinterKey(L"Recepção"), L"Language"), L"7");
  EXPECT_EQ(Get(PrinterKey(L"Recepção"), L"IdentifyHardware"), L"1");
  EXPECT_EQ(Get(PrinterKey(L"Recepção"), L"IsToArchive"), L"1");
  EXPECT_EQ(Get(PrinterKey(L"Recepção"), L"IsToCheckCounterAfterPrint"), L"0");
  EXPECT_EQ(Get(PrinterKey(L"Recepção"), L"SnmpCommunity"), L"privé");
  EXPECT_EQ(Get(PrinterKey(L"Recepção"), L"EmfCopiesReading"), L"0");
  EXPECT_EQ(Get(PrinterKey(L"Local"), L"Id"), L"101");
  EXPECT_EQ(Get(PrinterKey(L"Local"), L"SnmpCommunity"), std::nullopt);
  EXPECT_EQ(Get(PrinterKey(L"Local"), L"EmfCopiesReading"), L"1");  // past the array's end

  struct Case {
    const char* json;
    const wchar_t* first;
    const wchar_t* second;
  };
  const Case cases[] = {
      {"", L"1", L"1"},
      {R"({"other":1})", L"1", L"1"},
      {R"({"printers":{"emfCopiesReading":false}})", L"1", L"1"},  // not an array
      {R"({"printers":[{"emfCopiesReading":true},{"emfCopiesReading":1}]})", L"1", L"0"},
      {R"({"printers":[5,{}]})", L"0", L"0"},
      {"{broken", L"1", L"1"},
  };
  for (const auto& c : cases) {
    answer.json = c.json;
    ApplyRegistration(answer, queues);
    EXPECT_EQ(Get(PrinterKey(L"Recepção"), L"EmfCopiesReading"), c.first) << c.json;
    EXPECT_EQ(Get(PrinterKey(L"Local"), L"EmfCopiesReading"), c.second) << c.json;
  }
}

TEST_F(PayloadsTest, RegistrationRecordsNamingNoQueueOfTheRequestAreDropped) {
  auto queues = std::vector<RegisteredQueue>{{L"P1", false, L""}};
  RegisterAgentOut answer;
  answer.settings = {{5, 100, 0, 0, std::nullopt, 0, 0, 0},
                     {-1, 101, 0, 0, std::nullopt, 0, 0, 0},
                     {0, 102, 0, 0, std::nullopt, 0, 0, 0}};
  ApplyRegistration(answer, queues);
  EXPECT_EQ(Get(PrinterKey(L"P1"), L"Id"), L"102");
  EXPECT_EQ(Get(config::kAgentKey, L"DaysToKeepArchivedFile"), L"0");
  // With no settings records only the agent's values are written.
  answer.settings.clear();
  answer.daysToKeepArchivedFile = 9;
  ApplyRegistration(answer, {});
  EXPECT_EQ(Get(config::kAgentKey, L"DaysToKeepArchivedFile"), L"9");
}

TEST_F(PayloadsTest, RegistrationSendsAddressesOfNetworkPortsOnly) {
  auto in = BuildRegistration("TOLLSRV01", {{L"Recepção", true, L"10.0.0.7"},
                                            {L"Rede sem endereço", true, L""},
                                            {L"USB", false, L"10.0.0.9"}});
  EXPECT_EQ(in.agentKind, 4);
  ASSERT_EQ(in.queues.size(), 3u);
  EXPECT_EQ(in.queues[0], (QueueEntry{"Recep\xe7\xe3o", "10.0.0.7", 1}));
  EXPECT_EQ(in.queues[1], (QueueEntry{"Rede sem endere\xe7o", std::nullopt, 0}));
  EXPECT_EQ(in.queues[2], (QueueEntry{"USB", std::nullopt, 0}));
}

TEST_F(PayloadsTest, JobReportParametersInTheirWireForms) {
  JobReport r = Report(4, 3, 1, 2);
  r.queueName = L"Recepção";
  r.machineName = L"\\\\PC-07";
  r.userName = L"joão";
  r.documentName = L"Relatório € 1";
  r.spoolerJobId = 31;
  r.portKind = 2;
  r.portAddress = L"";
  r.language = 12;
  r.colour = true;
  r.paperCode = 9;
  r.paperName = L"A4";
  ReportJobIn in = BuildJobReport(r, 77, 46000.5);
  EXPECT_EQ(in.clientId, 77);
  EXPECT_EQ(in.queueName, "Recep\xe7\xe3o");
  EXPECT_EQ(in.userName, "jo\xe3o");
  EXPECT_EQ(in.owner, "jo\xe3o");  // no notify name: the user name
  EXPECT_EQ(in.documentName, "Relat\xf3rio \x80 1");
  EXPECT_EQ(in.networkPort, 0);  // a UNC port is not a network port
  EXPECT_EQ(in.submitted, 46000.5);
  EXPECT_EQ(in.agentVersion, "2.7.2.0");
  EXPECT_EQ(in.machineName, "\\\\PC-07");
  EXPECT_EQ(in.one, 1);
  EXPECT_EQ(in.colour, 1);
  EXPECT_EQ(in.duplex, 0);
  EXPECT_EQ(in.fresh, 1);
  EXPECT_EQ(in.resent, 0);
  EXPECT_EQ(in.reexamined, 0);
  r.notifyName = L"Maria";
  r.portKind = 1;
  r.trackedA = true;
  r.trackedB = true;
  in = BuildJobReport(r, 77, 0);
  EXPECT_EQ(in.owner, "Maria");
  EXPECT_EQ(in.networkPort, 1);
  EXPECT_EQ(in.fresh, 0);
  EXPECT_EQ(in.reexamined, 1);
  r.trackedA = false;
  r.resent = true;
  in = BuildJobReport(r, 77, 0);
  EXPECT_EQ(in.resent, 1);
  EXPECT_EQ(in.fresh, 0);
}

// Names go as the code page (here Windows-1252) writes them; a character it cannot hold goes
// as its numeric character reference, and a literal "&#" is escaped, so that distinct names
// stay distinct on the wire and the server reads each back as it was.
TEST_F(PayloadsTest, NamesTheCodePageCannotHoldGoAsCharacterReferences) {
  struct Case {
    std::wstring name;
    std::string wire;
  };
  const Case cases[] = {
      {L"maria", "maria"},
      {L"jo\u00e3o", "jo\xe3o"},
      {L"Relat\u00f3rio \u20ac 1.pdf", "Relat\xf3rio \x80 1.pdf"},
      {L"R&D #2?", "R&D #2?"},
      {L"\u674e\u660e", "&#26446;&#26126;"},  // 李明
      {L"\u738b\u82b3", "&#29579;&#33459;"},  // 王芳
      {L"??", "??"},
      {L"\u0141ukasz", "&#321;ukasz"},  // not "Lukasz": no look-alike stands in
      {L"a&#65;b", "a&#38;#65;b"},
      {L"&#26446;&#26126;", "&#38;#26446;&#38;#26126;"},
      {L"&&#", "&&#38;#"},
      {L"\u674e&", "&#26446;&"},
      {L"x\U0001F600", "x&#128512;"},  // beyond the first plane: one reference
  };
  std::set<std::string> wires;
  for (const auto& c : cases) {
    std::string wire = Narrow(c.name);
    EXPECT_EQ(wire, c.wire);
    wires.insert(wire);
    std::wstring back =
        DecodeCharacterReferences(platform::system().MultiByteToWideChar(platform::CP_ACP, wire));
    EXPECT_EQ(back, c.name) << c.wire;
  }
  EXPECT_EQ(wires.size(), std::size(cases));

  // Every name of the job report and the registration takes that form.
  JobReport r;
  r.queueName = L"\u6253\u5370";
  r.userName = L"\u674e\u660e";
  r.documentName = L"\u62a5\u544a.pdf";
  r.machineName = L"\\\\PC-\u738b";
  r.paperName = L"A4";
  ReportJobIn in = BuildJobReport(r, 1, 0);
  EXPECT_EQ(in.queueName, "&#25171;&#21360;");
  EXPECT_EQ(in.userName, "&#26446;&#26126;");
  EXPECT_EQ(in.owner, "&#26446;&#26126;");
  EXPECT_EQ(in.documentName, "&#25253;&#21578;.pdf");
  EXPECT_EQ(in.machineName, "\\\\PC-&#29579;");
  RegisterAgentIn registration = BuildRegistration("PC", {{L"\u6253\u5370", false, L""}});
  EXPECT_EQ(registration.queues.at(0).queueName, "&#25171;&#21360;");
}

// Only a well-formed reference to a Unicode scalar value is read as a character.
TEST(CharacterReferencesTest, AnythingButAWellFormedReferenceStaysAsItIs) {
  // U+10FFFF, in two UTF-16 units where wide text has them.
  const std::wstring kLast = sizeof(wchar_t) == 4 ? std::wstring(1, static_cast<wchar_t>(0x10FFFF))
                                                  : std::wstring{static_cast<wchar_t>(0xDBFF),
                                                                 static_cast<wchar_t>(0xDFFF)};
  struct Case {
    std::wstring text;
    std::wstring read;
  };
  const Case cases[] = {
      {L"&#65;&#66;", L"AB"},
      {L"&&#65;", L"&A"},
      {L"&#0065;", L"A"},
      {L"&#128512;", L"\U0001F600"},
      {L"&#1114111;", kLast},
      {L"&#;", L"&#;"},
      {L"&#x41;", L"&#x41;"},
      {L"&#65", L"&#65"},
      {L"&#65 ;", L"&#65 ;"},
      {L"&#0;", L"&#0;"},
      {L"&#1114112;", L"&#1114112;"},
      {L"&#55357;", L"&#55357;"},  // a surrogate is no character
      {L"&#00000065;", L"&#00000065;"},
      {L"&#99999999999999999999;", L"&#99999999999999999999;"},
      {L"&#", L"&#"},
      {L"", L""},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeCharacterReferences(c.text), c.read);
}

TEST_F(PayloadsTest, HardwareReportLinesInTheirOrder) {
  HardwareRecord record;
  record.deviceText1 = L"MFP";
  record.deviceText3 = L"série 7";
  record.values[0] = 1000;
  record.values[1] = 20;
  record.values[2] = 30;
  record.values[3] = 0;
  record.values[4] = 0;
  record.values[5] = 60;
  record.a3First = 0;
  record.a3Second = 8;
  record.readingTime = 46000.25;
  record.jobNumber = 0;
  auto in = BuildHardwareReport(record, 0x1'0000'0029LL);
  EXPECT_EQ(in.snapshot.deviceText[0], "MFP");
  EXPECT_EQ(in.snapshot.deviceText[1], "");  // empty, never null
  EXPECT_EQ(in.snapshot.deviceText[2], "s\xe9rie 7");
  EXPECT_EQ(in.snapshot.value1, 1000);
  EXPECT_EQ(in.snapshot.value2, 20);
  std::vector<CounterLine> lines = {
      {0, 60, 0, std::nullopt}, {30, 0, 1, std::nullopt}, {8, 8, 1, "A3"}};
  EXPECT_EQ(in.snapshot.lines, lines);
  EXPECT_EQ(in.link, (CounterJobLink{0x29, 0, 1}));  // the id's low 32 bits
  EXPECT_EQ(in.hasJobNumber, 1);
  record = HardwareRecord{};
  in = BuildHardwareReport(record, 5);
  EXPECT_TRUE(in.snapshot.lines.empty());
  EXPECT_EQ(in.link.jobNumber, -1);
  EXPECT_EQ(in.hasJobNumber, 0);
}

}  // namespace
}  // namespace tollgate::remote
