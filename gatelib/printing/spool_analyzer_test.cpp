#include "gatelib/printing/spool_analyzer.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "gatelib/printing/test_support.h"

namespace gatelib::printing {
namespace {

using L = PrinterLanguage;
using tollgate::testing::Wide;
using tollgate::testing::WriteBytes;

// What a scripted reader does: it reads its segment up to and including the next "|" (unless
// told not to), then `then` sets its counts; `ok` is what Read returns.
struct Outcome {
  Outcome() = default;
  Outcome(bool readOk, std::function<void(StreamReader&)> counts = nullptr, bool consumes = true)
      : ok(readOk), then(std::move(counts)), consume(consumes) {}
  bool ok = true;
  std::function<void(StreamReader&)> then;
  bool consume = true;
};

struct Made {
  L language;
  std::int64_t position;  // where Read began
};

class ScriptedReader : public StreamReader {
 public:
  ScriptedReader(L language, Outcome outcome, std::vector<Made>& made)
      : language_(language), outcome_(std::move(outcome)), made_(made) {}
  bool Read(JobData& source) override {
    StreamReader::Read(source);
    made_.push_back({language_, source.Position()});
    if (outcome_.consume) SkipPast('|');
    if (outcome_.then) outcome_.then(*this);
    return outcome_.ok;
  }

 private:
  L language_;
  Outcome outcome_;
  std::vector<Made>& made_;
};

// Readers for the languages of the script; each segment of a language takes the next outcome
// (an ordinary segment when there is none left).
class ScriptedReaders : public SegmentReaders {
 public:
  ScriptedReaders& On(L language, Outcome outcome = {}) {
    script_[language].push_back(std::move(outcome));
    return *this;
  }
  std::unique_ptr<StreamReader> MakeReader(L language, PageEndList&) const override {
    auto it = script_.find(language);
    if (it == script_.end()) return nullptr;
    Outcome outcome;
    if (!it->second.empty()) {
      outcome = std::move(it->second.front());
      it->second.pop_front();
    }
    return std::make_unique<ScriptedReader>(language, std::move(outcome), made);
  }
  mutable std::vector<Made> made;

 private:
  mutable std::map<L, std::deque<Outcome>> script_;
};

struct Analysis {
  int result = -1;
  JobCounts counts;
};

class SpoolAnalyzerTest : public tollgate::testing::MachineTest {
 protected:
  Analysis Analyse(const std::string& bytes, const SegmentReaders& readers,
                   L initial = L::Unknown) {
    WriteBytes(Folder() / "00001.spl", bytes);
    return AnalyseFile(Wide(Folder() / "00001.spl"), readers, initial);
  }
  Analysis AnalyseFile(const std::wstring& path, const SegmentReaders& readers,
                       L initial = L::Unknown) {
    SpoolAnalyzer analyzer(kSpoolBufferSize, initial, pageEnds, readers);
    Analysis a;
    a.result = analyzer.Open(path, nullptr);
    a.counts = analyzer.Counts();
    return a;
  }
  PageEndList pageEnds;
};

Outcome Counted(int pages, int copies) {
  return {true, [=](StreamReader& r) {
            r.pages = pages;
            r.copies = copies;
          }};
}

TEST_F(SpoolAnalyzerTest, AnEmptyFileIsCountedAsNoPagesOfOneCopy) {
  Analysis a = Analyse("", BuiltInReaders());
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, 0);
  EXPECT_EQ(a.counts.copies, 1);
  EXPECT_EQ(a.counts.language, L::Unknown);
}

TEST_F(SpoolAnalyzerTest, SegmentsAreDetectedOneAfterAnother) {
  const struct {
    const char* name;
    std::string data;
    std::vector<Made> made;
  } cases[] = {
      {"leading NULs before PJL", std::string(5, '\0') + "@PJL|", {{L::PJL, 9}}},
      {"bare universal exit, then PJL", "%-12345X@PJL|", {{L::PJL, 12}}},
      {"universal exit and its LF",
       "\x1b%-12345X\n@PJL|\x1b%-12345X%!|",
       {{L::PJL, 14}, {L::POSTSCRIPT, 26}}},
      {"04 ends the analysis", "%!|\x04%!|", {{L::POSTSCRIPT, 2}}},
      {"PCL after PJL",
       "@PJL|\x1b"
       "E|",
       {{L::PJL, 4}, {L::PCL, 7}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedReaders readers;
    readers.On(L::PJL).On(L::POSTSCRIPT).On(L::PCL);
    Analysis a = Analyse(c.data, readers);
    EXPECT_EQ(a.result, analysis::kCounted);
    ASSERT_EQ(readers.made.size(), c.made.size());
    for (std::size_t i = 0; i < c.made.size(); ++i) {
      EXPECT_EQ(readers.made[i].language, c.made[i].language);
      EXPECT_EQ(readers.made[i].position, c.made[i].position);
    }
  }
}

TEST_F(SpoolAnalyzerTest, UnrecognisedDataEndsTheAnalysisEvenAfterCountedSegments) {
  ScriptedReaders readers;
  readers.On(L::POSTSCRIPT, Counted(3, 2));
  EXPECT_EQ(Analyse("%!|PCL", readers).result, analysis::kNotRecognised);
  // A reader that does not understand its segment.
  ScriptedReaders failing;
  failing.On(L::POSTSCRIPT, Counted(3, 2)).On(L::POSTSCRIPT, {false});
  EXPECT_EQ(Analyse("%!|%!|", failing).result, analysis::kNotRecognised);
  // A language without a reader in this build.
  EXPECT_EQ(Analyse("%!|ZIMF", readers).result, analysis::kNotRecognised);
}

TEST_F(SpoolAnalyzerTest, AFailedInitialLanguageIsReadAgainFromTheStart) {
  ScriptedReaders readers;
  readers.On(L::PCL, {false}).On(L::PJL, {true, [](StreamReader& r) {
                                            r.language = L::PCLXL;
                                            r.pages = 2;
                                          }});
  Analysis a = Analyse("@PJL|", readers, L::PCL);
  EXPECT_EQ(a.result, analysis::kCounted);
  ASSERT_EQ(readers.made.size(), 2u);
  EXPECT_EQ(readers.made[0].language, L::PCL);
  EXPECT_EQ(readers.made[0].position, 0);
  EXPECT_EQ(readers.made[1].language, L::PJL);
  EXPECT_EQ(readers.made[1].position, 4);
  // The failed attempt leaves nothing behind: the language is the one the header entered.
  EXPECT_EQ(a.counts.language, L::PCLXL);
  EXPECT_EQ(a.counts.pages, 2);
}

TEST_F(SpoolAnalyzerTest, ASuccessfulInitialLanguageGoesOnWhereItStopped) {
  ScriptedReaders readers;
  readers.On(L::POSTSCRIPT, Counted(1, 1)).On(L::POSTSCRIPT, Counted(2, 1));
  Analysis a = Analyse("body|%!|", readers, L::POSTSCRIPT);
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, 3);
  ASSERT_EQ(readers.made.size(), 2u);
  EXPECT_EQ(readers.made[1].position, 7);
}

TEST_F(SpoolAnalyzerTest, PagesAddUpAndTheLargestCopiesWin) {
  ScriptedReaders readers;
  readers.On(L::POSTSCRIPT, Counted(4, 3))
      .On(L::POSTSCRIPT, Counted(2, 5))
      .On(L::PCL, Counted(1, 0));
  Analysis a = Analyse(
      "%!|%!|\x1b"
      "E|",
      readers);
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, 7);
  EXPECT_EQ(a.counts.copies, 5);
  EXPECT_EQ(a.counts.language, L::POSTSCRIPT);  // the first language met as a segment
}

TEST_F(SpoolAnalyzerTest, ThePjlHeaderGivesItsSettingsAndTheFirstOnesStay) {
  ScriptedReaders readers;
  readers
      .On(L::PJL, {true,
                   [](StreamReader& r) {
                     r.language = L::PCLXL;
                     r.pages = 2;
                     r.colourKnown = true;
                     r.colour = true;
                     r.colourPages = 1;
                     r.monoPages = 1;
                     r.paperName = L"A4";
                     r.holdMode = 2;
                     r.mediaSize = 2;
                     r.unitsPerMeasureX = 600;
                     r.unitsPerMeasureY = 600;
                   }})
      .On(L::PJL, {true, [](StreamReader& r) {
                     r.language = L::POSTSCRIPT;
                     r.pages = 1;
                     r.colourKnown = true;
                     r.colour = false;  // colour once on stays on
                     r.monoPages = 1;
                     r.holdMode = 1;
                     r.mediaSize = 9;
                     r.measure = 1;
                     r.orientation = 1;
                     r.unitsPerMeasureX = 300;
                     r.unitsPerMeasureY = 300;
                     r.duplex = true;
                   }});
  Analysis a = Analyse("@PJL|@PJL|", readers);
  EXPECT_EQ(a.result, analysis::kCounted);
  const JobCounts& c = a.counts;
  EXPECT_EQ(c.language, L::PCLXL);
  EXPECT_EQ(c.pages, 3);
  EXPECT_TRUE(c.colourKnown);
  EXPECT_TRUE(c.colour);
  EXPECT_EQ(c.colourPages, 1);
  EXPECT_EQ(c.monoPages, 2);
  EXPECT_EQ(c.paperName, L"A4");
  EXPECT_EQ(c.holdMode, 2);
  EXPECT_EQ(c.mediaSize, 2);
  EXPECT_EQ(c.measure, 1);
  EXPECT_EQ(c.orientation, 1);
  EXPECT_EQ(c.unitsPerMeasureX, 600);
  EXPECT_EQ(c.unitsPerMeasureY, 600);
  EXPECT_TRUE(c.duplex);
}

TEST_F(SpoolAnalyzerTest, OnlyThePjlHeaderGivesColourAndHoldMode) {
  ScriptedReaders readers;
  auto settings = [](StreamReader& r) {
    r.colourKnown = true;
    r.colour = true;
    r.holdMode = 2;
    r.paperName = L"Letter";
    r.language = L::PCLXL;
  };
  readers.On(L::PCL, {true, settings}).On(L::POSTSCRIPT, {true, settings});
  Analysis a = Analyse(
      "\x1b"
      "E|%!|",
      readers);
  EXPECT_FALSE(a.counts.colourKnown);
  EXPECT_EQ(a.counts.holdMode, 1);
  EXPECT_EQ(a.counts.language, L::PCL);
  EXPECT_EQ(a.counts.paperName, L"Letter");  // the PostScript paper name
}

TEST_F(SpoolAnalyzerTest, DuplexFoundInThePrintDataHoldsForTheJob) {
  ScriptedReaders readers;
  readers.On(L::PCL, {true, [](StreamReader& r) { r.duplex = true; }}).On(L::POSTSCRIPT);
  Analysis a = Analyse(
      "\x1b"
      "E|%!|",
      readers);
  EXPECT_TRUE(a.counts.duplex);
}

TEST_F(SpoolAnalyzerTest, SegmentsThatSetTheCountsThemselves) {
  {
    SCOPED_TRACE("ZJStream drops the pages counted before it");
    ScriptedReaders readers;
    readers.On(L::PJL, Counted(2, 1)).On(L::ZJSTREAM, Counted(4, 0));
    Analysis a = Analyse("@PJL|JZJZ|", readers);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.pages, 4);
  }
  {
    SCOPED_TRACE("HP-GL is one page of one copy");
    ScriptedReaders readers;
    readers.On(L::PJL, Counted(5, 3));
    Analysis a = Analyse("@PJL|\x03;IN;", readers);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.pages, 1);
    EXPECT_EQ(a.counts.copies, 1);
  }
  {
    SCOPED_TRACE("an XPS package gives pages and copies");
    ScriptedReaders readers;
    readers.On(L::PJL, Counted(5, 3)).On(L::XPS, Counted(12, 2));
    Analysis a = Analyse("@PJL|PK\x03\x04|", readers);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.pages, 12);
    EXPECT_EQ(a.counts.copies, 2);
    EXPECT_EQ(a.counts.language, L::XPS);
  }
  {
    SCOPED_TRACE("a PDF stops the analysis");
    ScriptedReaders readers;
    readers.On(L::PDF, Counted(3, 1));
    Analysis a = Analyse("%PDF|PCL", readers);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.pages, 3);
    EXPECT_EQ(a.counts.language, L::Unknown);
  }
}

TEST_F(SpoolAnalyzerTest, XmlDocumentsByTheirForm) {
  {
    SCOPED_TRACE("a job ticket before the print data");
    ScriptedReaders readers;
    readers
        .On(L::XML, {true,
                     [](StreamReader& r) {
                       r.documentName = L"report.doc";
                       r.colour = true;
                       r.copies = 2;
                     }})
        .On(L::POSTSCRIPT, Counted(3, 1));
    Analysis a = Analyse("<?xml|%!|", readers);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.documentName, L"report.doc");
    EXPECT_TRUE(a.counts.colourKnown);
    EXPECT_TRUE(a.counts.colour);
    EXPECT_EQ(a.counts.pages, 3);
    EXPECT_EQ(a.counts.copies, 2);
  }
  {
    SCOPED_TRACE("a document that counts the whole job");
    ScriptedReaders readers;
    readers.On(L::XML, {true, [](StreamReader& r) {
                          r.pages = 7;
                          r.duplex = true;
                          r.verdict = ReaderVerdict::Counted;
                        }});
    Analysis a = Analyse("<?xml|%!|", readers);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.pages, 7);
    EXPECT_EQ(a.counts.copies, 1);
    EXPECT_TRUE(a.counts.duplex);
    EXPECT_EQ(readers.made.size(), 1u);
  }
  {
    SCOPED_TRACE("a document without usable data");
    ScriptedReaders readers;
    readers.On(L::XML, {false, [](StreamReader& r) { r.verdict = ReaderVerdict::Unusable; }});
    EXPECT_EQ(Analyse("<?xml|", readers).result, analysis::kUnusable);
  }
}

TEST_F(SpoolAnalyzerTest, ASegmentReadWithoutMovingOnDoesNotLoop) {
  ScriptedReaders readers;
  for (int i = 0; i < 3; ++i)
    readers.On(L::PJL, {true, [](StreamReader& r) { r.Skip(-4); }, false});
  EXPECT_EQ(Analyse("@PJL SET", readers).result, analysis::kNotRecognised);
}

TEST_F(SpoolAnalyzerTest, RealFilesWithTheReadersOfThisBuild) {
  const struct {
    const char* file;
    int result;
    L language;
  } cases[] = {
      {"d04.ljet4.pcl", analysis::kCounted, L::PCL},
      {"d02.ps2write.ps", analysis::kCounted, L::POSTSCRIPT},
      {"d02.xpswrite-ticket-2copies.xps", analysis::kCounted, L::XPS},
      {"d06.pdfwrite.pdf", analysis::kCounted, L::Unknown},
      {"d04.foo2zjs.zjs", analysis::kCounted, L::Unknown},
      {"d02.pjl-pxlcolor.pxl", analysis::kCounted, L::PCLXL},
      {"text-3ff.txt", analysis::kNotRecognised, L::Unknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Analysis a = AnalyseFile(test::TestData(c.file), BuiltInReaders());
    EXPECT_EQ(a.result, c.result);
    EXPECT_EQ(a.counts.language, c.language);
  }
}

}  // namespace
}  // namespace gatelib::printing
