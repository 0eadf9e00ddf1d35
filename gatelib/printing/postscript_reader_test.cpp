#include "gatelib/printing/postscript_reader.h"

#include <gtest/gtest.h>

#include <functional>

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
      {"a tested /NumCopies is no count",
       "\n%%BeginSetup\ncurrentpagedevice /NumCopies known\n/#copies 3 def\n%%EndSetup\n", 0, 3,
       L"", false},
      {"/NumCopies with a number", "\n%%BeginSetup\n<< /NumCopies 2 >> setpagedevice\n%%EndSetup\n",
       0, 2, L"", false},
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

// Each document searches its comments from its own start to the end of the data, so a later
// document's comments count for the earlier ones too.
TEST_F(PostScriptReaderTest, EverySearchRunsToTheEndOfTheData) {
  const std::string uel = "\x1b%-12345X";
  const struct {
    const char* name;
    std::string first;
    std::string second;
    int pages;
  } cases[] = {
      {"the last ordinal of all", "\n%%Page: 1 1\n%%Page: 2 2\n", "\n%%Page: 1 1\n", 1 + 1},
      {"the first count after atend", "\n%%Pages: (atend)\n", "\n%%Pages: 3\n", 3 + 3},
      {"trailers to the end", "\n%%PageTrailer\n%%PageTrailer\n",
       "\n%%PageTrailer\n%%PageTrailer\n%%PageTrailer\n", 5 + 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Analysis a = Analyse("%!PS" + c.first + uel + "%!PS" + c.second + uel);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.pages, c.pages);
  }
}

// Thousands of documents in one job: what each document's searches found is remembered, so the
// whole job is read a few times over at most, not once per document.
TEST_F(PostScriptReaderTest, ManyDocumentsAreReadInLinearTime) {
  constexpr int kDocuments = 3000;
  const std::string uel = "\x1b%-12345X";
  const struct {
    const char* name;
    std::function<std::string(int)> document;  // the body of document k (1 to kDocuments)
    long long pages;
  } cases[] = {
      // Document k takes the ordinal of the last document.
      {"ordinals", [](int k) { return "\n%%Page: " + std::to_string(k) + " " + std::to_string(k); },
       1LL * kDocuments * kDocuments},
      // Every document takes the count of the last one.
      {"counts at the end",
       [](int k) { return std::string(k < kDocuments ? "\n%%Pages: (atend)" : "\n%%Pages: 2"); },
       2LL * kDocuments},
      // Document k counts the trailers of the documents from k on.
      {"trailers", [](int) { return std::string("\n%%Page: x 1\n%%PageTrailer"); },
       1LL * kDocuments * (kDocuments + 1) / 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string job;
    for (int k = 1; k <= kDocuments; ++k) job += "%!PS" + c.document(k) + "\nshowpage\n" + uel;
    std::int64_t asked = 0;
    Analysis a = AnalyseCountingReads(job, asked);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.pages, c.pages);
    EXPECT_LE(asked, 8 * static_cast<std::int64_t>(job.size() + kSpoolBufferSize));
  }
}

}  // namespace
}  // namespace gatelib::printing
