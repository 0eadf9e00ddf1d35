// Pcl5Reader: counts the pages of a PCL 5 stream by following its form feeds, page ejects and
// the vertical cursor.
#pragma once

#include <string>

#include "gatelib/printing/stream_reader.h"

namespace gatelib::printing {

class Pcl5Reader : public StreamReader {
 public:
  Pcl5Reader();

  // Reads from the position (after the ESC "E" that detection consumed, or where a PJL
  // header entered PCL) up to the universal exit or the end of the data. False on ESC "%-"
  // followed by anything but "12345X".
  bool Read(JobData& source) override;

  // Page geometry, in inches.
  double lineSpacing = 1.0 / 6.0;
  double pageLength = 11.0;
  double topMargin = 0.5 / 6.0;
  double textLength = 11.0 - 0.5 / 6.0;
  int textLengthLines = 0;  // 0: not set
  double cursorY = 0;
  int linesOnPage = 0;
  int textParsingMethod = 0;
  int rasterCompression = 0;

 private:
  // One parameter of an escape sequence: its text, value and the letter that ended it.
  struct Parameter {
    double value = 0;
    bool signedValue = false;  // "+" or "-": relative to the cursor
    char letter = 0;           // upper case
    bool last = false;         // an upper-case letter ended the sequence
  };
  enum class Next { Parameter, Text, End };

  // The next character of text: one byte or, by the text parsing method, two. `single` is false
  // for a two-byte character.
  bool NextCharacter(std::uint8_t& byte, bool& single);
  // Reads the next parameter; Text when the sequence is malformed (the byte that ended it is
  // read again as text), End at the end of the data.
  Next ReadParameter(Parameter& p, bool angleBrackets = false);
  // Runs the parameters of a sequence through `handle`; false at the end of the data.
  template <typename Handle>
  bool Sequence(Handle handle, bool angleBrackets = false);

  double PageStart() const;
  void NewPage();  // a page ended: counted, cursor at the top of the next page
  void FormFeed();
  void Eject();  // ESC "&l0H"
  void LineFeed();
  void SetPageLength(double length);
  void SetTopMargin(double margin);
  void PageFormat(const Parameter& p);
  void RowPosition(const Parameter& p);
  void MoveTo(const Parameter& p, double unit);
  void SkipData(double value);
  // Data that marks the page: text, raster or vector graphics.
  void Mark() {
    pageClean_ = false;
    afterEject_ = false;
  }

  // The page has been ended with nothing drawn on the next one since.
  bool pageClean_ = true;
  // ... and the last end was an ESC "&l0H".
  bool afterEject_ = false;
  // The raster planes last stated (ESC "*r" and "U": 1 a black plane, others colour planes),
  // by which each page from there on is a mono or a colour page: 0 none stated, 1 mono,
  // 2 colour. lastPage_ is what the last page counted was.
  int planes_ = 0;
  int lastPage_ = 0;
  std::string text_;
};

}  // namespace gatelib::printing
