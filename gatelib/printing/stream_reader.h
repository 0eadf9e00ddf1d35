// StreamReader: the base of every language reader, with the scanning operations they share.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "gatelib/printing/job_data.h"
#include "gatelib/printing/printer_language.h"

namespace gatelib::printing {

// A set of byte values that separate tokens.
class SeparatorSet {
 public:
  constexpr SeparatorSet(std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) bits_[b >> 6] |= std::uint64_t{1} << (b & 63);
  }
  constexpr bool Contains(std::uint8_t b) const { return (bits_[b >> 6] >> (b & 63) & 1) != 0; }
  // This set with the bytes of `more` added.
  constexpr SeparatorSet With(std::string_view more) const {
    SeparatorSet wider = *this;
    for (char c : more) {
      auto b = static_cast<std::uint8_t>(c);
      wider.bits_[b >> 6] |= std::uint64_t{1} << (b & 63);
    }
    return wider;
  }

 private:
  std::array<std::uint64_t, 4> bits_{};
};

// NUL, TAB, LF, FF, CR and space: the separators of every reader unless it widens them.
inline constexpr SeparatorSet kBaseSeparators{0x00, 0x09, 0x0A, 0x0C, 0x0D, 0x20};
inline constexpr SeparatorSet kPjlSeparators = kBaseSeparators.With(":=");
inline constexpr SeparatorSet kPostScriptSeparators = kBaseSeparators.With("()");
inline constexpr SeparatorSet kJobTicketSeparators = kBaseSeparators.With("<>");
inline constexpr SeparatorSet kPrescribeSeparators{0x0A, 0x0C, 0x0D, 0x20, ',', ';'};

inline constexpr std::uint8_t kEscape = 0x1B;
// The universal exit that ends a printer-language job.
inline constexpr std::string_view kUniversalExit = "\x1b%-12345X";

// Tokens longer than this are consumed whole but kept only up to it: no keyword or number the
// readers look for is longer, and a run of text without separators cannot make a reader
// allocate without bound.
constexpr std::size_t kMaxTokenBytes = 65536;

// What a reader that classifies a whole document (the XML job ticket) decided.
enum class ReaderVerdict {
  Segment,   // an ordinary segment: merged by its language's rule
  Counted,   // the reader counted the whole job itself: its counts are the job's
  Unusable,  // a document without usable data
};

class StreamReader {
 public:
  explicit StreamReader(const SeparatorSet& separators = kBaseSeparators)
      : separators_(separators) {}
  virtual ~StreamReader() = default;
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  // Reads the segment at the source's position. True when it was read (also when it ended
  // early at the end of the data); false when the data is not what the reader understands.
  // This base stores the source and returns false.
  virtual bool Read(JobData& source);
  virtual bool IsTokenChar(std::uint8_t byte) const { return !IsSeparator(byte); }
  virtual bool IsSeparator(std::uint8_t byte) const { return separators_.Contains(byte); }
  // The next byte of the source; false at its end.
  virtual bool GetNextChar(std::uint8_t& byte) { return source_->GetNextChar(byte); }
  // Moves the source's position by n bytes, n may be negative.
  virtual void Skip(std::int64_t n) { source_->Skip(n); }

  // The operations below read the source directly (a scan looks at a whole window at a time);
  // ReadToken and ReadBalancedToken separate tokens with IsSeparator.

  // Passes over separators; false at the end of the data.
  bool SkipSeparators();
  // Skips separators, then collects the bytes up to the next separator, which is consumed.
  // False (and an empty token) at the end of the data.
  bool ReadToken(std::string& token);
  // As ReadToken, but a token that begins with "(" runs to the matching ")" (nested pairs
  // counted, separators included) and keeps both parentheses.
  bool ReadBalancedToken(std::string& token);
  // Reads until `text` has been read whole; the position is then just past it. False, with
  // the position at the end of the data, when it does not occur.
  bool FindText(std::string_view text);
  // Reads up to and including the next byte equal to `byte`; false at the end of the data.
  bool SkipPast(std::uint8_t byte);
  // Unsigned integers, big-endian unless little-endian is asked for; false when the data ends
  // first.
  bool ReadU16(std::uint16_t& value, bool littleEndian = false);
  bool ReadU32(std::uint32_t& value, bool littleEndian = false);
  // True, past them, when the next bytes are `text`; otherwise false with the position where
  // it was (also at the end of the data).
  bool MatchText(std::string_view text);

  JobData& Source() { return *source_; }

  // What the reader counted.
  int pages = 0;
  int monoPages = 0;
  int colourPages = 0;
  PrinterLanguage language = PrinterLanguage::Unknown;  // the language a PJL header entered
  int copies = 0;                                       // 0: none found
  bool colourKnown = false;
  bool colour = false;
  bool duplex = false;
  // Settings that some readers find (the PJL header with the language it enters, PostScript,
  // the XML job ticket); the analysis takes them by the merge rule of the segment's language.
  int holdMode = 1;
  std::wstring paperName;
  std::wstring documentName;
  std::optional<std::uint16_t> mediaSize;
  std::optional<std::uint16_t> measure;
  std::optional<std::uint16_t> unitsPerMeasureX;
  std::optional<std::uint16_t> unitsPerMeasureY;
  std::optional<std::uint16_t> orientation;
  ReaderVerdict verdict = ReaderVerdict::Segment;

 protected:
  void SetSource(JobData& source) { source_ = &source; }
  // Whether the bytes at the position are a universal exit (nothing is consumed).
  bool UniversalExitAhead();
  // Tokens end before a universal exit (ESC "%-12345X"), which is never part of one: a token
  // cannot run from one job into the next. A token that would begin there is empty (ReadToken
  // then returns false with the position at the exit).
  void EndTokensAtUniversalExit() { tokensEndAtExit_ = true; }

 private:
  bool CollectToken(std::string& token, bool balanced);

  JobData* source_ = nullptr;
  SeparatorSet separators_;
  bool tokensEndAtExit_ = false;
};

// The decimal integer that `text` begins with (an optional sign, then digits), clamped to the
// range of int; 0 when it does not begin with one.
int DecimalValue(std::string_view text);
// `text` with the ASCII letters upper-cased.
std::string UpperAscii(std::string_view text);
void UpperAsciiInPlace(std::string& text);
// A byte string as a wide string, one character per byte.
std::wstring WidenBytes(std::string_view text);

// The scans of StreamReader on a JobData of its own. The answers of FindText and CountText
// are kept for the file (JobData::Memo), so that searches of the same text from later offsets
// do not read the same bytes again.
bool FindText(JobData& data, std::string_view text);
// Looks for each of `texts` from the position in one pass over the data, so that the FindText
// of each from here is answered without reading the data again; the position stays.
void PrimeSearches(JobData& data, std::initializer_list<std::string_view> texts);
// How many times FindText finds `text` from the position to the end of the data, where the
// position is left.
std::int64_t CountText(JobData& data, std::string_view text);
bool SkipPast(JobData& data, std::uint8_t byte);

}  // namespace gatelib::printing
