#include "gatelib/printing/pcl5_reader.h"

#include <gtest/gtest.h>

#include "gatelib/printing/test_support.h"

namespace gatelib::printing {
namespace {

class Pcl5ReaderTest : public test::AnalysisTest {};

const std::string kReset =
    "\x1b"
    "E";

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST_F(Pcl5ReaderTest, Pages) {
  const struct {
    const char* name;
    std::string body;
    int pages;
  } cases[] = {
      {"form feeds", "a\fb\fc", 2},
      {"150 line feeds", Repeat("x\n", 150), 2},
      {"64 line feeds fit", Repeat("\n", 64), 0},
      {"eight lines per inch", "\x1b&l8D" + Repeat("\n", 130), 1},
      {"a short text length", "\x1b&l10F" + Repeat("\n", 25), 2},
      {"page length in lines", "\x1b&l30P" + Repeat("\n", 31), 1},
      {"form feed bytes in raster data are data", "\x1b*b4W\f\f\f\f\x1b*b2V\f\fz\f", 1},
      {"combined commands and data", "\x1b*b0m4W\f\f\f\f\f", 1},
      {"font data", "\x1b(s3W\f\f\f\x1b)s2W\f\f", 0},
      {"transparent data", "\x1b&p3X\f\f\f", 0},
      {"pattern with bracket", "\x1b*c<<\f>2W\f\fx\f", 1},
      {"eject ends a page", "one\x1b&l0Htwo\x1b&l0H", 2},
      {"eject after form feed", "one\f\x1b&l0Htwo\x1b&l0H\f", 2},
      {"eject of a blank page", "\x1b&l0H\x1b&l0H", 0},
      {"paper source is not an eject", "one\x1b&l1Htwo\f", 1},
      {"form feeds of blank pages", "\f\f", 2},
      {"row beyond the page", "\x1b&a70Rx\x1b&a+80R", 2},
      {"row upwards never counts", "\x1b&a-999R\x1b&a60R", 0},
      {"decipoints never count", "\x1b&a99999V\x1b*p+99999Y", 0},
      {"raster 131 page starts", "\x1b*b131M\x1b*r32768A\x1b*r32768A\x1b*r1A", 2},
      {"HP-GL/2 passed over", "\x1b%0BPD\f\f;\x1b%0Ax\f", 1},
      {"HP-GL/2 to the end", "\x1b%1BPD\f\f\x1b.", 0},
      {"two-byte text", "\x1b&t31P\x81\f\x82\n", 0},
      {"method 2", std::string("\x1b&t2P\x01\f\x00\f", 9), 1},
      {"unknown method is single bytes", "\x1b&t5P\x81\f", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Analysis a = Analyse(kReset + c.body);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.language, PrinterLanguage::PCL);
    EXPECT_EQ(a.counts.pages, c.pages);
  }
}

TEST_F(Pcl5ReaderTest, CopiesDuplexAndTheUniversalExit) {
  Analysis a = Analyse(kReset + "\x1b&l3X\x1b&l2Sx\f\x1b%-12345X" + kReset + "\x1b&l0Sy\f");
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, 2);
  EXPECT_EQ(a.counts.copies, 3);
  EXPECT_TRUE(a.counts.duplex);

  a = Analyse(kReset + "\x1b&l0S\x1b&l1X\f");
  EXPECT_FALSE(a.counts.duplex);
  EXPECT_EQ(a.counts.copies, 1);

  // Anything but the universal exit after ESC "%-" is not PCL 5.
  EXPECT_EQ(Analyse(kReset + "x\f\x1b%-12344X").result, analysis::kNotRecognised);
}

TEST_F(Pcl5ReaderTest, TruncatedAndRandomInputEnds) {
  std::string job = kReset + "\x1b&l26a2x1S\x1b*b2m20W" + std::string(20, '\f') +
                    "\x1b*c<>>5W\x1b&a+3R\x1b%1BPD;\x1b%0A\x1b(s1p10h\x1b&t38P\xA1\f" +
                    "\x1b&l0H\x1b*r131A\x1b%-12345X";
  for (std::size_t n = 0; n <= job.size(); ++n) {
    Analysis a = Analyse(job.substr(0, n));
    EXPECT_NE(a.result, -1);
  }
  std::uint32_t seed = 12345;
  for (int round = 0; round < 200; ++round) {
    std::string bytes = kReset;
    for (int i = 0; i < 400; ++i) {
      seed = seed * 1103515245 + 12345;
      const char pick[] = "\x1b&*()%lbcpraEHWXV0123456789+-.<>\f\n";
      bytes.push_back((seed >> 16) % 3 == 0 ? static_cast<char>(seed >> 8)
                                            : pick[(seed >> 20) % (sizeof pick - 1)]);
    }
    Analysis a = Analyse(bytes);
    EXPECT_GE(a.counts.pages, 0);
  }
}

}  // namespace
}  // namespace gatelib::printing
