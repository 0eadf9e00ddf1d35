#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;

class KernelTest : public tollgate::testing::MachineTest {
 protected:
  Kernel& k() { return kernel(); }
};

TEST_F(KernelTest, AutoResetEventWakesOneWaitThenResets) {
  HANDLE e = k().CreateEventW(false, true);
  EXPECT_EQ(k().WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(k().WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  k().CloseHandle(e);
}

TEST_F(KernelTest, ManualResetEventStaysSignalledUntilReset) {
  HANDLE e = k().CreateEventW(true, false);
  EXPECT_EQ(k().WaitForSingleObject(e, 10), WAIT_TIMEOUT);
  ASSERT_TRUE(k().SetEvent(e));
  EXPECT_EQ(k().WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(k().WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(k().ResetEvent(e));
  EXPECT_EQ(k().WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  k().CloseHandle(e);
}

TEST_F(KernelTest, SemaphoreCountsAndRefusesPastItsMaximum) {
  HANDLE s = k().CreateSemaphoreW(1, 2);
  LONG previous = -1;
  ASSERT_TRUE(k().ReleaseSemaphore(s, 1, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_FALSE(k().ReleaseSemaphore(s, 1, nullptr));
  EXPECT_EQ(k().WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(k().WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(k().WaitForSingleObject(s, 0), WAIT_TIMEOUT);
  EXPECT_EQ(k().CreateSemaphoreW(3, 2), nullptr);
  EXPECT_EQ(k().GetLastError(), ERROR_INVALID_PARAMETER);
  k().CloseHandle(s);
}

TEST_F(KernelTest, WaitForAnyGivesTheFirstSignalledIndexAndTimesOut) {
  HANDLE a = k().CreateEventW(true, false);
  HANDLE b = k().CreateEventW(true, false);
  HANDLE both[] = {a, b};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(k().WaitForMultipleObjects(2, both, false, 50), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  k().SetEvent(b);
  EXPECT_EQ(k().WaitForMultipleObjects(2, both, false, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(k().WaitForMultipleObjects(2, both, true, 0), WAIT_TIMEOUT);
  k().SetEvent(a);
  EXPECT_EQ(k().WaitForMultipleObjects(2, both, true, 0), WAIT_OBJECT_0);
  k().CloseHandle(a);
  k().CloseHandle(b);
}

TEST_F(KernelTest, WaitOnABadHandleFailsWithInvalidHandle) {
  HANDLE bogus = reinterpret_cast<HANDLE>(0x7777);
  EXPECT_EQ(k().WaitForSingleObject(bogus, 0), WAIT_FAILED);
  EXPECT_EQ(k().GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(k().CloseHandle(bogus));
  EXPECT_EQ(k().WaitForMultipleObjects(0, nullptr, false, 0), WAIT_FAILED);
  EXPECT_EQ(k().GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(KernelTest, ThreadSignalsItsHandleWithItsExitCodeAndHasItsOwnIdAndLastError) {
  HANDLE go = k().CreateEventW(true, false);
  std::atomic<DWORD> seenId{0};
  k().SetLastError(5);
  DWORD id = 0;
  HANDLE t = k().CreateThread(
      20480,
      [&]() -> DWORD {
        seenId = k().GetCurrentThreadId();
        k().SetLastError(87);
        k().WaitForSingleObject(go, INFINITE);
        return 42;
      },
      &id);
  ASSERT_NE(t, nullptr);
  DWORD code = 0;
  EXPECT_EQ(k().WaitForSingleObject(t, 20), WAIT_TIMEOUT);
  ASSERT_TRUE(k().GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  k().SetEvent(go);
  EXPECT_EQ(k().WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(k().GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(seenId.load(), id);
  EXPECT_NE(id, k().GetCurrentThreadId());
  EXPECT_EQ(k().GetLastError(), 5u);
  k().CloseHandle(t);
  k().CloseHandle(go);
}

TEST_F(KernelTest, FormatMessageKeepsTheLineEndOrJoinsToOneLine) {
  auto full = k().FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, 5,
                                 LANG_USER_DEFAULT);
  ASSERT_TRUE(full);
  ASSERT_GE(full->size(), 3u);
  EXPECT_EQ(full->substr(full->size() - 2), L"\r\n");
  auto line = k().FormatMessageW(0x11FF, 5, LANG_USER_DEFAULT);
  ASSERT_TRUE(line);
  // One line: the message's line end becomes a space.
  EXPECT_EQ(*line, full->substr(0, full->size() - 2) + L" ");
  EXPECT_FALSE(k().FormatMessageW(0x11FF, 0x12345, LANG_USER_DEFAULT));
  EXPECT_EQ(k().GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

}  // namespace
