#include "gatelib/printing/language_detection.h"

#include <gtest/gtest.h>

#include "gatelib/printing/test_support.h"

namespace gatelib::printing {
namespace {

using L = PrinterLanguage;
using test::Probe;
using tollgate::testing::Wide;
using tollgate::testing::WriteBytes;

class DetectLanguageTest : public tollgate::testing::MachineTest {
 protected:
  // The language detected at the start of `bytes` and the position after detection.
  std::pair<L, std::int64_t> Detect(const std::string& bytes, std::size_t window = 64) {
    WriteBytes(Folder() / "data", bytes);
    std::pair<L, std::int64_t> seen{};
    Probe probe(window, [&](Probe& data) {
      seen.first = DetectLanguage(data);
      seen.second = data.Position();
      return 0;
    });
    probe.Open(Wide(Folder() / "data"), nullptr);
    return seen;
  }
};

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

TEST_F(DetectLanguageTest, EverySignatureIsRecognisedAndConsumed) {
  const std::string esc = "\x1b";
  const struct {
    std::string bytes;
    L language;
  } cases[] = {
      {esc + "E", L::PCL},
      {esc + "%-12345X", L::UEL},
      {"%-12345X", L::UEL},
      {esc + "%!", L::POSTSCRIPT},
      {"%!", L::POSTSCRIPT},
      {esc + "%PDF", L::PDF},
      {"%PDF", L::PDF},
      {esc + "%%XRXbegin", L::XRX},
      {"%%XRXbegin", L::XRX},
      {esc + "[K", L::BJ},
      {esc + "@", L::ESCP2},
      {esc + B({0x01}), L::EJL},
      {"@PJL", L::PJL},
      {"!R!", L::PRESCRIBE},
      {"ZIMF", L::ZIMF},
      {B({0x01, 0x00, 0xCE, 0xDA, 0xDE, 0xFA}), L::CANON_IMAGERUNNER},
      {B({0x01, 0x00, 0x18, 0x00, 0x18, 0x00, 0xCE, 0xDA, 0xDE, 0xFA}), L::CANON_IMAGERUNNER},
      {"JZJZ", L::ZJSTREAM},
      {B({0x81, 0x81}), L::SHARP_GDI},
      {B({0xFF, 0x05, 0xFF, 'U'}), L::MINOLTADI16},
      {B({0xFF, 0x05, 0x05, 0x05, 0xFF, 0x05, 0x05, 0xFF, 0x05, 0xFF, 'U'}), L::MINOLTADI16},
      {"DMCS", L::SPL},
      {B({0xCD, 0xCA, 0x10}), L::CANON_IR2200},
      {"$", L::LIDIL},
      {B({0x03, ';'}), L::HPGL},
      {",XQX", L::XQX},
      {B({0x04}), L::PL_EOF},
      {"<?xml", L::XML},
      {B({'P', 'K', 0x03, 0x04}), L::XPS},
      {"#PDF-BANNER", L::PDF_BANNER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(LanguageName(c.language));
    // The signature is consumed; what follows it is left for the reader.
    auto [language, position] = Detect(c.bytes + "rest");
    EXPECT_EQ(language, c.language);
    EXPECT_EQ(position, static_cast<std::int64_t>(c.bytes.size()));
    // Leading NUL bytes, also over window boundaries, are passed over.
    std::string nuls(37, '\0');
    auto [afterNuls, positionAfterNuls] = Detect(nuls + c.bytes, 8);
    EXPECT_EQ(afterNuls, c.language);
    EXPECT_EQ(positionAfterNuls, static_cast<std::int64_t>(nuls.size() + c.bytes.size()));
  }
}

TEST_F(DetectLanguageTest, NoBacktrackingAndTheEndOfTheData) {
  const struct {
    std::string bytes;
    L language;
    std::int64_t position;
  } cases[] = {
      {"PCL XL", L::Unknown, 2},    // "P" leads to "PK" only
      {"%-12345Y", L::Unknown, 8},  // the bytes read are not given back
      {"\x1b%-12", L::PL_EOF, 5},   // the data ends inside a signature
      {"", L::PL_EOF, 0},
      {std::string(100000, '\0'), L::PL_EOF, 100000},
      {B({0x01, 0x00, 0x18, 0x01}), L::Unknown, 4},
      {B({0xFF, 0x05, 0xFF, 0xFF}), L::Unknown, 4},
      {"@PJ", L::PL_EOF, 3},
      {"\x1b"
       "F",
       L::Unknown, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 16));
    auto [language, position] = Detect(c.bytes, 7);
    EXPECT_EQ(language, c.language);
    EXPECT_EQ(position, c.position);
  }
}

TEST(LanguageSignatureTable, IsAFlatTreeWithTheRootAsItsOwnNulChild) {
  auto nodes = LanguageSignatureTable::Nodes();
  ASSERT_FALSE(nodes.empty());
  EXPECT_EQ(nodes[0].byte, 0);
  EXPECT_EQ(nodes[0].childCount, SignatureNode::kMaxChildren);
  EXPECT_EQ(nodes[0].children[0], 0);
  for (const SignatureNode& node : nodes) {
    EXPECT_LE(node.childCount, SignatureNode::kMaxChildren);
    for (std::size_t k = 0; k < node.childCount; ++k) EXPECT_LT(node.children[k], nodes.size());
  }
}

}  // namespace
}  // namespace gatelib::printing
