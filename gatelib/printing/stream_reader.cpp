#include "gatelib/printing/stream_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "shared/error/errors.h"

namespace gatelib::printing {
namespace {

void AppendCapped(std::string& token, const std::uint8_t* bytes, std::size_t n) {
  std::size_t room = kMaxTokenBytes - std::min(token.size(), kMaxTokenBytes);
  token.append(reinterpret_cast<const char*>(bytes), std::min(n, room));
}

// For each j, the length of the longest proper prefix of text[0..j] that is also its suffix.
std::vector<std::size_t> Borders(const std::uint8_t* text, std::size_t m) {
  std::vector<std::size_t> border(m, 0);
  std::size_t k = 0;
  for (std::size_t j = 1; j < m; ++j) {
    while (k > 0 && text[j] != text[k]) k = border[k - 1];
    if (text[j] == text[k]) ++k;
    border[j] = k;
  }
  return border;
}

// How common a byte is in print data, roughly: blanks, NUL and FF most, then lower-case letters,
// digits, "%" and "/", capitals, punctuation, and least the other control and high bytes.
int Commonness(std::uint8_t b) {
  if (b == 0x00 || b == 0xFF || b == ' ' || b == '\n' || b == '\r' || b == '\t') return 4;
  // "%" and "/" begin every PostScript comment and name.
  if ((b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '%' || b == '/') return 3;
  // ":" ends the keyword of every structuring comment.
  if ((b >= 'A' && b <= 'Z') || b == ':') return 2;
  if (b > ' ' && b < 0x7F) return 1;
  return 0;
}

// The index of the text's least common byte: the scan looks for it, so that it stops seldom.
std::size_t RareIndex(const std::uint8_t* text, std::size_t m) {
  std::size_t best = 0;
  for (std::size_t k = 1; k < m; ++k) {
    if (Commonness(text[k]) < Commonness(text[best])) best = k;
  }
  return best;
}

// What the searches of one analysis found: the file does not change while it is analysed, so
// a text not found from offset p is not found from any later offset, and a text found ending
// at r (starting at r - m) is found there from every start up to r - m. Readers that search
// the data to its end from each of many segments so pass over each byte once.
class SearchMemo : public JobDataMemo {
 public:
  struct Entry {
    std::string text;
    const char* literal = nullptr;    // where the text was last given
    std::vector<std::size_t> border;  // made when a match first runs across two windows
    std::size_t rare = 0;
    std::int64_t from = -1;       // the search whose answer is kept started here (-1: none yet)
    std::int64_t hitEnd = -1;     // where that match ended; -1: not found
    std::int64_t endOfData = -1;  // where a search that found nothing left the position
    // CountText: the number of matches from countFrom to the end (-1: none kept).
    std::int64_t countFrom = -1;
    std::int64_t count = 0;
  };

  Entry& For(std::string_view text) {
    // The readers search for literals: the same text is mostly at the same address.
    for (Entry& e : entries_) {
      if (e.literal == text.data() && e.text == text) return e;
    }
    for (Entry& e : entries_) {
      if (e.text == text) {
        e.literal = text.data();
        return e;
      }
    }
    Entry* e = nullptr;
    if (entries_.size() < kEntries) {
      e = &entries_.emplace_back();
    } else {
      next_ = (next_ + 1) % kEntries;  // the oldest answer makes room
      e = &entries_[next_];
      *e = Entry{};
    }
    e->text.assign(text);
    e->literal = text.data();
    e->rare = RareIndex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return *e;
  }

  SearchMemo() { entries_.reserve(kEntries); }

 private:
  static constexpr std::size_t kEntries = 16;
  std::vector<Entry> entries_;
  std::size_t next_ = kEntries - 1;
};

// The end of the first match of `e` in bytes[0, n) that starts before `before`, or npos: the
// scan looks for the text's rarest byte, then compares.
std::size_t FirstMatch(const SearchMemo::Entry& e, const std::uint8_t* bytes, std::size_t n,
                       std::size_t before) {
  const std::size_t m = e.text.size();
  const std::size_t rare = e.rare;
  std::size_t i = 0;
  const std::size_t starts = n >= m ? std::min(before, n - m + 1) : 0;
  while (i < starts) {
    const void* hit = std::memchr(bytes + i + rare, e.text[rare], starts - i);
    if (hit == nullptr) break;
    const std::size_t start =
        static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - bytes) - rare;
    if (bytes[start] == static_cast<std::uint8_t>(e.text[0]) &&
        bytes[start + m - 1] == static_cast<std::uint8_t>(e.text[m - 1]) &&
        std::memcmp(bytes + start, e.text.data(), m) == 0) {
      return start + m;
    }
    i = start + 1;
  }
  return std::string::npos;
}

// The search itself, from the position, without the memo.
bool Search(JobData& data, SearchMemo::Entry& e) {
  const auto* pattern = reinterpret_cast<const std::uint8_t*>(e.text.data());
  const std::size_t m = e.text.size();
  for (;;) {
    std::span<const std::uint8_t> window = data.Window();
    if (window.empty()) return false;
    const std::uint8_t* p = window.data();
    const std::size_t n = window.size();
    // Starts whose whole match lies in the window.
    std::size_t i = 0;
    if (n >= m) {
      const std::size_t end = FirstMatch(e, p, n, n);
      if (end != std::string::npos) {
        data.Advance(end);
        return true;
      }
      i = n - m + 1;
    }
    // The first start near the end whose bytes begin the text is the longest partial match.
    while (i < n && !(p[i] == pattern[0] && std::memcmp(p + i, pattern, n - i) == 0)) ++i;
    data.Advance(n);
    if (i == n) continue;
    // Carry the partial match into the next window byte by byte until it completes or fails.
    if (e.border.empty()) e.border = Borders(pattern, m);
    std::size_t matched = n - i;
    std::uint8_t byte = 0;
    while (matched > 0) {
      if (!data.GetNextChar(byte)) return false;
      while (matched > 0 && pattern[matched] != byte) matched = e.border[matched - 1];
      if (pattern[matched] == byte) ++matched;
      if (matched == m) return true;
    }
  }
}

bool FindText(JobData& data, SearchMemo::Entry& e) {
  const std::int64_t from = data.Position();
  const auto m = static_cast<std::int64_t>(e.text.size());
  // The answer kept moves the position by a skip, which keeps the window: a search that comes
  // back to where it started reads nothing again.
  if (e.from >= 0 && from >= e.from) {
    if (e.hitEnd < 0) {
      if (from < e.endOfData) data.Skip(e.endOfData - from);
      return false;
    }
    if (from <= e.hitEnd - m) {
      data.Skip(e.hitEnd - from);
      return true;
    }
  }
  const bool found = Search(data, e);
  e.from = from;
  e.hitEnd = found ? data.Position() : -1;
  e.endOfData = found ? -1 : data.Position();
  return found;
}

}  // namespace

void PrimeSearches(JobData& data, std::initializer_list<std::string_view> texts) {
  SearchMemo& memo = data.Memo<SearchMemo>();
  const std::int64_t from = data.Position();
  // The texts whose search from here is not answered yet.
  std::vector<SearchMemo::Entry*> open;
  std::size_t longest = 0;
  for (std::string_view text : texts) {
    if (text.empty()) continue;
    SearchMemo::Entry& e = memo.For(text);
    const auto m = static_cast<std::int64_t>(text.size());
    const bool answered = e.from >= 0 && from >= e.from && (e.hitEnd < 0 || from <= e.hitEnd - m);
    if (!answered) open.push_back(&e);
    longest = std::max(longest, text.size());
  }
  // The last bytes of the window before, for the matches that run across two windows.
  std::string joint;
  std::int64_t jointAt = 0;
  while (!open.empty()) {
    std::span<const std::uint8_t> window = data.Window();
    const std::int64_t base = data.Position();
    if (window.empty()) {
      // Not found to the end: every later search from here on answers at once.
      for (SearchMemo::Entry* e : open) {
        e->from = from;
        e->hitEnd = -1;
        e->endOfData = base;
      }
      break;
    }
    const std::uint8_t* p = window.data();
    const std::size_t n = window.size();
    const std::size_t carried = joint.size();
    joint.append(reinterpret_cast<const char*>(p), std::min(n, longest - 1));
    for (std::size_t k = 0; k < open.size();) {
      SearchMemo::Entry& e = *open[k];
      std::int64_t end = -1;
      std::size_t at =
          FirstMatch(e, reinterpret_cast<const std::uint8_t*>(joint.data()), joint.size(), carried);
      if (at != std::string::npos) {
        end = jointAt + static_cast<std::int64_t>(at);
      } else if ((at = FirstMatch(e, p, n, n)) != std::string::npos) {
        end = base + static_cast<std::int64_t>(at);
      }
      if (end < 0) {
        ++k;
        continue;
      }
      e.from = from;
      e.hitEnd = end;
      e.endOfData = -1;
      open.erase(open.begin() + static_cast<std::ptrdiff_t>(k));
    }
    const std::size_t keep = std::min(n, longest - 1);
    joint.assign(reinterpret_cast<const char*>(p + n - keep), keep);
    jointAt = base + static_cast<std::int64_t>(n - keep);
    data.Advance(n);
  }
  if (data.Seek(from) < 0) throw new SystemError(L"file.Seek", L"StreamReader::FindText");
}

bool FindText(JobData& data, std::string_view text) {
  if (text.empty()) return true;
  return FindText(data, data.Memo<SearchMemo>().For(text));
}

std::int64_t CountText(JobData& data, std::string_view text) {
  if (text.empty()) return 0;
  SearchMemo::Entry& e = data.Memo<SearchMemo>().For(text);
  const std::int64_t from = data.Position();
  const auto m = static_cast<std::int64_t>(e.text.size());
  if (e.border.empty()) {
    e.border = Borders(reinterpret_cast<const std::uint8_t*>(e.text.data()), e.text.size());
  }
  // Two matches of a text without a border cannot overlap, so the count from an offset is the
  // number of matches that start there or later: a later count is the one kept less the
  // matches that start between the two offsets.
  const bool overlapFree = e.border.back() == 0;
  std::int64_t count = 0;
  if (overlapFree && e.countFrom >= 0 && from >= e.countFrom && data.Seek(e.countFrom) >= 0) {
    std::int64_t before = 0;
    while (FindText(data, e) && data.Position() - m < from) ++before;
    count = e.count - before;
    // The position ends where a search to the end would leave it.
    const std::int64_t size = data.Size();
    if (size >= 0) {
      data.Skip(std::max(from, size) - data.Position());
    } else {
      while (FindText(data, e)) {
      }
    }
  } else {
    while (FindText(data, e)) ++count;
  }
  if (overlapFree) {
    e.countFrom = from;
    e.count = count;
  }
  return count;
}

bool SkipPast(JobData& data, std::uint8_t byte) {
  for (;;) {
    std::span<const std::uint8_t> window = data.Window();
    if (window.empty()) return false;
    const void* hit = std::memchr(window.data(), byte, window.size());
    if (hit != nullptr) {
      data.Advance(static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - window.data()) +
                   1);
      return true;
    }
    data.Advance(window.size());
  }
}

int DecimalValue(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::numeric_limits<int>::max()) value = std::numeric_limits<int>::max();
  }
  return static_cast<int>(negative ? -value : value);
}

void UpperAsciiInPlace(std::string& text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  UpperAsciiInPlace(upper);
  return upper;
}

bool StreamReader::SkipSeparators() {
  for (;;) {
    std::span<const std::uint8_t> window = source_->Window();
    if (window.empty()) return false;
    std::size_t i = 0;
    while (i < window.size() && separators_.Contains(window[i])) ++i;
    source_->Advance(i);
    if (i < window.size()) return true;
  }
}

std::wstring WidenBytes(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

bool StreamReader::Read(JobData& source) {
  SetSource(source);
  return false;
}

bool StreamReader::ReadToken(std::string& token) {
  return CollectToken(token, false);
}

bool StreamReader::ReadBalancedToken(std::string& token) {
  return CollectToken(token, true);
}

bool StreamReader::UniversalExitAhead() {
  JobData& data = *source_;
  std::span<const std::uint8_t> window = data.Window();
  const std::size_t n = std::min(window.size(), kUniversalExit.size());
  if (n == 0 || std::memcmp(window.data(), kUniversalExit.data(), n) != 0) return false;
  if (n == kUniversalExit.size()) return true;
  // The exit would run across the window's end: look, then come back.
  const std::int64_t here = data.Position();
  const bool found = MatchText(kUniversalExit);
  if (found && data.Seek(here) < 0) throw new SystemError(L"file.Seek", L"StreamReader::ReadToken");
  return found;
}

bool StreamReader::CollectToken(std::string& token, bool balanced) {
  token.clear();
  JobData& data = *source_;
  const SeparatorSet& separators = separators_;
  std::span<const std::uint8_t> window;
  for (;;) {
    window = data.Window();
    if (window.empty()) return false;
    std::size_t i = 0;
    while (i < window.size() && separators.Contains(window[i]) && !(balanced && window[i] == '(')) {
      ++i;
    }
    data.Advance(i);
    if (i < window.size()) break;
  }
  if (tokensEndAtExit_ && data.Window()[0] == kEscape && UniversalExitAhead()) return false;
  // Bytes up to the first that `stop` accepts (or an escape): an escape that begins a
  // universal exit ends the token when tokens end there; `stop` says whether the byte it
  // accepted is consumed.
  auto collect = [&](bool keepStopByte, auto stop) {
    for (;;) {
      window = data.Window();
      if (window.empty()) return;
      std::size_t i = 0;
      int verdict = 0;  // 0 go on, 1 stop before the byte, 2 stop after it
      for (; i < window.size(); ++i) {
        if (window[i] == kEscape && tokensEndAtExit_) break;
        verdict = stop(window[i]);
        if (verdict != 0) break;
      }
      if (verdict == 2) {
        // The closing parenthesis is kept, the separator that ends a plain token is not.
        AppendCapped(token, window.data(), keepStopByte ? i + 1 : i);
        data.Advance(i + 1);
        return;
      }
      AppendCapped(token, window.data(), i);
      data.Advance(i);
      if (verdict != 0) return;
      if (i < window.size()) {  // an escape
        if (UniversalExitAhead()) return;
        AppendCapped(token, data.Window().data(), 1);
        data.Advance(1);
      }
    }
  };
  if (balanced && data.Window()[0] == '(') {
    std::int64_t depth = 0;
    collect(true, [&](std::uint8_t b) {
      if (b == '(') ++depth;
      return b == ')' && --depth == 0 ? 2 : 0;
    });
    return true;
  }
  collect(false, [&](std::uint8_t b) { return separators.Contains(b) ? 2 : 0; });
  return true;
}

bool StreamReader::FindText(std::string_view text) {
  return printing::FindText(*source_, text);
}

bool StreamReader::SkipPast(std::uint8_t byte) {
  return printing::SkipPast(*source_, byte);
}

bool StreamReader::ReadU16(std::uint16_t& value, bool littleEndian) {
  std::uint8_t a = 0;
  std::uint8_t b = 0;
  if (!source_->GetNextChar(a) || !source_->GetNextChar(b)) return false;
  value = littleEndian ? static_cast<std::uint16_t>(a | b << 8)
                       : static_cast<std::uint16_t>(a << 8 | b);
  return true;
}

bool StreamReader::ReadU32(std::uint32_t& value, bool littleEndian) {
  std::uint32_t v = 0;
  for (int k = 0; k < 4; ++k) {
    std::uint8_t b = 0;
    if (!source_->GetNextChar(b)) return false;
    v = littleEndian ? v | std::uint32_t{b} << (8 * k) : v << 8 | b;
  }
  value = v;
  return true;
}

bool StreamReader::MatchText(std::string_view text) {
  JobData& data = *source_;
  std::span<const std::uint8_t> window = data.Window();
  if (window.size() >= text.size()) {
    if (std::memcmp(window.data(), text.data(), text.size()) != 0) return false;
    data.Advance(text.size());
    return true;
  }
  // The text runs past the window: byte by byte, then back over what was read.
  std::int64_t read = 0;
  for (char c : text) {
    std::uint8_t byte = 0;
    if (!data.GetNextChar(byte)) {
      data.Skip(-read);
      return false;
    }
    ++read;
    if (byte != static_cast<std::uint8_t>(c)) {
      data.Skip(-read);
      return false;
    }
  }
  return true;
}

}  // namespace gatelib::printing
