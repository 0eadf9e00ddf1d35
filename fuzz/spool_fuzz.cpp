// Fuzzing target of the spool-file analysis: every input is analysed as a spool file, from its
// start through language detection, again with an initial language chosen by its size, and as
// plain text. A crash, a sanitizer report, a hang or unbounded memory is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "gatelib/printing/spool_analyzer.h"
#include "gatelib/printing/text_analyzer.h"
#include "platform/platform.h"
#include "shared/error/errors.h"

namespace printing = gatelib::printing;

namespace {

std::string g_path;
std::wstring g_widePath;

// Runs one analysis; the errors the readers raise are results, not findings.
void Analyse(printing::JobAnalyzer& analyzer) {
  try {
    analyzer.Open(g_widePath, nullptr);
  } catch (Error* error) {
    delete error;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A machine of its own in the temporary folder; the input is written to a host file there.
  const char* tmp = std::getenv("TMPDIR");
  std::string base = std::string(tmp != nullptr ? tmp : "/tmp") + "/tollgate-fuzz-" +
                     std::to_string(std::random_device{}());
  setenv("TOLLGATE_MACHINE", (base + "-machine").c_str(), 1);
  g_path = base + ".spl";
  g_widePath.assign(g_path.begin(), g_path.end());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(g_path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  {
    printing::PageEndList pageEnds;
    printing::SpoolAnalyzer analyzer(printing::kSpoolBufferSize, printing::PrinterLanguage::Unknown,
                                     pageEnds);
    Analyse(analyzer);
  }
  const auto initial =
      static_cast<printing::PrinterLanguage>(size % printing::kPrinterLanguageCount);
  if (initial != printing::PrinterLanguage::Unknown) {
    printing::PageEndList pageEnds;
    printing::SpoolAnalyzer analyzer(printing::kSpoolBufferSize, initial, pageEnds);
    Analyse(analyzer);
  }
  {
    printing::TextAnalyzer analyzer(printing::kSpoolBufferSize, 66);
    Analyse(analyzer);
  }
  return 0;
}
