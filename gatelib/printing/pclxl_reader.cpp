#include "gatelib/printing/pclxl_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "shared/error/errors.h"

namespace gatelib::printing {
namespace {

constexpr std::uint32_t kUnexpectedEnd = 26;  // "Fim inesperado da sequência PCLXL."

constexpr std::int64_t kRgb = 2;

// Operators.
constexpr std::uint8_t kBeginPage = 0x43;
constexpr std::uint8_t kEndPage = 0x44;
constexpr std::uint8_t kVendorUnique = 0x46;
constexpr std::uint8_t kSetColorSpace = 0x6A;
constexpr std::uint8_t kText = 0xA8;
constexpr std::uint8_t kReadImage = 0xB1;
constexpr std::uint8_t kEndImage = 0xB2;

// Attributes.
constexpr std::uint8_t kColorSpace = 0x03;
constexpr std::uint8_t kPaletteData = 0x06;
constexpr std::uint8_t kRGBColor = 0x0B;
constexpr std::uint8_t kPrimaryArray = 0x0E;
constexpr std::uint8_t kMediaSize = 0x25;
constexpr std::uint8_t kOrientation = 0x28;
constexpr std::uint8_t kPageCopies = 0x31;
constexpr std::uint8_t kDuplexPageMode = 0x35;
constexpr std::uint8_t kColorMapping = 0x64;
constexpr std::uint8_t kCompressMode = 0x65;
constexpr std::uint8_t kMeasure = 0x86;
constexpr std::uint8_t kUnitsPerMeasure = 0x89;
constexpr std::uint8_t kVUDataLength = 0x92;
constexpr std::uint8_t kTextData = 0xAB;

constexpr std::int64_t kDeltaRow = 3;
constexpr std::int64_t kMostCopies = 32767;

[[noreturn]] void UnexpectedEnd() {
  throw new Error(kUnexpectedEnd);
}

std::uint16_t Truncated(float value) {
  if (!(value > 0)) return 0;  // also NaN
  if (value >= 65535.0f) return 65535;
  return static_cast<std::uint16_t>(value);
}

int ClampedInt(std::int64_t value) {
  return static_cast<int>(std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(),
                                                   std::numeric_limits<int>::max()));
}

}  // namespace

// Whether some aligned triple (R, G, B) of a run of values has R ≠ G or G ≠ B, fed a block at
// a time.
struct PclXlReader::TripleTest {
  std::uint8_t first = 0;  // the values of an unfinished triple
  std::uint8_t second = 0;
  int held = 0;  // how many of them there are (0 to 2)
  bool colour = false;

  void FeedOne(std::uint8_t b) {
    if (colour) return;
    if (held == 0) {
      first = b;
      held = 1;
    } else if (held == 1) {
      second = b;
      held = 2;
    } else {
      held = 0;
      colour = first != second || second != b;
    }
  }

  void Feed(const std::uint8_t* p, std::size_t n) {
    while (held > 0 && n > 0) {
      FeedOne(*p++);
      --n;
    }
    if (colour) return;
    const std::size_t whole = n - n % 3;
    for (std::size_t i = 0; i < whole; i += 3) {
      if (p[i] != p[i + 1] || p[i + 1] != p[i + 2]) {
        colour = true;
        return;
      }
    }
    for (std::size_t i = whole; i < n; ++i) FeedOne(p[i]);
  }
};

PclXlReader::PclXlReader(PageEndList& pageEnds) : pageEnds_(pageEnds) {}

bool PclXlReader::Read(JobData& source) {
  SetSource(source);
  data_ = &source;
  std::uint8_t byte = 0;
  while (data_->GetNextChar(byte)) {
    if (byte >= 0xC0) {
      if (!ReadTag(byte)) break;
      continue;
    }
    switch (byte) {
      case 0x27:  // ASCII binding
      case 0x28:  // big-endian binding
        return false;
      case 0x29:  // little-endian binding: the rest of the stream header line
        if (!SkipPast('\n')) {
          Publish();
          return true;
        }
        continue;
      case 0x1B:
        if (MatchText("%-12345X")) {
          Publish();
          return true;
        }
        continue;
      default:
        Operator(byte);
    }
  }
  Publish();
  return true;
}

// A data-type tag; false when the data ended inside a value whose end only ends the stream.
bool PclXlReader::ReadTag(std::uint8_t tag) {
  switch (tag) {
    case 0xC0:
      return ReadScalar(1);
    case 0xC1:
    case 0xC3:
      return ReadScalar(2);
    case 0xC2:
    case 0xC4:
      return ReadScalar(4);
    case 0xC5:
      SkipFixed(4);
      return true;
    case 0xC8:
    case 0xC9:
    case 0xCA:
    case 0xCB:
    case 0xCC:
    case 0xCD:
      return ReadArray(tag);
    case 0xD1:
    case 0xD5:
      ReadPair(tag);
      return true;
    case 0xD0:
      SkipFixed(2);
      return true;
    case 0xD2:
    case 0xD4:
      SkipFixed(8);
      return true;
    case 0xD3:
      SkipFixed(4);
      return true;
    case 0xE0:
      SkipFixed(4);
      return true;
    case 0xE1:
    case 0xE3:
      SkipFixed(8);
      return true;
    case 0xE2:
    case 0xE4:
    case 0xE5:
      SkipFixed(16);
      return true;
    case 0xF8: {
      std::uint8_t id = 0;
      if (!data_->GetNextChar(id)) return false;
      Attribute(id);
      return true;
    }
    case 0xF9:
      SkipFixed(2);
      return true;
    case 0xFA:
    case 0xFB:
      return ReadEmbedded(tag);
    default:
      Operator(tag);  // a byte outside the table is an operator
      return true;
  }
}

void PclXlReader::SkipFixed(std::size_t n) {
  std::span<const std::uint8_t> window = data_->Window();
  if (window.size() >= n) {
    data_->Advance(n);
  } else {
    data_->Skip(static_cast<std::int64_t>(n));
  }
}

bool PclXlReader::ReadScalar(int size) {
  std::uint32_t value = 0;
  std::span<const std::uint8_t> window = data_->Window();
  if (window.size() >= static_cast<std::size_t>(size)) {
    for (int k = 0; k < size; ++k) value |= std::uint32_t{window[k]} << (8 * k);
    data_->Advance(static_cast<std::size_t>(size));
  } else {
    for (int k = 0; k < size; ++k) {
      std::uint8_t b = 0;
      if (!data_->GetNextChar(b)) return false;
      value |= std::uint32_t{b} << (8 * k);
    }
  }
  // Values are ints of the reader's width: a byte as it is, 16-bit values sign-extended (of
  // either tag) and 32-bit values as a signed int, so that no value is larger than an int.
  switch (size) {
    case 1:
      lastValue_ = value;
      break;
    case 2:
      lastValue_ = static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
      break;
    default:
      lastValue_ = static_cast<std::int32_t>(value);
      break;
  }
  lastValueKind_ = 0;
  return true;
}

bool PclXlReader::ReadArray(std::uint8_t tag) {
  std::uint8_t countTag = 0;
  if (!data_->GetNextChar(countTag)) return false;
  int countBytes = 0;
  switch (countTag) {
    case 0xC0:
      countBytes = 1;
      break;
    case 0xC1:
    case 0xC3:
      countBytes = 2;
      break;
    case 0xC2:
    case 0xC4:
      countBytes = 4;
      break;
    default:
      data_->Skip(-1);  // no count: the array is left unread
      return true;
  }
  std::uint64_t count = 0;
  for (int k = 0; k < countBytes; ++k) {
    std::uint8_t b = 0;
    if (!data_->GetNextChar(b)) return false;
    count |= std::uint64_t{b} << (8 * k);
  }
  lastValueKind_ = 2;
  if (tag == 0xC8) {
    realArray_.clear();
    realArrayCount_ = 0;
    realArrayColour_ = false;
    byteArray_.clear();
    byteArrayCount_ = count;
    TripleTest test;
    std::uint64_t done = 0;
    while (done < count) {
      std::span<const std::uint8_t> window = data_->Window();
      if (window.empty()) {
        byteArrayCount_ = done;
        byteArrayColour_ = test.colour;
        return false;
      }
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(window.size(), count - done));
      if (byteArray_.size() < kPclXlMaxArrayKept) {
        const std::size_t keep = std::min(n, kPclXlMaxArrayKept - byteArray_.size());
        byteArray_.insert(byteArray_.end(), window.data(), window.data() + keep);
      }
      test.Feed(window.data(), n);
      data_->Advance(n);
      done += n;
    }
    byteArrayColour_ = test.colour;
    return true;
  }
  if (tag == 0xCD) {
    byteArray_.clear();
    byteArrayCount_ = 0;
    byteArrayColour_ = false;
    realArray_.clear();
    realArrayCount_ = count;
    realArrayColour_ = false;
    float triple[3] = {0, 0, 0};
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint32_t bits = 0;
      for (int k = 0; k < 4; ++k) {
        std::uint8_t b = 0;
        if (!data_->GetNextChar(b)) UnexpectedEnd();
        bits |= std::uint32_t{b} << (8 * k);
      }
      const float value = std::bit_cast<float>(bits);
      if (realArray_.size() < kPclXlMaxArrayKept) realArray_.push_back(value);
      triple[i % 3] = value;
      if (i % 3 == 2 && (triple[0] != triple[1] || triple[1] != triple[2])) realArrayColour_ = true;
    }
    return true;
  }
  const std::uint64_t elementSize = tag == 0xC9 || tag == 0xCB ? 2 : 4;
  data_->Skip(static_cast<std::int64_t>(count * elementSize));
  return true;
}

void PclXlReader::ReadPair(std::uint8_t tag) {
  float xy[2] = {0, 0};
  for (float& v : xy) {
    const int size = tag == 0xD1 ? 2 : 4;
    std::uint32_t bits = 0;
    for (int k = 0; k < size; ++k) {
      std::uint8_t b = 0;
      if (!data_->GetNextChar(b)) UnexpectedEnd();
      bits |= std::uint32_t{b} << (8 * k);
    }
    v = tag == 0xD1 ? static_cast<float>(bits) : std::bit_cast<float>(bits);
  }
  lastX_ = xy[0];
  lastY_ = xy[1];
}

bool PclXlReader::GreyTestFails(std::uint64_t count, bool colourTriple) const {
  return colourSpace_ == kRgb && count % 3 == 0 && colourTriple;
}

bool PclXlReader::ReadEmbedded(std::uint8_t tag) {
  std::uint64_t length = 0;
  const int lengthBytes = tag == 0xFA ? 4 : 1;
  for (int k = 0; k < lengthBytes; ++k) {
    std::uint8_t b = 0;
    if (!data_->GetNextChar(b)) return false;
    length |= std::uint64_t{b} << (8 * k);
  }
  lastValueKind_ = 1;
  if (pageIsColour_ || length == 0 || !imagePending_ || colourSpace_ != kRgb ||
      colourMapping_ != 0) {
    data_->Skip(static_cast<std::int64_t>(length));
    return true;
  }
  // The examined data is tested as it is read, never held whole: its size is the file's to
  // choose.
  byteArray_.clear();
  byteArrayCount_ = 0;
  byteArrayColour_ = false;
  if (compression_ == 0) {
    TripleTest test;
    Examine(length, &test);
    pageIsColour_ = GreyTestFails(length, test.colour);
  } else if (compression_ == kDeltaRow) {
    DecodeDeltaRows(length);
  } else {
    Examine(length, nullptr);
    pageIsColour_ = true;
  }
  imagePending_ = false;
  return true;
}

void PclXlReader::Examine(std::uint64_t n, TripleTest* test) {
  while (n > 0) {
    std::span<const std::uint8_t> window = data_->Window();
    if (window.empty()) UnexpectedEnd();
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(window.size(), n));
    if (test != nullptr) test->Feed(window.data(), k);
    data_->Advance(k);
    n -= k;
  }
}

// Delta-row data: rows of a 16-bit byte count followed by command bytes, each announcing
// (command / 32) + 1 replacement bytes. The replacement bytes of each row are tested; the first
// row in colour colours the page and the rest of the data is passed over.
void PclXlReader::DecodeDeltaRows(std::uint64_t length) {
  std::uint64_t left = length;
  auto next = [&]() -> std::uint8_t {
    std::uint8_t b = 0;
    if (!data_->GetNextChar(b)) UnexpectedEnd();
    --left;
    return b;
  };
  while (left > 0) {
    if (left < 2) {
      Examine(left, nullptr);
      return;
    }
    const std::uint8_t low = next();
    const std::uint8_t high = next();
    const std::uint64_t rowCount = low | std::uint64_t{high} << 8;
    if (rowCount == 0) continue;
    std::uint64_t rowLeft = std::min(rowCount, left);
    if (rowCount >= 32768) {
      Examine(rowLeft, nullptr);
      left -= rowLeft;
      continue;
    }
    TripleTest test;
    std::uint64_t replaced = 0;
    while (rowLeft > 0) {
      const std::uint8_t command = next();
      --rowLeft;
      std::uint64_t take = std::min<std::uint64_t>(command / 32 + 1, rowLeft);
      rowLeft -= take;
      replaced += take;
      while (take > 0) {
        test.FeedOne(next());
        --take;
      }
    }
    if (GreyTestFails(replaced, test.colour)) {
      pageIsColour_ = true;
      Examine(left, nullptr);
      return;
    }
  }
}

void PclXlReader::Attribute(std::uint8_t id) {
  if (!pageIsColour_) {
    switch (id) {
      case kColorSpace:
        colourSpace_ = lastValue_;
        break;
      case kPaletteData:
        paletteHasColour_ = GreyTestFails(byteArrayCount_, byteArrayColour_);
        break;
      case kRGBColor:
      case kPrimaryArray:
        currentIsColour_ = GreyTestFails(byteArrayCount_, byteArrayColour_) ||
                           GreyTestFails(realArrayCount_, realArrayColour_);
        break;
      case kColorMapping:
        colourMapping_ = lastValue_;
        break;
      case kCompressMode:
        compression_ = lastValue_;
        break;
      case kTextData:
        ignoreNextText_ = byteArrayCount_ == 1 && byteArray_.size() == 1 && byteArray_[0] == 3;
        break;
      default:
        break;
    }
  }
  switch (id) {
    case kMediaSize:
      if (!mediaSize && mediaName.empty()) {
        if (lastValueKind_ == 2) {
          for (std::uint8_t b : byteArray_) {
            if (b == 0) break;
            mediaName.push_back(static_cast<wchar_t>(b));
          }
        } else {
          mediaSize = static_cast<std::uint16_t>(lastValue_);
        }
      }
      break;
    case kOrientation:
      if (!orientation) orientation = static_cast<std::uint16_t>(lastValue_);
      break;
    case kPageCopies:
      // A count beyond what a job's settings can ask for (a 16-bit signed number of copies)
      // is no real request: it is passed over rather than billed.
      if (lastValue_ <= kMostCopies) pageCopies = ClampedInt(lastValue_);
      break;
    case kMeasure:
      if (!measure) measure = static_cast<std::uint16_t>(lastValue_);
      break;
    case kUnitsPerMeasure:
      if (!unitsPerMeasureX && !unitsPerMeasureY) {
        unitsPerMeasureX = Truncated(lastX_);
        unitsPerMeasureY = Truncated(lastY_);
      }
      break;
    case kDuplexPageMode:
      duplexModeGiven_ = true;
      break;
    case kVUDataLength:
      vendorDataLength_ = lastValue_;
      break;
    default:
      break;
  }
}

void PclXlReader::Operator(std::uint8_t op) {
  if (op != kEndPage) {
    operatorSeen_ = true;
    lastOperatorEnd_ = data_->Position();
  }
  switch (op) {
    case kBeginPage:
      colourSpace_ = kRgb;
      pageIsColour_ = false;
      if (duplexModeGiven_) duplex = true;
      break;
    case kEndPage: {
      // The counters stop at the largest int: a flood of page ends cannot wrap them.
      int& counter = pageIsColour_ ? colourPages : monoPages;
      if (counter < std::numeric_limits<int>::max()) ++counter;
      if (operatorSeen_) pageEnds_.Add(lastOperatorEnd_);
      break;
    }
    case kVendorUnique:
      // Only forward: a length read as negative never moves the reader back.
      if (vendorDataLength_ > 0) data_->Skip(vendorDataLength_);
      break;
    case kSetColorSpace:
      pageIsColour_ = false;
      break;
    case 0x86:
    case 0x9E:
    case 0xA0:
    case 0xA2:
    case 0xB9:
      if (!pageIsColour_) pageIsColour_ = currentIsColour_;
      break;
    case kText:
      if (!pageIsColour_ && !ignoreNextText_) pageIsColour_ = currentIsColour_;
      break;
    case kReadImage:
      imagePending_ = true;
      break;
    case kEndImage:
      if (colourMapping_ == 1) {
        if (!pageIsColour_) pageIsColour_ = paletteHasColour_;
      } else if (colourMapping_ != 0) {
        pageIsColour_ = true;
      }
      break;
    default:
      break;
  }
  vendorDataLength_ = 0;
  duplexModeGiven_ = false;
}

void PclXlReader::Publish() {
  language = PrinterLanguage::PCLXL;
  const long long sum = static_cast<long long>(monoPages) + colourPages;
  pages = static_cast<int>(std::min<long long>(sum, std::numeric_limits<int>::max()));
  copies = pageCopies;
  if (!mediaSize && !mediaName.empty()) paperName = mediaName;
  if (colourPages > 0) {
    colourKnown = true;
    colour = true;
  }
}

}  // namespace gatelib::printing
