#include "agent/spooler/printer_factory.h"

#include <cwchar>
#include <cwctype>
#include <sstream>

#include "gatelib/printing/spool_analyzer.h"
#include "shared/error/errors.h"
#include "shared/error/report.h"

namespace tollgate::spooler {

namespace {

std::wstring Lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool Contains(const std::wstring& text, const std::wstring& part) {
  return text.find(part) != std::wstring::npos;
}

bool Colour(const platform::JobInfo2& job) {
  return job.pDevMode.has_value() && job.pDevMode->dmColor == platform::DMCOLOR_COLOR;
}

class FixedWsdPrinter : public Printer {
 public:
  using Printer::Printer;
  Port* GetPort() override {
    if (port_ == nullptr) {
      platform::PortInfo2 entry;
      entry.pPortName = kFixedWsdPort;
      entry.fPortType = platform::PORT_TYPE_NET_ATTACHED;
      port_ = std::make_unique<WsdPort>(entry);
    }
    return port_.get();
  }

 private:
  std::unique_ptr<Port> port_;
};

// Brother colour drivers keep the colour choice of EMF jobs in one private DEVMODE byte.
class BrotherColorPrinter : public Printer {
 public:
  BrotherColorPrinter(std::wstring name, PrintMgr* manager, std::size_t offset,
                      std::uint8_t monochrome)
      : Printer(std::move(name), manager), offset_(offset), monochrome_(monochrome) {}
  bool IsColor(const platform::JobInfo2& job) override {
    if (!job.pDevMode.has_value()) return false;
    if (job.pDatatype.rfind(L"RAW", 0) == 0) return AnalysedColour(job);
    const auto& extra = Private(*job.pDevMode);
    if (job.pDatatype.rfind(L"NT EMF", 0) == 0 && extra.size() > offset_)
      return extra[offset_] != monochrome_;
    return Colour(job);
  }

 private:
  // The colour that the analysis of the job's spool file decides; an analysis that raises is
  // reported and gives monochrome.
  bool AnalysedColour(const platform::JobInfo2& job) {
    std::wstring directory = SpoolDirectory().empty() ? GetSpoolDirectory() : SpoolDirectory();
    gatelib::printing::PageEndList pageEnds;
    gatelib::printing::SpoolAnalyzer analyzer(
        gatelib::printing::kSpoolBufferSize, gatelib::printing::PrinterLanguage::Unknown, pageEnds);
    try {
      analyzer.Open(gatelib::printing::SpoolFileName(directory, job.JobId), &job);
    } catch (Error* error) {
      ReportError(error);
      return false;
    }
    return analyzer.Counts().colourKnown && analyzer.Counts().colour;
  }

  std::size_t offset_;
  std::uint8_t monochrome_;
};

class KonicaPrinter : public Printer {
 public:
  using Printer::Printer;
  bool IsColor(const platform::JobInfo2& job) override {
    if (!job.pDevMode.has_value()) return false;
    const auto& extra = Private(*job.pDevMode);
    if (extra.size() < 3127) return Colour(job);
    return extra[0] == 0;
  }
};

class MonoPrinter : public Printer {
 public:
  using Printer::Printer;
  bool IsColor(const platform::JobInfo2&) override { return false; }
};

class KyoceraPrinter : public Printer {
 public:
  using Printer::Printer;
  bool TranslatePaperCode(std::uint16_t* code) override {
    switch (*code) {
      case 106:
        *code = 1;
        return true;  // Letter
      case 108:
        *code = 9;
        return true;  // A4
      case 110:
        *code = 8;
        return true;  // A3
      default:
        return false;
    }
  }
};

class OfficejetPrinter : public Printer {
 public:
  using Printer::Printer;
  bool IsColor(const platform::JobInfo2& job) override {
    if (!job.pDevMode.has_value()) return false;
    const auto& extra = Private(*job.pDevMode);
    if (EndsWith(Lower(job.pDatatype), L"nt emf") && extra.size() > 62) return extra[62] == 0;
    return Colour(job);
  }
};

}  // namespace

std::unique_ptr<Printer> MakeModelPrinter(const std::wstring& name, const std::wstring& driver,
                                          PrintMgr* manager) {
  std::wstring lower = Lower(driver);
  std::wistringstream words(lower);
  for (std::wstring word; std::getline(words, word, L' ');)
    if (word == L"fax" || word == L"nitro") return nullptr;
  if (Contains(lower, L"nuance image") || Contains(lower, L"pdf") ||
      Contains(lower, L"microsoft xps document writer"))
    return nullptr;

  if (Contains(name, kFixedWsdPrinter)) return std::make_unique<FixedWsdPrinter>(name, manager);
  if (lower == L"brother mfc-9840cdw printer")
    return std::make_unique<BrotherColorPrinter>(name, manager, 1972, 1);
  if (lower == L"brother hl-4150cdn series")
    return std::make_unique<BrotherColorPrinter>(name, manager, 310, 0);
  if (lower == L"konica minolta c250/c250p vps")
    return std::make_unique<KonicaPrinter>(name, manager);
  if (lower == L"lexmark x734de") return std::make_unique<Printer>(name, manager);
  for (const wchar_t* mono :
       {L"xerox workcentre 6605", L"xerox workcentre 7220", L"es4172lp", L"es5112", L"mps5502mb"})
    if (EndsWith(lower, mono)) return std::make_unique<MonoPrinter>(name, manager);
  if (Contains(lower, L"kyocera") && Contains(lower, L"taskalfa"))
    return std::make_unique<KyoceraPrinter>(name, manager);
  if (Contains(lower, L"hp officejet 7610 series"))
    return std::make_unique<OfficejetPrinter>(name, manager);
  return std::make_unique<Printer>(name, manager);
}

std::unique_ptr<Printer> MakePrinter(const std::wstring& name, const std::wstring& driver,
                                     PrintMgr* manager) {
  std::unique_ptr<Printer> printer = MakeModelPrinter(name, driver, manager);
  if (printer != nullptr && printer->IsExcludedPort()) return nullptr;
  return printer;
}

}  // namespace tollgate::spooler
