#include "gatelib/printing/xps_reader.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <utility>
#include <vector>

#include "gatelib/printing/test_support.h"

namespace gatelib::printing {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

class XpsReaderTest : public test::AnalysisTest {
 protected:
  // A zip archive of the entries, in their order, analysed as a spool file.
  Analysis Package(const Entries& entries) {
    const std::string path = (Folder() / "00002.spl").string();
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    EXPECT_NE(zip, nullptr);
    for (const auto& [name, content] : entries) {
      zip_fileinfo info{};
      EXPECT_EQ(zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                      Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0),
                ZIP_OK);
      EXPECT_EQ(zipWriteInFileInZip(zip, content.data(), static_cast<unsigned>(content.size())),
                ZIP_OK);
      zipCloseFileInZip(zip);
    }
    zipClose(zip, nullptr);
    return AnalyseFile(tollgate::testing::Wide(Folder() / "00002.spl"));
  }
};

std::string Ticket(const std::string& copies) {
  return "<psf:PrintTicket><psf:ParameterInit name=\"psk:JobCopiesAllDocuments\"><psf:Value "
         "xsi:type=\"xsd:integer\">" +
         copies + "</psf:Value></psf:ParameterInit></psf:PrintTicket>";
}

TEST_F(XpsReaderTest, PagesOfTheFirstDocumentAndTheTicketsCopies) {
  const struct {
    const char* name;
    Entries entries;
    int pages;
    int copies;
  } cases[] = {
      {"the highest page in any order",
       {{"Documents/1/Pages/3.fpage", "x"},
        {"Documents/1/Pages/12.fpage", "x"},
        {"Documents/1/Pages/_rels/12.fpage.rels", "x"},
        {"Documents/1/Pages/7.fpage", "x"},
        {"Documents/2/Pages/40.fpage", "x"},
        {"Metadata/Job_PT.xml", Ticket("4")}},
       12,
       4},
      {"no ticket", {{"Documents/1/Pages/1.fpage", "x"}, {"Documents/1/Pages/2.fpage", "x"}}, 2, 1},
      {"a ticket without copies",
       {{"Documents/1/Pages/1.fpage", "x"}, {"Metadata/Job_PT.xml", "<psf:PrintTicket/>"}},
       1,
       1},
      {"a page name without a dot ends the visit",
       {{"Documents/1/Pages/2.fpage", "x"},
        {"Documents/1/Pages/page", "x"},
        {"Documents/1/Pages/9.fpage", "x"}},
       2,
       1},
      {"a ticket that inflates without end is read only so far",
       {{"Documents/1/Pages/1.fpage", "x"},
        {"Metadata/Job_PT.xml", std::string(8 * kXpsTicketBytes, ' ') + Ticket("3")}},
       1,
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Analysis a = Package(c.entries);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.language, PrinterLanguage::XPS);
    EXPECT_EQ(a.counts.pages, c.pages);
    EXPECT_EQ(a.counts.copies, c.copies);
  }
}

TEST_F(XpsReaderTest, RealPackagesAndDamagedOnes) {
  Analysis a = AnalyseFile(test::TestData("d02.xpswrite-ticket-2copies.xps"));
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, 2);
  EXPECT_EQ(a.counts.copies, 2);
  // A package cut short loses its directory: the job is not counted rather than counted empty.
  const std::string bytes = tollgate::testing::ReadBytes(std::filesystem::path(TOLLGATE_TESTDATA) /
                                                         "d02.xpswrite-ticket-2copies.xps");
  EXPECT_EQ(Analyse(bytes.substr(0, bytes.size() / 2)).result, analysis::kNotRecognised);
  EXPECT_EQ(Analyse("PK\x03\x04 not a zip").result, analysis::kNotRecognised);
}

}  // namespace
}  // namespace gatelib::printing
