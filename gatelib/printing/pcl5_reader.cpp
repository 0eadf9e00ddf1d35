#include "gatelib/printing/pcl5_reader.h"

#include <algorithm>
#include <limits>

namespace gatelib::printing {
namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kFormFeed = 0x0C;
constexpr std::uint8_t kLineFeed = 0x0A;
// Parameter values beyond this are taken as this: no page is that long, no data block that big.
constexpr double kLargestValue = 1e12;
// Digits of a parameter kept; the rest of a longer run is consumed.
constexpr std::size_t kParameterDigits = 32;

bool IsParameterByte(std::uint8_t b) {
  return (b >= '0' && b <= '9') || b == '+' || b == '-' || b == '.';
}
// A byte that continues an escape sequence (a lower-case letter and its neighbours).
bool ContinuesSequence(std::uint8_t b) {
  return b >= 0x60 && b <= 0x7E;
}
// A byte that ends an escape sequence (an upper-case letter and its neighbours).
bool EndsSequence(std::uint8_t b) {
  return b >= 0x40 && b <= 0x5E;
}

double ValueOf(const std::string& text) {
  double value = 0;
  double scale = 0;  // 0 before the decimal point
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.') {
      if (scale != 0) break;
      scale = 1;
    } else if (c >= '0' && c <= '9') {
      if (scale == 0) {
        value = std::min(value * 10 + (c - '0'), kLargestValue);
      } else {
        scale /= 10;
        value += (c - '0') * scale;
      }
    } else {
      break;
    }
  }
  return negative ? -value : value;
}

int IntOf(double value) {
  if (value >= std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (value <= std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

}  // namespace

Pcl5Reader::Pcl5Reader() {
  copies = 1;
  cursorY = PageStart();
}

double Pcl5Reader::PageStart() const {
  return std::min(topMargin + 0.75 * lineSpacing, pageLength);
}

bool Pcl5Reader::NextCharacter(std::uint8_t& byte, bool& single) {
  JobData& data = Source();
  if (!data.GetNextChar(byte)) return false;
  single = true;
  bool lead = false;
  switch (textParsingMethod) {
    case 2: {
      std::uint8_t second = 0;
      if (!data.GetNextChar(second)) return false;
      single = byte == 0;
      byte = second;
      return true;
    }
    case 21:
      lead = byte >= 33;
      break;
    case 31:
      lead = (byte >= 129 && byte <= 159) || (byte >= 224 && byte <= 252);
      break;
    case 38:
      lead = byte >= 0x80;
      break;
    default:
      break;
  }
  if (lead) {
    single = false;
    std::uint8_t second = 0;
    if (!data.GetNextChar(second)) return false;
    byte = second;
  }
  return true;
}

Pcl5Reader::Next Pcl5Reader::ReadParameter(Parameter& p, bool angleBrackets) {
  JobData& data = Source();
  text_.clear();
  std::uint8_t b = 0;
  if (!data.GetNextChar(b)) return Next::End;
  if (angleBrackets && b == '<') {
    // A bracketed parameter: up to the next ">" that does not directly follow the "<".
    if (!data.GetNextChar(b)) return Next::End;
    if (!SkipPast('>')) return Next::End;
    if (!data.GetNextChar(b)) return Next::End;
  }
  while (IsParameterByte(b)) {
    if (text_.size() < kParameterDigits) text_.push_back(static_cast<char>(b));
    if (!data.GetNextChar(b)) return Next::End;
  }
  p.value = ValueOf(text_);
  p.signedValue = !text_.empty() && (text_[0] == '+' || text_[0] == '-');
  if (ContinuesSequence(b)) {
    p.letter = static_cast<char>(b - 0x20);
    p.last = false;
    return Next::Parameter;
  }
  if (EndsSequence(b)) {
    p.letter = static_cast<char>(b);
    p.last = true;
    return Next::Parameter;
  }
  data.Skip(-1);  // not part of the sequence: read again as text
  return Next::Text;
}

template <typename Handle>
bool Pcl5Reader::Sequence(Handle handle, bool angleBrackets) {
  Parameter p;
  for (;;) {
    switch (ReadParameter(p, angleBrackets)) {
      case Next::End:
        return false;
      case Next::Text:
        return true;
      case Next::Parameter:
        handle(p);
        if (p.last) return true;
        break;
    }
  }
}

void Pcl5Reader::SkipData(double value) {
  if (value >= 1) Source().Skip(static_cast<std::int64_t>(value));
}

void Pcl5Reader::NewPage() {
  if (pages < std::numeric_limits<int>::max()) ++pages;
  lastPage_ = planes_;
  int& kind = planes_ == 2 ? colourPages : monoPages;
  if (planes_ != 0 && kind < std::numeric_limits<int>::max()) ++kind;
  cursorY = PageStart();
  linesOnPage = 0;
  pageClean_ = true;
  afterEject_ = false;
}

void Pcl5Reader::FormFeed() {
  // A form feed directly after an eject ends no further page.
  bool ejected = afterEject_ && pageClean_;
  NewPage();
  if (ejected) {
    --pages;
    if (lastPage_ == 2) --colourPages;
    if (lastPage_ == 1) --monoPages;
  }
}

void Pcl5Reader::Eject() {
  // An eject of a page that is still blank after the last page end prints nothing.
  if (!pageClean_) NewPage();
  afterEject_ = true;
}

void Pcl5Reader::LineFeed() {
  cursorY += lineSpacing;
  if (cursorY > topMargin + textLength) NewPage();
  ++linesOnPage;
}

void Pcl5Reader::SetPageLength(double length) {
  pageLength = length > 0 ? length : 11.0;
  topMargin = 0.5 * lineSpacing;
  textLength = pageLength - topMargin;
  cursorY = PageStart();
}

void Pcl5Reader::SetTopMargin(double margin) {
  topMargin = margin;
  textLength = pageLength - topMargin;
  cursorY = PageStart();
}

void Pcl5Reader::PageFormat(const Parameter& p) {
  const double v = p.value;
  switch (p.letter) {
    case 'A':  // page size: Letter and A4 change the length
      if (v == 2) SetPageLength(11.0);
      if (v == 26) SetPageLength(11.69);
      break;
    case 'C':  // vertical motion index, in 1/48 inch
      lineSpacing = v / 48;
      if (textLengthLines != 0) textLength = lineSpacing * textLengthLines;
      break;
    case 'D':  // lines per inch
      if (v > 0) {
        lineSpacing = 1 / v;
      } else {
        lineSpacing = 0;
        if (textLengthLines != 0) textLength = 0;
      }
      break;
    case 'E':  // top margin, in lines
      if (lineSpacing != 0) SetTopMargin(v * lineSpacing);
      break;
    case 'F':  // text length, in lines
      if (lineSpacing == 0) break;
      if (v <= 0) {
        textLengthLines = 0;
        textLength = pageLength - topMargin;
      } else if (v * lineSpacing <= pageLength - topMargin) {
        textLength = v * lineSpacing;
        textLengthLines = IntOf(v);
      }
      break;
    case 'L':  // perforation skip off
      if (v == 0) SetTopMargin(0);
      break;
    case 'P':  // page length, in lines
      SetPageLength(v * lineSpacing);
      break;
    case 'W':
      SkipData(v);
      break;
    case 'X':
      copies = IntOf(v);
      break;
    case 'H':  // paper source; 0 ejects the page
      if (v == 0 && !p.signedValue) Eject();
      break;
    case 'S':  // 1 and 2: long- and short-edge duplex
      if (v == 1 || v == 2) duplex = true;
      break;
    default:
      break;
  }
}

void Pcl5Reader::RowPosition(const Parameter& p) {
  double move = p.value * lineSpacing;
  if (p.signedValue && p.value < 0) {
    cursorY = std::clamp(cursorY + move, 0.0, pageLength);
    return;
  }
  double target = p.signedValue ? cursorY + move : move;
  if (target < 0) {
    cursorY = 0;
  } else if (target > pageLength) {
    NewPage();
  } else {
    cursorY = target;
  }
}

void Pcl5Reader::MoveTo(const Parameter& p, double unit) {
  double target = p.signedValue ? cursorY + p.value * unit : p.value * unit;
  cursorY = std::clamp(target, 0.0, pageLength);
}

bool Pcl5Reader::Read(JobData& source) {
  SetSource(source);
  JobData& data = source;
  // A sequence of a group this reader has no use for: its parameters are passed over. Only
  // the groups of raster and colour set-up (ESC "*g", "*v", "*m", "*l", "*i") carry data after
  // a parameter ended by "W"; in any other group (a vendor's own, for example) a "W" value is
  // a number, never a length, and the bytes after it are read as they come.
  auto other = [&](std::uint8_t group, bool carriesData) {
    auto skip = [&](const Parameter& p) {
      if (carriesData && p.letter == 'W') SkipData(p.value);
    };
    if (ContinuesSequence(group)) return Sequence(skip);
    if (IsParameterByte(group) || group == kEsc) data.Skip(-1);
    if (!IsParameterByte(group)) return true;
    return Sequence(skip);
  };
  auto dataCarrying = [&](char terminator, bool marks) {
    return Sequence([&](const Parameter& p) {
      if (p.letter != terminator) return;
      if (marks && p.value >= 1) Mark();
      SkipData(p.value);
    });
  };
  for (;;) {
    if (textParsingMethod == 0 || textParsingMethod == 1) {
      // Single-byte text up to the next escape, form feed or line feed, a window at a time.
      std::span<const std::uint8_t> window = data.Window();
      if (window.empty()) return true;
      std::size_t i = 0;
      bool marks = false;
      for (; i < window.size(); ++i) {
        const std::uint8_t b = window[i];
        if (b == kEsc || b == kFormFeed || b == kLineFeed) break;
        marks |= b > 0x20 && b != 0x7F;
      }
      if (marks) Mark();
      data.Advance(i);
      if (i == window.size()) continue;
    }
    std::uint8_t byte = 0;
    bool single = true;
    if (!NextCharacter(byte, single)) return true;
    if (!single) {
      Mark();
      continue;
    }
    if (byte == kFormFeed) {
      FormFeed();
      continue;
    }
    if (byte == kLineFeed) {
      LineFeed();
      continue;
    }
    if (byte != kEsc) {
      if (byte > 0x20 && byte != 0x7F) Mark();
      continue;
    }
    std::uint8_t kind = 0;
    std::uint8_t group = 0;
    if (!data.GetNextChar(kind)) return true;
    bool more = true;  // false: the data ended inside the sequence
    switch (kind) {
      case '&':
        if (!data.GetNextChar(group)) return true;
        switch (group) {
          case 'b':
          case 'i':
          case 'n':
            more = dataCarrying('W', false);
            break;
          case 'p':  // transparent print data
            more = dataCarrying('X', true);
            break;
          case 'l':
            more = Sequence([&](const Parameter& p) { PageFormat(p); });
            break;
          case 't':
            more = Sequence([&](const Parameter& p) {
              if (p.letter != 'P') return;
              int method = IntOf(p.value);
              bool known = method == 0 || method == 1 || method == 2 || method == 21 ||
                           method == 31 || method == 38;
              textParsingMethod = known && p.value == method ? method : 0;
            });
            break;
          case 'a':
            more = Sequence([&](const Parameter& p) {
              if (p.letter == 'R') RowPosition(p);
              if (p.letter == 'V') MoveTo(p, 1.0 / 720);
            });
            break;
          default:
            more = other(group, false);
            break;
        }
        break;
      case '(':
        if (!data.GetNextChar(group)) return true;
        if (std::string_view("dfgilmostv").find(static_cast<char>(group)) !=
            std::string_view::npos) {
          more = dataCarrying('W', false);
        } else {
          more = other(group, false);
        }
        break;
      case ')':
        if (!data.GetNextChar(group)) return true;
        more = group == 's' ? dataCarrying('W', false) : other(group, false);
        break;
      case '*':
        if (!data.GetNextChar(group)) return true;
        switch (group) {
          case 'b':  // raster rows
            more = Sequence([&](const Parameter& p) {
              if (p.letter == 'M') rasterCompression = IntOf(p.value);
              if (p.letter == 'V' || p.letter == 'W') {
                if (p.value >= 1) Mark();
                SkipData(p.value);
              }
            });
            break;
          case 'c':
            more = Sequence(
                [&](const Parameter& p) {
                  if (p.letter == 'W') SkipData(p.value);
                  if (p.letter == 'P') Mark();  // a filled rectangle
                },
                true);
            break;
          case 'o':
            more = dataCarrying('W', false);
            break;
          case 'p':
            more = Sequence([&](const Parameter& p) {
              if (p.letter == 'Y') MoveTo(p, 1.0 / 300);
            });
            break;
          case 'r':
            more = Sequence([&](const Parameter& p) {
              if (rasterCompression == 131 && p.letter == 'A' && p.value == 32768 &&
                  pages < std::numeric_limits<int>::max())
                ++pages;
              if (p.letter == 'U') {  // the planes of the raster rows
                planes_ = p.value == 1 ? 1 : 2;
                colourKnown = true;
                if (planes_ == 2) colour = true;
              }
            });
            break;
          default:
            more = other(group, std::string_view("gvmli").find(static_cast<char>(group)) !=
                                    std::string_view::npos);
            break;
        }
        break;
      case '%': {
        // Universal exit, HP-GL/2 mode and back.
        for (;;) {
          std::uint8_t b = 0;
          if (!data.GetNextChar(b)) return true;
          if (b == '-') {
            Parameter p;
            Next next = ReadParameter(p);
            if (next == Next::End) return true;
            return next == Next::Parameter && text_ == "12345" && p.letter == 'X' && p.last;
          }
          while (b >= '0' && b <= '9') {
            if (!data.GetNextChar(b)) return true;
          }
          if (b != 'B') {
            if (b == kEsc) data.Skip(-1);
            break;
          }
          // HP-GL/2: passed over up to ESC "E" or the next ESC "%".
          Mark();
          std::uint8_t after = 0;
          do {
            if (!SkipPast(kEsc) || !data.GetNextChar(after)) return true;
          } while (after != 'E' && after != '%');
          if (after == 'E') break;
        }
        break;
      }
      case kEsc:
        data.Skip(-1);
        break;
      default:
        break;
    }
    if (!more) return true;
  }
}

}  // namespace gatelib::printing
