#include "settings/number.h"

namespace strikewell {
namespace {

bool IsBlankOrControl(char ch) { return static_cast<unsigned char>(ch) <= ' '; }

// The value of ch as a digit of base, or -1.
int DigitValue(char ch, int base) {
  int value = -1;
  if (ch >= '0' && ch <= '9') {
    value = ch - '0';
  } else if (ch >= 'a' && ch <= 'f') {
    value = ch - 'a' + 10;
  } else if (ch >= 'A' && ch <= 'F') {
    value = ch - 'A' + 10;
  }
  return value < base ? value : -1;
}

}  // namespace

std::optional<int64_t> ParseNumber(std::string_view text, NumberEnd end, NumberRange range) {
  size_t i = 0;
  if (end == NumberEnd::WholeText) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  }

  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (!range.takes_sign) return std::nullopt;
    negative = text[i] == '-';
    ++i;
  }

  int base = 10;
  if (i < text.size()) {
    const char ch = text[i];
    if (ch == '$' || ch == 'x' || ch == 'X') {
      base = 16;
      ++i;
    } else if (ch == '%') {
      base = 2;
      ++i;
    } else if (ch == '&') {
      base = 8;
      ++i;
    } else if (ch == '0' && i + 1 < text.size() && text[i + 1] == 'x') {
      base = 16;
      i += 2;
    }
  }

  // Any value beyond this is out of every range; keep checking the digits anyway,
  // so that a long run with a stray letter is still "not a number".
  constexpr uint64_t kBeyondAnyRange = uint64_t{1} << 40;
  uint64_t magnitude = 0;
  size_t digits = 0;
  for (; i < text.size(); ++i) {
    const int digit = DigitValue(text[i], base);
    if (digit < 0) break;
    if (magnitude < kBeyondAnyRange) magnitude = magnitude * static_cast<uint64_t>(base) + digit;
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < text.size() && (end == NumberEnd::WholeText || !IsBlankOrControl(text[i]))) {
    return std::nullopt;
  }

  if (magnitude >= kBeyondAnyRange) return std::nullopt;
  const int64_t value =
      negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (value < range.min || value > range.max) return std::nullopt;
  return value;
}

std::optional<int32_t> ParseDelayReply(std::string_view reply) {
  const std::optional<int64_t> value = ParseNumber(reply, NumberEnd::WholeText, kInt32Range);
  if (!value) return std::nullopt;
  return static_cast<int32_t>(*value);
}

}  // namespace strikewell
