// PdfReader: the pages and copies of a PDF file sent raw; PdfPageTreeCount, the page count of
// the file's page tree read with the PDF library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

// The bounds of the page-tree count. The library holds the cross-reference table and every
// object it resolves in memory, so a file that claims more objects, or whose streams decode to
// more bytes, is not counted; a tree deeper or larger than this is not counted either.
struct PdfLimits {
  std::int64_t maxObjects = 2000000;        // claimed by the file's cross-reference data
  std::int64_t maxDecodedBytes = 64 << 20;  // of all the streams decoded for the count
  std::int64_t maxTreeNodes = 1000000;      // page-tree nodes and pages visited
  int maxTreeDepth = 256;                   // page-tree levels
};

// Whether this build has the PDF library.
bool HavePdfLibrary();

// The number of pages in the page tree of the PDF file at `path` (read through the platform's
// file calls); nothing when the library cannot read it, the tree is broken or a bound of
// `limits` is passed. A tree that reaches a node twice (a cycle, or a node shared by two
// parents) counts each page once. `why`, when given, receives the reason of a failure.
std::optional<std::int64_t> PdfPageTreeCount(const std::wstring& path, const PdfLimits& limits = {},
                                             std::string* why = nullptr);

}  // namespace gatelib::printing
