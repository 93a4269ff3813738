// Clock text, seconds of the day and figures as the screens show them: used by the
// counter screen, calibration and the practice summary alike.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace strikewell {

inline constexpr int32_t kSecondsPerDay = 24 * 60 * 60;

// Whole seconds since midnight of a clock text hh:mm:ss; any separators work.
int32_t ConvTime(const std::string& A);

// Seconds from one time of day to a later one. Times of day restart at midnight;
// taken modulo one day, a practice that runs through midnight keeps its elapsed
// time instead of going negative.
int32_t SecondsBetween(int32_t earlier, int32_t later);

// A figure held in single precision, with two decimals, right-aligned in eight
// characters.
std::string Fixed8(double value);

// A text from a file, safe to show on the console (the file may hold anything): its
// first 40 characters, each that is not printable or is a blank shown as '?'.
std::string Printable(std::string_view text);

}  // namespace strikewell
