// The language readers a build has, by the language of the segment they read.
#pragma once

#include <cstdint>
#include <memory>

#include "gatelib/printing/job_counts.h"
#include "gatelib/printing/printer_language.h"
#include "gatelib/printing/stream_reader.h"

namespace gatelib::printing {

// Streams that a PJL header enters (or reads) which have no segment signature of their own.
enum class HeaderStream : std::uint8_t {
  Qpdl,
  Rpcs,
  Hbp,
  EscapeGdi,           // "GDI" whose data begins with ESC
  HeaderlessSharpGdi,  // "GDI" whose data begins with 81
  JobTicket,           // the XML job ticket after "XCPT"
};

class SegmentReaders {
 public:
  virtual ~SegmentReaders() = default;
  // A new reader for a segment in `language`, or null when there is none for it; `pageEnds`
  // is the analysis's page-end list, for the readers that record where pages end. The PJL
  // header asks here too for the languages it enters (PCL, POSTSCRIPT, PCLXL).
  virtual std::unique_ptr<StreamReader> MakeReader(PrinterLanguage language,
                                                   PageEndList& pageEnds) const = 0;
  // A new reader for a stream that a PJL header enters, or null when there is none for it.
  virtual std::unique_ptr<StreamReader> MakeHeaderReader(HeaderStream stream,
                                                         PageEndList& pageEnds) const {
    static_cast<void>(stream);
    static_cast<void>(pageEnds);
    return nullptr;
  }
};

// The readers of this build.
const SegmentReaders& BuiltInReaders();

}  // namespace gatelib::printing
