#include "gatelib/printing/vendor_readers.h"

#include <gtest/gtest.h>

#include "gatelib/printing/test_support.h"

namespace gatelib::printing {
namespace {

using namespace std::string_literals;

class VendorReadersTest : public test::AnalysisTest {};

std::string Be16(std::uint16_t v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
}
std::string Be32(std::uint32_t v) {
  return Be16(static_cast<std::uint16_t>(v >> 16)) + Be16(static_cast<std::uint16_t>(v));
}
std::string Le16(std::uint16_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
std::string Le32(std::uint32_t v) {
  return Le16(static_cast<std::uint16_t>(v)) + Le16(static_cast<std::uint16_t>(v >> 16));
}
std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

const std::string kUel = "\x1b%-12345X";
std::string Pjl(const std::string& language) {
  return kUel + "@PJL SET COLORMODE=MONO\r\n@PJL ENTER LANGUAGE = " + language + "\r\n";
}

// QPDL: a page header with copies, bands of the given planes, the page's end.
std::string QpdlPage(std::uint16_t copies, std::initializer_list<int> planes) {
  std::string page = Bytes({0, 6}) + Be16(copies) + std::string(13, '\x01');
  for (int plane : planes) {
    page += Bytes({12, 0}) + Be16(304) + Be16(128) + Bytes({plane, 0x13}) + Be32(3) + "abc";
  }
  return page + Bytes({1, 0, 1});
}

// An SPL block of a type with a body of `body` bytes, then "DMCS".
std::string SplBlock(int type, const std::string& body) {
  return Le32(static_cast<std::uint32_t>(body.size())) + Bytes({type}) + body;
}
std::string SplHeader(std::uint16_t copies, int perSheet) {
  return std::string(742, '\0') + Le16(copies) + std::string(228, '\0') + Bytes({perSheet}) +
         std::string(10, '\0');
}

// ESC/P-R: ESC, a letter, a 32-bit little-endian length, a name and the body.
std::string Escpr(char letter, const std::string& name, const std::string& body) {
  return "\x1b" + std::string(1, letter) + Le32(static_cast<std::uint32_t>(body.size())) + name +
         body;
}

// LIDIL: "$", length (with both markers), unit, type, reference, extra length, "$".
std::string Lidil(std::uint16_t type, const std::string& extra = "") {
  std::string r = "$" + Be16(16) + Bytes({0}) + Be16(type) + Be16(0) +
                  Be16(static_cast<std::uint16_t>(extra.size())) + std::string(5, '\0') + "$";
  return r + extra;
}

// Canon iR 2200: a record of a tag and its body; an item of an id and its value.
std::string Ir(std::uint16_t tag, const std::string& body) {
  return Be16(tag) + Be32(static_cast<std::uint32_t>(body.size())) + body;
}
std::string Item(std::uint16_t id, const std::string& value) {
  return Be16(id) + Be16(static_cast<std::uint16_t>(value.size())) + value;
}
const std::string kIr2200 = "\xcd\xca\x10\x01";

TEST_F(VendorReadersTest, RecordsPagesCopiesAndColour) {
  const std::string escPage =
      "\x1b(c\x04\x00\x01\x02\x03\x04"
      "\x1b.\x01\x0a\x0a\x02\x10\x00"s +
      Bytes({0xFD, 0xFF}) + "\x1b\x2b\x02\r\f";
  const std::string splPages = SplBlock(3, "p") + "DMCS";
  std::string spl = "DMCS" + SplBlock(1, SplHeader(2, 2)) + "TADS" + Le32(3) + "xyz" + "DMCS";
  for (int i = 0; i < 5; ++i) spl += splPages;
  spl += SplBlock(4, "");
  const struct {
    const char* name;
    std::string bytes;
    int result;
    int pages;
    int copies;
    int colour;  // -1 unknown, 0 mono, 1 colour
  } cases[] = {
      {"QPDL: copies, a colour page and mono pages",
       Pjl("QPDL") + QpdlPage(2, {4}) + QpdlPage(2, {1, 2, 3, 4}) + QpdlPage(2, {4}) + Bytes({9}) +
           kUel,
       analysis::kCounted, 3, 2, 1},
      {"QPDL: mono pages only", Pjl("QPDL") + QpdlPage(1, {4}) + QpdlPage(1, {4}) + Bytes({9}),
       analysis::kCounted, 2, 1, 0},
      {"QPDL: all four planes on every page say nothing; the header's mode holds",
       Pjl("QPDL") + QpdlPage(1, {1, 2, 3, 4}) + QpdlPage(1, {1, 2, 3, 4}) + Bytes({9}),
       analysis::kCounted, 2, 1, 0},
      {"QPDL: an unknown record", Pjl("QPDL") + QpdlPage(1, {4}) + Bytes({7}),
       analysis::kNotRecognised, 0, 0, 0},
      {"QPDL: a band header cut short", Pjl("QPDL") + QpdlPage(1, {4}) + Bytes({12, 0, 1}),
       analysis::kNotRecognised, 0, 0, 0},
      {"PCL after PJL: the raster planes stated for each page",
       Pjl("PCL") + "\x1b*r1Upage\f\x1b*r-3Upage\f\x1b*r1Upage\f", analysis::kCounted, 3, 1, 1},
      {"PCL after PJL: a black plane only", Pjl("PCL") + "\x1b*r1Upage\f", analysis::kCounted, 1, 1,
       0},
      {"XQX: pages at tag 4",
       ",XQX" + Be32(1) + Be32(1) + Be32(0x80000000) + Be32(4) + Be32(0x54) + Be32(3) + Be32(0) +
           Be32(7) + Be32(3) + "abc" + Be32(4) + Be32(0) + Be32(3) + Be32(0) + Be32(4) + Be32(0) +
           Be32(2) + Be32(0),
       analysis::kCounted, 2, 1, -1},
      {"XQX: an unknown tag", ",XQX" + Be32(9), analysis::kNotRecognised, 0, 0, 0},
      {"HBP: pages at @F", Pjl("HBP") + "@L\n@G" + Bytes({0}) + Be16(2) + "ab" + "@F@F@N@X",
       analysis::kCounted, 2, 1, 0},
      {"HBP: an unknown command", Pjl("HBP") + "@L\n@Q", analysis::kNotRecognised, 0, 0, 0},
      {"SPL: 5 pages at 2 per sheet are 3 sheets", spl, analysis::kCounted, 3, 2, -1},
      {"SPL: neither DMCS nor TADS after a block", "DMCS" + SplBlock(3, "") + "JUNK",
       analysis::kNotRecognised, 0, 0, 0},
      {"BJ: form feeds outside the commands' data",
       "\x1b[K\x02\x00\x00\x0f\x1b(a\x01\x00\x01\x1b(A\x03\x00K\x0c\x0c\x0c\x1b@\x1b[K\x02\x00"
       "\x00\x0f\x0c"s,
       analysis::kCounted, 2, 1, -1},
      {"BJ: an unknown command", "\x1b[K\x02\x00\x00\x0f\x1b~"s, analysis::kNotRecognised, 0, 0, 0},
      {"ESC/P 2: form feeds, raster data passed over", "\x1b@" + escPage + escPage + "\x1b@",
       analysis::kCounted, 2, 1, -1},
      {"ESC/P 2: remote mode and EJL lines",
       "\x1b@\x1b\x01@EJL 1284.4\n@EJL     \n\x1b(R\x08\x00\x00REMOTE1"s + std::string("SN") +
           Le16(3) + "\x0c\x0c\x0c" + "TI" + Le16(0) + "\x1b\x00\x00\x00"s + escPage,
       analysis::kCounted, 1, 1, -1},
      {"ESC/P-R: the page markers of the job",
       "\x1b@\x1b(R\x06\x00\x00"
       "ESCPR"s +
           Escpr('q', "setq", "\x0c\x0c") + Escpr('d', "dsnd", std::string("\x1b\x0c\x0c", 3)) +
           Escpr('p', "endp", "\x00"s) + Escpr('p', "endp", "\x00"s) + Escpr('j', "endj", "") +
           "\x1b@",
       analysis::kCounted, 2, 1, -1},
      {"ESC/P-R: no job end",
       "\x1b@\x1b(R\x06\x00\x00"
       "ESCPR"s +
           Escpr('p', "endp", "\x00"s),
       analysis::kCounted, 1, 1, -1},
      {"LIDIL: pages at type 2",
       std::string(2, '\0') + Lidil(0x700, std::string(20, '\0')) + Lidil(2) + Lidil(4, "data") +
           Lidil(2) + Lidil(1),
       analysis::kCounted, 2, 1, -1},
      {"LIDIL: a record without its marker", Lidil(2) + "x", analysis::kNotRecognised, 0, 0, 0},
      {"GDI with ESC: pages at &&",
       kUel + "@PJL ENTER LANGUAGE=GDI\n\x1b&l26A\x1b*r1A\x1b*b" + "W" + Le32(2) +
           std::string(14, 'x') + "\x1b&&\x1b&&",
       analysis::kCounted, 2, 1, -1},
      {"GDI with ESC: data outside a command", kUel + "@PJL ENTER LANGUAGE=GDI\n\x1b&&junk",
       analysis::kNotRecognised, 0, 0, 0},
      {"Sharp GDI: pages at type 6",
       "\x81\x81" + std::string(4, '\0') + Bytes({0, 0}) + Be16(2) + Be16(1) + "ab" +
           Bytes({0, 0}) + Be16(0) + Be16(6) + Bytes({0, 0}) + Be16(0) + Be16(6),
       analysis::kCounted, 2, 1, -1},
      {"Sharp GDI from PJL",
       kUel + "@PJL ENTER LANGUAGE=GDI\n" + Bytes({0x81, 0}) + Be16(0) + Be16(6),
       analysis::kCounted, 1, 1, -1},
      {"Canon iR 2200: the stated count of all copies, divided by the copies",
       kIr2200 + Ir(21, Item(9, "x") + Item(2007, Be16(2)) + Item(107, Item(275, Be32(6)))) +
           Ir(26, "\f\f\f\f\f\f\f"),
       analysis::kCounted, 3, 2, -1},
      {"Canon iR 2200: the count inside item 17 of record 18",
       kIr2200 + Ir(7, "abc") + Ir(18, Item(17, Item(2004, Be16(4)))) + kUel + "@PJL EOJ\n",
       analysis::kCounted, 4, 1, -1},
      {"Canon iR 2200: form feeds and ESC [ 3 v in the raster",
       kIr2200 + Ir(26, "ab\f\x1b[3v\f\x1b[900vcd"), analysis::kCounted, 2, 3, -1},
      {"Canon iR 2200: an item longer than its record",
       kIr2200 + Ir(21, Item(2007, Be16(2)).substr(0, 5)), analysis::kNotRecognised, 0, 0, 0},
      {"RPCS: pages at command 35",
       Pjl("RPCS") + "\x10" + Be16(3) + "abc" + "\x35" + Be16(0) + "\x90xy" + "\x35" + Be16(1) +
           "z" + kUel,
       analysis::kCounted, 2, 1, 0},
      {"RPCS: a length cut short", Pjl("RPCS") + "\x35\x00"s, analysis::kNotRecognised, 0, 0, 0},
      {"Canon imageRUNNER: copies and pages",
       Bytes({1, 0, 0x18, 0, 0xCE, 0xDA, 0xDE, 0xFA}) + Le16(2) + std::string(14, '\0') + Le16(1) +
           std::string(6, '\0') + Le16(3) + std::string(14, '\0') + Le16(4) + Le16(6) + "ab" +
           Le16(4) + Le16(4) + Le16(9) + Le16(5) + "c",
       analysis::kCounted, 2, 3, -1},
      {"Canon imageRUNNER: a length shorter than its header",
       Bytes({1, 0, 0xCE, 0xDA, 0xDE, 0xFA}) + Le16(1) + std::string(14, '\0') + Le16(4) + Le16(2),
       analysis::kNotRecognised, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Analysis a = Analyse(c.bytes);
    EXPECT_EQ(a.result, c.result);
    if (c.result != analysis::kCounted) continue;
    EXPECT_EQ(a.counts.pages, c.pages);
    EXPECT_EQ(a.counts.copies, c.copies);
    EXPECT_EQ(a.counts.colourKnown, c.colour >= 0);
    if (c.colour >= 0) {
      EXPECT_EQ(a.counts.colour, c.colour == 1);
    }
  }
}

// A ZIMF record of a type with its body; a device mode with copies (marked present or not) and
// pages per sheet in the driver's part.
std::string Zimf(std::uint32_t type, const std::string& body) {
  return "ZIMF" + Le32(static_cast<std::uint32_t>(body.size() + 20)) + std::string(8, '\0') +
         Le32(type) + body;
}
std::string DeviceMode(std::int16_t copies, bool marked, std::uint16_t perSheet) {
  std::string mode(220 + 324, '\0');
  mode.replace(68, 2, Le16(220));
  mode.replace(70, 2, Le16(324));
  mode.replace(72, 4, Le32(marked ? 0x100 : 0));
  mode.replace(86, 2, Le16(static_cast<std::uint16_t>(copies)));
  mode.replace(220 + 320, 2, Le16(perSheet));
  return mode;
}
std::string Entry(std::uint32_t id, const std::string& body) {
  return Le32(id) + Le32(static_cast<std::uint32_t>(body.size())) + body;
}

TEST_F(VendorReadersTest, ZimfDeviceModesAndPages) {
  std::string pages;
  for (int i = 0; i < 5; ++i) pages += Zimf(2, "data") + Zimf(3, "");
  const struct {
    const char* name;
    std::string bytes;
    int result;
    int pages;
    int copies;
  } cases[] = {
      {"5 pages at 2 per sheet, 3 copies",
       Zimf(0, "") + Zimf(1, Entry(7, "xx") + Entry(10243, DeviceMode(3, true, 2))) + pages,
       analysis::kCounted, 3, 3},
      {"copies not marked present, the other entry id",
       Zimf(1, Entry(0xD2000001, DeviceMode(4, false, 1))) + pages, analysis::kCounted, 5, 1},
      {"an entry longer than its record", Zimf(1, Le32(10243) + Le32(999)) + pages,
       analysis::kNotRecognised, 0, 0},
      {"a header cut short", pages + "ZIMF" + Le32(40), analysis::kNotRecognised, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Analysis a = Analyse(c.bytes);
    EXPECT_EQ(a.result, c.result);
    if (c.result != analysis::kCounted) continue;
    EXPECT_EQ(a.counts.pages, c.pages);
    EXPECT_EQ(a.counts.copies, c.copies);
  }
}

TEST_F(VendorReadersTest, MinoltaPagesAfterBothRuns) {
  std::string page = "\x05";
  for (int i = 0; i < 511; ++i) page += "\xff\x05";
  page += "x";
  for (int i = 0; i < 510; ++i) page += "\xff\x05";
  page += std::string(1092, 'd');
  const std::string stream = "\xff\x05\x05\xff\x05\xffU" + std::string(63 + 1092, 'h');
  Analysis a = Analyse(stream + page + page + page.substr(0, 700));
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, 2);
}

TEST_F(VendorReadersTest, RealDriversFiles) {
  const struct {
    const char* file;
    int pages;
    int copies;
    int colour;  // -1 unknown, 0 mono, 1 colour
    int colourPages;
  } cases[] = {
      {"d04.foo2qpdl.qpdl", 4, 1, 0, 0},
      {"d04.foo2qpdl-2copies.qpdl", 4, 2, 0, 0},
      {"d03.foo2qpdl-colour.qpdl", 3, 1, 1, 1},
      {"d04.foo2xqx.xqx", 4, 1, -1, 0},
      {"d03.splix-colour.qpdl", 3, 1, 1, 0},
      {"d02.gutenprint-c88.escp", 2, 1, -1, 0},
      {"d02.gutenprint-ip4000.bjc", 2, 1, -1, 0},
      {"d04.hl7x0.hbp", 4, 1, -1, 0},
      {"d03.bjc600.bjc", 3, 1, -1, 0},
      {"d04.bjc800.bjc", 4, 1, -1, 0},
      {"d03.stcolor.escp", 3, 1, -1, 0},
      {"d02.hpcups-lidil.lidil", 2, 1, -1, 0},
      {"d04.gdi.smart", 4, 1, -1, 0},
      {"d03.foo2lava-colour.pcl", 3, 1, 1, 1},
      {"d12.foo2lava-mono.pcl", 12, 1, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Analysis a = AnalyseFile(test::TestData(c.file));
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.pages, c.pages);
    EXPECT_EQ(a.counts.copies, c.copies);
    if (c.colour >= 0) {
      EXPECT_TRUE(a.counts.colourKnown);
      EXPECT_EQ(a.counts.colour, c.colour == 1);
      EXPECT_EQ(a.counts.colourPages, c.colourPages);
    }
  }
}

}  // namespace
}  // namespace gatelib::printing
