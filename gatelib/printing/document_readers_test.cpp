#include "gatelib/printing/document_readers.h"

#include <gtest/gtest.h>

#include "gatelib/printing/test_support.h"

namespace gatelib::printing {
namespace {

using L = PrinterLanguage;

class DocumentReadersTest : public test::AnalysisTest {};

const std::string kUel = "\x1b%-12345X";

// A ZjStream record: 32-bit big-endian length (with the header) and type, then the body.
std::string Record(std::uint32_t type, const std::string& body = "") {
  const auto length = static_cast<std::uint32_t>(body.size() + 8);
  std::string r;
  for (std::uint32_t v : {length, type}) {
    for (int shift = 24; shift >= 0; shift -= 8) r.push_back(static_cast<char>(v >> shift & 0xFF));
  }
  return r + body;
}

// The body of a page's start record with the copies and colour-plane items.
std::string PageStart(std::uint32_t copies, std::uint32_t planes) {
  auto u32 = [](std::uint32_t v) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<char>(v >> shift & 0xFF));
    return s;
  };
  auto item = [&](std::uint16_t id, std::uint32_t value) {
    return u32(12) + std::string{static_cast<char>(id >> 8), static_cast<char>(id & 0xFF)} +
           std::string(2, '\0') + u32(value);
  };
  return u32(2) + u32(0x5A5A) + item(4, copies) + item(7, planes);
}

TEST_F(DocumentReadersTest, ZjStreamRecords) {
  const std::string page =
      Record(2, PageStart(1, 1)) + Record(4, "bih") + Record(5, "data") + Record(6) + Record(3);
  const struct {
    const char* name;
    std::string bytes;
    int result;
    int pages;
    int copies;
    bool colourKnown;
    bool colour;
  } cases[] = {
      {"four pages after a PJL header",
       kUel + "@PJL ENTER LANGUAGE=ZJS\n" + "JZJZ" + Record(0) + page + page + page + page +
           Record(1) + kUel + "@PJL EOJ\n" + kUel,
       analysis::kCounted, 4, 1, true, false},
      {"copies and colour planes of the pages",
       "JZJZ" + Record(0) + Record(2, PageStart(2, 4)) + Record(3) + Record(1), analysis::kCounted,
       1, 2, true, true},
      {"the end of the data between records", "JZJZ" + Record(0) + page + page, analysis::kCounted,
       2, 1, true, false},
      {"a record type the stream does not have", "JZJZ" + Record(0) + Record(42) + page,
       analysis::kNotRecognised, 0, 1, false, false},
      {"a header cut short", "JZJZ" + Record(0) + page + Record(3).substr(0, 5),
       analysis::kNotRecognised, 0, 1, false, false},
      {"a length shorter than its header", "JZJZ" + std::string("\0\0\0\4\0\0\0\3", 8),
       analysis::kNotRecognised, 0, 1, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Analysis a = Analyse(c.bytes);
    EXPECT_EQ(a.result, c.result);
    if (c.result != analysis::kCounted) continue;
    EXPECT_EQ(a.counts.pages, c.pages);
    EXPECT_EQ(a.counts.copies, c.copies);
    EXPECT_EQ(a.counts.colourKnown, c.colourKnown);
    EXPECT_EQ(a.counts.colour, c.colour);
  }
}

TEST_F(DocumentReadersTest, ZjStreamOfARealDriver) {
  Analysis a = AnalyseFile(test::TestData("d04.foo2zjs.zjs"));
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, 4);
  EXPECT_EQ(a.counts.copies, 1);
  EXPECT_TRUE(a.counts.colourKnown);
  EXPECT_FALSE(a.counts.colour);
}

const std::string kTicket =
    "<?xml version=\"1.0\"?>\n<!DOCTYPE xpif SYSTEM \"xpif-v02076.dtd\">\n<xpif version=\"1.0\">\n"
    "<job-template-attributes>\n<copies syntax=\"integer\">3</copies>\n"
    "<color-effects-type syntax=\"keyword\">color</color-effects-type>\n"
    "</job-template-attributes>\n<job-description-attributes>\n"
    "<job-name syntax=\"name\" xml:space=\"preserve\">  Relatório mensal \n</job-name>\n"
    "</job-description-attributes>\n</xpif>\n";

TEST_F(DocumentReadersTest, XmlDocuments) {
  const struct {
    const char* name;
    std::string bytes;
    int result;
    int pages;
    int copies;
    bool colour;
    bool duplex;
    std::wstring document;
  } cases[] = {
      {"an xpif ticket before the document", kTicket + "%!PS\n%%Pages: 2\n", analysis::kCounted, 2,
       3, true, false, L"Relat\u00c3\u00b3rio mensal"},
      {"an ivec command counts the job",
       "<?xml version=\"1.0\"?><ivec:cmd xmlns:ivec=\"http://x\"><ivec:impression_num>7"
       "</ivec:impression_num><ivec:printcolormode>color</ivec:printcolormode>"
       "<ivec:duplexprint>ON</ivec:duplexprint></ivec:cmd>",
       analysis::kCounted, 7, 1, true, true, L""},
      {"an ivec count that is no number",
       "<?xml version=\"1.0\"?><ivec:cmd xmlns:ivec=\"x\"><ivec:impression_num>many"
       "</ivec:impression_num></ivec:cmd>",
       analysis::kUnusable, 0, 1, false, false, L""},
      {"a document of neither form", "<?xml version=\"1.0\"?><html><body/></html>",
       analysis::kUnusable, 0, 1, false, false, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Analysis a = Analyse(c.bytes);
    EXPECT_EQ(a.result, c.result);
    if (c.result != analysis::kCounted) continue;
    EXPECT_EQ(a.counts.pages, c.pages);
    EXPECT_EQ(a.counts.copies, c.copies);
    EXPECT_TRUE(a.counts.colourKnown);
    EXPECT_EQ(a.counts.colour, c.colour);
    EXPECT_EQ(a.counts.duplex, c.duplex);
    EXPECT_EQ(a.counts.documentName, c.document);
  }
}

TEST_F(DocumentReadersTest, APjlExceptionSectionGivesTheTicketsColour) {
  Analysis a = Analyse(kUel + "@PJL JOB\n@PJL XCPT " + kTicket + "@PJL SET COPIES=2\n" +
                       "@PJL ENTER LANGUAGE=POSTSCRIPT\n%!PS\n%%Pages: 1\n" + kUel);
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, 1);
  EXPECT_EQ(a.counts.copies, 2);
  EXPECT_TRUE(a.counts.colourKnown);
  EXPECT_TRUE(a.counts.colour);
}

TEST_F(DocumentReadersTest, JobHeadersArePassedOver) {
  const struct {
    const char* name;
    std::string bytes;
    int result;
    int pages;
  } cases[] = {
      {"Xerox", "%%XRXbegin\n%%OID_ATT_JOB_NAME \"x\"\n%%XRXend\n\n%!PS\n%%Pages: 3\n",
       analysis::kCounted, 3},
      {"Xerox without its end", "%%XRXbegin\n%%OID_ATT_JOB_NAME \"x\"\n", analysis::kCounted, 0},
      {"EJL", "\x1b\x01@EJL \n@EJL SELECT LANGUAGE=PS\n%!PS\n%%Pages: 4\n", analysis::kCounted, 4},
      {"EJL line without its end", "\x1b\x01@EJL SELECT", analysis::kNotRecognised, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Analysis a = Analyse(c.bytes);
    EXPECT_EQ(a.result, c.result);
    EXPECT_EQ(a.counts.pages, c.pages);
  }
}

}  // namespace
}  // namespace gatelib::printing
