#include "gatelib/printing/stream_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

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

// How common a byte is in print data, roughly: blanks, NUL and FF most, then lower-case letters
// and digits, capitals, punctuation, and least the other control and high bytes.
int Commonness(std::uint8_t b) {
  if (b == 0x00 || b == 0xFF || b == ' ' || b == '\n' || b == '\r' || b == '\t') return 4;
  if ((b >= 'a' && b <= 'z') || (b >= '0' && b <= '9')) return 3;
  if (b >= 'A' && b <= 'Z') return 2;
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

}  // namespace

bool FindText(JobData& data, std::string_view text) {
  const auto* pattern = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t m = text.size();
  if (m == 0) return true;
  const std::size_t rare = RareIndex(pattern, m);
  std::vector<std::size_t> border;  // made when a match runs across two windows
  for (;;) {
    std::span<const std::uint8_t> window = data.Window();
    if (window.empty()) return false;
    const std::uint8_t* p = window.data();
    const std::size_t n = window.size();
    // Starts whose whole match lies in the window: look for the text's rarest byte, then
    // compare.
    std::size_t i = 0;
    if (n >= m) {
      const std::size_t limit = n - m + 1;
      while (i < limit) {
        const void* hit = std::memchr(p + i + rare, pattern[rare], limit - i);
        if (hit == nullptr) {
          i = limit;
          break;
        }
        std::size_t start =
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p) - rare;
        if (std::memcmp(p + start, pattern, m) == 0) {
          data.Advance(start + m);
          return true;
        }
        i = start + 1;
      }
    }
    // The first start near the end whose bytes begin the text is the longest partial match.
    while (i < n && !(p[i] == pattern[0] && std::memcmp(p + i, pattern, n - i) == 0)) ++i;
    data.Advance(n);
    if (i == n) continue;
    // Carry the partial match into the next window byte by byte until it completes or fails.
    if (border.empty()) border = Borders(pattern, m);
    std::size_t matched = n - i;
    std::uint8_t byte = 0;
    while (matched > 0) {
      if (!data.GetNextChar(byte)) return false;
      while (matched > 0 && pattern[matched] != byte) matched = border[matched - 1];
      if (pattern[matched] == byte) ++matched;
      if (matched == m) return true;
    }
  }
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

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
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

bool StreamReader::CollectToken(std::string& token, bool balanced) {
  token.clear();
  JobData& data = *source_;
  std::span<const std::uint8_t> window;
  for (;;) {
    window = data.Window();
    if (window.empty()) return false;
    std::size_t i = 0;
    while (i < window.size() && IsSeparator(window[i]) && !(balanced && window[i] == '(')) ++i;
    data.Advance(i);
    if (i < window.size()) break;
  }
  if (balanced && data.Window()[0] == '(') {
    std::int64_t depth = 0;
    for (;;) {
      window = data.Window();
      if (window.empty()) break;
      std::size_t i = 0;
      bool closed = false;
      for (; i < window.size(); ++i) {
        if (window[i] == '(') {
          ++depth;
        } else if (window[i] == ')' && --depth == 0) {
          ++i;
          closed = true;
          break;
        }
      }
      AppendCapped(token, window.data(), i);
      data.Advance(i);
      if (closed) break;
    }
    return true;
  }
  for (;;) {
    window = data.Window();
    if (window.empty()) break;
    std::size_t i = 0;
    while (i < window.size() && !IsSeparator(window[i])) ++i;
    AppendCapped(token, window.data(), i);
    if (i < window.size()) {
      data.Advance(i + 1);  // the separator that ends the token
      break;
    }
    data.Advance(i);
  }
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
