// Kernel services: last error, system message texts, events, semaphores, threads and waits.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/types.h"

namespace platform {

class Kernel {
 public:
  virtual ~Kernel() = default;

  // The calling thread's last error (GetLastError / SetLastError).
  virtual DWORD GetLastError() = 0;
  virtual void SetLastError(DWORD code) = 0;

  // FormatMessageW with FORMAT_MESSAGE_FROM_SYSTEM: the system text of `code`. The low byte
  // of `flags` is FORMAT_MESSAGE_MAX_WIDTH_MASK as on Windows (0xFF: one line, the message
  // table's line breaks become spaces). Without a text for the code: nullopt and the last
  // error is ERROR_MR_MID_NOT_FOUND.
  virtual std::optional<std::wstring> FormatMessageW(DWORD flags, DWORD code, DWORD languageId) = 0;

  // Kernel objects. A failing call returns null (or false) and sets the last error.
  virtual HANDLE CreateEventW(bool manualReset, bool initialState) = 0;
  virtual bool SetEvent(HANDLE event) = 0;
  virtual bool ResetEvent(HANDLE event) = 0;
  virtual HANDLE CreateSemaphoreW(LONG initialCount, LONG maximumCount) = 0;
  virtual bool ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LONG* previousCount) = 0;
  virtual bool CloseHandle(HANDLE handle) = 0;

  // Threads: the routine's result is the thread's exit code. The stack size is a request.
  using ThreadRoutine = std::function<DWORD()>;
  virtual HANDLE CreateThread(std::size_t stackSize, ThreadRoutine routine, DWORD* threadId) = 0;
  virtual DWORD GetCurrentThreadId() = 0;
  virtual bool GetExitCodeThread(HANDLE thread, DWORD* exitCode) = 0;
  virtual bool TerminateThread(HANDLE thread, DWORD exitCode) = 0;
  virtual void Sleep(DWORD milliseconds) = 0;

  // Waits: WAIT_OBJECT_0 + index, WAIT_TIMEOUT or WAIT_FAILED (with the last error set).
  virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
  virtual DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll,
                                       DWORD milliseconds) = 0;

  // Structured exceptions: installs the translator on the calling thread where the platform
  // has structured exceptions; a no-op elsewhere.
  using StructuredExceptionTranslator = void (*)(unsigned code);
  virtual void SetStructuredExceptionTranslator(StructuredExceptionTranslator translator) = 0;
};

}  // namespace platform
