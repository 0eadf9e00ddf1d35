// Threads and waits on the platform's kernel objects.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/types.h"
#include "shared/error/error_result.h"

namespace os {

// A started thread: its handle and id. The owner closes the handle once it has waited for
// the thread.
struct Thread {
  platform::HANDLE handle = nullptr;
  platform::DWORD id = 0;

  // Starts `procedure` at once on a new thread; SystemError "M40" when it cannot start.
  void Start(std::size_t stackSize, std::function<platform::DWORD()> procedure);
  // Closes the handle (once).
  void Close();
};

namespace SyncLock {

// Waits for the handle: true when signalled, false on a time-out; any other result raises
// SystemError ("WaitForSingleObject", "SyncLock::Lock").
bool Lock(platform::HANDLE handle, platform::DWORD milliseconds);
// Releases the semaphore by one; SystemError ("ReleaseSemaphore", "SyncLock::Unlock").
void Unlock(platform::HANDLE semaphore);
// Waits for any of the handles: -1 on a time-out, else the raw result (the index, or 0x80
// plus the index of an abandoned mutex); SystemError ("WaitForMultipleObjects",
// "SyncLock::Lock(HANDLES[])") when the wait fails.
int Lock(const std::vector<platform::HANDLE>& handles, platform::DWORD milliseconds);

}  // namespace SyncLock

// Waits for a thread: none when it ended, "TIMEOUT", or the reason the wait failed.
tollgate::ErrorResultPtr WaitForThread(platform::HANDLE thread, platform::DWORD milliseconds);
// Waits for any of the handles and stores the index of the signalled one.
tollgate::ErrorResultPtr WaitForAny(const std::vector<platform::HANDLE>& handles,
                                    platform::DWORD milliseconds, std::size_t* index);

}  // namespace os
