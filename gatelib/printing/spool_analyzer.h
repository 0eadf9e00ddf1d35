// SpoolAnalyzer: detects the language of each segment of a spool file, runs its reader and
// merges what the readers counted.
#pragma once

#include <cstddef>

#include "gatelib/printing/job_analyzer.h"
#include "gatelib/printing/segment_readers.h"

namespace gatelib::printing {

// What RunSegment does for a language.
struct SegmentRule {
  enum class Action : std::uint8_t {
    None,        // nothing is read
    Reader,      // the language's reader reads the segment
    LineEnd,     // after a universal exit: one LF is passed over
    SinglePage,  // the job is one page of one copy
  };
  enum class After : std::uint8_t {
    NotRecognised,  // the analysis ends as not recognised
    Continue,       // detection resumes after the segment
    Stop,           // the analysis ends with the counts
  };
  enum class Merge : std::uint8_t {
    Counts,      // pages added, the largest copies, duplex
    Pjl,         // also the header's settings and the language it entered
    PostScript,  // also the paper name
    Raster,      // also the colour that the stream's header states
    JobTicket,   // also the ticket's job name and colour (the XML job ticket)
    Package,     // the package's pages and copies replace the counts (XPS)
  };
  PrinterLanguage language;
  Action action;
  After after;
  bool claimsLanguage;  // the job's language becomes this one when still Unknown
  bool resetsPages;     // the pages counted before are dropped
  Merge merge;
};

// The rule of a language; a value outside the enumeration is not recognised.
const SegmentRule& RuleOf(PrinterLanguage language);

class SpoolAnalyzer : public JobAnalyzer {
 public:
  // `initialLanguage` (Unknown: none) is tried first from the start of the data; `pageEnds`
  // receives the page ends that the PCL XL reader finds.
  SpoolAnalyzer(std::size_t bufferSize, PrinterLanguage initialLanguage, PageEndList& pageEnds,
                const SegmentReaders& readers = BuiltInReaders());

  // Runs the segment of `language` at the position and merges its counts: analysis::kResume
  // to detect the next segment, or the analysis result.
  int RunSegment(PrinterLanguage language);

 protected:
  int Analyze() override;

 private:
  void Merge(const SegmentRule& rule, StreamReader& reader);
  void TakeWholeJob(StreamReader& reader);

  PrinterLanguage initialLanguage_;
  PageEndList& pageEnds_;
  const SegmentReaders& readers_;
};

}  // namespace gatelib::printing
