#include <gtest/gtest.h>

#include <memory>

#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/os/sync.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;

class SyncTest : public tollgate::testing::MachineTest {};

TEST_F(SyncTest, LockReportsSignalTimeoutAndFailure) {
  HANDLE e = kernel().CreateEventW(true, false);
  EXPECT_FALSE(os::SyncLock::Lock(e, 0));
  kernel().SetEvent(e);
  EXPECT_TRUE(os::SyncLock::Lock(e, 0));
  kernel().CloseHandle(e);
  try {
    os::SyncLock::Lock(e, 0);
    FAIL() << "no error";
  } catch (Error* error) {
    std::unique_ptr<Error> owned(error);
    EXPECT_EQ(error->Id(), 0u);
    EXPECT_EQ(error->Args()[0], L"WaitForSingleObject");
    EXPECT_EQ(error->Args()[1], L"SyncLock::Lock");
    EXPECT_EQ(error->Code(), static_cast<int>(ERROR_INVALID_HANDLE));
  }
}

TEST_F(SyncTest, UnlockPastTheMaximumRaises) {
  HANDLE s = kernel().CreateSemaphoreW(0, 1);
  os::SyncLock::Unlock(s);
  try {
    os::SyncLock::Unlock(s);
    FAIL() << "no error";
  } catch (Error* error) {
    std::unique_ptr<Error> owned(error);
    EXPECT_EQ(error->Args()[0], L"ReleaseSemaphore");
    EXPECT_EQ(error->Args()[1], L"SyncLock::Unlock");
  }
  kernel().CloseHandle(s);
}

TEST_F(SyncTest, WaitsOnSeveralHandlesGiveTheSignalledIndex) {
  std::vector<HANDLE> handles;
  for (int i = 0; i < 3; ++i) handles.push_back(kernel().CreateEventW(true, false));
  EXPECT_EQ(os::SyncLock::Lock(handles, 0), -1);
  std::size_t index = 99;
  auto error = os::WaitForAny(handles, 0, &index);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->Text(), L"TIMEOUT");
  kernel().SetEvent(handles[1]);
  EXPECT_EQ(os::SyncLock::Lock(handles, 0), 1);
  EXPECT_EQ(os::WaitForAny(handles, 0, &index), nullptr);
  EXPECT_EQ(index, 1u);
  for (HANDLE h : handles) kernel().CloseHandle(h);
  error = os::WaitForAny(handles, 0, &index);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->Text(),
            L"error waiting thread: Windows error 6: " + tollgate::testing::OneLineSystemText(6));
  EXPECT_THROW(os::SyncLock::Lock(handles, 0), Error*);
}

TEST_F(SyncTest, ThreadStartsAtOnceAndIsWaitedFor) {
  HANDLE go = kernel().CreateEventW(true, false);
  os::Thread thread;
  thread.Start(20480, [&]() -> DWORD {
    kernel().WaitForSingleObject(go, INFINITE);
    return 7;
  });
  ASSERT_NE(thread.handle, nullptr);
  EXPECT_NE(thread.id, 0u);
  auto error = os::WaitForThread(thread.handle, 10);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->Text(), L"TIMEOUT");
  kernel().SetEvent(go);
  EXPECT_EQ(os::WaitForThread(thread.handle, 5000), nullptr);
  thread.Close();
  kernel().CloseHandle(go);
}

}  // namespace
