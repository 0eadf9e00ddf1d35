#include <process.h>

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/win32/win32.h"

namespace platform::win32 {
namespace {

unsigned __stdcall ThreadStart(void* parameter) {
  std::unique_ptr<Kernel::ThreadRoutine> routine(static_cast<Kernel::ThreadRoutine*>(parameter));
  return (*routine)();
}

// Structured exceptions. GCC cannot throw from an exception filter, so the vectored handler
// moves the faulting thread into a function that throws the translation, as if the faulting
// instruction had called it; the program is built with -fnon-call-exceptions so that the
// unwinder finds the faulting frame's handlers.
thread_local Kernel::StructuredExceptionTranslator threadTranslator = nullptr;
thread_local unsigned translatedCode = 0;

[[noreturn]] void ThrowTranslated() {
  threadTranslator(translatedCode);
  std::terminate();  // a translator always throws
}

::LONG CALLBACK TranslateFault(EXCEPTION_POINTERS* info) {
  ::DWORD code = info->ExceptionRecord->ExceptionCode;
  // Only faults of a thread that asked for translation; C++ exceptions and the faults that
  // leave no usable stack pass on.
  if (threadTranslator == nullptr || (code & 0xF0000000u) != 0xC0000000u ||
      code == STATUS_STACK_OVERFLOW || code == 0xC0000409u /* stack buffer overrun */) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
#if defined(__x86_64__)
  translatedCode = code;
  CONTEXT* context = info->ContextRecord;
  context->Rsp -= 8;
  *reinterpret_cast<DWORD64*>(context->Rsp) = context->Rip + 1;
  context->Rip = reinterpret_cast<DWORD64>(&ThrowTranslated);
  return EXCEPTION_CONTINUE_EXECUTION;
#else
  return EXCEPTION_CONTINUE_SEARCH;
#endif
}

}  // namespace

DWORD Win32Kernel::GetLastError() {
  return ::GetLastError();
}
void Win32Kernel::SetLastError(DWORD code) {
  ::SetLastError(code);
}

std::optional<std::wstring> Win32Kernel::FormatMessageW(DWORD flags, DWORD code, DWORD languageId) {
  wchar_t* buffer = nullptr;
  // Inserts are never filled in: the agent formats system texts without arguments.
  ::DWORD length =
      ::FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, languageId, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0) return std::nullopt;
  std::wstring text(buffer, length);
  if (::LocalFree(buffer) != nullptr) {
    throw std::runtime_error("LocalFree error: " + std::to_string(::GetLastError()));
  }
  return text;
}

HANDLE Win32Kernel::CreateEventW(bool manualReset, bool initialState) {
  return ::CreateEventW(nullptr, manualReset, initialState, nullptr);
}

bool Win32Kernel::SetEvent(HANDLE event) {
  return ::SetEvent(event) != 0;
}
bool Win32Kernel::ResetEvent(HANDLE event) {
  return ::ResetEvent(event) != 0;
}

HANDLE Win32Kernel::CreateSemaphoreW(LONG initialCount, LONG maximumCount) {
  return ::CreateSemaphoreW(nullptr, initialCount, maximumCount, nullptr);
}

bool Win32Kernel::ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LONG* previousCount) {
  ::LONG previous = 0;
  bool ok = ::ReleaseSemaphore(semaphore, releaseCount, &previous) != 0;
  if (ok && previousCount != nullptr) *previousCount = previous;
  return ok;
}

bool Win32Kernel::CloseHandle(HANDLE handle) {
  return ::CloseHandle(handle) != 0;
}

HANDLE Win32Kernel::CreateThread(std::size_t stackSize, ThreadRoutine routine, DWORD* threadId) {
  auto* parameter = new ThreadRoutine(std::move(routine));
  unsigned id = 0;
  std::uintptr_t handle =
      ::_beginthreadex(nullptr, static_cast<unsigned>(stackSize), &ThreadStart, parameter, 0, &id);
  if (handle == 0) {
    delete parameter;
    return nullptr;
  }
  if (threadId != nullptr) *threadId = id;
  return reinterpret_cast<HANDLE>(handle);
}

DWORD Win32Kernel::GetCurrentThreadId() {
  return ::GetCurrentThreadId();
}

bool Win32Kernel::GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
  ::DWORD code = 0;
  bool ok = ::GetExitCodeThread(thread, &code) != 0;
  if (ok && exitCode != nullptr) *exitCode = code;
  return ok;
}

bool Win32Kernel::TerminateThread(HANDLE thread, DWORD exitCode) {
  return ::TerminateThread(thread, exitCode) != 0;
}

void Win32Kernel::Sleep(DWORD milliseconds) {
  ::Sleep(milliseconds);
}

DWORD Win32Kernel::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return ::WaitForSingleObject(handle, milliseconds);
}

DWORD Win32Kernel::WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll,
                                          DWORD milliseconds) {
  return ::WaitForMultipleObjects(count, handles, waitAll, milliseconds);
}

void Win32Kernel::SetStructuredExceptionTranslator(StructuredExceptionTranslator translator) {
  static PVOID handler = ::AddVectoredExceptionHandler(1, &TranslateFault);
  (void)handler;
  threadTranslator = translator;
}

}  // namespace platform::win32
