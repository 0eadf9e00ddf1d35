// The process's console: standard output, standard error and standard input.
#pragma once

#include <string>
#include <string_view>

namespace platform {

class Console {
 public:
  virtual ~Console() = default;
  // Narrow text as bytes to standard output.
  virtual void WriteOut(std::string_view text) = 0;
  // Wide text to the console's standard output and standard error streams.
  virtual void WriteOutWide(std::wstring_view text) = 0;
  virtual void WriteErrWide(std::wstring_view text) = 0;
  // One character from standard input; -1 at its end.
  virtual int ReadChar() = 0;
};

}  // namespace platform
