#include "display/bells_screen.h"

#include <cstdio>

#include "platform/shared_text.h"

namespace strikewell {
namespace {

constexpr size_t kMostRows = 16;

std::string BellRow(const BellCount& bell) {
  char head[32];
  std::snprintf(head, sizeof head, "%4d%8d", static_cast<int>(bell.bell),
                static_cast<int>(bell.MyCounter));
  std::string row = head;
  if (bell.last_interval_us > 0) {
    row += "   " + Fixed8(static_cast<double>(bell.last_interval_us) / 1e6) + " secs";
  }
  return row;
}

}  // namespace

ScreenRows BellsScreenRows(CounterScreen& screen, const std::vector<BellCount>& bells,
                           Clock& clock) {
  int32_t total = 0;
  int32_t rung = 0;
  for (const BellCount& bell : bells) {
    total += bell.MyCounter;
    if (bell.MyCounter > 0) ++rung;
  }
  const int32_t E = TakeClockReading(screen, total, clock);

  ScreenRows rows;
  rows[0] = "bell   count   last interval";
  for (size_t i = 0; i < bells.size() && i < kMostRows; ++i) rows[i + 1] = BellRow(bells[i]);
  rows[20] = CountLine(total, E);
  if (total > rung) rows[21] = SpeedLine(screen, E, total - rung, rung);
  rows[22] = kKeyLine;
  return rows;
}

void WriteBells(CounterScreen& screen, const std::vector<BellCount>& bells, Console& console,
                Clock& clock) {
  const ScreenRows rows = BellsScreenRows(screen, bells, clock);
  console.ClrScr();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].empty()) continue;
    console.GotoXY(1, static_cast<int>(i + 1));
    console.Write(rows[i]);
  }
}

}  // namespace strikewell
