// PjlReader: the PJL job header, with the printer language it enters; PjlPrintCountReader: the
// "$PJL" print-count stream.
#pragma once

#include "gatelib/printing/job_counts.h"
#include "gatelib/printing/segment_readers.h"
#include "gatelib/printing/stream_reader.h"

namespace gatelib::printing {

class PjlReader : public StreamReader {
 public:
  // `pageEnds` goes to the PCL XL reader; `readers` makes the readers of the entered languages.
  explicit PjlReader(PageEndList& pageEnds, const SegmentReaders& readers = BuiltInReaders());

  // Reads the header from the "@PJL" that detection consumed; a language it enters is read
  // to its end by that language's reader. False when the entered language is unknown or its
  // reader fails.
  bool Read(JobData& source) override;

 private:
  // Reads the language named by `name` (upper case) from the position.
  bool Enter(const std::string& name);
  // Runs the reader of an entered language (null: there is none) and takes over its counts;
  // `copyCandidate` receives its copies. The caller keeps the reader, for what else it takes.
  bool RunEntered(StreamReader* reader, int& copyCandidate);
  void ReadJobTicket();

  PageEndList& pageEnds_;
  const SegmentReaders& readers_;
};

// The print-count stream ("SMART"): "$PJL COPIES = n" and one "$PJL PRINT" per page.
class PjlPrintCountReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

}  // namespace gatelib::printing
