// PclXlReader: counts the pages of a PCL XL stream (little-endian binding), decides for each
// page whether it prints in colour, and collects the page settings (copies, media, orientation,
// measure, units per measure, two-sided printing) and the offset at which each page ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gatelib/printing/job_counts.h"
#include "gatelib/printing/stream_reader.h"

namespace gatelib::printing {

// The most bytes of a ubyte array (and elements of a real32 array) that the reader keeps: no
// attribute value it looks at is longer (a palette has at most 768 bytes). Longer arrays are
// read whole, and their grey test covers every element.
constexpr std::size_t kPclXlMaxArrayKept = 65536;

class PclXlReader : public StreamReader {
 public:
  // `pageEnds` receives, for each EndPage, the offset just after the last operator before it.
  explicit PclXlReader(PageEndList& pageEnds);

  // Reads the stream from the source's position to its universal exit (ESC "%-12345X", left
  // consumed) or the end of the data. False only for a stream in ASCII or big-endian binding.
  // A stream that ends inside embedded data being examined, inside a real32 array or inside a
  // coordinate pair raises Error 26 ("Fim inesperado da sequência PCLXL."); one that ends
  // anywhere else is read up to its end.
  //
  // Afterwards, besides the fields below, the StreamReader fields hold what the stream hands to
  // the PJL header that entered it: monoPages, colourPages, pages (their sum), copies (the last
  // PageCopies, 1 when none), language PCLXL, mediaSize, measure, unitsPerMeasureX and Y (set
  // together), orientation (each the first value seen, absent when none), paperName (the media
  // name when no enumerated media size was given), duplex (a page began in duplex mode), and
  // colourKnown and colour set when some page was colour.
  bool Read(JobData& source) override;

  int pageCopies = 1;      // the last PageCopies value
  std::wstring mediaName;  // the first media size given as a byte array, as text

 private:
  struct TripleTest;

  bool ReadTag(std::uint8_t tag);
  // Passes over n bytes: inside the window directly, else by a skip of the source.
  void SkipFixed(std::size_t n);
  bool ReadScalar(int size);
  bool ReadArray(std::uint8_t tag);
  void ReadPair(std::uint8_t tag);
  bool ReadEmbedded(std::uint8_t tag);
  void Attribute(std::uint8_t id);
  void Operator(std::uint8_t op);
  bool GreyTestFails(std::uint64_t count, bool colourTriple) const;
  // Consumes n bytes of examined data, each window's share handed to `test` (when given);
  // raises Error 26 when the data ends first.
  void Examine(std::uint64_t n, TripleTest* test);
  void DecodeDeltaRows(std::uint64_t length);
  void Publish();

  PageEndList& pageEnds_;
  JobData* data_ = nullptr;

  bool pageIsColour_ = false;
  bool currentIsColour_ = false;
  bool paletteHasColour_ = false;
  bool ignoreNextText_ = false;
  bool imagePending_ = false;
  std::int64_t compression_ = 0;
  std::int64_t colourSpace_ = 1;
  std::int64_t colourMapping_ = 0;
  std::int64_t lastValue_ = 0;
  std::int64_t vendorDataLength_ = 0;
  bool duplexModeGiven_ = false;  // a DuplexPageMode attribute since the last operator
  int lastValueKind_ = 0;         // 0 scalar, 1 embedded data, 2 array

  // The last ubyte array (kept up to kPclXlMaxArrayKept bytes) and real32 array.
  std::vector<std::uint8_t> byteArray_;
  std::uint64_t byteArrayCount_ = 0;
  bool byteArrayColour_ = false;  // some triple of its elements is not grey
  std::vector<float> realArray_;
  std::uint64_t realArrayCount_ = 0;
  bool realArrayColour_ = false;
  float lastX_ = 0;
  float lastY_ = 0;

  bool operatorSeen_ = false;
  std::int64_t lastOperatorEnd_ = 0;
};

}  // namespace gatelib::printing
