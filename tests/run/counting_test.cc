// The counting loop over scripted ports, keys and a fake desktop, in fake time: the
// wait wakes exactly when a scripted line change, byte or key comes (or a key falls
// due), and a status query costs 50 us.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
#include "fake_event_wait.h"
#include "fake_serial.h"
#include "run/counting.h"
#include "sensor_script.h"
#include "settings_builders.h"

namespace strikewell {
namespace {

using testing::BoxSensor;
using testing::ByteScript;
using testing::Chatter;
using testing::ChatteringPulses;
using testing::FakeDesktop;
using testing::JKeys;
using testing::Lines;
using testing::LineScript;
using testing::LineSensor;
using testing::Pulses;
using testing::SettingsOf;

constexpr const char* kPort = testing::kCom3;
constexpr Lines kOff{}, kCts{.cts = true}, kDsr{.dsr = true}, kCd{.cd = true}, kRi{.ri = true};
constexpr Lines kCtsDsr{.cts = true, .dsr = true};
constexpr Lines kAllLines{.cts = true, .dsr = true, .cd = true, .ri = true};

// The CTS line sensor with one pulse a blow and the given bell delay.
Settings CtsSensor(int32_t bell_delay_ms) {
  return SettingsOf(LineSensor{.lines = kCts, .bell_delay_ms = bell_delay_ms});
}

// What counting tells the practice record, as text: "blow sensor_ms key_ms sent".
struct RecordingLog : PracticeLog {
  void Blow(const BlowLine& line) override {
    if (desktop != nullptr) key_events_when_written.push_back(desktop->keys.size());
    entries.push_back(std::to_string(line.blow) + " " + std::to_string(line.sensor_us / 1000) +
                      " " + std::to_string(line.key_us / 1000) +
                      (line.sent ? " sent" : " dropped"));
  }
  void Zeroed() override { entries.push_back("zeroed"); }
  std::vector<std::string> entries;
  // With a desktop: how many key events it had when each blow was written.
  const FakeDesktop* desktop = nullptr;
  std::vector<size_t> key_events_when_written;
};

// One counting run: COM3 open, the target window in front.
struct Loop {
  explicit Loop(const Settings& settings, const LineScript& lines = {},
                const ByteScript& bytes = {}) {
    serial.AddPort(kPort);
    Play(serial, kPort, lines, bytes);
    SetupFont(state.screen.Line);
    state.settings = settings;
    state.SerialHandle = serial.SerOpen(kPort);
    state.SaveWnd = desktop.AddWindow("Ringing Room - Google Chrome");
    desktop.foreground = state.SaveWnd;
  }

  void Run() {
    CountingIo io{serial, console, desktop, clock, wait, &log};
    CountBlows(state, io);
  }

  // The counter screen for a one-digit count, rows 1 to 23.
  std::string CounterScreen(int digit) const {
    std::string screen;
    for (int row = 1; row <= 23; ++row) {
      std::string text;
      if (row <= 18 && !state.screen.Line[digit][row].empty()) {
        text = std::string(60, ' ') + state.screen.Line[digit][row];
      }
      if (row == 21) text = "count =" + std::to_string(digit) + " time from first blow=0 secs";
      if (row == 23) text = "0 will zero counter;  Q=Quit";
      screen += (row > 1 ? "\n" : "") + text;
    }
    return screen;
  }

  testing::FakeClock clock;
  testing::FakeRawConsole raw{clock};
  Console console{raw, clock};
  testing::FakeSerial serial{clock};
  FakeDesktop desktop{&clock};
  testing::FakeEventWait wait{clock, serial, raw};
  RecordingLog log;
  RunState state;
};

// A sensor's pulses or bytes, and when the ringer presses "q".
struct Scenario {
  Settings settings{};
  LineScript lines{};
  ByteScript bytes{};
  int64_t quit_ms = 1000;
};

// What a scenario comes to: the count, the pulses of a blow not yet complete, and
// when each "j" was pressed.
struct Counted {
  int32_t blows = 0;
  int32_t pulses_left = 0;
  std::vector<int64_t> keys_ms{};
};

void ExpectCounted(const Scenario& scenario, const Counted& counted) {
  Loop loop(scenario.settings, scenario.lines, scenario.bytes);
  loop.raw.Type("q", scenario.quit_ms);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, counted.blows);
  EXPECT_EQ(loop.state.SNum, counted.pulses_left);
  EXPECT_EQ(loop.desktop.keys, JKeys(counted.keys_ms));
  EXPECT_EQ(loop.raw.Row(21),
            "count =" + std::to_string(counted.blows) + " time from first blow=0 secs");
  EXPECT_TRUE(loop.serial.port(kPort).bytes.empty()) << "every byte is consumed";
}

TEST(CountingBlows, WithOnePulseABlowEveryPulseIsABlowAndPressesJAtOnce) {
  ExpectCounted({.settings = SettingsOf(LineSensor{.lines = kCts}),
                 .lines = Pulses({10, 30, 50, 70}),
                 .quit_ms = 100},
                {.blows = 4, .keys_ms = {10, 30, 50, 70}});
}

TEST(CountingBlows, WithTwoPulsesABlowEverySecondPulseCompletesABlow) {
  ExpectCounted({.settings = SettingsOf(LineSensor{.lines = kCts, .pulses_per_blow = 2}),
                 .lines = Pulses({10, 30, 50, 70}),
                 .quit_ms = 100},
                {.blows = 2, .keys_ms = {30, 70}});
}

// The pulse count is compared for equality: 0 pulses a blow never completes one.
TEST(CountingBlows, WithNoPulsesABlowNoBlowIsEverCounted) {
  ExpectCounted({.settings = SettingsOf(LineSensor{.lines = kCts, .pulses_per_blow = 0}),
                 .lines = Pulses({10, 30, 50, 70}),
                 .quit_ms = 100},
                {.blows = 0, .pulses_left = 4});
}

TEST(CountingBlows, LinesOnAtTheStartCountOnlyAfterGoingOffAndOnAgain) {
  ExpectCounted({.settings = SettingsOf(LineSensor{.lines = kCtsDsr}),
                 .lines = {{0, kCtsDsr}, {10, kDsr}, {20, kCtsDsr}},
                 .quit_ms = 50},
                {.blows = 1, .keys_ms = {20}});
}

TEST(CountingBlows, EveryEnabledLineAddsItsRisingChangesToTheBlow) {
  const Lines cts_dsr_cd{.cts = true, .dsr = true, .cd = true};
  ExpectCounted(
      {.settings = SettingsOf(LineSensor{.lines = kAllLines, .pulses_per_blow = 2}),
       .lines = {{10, kCts}, {20, kCtsDsr}, {30, cts_dsr_cd}, {40, kAllLines}, {50, kOff}},
       .quit_ms = 60},
      {.blows = 2, .keys_ms = {20, 40}});
}

TEST(CountingBlows, OnlyTheEnabledLineCounts) {
  // Each line comes on in turn: CTS at 10 ms, DSR at 30, CD at 50, RI at 70.
  const LineScript one_each = {{10, kCts}, {30, kDsr}, {50, kCd}, {70, kRi}};
  struct Case {
    const char* name;
    Lines enabled;
    int64_t key_ms;
  };
  const Case cases[] = {
      {.name = "only DSR", .enabled = kDsr, .key_ms = 30},
      {.name = "only RI", .enabled = kRi, .key_ms = 70},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectCounted(
        {.settings = SettingsOf(LineSensor{.lines = c.enabled}), .lines = one_each, .quit_ms = 100},
        {.blows = 1, .keys_ms = {c.key_ms}});
  }
}

// Here two blows fall due at one time, and each gets its own key.
TEST(CountingBlows, TwoLinesComingOnTogetherAreTwoPulses) {
  ExpectCounted({.settings = SettingsOf(LineSensor{.lines = kCtsDsr, .bell_delay_ms = 5}),
                 .lines = {{10, kCts}, {20, kOff}, {30, kCtsDsr}},
                 .quit_ms = 500},
                {.blows = 3, .keys_ms = {15, 35, 35}});
}

TEST(CountingBlows, OnlyTheInterfaceBoxsCharacterCounts) {
  ExpectCounted({.settings = SettingsOf(BoxSensor{.character = 'B'}),
                 .bytes = {{10, 'B'}, {20, 'x'}, {25, 'b'}, {27, 0}, {30, 'B'}},
                 .quit_ms = 50},
                {.blows = 2, .keys_ms = {10, 30}});
}

// Bytes that came during the key-send test wait in the port's queue and are all
// seen at the start of counting.
TEST(CountingBlows, BytesQueuedBeforeCountingAreAllSeenAtTheStart) {
  ExpectCounted({.settings = SettingsOf(BoxSensor{.character = '1', .bell_delay_ms = 100}),
                 .bytes = {{0, '1'}, {0, '2'}, {0, '1'}, {0, '1'}},
                 .quit_ms = 500},
                {.blows = 3, .keys_ms = {100, 100, 100}});
}

// Waiting out a bell delay holds nothing up: every rising change is a blow, however
// soon after the last one, and each key is due a bell delay after its own blow.
TEST(CountingBlows, BlowsWithinTheBellDelayEachGetTheirOwnKey) {
  ExpectCounted({.settings = CtsSensor(100),
                 .lines = {{10, kCts},
                           {30, kOff},
                           {50, kCts},
                           {70, kOff},
                           {90, kCts},
                           {130, kOff},
                           {150, kCts},
                           {200, kOff},
                           {300, kCts}},
                 .quit_ms = 600},
                {.blows = 5, .keys_ms = {110, 150, 190, 250, 400}});
}

TEST(CountingTest, ZeroResetsTheCountButNotThePartialBlow) {
  // Blow 1 at 70 ms; the pulses at 90 and 110 ms are half of blow 2 when "0" is read,
  // so 150 and 170 ms complete blow 1 of the new count.
  Loop loop(SettingsOf(LineSensor{.lines = kCts, .pulses_per_blow = 4}),
            Pulses({10, 30, 50, 70, 90, 110, 150, 170}));
  loop.raw.Type("0", 125);
  loop.raw.Type("q", 200);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 1);
  EXPECT_EQ(loop.raw.Screen(23), loop.CounterScreen(1));
  EXPECT_EQ(loop.desktop.keys, JKeys({70, 170}));
}

TEST(CountingTest, QuitKeysTakeEffectAtTheEndOfTheirPass) {
  // A sensor event seen in the same pass as the quit key still counts its blow and
  // sends its key.
  for (uint8_t key : {uint8_t{27}, uint8_t{'Q'}, uint8_t{'q'}}) {
    for (bool data : {false, true}) {
      SCOPED_TRACE(std::to_string(key) + (data ? " data" : " line"));
      Loop loop(
          data ? SettingsOf(BoxSensor{.character = 'B', .bell_delay_ms = 100}) : CtsSensor(100),
          {{30, kCts}});
      loop.serial.SendByte(kPort, 30, 'B');
      loop.raw.Key(key, false, 30);
      loop.Run();

      EXPECT_EQ(loop.state.MyCounter, 1);
      EXPECT_EQ(loop.desktop.keys, JKeys({130}));
      EXPECT_TRUE(loop.state.TerminateProgram);
      const auto passes = std::count_if(loop.wait.waits.begin(), loop.wait.waits.end(),
                                        [](const WaitFor& w) { return w.console; });
      EXPECT_EQ(passes, 1) << "no further pass";
    }
  }
}

// The status lines, then the counter at 0; keys but the quit keys and "0" only move
// the cursor, and Left and Right print their names.
TEST(CountingTest, StartAndKeysThatNeitherZeroNorQuit) {
  struct Case {
    std::string printed;
    std::vector<std::pair<uint8_t, bool>> keys;  // code, extended
  };
  const Case cases[] = {
      // 72 is Up, 0x3B F1.
      {"", {{'5', false}, {'a', false}, {'1', false}, {72, true}, {0x3B, true}, {13, false}}},
      {"Left", {{75, true}}},
      {"Right", {{77, true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printed);
    // A hand-edited file: a box character and two lines at once.
    Loop loop(SettingsOf(BoxSensor{.character = 'B',
                                   .pulses_per_blow = 2,
                                   .bell_delay_ms = 250,
                                   .lines = {.cts = true, .ri = true}}));
    loop.state.SNum = 3;
    int64_t at_ms = 0;
    for (const auto& [code, extended] : c.keys) loop.raw.Key(code, extended, ++at_ms);
    loop.raw.Key('q', false, 10);
    loop.Run();

    const std::string status =
        "Counting started\n"
        "Port=\\\\.\\COM3 usects=TRUE usedsr=FALSE usecd=FALSE useri=TRUE\n"
        " usedat=TRUE usedatnum=66 sensornum=2 belldelay=250\n";
    EXPECT_EQ(loop.raw.transcript.substr(0, status.size()), status);
    std::string expected = loop.CounterScreen(0);
    expected.replace(0, c.printed.size(), c.printed);
    EXPECT_EQ(loop.raw.Screen(23), expected);
    EXPECT_EQ(loop.state.SNum, 0) << "pulses from before counting are dropped";
    EXPECT_EQ(loop.raw.clears, 2) << "the start's clear and the counter screen's";
    EXPECT_EQ(loop.console.WhereX(), 1) << "the quit key put the cursor back at the top left";
    EXPECT_EQ(loop.console.WhereY(), 1);
    EXPECT_TRUE(loop.desktop.keys.empty());
  }
}

TEST(CountingTest, WithTheTargetNotInFrontTheBlowCountsButNoKeyIsSent) {
  Loop loop(CtsSensor(0), Pulses({10}));
  loop.desktop.FocusAt(5, loop.desktop.AddWindow("Terminal"));
  loop.raw.Type("q", 20);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 1);
  EXPECT_TRUE(loop.desktop.keys.empty());
  EXPECT_TRUE(loop.clock.sleeps.empty()) << "no blind wait";
  EXPECT_EQ(loop.raw.Row(1), "Ringing Room is not the focus window - Key sending suspended");
}

// The events and due keys drive the timing; nothing a pass does moves a key.
TEST(CountingLoopTiming, ASlowRedrawDoesNotMoveTheKey) {
  Loop loop(CtsSensor(250), Pulses({100, 900}));
  // Every cell run drawn costs 2 ms: a counter screen takes tens of milliseconds.
  loop.raw.write_cost_us = 2000;
  loop.raw.Type("q", 2000);
  loop.Run();

  EXPECT_EQ(loop.desktop.keys, JKeys({350, 1150}));
  EXPECT_EQ(loop.raw.Row(21).substr(0, 8), "count =2");
}

TEST(CountingLoopTiming, BlowsCloserThanTheBellDelayEachGetTheirOwnKeyInOrder) {
  // A blow every 400 ms, a bell delay of 600 ms: two keys are always owed at once.
  std::vector<int64_t> blows, keys;
  for (int64_t i = 0; i < 8; ++i) {
    blows.push_back(100 + 400 * i);
    keys.push_back(700 + 400 * i);
  }
  for (const bool data : {false, true}) {
    SCOPED_TRACE(data ? "interface box" : "line sensor");
    Loop loop(data ? SettingsOf(BoxSensor{.character = 'B', .bell_delay_ms = 600})
                   : CtsSensor(600));
    for (int64_t t : blows) {
      loop.serial.SetLines(kPort, t, kCts);
      loop.serial.SetLines(kPort, t + 10, kOff);
      loop.serial.SendByte(kPort, t, 'B');
    }
    loop.raw.Type("q", 4000);
    loop.Run();

    EXPECT_EQ(loop.state.MyCounter, 8);
    EXPECT_EQ(loop.desktop.keys, JKeys(keys));
  }
}

TEST(CountingLoopTiming, QuitWithKeysOwedSendsThemAtTheirDueTimesThenReturns) {
  Loop loop(CtsSensor(500), Pulses({100, 200, 400}));
  loop.raw.Type("q", 300);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 2) << "the blow at 400 ms came after the quit key";
  EXPECT_EQ(loop.desktop.keys, JKeys({600, 700}));
  EXPECT_EQ(loop.clock.NowMillis(), 700) << "returns once the last owed key is sent";
  const WaitFor& last = loop.wait.waits.back();
  EXPECT_EQ(last.port, 0) << "the port is no longer watched when the caller closes it";
  EXPECT_FALSE(last.console);
}

// Each look at the foreground window is a round trip to the windowing system made
// just before the key: one per key, and none while no key falls due.
TEST(CountingLoopTiming, EachKeyLooksAtTheForegroundWindowOnce) {
  Loop loop(CtsSensor(250), Pulses({100, 900, 1700}));
  loop.raw.Type("q", 3000);
  loop.Run();

  EXPECT_EQ(loop.desktop.keys, JKeys({350, 1150, 1950}));
  EXPECT_EQ(loop.desktop.foreground_queries, 3);
}

TEST(CountingLoopTiming, TheWaitWatchesTheEnabledSourcesUntilTheNextKeyFallsDue) {
  Loop loop(CtsSensor(250), Pulses({100}));
  loop.raw.Type("q", 1000);
  loop.Run();

  ASSERT_GE(loop.wait.waits.size(), 4u);
  const auto& w = loop.wait.waits;
  EXPECT_EQ(w[0].port, loop.state.SerialHandle);
  EXPECT_TRUE(w[0].lines);
  EXPECT_FALSE(w[0].data);
  EXPECT_TRUE(w[0].console);
  // No key owed: only an event, or the look at the port once a second, ends it.
  EXPECT_EQ(w[0].deadline_us, 1'000'000);
  // Woken at 100 ms by CTS coming on: the key is due at 350 ms.
  EXPECT_EQ(w[1].deadline_us, 350'000);
  EXPECT_EQ(w[2].deadline_us, 350'000) << "CTS going off at 110 ms moves nothing";
  EXPECT_EQ(w[3].deadline_us, 1'000'000) << "the key has been sent";
}

// A key falls due with another window in front: that key is dropped, never sent
// late; the blows go on counting, and the first key that finds the target in front
// again is sent and brings the counter screen back.
TEST(CountingFocus, AKeyDueWhileTheTargetIsNotInFrontIsDroppedAndCountingGoesOn) {
  Loop loop(CtsSensor(250), Pulses({800, 1600, 2400, 3200}));
  const WindowHandle terminal = loop.desktop.AddWindow("Terminal");
  loop.desktop.FocusAt(1000, terminal);
  loop.desktop.FocusAt(1500, loop.state.SaveWnd);
  loop.desktop.FocusAt(2500, terminal);
  loop.desktop.FocusAt(3000, loop.state.SaveWnd);
  loop.raw.Type("q", 4000);

  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 4);
  EXPECT_EQ(loop.desktop.keys, JKeys({1850, 3450}));
  EXPECT_TRUE(loop.clock.sleeps.empty());
  // Drawn when the key due at 3450 ms was sent: 3 s after the first blow.
  std::string expected = loop.CounterScreen(4);
  const std::string zero_secs = "count =4 time from first blow=0 secs\n";
  expected.replace(expected.find(zero_secs), zero_secs.size(),
                   "count =4 time from first blow=3 secs\n"
                   " APPROX Ave interval=    1.00 secs peal speed=1 hrs:   24.00 mins");
  EXPECT_EQ(loop.raw.Screen(23), expected);
  const std::string notice =
      "Ringing Room is not the focus window - Key sending suspended\n"
      "Keystrokes will be sent when focus is resumed ";
  size_t notices = 0;
  for (size_t at = loop.raw.transcript.find(notice); at != std::string::npos;
       at = loop.raw.transcript.find(notice, at + 1)) {
    ++notices;
  }
  EXPECT_EQ(notices, 2u) << "one for each dropped key: 1050 ms and 2650 ms";
}

TEST(CountingFocus, TheNoticeStaysWhileBlowsAreCountedUntilAKeyIsSent) {
  Loop loop(CtsSensor(250), Pulses({800, 1600}));
  loop.desktop.FocusAt(1000, loop.desktop.AddWindow("Terminal"));
  loop.raw.Type("q", 1700);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 2);
  EXPECT_TRUE(loop.desktop.keys.empty());
  EXPECT_EQ(loop.raw.Screen(3),
            "Ringing Room is not the focus window - Key sending suspended\n"
            "Keystrokes will be sent when focus is resumed\n");
}

// A line that goes on and off more than once between two looks: where the driver
// counts line changes every rising change is a pulse; where it does not, only what
// the samples show counts.
TEST(CountingLines, ChangesBetweenTwoLooksCountOncePerRisingChangeWhereTheDriverCountsThem) {
  struct Case {
    const char* name;
    bool counts_changes;
    int32_t blows;
  };
  const Case cases[] = {
      {.name = "driver counts changes", .counts_changes = true, .blows = 2},
      {.name = "samples alone", .counts_changes = false, .blows = 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // On at 11 and 13 ms, off at 12 and 14 ms: all between the looks at 10 and 15 ms.
    Loop loop(CtsSensor(0), {{11, kCts}, {12, kOff}, {13, kCts}, {14, kOff}});
    loop.serial.port(kPort).counts_changes = c.counts_changes;
    loop.wait.line_sample_period_us = 5000;
    loop.raw.Type("q", 100);
    loop.Run();

    EXPECT_EQ(loop.state.MyCounter, c.blows);
    EXPECT_EQ(loop.desktop.keys, JKeys(std::vector<int64_t>(c.blows, 15)));
  }
}

TEST(CountingLines, RisingChangesFromTheCountAndTheTwoStates) {
  struct Case {
    bool was_on;
    uint32_t changes;
    bool now_on;
    int32_t rising;
  };
  const Case cases[] = {
      {.was_on = false, .changes = 0, .now_on = false, .rising = 0},
      {.was_on = false, .changes = 0, .now_on = true, .rising = 1},  // the count lags
      {.was_on = false, .changes = 1, .now_on = true, .rising = 1},
      {.was_on = false, .changes = 2, .now_on = false, .rising = 1},
      {.was_on = false, .changes = 3, .now_on = true, .rising = 2},
      {.was_on = true, .changes = 1, .now_on = false, .rising = 0},
      {.was_on = true, .changes = 2, .now_on = true, .rising = 1},
      {.was_on = true, .changes = 3, .now_on = false, .rising = 1},
      // A driver that counts one edge only (the 8250's ring indicator counts the
      // trailing edge): one count, off before and after, was a whole pulse.
      {.was_on = false, .changes = 1, .now_on = false, .rising = 1},
      {.was_on = true, .changes = 2, .now_on = false, .rising = 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RisingChanges(c.was_on, c.changes, c.now_on), c.rising)
        << c.was_on << " " << c.changes << " " << c.now_on;
  }
}

TEST(CountingLines, DisabledLinesAreNeverQueried) {
  Loop loop(SettingsOf(LineSensor{.lines = kDsr}),
            {{10, kCts}, {20, kOff}, {30, kDsr}, {40, kOff}});
  loop.raw.Type("q", 100);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 1);
  // One query at the start, then one each time a change wakes the wait.
  EXPECT_EQ(loop.serial.status_queries, 1 + 4);
}

// The sensor's USB adapter pulled out and plugged back in mid-practice.
TEST(CountingFaults, ALostPortIsToldReopenedOnceItReturnsAndCountingGoesOn) {
  // Blows at 100 and 300 ms; the adapter is out from 400 to 2500 ms (a blow rung at
  // 1000 ms is not seen); CTS is on when the port opens again at 3400 ms, which is
  // no pulse; the blow at 3600 ms counts as the third.
  Loop loop(CtsSensor(50), {{100, kCts},
                            {150, kOff},
                            {300, kCts},
                            {350, kOff},
                            {1000, kCts},
                            {1050, kOff},
                            {3300, kCts},
                            {3500, kOff},
                            {3600, kCts},
                            {3650, kOff}});
  loop.serial.Unplug(kPort, 400, 2500);
  loop.raw.Type("q", 4000);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 3);
  EXPECT_EQ(loop.desktop.keys, JKeys({150, 350, 3650}));
  const std::string lost =
      "Sensor port \\\\.\\COM3 lost - plug it back in; counting goes on when it returns";
  const std::string back = "Sensor port \\\\.\\COM3 is back";
  const size_t lost_at = loop.raw.transcript.find(lost);
  ASSERT_NE(lost_at, std::string::npos) << loop.raw.transcript;
  EXPECT_NE(loop.raw.transcript.find(back, lost_at), std::string::npos);
  EXPECT_EQ(loop.raw.Row(24), back) << "below the status lines";
  // Tried once a second from the loss; set up as at the start once it opens.
  const std::vector<std::string> expected_calls = {"open \\\\.\\COM3 -> 1",
                                                   "close 1",
                                                   "open \\\\.\\COM3 -> 0",
                                                   "open \\\\.\\COM3 -> 0",
                                                   "open \\\\.\\COM3 -> 2",
                                                   "params 2 2400 8 0 1 0",
                                                   "rts 2 on",
                                                   "dtr 2 on"};
  EXPECT_EQ(loop.serial.calls, expected_calls);
  EXPECT_EQ(loop.state.SerialHandle, 2);
  EXPECT_EQ(loop.serial.low_latency, std::vector<SerHandle>{2});
}

// Asking the backend costs a system call; blows come many times a second.
TEST(CountingFaults, AnOpenPortIsAskedIfLostOnlyOnTroubleOrOnceASecond) {
  Loop loop(SettingsOf(BoxSensor{.character = 'B'}));
  for (int64_t t = 50; t < 2500; t += 50) loop.serial.SendByte(kPort, t, 'B');
  loop.raw.Type("q", 2500);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 49);
  EXPECT_EQ(loop.serial.lost_queries, 2) << "at 1 s and at 2 s";
}

TEST(CountingFaults, ZeroingWhileThePortIsAwayKeepsItsMessageAndDrawsTheCounterOnce) {
  Loop loop(CtsSensor(0), Pulses({100}));
  loop.serial.Unplug(kPort, 200);
  loop.raw.Type("0", 300);
  loop.raw.Type("q", 400);
  loop.Run();

  EXPECT_EQ(loop.raw.Screen(23), loop.CounterScreen(0));
  EXPECT_EQ(loop.raw.Row(24),
            "Sensor port \\\\.\\COM3 lost - plug it back in; counting goes on when it returns");
  // The start's two, the blow's, and the zeroing's two (its own and the counter's):
  // the port message is drawn on top, not with a third redraw.
  EXPECT_EQ(loop.raw.clears, 5);
}

TEST(CountingFaults, TheLostMessageLeavesTheDigitsAndQuitWorksWhileThePortIsAway) {
  Loop loop(SettingsOf(BoxSensor{.character = 'B'}));
  loop.serial.SendByte(kPort, 100, 'B');
  loop.serial.Unplug(kPort, 200);
  loop.raw.Type("q", 1500);
  loop.Run();

  EXPECT_TRUE(loop.state.TerminateProgram);
  EXPECT_EQ(loop.state.SerialHandle, 0) << "closed when lost, so the caller has none to close";
  EXPECT_EQ(loop.state.MyCounter, 1);
  std::string expected = loop.CounterScreen(1);
  EXPECT_EQ(loop.raw.Screen(23), expected) << "the digits stay";
  EXPECT_EQ(loop.raw.Row(24),
            "Sensor port \\\\.\\COM3 lost - plug it back in; counting goes on when it returns");
  EXPECT_EQ(loop.desktop.keys, JKeys({100}));
}

TEST(CountingFaults, AClosedTargetWindowIsLookedForAgainAndTheNewOneGetsTheKeys) {
  Loop loop(CtsSensor(250), Pulses({800, 1600, 3200}));
  const WindowHandle old_target = loop.state.SaveWnd;
  loop.desktop.CloseWindowAt(1000, old_target);
  const WindowHandle new_target = loop.desktop.OpenWindowAt(2500, "Ringing Room - new tab");
  loop.raw.Type("q", 4000);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 3);
  // 1050 ms: the window is gone; 1850 ms: still looking; found at 3050 ms.
  EXPECT_EQ(loop.desktop.keys, JKeys({3450}));
  EXPECT_EQ(loop.state.SaveWnd, new_target);
  EXPECT_EQ(loop.state.WindowTitle, "Ringing Room - new tab");
  EXPECT_EQ(loop.desktop.activations,
            (std::vector<std::string>{"SetActiveWindow(0x101)", "SetForegroundWindow(0x101)"}));
  const size_t closed =
      loop.raw.transcript.find("The Ringing Room window has closed - looking for it again");
  ASSERT_NE(closed, std::string::npos);
  EXPECT_NE(loop.raw.transcript.find("Target window is Ringing Room - new tab", closed),
            std::string::npos);
  EXPECT_EQ(loop.raw.transcript.find("Key sending suspended"), std::string::npos)
      << "a closed window is not a window out of focus";
  EXPECT_EQ(loop.raw.Row(21).substr(0, 8), "count =3") << "the key sent brings the counter back";
}

// The window closes and another program's window gets its id, while a new Ringing
// Room window is brought in front: the old id is no target, and the new window is
// found and gets the keys.
TEST(CountingFaults, ATargetIdThatPassedToAnotherWindowIsAClosedTarget) {
  Loop loop(CtsSensor(250), Pulses({1600, 3200, 3600, 4000}));
  const WindowHandle old_target = loop.state.SaveWnd;
  loop.desktop.ReuseHandleAt(1000, old_target, "Untitled - Text Editor");
  const WindowHandle new_target = loop.desktop.OpenWindowAt(1200, "Ringing Room - new tab");
  loop.desktop.FocusAt(1200, new_target);
  loop.raw.Type("q", 5000);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 4);
  // 1850 ms: the old id names the editor, so the window has closed; found at 2850 ms.
  EXPECT_EQ(loop.desktop.keys, JKeys({3450, 3850, 4250}));
  EXPECT_EQ(loop.desktop.received[new_target], JKeys({3450, 3850, 4250}));
  EXPECT_TRUE(loop.desktop.received[old_target].empty());
  EXPECT_EQ(loop.state.SaveWnd, new_target);
  const size_t closed =
      loop.raw.transcript.find("The Ringing Room window has closed - looking for it again");
  ASSERT_NE(closed, std::string::npos);
  EXPECT_NE(loop.raw.transcript.find("Target window is Ringing Room - new tab", closed),
            std::string::npos);
  EXPECT_EQ(loop.raw.transcript.find("Key sending suspended"), std::string::npos);
}

// A target behind another window is read by its title once per key, and a target in
// front is not read at all.
TEST(CountingFaults, TheTargetsTitleIsReadOnlyWhenItIsNotInFront) {
  Loop loop(CtsSensor(0), Pulses({100, 300, 500}));
  const WindowHandle editor = loop.desktop.AddWindow("Untitled - Text Editor");
  loop.desktop.FocusAt(250, editor);
  loop.raw.Type("q", 1000);
  loop.Run();

  EXPECT_EQ(loop.desktop.keys, JKeys({100}));
  EXPECT_EQ(loop.desktop.title_reads, 2) << "one for each key dropped";
  EXPECT_NE(loop.raw.transcript.find("Key sending suspended"), std::string::npos);
}

TEST(CountingFaults, APortMessageLongerThanARowGoesOnInTheNextAndKeepsOffTheCount) {
  struct Case {
    const char* name;
    int height;
    int first_row;
  };
  const Case cases[] = {
      {.name = "rows below the status lines", .height = 25, .first_row = 24},
      // 24 rows: the one below the status lines, cut short of the bottom-right cell.
      {.name = "one row below", .height = 24, .first_row = 24},
      {.name = "no row below: the empty rows above", .height = 23, .first_row = 19},
  };
  const std::string port = "\\\\.\\usb-serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI";
  Settings settings = CtsSensor(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings.ComPortName = port;
    Loop loop(settings);
    loop.raw.ResizeAt(0, 80, c.height);
    loop.serial.AddPort(port);
    loop.state.SerialHandle = loop.serial.SerOpen(port);
    loop.serial.Unplug(port, 100);
    loop.raw.Type("q", 200);
    loop.Run();

    const std::string message =
        "Sensor port " + port + " lost - plug it back in; counting goes on when it returns";
    std::string shown = loop.raw.Row(c.first_row);
    if (c.height != 24) shown += loop.raw.Row(c.first_row + 1);
    // Rows are read without trailing blanks; the 79th character is one.
    EXPECT_EQ(shown, c.height == 24 ? message.substr(0, 78) : message);
    EXPECT_EQ(loop.raw.Row(21), "count =0 time from first blow=0 secs");
    EXPECT_EQ(loop.raw.Row(23), "0 will zero counter;  Q=Quit");
  }
}

TEST(CountingFaults, AWindowTooSmallForTheCounterSaysSoAndCountingGoesOn) {
  Loop loop(CtsSensor(250), Pulses({500, 1500}));
  loop.raw.ResizeAt(1000, 60, 20);
  loop.raw.ResizeAt(2500, 80, 25);
  loop.raw.Type("q", 3000);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 2);
  EXPECT_EQ(loop.desktop.keys, JKeys({750, 1750}));
  const size_t small = loop.raw.transcript.find("Make this window at least 80 columns by 23 rows");
  ASSERT_NE(small, std::string::npos);
  EXPECT_NE(loop.raw.transcript.find("count =2", small), std::string::npos)
      << "redrawn when large enough";
  EXPECT_EQ(loop.raw.Row(21).substr(0, 8), "count =2");
  EXPECT_EQ(loop.raw.Row(1).find("Make this window"), std::string::npos);
}

TEST(CountingFaults, AWindowTooSmallAtTheStartShowsOnlyTheSizeMessage) {
  Loop loop(CtsSensor(0), Pulses({100}));
  loop.raw.ResizeAt(0, 79, 30);
  loop.raw.Type("q", 500);
  loop.Run();

  EXPECT_EQ(loop.raw.Screen(3), "Make this window at least 80 columns by 23 rows\n\n");
  EXPECT_EQ(loop.desktop.keys, JKeys({100}));
  EXPECT_EQ(loop.state.MyCounter, 1);
}

TEST(CountingRecord, EachBlowIsReportedWhenItsKeyFallsDueWithZeroingsInRingingOrder) {
  // Blows at 100, 300 and 500 ms with a 250 ms delay. "0" comes at 530 ms, while the
  // keys of the blows at 300 and 500 ms are still owed: the zeroing is recorded after
  // the last of them. The key due at 550 ms finds another window in front.
  Loop loop(CtsSensor(250), Pulses({100, 300, 500, 900}));
  loop.desktop.FocusAt(540, loop.desktop.AddWindow("Terminal"));
  loop.desktop.FocusAt(700, loop.state.SaveWnd);
  loop.raw.Type("0", 530);
  loop.raw.Type("q", 1500);
  loop.Run();

  const std::vector<std::string> expected = {"1 100 350 sent", "2 300 550 dropped",
                                             "3 500 750 sent", "zeroed", "1 900 1150 sent"};
  EXPECT_EQ(loop.log.entries, expected);
}

TEST(CountingRecord, AZeroingWithNoKeyOwedIsReportedAtOnce) {
  Loop loop(CtsSensor(0), Pulses({100, 300}));
  loop.raw.Type("0", 200);
  loop.raw.Type("q", 500);
  loop.Run();

  EXPECT_EQ(loop.log.entries,
            (std::vector<std::string>{"1 100 100 sent", "zeroed", "1 300 300 sent"}));
}

// A write to the record can stall on a slow disk: it waits until every key due in the
// pass has gone.
TEST(CountingRecord, KeysDueTogetherAreAllSentBeforeAnyIsWritten) {
  // CTS at 10 ms, then CTS and DSR together at 30 ms: two keys due at 35 ms.
  Loop loop(SettingsOf(LineSensor{.lines = kCtsDsr, .bell_delay_ms = 5}),
            {{10, kCts}, {20, kOff}, {30, kCtsDsr}});
  loop.log.desktop = &loop.desktop;
  loop.raw.Type("q", 500);
  loop.Run();

  EXPECT_EQ(loop.desktop.keys, JKeys({15, 35, 35}));
  // A press and a release per key.
  EXPECT_EQ(loop.log.key_events_when_written, (std::vector<size_t>{2, 6, 6}));
  EXPECT_EQ(loop.log.entries,
            (std::vector<std::string>{"1 10 15 sent", "2 30 35 sent", "3 30 35 sent"}));
}

// "0" read in the pass that sent a key, before that key was written, still comes
// after its blow.
TEST(CountingRecord, AZeroingInThePassThatSentAKeyIsWrittenAfterItsBlow) {
  Loop loop(CtsSensor(50), Pulses({50}));
  loop.raw.Type("0", 100);
  loop.raw.Type("q", 500);
  loop.Run();

  EXPECT_EQ(loop.desktop.keys, JKeys({100}));
  EXPECT_EQ(loop.log.entries, (std::vector<std::string>{"1 50 100 sent", "zeroed"}));
}

// The de-bounce over the two kinds of driver: one that counts every line change
// and wakes the wait for each (a UART, or Wine's comm wait), and one whose lines
// are only read (the levels alone tell). Both must come to the same blows.
struct Debounced {
  int32_t debounce_ms = kDefaultDebounceMs;
  LineScript lines{};
  int64_t quit_ms = 2000;
  int32_t bell_delay_ms = 300;
};

void ExpectDebounced(const Debounced& d, const std::vector<int64_t>& keys_ms) {
  for (const bool counts : {true, false}) {
    SCOPED_TRACE(counts ? "driver counts line changes" : "lines read only");
    Loop loop(CtsSensor(d.bell_delay_ms), d.lines);
    loop.serial.port(kPort).counts_changes = counts;
    loop.state.debounce_ms = d.debounce_ms;
    loop.raw.Type("q", d.quit_ms);
    loop.Run();
    EXPECT_EQ(loop.state.MyCounter, static_cast<int32_t>(keys_ms.size()));
    EXPECT_EQ(loop.desktop.keys, JKeys(keys_ms));
  }
}

TEST(CountingDebounce, ChatterOnTheRisingEdgeCountsOneBlowAtItsFirstChange) {
  ExpectDebounced({.lines = ChatteringPulses({100, 600, 1100}, Chatter{.falling = false})},
                  {400, 900, 1400});
}

TEST(CountingDebounce, ChatterOnTheFallingEdgeCountsNothing) {
  ExpectDebounced({.lines = ChatteringPulses({100, 600, 1100}, Chatter{.rising = false})},
                  {400, 900, 1400});
}

TEST(CountingDebounce, ChatterOnBothEdgesCountsOneBlowAPulse) {
  ExpectDebounced({.lines = ChatteringPulses({100, 600, 1100}, Chatter{})}, {400, 900, 1400});
}

// Ten pulses as a chattering reed switch gives them, each edge five changes.
TEST(CountingDebounce, TenChatteringPulsesAreTenBlowsAndTenKeys) {
  ExpectDebounced({.lines = ChatteringPulses(
                       {100, 350, 600, 850, 1100, 1350, 1600, 1850, 2100, 2350}, Chatter{}),
                   .quit_ms = 3000},
                  {400, 650, 900, 1150, 1400, 1650, 1900, 2150, 2400, 2650});
}

// Its falling edge comes within the de-bounce time and counts nothing; the level
// read when the time is up takes it in, so the next pulse counts.
TEST(CountingDebounce, ACleanPulseShorterThanTheDebounceTimeCountsOnceAtItsRisingEdge) {
  ExpectDebounced({.lines = Pulses({100, 700}, testing::kCtsOn, 10)}, {400, 1000});
}

TEST(CountingDebounce, TwoCleanPulsesAHundredMillisecondsApartAreTwoBlows) {
  ExpectDebounced({.lines = Pulses({100, 200}, testing::kCtsOn, 10)}, {400, 500});
}

// A pulse that begins within the de-bounce time of the last one's end is seen when
// the time is up, and its blow is timed from its first change, not from the look.
TEST(CountingDebounce, APulseBeginningWithinTheDebounceTimeIsTimedFromItsFirstChange) {
  const LineScript lines = {{100, testing::kCtsOn},
                            {200, testing::kNoLines},
                            {210, testing::kCtsOn},
                            {300, testing::kNoLines}};
  ExpectDebounced({.lines = lines}, {400, 510});
}

TEST(CountingDebounce, ZeroTakesEveryRisingChangeAsBefore) {
  // A rising edge of five changes rises three times, a falling edge of five twice.
  ExpectDebounced(
      {.debounce_ms = 0, .lines = ChatteringPulses({100}, Chatter{}), .bell_delay_ms = 0},
      {100, 102, 104, 201, 203});
}

}  // namespace
}  // namespace strikewell
