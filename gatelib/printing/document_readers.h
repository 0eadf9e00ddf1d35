// Readers of whole documents and job headers: the XML job ticket (xpif, also after PJL's
// "XCPT"), the XML document that classifies a job (ivec or xpif), the ZjStream raster stream
// and the Xerox and EJL job headers.
#pragma once

#include <string>

#include "gatelib/printing/stream_reader.h"

namespace gatelib::printing {

// The xpif job ticket: colour, copies and the job's name. False when the document is not an
// xpif ticket. Its searches start again from the start of the data, as the ticket may stand
// anywhere in it; it ends past "</xpif>" (and one LF after it).
class JobTicketReader : public StreamReader {
 public:
  JobTicketReader() : StreamReader(kJobTicketSeparators) {}
  bool Read(JobData& source) override;
};

// An XML document (after "<?xml"): the spool file is read again from its start for its tags.
// An ivec command counts the whole job (its impressions, colour mode and duplex; verdict
// Counted); an xpif ticket is read by JobTicketReader from the position (its job name and
// colour go to the job); any other document, or an ivec count that is not a number, has no
// usable data (verdict Unusable).
class XmlDocumentReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

// ZjStream (after "JZJZ"): records of a 32-bit big-endian length (with the 8-byte header) and
// type. A page ends at each record of type 3; the stream ends at its end-of-document record (1)
// or the end of the data. The pages' start records state the copies and the colour planes,
// which the reader reports. False on a record type it does not know or a header cut short.
class ZjStreamReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

// The Xerox job header (after "%%XRXbegin"): passed over up to "%%XRXend"; nothing is counted.
class XeroxHeaderReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

// The Epson EJL header (after ESC 01): its "@EJL " lines are passed over; false when one has no
// line end.
class EjlHeaderReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

}  // namespace gatelib::printing
