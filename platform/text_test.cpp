// Decimal numbers read as atoi or as a whole text, and the first line as strtok
// cuts it: the edges the gateway and the notifier meet in received text.
#include "platform/text.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(TextTest, ClampedDecimalReadsLeadingDigitsAsAtoi) {
  EXPECT_EQ(ParseClampedDecimal(" \t\r\n-42abc", INT32_MIN, INT32_MAX), -42);
  EXPECT_EQ(ParseClampedDecimal("+7.5", INT32_MIN, INT32_MAX), 7);
  EXPECT_EQ(ParseClampedDecimal("0012", INT32_MIN, INT32_MAX), 12);
  for (const char* none : {"", "x1", "+", "- 1", "+-1", "\x80 9"})
    EXPECT_EQ(ParseClampedDecimal(none, INT32_MIN, INT32_MAX), 0) << '"' << none << '"';
  EXPECT_EQ(ParseClampedDecimal(nullptr, INT32_MIN, INT32_MAX), 0);
  EXPECT_EQ(ParseClampedDecimal("x", 1, 5), 1);  // no digits is 0, held to the bounds too
}

TEST(TextTest, ClampedDecimalHoldsEveryOverflowAtTheBound) {
  EXPECT_EQ(ParseClampedDecimal("2147483648", INT32_MIN, INT32_MAX), INT32_MAX);
  EXPECT_EQ(ParseClampedDecimal("-2147483649", INT32_MIN, INT32_MAX), INT32_MIN);
  EXPECT_EQ(ParseClampedDecimal("4294967297", INT32_MIN, INT32_MAX), INT32_MAX);
  EXPECT_EQ(ParseClampedDecimal("99999999999999999999999", INT32_MIN, INT32_MAX), INT32_MAX);
  EXPECT_EQ(ParseClampedDecimal("-99999999999999999999999", INT32_MIN, INT32_MAX), INT32_MIN);
  EXPECT_EQ(ParseClampedDecimal("9223372036854775808", LLONG_MIN, LLONG_MAX), LLONG_MAX);
  EXPECT_EQ(ParseClampedDecimal("-9223372036854775808", LLONG_MIN, LLONG_MAX), LLONG_MIN);
  EXPECT_EQ(ParseClampedDecimal("-9223372036854775809", LLONG_MIN, LLONG_MAX), LLONG_MIN);
  EXPECT_EQ(ParseClampedDecimal("-3", 0, 10), 0);
}

TEST(TextTest, WholeDecimalTakesOnlyASignedNumberInRange) {
  long long v = 99;
  ASSERT_TRUE(ParseWholeDecimal("-2147483647", -2147483647, 2147483647, &v));
  EXPECT_EQ(v, -2147483647);
  ASSERT_TRUE(ParseWholeDecimal("+65535", 1, 65535, &v));
  EXPECT_EQ(v, 65535);
  ASSERT_TRUE(ParseWholeDecimal("-9223372036854775808", LLONG_MIN, LLONG_MAX, &v));
  EXPECT_EQ(v, LLONG_MIN);
  v = 99;
  for (const char* bad : {"", "-", " 5", "5 ", "5x", "0x10", "1.0", "9223372036854775808",
                          "-9223372036854775809", "184467440737095516160"}) {
    EXPECT_FALSE(ParseWholeDecimal(bad, LLONG_MIN, LLONG_MAX, &v)) << '"' << bad << '"';
  }
  EXPECT_FALSE(ParseWholeDecimal("65536", 1, 65535, &v));
  EXPECT_FALSE(ParseWholeDecimal("0", 1, 65535, &v));
  EXPECT_FALSE(ParseWholeDecimal(nullptr, LLONG_MIN, LLONG_MAX, &v));
  EXPECT_EQ(v, 99);
}

TEST(TextTest, FirstLineSkipsLeadingLineFeedsAndKeepsCarriageReturn) {
  char text[] = "\n\nGET /?t=1 HTTP/1.1\r\nHost: x\r\n";
  char* line = CutFirstLine(text);
  ASSERT_NE(line, nullptr);
  EXPECT_STREQ(line, "GET /?t=1 HTTP/1.1\r");
  EXPECT_EQ(line, text + 2);
  EXPECT_STREQ(line + std::strlen(line) + 1, "Host: x\r\n");  // the rest stays in place
}

TEST(TextTest, FirstLineRunsToTheEndWithoutLineFeed) {
  char text[] = "\r only line";
  EXPECT_STREQ(CutFirstLine(text), "\r only line");
}

TEST(TextTest, NoFirstLineInEmptyOrLineFeedsOnly) {
  char empty[] = "";
  char feeds[] = "\n\n\n";
  EXPECT_EQ(CutFirstLine(empty), nullptr);
  EXPECT_EQ(CutFirstLine(feeds), nullptr);
  EXPECT_STREQ(feeds, "\n\n\n");
  EXPECT_EQ(CutFirstLine(nullptr), nullptr);
}

}  // namespace
}  // namespace platform
