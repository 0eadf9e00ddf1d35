#include "gatelib/printing/text_analyzer.h"

#include <cstring>
#include <limits>

namespace gatelib::printing {
namespace {

std::size_t CountByte(std::span<const std::uint8_t> bytes, std::uint8_t value) {
  std::size_t count = 0;
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* end = p + bytes.size();
  while (const void* hit = std::memchr(p, value, static_cast<std::size_t>(end - p))) {
    ++count;
    p = static_cast<const std::uint8_t*>(hit) + 1;
  }
  return count;
}

}  // namespace

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
    if (window.empty()) break;
    formFeeds += CountByte(window, 0x0C);
    lineFeeds += CountByte(window, 0x0A);
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
    if (pages == 0) pages = 1;
  }
  counts_.pages = static_cast<int>(pages < kMaxPages ? pages : kMaxPages);
  return analysis::kCounted;
}

}  // namespace gatelib::printing
