// The practice summary against figures worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "record/summary.h"
#include "test_records.h"

namespace strikewell {
namespace {

using testing::Piece;
using testing::Zeroed;
using Lines = std::vector<std::string>;

TEST(PracticeSummaryTest, EvenCountWithADroppedKey) {
  // Blows 1-6: H B H B H B. Intervals: 2 hand to back 2200, 3 back to hand 2400,
  // 4 hand to back 2300, 5 back to hand 2500, 6 hand to back 2100.
  PracticeRecord record = Piece({0, 2200, 4600, 6900, 9400, 11500});
  record[4].sent = false;
  // E = 11500 ms -> 11 s over 5 intervals: 11 / 5 = 2.20 s; peal 11 * 84 / 5 = 184.8 min.
  // Back to hand 2400, 2500: mean 2450, SD sqrt((50^2 + 50^2) / 2) = 50.
  // Hand to back 2200, 2300, 2100: mean 2200, SD sqrt((0 + 100^2 + 100^2) / 3) = 81.6.
  // Off the mean: blow 4 +100, blow 6 -100 (the earlier first), blow 3 and 5 -50 and +50.
  EXPECT_EQ(PracticeSummary(record),
            (Lines{"Practice summary", "count =6 time from first blow=11 secs",
                   " APPROX Ave interval=    2.20 secs peal speed=3 hrs:    4.80 mins",
                   "Keys: 5 sent, 1 dropped (the Ringing Room window was not in front).",
                   "Handstroke gap (back to hand): mean 2450 ms, standard deviation 50 ms",
                   "Backstroke gap (hand to back): mean 2200 ms, standard deviation 82 ms",
                   "Most uneven intervals, against the mean of their gap:",
                   "  blow 4, hand to back: +100 ms", "  blow 6, hand to back: -100 ms",
                   "  blow 3, back to hand: -50 ms"}));
}

TEST(PracticeSummaryTest, CountingOnlyHasNoKeysToCount) {
  PracticeRecord record = Piece({0, 1000, 2100, 3100, 4200});
  for (RecordLine& line : record) line.keyless = true;
  const Lines summary = PracticeSummary(record);
  ASSERT_GE(summary.size(), 4u);
  EXPECT_EQ(summary[3], "Keys: none, counting only.");
  EXPECT_EQ(Figures(record).dropped, 0) << "no key was dropped";
  EXPECT_EQ(Figures(record).keyless, 5);
}

TEST(PracticeSummaryTest, OddCount) {
  // Blows 1-7. Hand to back (2, 4, 6): 2000, 1900, 1900. Back to hand (3, 5, 7): 2100, 2300,
  // 2100. E = 12 s over 6 intervals: 2.00 s; peal 12 * 84 / 6 = 168 min = 2 h 48 min.
  // Hand to back: mean 5800 / 3 = 1933.3, SD sqrt((66.7^2 + 33.3^2 + 33.3^2) / 3) = 47.1.
  // Back to hand: mean 6500 / 3 = 2166.7, SD sqrt((66.7^2 + 133.3^2 + 66.7^2) / 3) = 94.3.
  // Off the mean: blow 5 +133.3, then blows 2, 3 and 7 at 66.7: 2 and 3 come first.
  EXPECT_EQ(PracticeSummary(Piece({0, 2000, 4100, 6000, 8300, 10200, 12300})),
            (Lines{"Practice summary", "count =7 time from first blow=12 secs",
                   " APPROX Ave interval=    2.00 secs peal speed=2 hrs:   48.00 mins",
                   "Keys: 7 sent, none dropped.",
                   "Handstroke gap (back to hand): mean 2167 ms, standard deviation 94 ms",
                   "Backstroke gap (hand to back): mean 1933 ms, standard deviation 47 ms",
                   "Most uneven intervals, against the mean of their gap:",
                   "  blow 5, back to hand: +133 ms", "  blow 2, hand to back: +67 ms",
                   "  blow 3, back to hand: -67 ms"}));
}

// The key of blow 3 fell due after the ringer pressed "0": its line follows the zeroing,
// yet it ends the first piece, and the count's restart at 1 begins the second at handstroke.
TEST(PracticeSummaryTest, ZeroingStartsAPieceAtHandstrokeAndItsPauseIsLeftOut) {
  PracticeRecord record = Zeroed(Piece({0, 2000}), Piece({60000, 62100, 64000, 66300}));
  record.insert(record.begin() + 3, RecordLine{.blow = 3, .sensor_ms = 4200, .key_ms = 4450});
  // Pieces: 1-3 (0 to 4200 ms) and 1-4 (60000 to 66300 ms): 10500 ms -> 10 s over
  // 7 - 2 = 5 intervals: 2.00 s; peal 168 min.
  // Hand to back: 2000 (piece 1, blow 2), 2100 (2, 2), 2300 (2, 4): mean 2133.3,
  //   SD sqrt((133.3^2 + 33.3^2 + 166.7^2) / 3) = 124.7.
  // Back to hand: 2200 (1, 3), 1900 (2, 3): mean 2050, SD 150.
  const PracticeFigures figures = Figures(record);
  EXPECT_EQ(figures.pieces, 2);
  EXPECT_EQ(figures.piece_starts, std::vector<int32_t>{4});
  EXPECT_EQ(figures.ringing_ms, 10500);
  EXPECT_EQ(PracticeSummary(record),
            (Lines{"Practice summary", "count =7 time from first blow=10 secs",
                   " APPROX Ave interval=    2.00 secs peal speed=2 hrs:   48.00 mins",
                   "Keys: 6 sent, 1 dropped (the Ringing Room window was not in front).",
                   "Zeroed and started again 1 time: the pauses are left out of the figures.",
                   "Handstroke gap (back to hand): mean 2050 ms, standard deviation 150 ms",
                   "Backstroke gap (hand to back): mean 2133 ms, standard deviation 125 ms",
                   "Most uneven intervals, against the mean of their gap:",
                   "  blow 4 (piece 2), hand to back: +167 ms",
                   "  blow 3 (piece 1), back to hand: +150 ms",
                   "  blow 3 (piece 2), back to hand: -150 ms"}));
}

TEST(PracticeSummaryTest, NeedsMoreThanFourBlowsZeroingsNotCounted) {
  EXPECT_FALSE(EnoughForSummary({}));
  EXPECT_FALSE(EnoughForSummary(Zeroed(Piece({0, 2000}), Piece({9000, 11000}))));
  EXPECT_TRUE(EnoughForSummary(Piece({0, 2000, 4000, 6000, 8000})));
}

// Blows of one bell of several, counted 1, 2, 3, ... at these sensor times, keys 250 ms later.
PracticeRecord OfBell(int32_t bell, std::initializer_list<int64_t> sensor_ms) {
  PracticeRecord record = Piece(sensor_ms);
  for (RecordLine& line : record) line.bell = bell;
  return record;
}

// The two records' lines in the order of their sensor times, as the bells rang them.
PracticeRecord Together(PracticeRecord a, const PracticeRecord& b) {
  a.insert(a.end(), b.begin(), b.end());
  std::stable_sort(a.begin(), a.end(), [](const RecordLine& x, const RecordLine& y) {
    return x.sensor_ms < y.sensor_ms;
  });
  return a;
}

TEST(PracticeSummaryTest, SeveralBellsShowEachBellsGapsSideBySide) {
  // Bell 1: hand to back 2000, 2000, 2000; back to hand 2200, 2200.
  // Bell 2: hand to back 2050, 2050, 2000 (mean 2033.3, SD 23.6); back to hand 2150, 2150.
  // Both ring 10400 ms: 10 s over 10 intervals, each half a change: 2 * 10 / 10 = 2.00 s a
  // change; peal 168 min. Off their means: bell 2's blow 6 -33.3, blows 2 and 4 +16.7.
  const PracticeRecord record = Together(OfBell(1, {0, 2000, 4200, 6200, 8400, 10400}),
                                         OfBell(2, {100, 2150, 4300, 6350, 8500, 10500}));
  EXPECT_EQ(PracticeSummary(record),
            (Lines{"Practice summary", "count =12 time from first blow=10 secs",
                   " APPROX Ave interval=    2.00 secs peal speed=2 hrs:   48.00 mins",
                   "Keys: 12 sent, none dropped.",
                   "bell  handstroke gap (back to hand)  backstroke gap (hand to back)",
                   "   1  mean 2200 ms, sd 0 ms            mean 2000 ms, sd 0 ms",
                   "   2  mean 2150 ms, sd 0 ms            mean 2033 ms, sd 24 ms",
                   "Most uneven intervals, against the mean of their gap:",
                   "  bell 2 blow 6, hand to back: -33 ms", "  bell 2 blow 2, hand to back: +17 ms",
                   "  bell 2 blow 4, hand to back: +17 ms"}));
}

TEST(PracticeSummaryTest, SeveralBellsZeroedStartEachBellAgainAtHandstroke) {
  PracticeRecord record = Zeroed(Together(OfBell(1, {0, 2000, 4200}), OfBell(3, {100, 2100})),
                                 Together(OfBell(1, {60000, 62000}), OfBell(3, {60100, 62300})));
  const std::vector<std::string> lines = PracticeSummary(record);
  // Bell 1: pieces of 4200 and 2000 ms; bell 3: 2000 and 2200 ms. The longer, 6200 ms, is
  // the practice's time; bell 1's three intervals and bell 3's two make five.
  EXPECT_EQ(lines[1], "count =9 time from first blow=6 secs");
  EXPECT_EQ(lines[4], "Zeroed and started again 1 time: the pauses are left out of the figures.");
  EXPECT_EQ(lines[6], "   1  mean 2200 ms, sd 0 ms            mean 2000 ms, sd 0 ms");
  EXPECT_EQ(lines[7], "   3  none rung                        mean 2100 ms, sd 100 ms");
}

// Several bells rung in a tower directly: the strokes sent and dropped, and why a blow
// may be dropped there; a bell the tower lacks is noted, and is no blow.
TEST(PracticeSummaryTest, SeveralBellsInATowerCountStrokesAndTheLackingBellsNoteIsNoBlow) {
  PracticeRecord record = Together(OfBell(1, {0, 2000}), OfBell(7, {100}));
  for (RecordLine& line : record) {
    line.stroke =
        line.bell == 1 ? (line.sensor_ms == 0 ? Stroke::kHand : Stroke::kBack) : Stroke::kUnknown;
    line.sent = line.bell == 1;
  }
  record.push_back(RecordLine{.lacking_bell = 7});
  const std::vector<std::string> lines = PracticeSummary(record);
  EXPECT_EQ(lines[1], "count =3 time from first blow=2 secs");
  EXPECT_EQ(lines[3],
            "Strokes: 2 sent, 1 dropped (Ringing Room's connection lost, or a bell the tower does "
            "not have).");
}

// Strokes the tower's server gave decide the gaps: here the ringer came in at backstroke,
// and a dropped blow between two named ones takes its place from the alternation.
TEST(PracticeSummaryTest, StrokesNamedInTheRecordDecideTheGaps) {
  PracticeRecord record = Piece({0, 2000, 4200, 6200, 8400, 10400});
  const Stroke strokes[] = {Stroke::kBack, Stroke::kHand,    Stroke::kBack,
                            Stroke::kHand, Stroke::kUnknown, Stroke::kHand};
  for (size_t k = 0; k < record.size(); ++k) record[k].stroke = strokes[k];
  const PracticeFigures figures = Figures(record);
  ASSERT_EQ(figures.intervals.size(), 5u);
  // Back to hand: blows 2, 4 and 6 (2000, 2000, 2000); hand to back: 3 and the
  // unnamed 5 (2200, 2200).
  EXPECT_EQ(figures.handstroke_gap.count, 3);
  EXPECT_EQ(figures.handstroke_gap.mean_ms, 2000);
  EXPECT_EQ(figures.backstroke_gap.count, 2);
  EXPECT_EQ(figures.backstroke_gap.mean_ms, 2200);
  record[4].sent = false;
  record.push_back(RecordLine{.disagreed_bell = 4});
  EXPECT_EQ(Figures(record).blows, 6) << "a disagreement is no blow";
  EXPECT_EQ(PracticeSummary(record)[4], "Another client rang your bell too: 1 stroke disagreed.");
  EXPECT_EQ(PracticeSummary(record)[3],
            "Strokes: 5 sent, 1 dropped (Ringing Room's connection lost, or no bell yours).");
}

}  // namespace
}  // namespace strikewell
