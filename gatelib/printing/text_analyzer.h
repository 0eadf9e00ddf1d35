// TextAnalyzer: counts the pages of plain text.
#pragma once

#include <cstddef>

#include "gatelib/printing/job_analyzer.h"

namespace gatelib::printing {

// Pages are the form feeds when there are any, else the lines divided by `linesPerPage`,
// rounded up (at least one page). A line feed that is the last byte ends the last line and
// does not begin another. A `linesPerPage` below 1 makes the text one page.
class TextAnalyzer : public JobAnalyzer {
 public:
  TextAnalyzer(std::size_t bufferSize, int linesPerPage);

 protected:
  int Analyze() override;

 private:
  int linesPerPage_;
};

}  // namespace gatelib::printing
