#include "record/summary.h"

#include "platform/shared_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace strikewell {
namespace {

constexpr const char* kHandstrokeGap = "Handstroke gap (back to hand)";
constexpr const char* kBackstrokeGap = "Backstroke gap (hand to back)";

GapFigures GapOf(const std::vector<Interval>& intervals, bool back_to_hand) {
  GapFigures gap;
  double sum = 0;
  for (const Interval& i : intervals) {
    if (i.back_to_hand != back_to_hand) continue;
    ++gap.count;
    sum += static_cast<double>(i.ms);
  }
  if (gap.count == 0) return gap;
  gap.mean_ms = sum / gap.count;
  double squares = 0;
  for (const Interval& i : intervals) {
    if (i.back_to_hand == back_to_hand) squares += std::pow(i.ms - gap.mean_ms, 2);
  }
  gap.sd_ms = std::sqrt(squares / gap.count);
  return gap;
}

std::string Ms(double ms) { return std::to_string(std::llround(ms)) + " ms"; }

std::string GapLine(const char* name, const GapFigures& gap) {
  if (gap.count == 0) return std::string(name) + ": none rung";
  return std::string(name) + ": mean " + Ms(gap.mean_ms) + ", standard deviation " + Ms(gap.sd_ms);
}

std::string SpeedLine(int64_t E, double intervals, double blows_per_change) {
  const double interval = static_cast<double>(E) * blows_per_change / intervals;
  // Peal minutes: 5040 changes at this interval.
  const double P = static_cast<double>(E) * blows_per_change * 84.0 / intervals;
  const int32_t Hrs = static_cast<int32_t>(P) / 60;
  return " APPROX Ave interval=" + Fixed8(interval) + " secs peal speed=" + std::to_string(Hrs) +
         " hrs:" + Fixed8(P - Hrs * 60.0) + " mins";
}

// tower: the bells rang through the tower's connection, where a blow is dropped for
// want of the connection or of its bell (one bell: none is the ringer's; several: the
// tower lacks one), not of the window.
std::string KeysLine(int32_t sent, int32_t dropped, int32_t keyless, int32_t blows, bool tower,
                     bool several_bells) {
  if (keyless == blows) return "Keys: none, counting only.";
  const char* why_dropped =
      !tower          ? " dropped (the Ringing Room window was not in front)."
      : several_bells ? " dropped (Ringing Room's connection lost, or a bell the tower does not "
                        "have)."
                      : " dropped (Ringing Room's connection lost, or no bell yours).";
  return (tower ? "Strokes: " : "Keys: ") + std::to_string(sent) + " sent, " +
         (dropped == 0 ? std::string("none dropped.") : std::to_string(dropped) + why_dropped);
}

std::string RestartsLine(int32_t pieces) {
  const int32_t restarts = pieces - 1;
  return "Zeroed and started again " + std::to_string(restarts) +
         (restarts == 1 ? " time" : " times") + ": the pauses are left out of the figures.";
}

std::string GapCell(const GapFigures& gap) {
  if (gap.count == 0) return "none rung";
  return "mean " + Ms(gap.mean_ms) + ", sd " + Ms(gap.sd_ms);
}

std::vector<std::string> BellsSummary(const PracticeRecord& record) {
  struct OfBell {
    int32_t bell;
    PracticeFigures figures;
  };
  std::vector<OfBell> bells;
  for (int32_t bell = 1; bell <= 16; ++bell) {
    const PracticeFigures f = Figures(LinesOfBell(record, bell));
    if (f.blows > 0) bells.push_back({bell, f});
  }
  int32_t blows = 0, sent = 0, dropped = 0, keyless = 0, intervals = 0, pieces = 1;
  int64_t ringing_ms = 0;
  for (const OfBell& b : bells) {
    blows += b.figures.blows;
    sent += b.figures.sent;
    dropped += b.figures.dropped;
    keyless += b.figures.keyless;
    intervals += static_cast<int32_t>(b.figures.intervals.size());
    ringing_ms = std::max(ringing_ms, b.figures.ringing_ms);
    pieces = std::max(pieces, b.figures.pieces);
  }
  std::vector<std::string> lines{"Practice summary"};
  const int64_t E = ringing_ms / 1000;
  lines.push_back("count =" + std::to_string(blows) + " time from first blow=" + std::to_string(E) +
                  " secs");
  if (intervals > 0) {
    lines.push_back(SpeedLine(E, intervals, static_cast<double>(bells.size())));
  }
  const bool tower = std::any_of(record.begin(), record.end(), [](const RecordLine& line) {
    return line.stroke != Stroke::kUnknown;
  });
  lines.push_back(KeysLine(sent, dropped, keyless, blows, tower, true));
  if (pieces > 1) lines.push_back(RestartsLine(pieces));

  lines.push_back("bell  handstroke gap (back to hand)  backstroke gap (hand to back)");
  struct Uneven {
    int32_t bell;
    Interval interval;
    double off;
  };
  std::vector<Uneven> uneven;
  for (const OfBell& b : bells) {
    char row[100];
    std::snprintf(row, sizeof row, "%4d  %-31s  %s", static_cast<int>(b.bell),
                  GapCell(b.figures.handstroke_gap).c_str(),
                  GapCell(b.figures.backstroke_gap).c_str());
    lines.push_back(row);
    for (const Interval& i : b.figures.intervals) {
      const GapFigures& gap = i.back_to_hand ? b.figures.handstroke_gap : b.figures.backstroke_gap;
      uneven.push_back({b.bell, i, static_cast<double>(i.ms) - gap.mean_ms});
    }
  }
  std::stable_sort(uneven.begin(), uneven.end(), [](const Uneven& a, const Uneven& b) {
    return std::abs(a.off) > std::abs(b.off);
  });
  if (uneven.size() > 3) uneven.resize(3);
  if (!uneven.empty()) lines.push_back("Most uneven intervals, against the mean of their gap:");
  for (const Uneven& u : uneven) {
    const int64_t off = std::llround(u.off);
    std::string line =
        "  bell " + std::to_string(u.bell) + " blow " + std::to_string(u.interval.blow);
    if (pieces > 1) line += " (piece " + std::to_string(u.interval.piece) + ")";
    lines.push_back(line + ", " + (u.interval.back_to_hand ? "back to hand" : "hand to back") +
                    ": " + (off > 0 ? "+" : "") + std::to_string(off) + " ms");
  }
  return lines;
}

}  // namespace

bool OfSeveralBells(const PracticeRecord& record) {
  return std::any_of(record.begin(), record.end(),
                     [](const RecordLine& line) { return line.bell > 0; });
}

PracticeRecord LinesOfBell(const PracticeRecord& record, int32_t bell) {
  PracticeRecord lines;
  for (const RecordLine& line : record) {
    if (line.zeroed || line.bell == bell) lines.push_back(line);
  }
  return lines;
}

PracticeFigures Figures(const PracticeRecord& record) {
  PracticeFigures f;
  const RecordLine* previous = nullptr;
  int64_t piece_first_ms = 0;
  bool previous_hand = false;
  for (const RecordLine& line : record) {
    if (line.disagreed_bell != 0) ++f.disagreements;
    if (line.zeroed || line.disagreed_bell != 0 || line.lacking_bell != 0) continue;
    ++f.blows;
    ++(line.keyless ? f.keyless : line.sent ? f.sent : f.dropped);
    // After "0" the count starts again at 1. A key that falls due just after the zeroing
    // can still carry the count from before it, so the restart of the count, not the place
    // of the zeroing line, marks where the ringer started again.
    const bool restart = previous == nullptr || line.blow != previous->blow + 1;
    // A stroke the server named stands; a blow without one (the window way, or a ring
    // not sent) follows the alternation, from handstroke at the start of a piece.
    const bool hand = line.stroke != Stroke::kUnknown ? line.stroke == Stroke::kHand
                      : restart                       ? true
                                                      : !previous_hand;
    if (restart) {
      if (previous != nullptr) {
        f.ringing_ms += previous->sensor_ms - piece_first_ms;
        f.piece_starts.push_back(f.blows);
      }
      ++f.pieces;
      piece_first_ms = line.sensor_ms;
    } else {
      f.intervals.push_back(Interval{.index = f.blows,
                                     .blow = line.blow,
                                     .piece = f.pieces,
                                     .back_to_hand = hand,
                                     .ms = line.sensor_ms - previous->sensor_ms});
    }
    previous_hand = hand;
    previous = &line;
  }
  if (previous != nullptr) f.ringing_ms += previous->sensor_ms - piece_first_ms;
  f.handstroke_gap = GapOf(f.intervals, true);
  f.backstroke_gap = GapOf(f.intervals, false);
  return f;
}

bool EnoughForSummary(const PracticeRecord& record) {
  return std::count_if(record.begin(), record.end(), [](const RecordLine& line) {
           return !line.zeroed && line.disagreed_bell == 0 && line.lacking_bell == 0;
         }) > 4;
}

std::vector<std::string> PracticeSummary(const PracticeRecord& record) {
  if (OfSeveralBells(record)) return BellsSummary(record);
  const PracticeFigures f = Figures(record);
  std::vector<std::string> lines{"Practice summary"};

  // The counter screen's figures, over the whole record: whole seconds of ringing, and one
  // interval fewer than blows in each piece. Without a zeroing these are the screen's own.
  const int64_t E = f.ringing_ms / 1000;
  const int32_t n = f.blows - f.pieces;
  lines.push_back("count =" + std::to_string(f.blows) +
                  " time from first blow=" + std::to_string(E) + " secs");
  if (n > 0) lines.push_back(SpeedLine(E, n, 1.0));
  // A practice rung through the tower's connection names its strokes.
  const bool tower = std::any_of(record.begin(), record.end(), [](const RecordLine& line) {
    return line.stroke != Stroke::kUnknown;
  });
  lines.push_back(KeysLine(f.sent, f.dropped, f.keyless, f.blows, tower, false));
  if (f.disagreements > 0) {
    lines.push_back("Another client rang your bell too: " + std::to_string(f.disagreements) +
                    (f.disagreements == 1 ? " stroke" : " strokes") + " disagreed.");
  }
  if (f.pieces > 1) lines.push_back(RestartsLine(f.pieces));

  lines.push_back(GapLine(kHandstrokeGap, f.handstroke_gap));
  lines.push_back(GapLine(kBackstrokeGap, f.backstroke_gap));

  const auto off_mean = [&f](const Interval& i) {
    return i.ms - (i.back_to_hand ? f.handstroke_gap : f.backstroke_gap).mean_ms;
  };
  std::vector<Interval> uneven = f.intervals;
  std::stable_sort(uneven.begin(), uneven.end(), [&off_mean](const Interval& a, const Interval& b) {
    return std::abs(off_mean(a)) > std::abs(off_mean(b));
  });
  if (uneven.size() > 3) uneven.resize(3);
  if (!uneven.empty()) lines.push_back("Most uneven intervals, against the mean of their gap:");
  for (const Interval& i : uneven) {
    const int64_t off = std::llround(off_mean(i));
    std::string line = "  blow " + std::to_string(i.blow);
    if (f.pieces > 1) line += " (piece " + std::to_string(i.piece) + ")";
    lines.push_back(line + ", " + (i.back_to_hand ? "back to hand" : "hand to back") + ": " +
                    (off > 0 ? "+" : "") + std::to_string(off) + " ms");
  }
  return lines;
}

}  // namespace strikewell
