// Builds without the PDF library: no page tree is counted.
#include "gatelib/printing/pdf_page_tree.h"

namespace gatelib::printing {

bool HavePdfLibrary() {
  return false;
}

std::optional<std::int64_t> PdfPageTreeCount(const std::wstring&, const PdfLimits&,
                                             std::string* why) {
  if (why != nullptr) *why = "this build has no PDF library";
  return std::nullopt;
}

}  // namespace gatelib::printing
