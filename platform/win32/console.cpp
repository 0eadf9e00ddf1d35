#include <cstdio>

#include "platform/win32/win32.h"

namespace platform::win32 {
namespace {

// A console gets the text as it is; a redirected stream gets it in the console's code page.
void WriteWide(::DWORD stream, std::wstring_view text) {
  HANDLE out = ::GetStdHandle(stream);
  ::DWORD mode = 0;
  ::DWORD done = 0;
  if (::GetConsoleMode(out, &mode)) {
    ::WriteConsoleW(out, text.data(), static_cast<::DWORD>(text.size()), &done, nullptr);
    return;
  }
  UINT codePage = ::GetConsoleOutputCP();
  int n = ::WideCharToMultiByte(codePage != 0 ? codePage : CP_ACP, 0, text.data(),
                                static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return;
  std::string bytes(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(codePage != 0 ? codePage : CP_ACP, 0, text.data(),
                        static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
  std::FILE* file = stream == STD_ERROR_HANDLE ? stderr : stdout;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fflush(file);
}

}  // namespace

void Win32Console::WriteOut(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void Win32Console::WriteOutWide(std::wstring_view text) {
  std::fflush(stdout);
  WriteWide(STD_OUTPUT_HANDLE, text);
}

void Win32Console::WriteErrWide(std::wstring_view text) {
  WriteWide(STD_ERROR_HANDLE, text);
}

int Win32Console::ReadChar() {
  int c = std::fgetc(stdin);
  return c == EOF ? -1 : c;
}

}  // namespace platform::win32
