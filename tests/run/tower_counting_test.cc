// Counting that rings through the tower's connection instead of the window, over the
// fake Ringing Room in fake time: each blow's ring at its due time with the ringer's
// bell and stroke, the status line, and blows counted on while nothing can be sent.
#include <cstdint>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sensor_script.h"
#include "settings_builders.h"
#include "tower_practice.h"

namespace strikewell {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::LineSensor;
using testing::Pulses;

using testing::kAnn;
using testing::kTower;
constexpr const char* kLost =
    "Ringing Room connection lost - reconnecting; blows are counted, strokes are not sent";

// Blows as the record is told them: "blow sensor_ms key_ms sent|dropped [hand|back]".
struct StrokeLog : PracticeLog {
  void Blow(const BlowLine& line) override {
    const char* stroke = line.stroke == Stroke::kHand   ? " hand"
                         : line.stroke == Stroke::kBack ? " back"
                                                        : "";
    entries.push_back(std::to_string(line.blow) + " " + std::to_string(line.sensor_us / 1000) +
                      " " + std::to_string(line.key_us / 1000) +
                      (line.sent ? " sent" : " dropped") + stroke);
  }
  void Zeroed() override { entries.push_back("zeroed"); }
  void Disagreed(int32_t bell) override { entries.push_back("disagreed " + std::to_string(bell)); }
  std::vector<std::string> entries;
};

// One practice: the CTS sensor on COM3 with a 250 ms bell delay, ann joined to an
// eight-bell tower in which she holds bell 4.
struct TowerLoop : testing::TowerPractice {
  explicit TowerLoop(const testing::LineScript& lines, int32_t fixed_bell = 0) {
    serial.AddPort(testing::kCom3);
    Play(serial, testing::kCom3, lines, {});
    SetupFont(state.screen.Line);
    state.settings = testing::SettingsOf(LineSensor{.lines = {.cts = true}, .bell_delay_ms = 250});
    state.SerialHandle = serial.SerOpen(testing::kCom3);
    Join({.assigned = {{4, kAnn}}}, {.fixed_bell = fixed_bell});
  }

  void Run(int64_t quit_ms) { TowerPractice::Run(quit_ms, log); }

  StrokeLog log;
};

TEST(TowerCounting, EachBlowRingsTheRingersBellAtItsDueTimeWithAlternatingStrokes) {
  TowerLoop loop(Pulses({100, 1100, 2100, 3100}));
  loop.Run(4000);
  EXPECT_EQ(loop.state.MyCounter, 4);
  EXPECT_THAT(loop.Rings(), ElementsAre("4@350 hand", "4@1350 back", "4@2350 hand", "4@3350 back"));
  for (const auto& rung : loop.network.rungs) EXPECT_FALSE(rung.disagree);
  EXPECT_THAT(loop.desktop.keys, IsEmpty()) << "no key goes to any window";
  EXPECT_THAT(loop.log.entries, ElementsAre("1 100 350 sent hand", "2 1100 1350 sent back",
                                            "3 2100 2350 sent hand", "4 3100 3350 sent back"));
  EXPECT_EQ(loop.raw.Row(24), "ringing bell 4");
}

TEST(TowerCounting, RingsOwedWhenTheRingerQuitsStillGoAtTheirTimesAndNothingAnnouncesLeaving) {
  TowerLoop loop(Pulses({100, 200}));
  loop.Run(300);
  EXPECT_THAT(loop.Rings(), ElementsAre("4@350 hand", "4@450 back"));
  for (const auto& sent : loop.network.sent) {
    EXPECT_EQ(sent.text.find("c_user_left"), std::string::npos) << sent.text;
  }
}

TEST(TowerCounting, WithoutABellBlowsAreDroppedUntilTheHostGivesOne) {
  TowerLoop loop(Pulses({100, 1100, 2100}));
  loop.network.AssignAt(0, kTower, 4, 0);
  loop.network.AssignAt(1500, kTower, 6, kAnn);
  loop.Run(3000);
  EXPECT_EQ(loop.state.MyCounter, 3);
  EXPECT_THAT(loop.Rings(), ElementsAre("6@2350 hand"));
  EXPECT_THAT(loop.log.entries,
              ElementsAre("1 100 350 dropped", "2 1100 1350 dropped", "3 2100 2350 sent hand"));
  EXPECT_EQ(loop.raw.Row(24), "ringing bell 6");
}

TEST(TowerCounting, TheStatusLineSaysWhenNoBellIsTheRingers) {
  TowerLoop loop(Pulses({100}));
  loop.network.AssignAt(50, kTower, 4, 3);
  loop.Run(1000);
  EXPECT_EQ(loop.raw.Row(24), "Waiting to be given a bell in Ringing Room");
}

TEST(TowerCounting, ReassignmentMidPracticeMovesTheRingsToTheNewBell) {
  TowerLoop loop(Pulses({100, 1100}));
  loop.network.AssignAt(500, kTower, 2, kAnn);
  loop.Run(2000);
  EXPECT_THAT(loop.Rings(), ElementsAre("4@350 hand", "2@1350 hand"));
}

TEST(TowerCounting, ALostConnectionDropsRingsCountsOnAndRingsAgainOnceRejoined) {
  // Dropped at 1.5 s and refused for 3 s: tried at 1.5, 3.5 and 5.5 s.
  TowerLoop loop(Pulses({100, 1100, 2100, 3100, 4100, 5100, 6100, 7100}));
  loop.network.DropAt(1500, 3000);
  loop.Run(8000);
  EXPECT_EQ(loop.state.MyCounter, 8);
  EXPECT_THAT(loop.log.entries,
              ElementsAre("1 100 350 sent hand", "2 1100 1350 sent back", "3 2100 2350 dropped",
                          "4 3100 3350 dropped", "5 4100 4350 dropped", "6 5100 5350 dropped",
                          "7 6100 6350 sent hand", "8 7100 7350 sent back"));
  // The server's state was kept while the ringer was away: bell 4 had rung twice.
  EXPECT_THAT(loop.Rings(), ElementsAre("4@350 hand", "4@1350 back", "4@6350 hand", "4@7350 back"));
  EXPECT_EQ(loop.network.opened_urls.size(), 4u);
  EXPECT_EQ(loop.raw.Row(24), "Ringing Room connection is back - ringing bell 4");
}

TEST(TowerCounting, WhileLostTheScreenSaysSo) {
  TowerLoop loop(Pulses({100, 2100}));
  loop.network.DropAt(1500, 60'000);
  loop.Run(3000);
  // Too long for one row, it goes on in the next.
  EXPECT_EQ(loop.raw.Row(24) + " " + loop.raw.Row(25), kLost);
  EXPECT_EQ(loop.state.MyCounter, 2);
}

TEST(TowerCounting, PingsAreAnsweredWhileCountingAndTheirLossIsALostConnection) {
  TowerLoop loop(Pulses({100}));
  loop.network.StopPingingAt(30'000);
  loop.Run(80'000);
  std::vector<int64_t> pongs;
  for (const auto& sent : loop.network.sent) {
    if (sent.text == "3") pongs.push_back(sent.at_us / 1000);
  }
  // The last ping at 25 s; lost at 70 s, joined again at once; the new connection's
  // pings stop too (the server has stopped them all).
  EXPECT_THAT(pongs, ElementsAre(25'000));
  EXPECT_EQ(loop.network.opened_urls.size(), 2u);
}

TEST(TowerCounting, RemovedByTheHostCountingGoesOnWithoutRinging) {
  TowerLoop loop(Pulses({100, 1100}));
  loop.network.KickAt(500, kTower, kAnn);
  loop.Run(2000);
  EXPECT_EQ(loop.state.MyCounter, 2);
  EXPECT_THAT(loop.Rings(), ElementsAre("4@350 hand"));
  EXPECT_EQ(loop.raw.Row(24),
            "The host removed you from the Ringing Room tower - strokes are not sent");
}

TEST(TowerCounting, AnotherClientRingingTheBellIsNotedInTheRecordAfterTheBlowsBefore) {
  TowerLoop loop(Pulses({100, 1100}));
  loop.network.SendAt(
      400,
      R"(42["s_bell_rung",{"global_bell_state":[true,true,true,false,true,true,true,true],"who_rang":4,"disagree":true}])");
  loop.Run(2000);
  EXPECT_THAT(loop.log.entries,
              ElementsAre("1 100 350 sent hand", "disagreed 4", "2 1100 1350 sent back"));
}

TEST(TowerCounting, AChosenBellIsRungWhateverIsAssigned) {
  TowerLoop loop(Pulses({100}), /*fixed_bell=*/1);
  loop.Run(1000);
  EXPECT_THAT(loop.Rings(), ElementsAre("1@350 hand"));
}

}  // namespace
}  // namespace strikewell
