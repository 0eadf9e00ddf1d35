#include "gatelib/printing/text_analyzer.h"

#include <limits>

namespace gatelib::printing {

TextAnalyzer::TextAnalyzer(std::size_t bufferSize, int linesPerPage)
    : JobAnalyzer(bufferSize), linesPerPage_(linesPerPage) {
  counts_.language = PrinterLanguage::TEXT;
}

int TextAnalyzer::Analyze() {
  std::uint64_t formFeeds = 0;
  std::uint64_t lineFeeds = 0;
  bool endsWithLineFeed = false;
  for (;;) {
    std::span<const std::uint8_t> window = Window();
    if (window.empty())
      break;
    std::size_t ff = 0;
    std::size_t lf = 0;
    for (std::uint8_t b : window) {
      ff += b == 0x0C;
      lf += b == 0x0A;
    }
    formFeeds += ff;
    lineFeeds += lf;
    endsWithLineFeed = window.back() == 0x0A;
    Advance(window.size());
  }
  constexpr std::uint64_t kMaxPages = std::numeric_limits<int>::max();
  std::uint64_t pages;
  if (formFeeds > 0) {
    pages = formFeeds;
  } else if (linesPerPage_ < 1) {
    pages = 1;
  } else {
    std::uint64_t lines = 1 + lineFeeds - (endsWithLineFeed ? 1 : 0);
    std::uint64_t perPage = static_cast<std::uint64_t>(linesPerPage_);
    pages = (lines + perPage - 1) / perPage;
    if (pages == 0)
      pages = 1;
  }
  counts_.pages = static_cast<int>(pages < kMaxPages ? pages : kMaxPages);
  return analysis::kCounted;
}

}  // namespace gatelib::printing
