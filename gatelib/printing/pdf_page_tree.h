// PdfPageTreeCount: the page count of a PDF file's page tree, read with the PDF library.
// Plain C++17: the library's headers do not compile as C++20 with clang.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace gatelib::printing {

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
