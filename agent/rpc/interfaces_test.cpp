// The interface definitions written and read back, and read from stub data that is cut short
// or lies about its counts. Their wire form against an independent implementation is in the
// impacket tests beside this file.
#include <gtest/gtest.h>

#include <functional>

#include "agent/rpc/interfaces.h"
#include "shared/rpc/status.h"

namespace tollgate::remote {
namespace {

template <typename T>
std::vector<std::uint8_t> Encode(const T& value) {
  Writer w;
  value.Write(w);
  return w.Take();
}

template <typename T>
T Decode(const std::vector<std::uint8_t>& bytes) {
  Reader r(bytes);
  return T::Read(r);
}

// Every proper prefix of the stub data fails to decode as bad stub data.
template <typename T>
void EveryPrefixIsBadStubData(const std::vector<std::uint8_t>& bytes) {
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
    try {
      Decode<T>(cut);
      ADD_FAILURE() << "a prefix of " << n << " of " << bytes.size() << " bytes decoded";
      return;
    } catch (const ::rpc::RpcException& e) {
      ASSERT_EQ(e.Status(), ::rpc::RPC_X_BAD_STUB_DATA);
    }
  }
}

ReportJobIn SampleJob() {
  ReportJobIn in;
  in.clientId = 77;
  in.queueName = "Recep\xe7\xe3o";
  in.portAddress = "10.0.0.7";
  in.userName = "maria";
  in.owner = "Maria";
  in.networkPort = 1;
  in.submitted = 46000.5;
  in.pages = 3;
  in.colourPages = 1;
  in.monoPages = 2;
  in.copies = 2;
  in.documentName = "Relat\xf3rio.pdf";
  in.spoolerJobId = 31;
  in.paperCode = 9;
  in.paperName = "A4";
  in.colour = 1;
  in.duplex = 0;
  in.resent = 0;
  in.fresh = 1;
  in.agentVersion = "2.7.2.0";
  in.machineName = "\\\\PC-07";
  in.language = 12;
  in.reexamined = 1;
  return in;
}

TEST(InterfacesTest, OperationsReadBackWhatWasWritten) {
  ReportJobIn job = SampleJob();
  EXPECT_EQ(Decode<ReportJobIn>(Encode(job)), job);
  EveryPrefixIsBadStubData<ReportJobIn>(Encode(job));

  ReportJobOut answer;
  answer.serverJobIds = {10, -11};
  answer.status = 12;
  answer.message = L"Confirma a impressão?";
  answer.json = R"({"watermark":"C\u00f3pia"})";
  auto back = Decode<ReportJobOut>(Encode(answer));
  EXPECT_EQ(back.serverJobIds, answer.serverJobIds);
  EXPECT_EQ(back.status, 12);
  EXPECT_EQ(back.message, answer.message);
  EXPECT_EQ(back.json, answer.json);
  EveryPrefixIsBadStubData<ReportJobOut>(Encode(answer));
  auto empty = Decode<ReportJobOut>(Encode(ReportJobOut{}));  // null arrays
  EXPECT_TRUE(empty.serverJobIds.empty());
  EXPECT_TRUE(empty.json.empty());

  RegisterAgentIn registration;
  registration.computerName = "TOLLSRV01";
  registration.queues = {{"Recep\xe7\xe3o", "10.0.0.7", 1}, {"Local", std::nullopt, 0}};
  auto registered = Decode<RegisterAgentIn>(Encode(registration));
  EXPECT_EQ(registered.agentKind, 4);
  EXPECT_EQ(registered.computerName, "TOLLSRV01");
  EXPECT_EQ(registered.queues, registration.queues);
  EveryPrefixIsBadStubData<RegisterAgentIn>(Encode(registration));

  RegisterAgentOut settings;
  settings.clientId = 5;
  settings.freeGbRequiredToArchive = 3;
  settings.daysToKeepArchivedFile = 60;
  settings.canQueryMfCopy = 1;
  settings.text = L"ok";
  settings.settings = {{0, 100, 7, -1, "public", 1, 0, 9}, {1, 101, 0, 0, std::nullopt, 0, 1, 0}};
  settings.json = R"({"printers":[{"emfCopiesReading":false}]})";
  auto applied = Decode<RegisterAgentOut>(Encode(settings));
  EXPECT_EQ(applied.clientId, 5);
  EXPECT_EQ(applied.freeGbRequiredToArchive, 3);
  EXPECT_EQ(applied.daysToKeepArchivedFile, 60);
  EXPECT_EQ(applied.text, L"ok");
  EXPECT_EQ(applied.settings, settings.settings);
  EXPECT_EQ(applied.json, settings.json);
  EveryPrefixIsBadStubData<RegisterAgentOut>(Encode(settings));

  ReportHardwareCountersIn hardware;
  hardware.snapshot.deviceText[0] = "MFP-4000";
  hardware.snapshot.deviceText[2] = "serial 77";
  hardware.snapshot.value1 = 12;
  hardware.snapshot.value2 = -3;
  hardware.snapshot.readingTime = 46000.25;
  hardware.snapshot.lines = {{1000, 200, 0, std::nullopt}, {3, 3, 1, "A3"}};
  hardware.link = {41, 7, 1};
  hardware.hasJobNumber = 1;
  auto counters = Decode<ReportHardwareCountersIn>(Encode(hardware));
  EXPECT_EQ(counters.snapshot, hardware.snapshot);
  EXPECT_EQ(counters.link, hardware.link);
  EXPECT_EQ(counters.hasJobNumber, 1);
  EveryPrefixIsBadStubData<ReportHardwareCountersIn>(Encode(hardware));

  UploadFileChunkIn chunk{9, {1, 2, 3}, 1};
  auto got = Decode<UploadFileChunkIn>(Encode(chunk));
  EXPECT_EQ(got.data, chunk.data);
  EXPECT_EQ(got.last, 1);
  auto none = Decode<UploadFileChunkIn>(Encode(UploadFileChunkIn{9, {}, 1}));
  EXPECT_TRUE(none.data.empty());

  RequestAccountIn account;
  account.jobId = 31;
  account.idCount = 2;
  account.storeRecordIds = std::vector<std::int32_t>{10, 11};
  account.computerName = L"TOLLSRV01";
  account.queueName = L"Recepção";
  account.documentName = L"doc";
  account.pages = 4;
  account.count = 2;
  account.accounts = std::vector<AccountEntry>{{L"c1", L"Centro 1", 1}, {std::nullopt, L"x", 0}};
  auto asked = Decode<RequestAccountIn>(Encode(account));
  EXPECT_EQ(asked.storeRecordIds, account.storeRecordIds);
  EXPECT_EQ(asked.accounts, account.accounts);
  EXPECT_EQ(asked.queueName, L"Recepção");
  EveryPrefixIsBadStubData<RequestAccountIn>(Encode(account));
}

// Counts that say more than the stub data holds, or less than nothing, never allocate for
// them: they are bad stub data.
TEST(InterfacesTest, CountsThatLieAreBadStubData) {
  struct Case {
    const char* name;
    std::function<void(Writer&)> write;
    std::function<void(Reader&)> read;
  };
  const Case cases[] = {
      {"negative queue count",
       [](Writer& w) {
         w.I16(-1);
         w.U32(0x20000);
         w.U32(0xFFFFFFFF);
       },
       [](Reader& r) { ReadQueueEntries(r); }},
      {"queue count beyond the data",
       [](Writer& w) {
         w.I16(1000);
         w.U32(0x20000);
         w.U32(1000);
       },
       [](Reader& r) { ReadQueueEntries(r); }},
      {"conformance not the count",
       [](Writer& w) {
         w.I16(2);
         w.U32(0x20000);
         w.U32(1);
         for (int i = 0; i < 12; ++i) w.U32(0);
       },
       [](Reader& r) { ReadQueueEntries(r); }},
      {"chunk count without its bytes",
       [](Writer& w) {
         w.I32(1);
         w.I16(5);
         w.U32(0);
         w.U8(1);
       },
       [](Reader& r) { UploadFileChunkIn::Read(r); }},
  };
  for (const auto& c : cases) {
    Writer w;
    c.write(w);
    auto bytes = w.Take();
    Reader r(bytes);
    try {
      c.read(r);
      ADD_FAILURE() << c.name << " decoded";
    } catch (const ::rpc::RpcException& e) {
      EXPECT_EQ(e.Status(), ::rpc::RPC_X_BAD_STUB_DATA) << c.name;
    }
  }
}

}  // namespace
}  // namespace tollgate::remote
