#include "gatelib/printing/spool_analyzer.h"

#include <array>
#include <limits>

#include "gatelib/printing/language_detection.h"
#include "shared/error/errors.h"

namespace gatelib::printing {
namespace {

using L = PrinterLanguage;
using A = SegmentRule::Action;
using After = SegmentRule::After;
using M = SegmentRule::Merge;

// By language value: action, what follows a segment that was read, language claim, page reset,
// merge.
constexpr std::array<SegmentRule, kPrinterLanguageCount> kRules = {{
    {L::Unknown, A::None, After::NotRecognised, false, false, M::Counts},
    {L::PCL, A::Reader, After::Continue, true, false, M::Counts},
    {L::PJL, A::Reader, After::Continue, false, false, M::Pjl},
    {L::UEL, A::LineEnd, After::Continue, false, false, M::Counts},
    {L::PL_EOF, A::None, After::Stop, false, false, M::Counts},
    {L::BJ, A::Reader, After::Continue, false, false, M::Counts},
    {L::POSTSCRIPT, A::Reader, After::Continue, true, false, M::PostScript},
    {L::PRESCRIBE, A::Reader, After::Continue, false, false, M::Counts},
    {L::ESCP2, A::Reader, After::Continue, false, false, M::Counts},
    {L::ZIMF, A::Reader, After::Stop, false, false, M::Counts},
    {L::CANON_IMAGERUNNER, A::Reader, After::Stop, false, false, M::Counts},
    {L::ZJSTREAM, A::Reader, After::Stop, false, true, M::Raster},
    {L::SHARP_GDI, A::Reader, After::Stop, false, false, M::Counts},
    {L::MINOLTADI16, A::Reader, After::Stop, false, false, M::Counts},
    {L::SPL, A::Reader, After::Stop, false, false, M::Counts},
    {L::CANON_IR2200, A::Reader, After::Continue, false, false, M::Counts},
    {L::LIDIL, A::Reader, After::Stop, false, false, M::Counts},
    {L::HPGL, A::SinglePage, After::Stop, false, false, M::Counts},
    {L::XQX, A::Reader, After::Stop, false, false, M::Counts},
    {L::WINDOWS_GDI, A::None, After::NotRecognised, false, false, M::Counts},
    {L::XML, A::Reader, After::Continue, false, false, M::JobTicket},
    {L::XRX, A::Reader, After::Continue, false, false, M::Counts},
    {L::EMF, A::None, After::NotRecognised, false, false, M::Counts},
    {L::TEXT, A::None, After::NotRecognised, false, false, M::Counts},
    {L::PCLXL, A::None, After::NotRecognised, false, false, M::Counts},
    {L::XPS, A::Reader, After::Stop, true, false, M::Package},
    {L::PDF, A::Reader, After::Stop, false, false, M::Counts},
    {L::PDF_BANNER, A::SinglePage, After::Stop, false, false, M::Counts},
    {L::EJL, A::Reader, After::Continue, false, false, M::Counts},
}};

constexpr bool RulesInLanguageOrder() {
  for (std::size_t i = 0; i < kRules.size(); ++i) {
    if (static_cast<std::size_t>(kRules[i].language) != i) return false;
  }
  return true;
}
static_assert(RulesInLanguageOrder());

int Plus(int a, int b) {
  long long sum = static_cast<long long>(a) + b;
  if (sum > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (sum < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(sum);
}

}  // namespace

const SegmentRule& RuleOf(PrinterLanguage language) {
  int value = static_cast<int>(language);
  if (value < 0 || value >= kPrinterLanguageCount) return kRules[0];
  return kRules[static_cast<std::size_t>(value)];
}

SpoolAnalyzer::SpoolAnalyzer(std::size_t bufferSize, PrinterLanguage initialLanguage,
                             PageEndList& pageEnds, const SegmentReaders& readers)
    : JobAnalyzer(bufferSize),
      initialLanguage_(initialLanguage),
      pageEnds_(pageEnds),
      readers_(readers) {}

int SpoolAnalyzer::Analyze() {
  counts_.pages = 0;
  counts_.copies = 1;
  const std::size_t pageEndsBefore = pageEnds_.size();
  const bool pageEndsComplete = pageEnds_.Complete();
  int result = analysis::kResume;
  if (initialLanguage_ != L::Unknown) {
    result = RunSegment(initialLanguage_);
    if (result == analysis::kNotRecognised) {
      // Read again from the start through detection, as if the first attempt had not been.
      counts_ = JobCounts{};
      pageEnds_.RollBack(pageEndsBefore, pageEndsComplete);
      if (Rewind() < 0) throw new SystemError(L"file.Seek", L"SpoolAnalyzer::Analyze");
      result = analysis::kResume;
    }
  }
  while (result == analysis::kResume) {
    std::int64_t start = Position();
    result = RunSegment(DetectLanguage(*this));
    // A segment read without moving on would be detected again and again.
    if (result == analysis::kResume && Position() <= start) return analysis::kNotRecognised;
  }
  return result;
}

int SpoolAnalyzer::RunSegment(PrinterLanguage language) {
  const SegmentRule& rule = RuleOf(language);
  switch (rule.action) {
    case A::None:
      return rule.after == After::Stop ? analysis::kCounted : analysis::kNotRecognised;
    case A::LineEnd: {
      std::uint8_t byte = 0;
      if (GetNextChar(byte) && byte != '\n') Skip(-1);
      return analysis::kResume;
    }
    case A::SinglePage:
      counts_.pages = 1;
      counts_.copies = 1;
      return analysis::kCounted;
    case A::Reader:
      break;
  }
  if (rule.claimsLanguage && counts_.language == L::Unknown) counts_.language = language;
  if (rule.resetsPages) counts_.pages = 0;
  std::unique_ptr<StreamReader> reader = readers_.MakeReader(language, pageEnds_);
  if (reader == nullptr) return analysis::kNotRecognised;
  bool read = reader->Read(*this);
  if (reader->verdict == ReaderVerdict::Unusable) return analysis::kUnusable;
  if (!read) return analysis::kNotRecognised;
  if (reader->verdict == ReaderVerdict::Counted) {
    TakeWholeJob(*reader);
    return analysis::kCounted;
  }
  Merge(rule, *reader);
  return rule.after == After::Continue ? analysis::kResume : analysis::kCounted;
}

void SpoolAnalyzer::Merge(const SegmentRule& rule, StreamReader& reader) {
  JobCounts& c = counts_;
  if (rule.merge == M::Package) {
    c.pages = reader.pages;
    c.copies = reader.copies > 0 ? reader.copies : 1;
  } else {
    c.pages = Plus(c.pages, reader.pages);
    if (reader.copies > c.copies) c.copies = reader.copies;
  }
  // Two-sided printing found anywhere in the data holds for the job; so does colour, once a
  // PJL header or a raster stream's own header stated it.
  if (reader.duplex) c.duplex = true;
  if ((rule.merge == M::Pjl || rule.merge == M::Raster) && !c.colour && reader.colourKnown) {
    c.colourKnown = true;
    c.colour = reader.colour;
  }
  switch (rule.merge) {
    case M::Pjl:
      if (!reader.paperName.empty()) c.paperName = reader.paperName;
      c.colourPages = Plus(c.colourPages, reader.colourPages);
      c.monoPages = Plus(c.monoPages, reader.monoPages);
      if (c.language == L::Unknown) c.language = reader.language;
      if (!c.mediaSize) c.mediaSize = std::move(reader.mediaSize);
      if (!c.measure) c.measure = std::move(reader.measure);
      if (!c.orientation) c.orientation = std::move(reader.orientation);
      if (!c.unitsPerMeasureX && !c.unitsPerMeasureY) {
        c.unitsPerMeasureX = std::move(reader.unitsPerMeasureX);
        c.unitsPerMeasureY = std::move(reader.unitsPerMeasureY);
      }
      if (c.holdMode == 1) c.holdMode = reader.holdMode;
      break;
    case M::PostScript:
      if (!reader.paperName.empty()) c.paperName = reader.paperName;
      break;
    case M::JobTicket:
      c.documentName = reader.documentName;
      c.colourKnown = true;
      c.colour = reader.colour;
      break;
    case M::Counts:
    case M::Raster:
    case M::Package:
      break;
  }
}

// A document whose reader counted the job as a whole (the ivec job ticket).
void SpoolAnalyzer::TakeWholeJob(StreamReader& reader) {
  counts_.pages = reader.pages;
  counts_.copies = 1;
  if (reader.colourKnown) {
    counts_.colourKnown = true;
    counts_.colour = reader.colour;
  }
  if (reader.duplex) counts_.duplex = true;
}

}  // namespace gatelib::printing
