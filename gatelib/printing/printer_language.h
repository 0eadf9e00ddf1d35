// The page-description languages of spool data and their names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gatelib::printing {

// The values are those the job report carries. UEL and PL_EOF mark segments; WINDOWS_GDI,
// EMF, TEXT and PCLXL are never detected from a signature (EMF comes from the spooled data
// type, TEXT from the plain-text analysis, PCLXL from a PJL header that enters it).
enum class PrinterLanguage : int {
  Unknown = 0,
  PCL = 1,
  PJL = 2,
  UEL = 3,
  PL_EOF = 4,
  BJ = 5,
  POSTSCRIPT = 6,
  PRESCRIBE = 7,
  ESCP2 = 8,
  ZIMF = 9,
  CANON_IMAGERUNNER = 10,
  ZJSTREAM = 11,
  SHARP_GDI = 12,
  MINOLTADI16 = 13,
  SPL = 14,
  CANON_IR2200 = 15,
  LIDIL = 16,
  HPGL = 17,
  XQX = 18,
  WINDOWS_GDI = 19,
  XML = 20,
  XRX = 21,
  EMF = 22,
  TEXT = 23,
  PCLXL = 24,
  XPS = 25,
  PDF = 26,
  PDF_BANNER = 27,
  EJL = 28,
};

constexpr int kPrinterLanguageCount = 29;

// The language's name ("Unknown" … "EJL"). A value outside the enumeration writes "Was asked
// to stringify an unrecognized language: " and the number to the file log and gives "Unknown".
std::wstring LanguageName(PrinterLanguage language);

// The language of a name, compared without regard to case; nullopt for another text.
std::optional<PrinterLanguage> LanguageFromName(std::wstring_view name);

}  // namespace gatelib::printing
