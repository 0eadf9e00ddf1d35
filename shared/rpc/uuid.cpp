#include "shared/rpc/uuid.h"

#include <cstdio>
#include <stdexcept>

namespace rpc {
namespace {

int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

template <typename Char>
std::optional<Uuid> ParseText(std::basic_string_view<Char> text) {
  if (text.size() != 36) return std::nullopt;
  // Text order of the 16 bytes; the first three fields are stored little-endian.
  static constexpr int kTextToWire[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::uint8_t textBytes[16];
  std::size_t at = 0;
  for (int i = 0; i < 16; ++i) {
    if (at == 8 || at == 13 || at == 18 || at == 23) {
      if (text[at] != '-') return std::nullopt;
      ++at;
    }
    int hi = HexValue(static_cast<int>(text[at]));
    int lo = HexValue(static_cast<int>(text[at + 1]));
    if (hi < 0 || lo < 0) return std::nullopt;
    textBytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    at += 2;
  }
  Uuid u;
  for (int i = 0; i < 16; ++i) u.bytes[static_cast<std::size_t>(kTextToWire[i])] = textBytes[i];
  return u;
}

}  // namespace

std::optional<Uuid> Uuid::Parse(std::string_view text) {
  return ParseText(text);
}

std::optional<Uuid> Uuid::Parse(std::wstring_view text) {
  return ParseText(text);
}

Uuid Uuid::Of(std::string_view text) {
  auto u = Parse(text);
  if (!u) throw std::invalid_argument("invalid UUID constant");
  return *u;
}

std::string Uuid::ToString() const {
  const auto& b = bytes;
  char text[37];
  std::snprintf(text, sizeof(text),
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[3], b[2],
                b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return text;
}

bool Uuid::IsNil() const {
  for (auto b : bytes) {
    if (b != 0) return false;
  }
  return true;
}

const SyntaxId& Ndr20() {
  static const SyntaxId id{Uuid::Of("8a885d04-1ceb-11c9-9fe8-08002b104860"), 2, 0};
  return id;
}

const SyntaxId& Ndr64() {
  static const SyntaxId id{Uuid::Of("71710533-beba-4937-8319-b5dbef9ccc36"), 1, 0};
  return id;
}

bool IsBindTimeFeatureNegotiation(const Uuid& transfer) {
  static const Uuid prefix = Uuid::Of("6cb71c2c-9812-4540-0000-000000000000");
  for (int i = 0; i < 8; ++i) {
    if (transfer.bytes[static_cast<std::size_t>(i)] != prefix.bytes[static_cast<std::size_t>(i)])
      return false;
  }
  return true;
}

}  // namespace rpc
