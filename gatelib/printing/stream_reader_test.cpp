#include "gatelib/printing/stream_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "gatelib/printing/test_support.h"

namespace gatelib::printing {
namespace {

using test::Probe;
using tollgate::testing::Wide;
using tollgate::testing::WriteBytes;

class StreamReaderTest : public tollgate::testing::MachineTest {
 protected:
  // Runs `body` with a reader on `bytes`, read through a window of `bufferSize` bytes.
  void On(const std::string& bytes, std::size_t bufferSize,
          const std::function<void(StreamReader&, JobData&)>& body,
          const SeparatorSet& separators = kBaseSeparators) {
    WriteBytes(Folder() / "data", bytes);
    Probe probe(bufferSize, [&](Probe& data) {
      StreamReader reader(separators);
      EXPECT_FALSE(reader.Read(data));  // the base only takes the source
      body(reader, data);
      return 0;
    });
    probe.Open(Wide(Folder() / "data"), nullptr);
  }
};

// FindText and SkipPast against a plain search, over every window size that makes a match run
// across windows, on text of few letters so that partial matches abound.
TEST_F(StreamReaderTest, FindTextStopsJustPastTheFirstOccurrenceWhateverTheWindows) {
  std::mt19937 random(7);
  for (int round = 0; round < 60; ++round) {
    // Letters only, or letters with bytes of other kinds, which the scan looks for first.
    const char* letters = round % 2 == 0 ? "aab" : "a%a\n";
    const char* needleLetters = round % 2 == 0 ? "ab" : "a%\n";
    std::string hay(200 + random() % 300, 'a');
    for (char& c : hay) c = letters[random() % std::strlen(letters)];
    std::string needle(1 + random() % 7, 'a');
    for (char& c : needle) c = needleLetters[random() % std::strlen(needleLetters)];
    std::size_t from = random() % 50;
    std::size_t found = hay.find(needle, from);
    for (std::size_t window : {1u, 2u, 3u, 5u, 8u, 13u, 64u}) {
      SCOPED_TRACE(hay + " / " + needle + " / window " + std::to_string(window));
      On(hay, window, [&](StreamReader& reader, JobData& data) {
        data.Skip(static_cast<std::int64_t>(from));
        bool ok = reader.FindText(needle);
        EXPECT_EQ(ok, found != std::string::npos);
        EXPECT_EQ(data.Position(),
                  static_cast<std::int64_t>(ok ? found + needle.size() : hay.size()));
        // A second search goes on from there.
        std::size_t again = ok ? hay.find(needle, found + needle.size()) : std::string::npos;
        EXPECT_EQ(reader.FindText(needle), again != std::string::npos);
      });
    }
  }
}

TEST_F(StreamReaderTest, FindTextOfLiteralsInRealisticData) {
  std::string data = "%!PS-Adobe-3.0\n%%Pages: (atend)\n" + std::string(50000, 'x') +
                     "\n%%Pages: 4\n\x1b%-12345X@PJL EOJ\n";
  On(data, kSpoolBufferSize, [&](StreamReader& reader, JobData& source) {
    EXPECT_TRUE(reader.FindText("\n%%Pages:"));
    EXPECT_EQ(source.Position(), 23);
    EXPECT_TRUE(reader.FindText("\n%%Pages:"));
    EXPECT_TRUE(reader.FindText("\x1b%-12345X"));
    std::string token;
    EXPECT_TRUE(reader.ReadToken(token));
    EXPECT_EQ(token, "@PJL");
    EXPECT_FALSE(reader.FindText("%%EOF"));
    EXPECT_EQ(source.Position(), static_cast<std::int64_t>(data.size()));
  });
}

TEST_F(StreamReaderTest, SkipPastConsumesTheByte) {
  On("abc\ndef\n", 3, [](StreamReader& reader, JobData& data) {
    EXPECT_TRUE(reader.SkipPast('\n'));
    EXPECT_EQ(data.Position(), 4);
    EXPECT_TRUE(reader.SkipPast('\n'));
    EXPECT_EQ(data.Position(), 8);
    EXPECT_FALSE(reader.SkipPast('\n'));
  });
}

TEST_F(StreamReaderTest, TokensEndAtTheReadersSeparatorsWhichAreConsumed) {
  struct Case {
    const char* name;
    SeparatorSet separators;
    std::string data;
    std::vector<std::string> tokens;
  };
  const Case cases[] = {
      {"base",
       kBaseSeparators,
       std::string("\0\0 @PJL SET\tQTY=2\r\n\f", 20),
       {"@PJL", "SET", "QTY=2"}},
      {"pjl",
       kPjlSeparators,
       "@PJL SET QTY = 2\r\n@PJL SET DUPLEX:ON",
       {"@PJL", "SET", "QTY", "2", "@PJL", "SET", "DUPLEX", "ON"}},
      {"postscript", kPostScriptSeparators, "%%Title: (a b)x", {"%%Title:", "a", "b", "x"}},
      {"job ticket",
       kJobTicketSeparators,
       "<copies syntax=\"integer\">2</copies>",
       {"copies", "syntax=\"integer\"", "2", "/copies"}},
      {"prescribe",
       kPrescribeSeparators,
       "!R! PAGE;COPY 2,EXIT;\tX",
       {"!R!", "PAGE", "COPY", "2", "EXIT", "\tX"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    On(
        c.data, 4,
        [&](StreamReader& reader, JobData&) {
          std::string token;
          for (const std::string& expected : c.tokens) {
            ASSERT_TRUE(reader.ReadToken(token));
            EXPECT_EQ(token, expected);
          }
          EXPECT_FALSE(reader.ReadToken(token));
          EXPECT_EQ(token, "");
        },
        c.separators);
  }
  // The separator after a token is consumed, the next byte is not.
  On("ab cd", 64, [](StreamReader& reader, JobData& data) {
    std::string token;
    reader.ReadToken(token);
    EXPECT_EQ(data.Position(), 3);
  });
}

TEST_F(StreamReaderTest, BalancedTokensKeepNestedParentheses) {
  On(
      "%%Pages: (atend)\n%%Pages: (a (b) c)\n%%Pages: 4 (open", 5,
      [](StreamReader& reader, JobData&) {
        std::string token;
        const char* expected[] = {"%%Pages:", "(atend)", "%%Pages:", "(a (b) c)",
                                  "%%Pages:", "4",       "(open"};
        for (const char* e : expected) {
          ASSERT_TRUE(reader.ReadBalancedToken(token));
          EXPECT_EQ(token, e);
        }
        EXPECT_FALSE(reader.ReadBalancedToken(token));
      },
      kPostScriptSeparators);
}

TEST_F(StreamReaderTest, ALongTokenIsConsumedWholeButKeptShort) {
  std::string data = std::string(200000, 'A') + " next";
  On(data, kSpoolBufferSize, [&](StreamReader& reader, JobData& source) {
    std::string token;
    ASSERT_TRUE(reader.ReadToken(token));
    EXPECT_EQ(token.size(), kMaxTokenBytes);
    EXPECT_EQ(source.Position(), 200001);
    ASSERT_TRUE(reader.ReadToken(token));
    EXPECT_EQ(token, "next");
  });
}

TEST_F(StreamReaderTest, IntegersInEitherByteOrder) {
  On(std::string("\x12\x34\x12\x34\x01\x02\x03\x04\x01\x02\x03\x04\x09", 13), 3,
     [](StreamReader& reader, JobData&) {
       std::uint16_t u16 = 0;
       std::uint32_t u32 = 0;
       ASSERT_TRUE(reader.ReadU16(u16));
       EXPECT_EQ(u16, 0x1234);
       ASSERT_TRUE(reader.ReadU16(u16, true));
       EXPECT_EQ(u16, 0x3412);
       ASSERT_TRUE(reader.ReadU32(u32));
       EXPECT_EQ(u32, 0x01020304u);
       ASSERT_TRUE(reader.ReadU32(u32, true));
       EXPECT_EQ(u32, 0x04030201u);
       EXPECT_FALSE(reader.ReadU16(u16));  // one byte left
     });
}

TEST_F(StreamReaderTest, MatchTextGivesBackWhatItReadWhenTheTextDiffers) {
  for (std::size_t window : {2u, 4u, 64u}) {
    SCOPED_TRACE(window);
    On("xx%-12345Y%-12345X%-1", window, [](StreamReader& reader, JobData& data) {
      data.Skip(2);
      EXPECT_FALSE(reader.MatchText("%-12345X"));
      EXPECT_EQ(data.Position(), 2);
      data.Skip(8);
      EXPECT_TRUE(reader.MatchText("%-12345X"));
      EXPECT_EQ(data.Position(), 18);
      EXPECT_FALSE(reader.MatchText("%-12345X"));  // the data ends first
      EXPECT_EQ(data.Position(), 18);
      std::uint8_t byte = 0;
      ASSERT_TRUE(reader.GetNextChar(byte));
      EXPECT_EQ(byte, '%');
    });
  }
}

TEST_F(StreamReaderTest, SkipMovesBothWays) {
  On("0123456789", 4, [](StreamReader& reader, JobData& data) {
    reader.Skip(7);
    std::uint8_t byte = 0;
    ASSERT_TRUE(reader.GetNextChar(byte));
    EXPECT_EQ(byte, '7');
    reader.Skip(-6);
    ASSERT_TRUE(reader.GetNextChar(byte));
    EXPECT_EQ(byte, '2');
    EXPECT_EQ(data.Position(), 3);
  });
}

}  // namespace
}  // namespace gatelib::printing
