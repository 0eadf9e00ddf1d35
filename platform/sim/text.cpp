#include "platform/sim/text.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace platform::sim {
namespace {

// Windows-1252 bytes 0x80 to 0x9F; the five undefined ones map to the C1 controls, as
// MultiByteToWideChar does.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

wchar_t FromCp1252(unsigned char b) {
  if (b >= 0x80 && b <= 0x9F) return static_cast<wchar_t>(kCp1252High[b - 0x80]);
  return static_cast<wchar_t>(b);
}

char ToCp1252(wchar_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (int i = 0; i < 32; ++i) {
    if (static_cast<wchar_t>(kCp1252High[i]) == c) return static_cast<char>(0x80 + i);
  }
  return '?';
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x110000) {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    AppendUtf8(out, 0xFFFD);
  }
}

// Decodes UTF-8; an ill-formed sequence gives U+FFFD for its first byte.
std::wstring DecodeUtf8(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    char32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = extra >= 0 && i + static_cast<std::size_t>(extra) < s.size();
    for (int k = 1; ok && k <= extra; ++k) {
      unsigned char n = static_cast<unsigned char>(s[i + k]);
      if ((n & 0xC0) != 0x80) {
        ok = false;
      } else {
        c = (c << 6) | (n & 0x3F);
      }
    }
    if (ok && extra > 0) {
      static constexpr char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
      ok = c >= kMin[extra] && c < 0x110000 && !(c >= 0xD800 && c <= 0xDFFF);
    }
    if (!ok) {
      out += L'\xFFFD';
      ++i;
      continue;
    }
    out += static_cast<wchar_t>(c);
    i += extra + 1;
  }
  return out;
}

}  // namespace

std::wstring WideFromCp1252(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  for (char b : bytes) out += FromCp1252(static_cast<unsigned char>(b));
  return out;
}

std::string Cp1252FromWide(std::wstring_view text, bool* lossless) {
  std::string out;
  out.reserve(text.size());
  bool exact = true;
  for (wchar_t c : text) {
    char b = ToCp1252(c);
    if (b == '?' && c != L'?') exact = false;
    out += b;
  }
  if (lossless != nullptr) *lossless = exact;
  return out;
}

namespace {

// An iconv conversion of the code page, closed with the object.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  ~Converter() {
    if (Ok()) ::iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool Ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Converts `in` as far as it can; the bytes it could not take stay in `in`.
  void Run(std::string_view* in, std::string* out) {
    char buffer[256];
    while (!in->empty()) {
      char* from = const_cast<char*>(in->data());
      std::size_t left = in->size();
      char* to = buffer;
      std::size_t room = sizeof buffer;
      std::size_t rc = ::iconv(cd_, &from, &left, &to, &room);
      out->append(buffer, static_cast<std::size_t>(to - buffer));
      *in = in->substr(in->size() - left);
      if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) break;
    }
    // The shift state back to its start (no bytes for the code pages here).
    char* to = buffer;
    std::size_t room = sizeof buffer;
    ::iconv(cd_, nullptr, nullptr, &to, &room);
    out->append(buffer, static_cast<std::size_t>(to - buffer));
  }

 private:
  iconv_t cd_;
};

std::string CodePageName(unsigned codePage) {
  return "CP" + std::to_string(codePage);
}

}  // namespace

bool NarrowFromWide(unsigned codePage, std::wstring_view text, std::string* out,
                    bool* usedDefault) {
  Converter c(CodePageName(codePage).c_str(), "UTF-32LE");
  if (!c.Ok()) return false;
  std::string units;
  units.reserve(text.size() * 4);
  for (wchar_t w : text) {
    auto v = static_cast<std::uint32_t>(w);
    for (int k = 0; k < 4; ++k) units += static_cast<char>((v >> (8 * k)) & 0xFF);
  }
  std::string_view in(units);
  bool defaulted = false;
  out->clear();
  while (!in.empty()) {
    c.Run(&in, out);
    if (in.empty()) break;
    // A character the code page has no bytes for: the default character, as Windows writes.
    out->push_back('?');
    defaulted = true;
    in.remove_prefix(std::min<std::size_t>(4, in.size()));
  }
  if (usedDefault != nullptr) *usedDefault = defaulted;
  return true;
}

bool WideFromNarrow(unsigned codePage, std::string_view bytes, std::wstring* out) {
  Converter c("UTF-32LE", CodePageName(codePage).c_str());
  if (!c.Ok()) return false;
  out->clear();
  std::string_view in(bytes);
  std::string units;
  while (!in.empty()) {
    c.Run(&in, &units);
    if (in.empty()) break;
    // A byte that starts no character of the code page (or a lead byte at the end).
    units.append("\x3F\0\0\0", 4);
    in.remove_prefix(1);
  }
  for (std::size_t i = 0; i + 4 <= units.size(); i += 4) {
    std::uint32_t v = static_cast<unsigned char>(units[i]) |
                      (static_cast<std::uint32_t>(static_cast<unsigned char>(units[i + 1])) << 8) |
                      (static_cast<std::uint32_t>(static_cast<unsigned char>(units[i + 2])) << 16) |
                      (static_cast<std::uint32_t>(static_cast<unsigned char>(units[i + 3])) << 24);
    out->push_back(static_cast<wchar_t>(v));
  }
  return true;
}

std::string Utf8FromWide(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) AppendUtf8(out, static_cast<char32_t>(c));
  return out;
}

std::wstring WideFromUtf8(std::string_view bytes) {
  return DecodeUtf8(bytes);
}

std::vector<std::uint8_t> Utf16LeFromWide(std::wstring_view text) {
  std::vector<std::uint8_t> out;
  out.reserve(text.size() * 2);
  auto put = [&out](unsigned u) {
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  };
  for (wchar_t c : text) {
    auto v = static_cast<char32_t>(c);
    if (v >= 0x10000 && v < 0x110000) {
      v -= 0x10000;
      put(0xD800 + (v >> 10));
      put(0xDC00 + (v & 0x3FF));
    } else {
      put(v > 0xFFFF ? 0xFFFD : v);
    }
  }
  return out;
}

std::wstring WideFromUtf16Le(const std::uint8_t* data, std::size_t size) {
  std::wstring out;
  out.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    char32_t u = data[i] | (data[i + 1] << 8);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < size) {
      char32_t low = data[i + 2] | (data[i + 3] << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    out += static_cast<wchar_t>(u);
  }
  return out;
}

}  // namespace platform::sim
