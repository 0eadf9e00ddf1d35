#include <gtest/gtest.h>

#include <atomic>

#include "platform/platform.h"
#include "shared/error/file_log.h"
#include "shared/error/report.h"
#include "testing/machine_fixture.h"

namespace {

class ReportOnWindows : public tollgate::testing::MachineTest {};

// An access violation on a thread that installed the translator becomes the runtime error
// "SEH exception: <code>", reported like any exception, and the thread goes on.
TEST_F(ReportOnWindows, AccessViolationBecomesAReportedRuntimeError) {
  tollgate::InstallFileLog(std::make_unique<tollgate::FileLog>(
      tollgate::testing::Wide(Folder() / "events.log"), 1000000));
  std::atomic<bool> wentOn{false};
  platform::HANDLE thread = platform::kernel().CreateThread(
      0,
      [&]() -> platform::DWORD {
        platform::kernel().SetStructuredExceptionTranslator(
            [](unsigned code) { tollgate::TranslateStructuredException(code); });
        bool reported = tollgate::RunReported(L"test", [] {
          volatile int* nowhere = nullptr;
          *nowhere = 1;
        });
        wentOn = !reported;
        return 0;
      },
      nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(platform::kernel().WaitForSingleObject(thread, 10000), platform::WAIT_OBJECT_0);
  platform::kernel().CloseHandle(thread);
  EXPECT_TRUE(wentOn);
  std::string log = tollgate::testing::ReadBytes(Folder() / "events_0.log");
  EXPECT_NE(log.find(" SEH exception: -1073741819\r\n"), std::string::npos) << log;
  tollgate::InstallFileLog(nullptr);
}

}  // namespace
