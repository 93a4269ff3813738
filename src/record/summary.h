// What a practice record says about the ringing: speed, and the handstroke and backstroke
// gaps with their evenness.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "record/record.h"

namespace strikewell {

// The time from one blow's sensor event to the next one's, within a piece.
struct Interval {
  int32_t index = 0;  // the later blow's place in the record, counted through zeroings from 1
  int32_t blow = 0;   // the later blow's count, as the counter showed it
  int32_t piece = 0;  // 1, and one more at each restart of the count
  bool back_to_hand = false;  // ends at a handstroke: the handstroke gap; else hand to back
  int64_t ms = 0;
};

struct GapFigures {
  int32_t count = 0;
  double mean_ms = 0;
  double sd_ms = 0;  // population standard deviation: these gaps are all there were
};

struct PracticeFigures {
  int32_t blows = 0;
  int32_t pieces = 0;  // 1, and one more at each restart of the count after a zeroing
  int32_t sent = 0;
  int32_t dropped = 0;
  int32_t keyless = 0;        // counted without Ringing Room: no key was meant to be sent
  int32_t disagreements = 0;  // "# disagreed" lines: another client rang the ringer's bell
  int64_t ringing_ms = 0;     // the pieces' lengths added up, the pauses at zeroings left out
  std::vector<int32_t> piece_starts;  // index of the first blow of each piece after the first
  std::vector<Interval> intervals;
  GapFigures handstroke_gap;  // back to hand
  GapFigures backstroke_gap;  // hand to back
};

// A blow's stroke is the one the tower's server gave it where the record names it; other
// blows alternate handstroke and backstroke, the first being a handstroke (ringing starts
// at handstroke), and each piece starts again at handstroke. No interval spans two pieces.
PracticeFigures Figures(const PracticeRecord& record);

// Whether the record holds enough blows (more than 4) to be worth a summary.
bool EnoughForSummary(const PracticeRecord& record);

// Whether the record is of several bells: its blows name their bells.
bool OfSeveralBells(const PracticeRecord& record);

// One bell's blows of a record of several bells, with every zeroing.
PracticeRecord LinesOfBell(const PracticeRecord& record, int32_t bell);

// The summary for the ringer: at most 13 lines of at most 80 columns for one bell. For
// several bells, the count, time and speed of all the blows together (one bell's
// interval taken from every bell's, as the counter screen takes it), then a line per
// bell with its handstroke and backstroke gaps side by side, and the three blows
// furthest from their own bell's gap.
std::vector<std::string> PracticeSummary(const PracticeRecord& record);

}  // namespace strikewell
