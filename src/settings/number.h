// Whole numbers as the settings file and typed answers hold them: an optional "+"
// or "-", an optional base prefix ("$", "x", "X" or "0x" hexadecimal, "%" binary,
// "&" octal), then digits of that base. One converter serves both readers; they
// differ only in where the number ends and in the range they accept.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace strikewell {

// Where the number ends in the text it is read from.
enum class NumberEnd {
  // At the first blank or control character, or the end of the text; what follows
  // is the caller's business (a settings line "1 words" holds 1).
  AtBlank,
  // Leading blanks and tabs are skipped, then all the rest of the text must be the
  // number: "250 " and "250ms" are not numbers, and neither is an empty reply.
  WholeText,
};

struct NumberRange {
  int64_t min;
  int64_t max;
  bool takes_sign;  // false: a "+" or "-" makes the text no number at all
};

inline constexpr NumberRange kInt32Range{INT32_MIN, INT32_MAX, true};
// The data character code of an interface box.
inline constexpr NumberRange kCharCodeRange{0, 255, false};

// The value, or nothing when the text is not a number of that range.
std::optional<int64_t> ParseNumber(std::string_view text, NumberEnd end, NumberRange range);

// The bell delay as typed at its prompt: "250", "  250", "-20", "$FA" are numbers;
// "250 ", "250ms" and "" are not.
std::optional<int32_t> ParseDelayReply(std::string_view reply);

}  // namespace strikewell
