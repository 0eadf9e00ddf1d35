#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/sim/areas.h"
#include "platform/sim/system_messages.h"

namespace platform::sim {

DWORD& ThreadLastError() {
  thread_local DWORD lastError = 0;
  return lastError;
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return 206;  // ERROR_FILENAME_EXCED_RANGE
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EMFILE:
    case ENFILE:
      return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOTEMPTY:
      return 145;  // ERROR_DIR_NOT_EMPTY
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

namespace {

std::atomic<DWORD> nextThreadId{0x104};

DWORD& ThreadId() {
  thread_local DWORD id = 0;
  return id;
}

}  // namespace

DWORD SimKernel::GetLastError() {
  return ThreadLastError();
}
void SimKernel::SetLastError(DWORD code) {
  ThreadLastError() = code;
}

std::optional<std::wstring> SimKernel::FormatMessageW(DWORD flags, DWORD code, DWORD languageId) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
      (languageId != 0 && languageId != 0x400 && languageId != 0x409 && languageId != 0x800)) {
    return Fail(ERROR_INVALID_PARAMETER, std::nullopt);
  }
  const wchar_t* text = SystemMessageText(code);
  if (text == nullptr) {
    return Fail(ERROR_MR_MID_NOT_FOUND, std::nullopt);
  }
  std::wstring result(text);
  if ((flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK) {
    // One line: the message table's line breaks become single spaces.
    std::wstring joined;
    for (std::size_t i = 0; i < result.size(); ++i) {
      if (result[i] == L'\r' && i + 1 < result.size() && result[i + 1] == L'\n') {
        joined += L' ';
        ++i;
      } else if (result[i] == L'\n') {
        joined += L' ';
      } else {
        joined += result[i];
      }
    }
    result = std::move(joined);
  }
  return result;
}

HANDLE SimKernel::CreateEventW(bool manualReset, bool initialState) {
  return handles_.Add(std::make_shared<EventObject>(manualReset, initialState));
}

bool SimKernel::SetEvent(HANDLE event) {
  auto e = handles_.FindAs<EventObject>(event);
  if (!e) return Fail(ERROR_INVALID_HANDLE, false);
  handles_.Signal([&] { e->Set(true); });
  return true;
}

bool SimKernel::ResetEvent(HANDLE event) {
  auto e = handles_.FindAs<EventObject>(event);
  if (!e) return Fail(ERROR_INVALID_HANDLE, false);
  handles_.Signal([&] { e->Set(false); });
  return true;
}

HANDLE SimKernel::CreateSemaphoreW(LONG initialCount, LONG maximumCount) {
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  return handles_.Add(std::make_shared<SemaphoreObject>(initialCount, maximumCount));
}

bool SimKernel::ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LONG* previousCount) {
  auto s = handles_.FindAs<SemaphoreObject>(semaphore);
  if (!s) return Fail(ERROR_INVALID_HANDLE, false);
  bool released = false;
  handles_.Signal([&] { released = s->Release(releaseCount, previousCount); });
  if (!released) return Fail(298u, false);  // ERROR_TOO_MANY_POSTS
  return true;
}

bool SimKernel::CloseHandle(HANDLE handle) {
  if (!handles_.Close(handle)) return Fail(ERROR_INVALID_HANDLE, false);
  return true;
}

HANDLE SimKernel::CreateThread(std::size_t /*stackSize*/, ThreadRoutine routine, DWORD* threadId) {
  if (!routine) return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  auto object = std::make_shared<EndingObject>();
  DWORD id = nextThreadId.fetch_add(4);
  HandleTable& table = handles_;
  try {
    std::thread([object, id, &table, routine = std::move(routine)]() {
      ThreadId() = id;
      DWORD code = routine();
      table.Signal([&] {
        if (!object->Ended()) object->End(code);
      });
    }).detach();
  } catch (const std::system_error&) {
    return Fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  if (threadId != nullptr) *threadId = id;
  return handles_.Add(object);
}

DWORD SimKernel::GetCurrentThreadId() {
  DWORD& id = ThreadId();
  if (id == 0) id = nextThreadId.fetch_add(4);
  return id;
}

bool SimKernel::GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
  auto t = handles_.FindAs<EndingObject>(thread);
  if (!t || exitCode == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  std::lock_guard<std::mutex> guard(handles_.WaitLock());
  *exitCode = t->ExitCode();
  return true;
}

bool SimKernel::TerminateThread(HANDLE thread, DWORD exitCode) {
  // A host thread cannot be ended from outside: the simulated thread counts as ended for
  // every waiter, with the given exit code, and its host thread runs on detached.
  auto t = handles_.FindAs<EndingObject>(thread);
  if (!t) return Fail(ERROR_INVALID_HANDLE, false);
  handles_.Signal([&] {
    if (!t->Ended()) t->End(exitCode);
  });
  return true;
}

void SimKernel::Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD SimKernel::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, false, milliseconds);
}

DWORD SimKernel::WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll,
                                        DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
  }
  std::vector<std::shared_ptr<Object>> objects;
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    auto object = handles_.Find(handles[i]);
    if (!object || !object->Waitable()) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
    objects.push_back(std::move(object));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock<std::mutex> lock(handles_.WaitLock());
  for (;;) {
    if (waitAll) {
      bool all = true;
      for (auto& o : objects) all = all && o->Signaled();
      if (all) {
        for (auto& o : objects) o->Acquire();
        return WAIT_OBJECT_0;
      }
    } else {
      for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->Signaled()) {
          objects[i]->Acquire();
          return WAIT_OBJECT_0 + i;
        }
      }
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;
    if (milliseconds == INFINITE) {
      handles_.WaitCondition().wait(lock);
    } else if (handles_.WaitCondition().wait_until(lock, deadline) == std::cv_status::timeout &&
               std::chrono::steady_clock::now() >= deadline) {
      // One last look: a signal may have come with the time-out.
      milliseconds = 0;
    }
  }
}

void SimKernel::SetStructuredExceptionTranslator(StructuredExceptionTranslator) {
  // No structured exceptions on this platform.
}

}  // namespace platform::sim
