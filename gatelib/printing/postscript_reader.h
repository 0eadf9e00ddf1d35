// PostScriptReader: the pages, copies, paper and duplex that a PostScript document's
// structuring comments and setup state.
#pragma once

#include "gatelib/printing/stream_reader.h"

namespace gatelib::printing {

class PostScriptReader : public StreamReader {
 public:
  PostScriptReader() : StreamReader(kPostScriptSeparators) {}

  // Reads from the position after "%!" and ends past the universal exit that closes the
  // document (or at the end of the data). Never fails.
  bool Read(JobData& source) override;

 private:
  // Back to where the document began, for the next search.
  void Restart();
  // After a token: back over the LF that ended it.
  void StepBackOverLineEnd();
  // The copy count of the "%%Requirements:" comment; empty when it names none.
  std::string RequirementsCopies();
  // The copy count of the setup section; empty when it names none.
  std::string SetupCopies();
  void ReadPaper();
  void CountPages();

  std::int64_t start_ = 0;
};

}  // namespace gatelib::printing
