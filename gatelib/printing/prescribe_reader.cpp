#include "gatelib/printing/prescribe_reader.h"

#include <algorithm>
#include <limits>

namespace gatelib::printing {
namespace {

constexpr long long kMostPages = std::numeric_limits<int>::max();

long long Times(long long a, long long b) {
  if (a <= 0 || b <= 0) return 0;
  return a > kMostPages / b ? kMostPages : a * b;
}

// Macro names are kept up to this length.
constexpr std::size_t kNameBytes = 256;

}  // namespace

void PrescribeReader::AddPages(long long n) {
  pages = static_cast<int>(std::min(kMostPages, static_cast<long long>(pages) + n));
}

std::string PrescribeReader::Parameter() {
  std::string token;
  std::uint8_t separator = 0;
  Skip(-1);
  if (!GetNextChar(separator) || separator != ',') return token;
  ReadToken(token);
  UpperAsciiInPlace(token);
  return token;
}

void PrescribeReader::ScanText() {
  static constexpr std::string_view kCommands = "!R!";
  std::size_t matched = 0;
  std::uint8_t byte = 0;
  while (GetNextChar(byte)) {
    if (byte == 0x0C) AddPages(1);
    if (byte == static_cast<std::uint8_t>(kCommands[matched])) {
      if (++matched == kCommands.size()) return;
    } else {
      matched = byte == '!' ? 1 : 0;
    }
  }
}

bool PrescribeReader::Read(JobData& source) {
  SetSource(source);
  bool emulation = false;
  bool defining = false;
  std::string macro;  // the macro being defined
  std::string token;
  for (;;) {
    if (!ReadToken(token)) return true;
    if (token[0] == '"' || token[0] == '\'') {
      const char quote = token[0];
      if (token.find(quote, 1) == std::string::npos) {
        if (!SkipPast(static_cast<std::uint8_t>(quote))) return true;
      }
      continue;
    }
    UpperAsciiInPlace(token);
    if (token.compare(0, 3, "SEM") == 0) {
      emulation = true;
    } else if (token == "EXIT") {
      if (emulation) {
        if (!SkipPast(';')) return true;
        std::uint8_t byte = 0;
        while (GetNextChar(byte)) {
          if (byte != '\n' && byte != '\r' && byte != ' ') {
            Skip(-1);
            break;
          }
        }
        return true;
      }
      ScanText();
    } else if (token == "PAGE") {
      if (!defining) {
        AddPages(1);
      } else if (auto m = macros_.find(macro); m != macros_.end()) {
        m->second = std::min(kMostPages, m->second + 1);
      }
    } else if (token == "COPY") {
      ReadToken(token);
      copies = std::max(copies, DecimalValue(token));
    } else if (token == "MCRO") {
      ReadToken(macro);
      UpperAsciiInPlace(macro);
      macro.resize(std::min(macro.size(), kNameBytes));
      if (macros_.size() < kPrescribeMacros) macros_.emplace(macro, 0);
      defining = true;
    } else if (token == "ENDM") {
      defining = false;
    } else if (token == "CALL") {
      std::string name;
      ReadToken(name);
      UpperAsciiInPlace(name);
      name.resize(std::min(name.size(), kNameBytes));
      const int count = DecimalValue(Parameter());
      if (auto m = macros_.find(name); m != macros_.end()) {
        AddPages(Times(m->second, count > 0 ? count : 1));
      }
    } else if (token == "AMCR") {
      ReadToken(token);  // "T" and a number mark a macro as automatic; nothing is counted by it
      UpperAsciiInPlace(token);
      if (token == "T") ReadToken(token);
    } else if (token == "DAM") {
      macros_.clear();
    } else if (token == "DELM") {
      ReadToken(token);
      UpperAsciiInPlace(token);
      token.resize(std::min(token.size(), kNameBytes));
      macros_.erase(token);
    } else if (token == "CMNT") {
      if (!SkipPast(';')) return true;
    }
  }
}

}  // namespace gatelib::printing
