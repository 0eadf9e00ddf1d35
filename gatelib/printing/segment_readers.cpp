#include "gatelib/printing/segment_readers.h"

#include "gatelib/printing/document_readers.h"
#include "gatelib/printing/pcl5_reader.h"
#include "gatelib/printing/pclxl_reader.h"
#include "gatelib/printing/pdf_reader.h"
#include "gatelib/printing/pjl_reader.h"
#include "gatelib/printing/postscript_reader.h"
#include "gatelib/printing/prescribe_reader.h"
#include "gatelib/printing/vendor_readers.h"
#include "gatelib/printing/xps_reader.h"

namespace gatelib::printing {
namespace {

// Each reader is made here for the language whose segment it reads, for example
//   case PrinterLanguage::PJL: return std::make_unique<PjlReader>(pageEnds, *this);
// A language without a case ends the analysis as not recognised when it is met (or, entered
// from a PJL header, makes the header's reading fail).
class BuiltInSegmentReaders : public SegmentReaders {
 public:
  std::unique_ptr<StreamReader> MakeReader(PrinterLanguage language,
                                           PageEndList& pageEnds) const override {
    switch (language) {
      case PrinterLanguage::PJL:
        return std::make_unique<PjlReader>(pageEnds, *this);
      case PrinterLanguage::PCL:
        return std::make_unique<Pcl5Reader>();
      case PrinterLanguage::POSTSCRIPT:
        return std::make_unique<PostScriptReader>();
      case PrinterLanguage::PCLXL:
        return std::make_unique<PclXlReader>(pageEnds);
      case PrinterLanguage::XML:
        return std::make_unique<XmlDocumentReader>();
      case PrinterLanguage::ZJSTREAM:
        return std::make_unique<ZjStreamReader>();
      case PrinterLanguage::XRX:
        return std::make_unique<XeroxHeaderReader>();
      case PrinterLanguage::EJL:
        return std::make_unique<EjlHeaderReader>();
      case PrinterLanguage::XPS:
        return std::make_unique<XpsReader>();
      case PrinterLanguage::PDF:
        return std::make_unique<PdfReader>();
      case PrinterLanguage::PRESCRIBE:
        return std::make_unique<PrescribeReader>();
      case PrinterLanguage::XQX:
        return std::make_unique<XqxReader>();
      case PrinterLanguage::SPL:
        return std::make_unique<SplReader>();
      case PrinterLanguage::BJ:
        return std::make_unique<BjReader>();
      case PrinterLanguage::ESCP2:
        return std::make_unique<Escp2Reader>();
      case PrinterLanguage::LIDIL:
        return std::make_unique<LidilReader>();
      case PrinterLanguage::SHARP_GDI:
        return std::make_unique<SharpGdiReader>(true);
      case PrinterLanguage::MINOLTADI16:
        return std::make_unique<MinoltaReader>();
      case PrinterLanguage::CANON_IMAGERUNNER:
        return std::make_unique<CanonImageRunnerReader>();
      case PrinterLanguage::ZIMF:
        return std::make_unique<ZimfReader>();
      case PrinterLanguage::CANON_IR2200:
        return std::make_unique<CanonIr2200Reader>();
      default:
        return nullptr;
    }
  }
  std::unique_ptr<StreamReader> MakeHeaderReader(HeaderStream stream, PageEndList&) const override {
    switch (stream) {
      case HeaderStream::JobTicket:
        return std::make_unique<JobTicketReader>();
      case HeaderStream::Qpdl:
        return std::make_unique<QpdlReader>();
      case HeaderStream::Hbp:
        return std::make_unique<HbpReader>();
      case HeaderStream::EscapeGdi:
        return std::make_unique<EscapeGdiReader>();
      case HeaderStream::HeaderlessSharpGdi:
        return std::make_unique<SharpGdiReader>(false);
      case HeaderStream::Rpcs:
        return std::make_unique<RpcsReader>();
    }
    return nullptr;
  }
};

}  // namespace

const SegmentReaders& BuiltInReaders() {
  static const BuiltInSegmentReaders readers;
  return readers;
}

}  // namespace gatelib::printing
