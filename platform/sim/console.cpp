#include <cstdio>

#include "platform/sim/areas.h"

namespace platform::sim {

void SimConsole::WriteOut(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void SimConsole::WriteOutWide(std::wstring_view text) {
  WriteOut(Utf8FromWide(text));
}

void SimConsole::WriteErrWide(std::wstring_view text) {
  std::string bytes = Utf8FromWide(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

int SimConsole::ReadChar() {
  int c = std::fgetc(stdin);
  return c == EOF ? -1 : c;
}

}  // namespace platform::sim
