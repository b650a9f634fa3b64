// The two decimal parsers: C's atoi rule clamped to 32 bits, and digits only, saturating.
#include "platform/common/decimal_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string_view>
#include <utility>

namespace qs::platform {
namespace {

using namespace std::string_view_literals;

TEST(DecimalTextTest, AtoiRuleSkipsBlanksTakesASignStopsAtTheFirstOtherCharacterAndClamps) {
  EXPECT_EQ(ParseAtoiClamped(" \t\r\n\v\f+42x"), 42);
  EXPECT_EQ(ParseAtoiClamped("-17"), -17);
  EXPECT_EQ(ParseAtoiClamped("0012"), 12);
  EXPECT_EQ(ParseAtoiClamped("12 3"), 12);
  EXPECT_EQ(ParseAtoiClamped("7\0"
                             "8"sv),
            7);
  for (std::string_view none : {""sv, "x1"sv, "--1"sv, "+"sv, "- 1"sv,
                                "\x01"
                                "5"sv}) {
    EXPECT_EQ(ParseAtoiClamped(none), 0) << none;
  }
  EXPECT_EQ(ParseAtoiClamped("2147483647"), INT_MAX);
  EXPECT_EQ(ParseAtoiClamped("2147483648"), INT_MAX);
  EXPECT_EQ(ParseAtoiClamped("99999999999999999999999999"), INT_MAX);
  EXPECT_EQ(ParseAtoiClamped("-2147483648"), INT_MIN);
  EXPECT_EQ(ParseAtoiClamped("-99999999999999999999999999"), INT_MIN);
}

TEST(DecimalTextTest, DigitsOnlyRefusesEverythingElseAndSaturates) {
  EXPECT_EQ(ParseDigitsSaturating("0"), 0u);
  EXPECT_EQ(ParseDigitsSaturating("0009600"), 9600u);
  EXPECT_EQ(ParseDigitsSaturating("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseDigitsSaturating("4294967296"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseDigitsSaturating("123456789012345678901234567890"), 0xFFFFFFFFu);
  // Whether it saturated, for a rule that refuses such a number.
  for (const auto& [text, over] :
       {std::pair{"4294967295"sv, false}, std::pair{"04294967295"sv, false},
        std::pair{"4294967296"sv, true}, std::pair{"42949672950"sv, true}}) {
    bool overflowed = !over;
    EXPECT_TRUE(ParseDigitsSaturating(text, &overflowed).has_value()) << text;
    EXPECT_EQ(overflowed, over) << text;
  }
  for (std::string_view refused : {""sv, " 1"sv, "1 "sv, "+1"sv, "-1"sv, "1.5"sv, "12a"sv,
                                   "1\0"
                                   "2"sv}) {
    EXPECT_FALSE(ParseDigitsSaturating(refused).has_value()) << refused;
  }
}

}  // namespace
}  // namespace qs::platform
