#include "gatelib/printing/postscript_reader.h"

#include <limits>

#include "shared/error/errors.h"

namespace gatelib::printing {
namespace {

bool BeginsWithDigit(const std::string& text) {
  return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

}  // namespace

void PostScriptReader::StepBackOverLineEnd() {
  // The LF that ended a token may begin the next comment.
  if (Source().Position() == 0) return;
  Skip(-1);
  std::uint8_t byte = 0;
  if (GetNextChar(byte) && byte == '\n') Skip(-1);
}

void PostScriptReader::Restart() {
  if (Source().Seek(start_) < 0) throw new SystemError(L"file.Seek", L"PostScriptReader::Read");
}

bool PostScriptReader::Read(JobData& source) {
  SetSource(source);
  start_ = source.Position();

  std::string count = RequirementsCopies();
  Restart();
  std::string setupCount = SetupCopies();
  if (count.empty()) count = setupCount;
  copies = count.empty() ? 1 : DecimalValue(count);
  Restart();

  ReadPaper();
  Restart();

  CountPages();
  Restart();
  FindText("\x1b%-12345X");
  return true;
}

std::string PostScriptReader::RequirementsCopies() {
  std::string count;
  if (!FindText("\n%%Requirements:")) return count;
  std::string token;
  while (ReadToken(token) && token.rfind("%%", 0) != 0) {
    if (token == "duplex") {
      duplex = true;
    } else if (token == "numcopies" && count.empty()) {
      ReadToken(count);
      if (count.rfind("%%", 0) == 0) break;
    }
  }
  return count;
}

std::string PostScriptReader::SetupCopies() {
  std::string count;
  if (!FindText("\n%%BeginSetup")) return count;
  std::string token;
  while (ReadToken(token) && token != "%%EndSetup") {
    if ((token == "NumCopies" || token == "/NumCopies") && count.empty()) {
      std::string value;
      ReadToken(value);
      if (value != "null") count = value;
    } else if (token == "/#copies" && count.empty()) {
      ReadToken(count);
    } else if (token == "/Duplex") {
      std::string value;
      ReadToken(value);
      if (value == "true") duplex = true;
    }
  }
  return count;
}

void PostScriptReader::ReadPaper() {
  if (!FindText("\n%%BeginFeature:") || !FindText("*PageSize")) return;
  std::string token;
  if (ReadToken(token)) paperName = WidenBytes(token);
}

void PostScriptReader::CountPages() {
  std::string token;
  // The page count of the header or, when it is "(atend)", of the trailer.
  while (FindText("\n%%Pages:")) {
    ReadBalancedToken(token);
    StepBackOverLineEnd();
    if (BeginsWithDigit(token)) {
      pages = DecimalValue(token);
      return;
    }
  }
  Restart();
  while (FindText("\n%%PageTrailer")) {
    if (pages < std::numeric_limits<int>::max()) ++pages;
  }
  if (pages >= 1) return;
  Restart();
  // The ordinal of the last page comment.
  std::string ordinal;
  while (FindText("\n%%Page:")) {
    ReadBalancedToken(token);
    ReadToken(ordinal);
    StepBackOverLineEnd();
    if (BeginsWithDigit(ordinal)) pages = DecimalValue(ordinal);
  }
}

}  // namespace gatelib::printing
