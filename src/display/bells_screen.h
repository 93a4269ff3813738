// The counter screen for several bells: a row per bell (its number, its count and
// the interval between its last two blows) in place of the big digits, and below
// them the lines of the single bell's screen for all the blows together.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "bells/bell_sensors.h"
#include "display/counter_screen.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace strikewell {

// Rows 1 to 23 of the screen, each without trailing blanks.
using ScreenRows = std::array<std::string, 23>;

// The screen for these bells (in the order shown; at most 16) as it is now: reads
// the clock as WriteBig does, with the total count for MyCounter. The speed line
// takes one bell's interval from every bell's blows: over E seconds the bells that
// have rung, k of them, made total - k intervals each a k-th of a change apart.
ScreenRows BellsScreenRows(CounterScreen& screen, const std::vector<BellCount>& bells,
                           Clock& clock);

// Clears the console and draws BellsScreenRows.
void WriteBells(CounterScreen& screen, const std::vector<BellCount>& bells, Console& console,
                Clock& clock);

}  // namespace strikewell
