// The simulated bell: its steady ringer's rhythm, its sensor's edges through the wait,
// and counting over it in fake time, with the space bar's blow and counting only.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
#include "fake_event_wait.h"
#include "fake_serial.h"
#include "run/counting.h"
#include "run/simulated_bell.h"
#include "sensor_script.h"

namespace strikewell {
namespace {

using testing::JKeys;

// Offsets in turn, then none.
Jitter Scripted(std::vector<int64_t> offsets_us) {
  size_t next = 0;
  return [offsets_us, next]() mutable {
    return next < offsets_us.size() ? offsets_us[next++] : int64_t{0};
  };
}

Jitter NoJitter() {
  return [] { return int64_t{0}; };
}

// The blow times of a ringer, in us.
std::vector<int64_t> Blows(SteadyRinger& ringer, int count) {
  std::vector<int64_t> blows;
  for (int k = 0; k < count; ++k) {
    blows.push_back(ringer.NextBlowUs());
    ringer.Advance();
  }
  return blows;
}

TEST(SimulatedRhythm, HandstrokeAndBackstrokeAlternateWithTheLongerGapBeforeTheHandstroke) {
  for (const int32_t whole_pull_ms : {kMinWholePullMs, kDefaultWholePullMs, kMaxWholePullMs}) {
    SCOPED_TRACE(whole_pull_ms);
    const int64_t whole_pull_us = int64_t{whole_pull_ms} * 1000;
    const int64_t hand_gap = HandstrokeGapUs(whole_pull_ms);
    EXPECT_EQ(hand_gap, whole_pull_us * 9 / 17);
    SteadyRinger ringer(whole_pull_ms, 7'000'000, NoJitter());
    std::vector<bool> strokes;
    for (int k = 0; k < 6; ++k) {
      strokes.push_back(ringer.NextIsHandstroke());
      ringer.Advance();
    }
    EXPECT_EQ(strokes, (std::vector<bool>{true, false, true, false, true, false}));

    SteadyRinger again(whole_pull_ms, 7'000'000, NoJitter());
    const std::vector<int64_t> blows = Blows(again, 7);
    EXPECT_EQ(blows[0], 7'000'000) << "the first blow, a handstroke, where it was asked";
    for (size_t k = 1; k < blows.size(); ++k) {
      // Blow k - 1 was a handstroke when k - 1 is even: then this gap is hand to back.
      const bool hand_to_back = (k - 1) % 2 == 0;
      EXPECT_EQ(blows[k] - blows[k - 1], hand_to_back ? whole_pull_us - hand_gap : hand_gap)
          << "gap before blow " << k;
    }
    // A little longer, as in real ringing: more than the backstroke gap, by under a tenth.
    EXPECT_GT(hand_gap, whole_pull_us - hand_gap);
    EXPECT_LT(hand_gap - (whole_pull_us - hand_gap), whole_pull_us / 10);
  }
}

TEST(SimulatedRhythm, EachBlowIsOffTheSteadyRhythmByItsOwnJitterAndNeverDrifts) {
  const std::vector<int64_t> offsets = {4000, -5000, 5000, -3000, 0, 1000};
  SteadyRinger steady(2200, 1'000'000, NoJitter());
  SteadyRinger jittered(2200, 1'000'000, Scripted(offsets));
  const std::vector<int64_t> nominal = Blows(steady, 6);
  const std::vector<int64_t> rung = Blows(jittered, 6);
  for (size_t k = 0; k < offsets.size(); ++k) {
    EXPECT_EQ(rung[k] - nominal[k], offsets[k]) << "blow " << k;
  }
}

TEST(SimulatedRhythm, RandomJitterStaysWithinItsBoundVariesAndRepeatsForASeed) {
  for (const uint64_t seed : {uint64_t{0}, uint64_t{1}, uint64_t{4'400'000}, ~uint64_t{0}}) {
    SCOPED_TRACE(seed);
    Jitter jitter = RandomJitter(seed);
    Jitter same = RandomJitter(seed);
    std::set<int64_t> seen;
    int64_t low = 0, high = 0;
    for (int k = 0; k < 5000; ++k) {
      const int64_t offset = jitter();
      ASSERT_GE(offset, -kJitterBoundUs);
      ASSERT_LE(offset, kJitterBoundUs);
      EXPECT_EQ(same(), offset);
      seen.insert(offset);
      low = std::min(low, offset);
      high = std::max(high, offset);
    }
    EXPECT_GT(seen.size(), 2000u) << "spread over the range, not a few values";
    EXPECT_LT(low, -kJitterBoundUs * 9 / 10);
    EXPECT_GT(high, kJitterBoundUs * 9 / 10);
  }
  Jitter one = RandomJitter(1), two = RandomJitter(2);
  std::vector<int64_t> a, b;
  for (int k = 0; k < 10; ++k) {
    a.push_back(one());
    b.push_back(two());
  }
  EXPECT_NE(a, b) << "another seed, another ringing";
}

TEST(SimulatedRhythm, RandomGapsStayWithinTwiceTheJitterBoundOfTheirSteadyGap) {
  SteadyRinger ringer(1500, 0, RandomJitter(99));
  const std::vector<int64_t> blows = Blows(ringer, 400);
  const int64_t hand_gap = HandstrokeGapUs(1500);
  for (size_t k = 1; k < blows.size(); ++k) {
    const int64_t steady = (k - 1) % 2 == 0 ? 1'500'000 - hand_gap : hand_gap;
    EXPECT_LE(std::abs(blows[k] - blows[k - 1] - steady), 2 * kJitterBoundUs) << "blow " << k;
  }
}

// The sensor and the wait, with no counting: what a caller of the wait sees.
struct Sensor {
  explicit Sensor(int32_t whole_pull_ms = 1500, Jitter jitter = NoJitter())
      : sim(clock, fake_wait, whole_pull_ms, std::move(jitter)) {
    handle = sim.bell.SerOpen(kSimulatedPortName);
  }

  WaitResult WaitOnLines(int64_t deadline_us = kNoDeadline) {
    WaitFor what;
    what.port = handle;
    what.lines = true;
    what.console = false;
    what.deadline_us = deadline_us;
    return sim.wait.Wait(what);
  }

  testing::FakeClock clock;
  testing::FakeSerial serial{clock};
  testing::FakeRawConsole raw{clock};
  testing::FakeEventWait fake_wait{clock, serial, raw};
  SimulatedSensor sim;
  SerHandle handle = 0;
};

TEST(SimulatedSensor, OnlyItsOwnNameOpensAndOnlyOnce) {
  Sensor s;
  EXPECT_EQ(s.handle, s.sim.bell.handle());
  EXPECT_GT(s.handle, 0);
  EXPECT_EQ(s.sim.bell.SerOpen(kSimulatedPortName), 0) << "already open";
  EXPECT_EQ(s.sim.bell.SerOpen("\\\\.\\COM3"), 0);
  s.sim.bell.SerClose(s.handle);
  EXPECT_EQ(s.sim.bell.SerOpen(kSimulatedPortName), s.handle);
}

TEST(SimulatedSensor, EachEdgeIsToldWithItsOwnTimeHoweverLateTheWaitLooks) {
  Sensor s;
  const int64_t back_gap = 1'500'000 - HandstrokeGapUs(1500);
  EXPECT_FALSE(s.sim.bell.SerGetCTS(s.handle));
  // The program is busy for 3 s: the edges are told one by one afterwards, in order.
  s.clock.Advance(3'000'000);
  const int64_t rising_1 = kLeadInUs, rising_2 = kLeadInUs + back_gap,
                rising_3 = kLeadInUs + 1'500'000;
  std::vector<int64_t> told;
  std::vector<bool> cts;
  for (int k = 0; k < 6; ++k) {
    const WaitResult woke = s.WaitOnLines();
    ASSERT_TRUE(woke.lines);
    told.push_back(woke.lines_at_us);
    cts.push_back(s.sim.bell.SerGetCTS(s.handle));
  }
  EXPECT_EQ(told, (std::vector<int64_t>{rising_1, rising_1 + kPulseUs, rising_2,
                                        rising_2 + kPulseUs, rising_3, rising_3 + kPulseUs}));
  EXPECT_EQ(cts, (std::vector<bool>{true, false, true, false, true, false}));
  EXPECT_EQ(s.clock.NowMicros(), 3'000'000) << "no edge waited for: all were past";
}

TEST(SimulatedSensor, TheRealWaitWatchesTheRestUntilTheNextEdgeAndNeverThePort) {
  Sensor s;
  const WaitResult early = s.WaitOnLines(500'000);
  EXPECT_FALSE(early.lines) << "the deadline came first";
  EXPECT_EQ(s.clock.NowMicros(), 500'000);
  const WaitResult edge = s.WaitOnLines();
  EXPECT_TRUE(edge.lines);
  EXPECT_EQ(s.clock.NowMicros(), kLeadInUs) << "woken at the edge itself";
  ASSERT_EQ(s.fake_wait.waits.size(), 2u);
  for (const WaitFor& w : s.fake_wait.waits) {
    EXPECT_EQ(w.port, 0);
    EXPECT_FALSE(w.lines);
    EXPECT_FALSE(w.data);
  }
  EXPECT_EQ(s.fake_wait.waits[0].deadline_us, 500'000);
  EXPECT_EQ(s.fake_wait.waits[1].deadline_us, kLeadInUs);
}

// Where a blow rung by hand starts: at once, or just after a pulse it would run into.
TEST(SimulatedSensor, ABlowByHandStartsAtOnceOrJustClearOfAnotherPulse) {
  const int64_t back_gap = 1'500'000 - HandstrokeGapUs(1500);
  const int64_t clear = kPulseUs + kLeastOffUs;
  struct Case {
    const char* name;
    int64_t pressed_us;
    int64_t starts_us;
  };
  const Case cases[] = {
      {.name = "between blows", .pressed_us = 1'300'000, .starts_us = 1'300'000},
      {.name = "while a pulse is on", .pressed_us = 1'010'000, .starts_us = kLeadInUs + clear},
      {.name = "just before a scheduled blow",
       .pressed_us = kLeadInUs + back_gap - 30'000,
       .starts_us = kLeadInUs + back_gap + clear},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sensor s;
    s.WaitOnLines(c.pressed_us);
    while (s.clock.NowMicros() < c.pressed_us) s.WaitOnLines(c.pressed_us);
    s.sim.bell.RingByHand();
    std::vector<int64_t> rising;
    while (rising.size() < 3) {
      const WaitResult woke = s.WaitOnLines();
      if (woke.lines && s.sim.bell.SerGetCTS(s.handle)) rising.push_back(woke.lines_at_us);
    }
    EXPECT_NE(std::find(rising.begin(), rising.end(), c.starts_us), rising.end());
    for (size_t k = 1; k < rising.size(); ++k) {
      EXPECT_GE(rising[k] - rising[k - 1], clear) << "pulses overlap";
    }
  }
}

// Holding the space bar down: the keyboard repeats it every 30 ms, faster than pulses
// can follow one another. Every press is a blow, in order, and no pulse starts inside
// another or before the line has been off a while, scheduled blows included.
TEST(SimulatedSensor, BlowsByHandFasterThanPulsesQueueUpAndKeepTimeInOrder) {
  Sensor s;
  std::vector<int64_t> rising, falling;
  const auto wait_until = [&s, &rising, &falling](int64_t until_us) {
    while (s.clock.NowMicros() < until_us) {
      const WaitResult woke = s.WaitOnLines(until_us);
      if (woke.lines)
        (s.sim.bell.SerGetCTS(s.handle) ? rising : falling).push_back(woke.lines_at_us);
    }
  };
  for (int64_t press = 900'000; press < 1'500'000; press += 30'000) {
    wait_until(press);
    s.sim.bell.RingByHand();
  }
  wait_until(5'000'000);
  // 20 by hand, and the scheduled blows at 1, 1.71, 2.5, 3.21, 4 and 4.71 s.
  EXPECT_EQ(rising.size(), 26u);
  ASSERT_EQ(falling.size(), rising.size());
  for (size_t k = 0; k < rising.size(); ++k) {
    EXPECT_EQ(falling[k] - rising[k], kPulseUs);
    if (k > 0) {
      EXPECT_GE(rising[k] - falling[k - 1], kLeastOffUs) << "pulse " << k;
    }
  }
}

// What counting tells the record: "blow sensor_us key_us outcome".
struct RecordingLog : PracticeLog {
  void Blow(const BlowLine& line) override {
    entries.push_back(std::to_string(line.blow) + " " + std::to_string(line.sensor_us) + " " +
                      std::to_string(line.key_us) +
                      (line.keyless ? " none"
                       : line.sent  ? " sent"
                                    : " dropped"));
  }
  void Zeroed() override { entries.push_back("zeroed"); }
  std::vector<std::string> entries;
};

// Counting over the simulated bell: the real loop, its sensor the bell.
struct SimulatedPractice {
  explicit SimulatedPractice(int32_t bell_delay, Jitter jitter = NoJitter())
      : sensor(1500, std::move(jitter)) {
    SetupFont(state.screen.Line);
    state.settings = SimulatedBellSettings(bell_delay);
    state.SerialHandle = sensor.handle;
    state.SaveWnd = desktop.AddWindow("Ringing Room - Chromium");
    desktop.foreground = state.SaveWnd;
  }

  void Run(bool count_only = false, std::string note = "") {
    CountingIo io{sensor.sim.bell, console, desktop, sensor.clock, sensor.sim.wait, &log};
    io.simulated_bell = &sensor.sim.bell;
    io.count_only = count_only;
    io.practice_note = note;
    CountBlows(state, io);
  }

  Sensor sensor;
  testing::FakeRawConsole& raw = sensor.raw;
  Console console{sensor.raw, sensor.clock};
  testing::FakeDesktop desktop{&sensor.clock};
  RecordingLog log;
  RunState state;
};

// The steady blows of a 1500 ms whole pull up to before_us, without jitter.
std::vector<int64_t> SteadyBlows(int64_t before_us) {
  SteadyRinger ringer(1500, kLeadInUs, NoJitter());
  std::vector<int64_t> blows;
  while (ringer.NextBlowUs() < before_us) {
    blows.push_back(ringer.NextBlowUs());
    ringer.Advance();
  }
  return blows;
}

std::vector<int64_t> KeysMs(const std::vector<int64_t>& blows_us, int64_t delay_us) {
  std::vector<int64_t> keys;
  for (const int64_t blow : blows_us) keys.push_back((blow + delay_us) / 1000);
  return keys;
}

TEST(SimulatedPracticeTest, EveryBlowIsCountedAndKeyedABellDelayAfterItsPulse) {
  const std::vector<int64_t> offsets = {3000, -4000, 5000, -5000, 1000, -2500};
  SimulatedPractice practice(250, Scripted(offsets));
  practice.raw.Type("q", 5000);
  practice.Run();

  std::vector<int64_t> blows = SteadyBlows(5'000'000);
  ASSERT_EQ(blows.size(), 6u);
  std::vector<std::string> expected;
  for (size_t k = 0; k < blows.size(); ++k) {
    blows[k] += offsets[k];
    expected.push_back(std::to_string(k + 1) + " " + std::to_string(blows[k]) + " " +
                       std::to_string(blows[k] + 250'000) + " sent");
  }
  EXPECT_EQ(practice.state.MyCounter, 6);
  EXPECT_EQ(practice.log.entries, expected);
  EXPECT_EQ(practice.desktop.keys, JKeys(KeysMs(blows, 250'000)));
}

TEST(SimulatedPracticeTest, TheSpaceBarRingsOneMoreBlowAndTheRhythmGoesOn) {
  SimulatedPractice practice(100);
  practice.raw.Type(" ", 1300);
  practice.raw.Type("q", 3000);
  practice.Run();

  std::vector<int64_t> blows = SteadyBlows(3'000'000);
  blows.insert(blows.begin() + 1, 1'300'000);
  EXPECT_EQ(practice.state.MyCounter, static_cast<int32_t>(blows.size()));
  EXPECT_EQ(practice.desktop.keys, JKeys(KeysMs(blows, 100'000)));
}

TEST(SimulatedPracticeTest, CountingOnlyRecordsEveryBlowAndNeitherLooksAtWindowsNorSendsKeys) {
  SimulatedPractice practice(200);
  practice.raw.Type("q", 3900);
  practice.Run(true);

  const std::vector<int64_t> blows = SteadyBlows(3'900'000);
  std::vector<std::string> expected;
  for (size_t k = 0; k < blows.size(); ++k) {
    expected.push_back(std::to_string(k + 1) + " " + std::to_string(blows[k]) + " " +
                       std::to_string(blows[k] + 200'000) + " none");
  }
  EXPECT_EQ(practice.state.MyCounter, static_cast<int32_t>(blows.size()));
  EXPECT_EQ(practice.log.entries, expected);
  EXPECT_TRUE(practice.desktop.keys.empty());
  EXPECT_EQ(practice.desktop.foreground_queries, 0);
  EXPECT_EQ(practice.raw.transcript.find("Key sending suspended"), std::string::npos);
}

TEST(SimulatedPracticeTest, TheStatusLineNamesTheSimulatedBellAndTheNoteStaysUnderTheCounter) {
  SimulatedPractice practice(250);
  const std::string note = "Simulated bell - the space bar rings one more blow";
  practice.raw.Type("0", 2000);
  practice.raw.Type("q", 3000);
  practice.Run(false, note);

  const std::string status =
      "Counting started\n"
      "Port=simulated bell usects=TRUE usedsr=FALSE usecd=FALSE useri=FALSE\n"
      " usedat=FALSE usedatnum=0 sensornum=1 belldelay=250\n";
  EXPECT_EQ(practice.raw.transcript.substr(0, status.size()), status);
  EXPECT_EQ(practice.raw.Row(23), "0 will zero counter;  Q=Quit");
  EXPECT_EQ(practice.raw.Row(24), note) << "after blows and a zeroing";
}

}  // namespace
}  // namespace strikewell
