#include "gatelib/printing/postscript_reader.h"

#include <gtest/gtest.h>

#include "gatelib/printing/test_support.h"

namespace gatelib::printing {
namespace {

class PostScriptReaderTest : public test::AnalysisTest {};

TEST_F(PostScriptReaderTest, CommentsAndSetup) {
  const struct {
    const char* name;
    std::string body;
    int pages;
    int copies;
    std::wstring paper;
    bool duplex;
  } cases[] = {
      {"no comments", "/x 1 def showpage\n", 0, 1, L"", false},
      {"page count", "\n%%Pages: 3\n%%EndComments\n", 3, 1, L"", false},
      {"atend, then the trailer", "\n%%Pages: (atend)\n%%Page: 1 1\n%%Trailer\n%%Pages: 4\n", 4, 1,
       L"", false},
      {"page trailers beat the ordinals",
       "\n%%Page: 1 1\n%%PageTrailer\n%%Page: 2 7\n%%PageTrailer\n%%Page: 3 9\n%%PageTrailer\n", 3,
       1, L"", false},
      {"the last ordinal", "\n%%Page: (one) 1\n%%Page: (two) 2\n%%Page: x y\n", 2, 1, L"", false},
      {"requirements", "\n%%Requirements: duplex numcopies(5) collate\n%%Pages: 1\n", 1, 5, L"",
       true},
      {"requirements before the setup",
       "\n%%Requirements: numcopies(4)\n%%BeginSetup\n/#copies 2 def\n%%EndSetup\n", 0, 4, L"",
       false},
      {"setup NumCopies null, then #copies",
       "\n%%BeginSetup\n1 dict dup /NumCopies null put\n/#copies 3 def\n%%EndSetup\n", 0, 3, L"",
       false},
      {"setup after EndSetup is not read",
       "\n%%BeginSetup\n%%EndSetup\n<< /NumCopies 6 /Duplex true >> setpagedevice\n", 0, 1, L"",
       false},
      {"setup duplex", "\n%%BeginSetup\n<< /Duplex true /Tumble false >> setpagedevice\n%%EndSetup",
       0, 1, L"", true},
      {"paper", "\n%%BeginFeature: *PageSize A4\n<</PageSize [595 842]>> setpagedevice\n", 0, 1,
       L"A4", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Analysis a = Analyse("%!PS-Adobe-3.0" + c.body);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.language, PrinterLanguage::POSTSCRIPT);
    EXPECT_EQ(a.counts.pages, c.pages);
    EXPECT_EQ(a.counts.copies, c.copies);
    EXPECT_EQ(a.counts.paperName, c.paper);
    EXPECT_EQ(a.counts.duplex, c.duplex);
  }
}

TEST_F(PostScriptReaderTest, SegmentsEndAtTheUniversalExit) {
  Analysis a = Analyse(
      "%!PS\n%%Pages: 2\n\x1b%-12345X@PJL EOJ\n\x1b%-12345X%!PS\n%%Pages: 3\n%%BeginSetup\n"
      "/#copies 5 def\n%%EndSetup\n");
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, 5);
  EXPECT_EQ(a.counts.copies, 5);
}

}  // namespace
}  // namespace gatelib::printing
