#include "gatelib/printing/pclxl_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>

#include "gatelib/printing/spool_analyzer.h"
#include "gatelib/printing/test_support.h"
#include "shared/error/errors.h"

namespace gatelib::printing {
namespace {

using namespace std::string_literals;
using test::Probe;
using tollgate::testing::ReadBytes;
using tollgate::testing::Wide;
using tollgate::testing::WriteBytes;

// Operators and attributes the streams below use.
constexpr std::uint8_t kBeginPage = 0x43, kEndPage = 0x44, kSetColorSpace = 0x6A,
                       kSetBrushSource = 0x63, kRectangle = 0x86, kText = 0xA8, kBeginImage = 0xB0,
                       kReadImage = 0xB1, kEndImage = 0xB2, kBeginSession = 0x41,
                       kEndSession = 0x42, kVendorUnique = 0x46;
constexpr std::uint8_t kColorSpace = 0x03, kPaletteData = 0x06, kRGBColor = 0x0B, kMediaSize = 0x25,
                       kOrientation = 0x28, kPageCopies = 0x31, kDuplexPageMode = 0x35,
                       kColorMapping = 0x64, kCompressMode = 0x65, kMeasure = 0x86,
                       kUnitsPerMeasure = 0x89, kVUDataLength = 0x92, kTextData = 0xAB;

// A PCL XL stream in little-endian binding, written value by value.
class Xl {
 public:
  Xl& Header() { return Raw(") HP-PCL XL;2;0;Comment tollgate\n"); }
  Xl& Raw(const std::string& bytes) {
    s += bytes;
    return *this;
  }
  Xl& Byte(std::uint8_t b) {
    s.push_back(static_cast<char>(b));
    return *this;
  }
  Xl& U16le(std::uint16_t v) { return Byte(v & 0xFF).Byte(v >> 8); }
  Xl& U32le(std::uint32_t v) { return U16le(v & 0xFFFF).U16le(v >> 16); }
  Xl& U8(std::uint8_t v) { return Byte(0xC0).Byte(v); }
  Xl& U16(std::uint16_t v) { return Byte(0xC1).U16le(v); }
  Xl& U32(std::uint32_t v) { return Byte(0xC2).U32le(v); }
  Xl& Attr(std::uint8_t id) { return Byte(0xF8).Byte(id); }
  Xl& Op(std::uint8_t op) { return Byte(op); }
  Xl& Bytes(const std::string& v) {
    Byte(0xC8).U16(static_cast<std::uint16_t>(v.size()));
    return Raw(v);
  }
  Xl& Reals(std::initializer_list<float> v) {
    Byte(0xCD).U8(static_cast<std::uint8_t>(v.size()));
    for (float f : v) U32le(std::bit_cast<std::uint32_t>(f));
    return *this;
  }
  Xl& XY16(std::uint16_t x, std::uint16_t y) { return Byte(0xD1).U16le(x).U16le(y); }
  Xl& Embedded(const std::string& data) {
    Byte(0xFA).U32le(static_cast<std::uint32_t>(data.size()));
    return Raw(data);
  }

  // Composite steps.
  Xl& BeginPage() { return U8(2).Attr(kMediaSize).U8(0).Attr(kOrientation).Op(kBeginPage); }
  Xl& EndPage() { return Op(kEndPage); }
  Xl& Rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return Bytes(std::string{static_cast<char>(r), static_cast<char>(g), static_cast<char>(b)})
        .Attr(kRGBColor)
        .Op(kSetBrushSource);
  }
  Xl& Paint() { return Op(kRectangle); }
  Xl& ColourSpace(std::uint8_t space) { return U8(space).Attr(kColorSpace).Op(kSetColorSpace); }
  // An image in the current colour space: BeginImage with the mapping, one ReadImage of `data`.
  Xl& Image(std::uint8_t compression, const std::string& data, std::uint8_t mapping = 0) {
    U8(mapping).Attr(kColorMapping).Op(kBeginImage);
    U8(compression).Attr(kCompressMode).Op(kReadImage).Embedded(data);
    return Op(kEndImage);
  }

  std::string s;
};

std::string Repeat(const std::string& unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}

struct Outcome {
  bool read = false;
  std::int64_t endPosition = 0;
  std::uint32_t errorId = 0;  // of an Error the reader raised
  std::wstring errorText;
};

class PclXlReaderTest : public tollgate::testing::MachineTest {
 protected:
  // Runs a reader on `bytes` from offset `start`; `inspect` sees it afterwards.
  Outcome Run(const std::string& bytes, const std::function<void(PclXlReader&)>& inspect = nullptr,
              std::size_t start = 0, std::size_t bufferSize = kSpoolBufferSize) {
    WriteBytes(Folder() / "data.pxl", bytes);
    return RunFile(Wide(Folder() / "data.pxl"), inspect, start, bufferSize);
  }
  Outcome RunFile(const std::wstring& path, const std::function<void(PclXlReader&)>& inspect,
                  std::size_t start = 0, std::size_t bufferSize = kSpoolBufferSize) {
    Outcome outcome;
    pageEnds.clear();
    Probe probe(bufferSize, [&](Probe& data) {
      data.Skip(static_cast<std::int64_t>(start));
      PclXlReader reader(pageEnds);
      try {
        outcome.read = reader.Read(data);
      } catch (Error* e) {
        outcome.errorId = e->Id();
        outcome.errorText = e->Message();
        delete e;
      }
      outcome.endPosition = data.Position();
      if (inspect) inspect(reader);
      return 0;
    });
    probe.Open(path, nullptr);
    return outcome;
  }
  PageEndList pageEnds;
};

// The colour decision of a page, by what the page paints.
TEST_F(PclXlReaderTest, APageIsColourOnlyWhenItPaintsInColour) {
  struct Case {
    const char* name;
    std::function<void(Xl&)> page;
    bool colour;
  };
  const std::string greyPixels = Repeat("\x10\x10\x10\x80\x80\x80", 50);
  const std::string colourPixels = Repeat("\x10\x10\x10", 99) + "\x10\x20\x10";
  const Case cases[] = {
      {"grey values only", [](Xl& x) { x.Rgb(0, 0, 0).Paint().Rgb(200, 200, 200).Paint(); }, false},
      {"one colour, then painting", [](Xl& x) { x.Rgb(0, 0, 0).Paint().Rgb(9, 8, 8).Paint(); },
       true},
      {"G differs from B", [](Xl& x) { x.Rgb(8, 8, 9).Paint(); }, true},
      {"colour set, painted before it only", [](Xl& x) { x.Rgb(0, 0, 0).Paint().Rgb(255, 0, 0); },
       false},
      {"colour set, nothing painted", [](Xl& x) { x.Rgb(255, 0, 0); }, false},
      {"colour painted, then SetColorSpace", [](Xl& x) { x.Rgb(255, 0, 0).Paint().ColourSpace(2); },
       false},
      {"colour painted again after SetColorSpace",
       [](Xl& x) { x.Rgb(255, 0, 0).Paint().ColourSpace(2).Paint(); }, true},
      {"colour in real32 values",
       [](Xl& x) {
         x.Reals({0.5f, 0.25f, 0.5f}).Attr(kRGBColor).Op(kSetBrushSource).Paint();
       },
       true},
      {"grey in real32 values",
       [](Xl& x) {
         x.Reals({0.5f, 0.5f, 0.5f}).Attr(kRGBColor).Op(kSetBrushSource).Paint();
       },
       false},
      {"colour in the grey colour space", [](Xl& x) { x.ColourSpace(1).Rgb(255, 0, 0).Paint(); },
       false},
      {"Text of TextData 3 in colour",
       [](Xl& x) { x.Rgb(255, 0, 0).Bytes("\x03").Attr(kTextData).Op(kText); }, false},
      {"Text of other TextData in colour",
       [](Xl& x) { x.Rgb(255, 0, 0).Bytes("\x03\x04").Attr(kTextData).Op(kText); }, true},
      {"RLE image of grey pixels", [&](Xl& x) { x.Image(1, greyPixels); }, true},
      {"uncompressed image of grey pixels", [&](Xl& x) { x.Image(0, greyPixels); }, false},
      {"uncompressed image with one colour pixel", [&](Xl& x) { x.Image(0, colourPixels); }, true},
      {"uncompressed image in the grey colour space",
       [&](Xl& x) { x.ColourSpace(1).Image(0, colourPixels); }, false},
      {"delta rows of grey replacements",
       [](Xl& x) {
         // Rows: count, then commands; 0x40 announces three bytes, 0x00 one.
         x.Image(3, std::string("\x05\x00\x40\x07\x07\x07\x00", 7) + std::string("\x00\x00", 2) +
                        std::string("\x04\x00\x40\x01\x01\x01", 6));
       },
       false},
      {"delta rows, the second in colour",
       [](Xl& x) {
         x.Image(3, std::string("\x04\x00\x40\x07\x07\x07", 6) +
                        std::string("\x08\x00\x40\x01\x01\x01\x40\x01\x02\x01", 10));
       },
       true},
      {"indexed image with a colour palette",
       [](Xl& x) {
         x.Bytes(std::string("\x00\x00\x00\xff\x00\x00", 6)).Attr(kPaletteData).Op(kSetColorSpace);
         x.Image(0, std::string("\x00\x01\x01", 3), 1);
       },
       true},
      {"indexed image with a grey palette",
       [](Xl& x) {
         x.Bytes(std::string("\x00\x00\x00\xff\xff\xff", 6)).Attr(kPaletteData).Op(kSetColorSpace);
         x.Image(0, std::string("\x00\x01\x01", 3), 1);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Xl x;
    x.Header().Op(kBeginSession).BeginPage();
    c.page(x);
    x.EndPage().Op(kEndSession);
    Run(x.s, [&](PclXlReader& r) {
      EXPECT_EQ(r.colourPages, c.colour ? 1 : 0);
      EXPECT_EQ(r.monoPages, c.colour ? 0 : 1);
      EXPECT_EQ(r.pages, 1);
      EXPECT_EQ(r.colourKnown, c.colour);
    });
  }
}

TEST_F(PclXlReaderTest, EachPageIsDecidedOnItsOwn) {
  Xl x;
  x.Header().Op(kBeginSession);
  x.BeginPage().Rgb(255, 0, 0).Paint().EndPage();
  // The brush is still red, but this page paints nothing.
  x.BeginPage().EndPage();
  x.BeginPage().Paint().EndPage();
  Outcome o = Run(x.s, [](PclXlReader& r) {
    EXPECT_EQ(r.colourPages, 2);
    EXPECT_EQ(r.monoPages, 1);
    EXPECT_EQ(r.pages, 3);
  });
  EXPECT_TRUE(o.read);
}

TEST_F(PclXlReaderTest, PageSettingsTakeTheFirstValueAndCopiesTheLast) {
  Xl x;
  x.Header().XY16(600, 300).Attr(kUnitsPerMeasure).U8(1).Attr(kMeasure).Op(kBeginSession);
  x.Bytes("LETTER")
      .Attr(kMediaSize)
      .U8(1)
      .Attr(kOrientation)
      .U8(2)
      .Attr(kPageCopies)
      .Op(kBeginPage)
      .EndPage();
  x.XY16(1200, 1200).Attr(kUnitsPerMeasure).U8(0).Attr(kMeasure);
  x.U8(2)
      .Attr(kMediaSize)
      .U8(3)
      .Attr(kOrientation)
      .U16(7)
      .Attr(kPageCopies)
      .Op(kBeginPage)
      .EndPage();
  Run(x.s, [](PclXlReader& r) {
    EXPECT_EQ(r.mediaName, L"LETTER");
    EXPECT_FALSE(r.mediaSize);  // the name came first
    EXPECT_EQ(r.paperName, L"LETTER");
    EXPECT_EQ(r.orientation, 1);
    EXPECT_EQ(r.measure, 1);
    EXPECT_EQ(r.unitsPerMeasureX, 600);
    EXPECT_EQ(r.unitsPerMeasureY, 300);
    EXPECT_EQ(r.pageCopies, 7);
    EXPECT_EQ(r.copies, 7);
  });

  Xl y;
  y.Header().U8(4).Attr(kMediaSize).Op(kBeginPage).EndPage();
  y.Bytes("A4").Attr(kMediaSize).Op(kBeginPage).EndPage();
  Run(y.s, [](PclXlReader& r) {
    EXPECT_EQ(r.mediaSize, 4);
    EXPECT_EQ(r.mediaName, L"");
    EXPECT_EQ(r.paperName, L"");
    EXPECT_EQ(r.pageCopies, 1);  // none given
    EXPECT_FALSE(r.orientation);
  });

  // Of a long array the reader keeps no more than any value it looks at needs.
  Xl z;
  z.Header().Byte(0xC8).U32(100000).Raw(std::string(100000, 'A')).Attr(kMediaSize);
  z.Op(kBeginPage).EndPage();
  Run(z.s, [](PclXlReader& r) {
    EXPECT_EQ(r.mediaName, std::wstring(kPclXlMaxArrayKept, L'A'));
    EXPECT_EQ(r.pages, 1);
  });
}

TEST_F(PclXlReaderTest, DuplexComesFromABeginPageWithDuplexPageMode) {
  Xl simplex;
  simplex.Header().U8(0).Attr(0x34).Op(kBeginPage).EndPage();
  // The attribute belongs to the operator after it, which is not BeginPage here.
  simplex.U8(0).Attr(kDuplexPageMode).Op(kSetColorSpace).Op(kBeginPage).EndPage();
  Run(simplex.s, [](PclXlReader& r) { EXPECT_FALSE(r.duplex); });

  Xl duplex;
  duplex.Header().U8(0).Attr(0x34).Op(kBeginPage).EndPage();
  duplex.U8(1).Attr(kDuplexPageMode).U8(0).Attr(0x36).Op(kBeginPage).EndPage();
  Run(duplex.s, [](PclXlReader& r) { EXPECT_TRUE(r.duplex); });
}

TEST_F(PclXlReaderTest, EveryPageEndIsJustAfterTheLastOperatorBeforeEndPage) {
  Xl x;
  x.Header().Op(kBeginSession);
  std::vector<std::uint32_t> expected;
  for (int page = 0; page < 10; ++page) {
    x.BeginPage().Rgb(0, 0, 0).Paint();
    expected.push_back(static_cast<std::uint32_t>(x.s.size()));
    // Values and attributes between the last operator and EndPage do not move the offset.
    x.U8(1).Attr(kPageCopies).EndPage();
  }
  x.Op(kEndSession);
  for (std::size_t buffer : {std::size_t{7}, kSpoolBufferSize}) {
    Run(
        x.s, [](PclXlReader& r) { EXPECT_EQ(r.monoPages, 10); }, 0, buffer);
    EXPECT_EQ(pageEnds, expected);
  }
}

TEST_F(PclXlReaderTest, TheStreamEndsAtTheUniversalExitAndRefusesOtherBindings) {
  Xl x;
  x.Header().BeginPage().EndPage();
  const std::size_t uelEnd = x.s.size() + 9;
  // An ESC that does not begin the universal exit is passed over.
  x.Raw("\x1b%-1").Raw("\x1b%-12345X").BeginPage().EndPage();
  Outcome o = Run(x.s, [](PclXlReader& r) { EXPECT_EQ(r.pages, 1); });
  EXPECT_TRUE(o.read);
  EXPECT_EQ(o.endPosition, static_cast<std::int64_t>(uelEnd) + 4);

  // The reader starts after a PJL header that is not its own.
  std::string pjl = "\x1b%-12345X@PJL ENTER LANGUAGE=PCLXL\r\n";
  o = Run(
      pjl + x.s, [](PclXlReader& r) { EXPECT_EQ(r.pages, 1); }, pjl.size());
  EXPECT_TRUE(o.read);

  for (const char* binding : {"' HP-PCL XL;2;0\n", "( HP-PCL XL;2;0\n"}) {
    Xl other;
    other.Raw(binding).BeginPage().EndPage();
    EXPECT_FALSE(Run(other.s).read) << binding;
  }
}

TEST_F(PclXlReaderTest, VendorDataAndSkippedValuesArePassedOverByTheirSize) {
  Xl x;
  x.Header();
  // Each skipped value holds bytes that would count a page if they were read as operators.
  std::string pages(16, static_cast<char>(kEndPage));
  x.U32(16).Attr(kVUDataLength).Op(kVendorUnique).Raw(pages);
  x.Byte(0xC9).U8(8).Raw(pages);         // uint16 array of 8
  x.Byte(0xCA).U8(4).Raw(pages);         // uint32 array of 4
  x.Byte(0xE2).Raw(pages);               // uint32 box
  x.Byte(0xD2).Raw(pages.substr(0, 8));  // uint32 pair
  x.Byte(0xC5).Raw(pages.substr(0, 4));  // real32
  x.Byte(0xF9).Raw(pages.substr(0, 2));  // attribute of two bytes
  x.Byte(0xFB).Byte(16).Raw(pages);      // embedded data without an image pending
  // A VUDataLength is forgotten after the next operator; a negative one never moves back.
  x.U32(16).Attr(kVUDataLength).Op(kSetBrushSource).Op(kVendorUnique);
  x.Byte(0xC4).U32le(0xFFFFFFF0).Attr(kVUDataLength).Op(kVendorUnique);
  x.BeginPage().EndPage();
  Run(x.s, [](PclXlReader& r) { EXPECT_EQ(r.pages, 1); });
}

// Streams cut short: inside data the reader examines it raises the error, elsewhere it ends.
TEST_F(PclXlReaderTest, AStreamThatEndsEarly) {
  Xl page;
  page.Header().BeginPage();
  struct Case {
    const char* name;
    std::string bytes;
    bool error;
  };
  const std::string examined =
      Xl(page).U8(0).Attr(kColorMapping).U8(0).Attr(kCompressMode).Op(kReadImage).s;
  const Case cases[] = {
      {"inside an examined image",
       examined + Xl().Embedded(std::string(300, '\x10')).s.substr(0, 100), true},
      {"inside an examined image of a huge length",
       examined + Xl().Byte(0xFA).U32le(0xFFFFFFFF).Raw(std::string(5000, '\x10')).s, true},
      {"inside delta rows",
       Xl(page).U8(3).Attr(kCompressMode).Op(kReadImage).s +
           Xl().Embedded(std::string("\x08\x00\x40\x01\x01\x01\x40", 7)).s.substr(0, 8),
       true},
      {"inside an RLE image",
       Xl(page).U8(1).Attr(kCompressMode).Op(kReadImage).s +
           Xl().Byte(0xFA).U32le(1000).Raw("abc").s,
       true},
      {"inside a real32 array", Xl(page).Byte(0xCD).U8(3).U32le(0).s, true},
      {"inside a uint16 pair", Xl(page).Byte(0xD1).U16le(1).Byte(2).s, true},
      {"inside a real32 pair", Xl(page).Byte(0xD5).U32le(1).s, true},
      {"inside a scalar", Xl(page).Byte(0xC2).Byte(1).s, false},
      {"inside an array count", Xl(page).Byte(0xC8).Byte(0xC1).Byte(1).s, false},
      {"inside a ubyte array of a huge count",
       Xl(page).Byte(0xC8).Byte(0xC2).U32le(0xFFFFFFFF).Raw("abc").s, false},
      {"inside a uint16 array", Xl(page).Byte(0xC9).Byte(0xC2).U32le(0xFFFFFFFF).s, false},
      {"inside data not examined", Xl(page).Byte(0xFA).U32le(0xFFFFFFFF).Raw("xyz").s, false},
      {"inside an attribute", Xl(page).Byte(0xF8).s, false},
      {"inside the stream header", ") HP-PCL XL;2;0", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = Run(c.bytes);
    if (c.error) {
      EXPECT_EQ(o.errorId, 26u);
      EXPECT_EQ(o.errorText, L"Fim inesperado da sequência PCLXL.");
    } else {
      EXPECT_EQ(o.errorId, 0u);
      EXPECT_TRUE(o.read);
    }
  }
}

// Random data and every cut of a real stream: the reader ends, without a crash, an unbounded
// allocation or a move backwards that would make it run for ever.
TEST_F(PclXlReaderTest, RandomAndTruncatedStreamsAlwaysEnd) {
  std::mt19937 random(6);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(1 + random() % 4000, '\0');
    for (char& b : bytes) {
      // Mostly tags and the operators the reader acts on, so that long lengths abound.
      static const std::uint8_t kBytes[] = {0xC0, 0xC1, 0xC2, 0xC8, 0xCD, 0xD1, 0xD5, 0xF8,
                                            0xFA, 0xFB, 0xB1, 0x43, 0x44, 0x46, 0x92, 0xFF};
      b = static_cast<char>(random() % 3 == 0 ? kBytes[random() % 16] : random() % 256);
    }
    Run(bytes, nullptr, 0, 64);
  }
  const std::string real = ReadBytes(std::filesystem::path(TOLLGATE_TESTDATA) / "d06.pxlcolor.pxl");
  const std::size_t start = real.find(") HP-PCL XL");
  ASSERT_NE(start, std::string::npos);
  for (std::size_t cut = start; cut < real.size(); cut += 97) {
    Outcome o = Run(real.substr(0, cut), nullptr, start);
    if (o.errorId != 0) {
      EXPECT_EQ(o.errorId, 26u);
    } else {
      EXPECT_TRUE(o.read);
    }
  }
}

// The PCL XL files of drivers: the pages, copies and colour pages that were printed. The colour
// driver paints its grey text and rules in RGB (76, 77, 76), which is not grey: a page that
// paints it and does not set its colour space again afterwards is a colour page, also in the
// file whose pages are all black.
TEST_F(PclXlReaderTest, DriverFilesGiveTheirPagesCopiesAndColour) {
  struct Case {
    const char* file;
    int pages, copies, colourPages;
    bool duplex;
    std::uint16_t mediaSize;
  };
  const Case cases[] = {
      {"d02.pjl-pxlcolor.pxl", 2, 1, 2, true, 2},  // copies 2 are in its PJL header
      {"d04.pxlmono-3copies.pxl", 4, 3, 0, false, 0},
      {"d04.pxlcolor-allgrey.pxl", 4, 1, 2, false, 0},
      {"d06.pxlcolor.pxl", 6, 1, 3, false, 2},
      {"d10.pxlcolor.pxl", 10, 1, 4, false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string bytes = ReadBytes(std::filesystem::path(TOLLGATE_TESTDATA) / c.file);
    const std::size_t start = bytes.find("LANGUAGE");
    ASSERT_NE(start, std::string::npos);
    const std::size_t stream = bytes.find('\n', start) + 1;
    Outcome o = RunFile(
        test::TestData(c.file),
        [&](PclXlReader& r) {
          EXPECT_EQ(r.pages, c.pages);
          EXPECT_EQ(r.monoPages + r.colourPages, r.pages);
          EXPECT_EQ(r.colourPages, c.colourPages);
          EXPECT_EQ(r.pageCopies, c.copies);
          EXPECT_EQ(r.duplex, c.duplex);
          EXPECT_EQ(r.mediaSize, c.mediaSize);
          EXPECT_EQ(r.measure, 0);
          EXPECT_EQ(r.unitsPerMeasureX, 300);
          EXPECT_EQ(r.unitsPerMeasureY, 300);
          EXPECT_EQ(r.orientation, 0);
        },
        stream);
    EXPECT_TRUE(o.read);
    EXPECT_EQ(o.errorId, 0u);
    ASSERT_EQ(pageEnds.size(), static_cast<std::size_t>(c.pages));
    for (std::size_t k = 0; k < pageEnds.size(); ++k) {
      ASSERT_LT(pageEnds[k], bytes.size());
      // The driver gives EndPage its PageCopies: the page ends before them.
      const std::string copies = Xl().U16(static_cast<std::uint16_t>(c.copies)).Attr(kPageCopies).s;
      EXPECT_EQ(bytes.substr(pageEnds[k], copies.size() + 1), copies + "\x44") << k;
      if (k > 0) {
        EXPECT_GT(pageEnds[k], pageEnds[k - 1]);
      }
    }
  }
}

// The PJL header's entry into PCL XL, as the analysis runs it: every setting of the stream
// reaches the job's counts, and the larger of the header's and the stream's copies wins.
TEST_F(PclXlReaderTest, AHeaderEnteringPclXlHandsItsCountsToTheAnalysis) {
  const std::string file =
      ReadBytes(std::filesystem::path(TOLLGATE_TESTDATA) / "d02.pjl-pxlcolor.pxl");
  // The driver's stream, without the hand-written header that states copies, duplex and colour.
  const std::string stream = file.substr(file.find('\n', file.find("LANGUAGE")) + 1);
  for (int headerCopies : {0, 5}) {
    SCOPED_TRACE(headerCopies);
    std::string header = "\x1b%-12345X@PJL JOB\r\n";
    if (headerCopies > 0) header += "@PJL SET COPIES=" + std::to_string(headerCopies) + "\r\n";
    WriteBytes(Folder() / "entered.spl", header + "@PJL ENTER LANGUAGE=PCLXL\r\n" + stream);
    PageEndList ends;
    SpoolAnalyzer analyzer(kSpoolBufferSize, PrinterLanguage::Unknown, ends);
    EXPECT_EQ(analyzer.Open(Wide(Folder() / "entered.spl"), nullptr), analysis::kCounted);
    const JobCounts& c = analyzer.Counts();
    EXPECT_EQ(c.language, PrinterLanguage::PCLXL);
    EXPECT_EQ(c.pages, 2);
    EXPECT_EQ(c.colourPages, 2);
    EXPECT_EQ(c.monoPages, 0);
    EXPECT_TRUE(c.colourKnown);
    EXPECT_TRUE(c.colour);
    EXPECT_TRUE(c.duplex);
    EXPECT_EQ(c.copies, headerCopies > 1 ? headerCopies : 1);
    EXPECT_EQ(c.mediaSize, 2);
    EXPECT_EQ(c.measure, 0);
    EXPECT_EQ(c.unitsPerMeasureX, 300);
    EXPECT_EQ(c.unitsPerMeasureY, 300);
    EXPECT_EQ(c.orientation, 0);
    EXPECT_EQ(ends.size(), 2u);
  }

  // A stream whose media is a name hands it over as the paper name; a mono stream states no
  // colour; its page copies beat the header's smaller count.
  Xl x;
  x.Header().Bytes("LETTER").Attr(kMediaSize).U8(4).Attr(kPageCopies).Op(kBeginPage).EndPage();
  WriteBytes(Folder() / "named.spl",
             "\x1b%-12345X@PJL SET COPIES=2\n@PJL ENTER LANGUAGE=PCLXL\n" + x.s);
  PageEndList ends;
  SpoolAnalyzer analyzer(kSpoolBufferSize, PrinterLanguage::Unknown, ends);
  EXPECT_EQ(analyzer.Open(Wide(Folder() / "named.spl"), nullptr), analysis::kCounted);
  EXPECT_EQ(analyzer.Counts().paperName, L"LETTER");
  EXPECT_FALSE(analyzer.Counts().mediaSize);
  EXPECT_EQ(analyzer.Counts().copies, 4);
  EXPECT_EQ(analyzer.Counts().monoPages, 1);
  EXPECT_FALSE(analyzer.Counts().colourKnown);
}

// Scalars are ints of the reader's width: 16-bit values sign-extended, 32-bit values signed;
// no stream bills more copies than a job's settings can ask for.
TEST_F(PclXlReaderTest, ValueWidthsAndSigns) {
  const struct {
    const char* name;
    std::string value;  // the value given to PageCopies
    int pageCopies;
    int jobCopies;  // what the analysis reports
  } cases[] = {
      {"ubyte", "\xC0\x05"s, 5, 5},
      {"uint16", "\xC1\x03\x00"s, 3, 3},
      {"uint16 all ones is -1", "\xC1\xFF\xFF"s, -1, 1},
      {"sint16", "\xC3\xFE\xFF"s, -2, 1},
      {"uint32 all ones is -1", "\xC2\xFF\xFF\xFF\xFF"s, -1, 1},
      {"the largest int", "\xC2\xFF\xFF\xFF\x7F"s, 1, 1},
      {"a million", "\xC4\x40\x42\x0F\x00"s, 1, 1},
      {"the most a job can ask for", "\xC2\xFF\x7F\x00\x00"s, 32767, 32767},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stream = c.value + "\xF8\x31\x43\x44";
    Outcome o = Run(stream, [&](PclXlReader& r) { EXPECT_EQ(r.pageCopies, c.pageCopies); });
    EXPECT_TRUE(o.read);
    WriteBytes(Folder() / "job.spl", "@PJL ENTER LANGUAGE=PCLXL\n" + stream);
    PageEndList ends;
    SpoolAnalyzer analyzer(kSpoolBufferSize, PrinterLanguage::Unknown, ends);
    EXPECT_EQ(analyzer.Open(Wide(Folder() / "job.spl"), nullptr), analysis::kCounted);
    EXPECT_EQ(analyzer.Counts().copies, c.jobCopies);
    EXPECT_EQ(analyzer.Counts().pages, 1);
  }
}

// A flood of page ends: every page is counted, but the page-end list stops at its bound and is
// marked incomplete rather than growing with the data.
TEST_F(PclXlReaderTest, APageEndFloodDropsThePageEndList) {
  const std::size_t pages = PageEndList::kMaxPageEnds + 10;
  std::string stream = Xl().Header().BeginPage().s;
  stream.append(pages, static_cast<char>(kEndPage));
  Outcome o = Run(stream, [&](PclXlReader& r) {
    EXPECT_EQ(r.monoPages, static_cast<int>(pages));
    EXPECT_EQ(r.pages, static_cast<int>(pages));
  });
  EXPECT_TRUE(o.read);
  EXPECT_FALSE(pageEnds.Complete());
  EXPECT_TRUE(pageEnds.empty());

  // Just below the bound the list is whole.
  stream = Xl().Header().BeginPage().s;
  stream.append(PageEndList::kMaxPageEnds, static_cast<char>(kEndPage));
  Run(stream);
  EXPECT_TRUE(pageEnds.Complete());
  EXPECT_EQ(pageEnds.size(), PageEndList::kMaxPageEnds);
}

TEST_F(PclXlReaderTest, TheBuiltInReaderOfPclXlIsThisReader) {
  PageEndList ends;
  std::unique_ptr<StreamReader> reader = BuiltInReaders().MakeReader(PrinterLanguage::PCLXL, ends);
  EXPECT_NE(dynamic_cast<PclXlReader*>(reader.get()), nullptr);
}

}  // namespace
}  // namespace gatelib::printing
