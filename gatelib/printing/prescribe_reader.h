// PrescribeReader: the pages and copies of a Prescribe command stream.
#pragma once

#include <map>
#include <string>

#include "gatelib/printing/stream_reader.h"

namespace gatelib::printing {

// After "!R!": commands separated by LF, FF, CR, space, "," and ";", upper-cased. "PAGE" adds
// a page (to the macro being defined, inside "MCRO" … "ENDM"); "CALL" adds a macro's pages,
// as many times as its count says; "COPY" raises the copies. "EXIT" after an emulation was
// selected ("SEM…") ends the segment so that the emulation's data is detected; otherwise the
// text up to the next "!R!" is scanned for form feeds, each a page. Quoted strings are passed
// over. The end of the data ends the segment.
class PrescribeReader : public StreamReader {
 public:
  PrescribeReader() : StreamReader(kPrescribeSeparators) {}
  bool Read(JobData& source) override;

 private:
  // The token after the current one when a "," ended the current one (the command's next
  // parameter); empty otherwise.
  std::string Parameter();
  // Reads the text up to the next "!R!" (consumed), adding a page for each form feed.
  void ScanText();
  void AddPages(long long n);

  std::map<std::string, long long> macros_;
};

// Macros a job may define; the ones beyond are not kept (their pages count nowhere).
constexpr std::size_t kPrescribeMacros = 4096;

}  // namespace gatelib::printing
