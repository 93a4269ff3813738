#include "settings/number.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace strikewell {
namespace {

struct NumberCase {
  std::string text;
  NumberEnd end;
  NumberRange range;
  std::optional<int64_t> value;
};

constexpr NumberEnd kRun = NumberEnd::AtBlank;
constexpr NumberEnd kWhole = NumberEnd::WholeText;
constexpr NumberRange kI32 = kInt32Range;
constexpr NumberRange kChar = kCharCodeRange;

TEST(ParseNumberTest, FormsRangesAndEnds) {
  const NumberCase cases[] = {
      // Plain decimal, both signs.
      {"0", kRun, kI32, 0},
      {"250", kRun, kI32, 250},
      {"+7", kRun, kI32, 7},
      {"-20", kRun, kI32, -20},
      {"007", kRun, kI32, 7},
      // Base prefixes, with and without a sign.
      {"$FA", kRun, kI32, 250},
      {"$fa", kRun, kI32, 250},
      {"xFF", kRun, kI32, 255},
      {"X1f", kRun, kI32, 31},
      {"0x10", kRun, kI32, 16},
      {"-$10", kRun, kI32, -16},
      {"+x10", kRun, kI32, 16},
      {"%101", kRun, kI32, 5},
      {"&17", kRun, kI32, 15},
      {"-%11", kRun, kI32, -3},
      // Only "0x" is a prefix of two characters.
      {"0X10", kRun, kI32, std::nullopt},
      // A prefix or sign with no digits, and digits foreign to the base.
      {"$", kRun, kI32, std::nullopt},
      {"0x", kRun, kI32, std::nullopt},
      {"-", kRun, kI32, std::nullopt},
      {"+-1", kRun, kI32, std::nullopt},
      {"%102", kRun, kI32, std::nullopt},
      {"&8", kRun, kI32, std::nullopt},
      {"1F", kRun, kI32, std::nullopt},
      {"$G", kRun, kI32, std::nullopt},
      {"", kRun, kI32, std::nullopt},
      {"abc", kRun, kI32, std::nullopt},
      // The signed 32-bit limits, also in hexadecimal (no two's complement reading).
      {"2147483647", kRun, kI32, 2147483647},
      {"-2147483648", kRun, kI32, -2147483648LL},
      {"2147483648", kRun, kI32, std::nullopt},
      {"-2147483649", kRun, kI32, std::nullopt},
      {"$7FFFFFFF", kRun, kI32, 2147483647},
      {"$FFFFFFFF", kRun, kI32, std::nullopt},
      {"99999999999999999999999999", kRun, kI32, std::nullopt},
      {"99999999999999999999999999z", kRun, kI32, std::nullopt},
      // The data character code: 0 to 255, no sign.
      {"49", kRun, kChar, 49},
      {"255", kRun, kChar, 255},
      {"$FF", kRun, kChar, 255},
      {"256", kRun, kChar, std::nullopt},
      {"-1", kRun, kChar, std::nullopt},
      {"+49", kRun, kChar, std::nullopt},
      // Settings file: the number ends at a blank or control character.
      {"1 words", kRun, kI32, 1},
      {"250\r\n", kRun, kI32, 250},
      {"12\tx", kRun, kI32, 12},
      {std::string("3\0junk", 6), kRun, kI32, 3},
      {"12abc", kRun, kI32, std::nullopt},
      {" 1", kRun, kI32, std::nullopt},
      // Typed reply: leading blanks and tabs go, everything after them is the number.
      {"250", kWhole, kI32, 250},
      {"  250", kWhole, kI32, 250},
      {"\t 250", kWhole, kI32, 250},
      {"250 ", kWhole, kI32, std::nullopt},
      {"250ms", kWhole, kI32, std::nullopt},
      {"250\r", kWhole, kI32, std::nullopt},
      {"", kWhole, kI32, std::nullopt},
      {"   ", kWhole, kI32, std::nullopt},
      {"- 5", kWhole, kI32, std::nullopt},
  };
  for (const NumberCase& c : cases) {
    EXPECT_EQ(ParseNumber(c.text, c.end, c.range), c.value)
        << "text \"" << c.text << "\", " << (c.end == kRun ? "run" : "whole text") << ", range "
        << c.range.min << ".." << c.range.max;
  }
}

TEST(ParseDelayReplyTest, TypedDelays) {
  const struct {
    std::string reply;
    std::optional<int32_t> delay;
  } cases[] = {
      {"250", 250},
      {"  250", 250},
      {"\t250", 250},
      {"-20", -20},
      {"$FA", 250},
      {"0", 0},
      {"%1111", 15},
      {"&400", 256},
      {"2147483647", 2147483647},
      {"250 ", std::nullopt},
      {"250ms", std::nullopt},
      {"", std::nullopt},
      {"ms", std::nullopt},
      {"3000000000", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseDelayReply(c.reply), c.delay) << "reply \"" << c.reply << "\"";
  }
}

}  // namespace
}  // namespace strikewell
