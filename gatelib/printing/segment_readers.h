// The language readers a build has, by the language of the segment they read.
#pragma once

#include <memory>

#include "gatelib/printing/job_counts.h"
#include "gatelib/printing/printer_language.h"
#include "gatelib/printing/stream_reader.h"

namespace gatelib::printing {

class SegmentReaders {
 public:
  virtual ~SegmentReaders() = default;
  // A new reader for a segment in `language`, or null when there is none for it; `pageEnds`
  // is the analysis's page-end list, for the readers that record where pages end.
  virtual std::unique_ptr<StreamReader> MakeReader(PrinterLanguage language,
                                                   PageEndList& pageEnds) const = 0;
};

// The readers of this build.
const SegmentReaders& BuiltInReaders();

}  // namespace gatelib::printing
