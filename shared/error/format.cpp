#include "shared/error/format.h"

namespace tollgate {
namespace {

std::wstring Digits(std::uint64_t v, unsigned base, bool upper) {
  const wchar_t* set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
  std::wstring out;
  do {
    out.insert(out.begin(), set[v % base]);
    v /= base;
  } while (v != 0);
  return out;
}

}  // namespace

std::wstring FormatW(std::wstring_view format, std::initializer_list<FormatArg> args) {
  std::wstring out;
  out.reserve(format.size() + 16);
  auto next = args.begin();
  std::size_t i = 0;
  while (i < format.size()) {
    wchar_t c = format[i];
    if (c != L'%') {
      out += c;
      ++i;
      continue;
    }
    std::size_t start = i++;
    if (i < format.size() && format[i] == L'%') {
      out += L'%';
      ++i;
      continue;
    }
    bool left = false, zero = false, plus = false, space = false;
    for (; i < format.size(); ++i) {
      wchar_t f = format[i];
      if (f == L'-') {
        left = true;
      } else if (f == L'0') {
        zero = true;
      } else if (f == L'+') {
        plus = true;
      } else if (f == L' ') {
        space = true;
      } else {
        break;
      }
    }
    std::size_t width = 0;
    while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') {
      width = width * 10 + static_cast<std::size_t>(format[i++] - L'0');
    }
    std::size_t precision = std::wstring::npos;
    if (i < format.size() && format[i] == L'.') {
      precision = 0;
      ++i;
      while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') {
        precision = precision * 10 + static_cast<std::size_t>(format[i++] - L'0');
      }
    }
    // Length modifiers carry no meaning here: the argument knows its type.
    while (i < format.size() &&
           (format[i] == L'l' || format[i] == L'h' || format[i] == L'I' || format[i] == L'z' ||
            format[i] == L'j' || format[i] == L'6' || format[i] == L'4')) {
      ++i;
    }
    if (i >= format.size()) {
      out.append(format.substr(start));
      break;
    }
    wchar_t conv = format[i++];
    std::wstring_view directive = format.substr(start, i - start);
    if (next == args.end()) {
      out.append(directive);
      continue;
    }
    const auto& value = next->Value();
    std::wstring body;
    if (conv == L's') {
      if (!std::holds_alternative<std::wstring_view>(value)) {
        out.append(directive);
        ++next;
        continue;
      }
      body = std::wstring(std::get<std::wstring_view>(value).substr(0, precision));
    } else if (conv == L'd' || conv == L'i' || conv == L'u' || conv == L'x' || conv == L'X' ||
               conv == L'c') {
      if (std::holds_alternative<std::wstring_view>(value)) {
        out.append(directive);
        ++next;
        continue;
      }
      std::int64_t s = std::holds_alternative<std::int64_t>(value)
                           ? std::get<std::int64_t>(value)
                           : static_cast<std::int64_t>(std::get<std::uint64_t>(value));
      std::uint64_t u = std::holds_alternative<std::uint64_t>(value)
                            ? std::get<std::uint64_t>(value)
                            : static_cast<std::uint64_t>(std::get<std::int64_t>(value));
      if (conv == L'c') {
        body = std::wstring(1, static_cast<wchar_t>(u));
      } else if (conv == L'd' || conv == L'i') {
        std::wstring sign = s < 0 ? L"-" : plus ? L"+" : space ? L" " : L"";
        std::uint64_t magnitude =
            s < 0 ? 0 - static_cast<std::uint64_t>(s) : static_cast<std::uint64_t>(s);
        std::wstring digits = Digits(magnitude, 10, false);
        if (zero && !left && width > sign.size() + digits.size()) {
          digits.insert(0, width - sign.size() - digits.size(), L'0');
        }
        body = sign + digits;
      } else {
        // %u, %x and %X show the 32-bit value of a negative int, as printf does.
        if (std::holds_alternative<std::int64_t>(value) && s < 0 && s >= INT32_MIN) {
          u = static_cast<std::uint32_t>(s);
        }
        body = Digits(u, conv == L'u' ? 10 : 16, conv == L'X');
        if (zero && !left && width > body.size()) body.insert(0, width - body.size(), L'0');
      }
    } else {
      out.append(directive);
      ++next;
      continue;
    }
    if (body.size() < width) {
      if (left) {
        body.append(width - body.size(), L' ');
      } else {
        body.insert(0, width - body.size(), L' ');
      }
    }
    out += body;
    ++next;
  }
  return out;
}

}  // namespace tollgate
