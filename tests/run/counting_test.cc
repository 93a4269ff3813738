// The counting loop over scripted ports, keys and a fake desktop, in fake time: a
// status query costs 50 us, a read without data 1 ms, and only SendAKey sleeps.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
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
    CountingIo io{serial, console, desktop, clock};
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
  // The blow at 10 ms holds the loop until 110 ms; CTS goes off and on twice meanwhile
  // and is on at the end: nothing to count. The blow at 150 ms holds it until 250 ms;
  // CTS is off by then, which is a fall, so 300 ms is a blow.
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
      // Lines on at the start count only after going off and on. Two queries a pass,
      // so the change at 20 ms is seen at 20.05 ms.
      {"on at the start", Use(cts_dsr, 1, 0), on_at_start, {}, 50, 1, 0, {20}},
      {"all lines add up", Use(all, 2, 0), rising, {}, 60, 2, 0, {20, 40}},
      {"only DSR enabled", Use(kDsr, 1, 0), one_each, {}, 100, 1, 0, {30}},
      {"only RI enabled", Use(ri, 1, 0), one_each, {}, 100, 1, 0, {70}},
      // Two lines on in one pass are two pulses. A pulse that completes a blow holds
      // the pass for the bell delay (5 ms) before DSR is queried.
      {"two in a pass", Use(cts_dsr, 1, 5), two_in_a_pass, {}, 500, 3, 0, {15, 35, 40}},
      {"only the data character counts", data_b, {}, mixed, 50, 2, 0, {10, 30}},
      // Bytes that came during the key-send test wait in the queue; each pass reads
      // one, and a blow's bell delay holds the next one back.
      {"data queued", data_1, {}, queued, 500, 3, 0, {100, 200, 300}},
      {"net change in the delay", Use(kCts, 1, 100), in_delay, {}, 600, 3, 0, {110, 250, 400}},
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
  // A line query or a data read that the pass makes after reading the quit key still
  // counts its blow and sends its key.
  for (uint8_t key : {uint8_t{27}, uint8_t{'Q'}, uint8_t{'q'}}) {
    for (bool data : {false, true}) {
      SCOPED_TRACE(std::to_string(key) + (data ? " data" : " line"));
      Loop loop(Settings{kPort, !data, false, false, false, data, 'B', 1, 100}, {{30, kCts}});
      // One query a pass, of 1 ms: the pass that reads a key at 29 ms queries at 30 ms.
      loop.serial.query_cost_us = 1000;
      loop.serial.SendByte(kPort, 30, 'B');
      loop.raw.Key(key, false, 29);
      loop.Run();

      EXPECT_EQ(loop.state.MyCounter, 1);
      EXPECT_EQ(loop.desktop.keys, JKeys({130}));
      EXPECT_TRUE(loop.state.TerminateProgram);
      EXPECT_EQ(loop.serial.status_queries + loop.serial.reads, 30) << "no further pass";
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
  EXPECT_EQ(loop.clock.sleeps, (std::vector<uint32_t>{8000}));
  EXPECT_EQ(loop.raw.Row(1), "Ringing Room is not the focus window - Key sending suspended");
}

}  // namespace
}  // namespace strikewell
