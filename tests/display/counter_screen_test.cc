#include "display/counter_screen.h"

#include <gtest/gtest.h>

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
  void AdvanceSeconds(int64_t seconds) { clock.Advance(seconds * 1000000); }

  FakeClock clock;
  FakeRawConsole raw{clock, 80, 23};
  Console console{raw, clock};
  CounterScreen screen;
};

// Expected screens, rows 1 to 23 without trailing blanks.
const char kCount0[] = R"(                                                                    ****
                                                                 **********
                                                                ***      ***
                                                               ***         ***
                                                              ***           ***
                                                              ***           ***
                                                             ***             ***
                                                             ***             ***
                                                             ***             ***
                                                             ***             ***
                                                             ***             ***
                                                             ***             ***
                                                              ***           ***
                                                              ***           ***
                                                               ***         ***
                                                                ***      ***
                                                                 **********
                                                                    ****


count =0 time from first blow=0 secs

0 will zero counter;  Q=Quit)";

const char kCount1[] = R"(                                                                    ***
                                                                 ******
                                                                *** ***
                                                                    ***
                                                                    ***
                                                                    ***
                                                                    ***
                                                                    ***
                                                                    ***
                                                                    ***
                                                                    ***
                                                                    ***
                                                                    ***
                                                                    ***
                                                                    ***
                                                                  *******
                                                                  *******
                                                                  *******


count =1 time from first blow=0 secs

0 will zero counter;  Q=Quit)";

const char kCount7After18s[] =
    R"(                                                              *****************
                                                              *****************
                                                              *****************
                                                                           ****
                                                                           ****
                                                                          ****
                                                                         ****
                                                                        ****
                                                                       ****
                                                                      ****
                                                                     ****
                                                                    ****
                                                                   ****
                                                                  ****
                                                                 ****
                                                                ****
                                                               ****
                                                              *****


count =7 time from first blow=18 secs
 APPROX Ave interval=    3.00 secs peal speed=4 hrs:   12.00 mins
0 will zero counter;  Q=Quit)";

const char kCount10After45s[] =
    R"(                                                ***                 ****
                                             ******              **********
                                            *** ***             ***      ***
                                                ***            ***         ***
                                                ***           ***           ***
                                                ***           ***           ***
                                                ***          ***             ***
                                                ***          ***             ***
                                                ***          ***             ***
                                                ***          ***             ***
                                                ***          ***             ***
                                                ***          ***             ***
                                                ***           ***           ***
                                                ***           ***           ***
                                                ***            ***         ***
                                              *******           ***      ***
                                              *******            **********
                                              *******               ****


count =10 time from first blow=45 secs
 APPROX Ave interval=    5.00 secs peal speed=7 hrs:    0.00 mins
0 will zero counter;  Q=Quit)";

const char kCount39After76s[] =
    R"(                                           **************         ********
                                           **************       ************
                                                     ***      ***        ****
                                                    ***      ***           ***
                                                   ***       ***           ***
                                                  ***         ***          ****
                                               *****            ****       ****
                                              ********            *************
                                              *******                **********
                                                   ****                     ***
                                                     ***                    ***
                                                       ***                  ***
                                                       ***                  ***
                                                       ***                  ***
                                                     ***                   ***
                                          *****    *****       ****       ****
                                           ************          ***********
                                              *****                ********


count =39 time from first blow=76 secs
 APPROX Ave interval=    2.00 secs peal speed=2 hrs:   48.00 mins
0 will zero counter;  Q=Quit)";

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

const char kCount1000After3000s[] =
    R"(        ***                 ****                ****                ****
     ******              **********          **********          **********
    *** ***             ***      ***        ***      ***        ***      ***
        ***            ***         ***     ***         ***     ***         ***
        ***           ***           ***   ***           ***   ***           ***
        ***           ***           ***   ***           ***   ***           ***
        ***          ***             *** ***             *** ***             ***
        ***          ***             *** ***             *** ***             ***
        ***          ***             *** ***             *** ***             ***
        ***          ***             *** ***             *** ***             ***
        ***          ***             *** ***             *** ***             ***
        ***          ***             *** ***             *** ***             ***
        ***           ***           ***   ***           ***   ***           ***
        ***           ***           ***   ***           ***   ***           ***
        ***            ***         ***     ***         ***     ***         ***
      *******           ***      ***        ***      ***        ***      ***
      *******            **********          **********          **********
      *******               ****                ****                ****


count =1000 time from first blow=3000 secs
 APPROX Ave interval=    3.00 secs peal speed=4 hrs:   12.25 mins
0 will zero counter;  Q=Quit)";

const char kCount10000After30000s[] =
    R"(                                                                    ****
                                                                 **********
                                                                ***      ***
                                                               ***         ***
                                                              ***           ***
                                                              ***           ***
                                                             ***             ***
                                                             ***             ***
                                                             ***             ***
                                                             ***             ***
                                                             ***             ***
                                                             ***             ***
                                                              ***           ***
                                                              ***           ***
                                                               ***         ***
                                                                ***      ***
                                                                 **********
                                                                    ****


count =10000 time from first blow=30000 secs
 APPROX Ave interval=    3.00 secs peal speed=4 hrs:   12.03 mins
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

const char kCount1201After3600s[] =
    R"(        ***               *****                 ****                ***
     ******            **********            **********          ******
    *** ***           ****    *****         ***      ***        *** ***
        ***                      ***       ***         ***          ***
        ***                       ***     ***           ***         ***
        ***                       ***     ***           ***         ***
        ***                       ***    ***             ***        ***
        ***                       ***    ***             ***        ***
        ***                      ***     ***             ***        ***
        ***                     ***      ***             ***        ***
        ***                   ***        ***             ***        ***
        ***                 ***          ***             ***        ***
        ***               ***             ***           ***         ***
        ***             ***               ***           ***         ***
        ***            ***                 ***         ***          ***
      *******          **************       ***      ***          *******
      *******          **************        **********           *******
      *******          **************           ****              *******


count =1201 time from first blow=3600 secs
 APPROX Ave interval=    3.00 secs peal speed=4 hrs:   12.00 mins
0 will zero counter;  Q=Quit)";

const char kCount2After10s[] =
    R"(                                                                  *****
                                                               **********
                                                              ****    *****
                                                                         ***
                                                                          ***
                                                                          ***
                                                                          ***
                                                                          ***
                                                                         ***
                                                                        ***
                                                                      ***
                                                                    ***
                                                                  ***
                                                                ***
                                                               ***
                                                               **************
                                                               **************
                                                               **************


count =2 time from first blow=10 secs
 APPROX Ave interval=   10.00 secs peal speed=14 hrs:    0.00 mins
0 will zero counter;  Q=Quit)";

const char kCount5After120s[] =
    R"(                                                               **************
                                                               **************
                                                               **************
                                                               ***
                                                               ***
                                                               ***
                                                               *****
                                                                  ********
                                                                      *****
                                                                         ****
                                                                           ***
                                                                           ***
                                                                           ***
                                                                           ***
                                                                          ***
                                                               ****      ****
                                                                 **********
                                                                  *******


count =5 time from first blow=120 secs
 APPROX Ave interval=   30.00 secs peal speed=42 hrs:    0.00 mins
0 will zero counter;  Q=Quit)";

TEST(CounterScreenTest, WholeScreens) {
  const struct {
    int32_t count;
    int64_t seconds_after_first_blow;
    const char* expected;
  } cases[] = {
      {0, 0, kCount0},
      {1, 0, kCount1},
      {7, 18, kCount7After18s},
      {10, 45, kCount10After45s},
      {39, 76, kCount39After76s},
      {305, 1000, kCount305After1000s},
      {1000, 3000, kCount1000After3000s},
      // Only the last four digits are drawn, with their leading zeros left out.
      {10000, 30000, kCount10000After30000s},
      {98642, 86000, kCount98642After86000s},
      // 1200 intervals in an hour: 3.00 s, a peal of 252 minutes.
      {1201, 3600, kCount1201After3600s},
      // One interval of 10 s: a peal of 840 minutes.
      {2, 10, kCount2After10s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("count " + std::to_string(c.count));
    CounterConsole counter;
    if (c.count > 1) {
      counter.Redraw(1);
      counter.AdvanceSeconds(c.seconds_after_first_blow);
    }
    counter.Redraw(c.count);
    EXPECT_EQ(counter.raw.Screen(23), c.expected);
    // The cursor stays after the key line: no line break anywhere.
    EXPECT_EQ(counter.console.WhereX(), 29);
    EXPECT_EQ(counter.console.WhereY(), 23);
  }
}

TEST(CounterScreenTest, PealThroughMidnightKeepsItsElapsedTime) {
  CounterConsole counter(23 * 3600 + 59 * 60 + 30);
  counter.Redraw(1);
  counter.AdvanceSeconds(120);
  counter.Redraw(5);
  EXPECT_EQ(counter.screen.TimeSaveP, "00:01:30");
  EXPECT_EQ(counter.raw.Screen(23), kCount5After120s);
  EXPECT_EQ(counter.screen.Hrs, 42);
}

TEST(CounterScreenTest, TimingRestartsAtTheFirstBlowAndAfterZeroing) {
  CounterConsole counter;
  const auto count_line = [&counter](int32_t count, int64_t wait) {
    counter.AdvanceSeconds(wait);
    counter.Redraw(count);
    return counter.raw.Row(21);
  };
  EXPECT_EQ(count_line(0, 0), "count =0 time from first blow=0 secs");
  EXPECT_EQ(count_line(1, 5), "count =1 time from first blow=0 secs");
  EXPECT_EQ(count_line(2, 10), "count =2 time from first blow=10 secs");
  EXPECT_EQ(count_line(3, 10), "count =3 time from first blow=20 secs");
  EXPECT_EQ(counter.screen.SecsFirst, kNoon + 5);
  EXPECT_EQ(counter.screen.SecsNow, kNoon + 25);
  EXPECT_EQ(counter.screen.TimeSaveP, "12:00:25");
  // "0" zeroes the count: the next first blow is the new time base.
  EXPECT_EQ(count_line(0, 5), "count =0 time from first blow=0 secs");
  EXPECT_EQ(count_line(1, 7), "count =1 time from first blow=0 secs");
  EXPECT_EQ(count_line(2, 4), "count =2 time from first blow=4 secs");
  EXPECT_EQ(counter.raw.Row(22),
            " APPROX Ave interval=    4.00 secs peal speed=5 hrs:   36.00 mins");
  EXPECT_EQ(counter.screen.Hrs, 5);
}

TEST(CounterScreenTest, DrawsInTheConsoleColours) {
  CounterConsole counter;
  counter.console.TextBackground(1);
  counter.console.TextColor(14);
  counter.Redraw(8);
  for (int y = 1; y <= 23; ++y) {
    for (int x = 1; x <= 80; ++x) {
      ASSERT_EQ(counter.raw.At(x, y).attr, 0x1E) << "column " << x << ", row " << y;
    }
  }
  EXPECT_EQ(counter.raw.At(72, 1).ch, '*');
}

TEST(ConvTimeTest, SecondsOfDay) {
  const struct {
    const char* text;
    int32_t seconds;
  } cases[] = {
      {"13:05:09", 47109}, {"00:00:00", 0},     {"00:01:00", 60},
      {"01:00:00", 3600},  {"23:59:59", 86399}, {"13.05.09", 47109},
  };
  for (const auto& c : cases) EXPECT_EQ(ConvTime(c.text), c.seconds) << c.text;
}

TEST(GlyphTableTest, RowsAsTheFontGivesThem) {
  GlyphTable Line;
  SetupFont(Line);
  const int lengths[10][18] = {
      {12, 15, 16, 18, 19, 19, 20, 20, 20, 20, 20, 20, 19, 19, 18, 16, 15, 12},
      {11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 13, 13, 13},
      {11, 13, 15, 16, 17, 17, 17, 17, 16, 15, 13, 11, 9, 7, 6, 17, 17, 17},
      {17, 17, 16, 15, 14, 13, 12, 14, 13, 15, 16, 18, 18, 18, 16, 16, 15, 11},
      {15, 15, 15, 15, 15, 15, 15, 15, 16, 19, 19, 15, 15, 15, 15, 17, 17, 17},
      {17, 17, 17, 6, 6, 6, 8, 14, 15, 17, 18, 18, 18, 18, 17, 17, 15, 13},
      {14, 17, 18, 7, 6, 6, 8, 15, 18, 19, 20, 20, 20, 20, 19, 17, 16, 14},
      {19, 19, 19, 19, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 7},
      {12, 15, 16, 17, 17, 16, 15, 14, 14, 17, 18, 19, 19, 19, 18, 18, 17, 15},
      {14, 16, 17, 18, 18, 19, 19, 19, 19, 19, 19, 19, 19, 19, 18, 18, 16, 15},
  };
  const size_t widest[10] = {20, 13, 17, 18, 19, 18, 20, 19, 19, 19};
  for (int digit = 0; digit < 10; ++digit) {
    SCOPED_TRACE("digit " + std::to_string(digit));
    size_t width = 0;
    for (int row = 1; row <= 18; ++row) {
      const std::string& text = Line[digit][row];
      EXPECT_EQ(text.size(), static_cast<size_t>(lengths[digit][row - 1])) << "row " << row;
      EXPECT_EQ(text.find_first_not_of(" *"), std::string::npos) << "row " << row;
      EXPECT_EQ(text.back(), '*') << "row " << row;
      width = std::max(width, text.size());
    }
    EXPECT_EQ(width, widest[digit]);
    EXPECT_EQ(Line[digit][19], "");
    EXPECT_EQ(Line[digit][20], "");
  }
  EXPECT_EQ(Line[0][1], "        ****");
  for (int row = 1; row <= 9; ++row) EXPECT_EQ(Line[0][19 - row], Line[0][row]) << "row " << row;
}

// A redraw runs between the sensor event and the key press, so its cost adds to the
// bell delay. Printed, not asserted: the figure depends on the machine.
TEST(CounterScreenBenchmark, RedrawOverTheFakeConsole) {
  CounterConsole counter;
  constexpr int kRedraws = 2000;
  counter.Redraw(1);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 2; i < 2 + kRedraws; ++i) counter.Redraw(8000 + i);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  std::cout << "counter screen redraw (four digits, fake console): "
            << std::chrono::duration<double, std::micro>(elapsed).count() / kRedraws
            << " us per redraw\n";
  EXPECT_EQ(counter.raw.Row(21),
            "count =" + std::to_string(8001 + kRedraws) + " time from first blow=0 secs");
}

}  // namespace
}  // namespace strikewell
