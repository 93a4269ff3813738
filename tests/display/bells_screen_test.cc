#include "display/bells_screen.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "fake_console.h"

namespace strikewell {
namespace {

using testing::FakeClock;
using testing::FakeRawConsole;

constexpr int64_t kSecond = 1'000'000;

BellCount Bell(int32_t number, int32_t count, int64_t interval_ms = 0) {
  return BellCount{.bell = number, .MyCounter = count, .last_interval_us = interval_ms * 1000};
}

// The screen in a console of exactly 80 x 23, as counting draws it.
struct BellsConsole {
  FakeClock clock;
  FakeRawConsole raw{clock, 80, 23};
  Console console{raw, clock};
  CounterScreen screen;

  // The first blow, then these counts `seconds` later.
  void After(int64_t seconds, const std::vector<BellCount>& bells) {
    WriteBells(screen, {Bell(bells.front().bell, 1)}, console, clock);
    clock.Advance(seconds * kSecond);
    WriteBells(screen, bells, console, clock);
  }
};

TEST(BellsScreen, EightBellsAfterAMinuteWholeScreen) {
  BellsConsole shown;
  shown.After(60, {Bell(1, 26, 2310), Bell(2, 26, 2290), Bell(3, 26, 2305), Bell(4, 25, 2300),
                   Bell(5, 25, 2312), Bell(6, 25, 2298), Bell(7, 25, 2301), Bell(8, 25, 2187)});
  // 203 blows by 8 bells: 195 intervals each an eighth of a change, so a change
  // every 60 * 8 / 195 s.
  EXPECT_EQ(shown.raw.Screen(23),
            "bell   count   last interval\n"
            "   1      26       2.31 secs\n"
            "   2      26       2.29 secs\n"
            "   3      26       2.31 secs\n"
            "   4      25       2.30 secs\n"
            "   5      25       2.31 secs\n"
            "   6      25       2.30 secs\n"
            "   7      25       2.30 secs\n"
            "   8      25       2.19 secs\n"
            "\n\n\n\n\n\n\n\n\n\n\n"
            "count =203 time from first blow=60 secs\n"
            " APPROX Ave interval=    2.46 secs peal speed=3 hrs:   26.77 mins\n"
            "0 will zero counter;  Q=Quit");
}

TEST(BellsScreen, SixteenBellsFillARowEach) {
  std::vector<BellCount> bells;
  for (int32_t bell = 1; bell <= 16; ++bell) bells.push_back(Bell(bell, 0));
  FakeClock clock;
  CounterScreen screen;
  BellsScreenRows(screen, bells, clock);  // counting starts at 0
  for (int32_t bell = 1; bell <= 15; ++bell) bells[static_cast<size_t>(bell - 1)].MyCounter = 1;
  const ScreenRows rows = BellsScreenRows(screen, bells, clock);
  EXPECT_EQ(rows[1], "   1       1");
  EXPECT_EQ(rows[15], "  15       1");
  EXPECT_EQ(rows[16], "  16       0");
  EXPECT_EQ(rows[17], "");
  EXPECT_EQ(rows[20], "count =15 time from first blow=0 secs");
  EXPECT_EQ(rows[21], "") << "one blow from each bell that rang has no interval yet";
}

TEST(BellsScreen, ThePairsSpeedLineTakesOneBellsInterval) {
  BellsConsole shown;
  // Each hand rang 11 blows in 20 s: 10 intervals of 2 s each.
  shown.After(20, {Bell(1, 11, 2000), Bell(2, 11, 2000)});
  EXPECT_EQ(shown.raw.Row(21), "count =22 time from first blow=20 secs");
  EXPECT_EQ(shown.raw.Row(22), " APPROX Ave interval=    2.00 secs peal speed=2 hrs:   48.00 mins");
}

TEST(BellsScreen, ABellNotYetRungTakesNoPartInTheSpeed) {
  BellsConsole shown;
  shown.After(20, {Bell(1, 11, 2000), Bell(2, 0), Bell(3, 0)});
  EXPECT_EQ(shown.raw.Row(22), " APPROX Ave interval=    2.00 secs peal speed=2 hrs:   48.00 mins");
}

TEST(BellsScreen, ZeroedCountsRestartTheTime) {
  BellsConsole shown;
  shown.After(20, {Bell(1, 11, 2000), Bell(2, 11, 2000)});
  shown.clock.Advance(30 * kSecond);
  WriteBells(shown.screen, {Bell(1, 0), Bell(2, 0)}, shown.console, shown.clock);
  EXPECT_EQ(shown.raw.Screen(23),
            "bell   count   last interval\n"
            "   1       0\n"
            "   2       0\n"
            "\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n"
            "count =0 time from first blow=0 secs\n"
            "\n"
            "0 will zero counter;  Q=Quit");
}

}  // namespace
}  // namespace strikewell
