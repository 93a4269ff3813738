#include "settings/number.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace strikewell {
namespace {

struct NumberCase {
  NumberEnd end;
  NumberRange range;
  std::vector<std::pair<std::string, int64_t>> valid;
  std::vector<std::string> invalid;
};

TEST(ParseNumberTest, FormsRangesAndEnds) {
  constexpr NumberEnd kRun = NumberEnd::AtBlank;
  const NumberCase cases[] = {
      // Decimal and base prefixes (either case, with a sign), the signed 32-bit limits also in
      // hexadecimal (no two's complement reading). Only "0x" is a prefix of two characters.
      {kRun,
       kInt32Range,
       {{"+7", 7},
        {"-20", -20},
        {"007", 7},
        {"$fA", 250},
        {"xFF", 255},
        {"X1f", 31},
        {"0x10", 16},
        {"-$10", -16},
        {"%101", 5},
        {"&17", 15},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483648LL}},
       {"0X10", "$", "0x", "-", "+-1", "%102", "&8", "1F", "", "2147483648", "-2147483649",
        "$FFFFFFFF", "99999999999999999999999999z"}},
      // The data character code: 0 to 255, no sign.
      {kRun, kCharCodeRange, {{"$FF", 255}}, {"256", "-1", "+49"}},
      // Settings file: the number ends at a blank or control character.
      {kRun,
       kInt32Range,
       {{"1 words", 1}, {"250\r\n", 250}, {std::string("3\0junk", 6), 3}},
       {"12abc", " 1"}},
      // Typed reply: leading blanks and tabs go, everything after them is the number.
      {NumberEnd::WholeText, kInt32Range, {{"\t 250", 250}}, {"250 ", "250\r", "   ", "- 5"}},
  };
  for (const NumberCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.end == kRun ? "run" : "whole text") << ", range "
                                      << c.range.min << ".." << c.range.max);
    for (const auto& [text, value] : c.valid) {
      EXPECT_EQ(ParseNumber(text, c.end, c.range), value) << '"' << text << '"';
    }
    for (const std::string& text : c.invalid) {
      EXPECT_EQ(ParseNumber(text, c.end, c.range), std::nullopt) << '"' << text << '"';
    }
  }
}

TEST(ParseDelayReplyTest, WholeReplyAsA32BitNumber) {
  EXPECT_EQ(ParseDelayReply("  -$14"), -20);
  EXPECT_EQ(ParseDelayReply("2147483647"), 2147483647);
  EXPECT_EQ(ParseDelayReply("3000000000"), std::nullopt);
  EXPECT_EQ(ParseDelayReply("250ms"), std::nullopt);
}

}  // namespace
}  // namespace strikewell
