#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "platform/sim/machine_server.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;

std::atomic<bool> up{false};
void Up() {
  up = true;
}

// A machine process in a thread, and this test's platform reaching it through its socket.
class RemoteOnSim : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = temp_.Folder() / "served";
    std::filesystem::create_directories(folder_);
    tollgate::testing::WriteBytes(folder_ / "registry.reg", Registry());
    up = false;
    server_ = std::thread([this] { platform::sim::RunMachineProcess(folder_, &Up); });
    while (!up) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    client_ =
        std::make_shared<platform::sim::Machine>(folder_, platform::sim::Machine::Hosting::Reach);
    ASSERT_TRUE(client_->Reached());
    previous_ = platform::Install(client_);
    // The machine's services start once it serves: the spooler is waited for.
    SC_HANDLE scm = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
    SC_HANDLE spooler = services().OpenServiceW(scm, L"Spooler", SERVICE_ALL_ACCESS);
    ServiceStatus status;
    for (int i = 0; i < 1000; ++i) {
      if (services().QueryServiceStatus(spooler, &status) &&
          status.dwCurrentState == SERVICE_RUNNING)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    services().CloseServiceHandle(spooler);
    services().CloseServiceHandle(scm);
    ASSERT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  }
  virtual std::string Registry() {
    return "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Spooler]\r\n"
           "\"RecoveryDelay\"=dword:00000064\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Q]\r\n"
           "\"Port\"=\"LPT1:\"\r\n\"Status\"=dword:00000001\r\n";
  }
  void TearDown() override {
    platform::Install(previous_);
    client_.reset();
    EXPECT_TRUE(platform::sim::StopMachineProcess(folder_, 30000));
    server_.join();
  }

  tollgate::testing::TempMachine temp_;
  std::filesystem::path folder_;
  std::thread server_;
  std::shared_ptr<platform::sim::Machine> client_;
  std::shared_ptr<Platform> previous_;
};

// What the spool observer does: positions itself after the newest record with a 56-byte
// read, waits on the log's change notification, and reads what the spooler's crash writes.
TEST_F(RemoteOnSim, TheSpoolObserverSeesTheSpoolerCrashThroughTheSocket) {
  SC_HANDLE scm = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
  std::wstring display;
  ASSERT_TRUE(services().GetServiceDisplayNameW(scm, L"Spooler", &display));
  EXPECT_EQ(display, L"Print Spooler");
  services().CloseServiceHandle(scm);

  HANDLE log = eventLog().OpenEventLogW(L"Service Control Manager");
  ASSERT_NE(log, nullptr);
  HANDLE changed = kernel().CreateEventW(true, false);
  std::vector<EventLogRecord> records;
  DWORD read = 0, needed = 0;
  EXPECT_FALSE(eventLog().ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0,
                                        56, &records, &read, &needed));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_GT(needed, 56u);
  ASSERT_TRUE(eventLog().ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0,
                                       needed, &records, &read, &needed));
  ASSERT_TRUE(eventLog().NotifyChangeEventLog(log, changed));

  HANDLE printer = nullptr;
  ASSERT_TRUE(spooler().OpenPrinterW(L"Q", &printer, nullptr));
  PrinterNotifyOptions options;
  options.pTypes.push_back({JOB_NOTIFY_TYPE, {JOB_NOTIFY_FIELD_STATUS}});
  HANDLE change = spooler().FindFirstPrinterChangeNotification(printer, 0, 0, &options);
  ASSERT_NE(change, INVALID_HANDLE_VALUE);
  DWORD job = spooler().StartDocPrinterW(printer, DocInfo1{L"d", L"", L"RAW"});
  ASSERT_NE(job, 0u);
  DWORD written = 0;
  ASSERT_TRUE(spooler().WritePrinter(printer, "abc", 3, &written));
  ASSERT_TRUE(spooler().EndDocPrinter(printer));
  ASSERT_EQ(kernel().WaitForSingleObject(change, 5000), WAIT_OBJECT_0);
  PrinterNotifyInfo* info = nullptr;
  DWORD flags = 0;
  ASSERT_TRUE(spooler().FindNextPrinterChangeNotification(change, &flags, &options, &info));
  ASSERT_FALSE(info->aData.empty());
  EXPECT_EQ(info->aData.back().Id, job);
  spooler().FreePrinterNotifyInfo(info);

  kernel().ResetEvent(changed);
  ASSERT_TRUE(client_->CrashService(L"Spooler"));
  ASSERT_EQ(kernel().WaitForSingleObject(changed, 5000), WAIT_OBJECT_0);
  bool seen = false;
  while (eventLog().ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, 56,
                                  &records, &read, &needed) ||
         kernel().GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    if (records.empty()) {
      ASSERT_TRUE(eventLog().ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ,
                                           0, needed, &records, &read, &needed));
    }
    for (const auto& r : records) {
      if (r.SourceName == L"Service Control Manager" && r.EventType == EVENTLOG_ERROR_TYPE &&
          std::find(r.Strings.begin(), r.Strings.end(), display) != r.Strings.end()) {
        seen = true;
        EXPECT_EQ(r.EventID, 7031u);
      }
    }
  }
  EXPECT_EQ(kernel().GetLastError(), ERROR_HANDLE_EOF);
  EXPECT_TRUE(seen);
  // The crashed spooler's handles and notification fail; a new handle after the restart sees
  // the job.
  EXPECT_EQ(kernel().WaitForSingleObject(change, 5000), WAIT_OBJECT_0);
  EXPECT_FALSE(spooler().FindNextPrinterChangeNotification(change, &flags, &options, &info));
  EXPECT_EQ(kernel().GetLastError(), RPC_S_SERVER_UNAVAILABLE);
  HANDLE again = nullptr;
  for (int i = 0; i < 200 && !spooler().OpenPrinterW(L"Q", &again, nullptr); ++i)
    kernel().Sleep(10);
  ASSERT_NE(again, nullptr);
  JobInfo2 info2;
  EXPECT_TRUE(spooler().GetJobW(again, job, &info2));
  EXPECT_EQ(info2.Size, 3u);
  EXPECT_FALSE(spooler().GetJobW(printer, job, &info2));
  spooler().FindClosePrinterChangeNotification(change);
  spooler().ClosePrinter(again);
  eventLog().CloseEventLog(log);
  kernel().CloseHandle(changed);
}

// A large print server: every one of its queues is watched, each watch on a connection of its
// own to the machine process, and a job on any of them is seen.
class LargeServerOnSim : public RemoteOnSim {
 protected:
  static constexpr int kQueues = 903;
  std::string Registry() override {
    std::string text = "REGEDIT4\r\n\r\n";
    for (int i = 0; i < kQueues; ++i) {
      text += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Q" +
              std::to_string(i) + "]\r\n\"Port\"=\"LPT1:\"\r\n\"Status\"=dword:00000001\r\n\r\n";
    }
    return text;
  }
};

TEST_F(LargeServerOnSim, EveryQueueOfANineHundredQueueServerIsWatched) {
  PrinterNotifyOptions options;
  options.pTypes.push_back({JOB_NOTIFY_TYPE, {JOB_NOTIFY_FIELD_STATUS}});
  std::vector<HANDLE> printers, changes;
  int failed = 0;
  DWORD lastError = 0;
  for (int i = 0; i < kQueues; ++i) {
    HANDLE printer = nullptr;
    ASSERT_TRUE(spooler().OpenPrinterW(L"Q" + std::to_wstring(i), &printer, nullptr)) << i;
    printers.push_back(printer);
    HANDLE change = spooler().FindFirstPrinterChangeNotification(printer, 0, 0, &options);
    if (change == INVALID_HANDLE_VALUE) {
      ++failed;
      lastError = kernel().GetLastError();
    } else {
      changes.push_back(change);
    }
  }
  EXPECT_EQ(failed, 0) << "the last error: " << lastError;
  // The newest watch sees a job of its queue.
  ASSERT_FALSE(changes.empty());
  DWORD id =
      spooler().StartDocPrinterW(printers[changes.size() - 1], DocInfo1{L"doc", L"", L"RAW"});
  ASSERT_NE(id, 0u);
  EXPECT_EQ(kernel().WaitForSingleObject(changes.back(), 5000), WAIT_OBJECT_0);
  for (HANDLE change : changes) spooler().FindClosePrinterChangeNotification(change);
  for (HANDLE printer : printers) spooler().ClosePrinter(printer);
}

}  // namespace
