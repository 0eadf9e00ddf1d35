#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "platform/sim/spooler.h"
#include "testing/machine_fixture.h"

namespace tollgate::testing {

// Text as the registry keeps it: UTF-16LE with its terminating zero.
std::vector<std::uint8_t> Utf16Z(const std::wstring& text) {
  std::vector<std::uint8_t> bytes;
  for (wchar_t c : text + L'\0') {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
  }
  return bytes;
}

}  // namespace tollgate::testing

namespace {

using namespace platform;
using tollgate::testing::ReadBytes;
using tollgate::testing::WriteBytes;

const char kServer[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Fila "
    "Recep\xE7\xE3o]\r\n"
    "\"Port\"=\"IP_10.0.0.5\"\r\n\"Printer Driver\"=\"HP Universal Printing PCL 6\"\r\n"
    "\"Status\"=dword:00000001\r\n"
    "\"Papers\"=hex(7):39,3d,41,34,00,31,3d,4c,65,74,74,65,72,00,00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Livre]\r\n"
    "\"Port\"=\"LPT1:\"\r\n\"Printer Driver\"=\"Generic / Text Only\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Remota]\r\n"
    "\"Port\"=\"\\\\\\\\srv\\\\q\"\r\n\"Attributes\"=dword:00000010\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Standard TCP/IP "
    "Port\\Ports\\IP_10.0.0.5]\r\n\"IPAddress\"=\"10.0.0.5\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\LPR "
    "Port\\Ports\\lpr1]\r\n\"Server Name\"=\"host\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\WSD "
    "Port\\Ports\\WSD-1234]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\r\n"
    "\"LPT1:\"=\"\"\r\n\"TS001\"=\"\"\r\n";

const std::wstring kPaused = L"Fila Recepção";

class SpoolerOnSim : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override { WriteBytes(Folder() / "registry.reg", kServer); }

  HANDLE Open(const std::wstring& queue, const PrinterDefaults* defaults = nullptr) {
    HANDLE h = nullptr;
    EXPECT_TRUE(spooler().OpenPrinterW(queue, &h, defaults)) << kernel().GetLastError();
    return h;
  }
  DWORD Print(HANDLE h, const std::string& bytes, const std::wstring& datatype = L"RAW") {
    DWORD id = spooler().StartDocPrinterW(h, DocInfo1{L"report.pcl", L"", datatype});
    EXPECT_NE(id, 0u) << kernel().GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(
        spooler().WritePrinter(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written));
    EXPECT_TRUE(spooler().EndDocPrinter(h));
    return id;
  }
  // The job statuses a watcher received, in order.
  std::vector<std::pair<DWORD, DWORD>> Drain(HANDLE change, PrinterNotifyOptions* options,
                                             DWORD* flags = nullptr) {
    std::vector<std::pair<DWORD, DWORD>> seen;
    while (kernel().WaitForSingleObject(change, 100) == WAIT_OBJECT_0) {
      PrinterNotifyInfo* info = nullptr;
      DWORD change_flags = 0;
      if (!spooler().FindNextPrinterChangeNotification(change, &change_flags, options, &info))
        break;
      if (flags != nullptr) *flags |= info->Flags;
      for (const auto& d : info->aData) {
        if (d.Field == JOB_NOTIFY_FIELD_STATUS) seen.emplace_back(d.Id, d.adwData[0]);
      }
      spooler().FreePrinterNotifyInfo(info);
    }
    return seen;
  }
  std::vector<std::string> JournalEvents(DWORD job) {
    std::vector<std::string> events;
    std::string text = ReadBytes(Folder() / "spooler.jsonl");
    std::string tag = "\"job\":" + std::to_string(job) + ",\"event\":\"";
    for (std::size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
      std::size_t start = at + tag.size();
      events.push_back(text.substr(start, text.find('"', start) - start));
    }
    return events;
  }
  static PrinterNotifyOptions StatusOptions() {
    PrinterNotifyOptions o;
    o.pTypes.push_back({JOB_NOTIFY_TYPE, {JOB_NOTIFY_FIELD_STATUS}});
    return o;
  }
};

TEST_F(SpoolerOnSim, QueuesPortsAndPaperTablesComeFromTheRegistry) {
  std::vector<PrinterInfo2> printers;
  ASSERT_TRUE(spooler().EnumPrintersW(PRINTER_ENUM_LOCAL, L"", &printers));
  ASSERT_EQ(printers.size(), 3u);
  EXPECT_EQ(printers[0].pPrinterName, kPaused);
  EXPECT_EQ(printers[0].pPortName, L"IP_10.0.0.5");
  EXPECT_EQ(printers[0].pDriverName, L"HP Universal Printing PCL 6");
  EXPECT_EQ(printers[2].Attributes & PRINTER_ATTRIBUTE_NETWORK, PRINTER_ATTRIBUTE_NETWORK);
  EXPECT_FALSE(spooler().EnumPrintersW(PRINTER_ENUM_NAME, L"\\\\ELSEWHERE", &printers));

  std::vector<PortInfo2> ports;
  ASSERT_TRUE(spooler().EnumPortsW(L"", &ports));
  auto port = [&](const std::wstring& name) {
    for (const auto& p : ports) {
      if (p.pPortName == name) return p;
    }
    return PortInfo2{};
  };
  EXPECT_EQ(port(L"IP_10.0.0.5").pMonitorName, L"TCPMON.DLL");
  EXPECT_EQ(port(L"IP_10.0.0.5").pDescription, L"Standard TCP/IP Port");
  EXPECT_TRUE(port(L"IP_10.0.0.5").fPortType & PORT_TYPE_NET_ATTACHED);
  EXPECT_EQ(port(L"lpr1").pDescription, L"LPR Port");
  EXPECT_EQ(port(L"WSD-1234").pMonitorName, L"WSD Port Monitor");
  EXPECT_EQ(port(L"LPT1:").pDescription, L"Local Port");
  EXPECT_FALSE(port(L"LPT1:").fPortType & PORT_TYPE_NET_ATTACHED);
  EXPECT_TRUE(port(L"TS001").fPortType & PORT_TYPE_REDIRECTED);

  std::vector<std::uint16_t> ids;
  std::vector<std::wstring> names;
  EXPECT_EQ(spooler().DeviceCapabilitiesW(kPaused, L"IP_10.0.0.5", DC_PAPERS, &ids, nullptr), 2);
  EXPECT_EQ(ids, (std::vector<std::uint16_t>{9, 1}));
  EXPECT_EQ(spooler().DeviceCapabilitiesW(kPaused, L"", DC_PAPERNAMES, nullptr, &names), 2);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"A4", L"Letter"}));
  // Without "Papers", the driver's own table.
  EXPECT_EQ(spooler().DeviceCapabilitiesW(L"Livre", L"LPT1:", DC_PAPERS, &ids, nullptr), 3);
  EXPECT_EQ(ids, (std::vector<std::uint16_t>{1, 5, 9}));
  EXPECT_EQ(spooler().DeviceCapabilitiesW(L"Nowhere", L"", DC_PAPERS, &ids, nullptr), -1);

  HANDLE server = Open(L"");
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  EXPECT_EQ(spooler().GetPrinterDataW(server, L"DefaultSpoolDirectory", &type, &data), 0u);
  EXPECT_EQ(type, REG_SZ);
  spooler().ClosePrinter(server);
  HANDLE none = nullptr;
  EXPECT_FALSE(spooler().OpenPrinterW(L"Nowhere", &none, nullptr));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INVALID_PRINTER_NAME);
}

TEST_F(SpoolerOnSim, AJobGoesThroughItsStatesWithItsNotificationsAndJournal) {
  HANDLE h = Open(L"FILA RECEPÇÃO");
  PrinterNotifyOptions options = StatusOptions();
  HANDLE change = spooler().FindFirstPrinterChangeNotification(h, 0, 0, &options);
  ASSERT_NE(change, INVALID_HANDLE_VALUE);
  DevMode dm;
  dm.dmCopies = 3;
  dm.dmColor = DMCOLOR_COLOR;
  dm.dmFields = DM_COPIES | DM_COLOR;
  dm.driverExtra = {1, 2, 3};
  PrinterDefaults defaults{std::wstring(L"RAW"), dm, PRINTER_ALL_ACCESS};
  HANDLE printing = Open(kPaused, &defaults);
  DWORD id = spooler().StartDocPrinterW(printing, DocInfo1{L"relatório", L"", L""});
  ASSERT_NE(id, 0u);
  JobInfo2 job;
  ASSERT_TRUE(spooler().GetJobW(h, id, &job));
  EXPECT_EQ(job.Status, JOB_STATUS_SPOOLING);
  std::string data(50000, 'x');
  DWORD written = 0;
  ASSERT_TRUE(spooler().WritePrinter(printing, data.data(), 50000, &written));
  ASSERT_TRUE(spooler().EndDocPrinter(printing));
  ASSERT_TRUE(spooler().GetJobW(h, id, &job));
  EXPECT_EQ(job.Status, 0u);
  EXPECT_EQ(job.Size, 50000u);
  EXPECT_EQ(job.pDocument, L"relatório");
  EXPECT_EQ(job.pDatatype, L"RAW");
  EXPECT_EQ(job.pPrinterName, kPaused);
  ASSERT_TRUE(job.pDevMode.has_value());
  EXPECT_EQ(job.pDevMode->dmCopies, 3);
  EXPECT_EQ(job.pDevMode->driverExtra, (std::vector<std::uint8_t>{1, 2, 3}));
  char name[16];
  std::snprintf(name, sizeof name, "%05u.spl", id);
  std::filesystem::path spool = Folder() / "Windows" / "System32" / "spool" / "PRINTERS" / name;
  EXPECT_EQ(ReadBytes(spool), data);

  ASSERT_TRUE(spooler().SetJobW(h, id, 0, nullptr, JOB_CONTROL_PAUSE));
  JobInfo2 edit = job;
  edit.pStatus = L"Aguardando confirmação";
  edit.pUserName = L"joana";
  edit.Position = JOB_POSITION_UNSPECIFIED;
  ASSERT_TRUE(spooler().SetJobW(h, id, 2, &edit, 0));
  ASSERT_TRUE(spooler().GetJobW(h, id, &job));
  EXPECT_EQ(job.pStatus, L"Aguardando confirmação");
  EXPECT_EQ(job.pUserName, L"joana");
  EXPECT_EQ(job.Status, JOB_STATUS_PAUSED);
  EXPECT_FALSE(spooler().SetJobW(h, id, 0, nullptr, 9));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(spooler().SetJobW(h, id, 3, &edit, 0));

  ASSERT_TRUE(spooler().SetJobW(h, id, 0, nullptr, JOB_CONTROL_CANCEL));
  EXPECT_FALSE(spooler().GetJobW(h, id, &job));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(spooler().SetJobW(h, id, 0, nullptr, JOB_CONTROL_RESUME));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(std::filesystem::exists(spool));

  // Entries of one job coalesce to its latest status while they wait; read at each step they
  // show every state.
  auto seen = Drain(change, &options);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), std::make_pair(id, JOB_STATUS_PAUSED | JOB_STATUS_DELETED));
  EXPECT_EQ(JournalEvents(id), (std::vector<std::string>{"submitted", "spooled", "paused",
                                                         "status-text", "owner", "cancelled"}));
  std::string journal = ReadBytes(Folder() / "spooler.jsonl");
  EXPECT_NE(journal.find("\"text\":\"Aguardando confirmação\""), std::string::npos);
  EXPECT_NE(journal.find("\"by\":\"platform_sim_test\""), std::string::npos);
  spooler().FindClosePrinterChangeNotification(change);
  spooler().ClosePrinter(printing);
  spooler().ClosePrinter(h);
}

TEST_F(SpoolerOnSim, AWatcherSeesEveryStateOfAJobThatPrints) {
  HANDLE h = Open(L"Livre");
  PrinterNotifyOptions options = StatusOptions();
  HANDLE change = spooler().FindFirstPrinterChangeNotification(h, 0, 0, &options);
  std::vector<std::pair<DWORD, DWORD>> seen;
  DWORD id = spooler().StartDocPrinterW(h, DocInfo1{L"doc", L"", L"TEXT"});
  auto more = Drain(change, &options);
  seen.insert(seen.end(), more.begin(), more.end());
  DWORD written = 0;
  spooler().WritePrinter(h, "hello\f", 6, &written);
  spooler().EndDocPrinter(h);
  std::filesystem::path printed = Folder() / "printed" / "Livre" / (std::to_string(id) + ".prn");
  for (int i = 0;
       i < 100 && !(std::filesystem::exists(printed) && !spooler().GetJobW(h, id, nullptr)); ++i) {
    more = Drain(change, &options);
    seen.insert(seen.end(), more.begin(), more.end());
  }
  more = Drain(change, &options);
  seen.insert(seen.end(), more.begin(), more.end());
  EXPECT_EQ(ReadBytes(printed), "hello\f");
  std::vector<DWORD> states;
  for (auto [job, status] : seen) {
    if (job == id && (states.empty() || states.back() != status)) states.push_back(status);
  }
  ASSERT_GE(states.size(), 3u);
  EXPECT_EQ(states.front(), JOB_STATUS_SPOOLING);
  EXPECT_NE(std::find(states.begin(), states.end(), JOB_STATUS_PRINTING), states.end());
  EXPECT_EQ(states.back() & JOB_STATUS_PRINTED, JOB_STATUS_PRINTED);
  EXPECT_EQ(JournalEvents(id),
            (std::vector<std::string>{"submitted", "spooled", "printing", "printed"}));
  spooler().FindClosePrinterChangeNotification(change);
  spooler().ClosePrinter(h);
}

TEST_F(SpoolerOnSim, NotificationsThatPileUpAreDiscardedAndARefreshGivesTheWholeState) {
  HANDLE h = Open(kPaused);
  PrinterNotifyOptions options = StatusOptions();
  HANDLE change = spooler().FindFirstPrinterChangeNotification(h, 0, 0, &options);
  std::vector<DWORD> ids;
  for (int i = 0; i < 300; ++i) ids.push_back(Print(h, "x"));
  PrinterNotifyInfo* info = nullptr;
  DWORD flags = 0;
  ASSERT_EQ(kernel().WaitForSingleObject(change, 1000), WAIT_OBJECT_0);
  ASSERT_TRUE(spooler().FindNextPrinterChangeNotification(change, &flags, &options, &info));
  EXPECT_EQ(info->Flags & PRINTER_NOTIFY_INFO_DISCARDED, PRINTER_NOTIFY_INFO_DISCARDED);
  EXPECT_TRUE(info->aData.empty());
  EXPECT_NE(flags & PRINTER_CHANGE_ADD_JOB, 0u);
  spooler().FreePrinterNotifyInfo(info);
  options.Flags = PRINTER_NOTIFY_OPTIONS_REFRESH;
  ASSERT_TRUE(spooler().FindNextPrinterChangeNotification(change, &flags, &options, &info));
  EXPECT_EQ(info->Flags, 0u);
  ASSERT_EQ(info->aData.size(), 300u);
  for (std::size_t k = 0; k < 300; ++k) {
    EXPECT_EQ(info->aData[k].Id, ids[k]);
    EXPECT_EQ(info->aData[k].adwData[0], 0u);
  }
  spooler().FreePrinterNotifyInfo(info);
  spooler().FindClosePrinterChangeNotification(change);
  spooler().ClosePrinter(h);
}

TEST_F(SpoolerOnSim, JobsSurviveARestartAndACrashFailsEveryHandle) {
  HANDLE h = Open(kPaused);
  DWORD kept = Print(h, "kept");
  ASSERT_TRUE(spooler().SetJobW(h, kept, 0, nullptr, JOB_CONTROL_PAUSE));
  JobInfo2 submitted;
  ASSERT_TRUE(spooler().GetJobW(h, kept, &submitted));
  DWORD open = spooler().StartDocPrinterW(h, DocInfo1{L"half", L"", L"RAW"});
  PrinterNotifyOptions options = StatusOptions();
  HANDLE change = spooler().FindFirstPrinterChangeNotification(h, 0, 0, &options);
  Drain(change, &options);

  auto& own = machine().OwnSpooler();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // times have whole seconds
  own.Crash();
  EXPECT_EQ(kernel().WaitForSingleObject(change, 1000), WAIT_OBJECT_0);
  PrinterNotifyInfo* info = nullptr;
  DWORD flags = 0;
  EXPECT_FALSE(spooler().FindNextPrinterChangeNotification(change, &flags, &options, &info));
  EXPECT_EQ(kernel().GetLastError(), RPC_S_SERVER_UNAVAILABLE);
  EXPECT_FALSE(spooler().GetJobW(h, kept, nullptr));
  EXPECT_EQ(kernel().GetLastError(), RPC_S_SERVER_UNAVAILABLE);
  HANDLE none = nullptr;
  EXPECT_FALSE(spooler().OpenPrinterW(kPaused, &none, nullptr));
  EXPECT_EQ(kernel().GetLastError(), RPC_S_SERVER_UNAVAILABLE);

  own.Start();
  EXPECT_FALSE(spooler().GetJobW(h, kept, nullptr));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INVALID_HANDLE);
  HANDLE again = Open(kPaused);
  JobInfo2 job;
  ASSERT_TRUE(spooler().GetJobW(again, kept, &job));
  EXPECT_EQ(job.Status, JOB_STATUS_PAUSED);
  EXPECT_EQ(job.pDocument, L"report.pcl");
  // The time it was submitted is the job's own, not the restart's.
  const SystemTime& a = submitted.Submitted;
  const SystemTime& b = job.Submitted;
  EXPECT_EQ(std::make_tuple(a.wYear, a.wMonth, a.wDay, a.wHour, a.wMinute, a.wSecond),
            std::make_tuple(b.wYear, b.wMonth, b.wDay, b.wHour, b.wMinute, b.wSecond));
  EXPECT_FALSE(spooler().GetJobW(again, open, nullptr));  // it was still being written
  DWORD next = Print(again, "next");
  EXPECT_GT(next, open);  // ids keep increasing

  // A clean stop keeps them too; a shadow file that does not read is passed over.
  own.Stop();
  char name[16];
  std::snprintf(name, sizeof name, "%05u.shd", next);
  std::filesystem::path shadow = Folder() / "Windows" / "System32" / "spool" / "PRINTERS" / name;
  WriteBytes(shadow, ReadBytes(shadow).substr(0, 20));
  own.Start();
  HANDLE third = Open(kPaused);
  std::vector<JobInfo2> jobs;
  ASSERT_TRUE(spooler().EnumJobsW(third, 0, 100, &jobs));
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].JobId, kept);
  spooler().FindClosePrinterChangeNotification(change);
  spooler().ClosePrinter(third);
}

TEST_F(SpoolerOnSim, TheSpoolerServiceCrashesWritesItsRecordAndComesBack) {
  HKEY key = nullptr;
  ASSERT_EQ(registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                       L"SYSTEM\\CurrentControlSet\\Services\\Spooler",
                                       KEY_ALL_ACCESS, &key, nullptr),
            ERROR_SUCCESS);
  std::uint8_t delay[4] = {100, 0, 0, 0};
  registry().RegSetValueExW(key, L"RecoveryDelay", REG_DWORD, delay, 4);
  registry().RegCloseKey(key);
  HANDLE h = Open(kPaused);
  DWORD id = Print(h, "x");
  ASSERT_TRUE(machine().CrashService(L"Spooler"));
  SC_HANDLE scm = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
  SC_HANDLE svc = services().OpenServiceW(scm, L"spooler", SERVICE_ALL_ACCESS);
  ServiceStatus status;
  services().QueryServiceStatus(svc, &status);
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  for (int i = 0; i < 200 && status.dwCurrentState != SERVICE_RUNNING; ++i) {
    kernel().Sleep(10);
    services().QueryServiceStatus(svc, &status);
  }
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  HANDLE again = Open(kPaused);
  EXPECT_TRUE(spooler().GetJobW(again, id, nullptr));
  HANDLE log = eventLog().OpenEventLogW(L"System");
  std::vector<EventLogRecord> records;
  DWORD read = 0, needed = 0;
  ASSERT_TRUE(eventLog().ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0,
                                       65536, &records, &read, &needed));
  ASSERT_GE(records.size(), 1u);
  EXPECT_EQ(records[0].EventID, 7031u);
  EXPECT_EQ(records[0].EventType, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(records[0].Strings,
            (std::vector<std::wstring>{L"Print Spooler", L"1", L"100", L"Restart the service"}));
  eventLog().CloseEventLog(log);
  services().CloseServiceHandle(svc);
  services().CloseServiceHandle(scm);
}

TEST_F(SpoolerOnSim, PositionsRestartsDeletionsPrinterDataAndNewQueues) {
  HANDLE h = Open(kPaused);
  DWORD first = Print(h, "1"), second = Print(h, "2"), third = Print(h, "3");
  JobInfo2 move;
  ASSERT_TRUE(spooler().GetJobW(h, third, &move));
  move.Position = 1;
  ASSERT_TRUE(spooler().SetJobW(h, third, 2, &move, 0));
  std::vector<JobInfo2> jobs;
  ASSERT_TRUE(spooler().EnumJobsW(h, 0, 10, &jobs));
  ASSERT_EQ(jobs.size(), 3u);
  EXPECT_EQ((std::vector<DWORD>{jobs[0].JobId, jobs[1].JobId, jobs[2].JobId}),
            (std::vector<DWORD>{third, first, second}));
  EXPECT_EQ(jobs[0].Position, 1u);
  ASSERT_TRUE(spooler().SetJobW(h, first, 0, nullptr, JOB_CONTROL_RESTART));
  ASSERT_TRUE(spooler().SetJobW(h, second, 0, nullptr, JOB_CONTROL_DELETE));
  EXPECT_FALSE(spooler().GetJobW(h, second, nullptr));
  EXPECT_EQ(JournalEvents(first), (std::vector<std::string>{"submitted", "spooled", "restarted"}));
  EXPECT_EQ(JournalEvents(second), (std::vector<std::string>{"submitted", "spooled", "deleted"}));

  // A queue's own spool directory, set as printer data, takes its next jobs.
  std::wstring dir = tollgate::testing::Wide(Folder() / "own-spool");
  std::vector<std::uint8_t> text;
  for (wchar_t c : dir + L'\0') {
    text.push_back(static_cast<std::uint8_t>(c));
    text.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  EXPECT_EQ(spooler().SetPrinterDataExW(h, L"\\", L"SpoolDirectory", REG_SZ, text), 0u);
  DWORD type = 0;
  std::vector<std::uint8_t> back;
  EXPECT_EQ(spooler().GetPrinterDataW(h, L"SpoolDirectory", &type, &back), 0u);
  EXPECT_EQ(back, text);
  DWORD moved = Print(h, "moved");
  char name[16];
  std::snprintf(name, sizeof name, "%05u.spl", moved);
  EXPECT_EQ(ReadBytes(Folder() / "own-spool" / name), "moved");

  // A queue added to the registry while the spooler runs: the server's watcher hears of it.
  HANDLE server = Open(L"");
  PrinterNotifyOptions options;
  options.pTypes.push_back({PRINTER_NOTIFY_TYPE, {PRINTER_NOTIFY_FIELD_PRINTER_NAME}});
  HANDLE change = spooler().FindFirstPrinterChangeNotification(
      server, PRINTER_CHANGE_ADD_PRINTER | PRINTER_CHANGE_DELETE_PRINTER, 0, &options);
  ASSERT_NE(change, INVALID_HANDLE_VALUE);
  HKEY key = nullptr;
  ASSERT_EQ(registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                       L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Nova",
                                       KEY_ALL_ACCESS, &key, nullptr),
            ERROR_SUCCESS);
  registry().RegCloseKey(key);
  ASSERT_EQ(kernel().WaitForSingleObject(change, 5000), WAIT_OBJECT_0);
  DWORD flags = 0;
  PrinterNotifyInfo* info = nullptr;
  ASSERT_TRUE(spooler().FindNextPrinterChangeNotification(change, &flags, &options, &info));
  EXPECT_EQ(flags, PRINTER_CHANGE_ADD_PRINTER);
  ASSERT_EQ(info->aData.size(), 1u);
  EXPECT_EQ(info->aData[0].pBuf, std::optional<std::wstring>(L"Nova"));
  spooler().FreePrinterNotifyInfo(info);
  spooler().FindClosePrinterChangeNotification(change);
  spooler().ClosePrinter(server);
  spooler().ClosePrinter(h);
}

// An EMF spool file: a header, then DEVMODE and page records.
std::string SpoolFile(const std::vector<std::pair<int, DevMode>>& records) {
  std::string out;
  auto put32 = [&out](std::uint32_t v) {
    for (int k = 0; k < 4; ++k) out += static_cast<char>(v >> (8 * k));
  };
  put32(0x00010000);
  put32(16);
  put32(0);
  put32(0);
  for (const auto& [type, dm] : records) {
    std::string data;
    if (type == 3) {
      auto bytes = platform::sim::DevModeBytes(dm);
      data.assign(bytes.begin(), bytes.end());
    } else {
      data = std::string(88, '\0');
    }
    put32(static_cast<std::uint32_t>(type));
    put32(static_cast<std::uint32_t>(data.size()));
    out += data;
  }
  return out;
}

// A machine made from a real print server's registry export: its paths have drive letters, and
// it may have no "DefaultSpoolDirectory" until the Spooler service writes it at its start.
TEST_F(SpoolerOnSim, PathsWithADriveLetterLieInTheMachineFolder) {
  HKEY key = nullptr;
  ASSERT_EQ(registry().RegCreateKeyExW(
                HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Livre",
                KEY_ALL_ACCESS, &key, nullptr),
            ERROR_SUCCESS);
  std::vector<std::uint8_t> own = tollgate::testing::Utf16Z(L"C:\\Spool\\Livre");
  registry().RegSetValueExW(key, L"SpoolDirectory", REG_SZ, own.data(),
                            static_cast<DWORD>(own.size()));
  registry().RegCloseKey(key);
  // The service's start writes the value Windows writes; the spooler answers it too.
  SC_HANDLE scm = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
  SC_HANDLE svc = services().OpenServiceW(scm, L"Spooler", SERVICE_ALL_ACCESS);
  ServiceStatus status;
  ASSERT_TRUE(services().ControlService(svc, SERVICE_CONTROL_STOP, &status));
  for (int i = 0; i < 300 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
    kernel().Sleep(10);
    services().QueryServiceStatus(svc, &status);
  }
  ASSERT_TRUE(services().StartServiceW(svc, {}));
  services().CloseServiceHandle(svc);
  services().CloseServiceHandle(scm);
  ASSERT_EQ(registry().RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                     L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers",
                                     KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0;
  std::uint8_t value[200];
  DWORD size = sizeof value;
  ASSERT_EQ(registry().RegQueryValueExW(key, L"DefaultSpoolDirectory", &type, value, &size),
            ERROR_SUCCESS);
  registry().RegCloseKey(key);
  EXPECT_EQ(std::vector<std::uint8_t>(value, value + size),
            tollgate::testing::Utf16Z(L"C:\\Windows\\System32\\spool\\PRINTERS"));
  HANDLE server = Open(L"");
  std::vector<std::uint8_t> data;
  EXPECT_EQ(spooler().GetPrinterDataW(server, L"DefaultSpoolDirectory", &type, &data), 0u);
  EXPECT_EQ(data, tollgate::testing::Utf16Z(L"C:\\Windows\\System32\\spool\\PRINTERS"));
  spooler().ClosePrinter(server);

  // The spooler's files: in the machine folder, where the server's and the queue's paths say.
  char name[32];
  HANDLE paused = Open(kPaused);
  DWORD first = Print(paused, "first");
  std::snprintf(name, sizeof name, "%05u.spl", first);
  EXPECT_EQ(ReadBytes(Folder() / "Windows" / "System32" / "spool" / "PRINTERS" / name), "first");
  spooler().ClosePrinter(paused);
  std::filesystem::create_directories(Folder() / "Spool" / "Livre");
  HANDLE free = Open(L"Livre");
  DWORD second = Print(free, "second");
  std::snprintf(name, sizeof name, "%05u.spl", second);
  EXPECT_TRUE(std::filesystem::exists(Folder() / "Spool" / "Livre" / name));
  spooler().ClosePrinter(free);

  // Every file call alike: C: is the folder, another drive a folder of its own in it.
  const std::pair<std::wstring, std::filesystem::path> cases[] = {
      {L"C:\\Dados", Folder() / "Dados"},
      {L"c:/Dados/sub", Folder() / "Dados" / "sub"},
      {L"D:\\", Folder() / "drive_d"},
  };
  for (const auto& [path, host] : cases) {
    EXPECT_TRUE(files().CreateDirectoryW(path)) << host;
    EXPECT_TRUE(std::filesystem::is_directory(host)) << host;
  }
  HANDLE file = files().CreateFileW(L"C:\\Dados\\x.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(files().WriteFile(file, "x", 1, &written));
  kernel().CloseHandle(file);
  EXPECT_EQ(ReadBytes(Folder() / "Dados" / "x.txt"), "x");
  EXPECT_EQ(files().GetFileAttributesW(L"C:\\Dados\\x.txt"), FILE_ATTRIBUTE_NORMAL);
}

// The client machine's name is given with its backslashes or without them, never doubled.
TEST_F(SpoolerOnSim, TheClientNameHasItsTwoBackslashesOnce) {
  for (const wchar_t* client : {L"PC-ANA", L"\\\\PC-ANA"}) {
    machine().SetSubmitter(L"ana", client, 1, L"");
    HANDLE h = Open(kPaused);
    DWORD id = Print(h, "x");
    JobInfo2 job;
    ASSERT_TRUE(spooler().GetJobW(h, id, &job));
    EXPECT_EQ(job.pMachineName, L"\\\\PC-ANA");
    spooler().ClosePrinter(h);
  }
}

TEST_F(SpoolerOnSim, TheDevmodeOfAnEmfPageIsTheOneRecordedBeforeIt) {
  DevMode one, two;
  one.dmCopies = 2;
  one.dmFields = DM_COPIES;
  two.dmCopies = 5;
  two.dmFields = DM_COPIES | DM_DUPLEX;
  two.dmDuplex = DMDUP_VERTICAL;
  two.driverExtra = {9, 8, 7};
  HANDLE h = Open(kPaused);
  DWORD id = Print(h, SpoolFile({{3, one}, {12, {}}, {13, {}}, {12, {}}, {3, two}, {12, {}}}),
                   L"NT EMF 1.008");
  std::wstring printer = L"\\\\" + kPaused + L"\\IP_10.0.0.5, Port";
  std::wstring document = kPaused + L", Job " + std::to_wstring(id);
  HANDLE spool = gdiSpool().GdiGetSpoolFileHandle(printer, nullptr, document);
  ASSERT_NE(spool, nullptr) << kernel().GetLastError();
  DWORD pages = 0;
  ASSERT_TRUE(gdiSpool().GdiGetPageCount(spool, &pages));
  EXPECT_EQ(pages, 3u);
  DevMode current, last;
  ASSERT_TRUE(gdiSpool().GdiGetDevmodeForPage(spool, 1, &current, nullptr));
  EXPECT_EQ(current.dmCopies, 2);
  ASSERT_TRUE(gdiSpool().GdiGetDevmodeForPage(spool, 3, &current, &last));
  EXPECT_EQ(current.dmCopies, 5);
  EXPECT_EQ(current.dmDuplex, DMDUP_VERTICAL);
  EXPECT_EQ(current.driverExtra, (std::vector<std::uint8_t>{9, 8, 7}));
  EXPECT_EQ(last.dmCopies, 2);
  EXPECT_FALSE(gdiSpool().GdiGetDevmodeForPage(spool, 4, &current, nullptr));
  EXPECT_TRUE(gdiSpool().GdiDeleteSpoolFileHandle(spool));
  EXPECT_FALSE(gdiSpool().GdiDeleteSpoolFileHandle(spool));

  // A plain EMF wrapped as a one-page spool file carries the job's DEVMODE.
  std::string emf(88, '\0');
  emf[0] = 1;
  emf.replace(40, 4, " EMF");
  DWORD wrapped = Print(h, platform::sim::WrapEmfAsSpoolFile(emf, two, L"doc"), L"NT EMF 1.008");
  spool = gdiSpool().GdiGetSpoolFileHandle(printer, nullptr,
                                           kPaused + L", Job " + std::to_wstring(wrapped));
  ASSERT_NE(spool, nullptr);
  ASSERT_TRUE(gdiSpool().GdiGetPageCount(spool, &pages));
  EXPECT_EQ(pages, 1u);
  ASSERT_TRUE(gdiSpool().GdiGetDevmodeForPage(spool, 1, &current, nullptr));
  EXPECT_EQ(current.dmCopies, 5);
  gdiSpool().GdiDeleteSpoolFileHandle(spool);

  // Cut short, or not EMF at all: no handle, no crash.
  std::string whole = SpoolFile({{3, one}, {12, {}}});
  for (std::size_t cut : {std::size_t{3}, std::size_t{17}, whole.size() - 1}) {
    DWORD bad = Print(h, whole.substr(0, cut), L"NT EMF 1.008");
    EXPECT_EQ(gdiSpool().GdiGetSpoolFileHandle(printer, nullptr,
                                               kPaused + L", Job " + std::to_wstring(bad)),
              nullptr);
  }
  DWORD raw = Print(h, whole, L"RAW");
  EXPECT_EQ(gdiSpool().GdiGetSpoolFileHandle(printer, nullptr,
                                             kPaused + L", Job " + std::to_wstring(raw)),
            nullptr);
  spooler().ClosePrinter(h);
}

}  // namespace
