#include "gatelib/printing/pjl_reader.h"

#include <gtest/gtest.h>

#include "gatelib/printing/test_support.h"

namespace gatelib::printing {
namespace {

using L = PrinterLanguage;

class PjlReaderTest : public test::AnalysisTest {};

const std::string kUel = "\x1b%-12345X";

TEST_F(PjlReaderTest, HeaderSettings) {
  const struct {
    const char* name;
    std::string header;
    int copies;
    int holdMode;
    bool colourKnown;
    bool colour;
    bool duplex;
  } cases[] = {
      {"copies", "@PJL SET COPIES=3\r\n", 3, 1, false, false, false},
      {"quantity with blanks", "@PJL SET QTY  =  2\n", 2, 1, false, false, false},
      {"quantity with colon", "@PJL set qty:4\n", 4, 1, false, false, false},
      {"not a number", "@PJL SET COPIES=many\n", 1, 1, false, false, false},
      {"render mode colour", "@PJL SET RENDERMODE=color\n", 1, 1, true, true, false},
      {"render mode grey", "@PJL SET RENDERMODE=GRAYSCALE\n", 1, 1, true, false, false},
      {"colour mode auto", "@PJL SET COLORMODE=AUTO\n", 1, 1, true, true, false},
      {"grayscale off is still mono", "@PJL SET GRAYSCALE=OFF\n", 1, 1, true, false, false},
      {"data mode colour", "@PJL SET DATAMODE=COLOR\n", 1, 1, true, true, false},
      {"duplex on", "@PJL SET DUPLEX=ON\n", 1, 1, false, false, true},
      {"duplex off", "@PJL SET DUPLEX=OFF\n", 1, 1, false, false, false},
      {"secure job holds", "@PJL SECUREJOB\n", 1, 2, false, false, false},
      {"paused job holds", "@PJL PAUSEDJOB\n", 1, 2, false, false, false},
      {"set hold does not", "@PJL SET HOLD=ON\n@PJL JOB NAME=\"x\"\n", 1, 1, false, false, false},
      {"comment passed over", "@PJL COMMENT SET COPIES=9\n@PJL SET COPIES=2\n", 2, 1, false, false,
       false},
      {"EOJ ends the header and its line", "@PJL SET QTY=2\n@PJL EOJ NAME=\"x\" QTY 5\n", 2, 1,
       false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Analysis a = Analyse(kUel + c.header + kUel);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.copies, c.copies);
    EXPECT_EQ(a.counts.holdMode, c.holdMode);
    EXPECT_EQ(a.counts.colourKnown, c.colourKnown);
    EXPECT_EQ(a.counts.colour, c.colour);
    EXPECT_EQ(a.counts.duplex, c.duplex);
    EXPECT_EQ(a.counts.pages, 0);
    EXPECT_EQ(a.counts.language, L::Unknown);
  }
}

TEST_F(PjlReaderTest, EnteredLanguages) {
  const std::string ps =
      "%!PS-Adobe-3.0\n%%Pages: 2\n%%BeginSetup\n<< /NumCopies 2 >> setpagedevice\n"
      "%%EndSetup\n";
  const struct {
    const char* name;
    std::string data;
    int result;
    int pages;
    int copies;
    L language;
  } cases[] = {
      {"PJL copies beat the setup's",
       "@PJL SET COPIES=3\n@PJL ENTER LANGUAGE=POSTSCRIPT\n" + ps + kUel + "@PJL EOJ\n" + kUel,
       analysis::kCounted, 2, 3, L::POSTSCRIPT},
      {"the setup's copies beat PJL's", "@PJL ENTER LANGUAGE = POSTSCRIPT\n" + ps + kUel,
       analysis::kCounted, 2, 2, L::POSTSCRIPT},
      {"PCL",
       "@PJL ENTER LANGUAGE=PCL\n\x1b"
       "E\x1b&l2X page\f\x1b"
       "E" +
           kUel,
       analysis::kCounted, 1, 2, L::PCL},
      {"print count stream",
       "@PJL ENTER LANGUAGE=SMART\n$PJL COPIES = 4\n$PJL PRINT\n$PJL PRINT\n$PJL PRINT\n",
       analysis::kCounted, 3, 4, L::Unknown},
      {"plotter data is one page", "@PJL ENTER LANGUAGE=HPGL2\nIN;SP1;PD;%!PS\n",
       analysis::kCounted, 1, 1, L::Unknown},
      {"ZJS counts nothing, detection goes on",
       "@PJL SET COPIES=2\n@PJL ENTER LANGUAGE=ZJS\n" + kUel + "@PJL EOJ\n" + kUel,
       analysis::kCounted, 0, 2, L::Unknown},
      {"cut short before the name", "@PJL SET COPIES=2\n@PJL ENTER LANGUAGE = ", analysis::kCounted,
       0, 2, L::Unknown},
      {"unknown language", "@PJL ENTER LANGUAGE=NOSUCH\n", analysis::kNotRecognised, 0, 1,
       L::Unknown},
      {"GDI without its data", "@PJL ENTER LANGUAGE=GDI\nxyz", analysis::kNotRecognised, 0, 1,
       L::Unknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Analysis a = Analyse(kUel + c.data);
    EXPECT_EQ(a.result, c.result);
    if (c.result != analysis::kCounted) continue;
    EXPECT_EQ(a.counts.pages, c.pages);
    EXPECT_EQ(a.counts.copies, c.copies);
    EXPECT_EQ(a.counts.language, c.language);
  }
}

// A reader of the test's for the streams the header enters, to see where they begin.
class RecordingReaders : public SegmentReaders {
 public:
  std::unique_ptr<StreamReader> MakeReader(PrinterLanguage language,
                                           PageEndList& pageEnds) const override {
    if (language == L::PCLXL) return std::make_unique<Recorder>(*this, 5);
    if (language == L::PJL) return std::make_unique<PjlReader>(pageEnds, *this);
    return BuiltInReaders().MakeReader(language, pageEnds);
  }
  std::unique_ptr<StreamReader> MakeHeaderReader(HeaderStream stream, PageEndList&) const override {
    if (stream == HeaderStream::JobTicket) return nullptr;
    return std::make_unique<Recorder>(*this, 1);
  }
  mutable std::vector<std::int64_t> starts;

 private:
  class Recorder : public StreamReader {
   public:
    Recorder(const RecordingReaders& owner, int pagesOf) : owner_(owner), pages_(pagesOf) {}
    bool Read(JobData& source) override {
      owner_.starts.push_back(source.Position());
      colourPages = pages_;
      pages = pages_;
      copies = 7;
      source.Skip(1 << 20);
      return true;
    }

   private:
    const RecordingReaders& owner_;
    int pages_;
  };
};

TEST_F(PjlReaderTest, PclXlAndVendorStreamsAreReadFromAfterTheHeader) {
  const struct {
    std::string data;
    int pages;
    int copies;
    L language;
    bool colour;
    std::int64_t start;
  } cases[] = {
      {"@PJL ENTER LANGUAGE=PCLXL\n) HP-PCL XL", 5, 7, L::PCLXL, true, 26},
      {"@PJL ENTER LANGUAGE=QPDL\n", 1, 7, L::Unknown, false, 25},
      {"@PJL ENTER LANGUAGE=GDI\n\x81\x81", 1, 7, L::Unknown, false, 24},
      {"@PJL XCPT <job>\n@PJL SET COPIES=9\n@PJL ENTER LANGUAGE=RPCS\n", 1, 9, L::Unknown, false,
       59},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    RecordingReaders readers;
    tollgate::testing::WriteBytes(Folder() / "00002.spl", c.data);
    SpoolAnalyzer analyzer(kSpoolBufferSize, L::Unknown, pageEnds, readers);
    ASSERT_EQ(analyzer.Open(tollgate::testing::Wide(Folder() / "00002.spl"), nullptr),
              analysis::kCounted);
    EXPECT_EQ(analyzer.Counts().pages, c.pages);
    EXPECT_EQ(analyzer.Counts().copies, c.copies);
    EXPECT_EQ(analyzer.Counts().language, c.language);
    EXPECT_EQ(analyzer.Counts().colour, c.colour);
    ASSERT_EQ(readers.starts.size(), 1u);
    EXPECT_EQ(readers.starts[0], c.start);
  }
}

// A header without a language ends where the next segment begins, whatever its lines end with.
TEST_F(PjlReaderTest, LineEndsDoNotChangeWhereTheHeaderEnds) {
  const std::string pcl =
      "\x1b"
      "Eone\ftwo\f";
  for (const char* end : {"\n", "\r\n", "\r\n\r\n", " \r\n", "\n\n"}) {
    SCOPED_TRACE(testing::PrintToString(end));
    Analysis a = Analyse(std::string("@PJL SET COPIES=3") + end + pcl);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.pages, 2);
    EXPECT_EQ(a.counts.copies, 3);
    EXPECT_EQ(a.counts.language, L::PCL);
  }
}

// The header after "XCPT" moves back within the read window for each token: a long exception
// section is read a few times at most (the first job-ticket attempt searches to the end), not a
// window per token.
TEST_F(PjlReaderTest, AnExceptionSectionIsReadOnce) {
  std::string job = "@PJL XCPT ";
  while (job.size() < (1u << 20)) job += "<a b=\"c\"/>\n";
  job +=
      "@PJL SET COPIES=2\n@PJL ENTER LANGUAGE=PCL\n\x1b"
      "Ex\f";
  std::int64_t asked = 0;
  Analysis a = AnalyseCountingReads(job, asked);
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, 1);
  EXPECT_EQ(a.counts.copies, 2);
  EXPECT_LE(asked, 3 * static_cast<std::int64_t>(job.size() + kSpoolBufferSize));
}

TEST_F(PjlReaderTest, PrintCountWithoutCopiesCountsFromTheStart) {
  Analysis a = Analyse("@PJL ENTER LANGUAGE=SMART\n$PJL PRINT\n$PJL PRINT\n");
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, 2);
  EXPECT_EQ(a.counts.copies, 1);
}

}  // namespace
}  // namespace gatelib::printing

namespace gatelib::printing {
namespace {

// Jobs cut at every length, and jobs of random header words and comments, are read to an end.
TEST_F(PjlReaderTest, TruncatedAndRandomHeadersEnd) {
  const std::string job =
      kUel + "@PJL JOB\r\n@PJL SET QTY = 2\r\n@PJL SET DUPLEX=ON\r\n@PJL COMMENT x\r\n" +
      "@PJL XCPT <a/>\r\n@PJL ENTER LANGUAGE = POSTSCRIPT\r\n%!PS\n%%Requirements: numcopies(3)\n" +
      "%%Pages: (atend)\n%%BeginSetup\n/NumCopies null\n%%EndSetup\n%%Page: (1) 1\n" +
      "%%PageTrailer\n%%Pages: 1\n" + kUel + "@PJL ENTER LANGUAGE=PCL\n\x1b" + "Ex\f" + kUel +
      "@PJL EOJ\r\n" + kUel;
  for (std::size_t n = 0; n <= job.size(); ++n) {
    // A language name cut short is a language this reader does not know.
    Analysis a = Analyse(job.substr(0, n));
    if (n == job.size()) {
      EXPECT_EQ(a.result, analysis::kCounted);
    }
    EXPECT_TRUE(a.result == analysis::kCounted || a.result == analysis::kNotRecognised) << n;
    EXPECT_LE(a.counts.pages, 2);
  }
  const char* words[] = {"@PJL",   "SET",        "ENTER", "LANGUAGE", "=",           ":",
                         "COPIES", "QTY",        "EOJ",   "XCPT",     "COMMENT",     "\n",
                         "SMART",  "ZJS",        "HPGL2", "%%Pages:", "(atend)",     "((",
                         ")",      "%%Page:",    "3",     "-7",       "99999999999", "\x1b",
                         "%",      "POSTSCRIPT", "PCL",   "\x04",     "$PJL PRINT"};
  std::uint32_t seed = 7;
  for (int round = 0; round < 300; ++round) {
    std::string bytes = "@PJL ";
    for (int i = 0; i < 60; ++i) {
      seed = seed * 1103515245 + 12345;
      bytes += words[(seed >> 16) % std::size(words)];
      if ((seed >> 8) % 2 == 0) bytes += ' ';
    }
    Analysis a = Analyse(bytes);
    EXPECT_NE(a.result, -1);
    EXPECT_GE(a.counts.pages, 0);
  }
}

}  // namespace
}  // namespace gatelib::printing
