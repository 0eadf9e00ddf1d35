#include "gatelib/printing/pjl_reader.h"

#include <limits>

#include "shared/error/errors.h"

namespace gatelib::printing {
namespace {

constexpr std::uint8_t kEsc = 0x1B;

// The states of the header: what the last keywords were.
enum State : std::uint8_t {
  kIgnoring = 0,    // up to the next "@PJL"
  kCommand = 1,     // after "@PJL"
  kSet = 2,         // after "SET"
  kCopies = 3,      // after "COPIES"
  kQuantity = 4,    // after "QTY"
  kEnter = 5,       // after "ENTER"
  kLanguage = 6,    // after "ENTER LANGUAGE"
  kRenderMode = 7,  // after "RENDERMODE"
  kDuplex = 8,      // after "DUPLEX"
  kColourMode = 9,  // after "COLORMODE"
  kKColourMode = 10,
  kDataMode = 11,
  kException = 12,  // after "XCPT": an XML job ticket
};

}  // namespace

PjlReader::PjlReader(PageEndList& pageEnds, const SegmentReaders& readers)
    : StreamReader(kPjlSeparators), pageEnds_(pageEnds), readers_(readers) {}

bool PjlReader::Read(JobData& source) {
  SetSource(source);
  Skip(-4);  // "@PJL", consumed by detection
  State state = kIgnoring;
  std::string token;
  for (;;) {
    // The separators after a line (CR LF as well as LF) come before the look at what follows.
    if (!SkipSeparators()) break;
    std::uint8_t next = Source().Window()[0];
    if (next == kEsc || next == '%') break;  // the next segment
    ReadToken(token);
    UpperAsciiInPlace(token);
    if (token == "EOJ") {
      // The rest of the line belongs to the header.
      Skip(-1);
      std::uint8_t byte = 0;
      if (GetNextChar(byte) && byte != '\n') SkipPast('\n');
      break;
    }
    // The end of the data (a header cut short before it named its language, too), or the
    // universal exit.
    if (token.empty() || token == "\x1b%-12345X") break;
    if (token == "@PJL") {
      state = kCommand;
      continue;
    }
    if (token == "XCPT") {
      state = kException;
      continue;
    }
    switch (state) {
      case kCommand:
        if (token == "SET") {
          state = kSet;
        } else if (token == "ENTER") {
          state = kEnter;
        } else if (token == "COMMENT") {
          SkipPast('\n');
        } else if (token == "PAUSEDJOB" || token == "SECUREJOB") {
          holdMode = 2;
        } else {
          state = kIgnoring;
        }
        break;
      case kSet:
        if (token == "COPIES") {
          state = kCopies;
        } else if (token == "QTY") {
          state = kQuantity;
        } else if (token == "RENDERMODE") {
          state = kRenderMode;
        } else if (token == "DUPLEX") {
          state = kDuplex;
        } else if (token == "GRAYSCALE") {
          // Only the keyword counts: a grey-scale setting means a monochrome job.
          colourKnown = true;
          colour = false;
        } else if (token == "COLORMODE") {
          state = kColourMode;
        } else if (token == "KCOLORMODE") {
          state = kKColourMode;
        } else if (token == "DATAMODE") {
          state = kDataMode;
        }
        break;
      case kCopies:
      case kQuantity:
        // Every token up to the next "@PJL" is taken as the copy count.
        copies = DecimalValue(token);
        break;
      case kEnter:
        state = token == "LANGUAGE" ? kLanguage : kIgnoring;
        break;
      case kLanguage:
        return Enter(token);
      case kRenderMode:
      case kKColourMode:
      case kDataMode:
        colourKnown = true;
        colour = token == "COLOR";
        state = kIgnoring;
        break;
      case kDuplex:
        duplex = token == "ON";
        state = kIgnoring;
        break;
      case kColourMode:
        colourKnown = true;
        colour = token == "COLOR" || token == "AUTO";
        state = kIgnoring;
        break;
      case kException:
        ReadJobTicket();
        break;
      case kIgnoring:
        break;
    }
  }
  return true;
}

void PjlReader::ReadJobTicket() {
  const std::int64_t start = Source().Position();
  std::unique_ptr<StreamReader> ticket =
      readers_.MakeHeaderReader(HeaderStream::JobTicket, pageEnds_);
  if (ticket != nullptr && ticket->Read(Source())) {
    colourKnown = true;
    colour = ticket->colour;
    return;
  }
  if (Source().Seek(start) < 0) throw new SystemError(L"file.Seek", L"PjlReader::Read");
}

bool PjlReader::Enter(const std::string& name) {
  int copyCandidate = 0;
  bool read = false;
  if (name == "PCLXL") {
    language = PrinterLanguage::PCLXL;
    std::unique_ptr<StreamReader> reader = readers_.MakeReader(PrinterLanguage::PCLXL, pageEnds_);
    if (reader == nullptr || !reader->Read(Source())) return false;
    monoPages = reader->monoPages;
    colourPages = reader->colourPages;
    pages = monoPages + colourPages;
    if (reader->mediaSize) {
      mediaSize = std::move(reader->mediaSize);
    } else if (!reader->paperName.empty()) {
      paperName = reader->paperName;
    }
    if (reader->measure) measure = std::move(reader->measure);
    if (reader->unitsPerMeasureX && reader->unitsPerMeasureY) {
      unitsPerMeasureX = std::move(reader->unitsPerMeasureX);
      unitsPerMeasureY = std::move(reader->unitsPerMeasureY);
    }
    if (reader->orientation) orientation = std::move(reader->orientation);
    if (reader->duplex) duplex = true;
    copyCandidate = reader->copies;
    if (colourPages > 0) {
      colourKnown = true;
      colour = true;
    }
    read = true;
  } else if (name == "PCL" || name == "PCL3GUI" || name == "PCLSLEEK" || name == "LAVAFLOW") {
    language = PrinterLanguage::PCL;
    read = RunEntered(readers_.MakeReader(PrinterLanguage::PCL, pageEnds_).get(), copyCandidate);
  } else if (name == "SMART") {
    PjlPrintCountReader reader;
    read = RunEntered(&reader, copyCandidate);
  } else if (name == "POSTSCRIPT") {
    language = PrinterLanguage::POSTSCRIPT;
    std::unique_ptr<StreamReader> reader =
        readers_.MakeReader(PrinterLanguage::POSTSCRIPT, pageEnds_);
    read = RunEntered(reader.get(), copyCandidate);
    if (read && !reader->paperName.empty()) paperName = reader->paperName;
  } else if (name == "QPDL" || name == "RPCS" || name == "HBP") {
    HeaderStream stream = name == "QPDL"   ? HeaderStream::Qpdl
                          : name == "RPCS" ? HeaderStream::Rpcs
                                           : HeaderStream::Hbp;
    read = RunEntered(readers_.MakeHeaderReader(stream, pageEnds_).get(), copyCandidate);
  } else if (name == "HPGL2") {
    // One page; nothing after it is read: the position moves on by the size of the file, to
    // the end of the data.
    pages = 1;
    const std::int64_t size = Source().Size();
    if (size >= 0) {
      Skip(size);
    } else {
      while (!Source().Window().empty()) Source().Advance(Source().Window().size());
    }
    read = true;
  } else if (name == "GDI") {
    std::uint8_t first = 0;
    if (!GetNextChar(first) || (first != kEsc && first != 0x81)) return false;
    Skip(-1);
    HeaderStream stream =
        first == kEsc ? HeaderStream::EscapeGdi : HeaderStream::HeaderlessSharpGdi;
    read = RunEntered(readers_.MakeHeaderReader(stream, pageEnds_).get(), copyCandidate);
  } else if (name == "ZJS") {
    // The stream that follows is counted by its own reader.
    read = true;
  }
  if (!read) return false;
  if (copyCandidate > copies) copies = copyCandidate;
  return true;
}

bool PjlReader::RunEntered(StreamReader* reader, int& copyCandidate) {
  if (reader == nullptr || !reader->Read(Source())) return false;
  pages = reader->pages;
  copyCandidate = reader->copies;
  if (reader->duplex) duplex = true;
  // A stream that states the colour of its pages outranks the header's colour mode.
  if (reader->colourKnown) {
    colourKnown = true;
    colour = reader->colour;
    colourPages = reader->colourPages;
    monoPages = reader->monoPages;
  }
  return true;
}

bool PjlPrintCountReader::Read(JobData& source) {
  SetSource(source);
  std::string token;
  if (FindText("$PJL COPIES") && FindText("=")) {
    ReadToken(token);
    copies = DecimalValue(token);
  } else {
    copies = 1;
    if (source.Rewind() < 0) throw new SystemError(L"file.Seek", L"PjlPrintCountReader::Read");
  }
  while (FindText("$PJL PRINT")) {
    if (pages < std::numeric_limits<int>::max()) ++pages;
  }
  return true;
}

}  // namespace gatelib::printing
