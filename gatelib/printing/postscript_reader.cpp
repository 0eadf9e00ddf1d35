#include "gatelib/printing/postscript_reader.h"

#include <limits>

#include "shared/error/errors.h"

namespace gatelib::printing {
namespace {

constexpr std::string_view kPagesComment = "\n%%Pages:";
constexpr std::string_view kPageComment = "\n%%Page:";
constexpr std::string_view kPageTrailer = "\n%%PageTrailer";

bool BeginsWithDigit(const std::string& text) {
  return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

// What the walks over the page comments found, kept for the file.
//
// A walk finds a comment, reads its value and goes on from there. Its tokens never run across
// a universal exit, so walks that start anywhere before an exit all meet at the first comment
// after it: from that comment on they are the same walk. What one walk found from such a
// meeting point therefore answers every later walk that reaches a later meeting point.
struct PageCommentMemo : JobDataMemo {
  struct Kept {
    std::int64_t from = -1;     // the meeting point the walk started at (-1: nothing kept)
    std::int64_t valueAt = -1;  // where the comment with the value starts; -1: none to the end
    int value = 0;
  };
  Kept pages;     // the first "%%Pages:" whose value begins with a digit
  Kept lastPage;  // the last "%%Page:" whose ordinal begins with a digit
};

}  // namespace

void PostScriptReader::StepBackOverLineEnd() {
  // The LF that ended a token may begin the next comment.
  if (Source().Position() == 0) return;
  Skip(-1);
  std::uint8_t byte = 0;
  if (GetNextChar(byte) && byte == '\n') Skip(-1);
}

void PostScriptReader::SeekTo(std::int64_t offset) {
  if (Source().Seek(offset) < 0) throw new SystemError(L"file.Seek", L"PostScriptReader::Read");
}

void PostScriptReader::Restart() {
  SeekTo(start_);
}

bool PostScriptReader::Read(JobData& source) {
  SetSource(source);
  EndTokensAtUniversalExit();
  start_ = source.Position();
  // Every search below starts here: one pass answers those that find nothing or find early.
  PrimeSearches(source, {kUniversalExit, "\n%%Requirements:", "\n%%BeginSetup",
                         "\n%%BeginFeature:", kPagesComment, kPageTrailer, kPageComment});
  // Where the document's walks over its page comments meet the walks of any other document:
  // the first universal exit after it, or the end of the data.
  exitAt_ = FindText(kUniversalExit) ? source.Position() - std::int64_t{kUniversalExit.size()}
                                     : std::numeric_limits<std::int64_t>::max();
  Restart();

  std::string count = RequirementsCopies();
  Restart();
  std::string setupCount = SetupCopies();
  if (count.empty()) count = setupCount;
  copies = count.empty() ? 1 : DecimalValue(count);
  Restart();

  ReadPaper();
  Restart();

  CountPages();
  Restart();
  FindText(kUniversalExit);
  return true;
}

std::string PostScriptReader::RequirementsCopies() {
  std::string count;
  if (!FindText("\n%%Requirements:")) return count;
  std::string token;
  while (ReadToken(token) && token.rfind("%%", 0) != 0) {
    if (token == "duplex") {
      duplex = true;
    } else if (token == "numcopies" && count.empty()) {
      ReadToken(count);
      if (count.rfind("%%", 0) == 0) break;
    }
  }
  return count;
}

std::string PostScriptReader::SetupCopies() {
  std::string count;
  if (!FindText("\n%%BeginSetup")) return count;
  std::string token;
  std::string value;
  bool pending = false;  // `token` was read as a value but is to be looked at as a keyword
  while ((pending || ReadToken(token)) && token != "%%EndSetup") {
    pending = false;
    if (token == "NumCopies" && count.empty()) {
      ReadToken(value);
      if (value != "null") count = value;
    } else if (token == "/NumCopies" && count.empty()) {
      // The name is also tested and looked up ("/NumCopies known"): it gives the count only
      // where a number follows it; any other word is read again as a keyword.
      if (!ReadToken(value)) break;
      if (BeginsWithDigit(value)) {
        count = value;
      } else {
        token = value;
        pending = true;
      }
    } else if (token == "/#copies" && count.empty()) {
      ReadToken(count);
    } else if (token == "/Duplex") {
      ReadToken(value);
      if (value == "true") duplex = true;
    }
  }
  return count;
}

void PostScriptReader::ReadPaper() {
  if (!FindText("\n%%BeginFeature:") || !FindText("*PageSize")) return;
  std::string token;
  if (ReadToken(token)) paperName = WidenBytes(token);
}

bool PostScriptReader::NextPageComment(std::string_view comment, std::int64_t& at,
                                       std::string& value) {
  if (!FindText(comment)) return false;
  at = Source().Position() - static_cast<std::int64_t>(comment.size());
  if (comment == kPageComment) {
    std::string label;
    ReadBalancedToken(label);
    ReadToken(value);
  } else {
    ReadBalancedToken(value);
  }
  StepBackOverLineEnd();
  return true;
}

std::optional<int> PostScriptReader::WalkPageComments(std::string_view comment, bool last) {
  PageCommentMemo& memo = Source().Memo<PageCommentMemo>();
  PageCommentMemo::Kept& kept = comment == kPageComment ? memo.lastPage : memo.pages;
  std::optional<int> found;
  std::int64_t at = 0;
  std::string value;
  // The comments of this document, up to the first after the exit that ends it.
  for (;;) {
    if (!NextPageComment(comment, at, value)) return found;
    if (at >= exitAt_) break;
    if (BeginsWithDigit(value)) {
      found = DecimalValue(value);
      if (!last) return found;
    }
  }
  const std::int64_t meeting = at;
  if (kept.from < 0 || kept.from > meeting ||
      (!last && kept.valueAt >= 0 && kept.valueAt < meeting)) {
    // Walk on from the meeting point (whose comment has been read) and keep what it found.
    kept = PageCommentMemo::Kept{meeting, -1, 0};
    do {
      if (BeginsWithDigit(value)) {
        kept.valueAt = at;
        kept.value = DecimalValue(value);
        if (!last) break;
      }
    } while (NextPageComment(comment, at, value));
  }
  if (kept.valueAt >= meeting) return kept.value;
  return found;
}

void PostScriptReader::CountPages() {
  // The page count of the header or, when it is "(atend)", of the trailer.
  if (std::optional<int> count = WalkPageComments(kPagesComment, false)) {
    pages = *count;
    return;
  }
  Restart();
  const std::int64_t trailers = CountText(Source(), kPageTrailer);
  pages = static_cast<int>(std::min<std::int64_t>(trailers, std::numeric_limits<int>::max()));
  if (pages >= 1) return;
  Restart();
  // The ordinal of the last page comment.
  if (std::optional<int> ordinal = WalkPageComments(kPageComment, true)) pages = *ordinal;
}

}  // namespace gatelib::printing
