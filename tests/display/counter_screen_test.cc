#include "display/counter_screen.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>

#include "fake_clock.h"
#include "fake_console.h"

namespace strikewell {
namespace {

using testing::FakeClock;
using testing::FakeRawConsole;

constexpr int32_t kNoon = 12 * 3600;

// The counter screen in a console of exactly 80 x 23, the size it needs: a line
// break after the key line would scroll and show in the comparison.
struct CounterConsole {
  explicit CounterConsole(int32_t start_seconds_of_day = kNoon) : clock(start_seconds_of_day) {
    SetupFont(screen.Line);
  }
  void Redraw(int32_t count) { WriteBig(screen, count, count, console, clock); }
  // The first blow, then `count` after `seconds`.
  void Peal(int32_t count, int64_t seconds) {
    if (count > 1) {
      Redraw(1);
      clock.Advance(seconds * 1000000);
    }
    Redraw(count);
  }

  FakeClock clock;
  FakeRawConsole raw{clock, 80, 23};
  Console console{raw, clock};
  CounterScreen screen;
};

// Expected screens, rows 1 to 23 without trailing blanks. Together they draw every
// digit, and a zero in each place where a digit before it makes it count.
const char kCount305After1000s[] =
    R"(                       **************           ****           **************
                       **************        **********        **************
                                 ***        ***      ***       **************
                                ***        ***         ***     ***
                               ***        ***           ***    ***
                              ***         ***           ***    ***
                           *****         ***             ***   *****
                          ********       ***             ***      ********
                          *******        ***             ***          *****
                               ****      ***             ***             ****
                                 ***     ***             ***               ***
                                   ***   ***             ***               ***
                                   ***    ***           ***                ***
                                   ***    ***           ***                ***
                                 ***       ***         ***                ***
                      *****    *****        ***      ***       ****      ****
                       ************          **********          **********
                          *****                 ****              *******


count =305 time from first blow=1000 secs
 APPROX Ave interval=    3.29 secs peal speed=4 hrs:   36.32 mins
0 will zero counter;  Q=Quit)";

const char kCount1079After3234s[] =
    R"(        ***                 ****          *****************       ********
     ******              **********       *****************     ************
    *** ***             ***      ***      *****************   ***        ****
        ***            ***         ***                 ****  ***           ***
        ***           ***           ***                ****  ***           ***
        ***           ***           ***               ****    ***          ****
        ***          ***             ***             ****       ****       ****
        ***          ***             ***            ****          *************
        ***          ***             ***           ****              **********
        ***          ***             ***          ****                      ***
        ***          ***             ***         ****                       ***
        ***          ***             ***        ****                        ***
        ***           ***           ***        ****                         ***
        ***           ***           ***       ****                          ***
        ***            ***         ***       ****                          ***
      *******           ***      ***        ****               ****       ****
      *******            **********        ****                  ***********
      *******               ****          *****                    ********


count =1079 time from first blow=3234 secs
 APPROX Ave interval=    3.00 secs peal speed=4 hrs:   12.00 mins
0 will zero counter;  Q=Quit)";

const char kCount98642After86000s[] =
    R"(      ******                 *****                  ***           *****
    ***********            **********            ******        **********
   ***      ****         ****     ****          *** ***       ****    *****
   ***        ***       ***                    ***  ***                  ***
  ***         ***      ***                    ***   ***                   ***
   ***       ***       ***                   ***    ***                   ***
     ***** ****       ******                ***     ***                   ***
      ********        *************        ***      ***                   ***
     ****  ***        ****       *****    ***       ****                 ***
    ***      ****    ****          ****   *****************             ***
  ***          ***   ***             *** ******************           ***
  ***           ***  ***             ***            ***             ***
  ***           ***   ***            ***            ***           ***
  ***           ***   ***            ***            ***         ***
   ***         ***     ***          ***             ***        ***
    ****      ****      ****      ***              ******      **************
       **********          *********               ******      **************
        *******             ******                 ******      **************


count =98642 time from first blow=86000 secs
 APPROX Ave interval=    0.87 secs peal speed=1 hrs:   13.24 mins
0 will zero counter;  Q=Quit)";

TEST(CounterScreenTest, WholeScreens) {
  const struct {
    int32_t count;
    int64_t seconds_after_first_blow;
    const char* expected;
  } cases[] = {
      // Inner zeros are drawn; only leading ones are left out.
      {305, 1000, kCount305After1000s},
      {1079, 3234, kCount1079After3234s},
      // Only the last four digits are drawn.
      {98642, 86000, kCount98642After86000s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("count " + std::to_string(c.count));
    CounterConsole counter;
    counter.Peal(c.count, c.seconds_after_first_blow);
    EXPECT_EQ(counter.raw.Screen(23), c.expected);
    // The cursor stays after the key line: no line break anywhere.
    EXPECT_EQ(counter.console.WhereX(), 29);
    EXPECT_EQ(counter.console.WhereY(), 23);
  }
}

// Place 0 to 3 of the big digits' rows 1 to 20, each 20 columns wide.
std::string Place(const FakeRawConsole& raw, int place) {
  std::string glyph;
  for (int y = 1; y <= 20; ++y) {
    glyph += (raw.Row(y) + std::string(80, ' ')).substr(place * 20, 20) + '\n';
  }
  return glyph;
}

// Other counts, drawn with the glyphs the whole screens above have shown.
TEST(CounterScreenTest, DigitsInTheirPlaces) {
  CounterConsole c305;
  c305.Peal(305, 1000);
  CounterConsole c1079;
  c1079.Peal(1079, 3234);
  const std::string blank = Place(c305.raw, 0);
  const std::string zero = Place(c305.raw, 2);
  const std::string one = Place(c1079.raw, 0);
  const std::string seven = Place(c1079.raw, 2);
  const struct {
    int32_t count;
    std::array<std::string, 4> places;
  } cases[] = {
      {0, {blank, blank, blank, zero}},
      {1, {blank, blank, blank, one}},
      {7, {blank, blank, blank, seven}},
      {10, {blank, blank, one, zero}},
      {1000, {one, zero, zero, zero}},
      // Only the last four digits are drawn, and leading zeros are not.
      {10000, {blank, blank, blank, zero}},
  };
  for (const auto& c : cases) {
    CounterConsole counter;
    counter.Peal(c.count, 10);
    for (int place = 0; place < 4; ++place) {
      EXPECT_EQ(Place(counter.raw, place), c.places[place]) << c.count << " place " << place;
    }
    EXPECT_EQ(counter.raw.Row(22).empty(), c.count <= 1) << "timing from the second blow on";
  }
}

// Every glyph row fits its 20-column slot; the slots outside rows 1 to 18 stay empty.
TEST(CounterScreenTest, GlyphTableRows) {
  GlyphTable line;
  SetupFont(line);
  for (const auto& glyph : line) {
    EXPECT_EQ(glyph[0] + glyph[19] + glyph[20], "");
    for (int row = 1; row <= 18; ++row) EXPECT_LE(glyph[row].size(), 20u) << row;
  }
}

TEST(CounterScreenTest, TimingLines) {
  const struct {
    int32_t count;
    int64_t seconds;
    std::string speed_line;
    int32_t start = kNoon;
  } cases[] = {
      // 1200 intervals in an hour: 3.00 s, a peal of 252 minutes.
      {.count = 1201,
       .seconds = 3600,
       .speed_line = " APPROX Ave interval=    3.00 secs peal speed=4 hrs:   12.00 mins"},
      {.count = 2,
       .seconds = 10,
       .speed_line = " APPROX Ave interval=   10.00 secs peal speed=14 hrs:    0.00 mins"},
      {.count = 10000,
       .seconds = 30000,
       .speed_line = " APPROX Ave interval=    3.00 secs peal speed=4 hrs:   12.03 mins"},
      // Through midnight the elapsed time is kept.
      {.count = 5,
       .seconds = 120,
       .speed_line = " APPROX Ave interval=   30.00 secs peal speed=42 hrs:    0.00 mins",
       .start = 23 * 3600 + 59 * 60 + 30},
  };
  for (const auto& c : cases) {
    CounterConsole counter(c.start);
    counter.Peal(c.count, c.seconds);
    EXPECT_EQ(counter.raw.Row(21), "count =" + std::to_string(c.count) + " time from first blow=" +
                                       std::to_string(c.seconds) + " secs");
    EXPECT_EQ(counter.raw.Row(22), c.speed_line);
  }
}

TEST(ConvTimeTest, SecondsOfDay) {
  EXPECT_EQ(ConvTime("23:59:59"), 86399);
  EXPECT_EQ(ConvTime("00:00:00"), 0);
  // Only the digits' places matter, not the separators.
  EXPECT_EQ(ConvTime("13.05.09"), 47109);
}

// A redraw runs between the sensor event and the key press, so its cost adds to the
// bell delay. Printed, not asserted: the figure depends on the machine.
TEST(CounterScreenBenchmark, RedrawOverTheFakeConsole) {
  CounterConsole counter;
  constexpr int kRedraws = 2000;
  counter.Redraw(1);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRedraws; ++i) counter.Redraw(8000 + i);
  const std::chrono::duration<double, std::micro> elapsed =
      std::chrono::steady_clock::now() - start;
  std::cout << "counter screen redraw (four digits, fake console): " << elapsed.count() / kRedraws
            << " us per redraw\n";
  EXPECT_EQ(counter.raw.Row(21), "count =9999 time from first blow=0 secs");
}

}  // namespace
}  // namespace strikewell
