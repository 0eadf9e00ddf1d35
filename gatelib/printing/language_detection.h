// Recognising the language of the segment at the read position from its first bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "gatelib/printing/job_data.h"
#include "gatelib/printing/printer_language.h"

namespace gatelib::printing {

// One node of the signature tree: its byte and either children (indices into the table) or,
// at a leaf, the language that the path to it spells.
struct SignatureNode {
  static constexpr std::size_t kMaxChildren = 19;
  std::uint8_t byte = 0;
  std::uint8_t childCount = 0;
  std::array<std::uint8_t, kMaxChildren> children{};
  PrinterLanguage language = PrinterLanguage::Unknown;
};

// The signatures of every detectable language as a flat tree; node 0 is the root, whose NUL
// child is itself, so that any number of NUL bytes may come before a signature.
class LanguageSignatureTable {
 public:
  static std::span<const SignatureNode> Nodes();
};

// Walks the signature table from the position: PL_EOF when the data ends first, Unknown when
// a byte leads nowhere. The bytes read are consumed (no backtracking); a reader that needs
// its signature moves back over it itself.
PrinterLanguage DetectLanguage(JobData& data);

}  // namespace gatelib::printing
