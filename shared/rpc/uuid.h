// UUIDs and the syntax identifiers (interface or transfer syntax with its version).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rpc {

// A UUID in its NDR form: the first three fields little-endian, the last eight bytes as written.
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  // "b9969d8a-327c-405a-be87-c6408967b4bf" (either case); nullopt for anything else.
  static std::optional<Uuid> Parse(std::string_view text);
  static std::optional<Uuid> Parse(std::wstring_view text);
  // Parses a constant of the program's own; an invalid text is a programming error.
  static Uuid Of(std::string_view text);
  std::string ToString() const;  // lower case
  bool IsNil() const;
  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

struct SyntaxId {  // RPC_SYNTAX_IDENTIFIER
  Uuid uuid;
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  friend bool operator==(const SyntaxId&, const SyntaxId&) = default;
};

// The NDR 2.0 transfer syntax, 8a885d04-1ceb-11c9-9fe8-08002b104860 version 2.0.
const SyntaxId& Ndr20();
// NDR64, which this runtime does not offer.
const SyntaxId& Ndr64();
// Bind time feature negotiation: a transfer syntax whose UUID starts with these 8 bytes.
bool IsBindTimeFeatureNegotiation(const Uuid& transfer);

}  // namespace rpc
