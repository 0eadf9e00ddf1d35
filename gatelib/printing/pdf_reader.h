// PdfReader: the pages and copies of a PDF file sent raw.
#pragma once

#include "gatelib/printing/pdf_page_tree.h"
#include "gatelib/printing/stream_reader.h"

namespace gatelib::printing {

// After "%PDF": pages are the page objects whose type entry ends its line ("/Type /Page" and a
// line feed; "/Type /Pages" is not one). Producers write the type in other ways and PDF 1.5
// hides page objects in compressed object streams, so when the text names no page the page
// tree is counted with the PDF library (in builds that have it); a file the library cannot
// read keeps the count of the text. Copies: the number after the first "copies:" in the file.
class PdfReader : public StreamReader {
 public:
  bool Read(JobData& source) override;
};

}  // namespace gatelib::printing
