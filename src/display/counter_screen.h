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

// Redraws the whole counter screen for Num; MyCounter drives the statistics.
void WriteBig(CounterScreen& screen, int32_t Num, int32_t MyCounter, Console& console,
              Clock& clock);

}  // namespace strikewell
