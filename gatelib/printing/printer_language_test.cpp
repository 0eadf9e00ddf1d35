#include "gatelib/printing/printer_language.h"

#include <gtest/gtest.h>

#include "shared/error/file_log.h"
#include "testing/machine_fixture.h"

namespace gatelib::printing {
namespace {

class LanguageNameTest : public tollgate::testing::MachineTest {};

TEST_F(LanguageNameTest, NamesEveryLanguageAndReadsTheNamesBack) {
  const wchar_t* names[] = {L"Unknown",
                            L"PCL",
                            L"PJL",
                            L"UEL",
                            L"PL_EOF",
                            L"BJ",
                            L"POSTSCRIPT",
                            L"PRESCRIBE",
                            L"ESCP2",
                            L"ZIMF",
                            L"CANON_IMAGERUNNER",
                            L"ZJSTREAM",
                            L"SHARP_GDI",
                            L"MINOLTADI16",
                            L"SPL",
                            L"CANON_IR2200",
                            L"LIDIL",
                            L"HPGL",
                            L"XQX",
                            L"WINDOWS_GDI",
                            L"XML",
                            L"XRX",
                            L"EMF",
                            L"TEXT",
                            L"PCLXL",
                            L"XPS",
                            L"PDF",
                            L"PDF_BANNER",
                            L"EJL"};
  static_assert(std::size(names) == kPrinterLanguageCount);
  for (int v = 0; v < kPrinterLanguageCount; ++v) {
    EXPECT_EQ(LanguageName(static_cast<PrinterLanguage>(v)), names[v]);
    EXPECT_EQ(LanguageFromName(names[v]), static_cast<PrinterLanguage>(v));
  }
  EXPECT_EQ(LanguageFromName(L"postScript"), PrinterLanguage::POSTSCRIPT);
  EXPECT_EQ(LanguageFromName(L"PCL5"), std::nullopt);
}

TEST_F(LanguageNameTest, AnUnrecognizedValueIsLoggedAndNamedUnknown) {
  auto log = Folder() / "events.log";
  tollgate::InstallFileLog(
      std::make_unique<tollgate::FileLog>(tollgate::testing::Wide(log), 100000));
  EXPECT_EQ(LanguageName(static_cast<PrinterLanguage>(29)), L"Unknown");
  EXPECT_EQ(LanguageName(static_cast<PrinterLanguage>(-1)), L"Unknown");
  std::string text = tollgate::testing::ReadBytes(Folder() / "events_0.log");
  tollgate::InstallFileLog(nullptr);
  EXPECT_NE(text.find(" Was asked to stringify an unrecognized language: 29\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" Was asked to stringify an unrecognized language: -1\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace gatelib::printing
