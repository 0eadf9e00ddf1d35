#include "shared/rpc/ndr.h"

namespace rpc::ndr {

std::u16string Utf16FromWide(std::wstring_view text) {
  std::u16string units;
  units.reserve(text.size());
  for (wchar_t c : text) {
    auto v = static_cast<std::uint32_t>(c);
    if constexpr (sizeof(wchar_t) == 2) {
      units.push_back(static_cast<char16_t>(v));
    } else if (v >= 0x10000 && v <= 0x10FFFF) {
      v -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else if (v > 0x10FFFF) {
      units.push_back(u'\uFFFD');
    } else {
      units.push_back(static_cast<char16_t>(v));
    }
  }
  return units;
}

std::wstring WideFromUtf16(std::u16string_view units) {
  std::wstring text;
  text.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t u = units[i];
    if constexpr (sizeof(wchar_t) == 2) {
      text.push_back(static_cast<wchar_t>(u));
    } else {
      if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
          units[i + 1] <= 0xDFFF) {
        u = 0x10000 + ((u - 0xD800) << 10) + (static_cast<std::uint32_t>(units[i + 1]) - 0xDC00);
        ++i;
      }
      text.push_back(static_cast<wchar_t>(u));
    }
  }
  return text;
}

void Writer::String(std::string_view narrow) {
  auto n = static_cast<std::uint32_t>(narrow.size() + 1);
  Conformance(n);
  Variance(0, n);
  Bytes(narrow.data(), narrow.size());
  U8(0);
}

void Writer::WideChars(std::wstring_view text) {
  std::u16string units = Utf16FromWide(text);
  for (char16_t u : units) Scalar(static_cast<std::uint16_t>(u));
}

std::uint32_t Writer::Utf16Length(std::wstring_view text) {
  std::uint32_t n = static_cast<std::uint32_t>(text.size());
  if constexpr (sizeof(wchar_t) > 2) {
    // Characters beyond the first plane take a surrogate pair.
    for (wchar_t c : text) {
      auto v = static_cast<std::uint32_t>(c);
      if (v >= 0x10000 && v <= 0x10FFFF) ++n;
    }
  }
  return n;
}

void Writer::WideString(std::wstring_view text) {
  std::uint32_t n = Utf16Length(text) + 1;
  Conformance(n);
  Variance(0, n);
  WideChars(text);
  U16(0);
}

void Reader::Bad() {
  throw RpcException(RPC_X_BAD_STUB_DATA);
}

std::uint32_t Reader::StringHeader(std::size_t unit) {
  Align(4);
  std::uint32_t maxCount = U32();
  std::uint32_t offset = U32();
  std::uint32_t actual = U32();
  // A string holds at least its terminator, starts at offset 0 and fits its maximum.
  if (offset != 0 || actual == 0 || actual > maxCount) Bad();
  CheckCount(actual, unit);
  return actual;
}

std::string Reader::String() {
  std::uint32_t n = StringHeader(1);
  auto view = View(n);
  if (view[n - 1] != 0) Bad();
  return std::string(reinterpret_cast<const char*>(view.data()), n - 1);
}

std::wstring Reader::WideChars(std::uint32_t count) {
  CheckCount(count, 2);
  std::u16string units(count, u'\0');
  for (std::uint32_t i = 0; i < count; ++i) units[i] = static_cast<char16_t>(U16());
  return WideFromUtf16(units);
}

std::wstring Reader::WideString() {
  std::uint32_t n = StringHeader(2);
  std::wstring text = WideChars(n - 1);
  if (U16() != 0) Bad();
  return text;
}

}  // namespace rpc::ndr
