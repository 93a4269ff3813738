// The big-digit counter screen with its timing statistics.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/shared_text.h"

namespace strikewell {

// Glyph table: digits 0-9 by row slots 1-20 (slot 0 unused; rows 19 and 20 empty).
using GlyphTable = std::array<std::array<std::string, 21>, 10>;

void SetupFont(GlyphTable& Line);

struct CounterScreen {
  GlyphTable Line;
  std::string TimeSaveP;
  int32_t SecsNow = 0;
  int32_t SecsFirst = 0;
  int32_t Hrs = 0;
};

inline constexpr const char* kKeyLine = "0 will zero counter;  Q=Quit";

// Reads the clock for a redraw: TimeSaveP, SecsNow, and SecsFirst while the count
// is 0 or 1. Returns the whole seconds since the first blow.
int32_t TakeClockReading(CounterScreen& screen, int32_t MyCounter, Clock& clock);

// "count =" ... " time from first blow=" ... " secs".
std::string CountLine(int32_t MyCounter, int32_t E);

// The speed line for E seconds over `intervals` intervals between blows, of which
// blows_per_change make one change (1 for one bell); sets Hrs.
std::string SpeedLine(CounterScreen& screen, int32_t E, double intervals, double blows_per_change);

// Redraws the whole counter screen for Num; MyCounter drives the statistics.
void WriteBig(CounterScreen& screen, int32_t Num, int32_t MyCounter, Console& console,
              Clock& clock);

}  // namespace strikewell
