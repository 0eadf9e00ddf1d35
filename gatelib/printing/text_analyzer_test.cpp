#include "gatelib/printing/text_analyzer.h"

#include <gtest/gtest.h>

#include "gatelib/printing/test_support.h"

namespace gatelib::printing {
namespace {

using tollgate::testing::Wide;
using tollgate::testing::WriteBytes;

class TextAnalyzerTest : public tollgate::testing::MachineTest {};

std::string Lines(int n, bool lastEnded = true) {
  std::string text;
  for (int i = 1; i <= n; ++i) {
    text += "line " + std::to_string(i);
    if (i < n || lastEnded) text += '\n';
  }
  return text;
}

TEST_F(TextAnalyzerTest, PagesFromFormFeedsOrLines) {
  const struct {
    const char* name;
    std::string text;
    int linesPerPage;
    int pages;
  } cases[] = {
      {"130 lines at 60", Lines(130), 60, 3},
      {"130 lines, the last without LF", Lines(130, false), 60, 3},
      {"132 lines at 66: the final LF begins no line", Lines(132), 66, 2},
      {"133 lines at 66", Lines(133), 66, 3},
      {"66 lines at 66", Lines(66), 66, 1},
      {"an empty line after the last LF", Lines(66) + "\n", 66, 2},
      {"two form feeds whatever the length", Lines(500) + "\f" + Lines(3) + "\f", 60, 2},
      {"empty", "", 66, 1},
      {"no lines per page", Lines(500), 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(Folder() / "job.txt", c.text);
    // A small window puts line ends on window boundaries.
    for (std::size_t window : {std::size_t{7}, kSpoolBufferSize}) {
      TextAnalyzer analyzer(window, c.linesPerPage);
      EXPECT_EQ(analyzer.Open(Wide(Folder() / "job.txt"), nullptr), analysis::kCounted);
      EXPECT_EQ(analyzer.Counts().pages, c.pages);
      EXPECT_EQ(analyzer.Counts().copies, 1);
      EXPECT_EQ(analyzer.Counts().language, PrinterLanguage::TEXT);
    }
  }
}

TEST_F(TextAnalyzerTest, RealTextFiles) {
  TextAnalyzer lines(kSpoolBufferSize, 66);
  EXPECT_EQ(lines.Open(test::TestData("text-132lines.txt"), nullptr), analysis::kCounted);
  EXPECT_EQ(lines.Counts().pages, 2);
  TextAnalyzer feeds(kSpoolBufferSize, 66);
  EXPECT_EQ(feeds.Open(test::TestData("text-3ff.txt"), nullptr), analysis::kCounted);
  EXPECT_EQ(feeds.Counts().pages, 3);
}

}  // namespace
}  // namespace gatelib::printing
