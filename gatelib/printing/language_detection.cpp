#include "gatelib/printing/language_detection.h"

#include <string_view>

namespace gatelib::printing {
namespace {

using L = PrinterLanguage;

struct TableBuilder {
  std::array<SignatureNode, 128> nodes{};
  std::size_t count = 1;  // the root, byte NUL

  constexpr std::size_t Child(std::size_t node, std::uint8_t byte) {
    SignatureNode& parent = nodes[node];
    for (std::size_t k = 0; k < parent.childCount; ++k) {
      if (nodes[parent.children[k]].byte == byte) return parent.children[k];
    }
    nodes[count].byte = byte;
    Link(node, count);
    return count++;
  }
  // The node at the end of `bytes` from `from`, made where missing.
  constexpr std::size_t Path(std::string_view bytes, std::size_t from = 0) {
    std::size_t node = from;
    for (char c : bytes) node = Child(node, static_cast<std::uint8_t>(c));
    return node;
  }
  constexpr void Add(std::string_view bytes, L language) { nodes[Path(bytes)].language = language; }
  // Makes `to` a child of `from`: the edge's byte is the byte of `to`.
  constexpr void Link(std::size_t from, std::size_t to) {
    SignatureNode& parent = nodes[from];
    if (parent.childCount >= SignatureNode::kMaxChildren)
      throw "too many children";  // fails the constant evaluation
    parent.children[parent.childCount++] = static_cast<std::uint8_t>(to);
  }
};

constexpr TableBuilder Build() {
  using namespace std::string_view_literals;
  TableBuilder b;
  b.Link(0, 0);  // leading NUL bytes
  b.Add(
      "\x1b"
      "E"sv,
      L::PCL);
  // "%" signatures, with or without ESC: ESC "%" leads into the same branch.
  b.Add("%-12345X"sv, L::UEL);
  b.Add("%!"sv, L::POSTSCRIPT);
  b.Add("%PDF"sv, L::PDF);
  b.Add("%%XRXbegin"sv, L::XRX);
  b.Link(b.Path("\x1b"sv), b.Path("%"sv));
  b.Add("\x1b[K"sv, L::BJ);
  b.Add("\x1b@"sv, L::ESCP2);
  b.Add("\x1b\x01"sv, L::EJL);
  b.Add("@PJL"sv, L::PJL);
  b.Add("!R!"sv, L::PRESCRIBE);
  b.Add("ZIMF"sv, L::ZIMF);
  // 01 00, any number of 18 00, then CE DA DE FA.
  b.Add("\x01\x00\xCE\xDA\xDE\xFA"sv, L::CANON_IMAGERUNNER);
  b.Link(b.Path("\x01\x00\x18"sv), b.Path("\x01\x00"sv));
  b.Add("JZJZ"sv, L::ZJSTREAM);
  b.Add("\x81\x81"sv, L::SHARP_GDI);
  // FF 05, any sequence of 05 or FF 05, then FF "U".
  b.Add(
      "\xFF\x05\xFF"
      "U"sv,
      L::MINOLTADI16);
  b.Link(b.Path("\xFF\x05"sv), b.Path("\xFF\x05"sv));
  b.Link(b.Path("\xFF\x05\xFF"sv), b.Path("\xFF\x05"sv));
  b.Add("DMCS"sv, L::SPL);
  b.Add("\xCD\xCA\x10"sv, L::CANON_IR2200);
  b.Add("$"sv, L::LIDIL);
  b.Add("\x03;"sv, L::HPGL);
  b.Add(",XQX"sv, L::XQX);
  b.Add("\x04"sv, L::PL_EOF);
  b.Add("<?xml"sv, L::XML);
  b.Add("PK\x03\x04"sv, L::XPS);
  b.Add("#PDF-BANNER"sv, L::PDF_BANNER);
  return b;
}

constexpr std::size_t kNodeCount = Build().count;

constexpr std::array<SignatureNode, kNodeCount> MakeTable() {
  TableBuilder b = Build();
  std::array<SignatureNode, kNodeCount> table{};
  for (std::size_t i = 0; i < kNodeCount; ++i) table[i] = b.nodes[i];
  return table;
}

constexpr std::array<SignatureNode, kNodeCount> kTable = MakeTable();

// Every path ends in a language: a node without children is a leaf with one.
constexpr bool LeavesHaveLanguages() {
  for (const SignatureNode& node : kTable) {
    if (node.childCount == 0 && node.language == L::Unknown) return false;
    if (node.childCount != 0 && node.language != L::Unknown) return false;
  }
  return true;
}
static_assert(LeavesHaveLanguages());
static_assert(kTable[0].children[0] == 0 && kTable[0].byte == 0);

}  // namespace

std::span<const SignatureNode> LanguageSignatureTable::Nodes() {
  return kTable;
}

PrinterLanguage DetectLanguage(JobData& data) {
  std::size_t node = 0;
  for (;;) {
    const SignatureNode& current = kTable[node];
    if (current.childCount == 0) return current.language;
    if (node == 0) {
      // A run of leading NUL bytes, passed over a window at a time.
      for (;;) {
        std::span<const std::uint8_t> window = data.Window();
        std::size_t i = 0;
        while (i < window.size() && window[i] == 0) ++i;
        data.Advance(i);
        if (i < window.size() || window.empty()) break;
      }
    }
    std::uint8_t byte = 0;
    if (!data.GetNextChar(byte)) return L::PL_EOF;
    std::size_t next = kNodeCount;
    for (std::size_t k = 0; k < current.childCount; ++k) {
      if (kTable[current.children[k]].byte == byte) {
        next = current.children[k];
        break;
      }
    }
    if (next == kNodeCount) return L::Unknown;
    node = next;
  }
}

}  // namespace gatelib::printing
