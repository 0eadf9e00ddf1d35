#include "tools/tollcount/tollcount.h"

#include <gtest/gtest.h>

namespace tollgate::tollcount {
namespace {

using gatelib::printing::PrinterLanguage;

std::optional<Options> Parse(std::vector<std::wstring> args, std::wstring* error) {
  args.insert(args.begin(), L"tollcount");
  return ParseOptions(args, error);
}

TEST(TollcountOptions, ReadsOptionsAndFiles) {
  std::wstring error;
  auto options =
      Parse({L"--json", L"a.spl", L"--language=postscript", L"-", L"--", L"--text"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_TRUE(options->json);
  EXPECT_FALSE(options->text);
  EXPECT_EQ(options->initialLanguage, PrinterLanguage::POSTSCRIPT);
  EXPECT_EQ(options->files, (std::vector<std::wstring>{L"a.spl", L"-", L"--text"}));

  options = Parse({L"--text", L"--lines", L"60", L"b.txt"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_TRUE(options->text);
  EXPECT_EQ(options->linesPerPage, 60);
}

TEST(TollcountOptions, RejectsWhatCannotBeMeant) {
  const std::vector<std::vector<std::wstring>> wrong = {
      {},
      {L"--json"},
      {L"--lines", L"60", L"a"},
      {L"--text", L"--lines", L"0", L"a"},
      {L"--text", L"--lines", L"6x", L"a"},
      {L"--text", L"--lines"},
      {L"--language", L"PCL6", L"a"},
      {L"--text", L"--language", L"PCL", L"a"},
      {L"--frobnicate", L"a"},
  };
  for (const auto& args : wrong) {
    std::wstring error;
    EXPECT_FALSE(Parse(args, &error)) << args.size();
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace tollgate::tollcount
