#include "gatelib/printing/vendor_readers.h"

#include <algorithm>
#include <limits>

namespace gatelib::printing {
namespace {

void AddPage(int& pages) {
  if (pages < std::numeric_limits<int>::max()) ++pages;
}

// True at the end of the data (nothing consumed); false with the byte given back otherwise.
bool AtEnd(StreamReader& reader) {
  std::uint8_t byte = 0;
  if (!reader.GetNextChar(byte)) return true;
  reader.Skip(-1);
  return false;
}

// Passes over the rest of the PJL line that entered the stream.
void SkipLineEnds(StreamReader& reader) {
  std::uint8_t byte = 0;
  while (reader.GetNextChar(byte)) {
    if (byte != '\r' && byte != '\n') {
      reader.Skip(-1);
      return;
    }
  }
}

bool ReadByte(StreamReader& reader, std::uint8_t& byte) {
  return reader.GetNextChar(byte);
}

}  // namespace

bool QpdlReader::Read(JobData& source) {
  SetSource(source);
  if (!Walk()) return false;
  if (sparse_) {
    colourKnown = true;
    colour = colourStated_ > 0;
    colourPages = colourStated_;
    monoPages = monoStated_;
  }
  return true;
}

bool QpdlReader::Walk() {
  unsigned planes = 0;  // bit n: a band of plane n on this page
  SkipLineEnds(*this);
  for (;;) {
    std::uint8_t type = 0;
    if (!ReadByte(*this, type)) return true;
    switch (type) {
      case 0: {  // page header: resolution, copies, paper, sizes, source, duplex …
        std::uint8_t resolution = 0;
        std::uint16_t pageCopies = 0;
        if (!ReadByte(*this, resolution) || !ReadU16(pageCopies)) return false;
        copies = std::max(copies, static_cast<int>(std::min<std::uint16_t>(pageCopies, 32767)));
        Skip(13);
        planes = 0;
        break;
      }
      case 1: {  // end of the page
        std::uint16_t ignored = 0;
        if (!ReadU16(ignored)) return false;
        AddPage(pages);
        if (planes != 0) {
          AddPage((planes & 0b1110) != 0 ? colourStated_ : monoStated_);
          if ((planes & 0b11110) != 0b11110) sparse_ = true;
        }
        planes = 0;
        break;
      }
      case 9:  // end of the job
        return true;
      case 12: {  // a band: number, width, height, plane, compression, length, data
        std::uint8_t band = 0;
        std::uint16_t width = 0;
        std::uint16_t height = 0;
        std::uint8_t plane = 0;
        std::uint8_t compression = 0;
        std::uint32_t length = 0;
        if (!ReadByte(*this, band) || !ReadU16(width) || !ReadU16(height) ||
            !ReadByte(*this, plane) || !ReadByte(*this, compression) || !ReadU32(length)) {
          return false;
        }
        if (plane >= 1 && plane <= 4) planes |= 1u << plane;
        Skip(length);
        break;
      }
      case 20: {
        std::uint8_t length = 0;
        Skip(2);
        if (!ReadByte(*this, length)) return false;
        Skip(length);
        break;
      }
      default:
        if (type == kEscape && (Skip(-1), UniversalExitAhead())) return true;
        return false;
    }
  }
}

bool XqxReader::Read(JobData& source) {
  SetSource(source);
  for (;;) {
    std::uint32_t tag = 0;
    std::uint8_t first = 0;
    if (!GetNextChar(first)) return true;
    Skip(-1);
    if (first == kEscape && UniversalExitAhead()) return true;
    if (!ReadU32(tag)) return false;
    std::uint32_t value = 0;
    switch (tag) {
      case 2:  // end of the job
        return ReadU32(value);
      case 4:  // end of a page
        if (!ReadU32(value)) return false;
        AddPage(pages);
        break;
      case 6:  // end of an image
        if (!ReadU32(value)) return false;
        break;
      case 7:  // data
        if (!ReadU32(value)) return false;
        Skip(value);
        break;
      case 1:
      case 3:
      case 5: {  // items: id, length, value
        std::uint32_t items = 0;
        if (!ReadU32(items)) return false;
        for (std::uint32_t k = 0; k < items; ++k) {
          std::uint32_t id = 0;
          std::uint32_t length = 0;
          if (!ReadU32(id) || !ReadU32(length)) return false;
          Skip(length);
        }
        break;
      }
      default:
        return false;
    }
  }
}

bool HbpReader::Read(JobData& source) {
  SetSource(source);
  SkipLineEnds(*this);
  for (;;) {
    std::uint8_t at = 0;
    std::uint8_t letter = 0;
    if (!GetNextChar(at)) return true;
    if (at == kEscape && (Skip(-1), UniversalExitAhead())) return true;
    if (at != '@' || !GetNextChar(letter)) return false;
    switch (letter) {
      case 'E':
      case 'M':
      case 'S':
        Skip(2);
        break;
      case 'J':
        Skip(3);
        break;
      case 'L': {  // a line end follows
        std::uint8_t end = 0;
        if (!GetNextChar(end)) return true;
        if (end == '\r' && GetNextChar(end) && end != '\n') Skip(-1);
        if (end != '\n' && end != '\r') Skip(-1);
        break;
      }
      case 'N':
        break;
      case 'G': {  // a band of data
        std::uint8_t kind = 0;
        std::uint16_t length = 0;
        if (!GetNextChar(kind) || !ReadU16(length)) return false;
        Skip(length);
        break;
      }
      case 'F':
        AddPage(pages);
        break;
      case 'X':
        return true;
      default:
        return false;
    }
  }
}

bool SplReader::Read(JobData& source) {
  SetSource(source);
  int perSheet = 1;
  const auto sheets = [&] { pages = (pages + perSheet - 1) / perSheet; };
  for (;;) {
    std::uint32_t length = 0;
    std::uint8_t type = 0;
    if (!ReadU32(length, true) || !GetNextChar(type)) return false;
    std::int64_t rest = length;  // the block's bytes after its header
    switch (type) {
      case 1: {  // job header: copies at 742, pages per sheet 228 bytes after them
        constexpr std::int64_t kCopiesAt = 742;
        if (rest >= kCopiesAt + 2) {
          Skip(kCopiesAt);
          std::uint16_t jobCopies = 0;
          if (!ReadU16(jobCopies, true)) return false;
          copies = std::max(copies, static_cast<int>(std::min<std::uint16_t>(jobCopies, 32767)));
          rest -= kCopiesAt + 2;
          if (rest >= 229) {
            Skip(228);
            std::uint8_t sheet = 0;
            if (!GetNextChar(sheet)) return false;
            if (sheet > 0) perSheet = sheet;
            rest -= 229;
          }
        }
        break;
      }
      case 3:
        AddPage(pages);
        break;
      case 4:
        Skip(rest);
        sheets();
        return true;
      default:
        return false;
    }
    Skip(rest);
    // What follows a block: the next block, or data of a length and then the next block.
    for (;;) {
      if (AtEnd(*this)) {
        sheets();
        return true;
      }
      if (MatchText("DMCS")) break;
      if (!MatchText("TADS")) return false;
      std::uint32_t data = 0;
      if (!ReadU32(data, true)) return false;
      Skip(data);
    }
  }
}

bool BjReader::Read(JobData& source) {
  SetSource(source);
  std::uint16_t length = 0;
  // The parameters of the ESC "[K" that detection read.
  if (!ReadU16(length, true)) return true;
  Skip(length);
  std::uint8_t byte = 0;
  while (GetNextChar(byte)) {
    if (byte == 0x0C) {
      AddPage(pages);
      continue;
    }
    if (byte != kEscape) continue;
    std::uint8_t letter = 0;
    if (!GetNextChar(letter)) return true;
    switch (letter) {
      case '(':
      case '[': {
        std::uint8_t command = 0;
        if (!GetNextChar(command)) return true;
        if (letter == '[' && std::string_view("@FIKMT\\g").find(static_cast<char>(command)) ==
                                 std::string_view::npos) {
          return false;
        }
        if (!ReadU16(length, true)) return true;
        Skip(length);
        break;
      }
      case '*':
      case '=':
      case 'K':
      case 'L':
      case 'Y':
      case 'Z':
        if (!ReadU16(length, true)) return true;
        Skip(length);
        break;
      case '3':
      case 'A':
      case 'I':
      case 'J':
      case 'N':
      case 'P':
      case 'S':
      case 'W':
        Skip(1);
        break;
      case 'X':
      case '\\':
      case 'd':
        Skip(2);
        break;
      case 'B':
      case 'D':
        if (!SkipPast(0)) return true;
        break;
      case '@':  // reset, before each page's setup
        break;
      case kEscape:  // an ESC repeated: the second starts the command
        Skip(-1);
        break;
      default:
        return false;
    }
  }
  return true;
}

// Run-length rows: a count byte below 128 is followed by that many plus one bytes, one above
// 128 by a byte repeated 257 minus it times. The encoded bytes are read until `bytes` are
// decoded.
bool Escp2Reader::Raster(std::uint8_t bits, std::uint32_t rows, std::uint32_t dots,
                         bool compressed) {
  const std::uint64_t rowBytes =
      (static_cast<std::uint64_t>(dots) * std::max<int>(bits, 1) + 7) / 8;
  std::uint64_t bytes = rowBytes * rows;
  if (!compressed) {
    Skip(static_cast<std::int64_t>(bytes));
    return true;
  }
  while (bytes > 0) {
    std::uint8_t count = 0;
    if (!GetNextChar(count)) return false;
    if (count < 128) {
      const std::uint64_t n = count + 1u;
      Skip(static_cast<std::int64_t>(n));
      bytes -= std::min(bytes, n);
    } else {
      Skip(1);
      bytes -= std::min<std::uint64_t>(bytes, 257u - count);
    }
  }
  return true;
}

bool Escp2Reader::Remote() {
  // Commands of two letters and a 16-bit little-endian length, up to the next ESC; ESC and three
  // NULs leave remote mode.
  std::uint8_t byte = 0;
  while (GetNextChar(byte)) {
    if (byte == kEscape) {
      if (!MatchText(std::string_view("\0\0\0", 3))) Skip(-1);
      return true;
    }
    std::uint16_t length = 0;
    if (!GetNextChar(byte) || !ReadU16(length, true)) return false;
    Skip(length);
  }
  return true;
}

bool Escp2Reader::EscprJob() {
  // Commands of ESC, a letter, a 32-bit little-endian length and a 4-letter name, then that
  // many bytes: "endp" ends a page, "endj" the job.
  std::uint8_t byte = 0;
  while (GetNextChar(byte)) {
    if (byte != kEscape) continue;
    std::uint8_t letter = 0;
    std::uint32_t length = 0;
    std::string name(4, '\0');
    if (!GetNextChar(letter) || !ReadU32(length, true)) return true;
    for (char& c : name) {
      if (!GetNextChar(byte)) return true;
      c = static_cast<char>(byte);
    }
    if (name == "endj") {
      Skip(length);
      return true;
    }
    if (name == "endp") AddPage(pages);
    Skip(length);
  }
  return true;
}

bool Escp2Reader::Read(JobData& source) {
  SetSource(source);
  std::uint8_t byte = 0;
  while (GetNextChar(byte)) {
    if (byte == 0x0C) {
      AddPage(pages);
      continue;
    }
    if (byte != kEscape) continue;
    Skip(-1);
    if (UniversalExitAhead()) return true;
    Skip(1);
    std::uint8_t c = 0;
    if (!GetNextChar(c)) return true;
    std::uint16_t length = 0;
    switch (c) {
      case '(': {
        std::uint8_t command = 0;
        if (!GetNextChar(command) || !ReadU16(length, true)) return true;
        if (command == 'R' && length == 8 && MatchText(std::string_view("\0REMOTE1", 8))) {
          if (!Remote()) return false;
        } else if (command == 'R' && length == 6 && MatchText(std::string_view("\0ESCPR", 6))) {
          if (!EscprJob()) return false;
        } else {
          Skip(length);
        }
        break;
      }
      case '.': {  // raster: compression, v, h density, rows, dots (16-bit little-endian)
        std::uint8_t compression = 0;
        std::uint8_t rows = 0;
        std::uint16_t dots = 0;
        if (!GetNextChar(compression)) return true;
        Skip(2);
        if (!GetNextChar(rows) || !ReadU16(dots, true)) return true;
        if (!Raster(1, rows, dots, compression == 1)) return true;
        break;
      }
      case 'i': {  // raster: colour, compression, bits, bytes per row, rows
        std::uint8_t colourByte = 0;
        std::uint8_t compression = 0;
        std::uint8_t bits = 0;
        std::uint16_t rowBytes = 0;
        std::uint16_t rows = 0;
        if (!GetNextChar(colourByte) || !GetNextChar(compression) || !GetNextChar(bits) ||
            !ReadU16(rowBytes, true) || !ReadU16(rows, true)) {
          return true;
        }
        if (!Raster(8, rows, rowBytes, compression == 1)) return true;
        break;
      }
      case 0x01: {  // EJL lines
        while (MatchText("@EJL ")) {
          if (!SkipPast('\n')) return true;
        }
        break;
      }
      case 'K':
      case 'L':
      case 'Y':
      case 'Z':  // bit images of n columns
        if (!ReadU16(length, true)) return true;
        Skip(length);
        break;
      case '*': {
        std::uint8_t mode = 0;
        if (!GetNextChar(mode) || !ReadU16(length, true)) return true;
        Skip(static_cast<std::int64_t>(length) * (mode >= 32 ? 3 : 1));
        break;
      }
      case '$':
      case '\\':
      case 'C':
        Skip(2);
        break;
      case 'X':
        Skip(3);
        break;
      case 'r':
      case 'U':
      case '+':
      case 'J':
      case 'x':
      case 'l':
      case 'Q':
      case '3':
      case 'A':
      case 'k':
      case 't':
      case 'R':
      case 'w':
      case 'W':
      case 'p':
      case 'S':
      case 'a':
      case 'e':
      case 'j':
      case 'N':
      case 'I':
      case 0x19:
        Skip(1);
        break;
      case '@':
      case 'E':
      case 'F':
      case 'G':
      case 'H':
      case 'M':
      case 'P':
      case 'g':
      case '4':
      case '5':
      case '0':
      case '2':
      case 'O':
      case 'T':
      case '6':
      case '7':
        break;
      case kEscape:
        Skip(-1);
        break;
      default:
        return false;
    }
  }
  return true;
}

bool LidilReader::Read(JobData& source) {
  SetSource(source);
  for (;;) {
    std::uint16_t length = 0;
    std::uint16_t type = 0;
    std::uint16_t extra = 0;
    if (AtEnd(*this)) return true;
    if (!ReadU16(length)) return false;
    Skip(1);
    if (!ReadU16(type)) return false;
    Skip(2);
    if (!ReadU16(extra) || length < 10) return false;
    if (type == 2) AddPage(pages);
    Skip(static_cast<std::int64_t>(extra) + length - 10);
    // The next record's marker.
    std::uint8_t marker = 0;
    if (!GetNextChar(marker)) return true;
    if (marker != '$') {
      if (marker == kEscape && (Skip(-1), UniversalExitAhead())) return true;
      return false;
    }
  }
}

bool EscapeGdiReader::Read(JobData& source) {
  SetSource(source);
  std::uint8_t byte = 0;
  for (;;) {
    if (!GetNextChar(byte)) return true;
    if (byte != kEscape) return false;
    Skip(-1);
    if (UniversalExitAhead()) return true;
    Skip(1);
    std::uint8_t kind = 0;
    if (!GetNextChar(kind)) return true;
    if (kind == '&') {
      std::uint8_t next = 0;
      if (!GetNextChar(next)) return true;
      if (next == '&') {
        AddPage(pages);
        continue;
      }
      while (!(next >= 'A' && next <= 'Z')) {
        if (!GetNextChar(next)) return true;
      }
    } else if (kind == '*') {
      for (;;) {
        if (!GetNextChar(byte)) return true;
        if (byte == 'W' || byte == 'w') {
          std::uint32_t length = 0;
          if (!ReadU32(length, true)) return true;
          Skip(static_cast<std::int64_t>(length) + 12);
          if (byte == 'W') break;
        } else if (byte >= 'A' && byte <= 'Z') {
          break;
        }
      }
    } else {
      return false;
    }
  }
}

bool SharpGdiReader::Read(JobData& source) {
  SetSource(source);
  if (header_) Skip(4);
  for (;;) {
    std::uint16_t length = 0;
    std::uint16_t type = 0;
    if (AtEnd(*this)) return true;
    Skip(2);
    if (!ReadU16(length) || !ReadU16(type)) return false;
    if (type == 6) AddPage(pages);
    Skip(length);
  }
}

bool MinoltaReader::Read(JobData& source) {
  SetSource(source);
  Skip(63 + 1092);
  // Counts a run of `pairs` FF 05 pairs; false when another byte comes first.
  auto run = [this](int pairs) {
    for (int k = 0; k < pairs; ++k) {
      if (!MatchText("\xff\x05")) return false;
    }
    return true;
  };
  for (;;) {
    if (!SkipPast(0x05)) return true;
    if (!run(511)) continue;
    Skip(1);
    if (!run(510)) continue;
    AddPage(pages);
    Skip(1092);
  }
}

bool CanonImageRunnerReader::Read(JobData& source) {
  SetSource(source);
  std::uint16_t value = 0;
  if (!ReadU16(value, true)) return true;
  copies = std::max(copies, static_cast<int>(std::min<std::uint16_t>(value, 32767)));
  Skip(14);
  for (;;) {
    std::uint16_t type = 0;
    if (AtEnd(*this)) return true;
    if (!ReadU16(type, true)) return false;
    if (type == 1) {
      Skip(6);
      if (!ReadU16(value, true)) return false;
      copies = std::max(copies, static_cast<int>(std::min<std::uint16_t>(value, 32767)));
      Skip(14);
      continue;
    }
    std::uint16_t length = 0;
    if (!ReadU16(length, true) || length < 4) return false;
    if (type == 4) AddPage(pages);
    Skip(length - 4);
  }
}

void ZimfReader::DeviceMode(std::uint32_t size) {
  // The public part: dmSize at 68, dmDriverExtra at 70, dmFields at 72, dmCopies at 86.
  constexpr std::uint32_t kMostRead = 1 << 16;
  std::string mode(std::min(size, kMostRead), '\0');
  std::size_t got = 0;
  if (!mode.empty()) Source().Read(mode.data(), mode.size(), &got);
  Skip(static_cast<std::int64_t>(size) - static_cast<std::int64_t>(got));
  mode.resize(got);
  const auto u16 = [&](std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(mode[at]) |
                                      static_cast<std::uint8_t>(mode[at + 1]) << 8);
  };
  if (mode.size() < 88) return;
  const std::uint32_t fields = u16(72) | static_cast<std::uint32_t>(u16(74)) << 16;
  const auto modeCopies = static_cast<std::int16_t>(u16(86));
  if ((fields & 0x100) != 0 && modeCopies > 0) copies = std::max<int>(copies, modeCopies);
  const std::size_t publicSize = u16(68);
  const std::size_t at = publicSize + 320;
  if (at + 2 <= publicSize + u16(70) && at + 2 <= mode.size()) {
    const std::uint16_t sheet = u16(at);
    if (sheet >= 1 && sheet <= 64) perSheet_ = sheet;
  }
}

bool ZimfReader::Read(JobData& source) {
  SetSource(source);
  Skip(-4);  // the first record's tag, read by detection
  const auto sheets = [&] { pages = (pages + perSheet_ - 1) / perSheet_; };
  for (;;) {
    if (AtEnd(*this)) {
      sheets();
      return true;
    }
    std::uint32_t tag = 0;
    std::uint32_t length = 0;
    std::uint32_t skipped = 0;
    std::uint32_t type = 0;
    if (!ReadU32(tag, true) || !ReadU32(length, true) || !ReadU32(skipped, true) ||
        !ReadU32(skipped, true) || !ReadU32(type, true) || length < 20) {
      return false;
    }
    std::int64_t left = static_cast<std::int64_t>(length) - 20;
    if (type == 3) AddPage(pages);
    if (type == 1) {
      while (left >= 8) {
        std::uint32_t id = 0;
        std::uint32_t size = 0;
        if (!ReadU32(id, true) || !ReadU32(size, true)) return false;
        left -= 8;
        if (size > left) return false;
        left -= size;
        if (id == 10243 || id == 0xD2000001) {
          DeviceMode(size);
        } else {
          Skip(size);
        }
      }
    }
    Skip(left);
  }
}

bool CanonIr2200Reader::Items(std::int64_t length, std::uint16_t record, std::uint16_t outer,
                              int depth) {
  while (length >= 4) {
    std::uint16_t id = 0;
    std::uint16_t size = 0;
    if (!ReadU16(id) || !ReadU16(size)) return false;
    length -= 4;
    if (size > length) return false;
    length -= size;
    const bool copyItem = record == 21 && outer == 21 && id == 2007;
    const bool pageItem =
        (record == 21 && outer == 107 && id == 275) || (record == 18 && outer == 17 && id == 2004);
    if ((copyItem || pageItem) && size >= 1 && size <= 4) {
      std::uint32_t value = 0;
      for (std::uint16_t k = 0; k < size; ++k) {
        std::uint8_t byte = 0;
        if (!GetNextChar(byte)) return false;
        value = value << 8 | byte;
      }
      if (copyItem && value > 0) copies = static_cast<int>(std::min<std::uint32_t>(value, 32767));
      if (pageItem) stated_ = value;
    } else if (((record == 21 && id == 107) || (record == 18 && id == 17)) && depth < 4) {
      if (!Items(size, record, id, depth + 1)) return false;
    } else {
      Skip(size);
    }
  }
  Skip(length);
  return true;
}

void CanonIr2200Reader::Raster(std::int64_t length) {
  // Form feeds, and ESC "[" digits "v": the copies.
  int state = 0;  // 1 after ESC, 2 after ESC "[" and digits
  long long digits = 0;
  std::uint8_t byte = 0;
  for (std::int64_t k = 0; k < length && GetNextChar(byte); ++k) {
    if (byte == 0x0C) AddPage(formFeeds_);
    if (state == 2 && byte >= '0' && byte <= '9') {
      digits = std::min<long long>(digits * 10 + (byte - '0'), 1 << 20);
      continue;
    }
    if (state == 2 && byte == 'v' && digits < 512 && digits > 0) {
      copies = std::max(copies, static_cast<int>(digits));
    }
    if (state == 1 && byte == '[') {
      state = 2;
      digits = 0;
      continue;
    }
    state = byte == kEscape ? 1 : 0;
  }
}

bool CanonIr2200Reader::Read(JobData& source) {
  SetSource(source);
  Skip(1);
  for (;;) {
    std::uint8_t first = 0;
    if (!GetNextChar(first)) break;
    Skip(-1);
    if (first == kEscape && UniversalExitAhead()) break;
    std::uint16_t tag = 0;
    std::uint32_t length = 0;
    if (!ReadU16(tag) || !ReadU32(length)) return false;
    if (tag == 21 || tag == 18) {
      if (!Items(length, tag, tag, 0)) return false;
    } else if (tag == 26) {
      Raster(length);
    } else {
      Skip(length);
    }
  }
  if (stated_ >= 0) {
    const long long perCopy = copies > 0 ? (stated_ + copies - 1) / copies : stated_;
    pages = static_cast<int>(std::min<long long>(perCopy, std::numeric_limits<int>::max()));
  } else {
    pages = formFeeds_;
  }
  return true;
}

bool RpcsReader::Read(JobData& source) {
  SetSource(source);
  SkipLineEnds(*this);
  for (;;) {
    std::uint8_t command = 0;
    if (!GetNextChar(command)) return true;
    if (command == kEscape) {
      Skip(-1);
      return true;
    }
    if (command == 0x35) AddPage(pages);
    if (command < 0x80) {
      std::uint16_t length = 0;
      if (!ReadU16(length)) return false;
      Skip(length);
    } else {
      Skip(2);
    }
  }
}

}  // namespace gatelib::printing
