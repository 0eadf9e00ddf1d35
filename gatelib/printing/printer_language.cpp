#include "gatelib/printing/printer_language.h"

#include <array>
#include <cwctype>

#include "shared/error/file_log.h"

namespace gatelib::printing {
namespace {

constexpr std::array<const wchar_t*, kPrinterLanguageCount> kNames = {L"Unknown",
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

bool SameIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  }
  return true;
}

}  // namespace

std::wstring LanguageName(PrinterLanguage language) {
  int value = static_cast<int>(language);
  if (value < 0 || value >= kPrinterLanguageCount) {
    tollgate::Log(L"Was asked to stringify an unrecognized language: " + std::to_wstring(value));
    return kNames[0];
  }
  return kNames[static_cast<std::size_t>(value)];
}

std::optional<PrinterLanguage> LanguageFromName(std::wstring_view name) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (SameIgnoringCase(name, kNames[i])) return static_cast<PrinterLanguage>(i);
  }
  return std::nullopt;
}

}  // namespace gatelib::printing
