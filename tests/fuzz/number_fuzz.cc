// Number conversion: every answer lies in the range asked for, agrees with a second
// conversion written another way (std::from_chars on the digits), and every value
// written out in decimal or hexadecimal reads back as itself.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "settings/number.h"

namespace {

using strikewell::NumberEnd;
using strikewell::NumberRange;

bool IsDigitOf(char ch, int base) {
  int value = 99;
  if (ch >= '0' && ch <= '9') value = ch - '0';
  if (ch >= 'a' && ch <= 'f') value = ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') value = ch - 'A' + 10;
  return value < base;
}

// The same rules, stated the other way round: cut the text to what the number may
// take, then the whole of that must be sign, prefix and digits.
std::optional<int64_t> Reference(std::string_view text, NumberEnd end, NumberRange range) {
  if (end == NumberEnd::WholeText) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  } else {
    size_t stop = 0;
    while (stop < text.size() && static_cast<unsigned char>(text[stop]) > ' ') ++stop;
    text = text.substr(0, stop);
  }
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    if (!range.takes_sign) return std::nullopt;
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.starts_with("0x")) {
    base = 16;
    text.remove_prefix(2);
  } else if (!text.empty() && (text.front() == '$' || text.front() == 'x' || text.front() == 'X')) {
    base = 16;
    text.remove_prefix(1);
  } else if (!text.empty() && text.front() == '%') {
    base = 2;
    text.remove_prefix(1);
  } else if (!text.empty() && text.front() == '&') {
    base = 8;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (const char ch : text) {
    if (!IsDigitOf(ch, base)) return std::nullopt;
  }
  uint64_t magnitude = 0;
  const auto [rest, error] =
      std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (error != std::errc() || rest != text.data() + text.size()) return std::nullopt;
  if (magnitude > (uint64_t{1} << 62)) return std::nullopt;
  const int64_t value =
      negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (value < range.min || value > range.max) return std::nullopt;
  return value;
}

std::string Hexadecimal(int64_t value) {
  const uint64_t magnitude =
      value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  char digits[32];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, magnitude, 16);
  FUZZ_CHECK(error == std::errc());
  return std::string(value < 0 ? "-$" : "$") + std::string(digits, end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const NumberEnd end = input.ConsumeBool() ? NumberEnd::WholeText : NumberEnd::AtBlank;
  NumberRange range = strikewell::kInt32Range;
  switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0:
      break;
    case 1:
      range = strikewell::kCharCodeRange;
      break;
    default: {
      // Any range inside the signed 32-bit one, signed or not.
      const int32_t a = input.ConsumeIntegral<int32_t>();
      const int32_t b = input.ConsumeIntegral<int32_t>();
      range = NumberRange{a < b ? a : b, a < b ? b : a, input.ConsumeBool()};
      break;
    }
  }
  const std::string text = input.ConsumeRemainingBytesAsString();

  const std::optional<int64_t> value = strikewell::ParseNumber(text, end, range);
  FUZZ_CHECK(value == Reference(text, end, range));
  if (end == NumberEnd::WholeText && range.min == INT32_MIN && range.max == INT32_MAX &&
      range.takes_sign) {
    const std::optional<int32_t> reply = strikewell::ParseDelayReply(text);
    FUZZ_CHECK(reply.has_value() == value.has_value());
    if (reply) FUZZ_CHECK(*reply == *value);
  }

  // A text without blanks reads the same whether it must be the whole text or ends
  // at the first blank, with anything after that blank.
  if (std::all_of(text.begin(), text.end(),
                  [](char ch) { return static_cast<unsigned char>(ch) > ' '; })) {
    FUZZ_CHECK(strikewell::ParseNumber(text + " 5 words", NumberEnd::AtBlank, range) ==
               strikewell::ParseNumber(text, NumberEnd::WholeText, range));
  }

  if (value) {
    FUZZ_CHECK(*value >= range.min && *value <= range.max);
    for (const NumberEnd read_as : {NumberEnd::AtBlank, NumberEnd::WholeText}) {
      FUZZ_CHECK(strikewell::ParseNumber(std::to_string(*value), read_as, range) == value);
      FUZZ_CHECK(strikewell::ParseNumber(Hexadecimal(*value), read_as, range) == value);
    }
  }
  return 0;
}
