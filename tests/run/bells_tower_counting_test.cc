// Several bells on one port ringing a tower joined directly, over the fake Ringing
// Room in fake time: each blow rings its own bell with that bell's own stroke at its
// own sensor event + delay; a bell the tower lacks is dropped and the status line
// says why.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sensor_script.h"
#include "tower_practice.h"

namespace strikewell {
namespace {

using testing::ByteScript;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Lines;

constexpr const char* kPort = "\\\\.\\COM3";
using testing::kAnn;
using testing::kTower;
constexpr Lines kOff{}, kCts{.cts = true}, kDsr{.dsr = true};

// Blows as the record is told them: "bell N blow B sensor_ms key_ms sent|dropped
// [hand|back]".
struct BellStrokeLog : PracticeLog {
  void Blow(const BlowLine& line) override {
    const char* stroke = line.stroke == Stroke::kHand   ? " hand"
                         : line.stroke == Stroke::kBack ? " back"
                                                        : "";
    entries.push_back("bell " + std::to_string(line.bell) + " blow " + std::to_string(line.blow) +
                      " " + std::to_string(line.sensor_us / 1000) + " " +
                      std::to_string(line.key_us / 1000) + (line.sent ? " sent" : " dropped") +
                      stroke);
  }
  void Zeroed() override { entries.push_back("zeroed"); }
  void NotInTower(int32_t bell) override {
    entries.push_back("bell " + std::to_string(bell) + " not in the tower");
  }
  std::vector<std::string> entries;
};

BellsSetup BellsOn(std::vector<BellSetup> bells, bool convention = false) {
  BellsSetup setup;
  setup.ComPortName = kPort;
  setup.convention = convention;
  setup.bells = std::move(bells);
  return setup;
}

// A box of `count` bells on the multi-bell convention's characters, bell n with a
// delay of 100 + 10n ms.
BellsSetup ConventionBox(int32_t count) {
  std::vector<BellSetup> bells;
  for (int32_t bell = 1; bell <= count; ++bell) {
    bells.push_back({.bell = bell,
                     .source = BellSource::kChar,
                     .character = static_cast<uint8_t>(ConventionCharacter(bell)),
                     .BellDelay = 100 + 10 * bell});
  }
  return BellsOn(bells, true);
}

int64_t BoxDelayMs(int32_t bell) { return 100 + 10 * bell; }

// One practice: several bells on COM3, ann joined to a tower of tower_bells bells.
// Nobody is assigned any bell: each blow names its own.
struct BellsTowerLoop : testing::TowerPractice {
  BellsTowerLoop(const BellsSetup& setup, int32_t tower_bells, const testing::LineScript& lines,
                 const ByteScript& bytes = {}) {
    serial.AddPort(kPort);
    Play(serial, kPort, lines, bytes);
    SetupFont(state.screen.Line);
    state.several_bells = setup;
    state.SerialHandle = serial.SerOpen(kPort);
    std::vector<int32_t> numbers;
    for (const BellSetup& bell : setup.bells) numbers.push_back(bell.bell);
    Join({.bells = std::vector<bool>(static_cast<size_t>(tower_bells), true)}, {.bells = numbers});
  }

  void Run(int64_t quit_ms) { TowerPractice::Run(quit_ms, log); }

  BellStrokeLog log;
};

TEST(BellsTowerCounting, TwelveBoxCharactersRingBellsOneToTwelveEachAtItsDueTimeWithItsStrokes) {
  // Two rounds: bell n strikes at 200n ms and again 3 s later.
  ByteScript bytes;
  std::vector<std::string> expected;
  for (const int64_t round_ms : {0, 3000}) {
    for (int32_t bell = 1; bell <= 12; ++bell) {
      const int64_t at = round_ms + 200 * bell;
      bytes.emplace_back(at, static_cast<uint8_t>(ConventionCharacter(bell)));
      expected.push_back(std::to_string(bell) + "@" + std::to_string(at + BoxDelayMs(bell)) +
                         (round_ms == 0 ? " hand" : " back"));
    }
  }
  BellsTowerLoop loop(ConventionBox(12), 12, {}, bytes);
  loop.Run(6000);

  EXPECT_EQ(loop.Rings(), expected);
  for (const auto& rung : loop.network.rungs) EXPECT_FALSE(rung.disagree) << rung.bell;
  EXPECT_THAT(loop.desktop.keys, IsEmpty()) << "no key goes to any window";
  EXPECT_EQ(loop.state.MyCounter, 24);
  ASSERT_EQ(loop.log.entries.size(), 24u);
  EXPECT_EQ(loop.log.entries[0], "bell 1 blow 1 200 310 sent hand");
  EXPECT_EQ(loop.log.entries[23], "bell 12 blow 2 5400 5620 sent back");
  EXPECT_EQ(loop.raw.Row(24), "ringing bells 1-12");
}

TEST(BellsTowerCounting, AClashOfBellsEachRingsAtItsOwnTimeWithItsOwnStroke) {
  // Bells 8 down to 1 struck 5 ms apart: the shorter delays of the lower bells put
  // their rings first although they were struck last.
  ByteScript bytes;
  for (int32_t bell = 8; bell >= 1; --bell) {
    bytes.emplace_back(100 + 5 * (8 - bell), static_cast<uint8_t>(ConventionCharacter(bell)));
  }
  // Bell 3 once more: its backstroke.
  bytes.emplace_back(1000, static_cast<uint8_t>(ConventionCharacter(3)));
  BellsTowerLoop loop(ConventionBox(8), 8, {}, bytes);
  loop.Run(2000);

  EXPECT_THAT(loop.Rings(),
              ElementsAre("1@245 hand", "2@250 hand", "3@255 hand", "4@260 hand", "5@265 hand",
                          "6@270 hand", "7@275 hand", "8@280 hand", "3@1130 back"));
  EXPECT_EQ(loop.raw.Row(24), "ringing bells 1-8");
}

TEST(BellsTowerCounting, APairOnTwoLinesRingsItsTwoBellsWithTheirOwnDelaysAndStrokes) {
  // Bells 5 and 6 of the tower in the ringer's hands: 5 on CTS (250 ms), 6 on DSR
  // (two sensors a blow, 240 ms).
  const BellsSetup pair =
      BellsOn({{.bell = 5, .source = BellSource::kCts, .SensorNum = 1, .BellDelay = 250},
               {.bell = 6, .source = BellSource::kDsr, .SensorNum = 2, .BellDelay = 240}});
  BellsTowerLoop loop(pair, 8,
                      {{100, kCts},
                       {150, kOff},
                       {200, kDsr},
                       {250, kOff},
                       {400, kDsr},  // bell 6's second sensor: its blow
                       {450, kOff},
                       {1100, kCts},
                       {1150, kOff},
                       {1300, kDsr},
                       {1350, kOff},
                       {1500, kDsr},
                       {1550, kOff}});
  loop.Run(3000);

  EXPECT_THAT(loop.Rings(), ElementsAre("5@350 hand", "6@640 hand", "5@1350 back", "6@1740 back"));
  EXPECT_THAT(
      loop.log.entries,
      ElementsAre("bell 5 blow 1 100 350 sent hand", "bell 6 blow 1 400 640 sent hand",
                  "bell 5 blow 2 1100 1350 sent back", "bell 6 blow 2 1500 1740 sent back"));
  EXPECT_EQ(loop.raw.Row(24), "ringing bells 5-6");
}

TEST(BellsTowerCounting, ABellTheTowerLacksIsDroppedAndTheStatusLineSaysWhich) {
  // An eight-bell box in a six-bell tower: bells 7 and 8 are counted, never rung.
  ByteScript bytes;
  for (int32_t bell = 1; bell <= 8; ++bell) {
    bytes.emplace_back(200 * bell, static_cast<uint8_t>(ConventionCharacter(bell)));
  }
  BellsTowerLoop loop(ConventionBox(8), 6, {}, bytes);
  loop.Run(3000);

  EXPECT_THAT(loop.Rings(), ElementsAre("1@310 hand", "2@520 hand", "3@730 hand", "4@940 hand",
                                        "5@1150 hand", "6@1360 hand"));
  EXPECT_EQ(loop.state.MyCounter, 8);
  ASSERT_EQ(loop.log.entries.size(), 10u);
  EXPECT_EQ(loop.log.entries[5], "bell 6 blow 1 1200 1360 sent hand");
  EXPECT_EQ(loop.log.entries[6], "bell 7 blow 1 1400 1570 dropped");
  EXPECT_EQ(loop.log.entries[7], "bell 7 not in the tower");
  EXPECT_EQ(loop.log.entries[8], "bell 8 blow 1 1600 1780 dropped");
  EXPECT_EQ(loop.log.entries[9], "bell 8 not in the tower");
  EXPECT_EQ(loop.raw.Row(24), "ringing bells 1-6 - the tower has 6 bells, so 7-8 are not rung");
}

TEST(BellsTowerCounting, ATowerGrowingToTheBoxsSizeRingsTheBellsItLackedBefore) {
  ByteScript bytes;
  bytes.emplace_back(100, static_cast<uint8_t>(ConventionCharacter(8)));
  bytes.emplace_back(2100, static_cast<uint8_t>(ConventionCharacter(8)));
  BellsTowerLoop loop(ConventionBox(8), 6, {}, bytes);
  loop.network.SizeChangeAt(1000, kTower, 8);
  loop.Run(3000);

  EXPECT_THAT(loop.Rings(), ElementsAre("8@2280 hand"));
  EXPECT_THAT(loop.log.entries,
              ElementsAre("bell 8 blow 1 100 280 dropped", "bell 8 not in the tower",
                          "bell 8 blow 2 2100 2280 sent hand"));
  EXPECT_EQ(loop.raw.Row(24), "ringing bells 1-8");
}

TEST(BellsTowerCounting, RingsOfBellsAssignedToOthersStillGoAsTheSetUpNamesThem) {
  // The set-up, not the tower's assignments, says which bells the box rings.
  ByteScript bytes;
  bytes.emplace_back(100, static_cast<uint8_t>(ConventionCharacter(2)));
  BellsTowerLoop loop(ConventionBox(2), 8, {}, bytes);
  loop.network.AssignAt(0, kTower, 2, 3);
  loop.Run(1000);

  EXPECT_THAT(loop.Rings(), ElementsAre("2@220 hand"));
}

}  // namespace
}  // namespace strikewell
