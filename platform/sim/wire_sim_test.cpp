#include <gtest/gtest.h>

#include <random>

#include "platform/sim/wire.h"

namespace {

using namespace platform;
using namespace platform::sim::wire;

JobInfo2 SampleJob() {
  JobInfo2 j;
  j.JobId = 42;
  j.pPrinterName = L"Fila Recepção";
  j.pUserName = L"maria";
  j.pDocument = L"relatório \U0001F600";
  j.pDatatype = L"NT EMF 1.008";
  DevMode dm;
  dm.dmCopies = 3;
  dm.driverExtra = {1, 2, 3, 4};
  j.pDevMode = dm;
  j.Status = JOB_STATUS_PAUSED;
  j.TotalPages = 7;
  j.Size = 123456;
  return j;
}

TEST(WireOnSim, RecordsGoThereAndBack) {
  Writer w;
  Put(w, SampleJob());
  PrinterNotifyInfo info;
  info.Flags = PRINTER_NOTIFY_INFO_DISCARDED;
  PrinterNotifyInfoData d;
  d.Type = JOB_NOTIFY_TYPE;
  d.Field = JOB_NOTIFY_FIELD_DOCUMENT;
  d.Id = 42;
  d.pBuf = L"doc";
  info.aData.push_back(d);
  Put(w, info);
  Reader r(w.Data());
  JobInfo2 job;
  PrinterNotifyInfo back;
  ASSERT_TRUE(Get(r, &job));
  ASSERT_TRUE(Get(r, &back));
  EXPECT_TRUE(r.AtEnd());
  EXPECT_EQ(job.pDocument, L"relatório \U0001F600");
  EXPECT_EQ(job.pDevMode->driverExtra, (std::vector<std::uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(job.Size, 123456u);
  EXPECT_EQ(back.Flags, PRINTER_NOTIFY_INFO_DISCARDED);
  EXPECT_EQ(back.aData.at(0).pBuf, std::optional<std::wstring>(L"doc"));
}

TEST(WireOnSim, CutOrRandomBytesFailTheReadAndNeverOverrun) {
  Writer w;
  Put(w, SampleJob());
  const std::string whole = w.Data();
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    Reader r(std::string_view(whole).substr(0, cut));
    JobInfo2 job;
    EXPECT_FALSE(Get(r, &job)) << cut;
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    std::string bytes(rng() % 200, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    // Counts and lengths that lie are bounded by what the bytes can hold.
    Reader r1(bytes), r2(bytes), r3(bytes), r4(bytes);
    JobInfo2 job;
    PrinterNotifyInfo info;
    PrinterNotifyOptions options;
    std::vector<std::wstring> texts;
    Get(r1, &job);
    Get(r2, &info);
    Get(r3, &options);
    r4.Wides(&texts);
    EXPECT_LE(texts.size(), bytes.size() / 4);
    EXPECT_LE(info.aData.size(), bytes.size() / 4);
  }
  Writer huge;
  huge.U32(0xFFFFFFFF);
  Reader r(huge.Data());
  std::vector<std::wstring> texts;
  EXPECT_FALSE(r.Wides(&texts));
}

}  // namespace
