#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;
using tollgate::testing::ReadBytes;
using tollgate::testing::WriteBytes;

class EventLogOnSim : public tollgate::testing::MachineTest {
 protected:
  void Report(const std::wstring& source, std::uint16_t type, DWORD id,
              const std::vector<std::wstring>& strings) {
    HANDLE h = eventLog().RegisterEventSourceW(source);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(eventLog().ReportEventW(h, type, 0, id, strings, {}));
    EXPECT_TRUE(eventLog().DeregisterEventSource(h));
  }
  std::vector<EventLogRecord> ReadAll(HANDLE log, DWORD flags) {
    std::vector<EventLogRecord> all, some;
    DWORD read = 0, needed = 0;
    while (eventLog().ReadEventLogW(log, flags, 0, 4096, &some, &read, &needed)) {
      all.insert(all.end(), some.begin(), some.end());
    }
    EXPECT_EQ(kernel().GetLastError(), ERROR_HANDLE_EOF);
    return all;
  }
};

TEST_F(EventLogOnSim, ReadsForwardsBackwardsAndBySeekWithTheBufferSizingAnswers) {
  Report(L"Service Control Manager", EVENTLOG_ERROR_TYPE, 7034, {L"Print Spooler", L"1"});
  Report(L"Service Control Manager", EVENTLOG_INFORMATION_TYPE, 7036,
         {L"Print Spooler", L"running"});
  Report(L"Tollgate Client Supervisor", EVENTLOG_WARNING_TYPE, 12, {L"x"});  // Application
  HANDLE log = eventLog().OpenEventLogW(L"Service Control Manager");
  ASSERT_NE(log, nullptr);
  DWORD count = 0, oldest = 0;
  ASSERT_TRUE(eventLog().GetNumberOfEventLogRecords(log, &count));
  ASSERT_TRUE(eventLog().GetOldestEventLogRecord(log, &oldest));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(oldest, 1u);

  // The spool observer's first read: 56 bytes hold no record.
  std::vector<EventLogRecord> records;
  DWORD read = 0, needed = 0;
  EXPECT_FALSE(eventLog().ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0,
                                        56, &records, &read, &needed));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EventLogRecord newest;
  newest.SourceName = L"Service Control Manager";
  newest.ComputerName = L"TOLLSRV01";
  newest.Strings = {L"Print Spooler", L"running"};
  EXPECT_EQ(needed, EventLogRecordLength(newest));
  ASSERT_TRUE(eventLog().ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0,
                                       needed, &records, &read, &needed));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].EventID, 7036u);
  EXPECT_EQ(read, EventLogRecordLength(records[0]));
  // Positioned after the newest record: a forwards read sees only what comes next.
  EXPECT_TRUE(ReadAll(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ).empty());
  Report(L"Service Control Manager", EVENTLOG_ERROR_TYPE, 7031,
         {L"Print Spooler", L"2", L"3000", L"Restart the service"});
  auto fresh = ReadAll(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ);
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_EQ(fresh[0].EventID, 7031u);
  EXPECT_EQ(fresh[0].EventType, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(fresh[0].SourceName, L"Service Control Manager");
  EXPECT_EQ(fresh[0].Strings[0], L"Print Spooler");

  ASSERT_TRUE(eventLog().ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 1, 65536,
                                       &records, &read, &needed));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].EventID, 7034u);
  EXPECT_FALSE(eventLog().ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, 9, 65536,
                                        &records, &read, &needed));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(
      eventLog().ReadEventLogW(log, EVENTLOG_FORWARDS_READ, 0, 65536, &records, &read, &needed));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(eventLog().CloseEventLog(log));
  EXPECT_FALSE(eventLog().CloseEventLog(log));
  EXPECT_EQ(kernel().GetLastError(), ERROR_INVALID_HANDLE);

  HANDLE app = eventLog().OpenEventLogW(L"Application");
  auto appRecords = ReadAll(app, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ);
  ASSERT_EQ(appRecords.size(), 1u);
  EXPECT_EQ(appRecords[0].SourceName, L"Tollgate Client Supervisor");
  eventLog().CloseEventLog(app);
}

TEST_F(EventLogOnSim, NotifyChangeSetsTheEventAndTheLogOutlivesTheMachine) {
  HANDLE log = eventLog().OpenEventLogW(L"System");
  HANDLE changed = kernel().CreateEventW(true, false);
  ASSERT_TRUE(eventLog().NotifyChangeEventLog(log, changed));
  EXPECT_EQ(kernel().WaitForSingleObject(changed, 0), WAIT_TIMEOUT);
  Report(L"Service Control Manager", EVENTLOG_ERROR_TYPE, 7034, {L"Tollgate Client", L"1"});
  EXPECT_EQ(kernel().WaitForSingleObject(changed, 1000), WAIT_OBJECT_0);
  eventLog().CloseEventLog(log);
  kernel().CloseHandle(changed);

  // A log with a line cut short and a line of garbage keeps its whole records.
  std::string file = ReadBytes(Folder() / "eventlog" / "System.jsonl");
  WriteBytes(Folder() / "eventlog" / "System.jsonl",
             file + "{\"record\":2,\"time\":1,\"id\":7\n\x01\x02garbage\n{\"record\":");
  platform::sim::Machine restarted(Folder());
  HANDLE again = restarted.eventLog().OpenEventLogW(L"System");
  std::vector<EventLogRecord> records;
  DWORD read = 0, needed = 0;
  ASSERT_TRUE(restarted.eventLog().ReadEventLogW(again,
                                                 EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ,
                                                 0, 65536, &records, &read, &needed));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Strings, (std::vector<std::wstring>{L"Tollgate Client", L"1"}));
  restarted.eventLog().CloseEventLog(again);
}

}  // namespace
