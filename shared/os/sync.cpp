#include "shared/os/sync.h"

#include "platform/platform.h"
#include "shared/error/errors.h"

namespace os {

void Thread::Start(std::size_t stackSize, std::function<platform::DWORD()> procedure) {
  handle = platform::kernel().CreateThread(stackSize, std::move(procedure), &id);
  if (handle == nullptr) throw new SystemError(L"M40");
}

void Thread::Close() {
  if (handle != nullptr) platform::kernel().CloseHandle(handle);
  handle = nullptr;
  id = 0;
}

namespace SyncLock {

bool Lock(platform::HANDLE handle, platform::DWORD milliseconds) {
  platform::DWORD result = platform::kernel().WaitForSingleObject(handle, milliseconds);
  if (result == platform::WAIT_OBJECT_0) return true;
  if (result == platform::WAIT_TIMEOUT) return false;
  throw new SystemError(L"WaitForSingleObject", L"SyncLock::Lock");
}

void Unlock(platform::HANDLE semaphore) {
  if (!platform::kernel().ReleaseSemaphore(semaphore, 1, nullptr)) {
    throw new SystemError(L"ReleaseSemaphore", L"SyncLock::Unlock");
  }
}

int Lock(const std::vector<platform::HANDLE>& handles, platform::DWORD milliseconds) {
  platform::DWORD result = platform::kernel().WaitForMultipleObjects(
      static_cast<platform::DWORD>(handles.size()), handles.data(), false, milliseconds);
  if (result == platform::WAIT_TIMEOUT) return -1;
  if (result == platform::WAIT_FAILED) {
    throw new SystemError(L"WaitForMultipleObjects", L"SyncLock::Lock(HANDLES[])");
  }
  return static_cast<int>(result);
}

}  // namespace SyncLock

tollgate::ErrorResultPtr WaitForThread(platform::HANDLE thread, platform::DWORD milliseconds) {
  platform::DWORD result = platform::kernel().WaitForSingleObject(thread, milliseconds);
  switch (result) {
    case platform::WAIT_OBJECT_0:
      return nullptr;
    case platform::WAIT_TIMEOUT:
      return tollgate::MakeError(L"TIMEOUT");
    case platform::WAIT_FAILED:
      return tollgate::WrapError(tollgate::WindowsErrorResult(), L"error waiting thread");
    default:
      return tollgate::MakeError(L"unexpected state waiting on thread");
  }
}

tollgate::ErrorResultPtr WaitForAny(const std::vector<platform::HANDLE>& handles,
                                    platform::DWORD milliseconds, std::size_t* index) {
  platform::DWORD result = platform::kernel().WaitForMultipleObjects(
      static_cast<platform::DWORD>(handles.size()), handles.data(), false, milliseconds);
  if (result == platform::WAIT_TIMEOUT) return tollgate::MakeError(L"TIMEOUT");
  if (result == platform::WAIT_FAILED) {
    return tollgate::WrapError(tollgate::WindowsErrorResult(), L"error waiting thread");
  }
  if (result < 128) {
    if (index != nullptr) *index = result;
    return nullptr;
  }
  return tollgate::MakeError(L"the object " + std::to_wstring(result) + L" was abandoned");
}

}  // namespace os
