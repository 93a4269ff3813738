#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bells/bell_sensors.h"
#include "settings/bells_setup.h"

namespace strikewell {
namespace {

constexpr int64_t kMs = 1000;
constexpr int32_t kDebounceMs = 20;

BellSetup OnLine(int32_t bell, BellSource line, int32_t pulses, int32_t delay) {
  return BellSetup{.bell = bell, .source = line, .SensorNum = pulses, .BellDelay = delay};
}

BellSetup OnCharacter(int32_t bell, char character, int32_t delay, int32_t pulses = 1) {
  return BellSetup{.bell = bell,
                   .source = BellSource::kChar,
                   .character = static_cast<uint8_t>(character),
                   .SensorNum = pulses,
                   .BellDelay = delay};
}

BellsSetup Bells(std::vector<BellSetup> bells) {
  BellsSetup setup;
  setup.bells = std::move(bells);
  return setup;
}

// Lines at these levels, without the driver's counts.
LineLooks Levels(bool cts, bool dsr, bool cd = false, bool ri = false) {
  return {LineLook{cts, std::nullopt}, LineLook{dsr, std::nullopt}, LineLook{cd, std::nullopt},
          LineLook{ri, std::nullopt}};
}

// The handbell pair: the treble on CTS with one sensor, the second on DSR with two.
struct Pair {
  BellSensors sensors{
      Bells({OnLine(1, BellSource::kCts, 1, 250), OnLine(2, BellSource::kDsr, 2, 240)}),
      kDebounceMs};
  std::vector<BellBlow> blows;
  void Look(bool cts, bool dsr, int64_t at_ms) {
    for (const BellBlow& blow : sensors.LookAtLines(Levels(cts, dsr), at_ms * kMs)) {
      blows.push_back(blow);
    }
  }
};

TEST(BellSensors, TwoLinesRingAPairEachWithItsOwnPulsesAndDelay) {
  Pair pair;
  pair.sensors.TakeLineLevels({false, false, false, false});
  pair.Look(true, false, 1000);   // treble's sensor: a blow
  pair.Look(false, false, 1100);  //
  pair.Look(false, true, 1150);   // the second's first sensor: half a blow
  pair.Look(false, false, 1200);  //
  pair.Look(false, true, 1300);   // its second sensor: the blow
  pair.Look(true, false, 2000);   // treble again, the second's line off meanwhile
  const std::vector<BellBlow> expected = {
      {.bell = 1, .sensor_us = 1000 * kMs, .due_us = 1250 * kMs, .MyCounter = 1},
      {.bell = 2, .sensor_us = 1300 * kMs, .due_us = 1540 * kMs, .MyCounter = 1},
      {.bell = 1, .sensor_us = 2000 * kMs, .due_us = 2250 * kMs, .MyCounter = 2},
  };
  EXPECT_EQ(pair.blows, expected);
  EXPECT_EQ(pair.sensors.Counts()[0].last_interval_us, 1000 * kMs);
  EXPECT_EQ(pair.sensors.Counts()[1].last_interval_us, 0) << "one blow has no interval";
  EXPECT_EQ(pair.sensors.Counts()[1].SNum, 0);
  EXPECT_EQ(pair.sensors.Total(), 3);
}

TEST(BellSensors, ALineAlreadyOnAtTheStartCountsOnlyAfterGoingOffAndOn) {
  Pair pair;
  pair.sensors.TakeLineLevels({true, false, false, false});
  pair.Look(true, false, 1000);
  pair.Look(false, false, 1100);
  EXPECT_TRUE(pair.blows.empty());
  pair.Look(true, false, 1200);
  ASSERT_EQ(pair.blows.size(), 1u);
  EXPECT_EQ(pair.blows[0].sensor_us, 1200 * kMs);
}

TEST(BellSensors, EachLineIsDebouncedOnItsOwn) {
  Pair pair;
  pair.sensors.TakeLineLevels({false, false, false, false});
  pair.Look(true, true, 1000);  // both lines at once; CTS then chatters
  pair.Look(false, true, 1005);
  pair.Look(true, true, 1010);
  EXPECT_EQ(pair.sensors.RecheckAt(), 1020 * kMs);
  pair.Look(true, true, 1020);    // the recheck: CTS is on, as taken
  pair.Look(false, false, 1100);  // both off, then DSR on again: the second's blow
  pair.Look(false, true, 1200);
  const std::vector<BellBlow> expected = {
      {.bell = 1, .sensor_us = 1000 * kMs, .due_us = 1250 * kMs, .MyCounter = 1},
      {.bell = 2, .sensor_us = 1200 * kMs, .due_us = 1440 * kMs, .MyCounter = 1},
  };
  EXPECT_EQ(pair.blows, expected);
}

TEST(BellSensors, TheDriversCountsCatchAPulseBetweenLooks) {
  Pair pair;
  pair.sensors.TakeLineLevels({false, false, false, false});
  // CTS went on and off between two looks: two changes counted, the level as before.
  const LineLooks looks = {LineLook{false, 2}, LineLook{false, 0}, LineLook{}, LineLook{}};
  const std::vector<BellBlow> blows = pair.sensors.LookAtLines(looks, 500 * kMs);
  ASSERT_EQ(blows.size(), 1u);
  EXPECT_EQ(blows[0].bell, 1);
}

TEST(BellSensors, TwelveCharactersRingTwelveBellsEachAtItsOwnDelay) {
  BellsSetup box = Bells({});
  box.convention = true;
  for (int32_t bell = 1; bell <= 12; ++bell) {
    box.bells.push_back(OnCharacter(bell, ConventionCharacter(bell), 100 + 10 * bell));
  }
  BellSensors sensors(box, kDebounceMs);
  EXPECT_FALSE(sensors.UsesAnyLine());
  EXPECT_TRUE(sensors.UsesCharacters());
  // A round on twelve: a blow every 200 ms, in the order the box sends them.
  const std::string round = "1234567890ET";
  for (size_t i = 0; i < round.size(); ++i) {
    const int64_t at = static_cast<int64_t>(1000 + 200 * i) * kMs;
    const std::optional<BellBlow> blow = sensors.Character(static_cast<uint8_t>(round[i]), at);
    const int32_t bell = static_cast<int32_t>(i + 1);
    ASSERT_TRUE(blow.has_value()) << round[i];
    EXPECT_EQ(
        *blow,
        (BellBlow{
            .bell = bell, .sensor_us = at, .due_us = at + (100 + 10 * bell) * kMs, .MyCounter = 1}))
        << round[i];
  }
  EXPECT_FALSE(sensors.Character('A', 5000 * kMs).has_value()) << "no bell 13 in this set-up";
  EXPECT_FALSE(sensors.Character('e', 5000 * kMs).has_value());
  EXPECT_EQ(sensors.Total(), 12);
}

TEST(BellSensors, CharactersAreNotDebounced) {
  BellSensors sensors(Bells({OnCharacter(3, '3', 0)}), kDebounceMs);
  EXPECT_TRUE(sensors.Character('3', 1000 * kMs).has_value());
  EXPECT_TRUE(sensors.Character('3', 1002 * kMs).has_value());
  EXPECT_EQ(sensors.Counts()[0].MyCounter, 2);
  EXPECT_EQ(sensors.Counts()[0].last_interval_us, 2 * kMs);
}

TEST(BellSensors, ACharacterBellCountsItsOwnPulses) {
  BellSensors sensors(Bells({OnCharacter(1, 'a', 0, 2), OnCharacter(2, 'b', 0, 1)}), kDebounceMs);
  EXPECT_FALSE(sensors.Character('a', 1 * kMs).has_value());
  EXPECT_TRUE(sensors.Character('b', 2 * kMs).has_value()) << "another bell's pulse is its own";
  const std::optional<BellBlow> blow = sensors.Character('a', 3 * kMs);
  ASSERT_TRUE(blow.has_value());
  EXPECT_EQ(blow->bell, 1);
  EXPECT_EQ(blow->sensor_us, 3 * kMs);
}

TEST(BellSensors, ZeroStartsEveryBellsCountAgainButKeepsAHalfRungBlow) {
  BellSensors sensors(Bells({OnCharacter(1, 'a', 0, 2), OnCharacter(2, 'b', 0)}), kDebounceMs);
  sensors.Character('a', 1 * kMs);
  sensors.Character('a', 2 * kMs);
  sensors.Character('b', 3 * kMs);
  sensors.Character('b', 4 * kMs);
  sensors.Character('a', 5 * kMs);
  sensors.Zero();
  EXPECT_EQ(sensors.Total(), 0);
  EXPECT_EQ(sensors.Counts()[1].last_interval_us, 0);
  const std::optional<BellBlow> blow = sensors.Character('a', 6 * kMs);
  ASSERT_TRUE(blow.has_value()) << "the pulse before the zeroing still counts";
  EXPECT_EQ(blow->MyCounter, 1);
}

}  // namespace
}  // namespace strikewell
