// What the analysis of a spool file counts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gatelib/printing/printer_language.h"

namespace gatelib::printing {

struct JobCounts {
  int pages = 0;                                        // pages of one copy (sum over segments)
  int copies = 1;                                       // copies asked for (largest of any segment)
  PrinterLanguage language = PrinterLanguage::Unknown;  // main language of the job
  int holdMode = 1;  // 1 ordinary job; 2 the PJL header holds the job at the printer
  bool colourKnown = false;
  bool colour = false;  // meaningful when colourKnown
  bool duplex = false;
  int colourPages = 0;  // pages the PCL XL reader found in colour
  int monoPages = 0;    // pages the PCL XL reader found monochrome
  std::wstring paperName;
  std::wstring documentName;  // the job name of an XML job ticket
  // PCL XL page settings of the first page that gave them.
  std::optional<std::uint16_t> mediaSize;
  std::optional<std::uint16_t> measure;
  std::optional<std::uint16_t> unitsPerMeasureX;
  std::optional<std::uint16_t> unitsPerMeasureY;
  std::optional<std::uint16_t> orientation;
};

// Byte offsets at which the pages of a PCL XL stream end, appended to by its reader, in the
// order of the pages.
//
// It holds at most kMaxPageEnds offsets, far more pages than any real job has, and only
// offsets below 4 GiB. An offset beyond either bound drops the list and marks it incomplete:
// whatever places marks at the page ends (the watermark) then passes over the job, rather than
// writing into the wrong place, and a flood of page ends cannot make the list grow without
// bound.
class PageEndList {
 public:
  static constexpr std::size_t kMaxPageEnds = std::size_t{1} << 20;

  void Add(std::int64_t offset) {
    if (!complete_) return;
    if (offsets_.size() >= kMaxPageEnds || offset < 0 || offset > 0xFFFFFFFFLL) {
      complete_ = false;
      std::vector<std::uint32_t>().swap(offsets_);
      return;
    }
    offsets_.push_back(static_cast<std::uint32_t>(offset));
  }
  // False when the list was dropped: it no longer says where the pages end.
  bool Complete() const { return complete_; }
  const std::vector<std::uint32_t>& Offsets() const { return offsets_; }
  std::size_t size() const { return offsets_.size(); }
  bool empty() const { return offsets_.empty(); }
  std::uint32_t operator[](std::size_t i) const { return offsets_[i]; }
  void clear() {
    offsets_.clear();
    complete_ = true;
  }
  // Back to what it held when it had `n` offsets and was complete (an analysis that reads the
  // data again drops what its first attempt appended).
  void RollBack(std::size_t n, bool complete) {
    if (!complete) {
      offsets_.clear();
    } else if (n < offsets_.size()) {
      offsets_.resize(n);
    }
    complete_ = complete;
  }
  friend bool operator==(const PageEndList& list, const std::vector<std::uint32_t>& offsets) {
    return list.complete_ && list.offsets_ == offsets;
  }

 private:
  std::vector<std::uint32_t> offsets_;
  bool complete_ = true;
};

}  // namespace gatelib::printing
