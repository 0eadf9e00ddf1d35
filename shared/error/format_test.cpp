#include <gtest/gtest.h>

#include "shared/error/format.h"

namespace {

using tollgate::FormatW;

TEST(FormatW, FormatsLikeTheWidePrintfFamily) {
  EXPECT_EQ(FormatW(L"[tid:0x%x][%s] %s", {0x1a4u, L"Injector", L"clock not found"}),
            L"[tid:0x1a4][Injector] clock not found");
  EXPECT_EQ(FormatW(L"%s\\%05u%s", {L"C:\\spool", 42u, L".spl"}), L"C:\\spool\\00042.spl");
  EXPECT_EQ(FormatW(L"%d|%5d|%-4d|%+d|%05d", {-7, 42, 3, 5, -42}), L"-7|   42|3   |+5|-0042");
  EXPECT_EQ(FormatW(L"%X %08x %u", {0xBEEFu, 0x1Fu, -1}), L"BEEF 0000001f 4294967295");
  EXPECT_EQ(FormatW(L"%.3s|%6s|%-6s|", {L"abcdef", L"ab", L"ab"}), L"abc|    ab|ab    |");
  EXPECT_EQ(FormatW(L"100%% %c", {65}), L"100% A");
  EXPECT_EQ(FormatW(L"%ls %lu %I64d", {L"w", 5u, 6ll}), L"w 5 6");
}

TEST(FormatW, MissingOrMismatchedArgumentsStayAsTheyStand) {
  EXPECT_EQ(FormatW(L"%s and %d", {L"one"}), L"one and %d");
  EXPECT_EQ(FormatW(L"%d", {L"text"}), L"%d");
  EXPECT_EQ(FormatW(L"%s", {5}), L"%s");
  EXPECT_EQ(FormatW(L"tail %", {}), L"tail %");
  EXPECT_EQ(FormatW(L"", {1}), L"");
}

}  // namespace
