#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "agent/spooler/printer.h"
#include "agent/spooler/printer_factory.h"
#include "agent/spooler/spooler_probe.h"
#include "platform/platform.h"
#include "shared/application/service_manager.h"
#include "shared/error/errors.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;
using namespace tollgate::spooler;
using tollgate::testing::ReadBytes;
using tollgate::testing::WriteBytes;

const char kServer[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers]\r\n"
    "\"DefaultSpoolDirectory\"=\"C:\\\\Windows\\\\System32\\\\spool\\\\PRINTERS\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Fila]\r\n"
    "\"Port\"=\"IP_10.0.0.5\"\r\n\"Printer Driver\"=\"HP Universal Printing PCL 6\"\r\n"
    "\"Status\"=dword:00000001\r\n\"SpoolDirectory\"=\"\"\r\n"
    "\"Papers\"=hex(7):39,3d,41,34,00,31,3d,4c,65,74,74,65,72,00,38,3d,41,33,00,35,3d,4c,"
    "65,67,61,6c,00,37,3d,45,78,65,63,00,00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Brother]\r\n"
    "\"Port\"=\"LPT1:\"\r\n\"Printer Driver\"=\"Brother MFC-8840D Printer\"\r\n"
    "\"SpoolDirectory\"=\"D:\\\\Spool\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Cor]\r\n"
    "\"Port\"=\"LPT1:\"\r\n\"Printer Driver\"=\"Brother HL-4150CDN series\"\r\n"
    "\"Status\"=dword:00000001\r\n\"SpoolDirectory\"=\"C:\\\\Spool\\\\Cor\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Remota]\r\n"
    "\"Port\"=\"LPT1:\"\r\n\"Printer Driver\"=\"HP LaserJet 4\"\r\n"
    "\"Attributes\"=dword:00000010\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Fax]\r\n"
    "\"Port\"=\"LPT1:\"\r\n\"Printer Driver\"=\"Microsoft Shared Fax Driver\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Sessao]\r\n"
    "\"Port\"=\"TS001\"\r\n\"Printer Driver\"=\"HP LaserJet 4\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Standard TCP/IP "
    "Port\\Ports\\IP_10.0.0.5]\r\n\"IPAddress\"=\"10.0.0.5\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\r\n"
    "\"LPT1:\"=\"\"\r\n\"TS001\"=\"\"\r\n";

class PrinterOnSim : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    WriteBytes(Folder() / "registry.reg", kServer);
    std::shared_ptr<Platform> inner(std::shared_ptr<Platform>{}, &machine());
    probe_ = std::make_shared<tollgate::spooler::testing::ProbePlatform>(inner);
    previous_ = Install(probe_);
  }
  void TearDown() override { Install(previous_); }

  tollgate::spooler::testing::ProbeSpooler& probe() { return probe_->probe(); }

  DWORD Print(const std::wstring& queue, const std::string& bytes) {
    HANDLE h = nullptr;
    EXPECT_TRUE(probe().OpenPrinterW(queue, &h, nullptr));
    DWORD id = probe().StartDocPrinterW(h, DocInfo1{L"report.pcl", L"", L"RAW"});
    DWORD written = 0;
    EXPECT_TRUE(probe().WritePrinter(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written));
    EXPECT_TRUE(probe().EndDocPrinter(h));
    probe().ClosePrinter(h);
    return id;
  }
  std::vector<std::string> Journal(DWORD job) {
    std::vector<std::string> events;
    std::string text = ReadBytes(Folder() / "spooler.jsonl");
    std::string tag = "\"job\":" + std::to_string(job) + ",\"event\":\"";
    for (std::size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
      std::size_t start = at + tag.size();
      events.push_back(text.substr(start, text.find('"', start) - start));
    }
    return events;
  }
  // The first argument of the error the body raised ("" when none).
  template <typename Body>
  static std::vector<std::wstring> Raised(Body body, std::uint32_t* id = nullptr) {
    try {
      body();
    } catch (Error* error) {
      std::vector<std::wstring> args = error->Args();
      if (id != nullptr) *id = error->Id();
      delete error;
      return args;
    }
    return {};
  }

  PrintMgr manager_{L""};

 private:
  std::shared_ptr<tollgate::spooler::testing::ProbePlatform> probe_;
  std::shared_ptr<Platform> previous_;
};

TEST_F(PrinterOnSim, JobsArePausedResumedRestartedCancelledAndDeletedThroughTheQueue) {
  Printer printer(L"Fila", &manager_);
  DWORD a = Print(L"Fila", "\x1B%-12345X@PJL\r\nfirst");
  DWORD b = Print(L"Fila", "second");
  std::unordered_set<DWORD> ids;
  ASSERT_TRUE(printer.GetJobIds(&ids));
  EXPECT_EQ(ids, (std::unordered_set<DWORD>{a, b}));

  EXPECT_TRUE(printer.SetJob(a, JOB_CONTROL_PAUSE));
  JobInfo2 job;
  ASSERT_TRUE(printer.GetJob(a, &job));
  EXPECT_TRUE(job.Status & JOB_STATUS_PAUSED);
  EXPECT_TRUE(printer.SetJob(a, JOB_CONTROL_RESUME));
  EXPECT_TRUE(printer.SetJob(a, JOB_CONTROL_RESTART));
  printer.SetJobStatusText(a, L"Aguardando confirmação");
  ASSERT_TRUE(printer.GetJob(a, &job));
  EXPECT_EQ(job.pStatus, L"Aguardando confirmação");
  printer.SetJobStatusText(a, L"");
  ASSERT_TRUE(printer.GetJob(a, &job));
  EXPECT_EQ(job.pStatus, L"");
  EXPECT_TRUE(printer.SetJob(a, JOB_CONTROL_CANCEL));
  EXPECT_TRUE(printer.SetJob(b, JOB_CONTROL_DELETE));

  std::vector<std::string> events = Journal(a);
  for (const char* e : {"paused", "resumed", "restarted", "status-text", "cancelled"})
    EXPECT_NE(std::find(events.begin(), events.end(), e), events.end()) << e;
  events = Journal(b);
  EXPECT_NE(std::find(events.begin(), events.end(), "deleted"), events.end());
}

TEST_F(PrinterOnSim, AJobThatIsGoneIsAnAnswerNotAnError) {
  Printer printer(L"Fila", &manager_);
  JobInfo2 job;
  EXPECT_FALSE(printer.GetJob(999, &job));
  EXPECT_FALSE(printer.SetJob(999, JOB_CONTROL_RESUME));
  EXPECT_FALSE(printer.SetJob(999, job, 0));
  printer.SetJobStatusText(999, L"texto");  // ignored
  // A job deleted between two looks is gone too.
  DWORD id = Print(L"Fila", "x");
  ASSERT_TRUE(printer.SetJob(id, JOB_CONTROL_DELETE));
  for (int i = 0; i < 50 && printer.GetJob(id, &job); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(printer.GetJob(id, &job));
}

TEST_F(PrinterOnSim, AnEmptyQueueIsOneSpoolerCall) {
  Printer printer(L"Fila", &manager_);
  printer.Open();
  std::unordered_set<DWORD> ids{7};
  EXPECT_FALSE(printer.GetJobIds(&ids));
  EXPECT_TRUE(ids.empty());
  EXPECT_EQ(probe().calls["EnumJobsW"], 1);
}

TEST_F(PrinterOnSim, PapersWithFewerNamesThanIdsKeepEveryId) {
  probe().paperNames = 3;
  Printer printer(L"Fila", &manager_);
  ASSERT_TRUE(printer.GetPapers());
  ASSERT_EQ(printer.Papers().size(), 5u);
  EXPECT_EQ(printer.Papers()[0].id, 9);
  EXPECT_EQ(printer.Papers()[0].name, L"A4");
  EXPECT_EQ(printer.Papers()[2].name, L"A3");
  EXPECT_EQ(printer.Papers()[3].id, 5);
  EXPECT_EQ(printer.Papers()[3].name, L"");
  EXPECT_EQ(printer.Papers()[4].name, L"");
  // Filled once.
  int calls = probe().calls["DeviceCapabilitiesW"];
  ASSERT_TRUE(printer.GetPapers());
  EXPECT_EQ(probe().calls["DeviceCapabilitiesW"], calls);
}

TEST_F(PrinterOnSim, TheBrotherDriversKeepTheirCopiesInOnePrivateByte) {
  Printer brother(L"Brother", &manager_);
  Printer other(L"Fila", &manager_);
  struct Case {
    std::size_t size;
    std::uint8_t value;
    std::uint16_t copies;
  } cases[] = {{300, 30, 1}, {300, 3, 3}, {300, 25, 25}, {300, 0, 1},
               {100, 3, 1},  {189, 4, 4}, {188, 4, 1}};
  for (const auto& c : cases) {
    DevMode dm;
    dm.driverExtra.assign(c.size, 0);
    if (c.size > 188) dm.driverExtra[188] = c.value;
    EXPECT_EQ(brother.GetCopiesFromDevmode(dm), c.copies) << c.size << " " << int(c.value);
    EXPECT_EQ(other.GetCopiesFromDevmode(dm), 1);
  }
}

TEST_F(PrinterOnSim, SpoolDirectoriesComeFromTheQueueOrTheServer) {
  Printer fila(L"Fila", &manager_);
  Printer brother(L"Brother", &manager_);
  EXPECT_EQ(fila.GetSpoolDirectory(), L"C:\\Windows\\System32\\spool\\PRINTERS");
  EXPECT_EQ(brother.GetSpoolDirectory(), L"D:\\Spool");
  EXPECT_EQ(brother.SpoolDirectory(), L"D:\\Spool");
  EXPECT_EQ(manager_.GetDefaultSpoolDirectory(), L"C:\\Windows\\System32\\spool\\PRINTERS");

  fila.SetSpoolDirectory(L"E:\\Fila");
  EXPECT_EQ(fila.GetSpoolDirectory(), L"E:\\Fila");

  Printer none(L"Nenhuma", &manager_);
  EXPECT_EQ(Raised([&] { none.GetSpoolDirectory(); }).at(0),
            L"keySpool.Open(SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Nenhuma)");
}

TEST_F(PrinterOnSim, ThePrintServerListsItsLocalQueuesOnly) {
  ASSERT_TRUE(manager_.LoadPrinters(PRINTER_ENUM_LOCAL, L""));
  std::vector<std::wstring> names;
  for (const auto& p : manager_.Printers()) names.push_back(p->Name());
  // Not the network queue, the fax, nor the queue of a remote session's port.
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Brother", L"Cor", L"Fila"}));
  Port* port = manager_.Printers()[2]->GetPort();
  ASSERT_NE(port, nullptr);
  EXPECT_TRUE(port->IsNetwork());
  EXPECT_EQ(port->GetAddress(), L"10.0.0.5");
  EXPECT_EQ(manager_.Printers()[2]->GetPort(), port);  // cached
  EXPECT_EQ(QueuePortName(L"Fila"), L"IP_10.0.0.5");
  EXPECT_EQ(Raised([] { QueuePortName(L"Nenhuma"); }).at(0), L"OpenPrinter(Nenhuma)");
}

TEST_F(PrinterOnSim, ASpoolerNotReadyAndAPrinterThatFailsToBeMade) {
  // A printer whose making raises is reported; the rest are made.
  static int made = 0;
  made = 0;
  manager_.SetPrinterMaker(
      [](const std::wstring& name, const std::wstring&, PrintMgr* m) -> std::unique_ptr<Printer> {
        ++made;
        if (name == L"Fila") throw 42;
        return std::make_unique<Printer>(name, m);
      });
  ASSERT_TRUE(manager_.LoadPrinters(PRINTER_ENUM_LOCAL, L""));
  EXPECT_EQ(made, 5);
  EXPECT_EQ(manager_.Printers().size(), 4u);
}

TEST_F(PrinterOnSim, EveryFailingSpoolerCallCarriesItsTextAndPlace) {
  Printer printer(L"Fila", &manager_);
  JobInfo2 job;
  struct Case {
    const char* op;
    std::function<void()> call;
    std::vector<std::wstring> args;
  } cases[] = {
      {"OpenPrinterW",
       [&] { Printer(L"Fila", &manager_).Open(); },
       {L"OpenPrinter(Fila)", L"CPrinterBase::Open"}},
      {"GetJobW", [&] { printer.GetJob(1, &job); }, {L"GetJob", L"Printer::GetJob"}},
      {"SetJobW", [&] { printer.SetJob(1, job, 0); }, {L"SetJob", L"Printer::SetJob"}},
      {"SetJobW", [&] { printer.SetJob(1, 2); }, {L"SetJob", L"Printer::SetJob(nCmd)"}},
      {"EnumJobsW", [&] { printer.GetJobs(2); }, {L"EnumJobs", L"GetJobs"}},
      {"GetPrinterW",
       [&] { printer.GetPrinterInfo(true); },
       {L"GetPrinter", L"Printer::GetPrinterInfo"}},
      {"EnumPortsW", [&] { manager_.LoadPorts(true); }, {L"EnumPorts", L"PrintMgr::LoadPorts"}},
  };
  for (auto& c : cases) {
    probe().failing = c.op;
    probe().failCode = ERROR_ACCESS_DENIED;
    std::uint32_t id = 99;
    std::vector<std::wstring> args = Raised(c.call, &id);
    ASSERT_GE(args.size(), 2u) << c.op;
    EXPECT_EQ(id, 0u) << c.op;
    EXPECT_EQ(args[0], c.args[0]) << c.op;
    EXPECT_EQ(args[1], c.args[1]) << c.op;
  }
  probe().failing = "EnumPrintersW";
  EXPECT_EQ(Raised([&] { manager_.LoadPrinters(PRINTER_ENUM_LOCAL, L""); }).at(0), L"M291");

  probe().failing = "GetPrinterDataW";
  probe().failCode = ERROR_FILE_NOT_FOUND;
  std::uint32_t id = 0;
  EXPECT_EQ(Raised([&] { manager_.GetDefaultSpoolDirectory(); }, &id).at(0),
            L"Unexpected return @M424: 2");
  EXPECT_EQ(id, 2u);
  probe().failing = "OpenPrinterW";
  EXPECT_EQ(Raised([&] { PrintMgr(L"").GetDefaultSpoolDirectory(); }).at(0), L"M423");
  probe().failing = "EnumPortsW";
  EXPECT_EQ(Raised([&] { MakeCheckerPort(L"LPT1:"); }).at(0), L"M277");
  probe().failing.clear();
}

TEST_F(PrinterOnSim, ABrotherColourDriversRawJobIsColourWhenItsDataIs) {
  std::unique_ptr<Printer> brother =
      MakeModelPrinter(L"Cor", L"Brother HL-4150CDN series", &manager_);
  brother->SetSpoolDirectory(tollgate::testing::Wide(Folder() / "cor"));
  for (auto [file, colour] :
       {std::pair{"d06.pxlcolor.pxl", true}, {"d04.pxlmono-3copies.pxl", false}}) {
    DWORD id = Print(L"Cor", ReadBytes(std::filesystem::path(TOLLGATE_TESTDATA) / file));
    JobInfo2 job;
    ASSERT_TRUE(brother->GetJob(id, &job));
    ASSERT_TRUE(job.pDevMode.has_value());
    job.pDevMode->dmColor = colour ? DMCOLOR_MONOCHROME : DMCOLOR_COLOR;  // the data decides
    EXPECT_EQ(brother->IsColor(job), colour) << file;
  }
}

TEST_F(PrinterOnSim, AStartingSpoolerIsNotReady) {
  probe().starting = true;
  EXPECT_FALSE(manager_.LoadPrinters(PRINTER_ENUM_LOCAL, L""));
  EXPECT_TRUE(manager_.Printers().empty());
  probe().starting = false;
  EXPECT_TRUE(manager_.LoadPrinters(PRINTER_ENUM_LOCAL, L""));
  EXPECT_EQ(manager_.Printers().size(), 3u);
}

TEST_F(PrinterOnSim, ACrashedSpoolerFailsLoud) {
  Printer printer(L"Fila", &manager_);
  printer.Open();
  ASSERT_TRUE(machine().CrashService(L"Spooler"));
  JobInfo2 job;
  std::vector<std::wstring> args = Raised([&] { printer.GetJob(1, &job); });
  ASSERT_GE(args.size(), 2u);
  EXPECT_EQ(args[0], L"GetJob");
  EXPECT_EQ(Raised([&] { manager_.LoadPrinters(PRINTER_ENUM_LOCAL, L""); }).at(0), L"M291");
}

TEST_F(PrinterOnSim, TheServiceManagerNamesTheSpooler) {
  tollgate::ServiceManager scm;
  EXPECT_EQ(scm.GetDisplayName(L"Spooler"), L"Print Spooler");
  std::uint32_t id = 0;
  EXPECT_EQ(Raised([&] { scm.GetDisplayName(L"NoSuchService"); }, &id).at(0), L"M426");
  EXPECT_EQ(id, 7u);
}

}  // namespace
