#include "gatelib/printing/pdf_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "gatelib/printing/test_support.h"

namespace gatelib::printing {
namespace {

class PdfReaderTest : public test::AnalysisTest {
 protected:
  std::wstring Write(const std::string& bytes) {
    tollgate::testing::WriteBytes(Folder() / "00003.spl", bytes);
    return tollgate::testing::Wide(Folder() / "00003.spl");
  }
};

// A PDF file of the objects given (object i + 1 is objects[i]) with a cross-reference table
// and a trailer whose root is object 1.
std::string Pdf(const std::vector<std::string>& objects, const std::string& extraTrailer = "") {
  std::string out = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof(line), "%010zu 00000 n \n", offset);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R " +
         extraTrailer + ">>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
}

TEST_F(PdfReaderTest, PageObjectsWhoseTypeEndsTheLine) {
  // One page tree and three pages, the type entry ending each line; the library is not asked.
  const std::string raw =
      "%PDF-1.3\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
      "2 0 obj\n<< /Kids [3 0 R 4 0 R 5 0 R] /Count 3 /Type /Pages\n>>\nendobj\n"
      "3 0 obj\n<< /Parent 2 0 R /Type /Page\n>>\nendobj\n"
      "4 0 obj\n<< /Parent 2 0 R /Type /Page\n>>\nendobj\n"
      "5 0 obj\n<< /Parent 2 0 R /Type /Page\n>>\nendobj\n"
      "%%EOF\n";
  Analysis a = Analyse(raw);
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, 3);
  EXPECT_EQ(a.counts.copies, 1);
  EXPECT_EQ(a.counts.language, PrinterLanguage::Unknown);
  EXPECT_FALSE(a.counts.colourKnown);
  // Copies from a "copies:" note anywhere in the file; 0 or no number changes nothing.
  EXPECT_EQ(Analyse(raw + "% copies: 4\n").counts.copies, 4);
  EXPECT_EQ(Analyse(raw + "% copies: 0\n").counts.copies, 1);
  EXPECT_EQ(Analyse(raw + "% copies: many\n").counts.copies, 1);
}

TEST_F(PdfReaderTest, PageTreesOfRealProducers) {
  if (!HavePdfLibrary()) GTEST_SKIP() << "this build has no PDF library";
  // Ghostscript writes "/Type/Page"; object streams hide the pages; qpdf's normal form puts
  // other keys after the type.
  const struct {
    const char* file;
    int pages;
  } cases[] = {
      {"d06.pdfwrite.pdf", 6},
      {"d04.pdfwrite-objstm.pdf", 4},
      {"d04.qpdf-qdf.pdf", 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Analysis a = AnalyseFile(test::TestData(c.file));
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.pages, c.pages);
    EXPECT_EQ(a.counts.copies, 1);
  }
}

TEST_F(PdfReaderTest, BrokenAndHostilePageTrees) {
  if (!HavePdfLibrary()) GTEST_SKIP() << "this build has no PDF library";
  const std::string catalog = "<< /Type/Catalog /Pages 2 0 R >>";
  const std::string page = "<< /Type/Page /Parent 2 0 R >>";
  // A page tree whose node lists its parent among its kids, and a page listed twice.
  const std::string cyclic =
      Pdf({catalog, "<< /Type/Pages /Kids [3 0 R 4 0 R 3 0 R] /Count 3 >>", page,
           "<< /Type/Pages /Parent 2 0 R /Kids [2 0 R 5 0 R] /Count 9 >>", page});
  // A tree deeper than the bound: every node has one kid, the next.
  std::vector<std::string> deep{catalog};
  for (int i = 2; i < 400; ++i) {
    deep.push_back("<< /Type/Pages /Kids [" + std::to_string(i + 1) + " 0 R] /Count 1 >>");
  }
  deep.push_back(page);
  const struct {
    const char* name;
    std::string bytes;
    std::optional<std::int64_t> pages;
  } cases[] = {
      {"a cycle and a page listed twice", cyclic, 2},
      {"a tree too deep", Pdf(deep), std::nullopt},
      {"a cross-reference table claiming too many objects",
       Pdf({catalog, "<< /Type/Pages /Kids [3 0 R] /Count 1 >>", page}, "/Index [0 3000000]"),
       std::nullopt},
      {"no page tree", Pdf({"<< /Type/Catalog >>"}), std::nullopt},
      {"not a PDF file", "%PDF-1.4\nnothing else\n", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    EXPECT_EQ(PdfPageTreeCount(Write(c.bytes), {}, &why), c.pages) << why;
    // The analysis keeps what the text said (no page) when the tree cannot be counted.
    Analysis a = Analyse(c.bytes);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.pages, c.pages.value_or(0));
  }
  // Streams decoding to more bytes than allowed: the objects in the object streams of a real
  // file are not read with a budget smaller than they need.
  PdfLimits small;
  small.maxDecodedBytes = 100;
  std::string why;
  EXPECT_EQ(PdfPageTreeCount(test::TestData("d04.pdfwrite-objstm.pdf"), small, &why), std::nullopt);
  EXPECT_NE(why.find("decode to more bytes"), std::string::npos) << why;
}

}  // namespace
}  // namespace gatelib::printing
