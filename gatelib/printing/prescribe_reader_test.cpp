#include "gatelib/printing/prescribe_reader.h"

#include <gtest/gtest.h>

#include "gatelib/printing/test_support.h"

namespace gatelib::printing {
namespace {

class PrescribeReaderTest : public test::AnalysisTest {};

TEST_F(PrescribeReaderTest, PagesMacrosCopiesAndEmulations) {
  const std::string pcl =
      "\x1b"
      "E"
      "page one\f"
      "page two\f"
      "\x1b"
      "E";
  const struct {
    const char* name;
    std::string bytes;
    int pages;
    int copies;
  } cases[] = {
      {"a macro of two pages called three times",
       "!R! MCRO FORM; PAGE; PAGE; ENDM; CALL FORM, 3; EXIT;", 6, 1},
      {"a macro called once without a count, and pages outside it",
       "!R! mcro m; page; endm; page; call m; call m; exit;", 3, 1},
      {"a macro deleted before its call, and an unknown one",
       "!R! MCRO A; PAGE; ENDM; DELM A; CALL A, 2; CALL B; PAGE; EXIT;", 1, 1},
      {"all macros deleted", "!R! MCRO A; PAGE; ENDM; DAM; CALL A; EXIT;", 0, 1},
      {"the largest copy count", "!R! COPY 3; COPY 2; PAGE; EXIT;", 1, 3},
      {"text after EXIT: each form feed is a page until the next commands",
       "!R! PAGE; EXIT;\fone\ftwo\f!R! PAGE; EXIT;", 5, 1},
      {"quoted strings and comments are passed over",
       "!R! TEXT 'PAGE; PAGE;'; CMNT PAGE; PAGE; TEXT \"a PAGE\"; EXIT;", 1, 1},
      {"an emulation's data after EXIT is detected and counted",
       "!R! SEM 6; COPY 2; EXIT, E;\r\n" + pcl, 2, 2},
      {"the end of the data", "!R! PAGE; PAGE", 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Analysis a = Analyse(c.bytes);
    EXPECT_EQ(a.result, analysis::kCounted);
    EXPECT_EQ(a.counts.pages, c.pages);
    EXPECT_EQ(a.counts.copies, c.copies);
  }
}

TEST_F(PrescribeReaderTest, MacroCountsDoNotOverflow) {
  std::string body = "!R! MCRO A; ";
  for (int i = 0; i < 1000; ++i) body += "PAGE;";
  body += "ENDM; CALL A, 999999999; CALL A, 999999999; EXIT;";
  Analysis a = Analyse(body);
  EXPECT_EQ(a.result, analysis::kCounted);
  EXPECT_EQ(a.counts.pages, std::numeric_limits<int>::max());
}

}  // namespace
}  // namespace gatelib::printing
