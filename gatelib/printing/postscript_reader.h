// PostScriptReader: the pages, copies, paper and duplex that a PostScript document's
// structuring comments and setup state.
#pragma once

#include <optional>
#include <string>
#include <string_view>

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
  void SeekTo(std::int64_t offset);
  // The next page comment ("%%Pages:" or "%%Page:") from the position: where it starts and
  // its value (for "%%Page:" the ordinal after the label). False when there is none.
  bool NextPageComment(std::string_view comment, std::int64_t& at, std::string& value);
  // The value of the first (or, when `last`, the last) page comment from the position to the
  // end of the data whose value begins with a digit.
  std::optional<int> WalkPageComments(std::string_view comment, bool last);

  std::int64_t start_ = 0;
  std::int64_t exitAt_ = 0;  // where the universal exit after the document starts
};

}  // namespace gatelib::printing
