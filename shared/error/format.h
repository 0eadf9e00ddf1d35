// printf-style formatting of wide text with typed arguments. The conversions are those of
// the Windows wide printf family: %s takes wide text, %d %i %u %x %X %c integers, with the
// flags "-", "0", "+", " ", a width and, for text, a precision; %% is a percent sign.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace tollgate {

class FormatArg {
 public:
  FormatArg(const wchar_t* s) : value_(std::wstring_view(s == nullptr ? L"(null)" : s)) {}
  FormatArg(const std::wstring& s) : value_(std::wstring_view(s)) {}
  FormatArg(std::wstring_view s) : value_(s) {}
  FormatArg(int v) : value_(static_cast<std::int64_t>(v)) {}
  FormatArg(long v) : value_(static_cast<std::int64_t>(v)) {}
  FormatArg(long long v) : value_(static_cast<std::int64_t>(v)) {}
  FormatArg(unsigned v) : value_(static_cast<std::uint64_t>(v)) {}
  FormatArg(unsigned long v) : value_(static_cast<std::uint64_t>(v)) {}
  FormatArg(unsigned long long v) : value_(static_cast<std::uint64_t>(v)) {}

  const std::variant<std::wstring_view, std::int64_t, std::uint64_t>& Value() const {
    return value_;
  }

 private:
  std::variant<std::wstring_view, std::int64_t, std::uint64_t> value_;
};

// Formats `format` with `args`. A conversion without an argument, or whose argument is of
// the other kind (text for a number or a number for text), is written as it stands.
std::wstring FormatW(std::wstring_view format, std::initializer_list<FormatArg> args);

}  // namespace tollgate
