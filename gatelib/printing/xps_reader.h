// XpsReader: the pages and copies of an XPS package, read as a zip archive through the
// platform's file calls.
#pragma once

#include "gatelib/printing/stream_reader.h"

namespace gatelib::printing {

// The spool file is opened again by its path as a zip archive. Pages are the highest number of
// the first document's page parts ("Documents/1/Pages/<n>.fpage", in any order); copies come
// from the job's print ticket ("Metadata/Job_PT.xml"), 1 when it names none. False when the
// file is no zip archive the library can open.
class XpsReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

// The most bytes of the print ticket that are read: a ticket is a few kilobytes, and an entry
// that inflates without end stops here.
constexpr std::size_t kXpsTicketBytes = 1 << 20;

}  // namespace gatelib::printing
