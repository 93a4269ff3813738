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

namespace strikewell {
namespace {

using testing::FakeDesktop;
using testing::Lines;
using LineScript = std::vector<std::pair<int64_t, Lines>>;
using ByteScript = std::vector<std::pair<int64_t, uint8_t>>;

constexpr const char* kPort = "\\\\.\\COM3";
constexpr Lines kOff{}, kCts{true, false, false, false}, kDsr{false, true, false, false};

// The press and release of "j" at each of the given fake times.
std::vector<FakeDesktop::KeyRecord> JKeys(const std::vector<int64_t>& at_ms) {
  std::vector<FakeDesktop::KeyRecord> keys;
  for (int64_t t : at_ms) {
    keys.push_back(testing::Press(0x4A, 0x24, t));
    keys.push_back(testing::Release(0x4A, 0x24, t));
  }
  return keys;
}

// CTS on at each given time and off again 10 ms later.
LineScript CtsPulses(std::initializer_list<int64_t> on_ms) {
  LineScript script;
  for (int64_t t : on_ms) script.insert(script.end(), {{t, kCts}, {t + 10, kOff}});
  return script;
}

Settings Use(Lines on, int32_t sensor_num, int32_t bell_delay) {
  return Settings{kPort, on.cts, on.dsr, on.cd, on.ri, false, 0, sensor_num, bell_delay};
}

// What counting tells the practice record, as text: "blow sensor_ms key_ms sent".
struct RecordingLog : PracticeLog {
  void Blow(const BlowLine& line) override {
    entries.push_back(std::to_string(line.blow) + " " + std::to_string(line.sensor_us / 1000) +
                      " " + std::to_string(line.key_us / 1000) +
                      (line.sent ? " sent" : " dropped"));
  }
  void Zeroed() override { entries.push_back("zeroed"); }
  std::vector<std::string> entries;
};

// One counting run: COM3 open, the target window in front.
struct Loop {
  explicit Loop(const Settings& settings, const LineScript& lines = {}) {
    serial.AddPort(kPort);
    for (const auto& [t, l] : lines) serial.SetLines(kPort, t, l);
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

TEST(CountingTest, PulsesMakeBlowsAndEachBlowPressesJAfterTheBellDelay) {
  struct Case {
    const char* name;
    Settings settings;
    LineScript lines;
    ByteScript bytes;
    int64_t quit_ms;
    int32_t blows;
    int32_t pulses_left;
    std::vector<int64_t> keys_ms;
  };
  const Lines cts_dsr{true, true, false, false};
  const Lines all{true, true, true, true};
  const Lines ri{false, false, false, true};
  const LineScript four = CtsPulses({10, 30, 50, 70});
  const LineScript one_each = {{10, kCts}, {30, kDsr}, {50, {false, false, true, false}}, {70, ri}};
  const LineScript on_at_start = {{0, cts_dsr}, {10, kDsr}, {20, cts_dsr}};
  const LineScript rising = {
      {10, kCts}, {20, cts_dsr}, {30, {true, true, true, false}}, {40, all}, {50, kOff}};
  const LineScript two_in_a_pass = {{10, kCts}, {20, kOff}, {30, cts_dsr}};
  // Every rising change is a blow, however soon after the last one: waiting out a
  // bell delay holds nothing up.
  const LineScript in_delay = {{10, kCts},  {30, kOff},  {50, kCts},  {70, kOff}, {90, kCts},
                               {130, kOff}, {150, kCts}, {200, kOff}, {300, kCts}};
  const ByteScript mixed = {{10, 'B'}, {20, 'x'}, {25, 'b'}, {27, 0}, {30, 'B'}};
  const ByteScript queued = {{0, '1'}, {0, '2'}, {0, '1'}, {0, '1'}};
  const Settings data_b{kPort, false, false, false, false, true, 'B', 1, 0};
  const Settings data_1{kPort, false, false, false, false, true, '1', 1, 100};
  const Case cases[] = {
      {"SensorNum 1", Use(kCts, 1, 0), four, {}, 100, 4, 0, {10, 30, 50, 70}},
      {"SensorNum 2", Use(kCts, 2, 0), four, {}, 100, 2, 0, {30, 70}},
      // An equality test: 0 never completes a blow.
      {"SensorNum 0", Use(kCts, 0, 0), four, {}, 100, 0, 4, {}},
      // Lines on at the start count only after going off and on.
      {"on at the start", Use(cts_dsr, 1, 0), on_at_start, {}, 50, 1, 0, {20}},
      {"all lines add up", Use(all, 2, 0), rising, {}, 60, 2, 0, {20, 40}},
      {"only DSR enabled", Use(kDsr, 1, 0), one_each, {}, 100, 1, 0, {30}},
      {"only RI enabled", Use(ri, 1, 0), one_each, {}, 100, 1, 0, {70}},
      // Two lines coming on together are two pulses: here two blows of one due time.
      {"two in a pass", Use(cts_dsr, 1, 5), two_in_a_pass, {}, 500, 3, 0, {15, 35, 35}},
      {"only the data character counts", data_b, {}, mixed, 50, 2, 0, {10, 30}},
      // Bytes that came during the key-send test wait in the queue and are all seen
      // at the start of counting.
      {"data queued", data_1, {}, queued, 500, 3, 0, {100, 100, 100}},
      {"blows within the delay",
       Use(kCts, 1, 100),
       in_delay,
       {},
       600,
       5,
       0,
       {110, 150, 190, 250, 400}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Loop loop(c.settings, c.lines);
    for (const auto& [t, b] : c.bytes) loop.serial.SendByte(kPort, t, b);
    loop.raw.Type("q", c.quit_ms);
    loop.Run();

    EXPECT_EQ(loop.state.MyCounter, c.blows);
    EXPECT_EQ(loop.state.SNum, c.pulses_left);
    EXPECT_EQ(loop.desktop.keys, JKeys(c.keys_ms));
    EXPECT_EQ(loop.raw.Row(21),
              "count =" + std::to_string(c.blows) + " time from first blow=0 secs");
    EXPECT_TRUE(loop.serial.port(kPort).bytes.empty()) << "every byte is consumed";
  }
}

TEST(CountingTest, ZeroResetsTheCountButNotThePartialBlow) {
  // Blow 1 at 70 ms; the pulses at 90 and 110 ms are half of blow 2 when "0" is read,
  // so 150 and 170 ms complete blow 1 of the new count.
  Loop loop(Use(kCts, 4, 0), CtsPulses({10, 30, 50, 70, 90, 110, 150, 170}));
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
      Loop loop(Settings{kPort, !data, false, false, false, data, 'B', 1, 100}, {{30, kCts}});
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
    Loop loop(Settings{kPort, true, false, false, true, true, 66, 2, 250});
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
  Loop loop(Use(kCts, 1, 0), CtsPulses({10}));
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
  Loop loop(Use(kCts, 1, 250), CtsPulses({100, 900}));
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
    Loop loop(data ? Settings{kPort, false, false, false, false, true, 'B', 1, 600}
                   : Use(kCts, 1, 600));
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
  Loop loop(Use(kCts, 1, 500), CtsPulses({100, 200, 400}));
  loop.raw.Type("q", 300);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 2) << "the blow at 400 ms came after the quit key";
  EXPECT_EQ(loop.desktop.keys, JKeys({600, 700}));
  EXPECT_EQ(loop.clock.NowMillis(), 700) << "returns once the last owed key is sent";
  const WaitFor& last = loop.wait.waits.back();
  EXPECT_EQ(last.port, 0) << "the port is no longer watched when the caller closes it";
  EXPECT_FALSE(last.console);
}

TEST(CountingLoopTiming, TheWaitWatchesTheEnabledSourcesUntilTheNextKeyFallsDue) {
  Loop loop(Use(kCts, 1, 250), CtsPulses({100}));
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
  Loop loop(Use(kCts, 1, 250), CtsPulses({800, 1600, 2400, 3200}));
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
  Loop loop(Use(kCts, 1, 250), CtsPulses({800, 1600}));
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
    Loop loop(Use(kCts, 1, 0), {{11, kCts}, {12, kOff}, {13, kCts}, {14, kOff}});
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
  Loop loop(Use(kDsr, 1, 0), {{10, kCts}, {20, kOff}, {30, kDsr}, {40, kOff}});
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
  Loop loop(Use(kCts, 1, 50), {{100, kCts},
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
  Loop loop(Settings{kPort, false, false, false, false, true, 'B', 1, 0});
  for (int64_t t = 50; t < 2500; t += 50) loop.serial.SendByte(kPort, t, 'B');
  loop.raw.Type("q", 2500);
  loop.Run();

  EXPECT_EQ(loop.state.MyCounter, 49);
  EXPECT_EQ(loop.serial.lost_queries, 2) << "at 1 s and at 2 s";
}

TEST(CountingFaults, ZeroingWhileThePortIsAwayKeepsItsMessageAndDrawsTheCounterOnce) {
  Loop loop(Use(kCts, 1, 0), CtsPulses({100}));
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
  Loop loop(Settings{kPort, false, false, false, false, true, 'B', 1, 0});
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
  Loop loop(Use(kCts, 1, 250), CtsPulses({800, 1600, 3200}));
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
  Settings settings = Use(kCts, 1, 0);
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
  Loop loop(Use(kCts, 1, 250), CtsPulses({500, 1500}));
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
  Loop loop(Use(kCts, 1, 0), CtsPulses({100}));
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
  Loop loop(Use(kCts, 1, 250), CtsPulses({100, 300, 500, 900}));
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
  Loop loop(Use(kCts, 1, 0), CtsPulses({100, 300}));
  loop.raw.Type("0", 200);
  loop.raw.Type("q", 500);
  loop.Run();

  EXPECT_EQ(loop.log.entries,
            (std::vector<std::string>{"1 100 100 sent", "zeroed", "1 300 300 sent"}));
}

}  // namespace
}  // namespace strikewell
