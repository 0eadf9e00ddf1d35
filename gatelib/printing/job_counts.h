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

// Byte offsets at which the pages of a PCL XL stream end, appended to by its reader.
using PageEndList = std::vector<std::uint32_t>;

}  // namespace gatelib::printing
