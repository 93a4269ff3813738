// The counting loop over scripted ports, keys and a fake desktop, in fake time.
//
// Timing in these tests is exact: the fake port charges 50 us per status query (or
// what a test sets) and a read without data waits its full 1 ms, and nothing else
// moves the clock but the waits of SendAKey. So a pass with only CTS enabled takes
// 50 us, the first query ends at 50 us, and a change at a whole millisecond is seen
// by the query that ends exactly then.
#include "run/counting.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
#include "fake_serial.h"
#include "run/run_state.h"

namespace strikewell {
namespace {

using testing::FakeClock;
using testing::FakeDesktop;
using testing::FakeRawConsole;
using testing::FakeSerial;
using testing::Lines;

constexpr const char* kPort = "\\\\.\\COM3";
constexpr uint8_t kVkJ = 0x4A;
constexpr uint8_t kScanJ = 0x24;
constexpr const char* kKeyLine = "0 will zero counter;  Q=Quit";

Lines Cts(bool on) { return Lines{on, false, false, false}; }

// The press and release of "j" at each of the given fake times.
std::vector<FakeDesktop::KeyRecord> JKeys(std::initializer_list<int64_t> at_ms) {
  std::vector<FakeDesktop::KeyRecord> keys;
  for (int64_t t : at_ms) {
    keys.push_back(testing::Press(kVkJ, kScanJ, t));
    keys.push_back(testing::Release(kVkJ, kScanJ, t));
  }
  return keys;
}

class CountingTest : public ::testing::Test {
 protected:
  CountingTest() {
    serial.AddPort(kPort);
    SetupFont(state.screen.Line);
    state.settings.ComPortName = kPort;
    state.settings.SensorNum = 1;
    state.SerialHandle = serial.SerOpen(kPort);
    state.SaveWnd = desktop.AddWindow("Ringing Room - Google Chrome");
    desktop.foreground = state.SaveWnd;
  }

  void Run() {
    CountingIo io{serial, console, desktop, clock};
    CountBlows(state, io);
  }

  // CTS goes on at each given time and off again 10 ms later.
  void CtsPulses(std::initializer_list<int64_t> on_ms) {
    for (int64_t t : on_ms) {
      serial.SetLines(kPort, t, Cts(true));
      serial.SetLines(kPort, t + 10, Cts(false));
    }
  }

  // The counter screen for a one-digit count, rows 1 to 23.
  std::string CounterScreen(int digit, const std::string& count_line,
                            const std::string& speed_line = "") const {
    std::string screen;
    for (int row = 1; row <= 23; ++row) {
      std::string text;
      if (row <= 18 && !state.screen.Line[digit][row].empty()) {
        text = std::string(60, ' ') + state.screen.Line[digit][row];
      }
      if (row == 21) text = count_line;
      if (row == 22) text = speed_line;
      if (row == 23) text = kKeyLine;
      screen += (row > 1 ? "\n" : "") + text;
    }
    return screen;
  }

  FakeClock clock;
  FakeRawConsole raw{clock};
  Console console{raw, clock};
  FakeSerial serial{clock};
  FakeDesktop desktop{&clock};
  RunState state;
};

TEST_F(CountingTest, StartPrintsStatusLinesThenShowsTheCounterAtZero) {
  state.settings = Settings{kPort, true, false, false, true, true, 66, 2, 250};
  state.SNum = 3;
  raw.Type("q");
  Run();

  const std::string status =
      "Counting started\n"
      "Port=\\\\.\\COM3 usects=TRUE usedsr=FALSE usecd=FALSE useri=TRUE\n"
      " usedat=TRUE usedatnum=66 sensornum=2 belldelay=250\n";
  EXPECT_EQ(raw.transcript.substr(0, status.size()), status);
  EXPECT_EQ(raw.Screen(23), CounterScreen(0, "count =0 time from first blow=0 secs"));
  EXPECT_EQ(state.MyCounter, 0);
  EXPECT_EQ(state.SNum, 0);
  EXPECT_TRUE(state.TerminateProgram);
  EXPECT_TRUE(desktop.keys.empty());
}

TEST_F(CountingTest, SensorNumPulsesMakeABlowOnRisingEdgesOnly) {
  struct Case {
    int32_t SensorNum;
    int32_t blows;
    int32_t pulses_left;
    std::vector<FakeDesktop::KeyRecord> keys;
  };
  const Case cases[] = {
      {1, 4, 0, JKeys({10, 30, 50, 70})},
      {2, 2, 0, JKeys({30, 70})},
      {3, 1, 1, JKeys({50})},
      {4, 1, 0, JKeys({70})},
      {5, 0, 4, {}},
      // An equality test: 0 or less never completes a blow.
      {0, 0, 4, {}},
      {-1, 0, 4, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.SensorNum);
    FakeClock case_clock;
    FakeRawConsole case_raw(case_clock);
    Console case_console(case_raw, case_clock);
    FakeSerial case_serial(case_clock);
    FakeDesktop case_desktop(&case_clock);
    case_serial.AddPort(kPort);
    for (int64_t t : {10, 30, 50, 70}) {
      case_serial.SetLines(kPort, t, Cts(true));
      case_serial.SetLines(kPort, t + 10, Cts(false));
    }
    RunState s;
    SetupFont(s.screen.Line);
    s.settings = Settings{kPort, true, false, false, false, false, 0, c.SensorNum, 0};
    s.SerialHandle = case_serial.SerOpen(kPort);
    s.SaveWnd = case_desktop.AddWindow("Ringing Room");
    case_desktop.foreground = s.SaveWnd;
    case_raw.Type("q", 100);
    CountingIo io{case_serial, case_console, case_desktop, case_clock};
    CountBlows(s, io);

    EXPECT_EQ(s.MyCounter, c.blows);
    EXPECT_EQ(s.SNum, c.pulses_left);
    EXPECT_EQ(case_desktop.keys, c.keys);
    EXPECT_EQ(case_raw.Row(21).substr(0, 8), "count =" + std::to_string(c.blows));
  }
}

TEST_F(CountingTest, BlowShowsAtOnceAndItsKeyFollowsTheBellDelay) {
  state.settings.UseCts = true;
  state.settings.SensorNum = 2;
  state.settings.BellDelay = 250;
  CtsPulses({10, 30});
  raw.Type("q", 400);
  Run();

  EXPECT_EQ(state.MyCounter, 1);
  EXPECT_EQ(desktop.keys, JKeys({280}));
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{250}));
  EXPECT_EQ(raw.Screen(23), CounterScreen(1, "count =1 time from first blow=0 secs"));
}

TEST_F(CountingTest, LinesAlreadyOnAtTheStartCountOnlyAfterGoingOffAndOn) {
  state.settings.UseCts = true;
  state.settings.UseDsr = true;
  serial.SetLines(kPort, 0, Lines{true, true, false, false});
  serial.SetLines(kPort, 10, Lines{false, true, false, false});
  serial.SetLines(kPort, 20, Lines{true, true, false, false});
  raw.Type("q", 50);
  Run();

  // Two queries a pass: the CTS queries end at 150 us, 250 us, ... so the change
  // at 20 ms is seen at 20.05 ms.
  EXPECT_EQ(state.MyCounter, 1);
  EXPECT_EQ(desktop.keys, JKeys({20}));
}

TEST_F(CountingTest, PulsesOfAllEnabledLinesAddUp) {
  state.settings = Settings{kPort, true, true, true, true, false, 0, 2, 0};
  serial.SetLines(kPort, 10, Lines{true, false, false, false});
  serial.SetLines(kPort, 20, Lines{true, true, false, false});
  serial.SetLines(kPort, 30, Lines{true, true, true, false});
  serial.SetLines(kPort, 40, Lines{true, true, true, true});
  serial.SetLines(kPort, 50, Lines{});
  raw.Type("q", 60);
  Run();

  EXPECT_EQ(state.MyCounter, 2);
  EXPECT_EQ(state.SNum, 0);
  EXPECT_EQ(desktop.keys.size(), 4u);
}

TEST_F(CountingTest, EachLineCountsOnlyWhenItIsEnabled) {
  // CTS pulses at 10 ms, DSR at 30 ms, CD at 50 ms and RI at 70 ms; one line is
  // enabled at a time.
  struct Case {
    const char* line;
    bool cts, dsr, cd, ri;
    int64_t blow_ms;
  };
  const Case cases[] = {{"CTS", true, false, false, false, 10},
                        {"DSR", false, true, false, false, 30},
                        {"CD", false, false, true, false, 50},
                        {"RI", false, false, false, true, 70}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    FakeClock case_clock;
    FakeRawConsole case_raw(case_clock);
    Console case_console(case_raw, case_clock);
    FakeSerial case_serial(case_clock);
    FakeDesktop case_desktop(&case_clock);
    case_serial.AddPort(kPort);
    case_serial.SetLines(kPort, 10, Lines{true, false, false, false});
    case_serial.SetLines(kPort, 30, Lines{false, true, false, false});
    case_serial.SetLines(kPort, 50, Lines{false, false, true, false});
    case_serial.SetLines(kPort, 70, Lines{false, false, false, true});
    case_serial.SetLines(kPort, 90, Lines{});
    RunState s;
    SetupFont(s.screen.Line);
    s.settings = Settings{kPort, c.cts, c.dsr, c.cd, c.ri, false, 0, 1, 0};
    s.SerialHandle = case_serial.SerOpen(kPort);
    s.SaveWnd = case_desktop.AddWindow("Ringing Room");
    case_desktop.foreground = s.SaveWnd;
    case_raw.Type("q", 100);
    CountingIo io{case_serial, case_console, case_desktop, case_clock};
    CountBlows(s, io);

    EXPECT_EQ(s.MyCounter, 1);
    EXPECT_EQ(case_desktop.keys, JKeys({c.blow_ms}));
  }
}

TEST_F(CountingTest, DisabledLinesAreNeitherQueriedNorCounted) {
  state.settings.UseDsr = true;
  CtsPulses({1, 2, 3});
  serial.SetLines(kPort, 20, Lines{false, false, true, true});
  raw.Type("q", 5);
  Run();

  EXPECT_EQ(state.MyCounter, 0);
  EXPECT_EQ(state.SNum, 0);
  // One query before the loop and one in each of the 100 passes up to the one at
  // 5 ms in which "q" is read.
  EXPECT_EQ(serial.status_queries, 101);
  EXPECT_EQ(serial.reads, 0);
  EXPECT_EQ(clock.NowMicros(), 5050);
}

TEST_F(CountingTest, TwoLinesOnInOnePassGiveTwoPulses) {
  struct Case {
    int32_t SensorNum;
    int32_t blows;
    int32_t pulses_left;
    std::vector<FakeDesktop::KeyRecord> keys;
  };
  // CTS on at 10 ms, off at 20 ms, then CTS and DSR on together at 30 ms. A pulse
  // that completes a blow holds the pass for the bell delay of 5 ms before DSR is
  // queried.
  const Case cases[] = {
      {1, 3, 0, JKeys({15, 35, 40})},
      // The CTS change completes blow 1; the DSR change is the first pulse of blow 2.
      {2, 1, 1, JKeys({35})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.SensorNum);
    FakeClock case_clock;
    FakeRawConsole case_raw(case_clock);
    Console case_console(case_raw, case_clock);
    FakeSerial case_serial(case_clock);
    FakeDesktop case_desktop(&case_clock);
    case_serial.AddPort(kPort);
    case_serial.SetLines(kPort, 10, Lines{true, false, false, false});
    case_serial.SetLines(kPort, 20, Lines{});
    case_serial.SetLines(kPort, 30, Lines{true, true, false, false});
    RunState s;
    SetupFont(s.screen.Line);
    s.settings = Settings{kPort, true, true, false, false, false, 0, c.SensorNum, 5};
    s.SerialHandle = case_serial.SerOpen(kPort);
    s.SaveWnd = case_desktop.AddWindow("Ringing Room");
    case_desktop.foreground = s.SaveWnd;
    case_raw.Type("q", 500);
    CountingIo io{case_serial, case_console, case_desktop, case_clock};
    CountBlows(s, io);

    EXPECT_EQ(s.MyCounter, c.blows);
    EXPECT_EQ(s.SNum, c.pulses_left);
    EXPECT_EQ(case_desktop.keys, c.keys);
  }
}

TEST_F(CountingTest, OnlyTheDataCharacterCountsAndEveryByteIsConsumed) {
  state.settings.UseDat = true;
  state.settings.UseDatNum = 'B';
  serial.SendByte(kPort, 10, 'B');
  serial.SendByte(kPort, 20, 'x');
  serial.SendByte(kPort, 25, 'b');
  serial.SendByte(kPort, 27, 0);
  serial.SendByte(kPort, 30, 'B');
  raw.Type("q", 50);
  Run();

  EXPECT_EQ(state.MyCounter, 2);
  EXPECT_EQ(desktop.keys, JKeys({10, 30}));
  EXPECT_TRUE(serial.port(kPort).bytes.empty());
}

TEST_F(CountingTest, DataQueuedBeforeCountingIsReadOnePerPass) {
  // Bytes that came during the key-send test wait in the port's queue; each pass
  // reads one, and a blow's bell delay holds the next one back.
  state.settings.UseDat = true;
  state.settings.UseDatNum = '1';
  state.settings.BellDelay = 100;
  for (uint8_t byte : {'1', '2', '1', '1'}) serial.SendByte(kPort, 0, byte);
  raw.Type("q", 500);
  Run();

  EXPECT_EQ(state.MyCounter, 3);
  EXPECT_EQ(desktop.keys, JKeys({100, 200, 300}));
}

TEST_F(CountingTest, AChangeDuringTheBellDelayIsSeenOnlyAsTheNetDifference) {
  state.settings.UseCts = true;
  state.settings.BellDelay = 100;
  // The blow at 10 ms holds the loop until 110 ms. CTS goes off and on twice in that
  // time and is on at its end: nothing to count. The blow at 150 ms holds it until
  // 250 ms; CTS goes off meanwhile, which is seen as a fall, so 300 ms is a blow.
  for (auto [t, on] : std::vector<std::pair<int64_t, bool>>{{10, true},
                                                            {30, false},
                                                            {50, true},
                                                            {70, false},
                                                            {90, true},
                                                            {130, false},
                                                            {150, true},
                                                            {200, false},
                                                            {300, true}}) {
    serial.SetLines(kPort, t, Cts(on));
  }
  raw.Type("q", 600);
  Run();

  EXPECT_EQ(state.MyCounter, 3);
  EXPECT_EQ(desktop.keys, JKeys({110, 250, 400}));
}

TEST_F(CountingTest, ZeroResetsTheCountButNotThePartialBlow) {
  state.settings.UseCts = true;
  state.settings.SensorNum = 4;
  CtsPulses({10, 30, 50, 70, 90, 110});  // blow 1 at 70 ms, two pulses towards blow 2
  raw.Type("0", 125);
  raw.Type("q", 130);
  Run();

  EXPECT_EQ(state.MyCounter, 0);
  EXPECT_EQ(state.SNum, 2);
  EXPECT_EQ(raw.Screen(23), CounterScreen(0, "count =0 time from first blow=0 secs"));
  EXPECT_EQ(desktop.keys, JKeys({70}));
}

TEST_F(CountingTest, AfterZeroTheNextPulsesCompleteBlowOne) {
  state.settings.UseCts = true;
  state.settings.SensorNum = 4;
  CtsPulses({10, 30, 50, 70, 90, 110, 150, 170});
  raw.Type("0", 125);
  raw.Type("q", 200);
  Run();

  EXPECT_EQ(state.MyCounter, 1);
  EXPECT_EQ(state.SNum, 0);
  EXPECT_EQ(raw.Screen(23), CounterScreen(1, "count =1 time from first blow=0 secs"));
  EXPECT_EQ(desktop.keys, JKeys({70, 170}));
}

TEST_F(CountingTest, QuitKeysTakeEffectAtTheEndOfTheirPass) {
  // A line query or a data read that the pass makes after reading the quit key
  // still counts its blow and sends its key.
  struct Case {
    uint8_t key;
    bool data;
  };
  for (const Case& c : {Case{27, false}, Case{'Q', false}, Case{'q', false}, Case{27, true},
                        Case{'Q', true}, Case{'q', true}}) {
    SCOPED_TRACE(std::to_string(c.key) + (c.data ? " data" : " line"));
    FakeClock case_clock;
    FakeRawConsole case_raw(case_clock);
    Console case_console(case_raw, case_clock);
    FakeSerial case_serial(case_clock);
    FakeDesktop case_desktop(&case_clock);
    case_serial.AddPort(kPort);
    // One query a pass, of 1 ms: the pass that reads a key at 29 ms queries at 30 ms.
    case_serial.query_cost_us = 1000;
    case_serial.SetLines(kPort, 30, Cts(true));
    case_serial.SendByte(kPort, 30, 'B');
    RunState s;
    SetupFont(s.screen.Line);
    s.settings = Settings{kPort, !c.data, false, false, false, c.data, 'B', 1, 100};
    s.SerialHandle = case_serial.SerOpen(kPort);
    s.SaveWnd = case_desktop.AddWindow("Ringing Room");
    case_desktop.foreground = s.SaveWnd;
    case_raw.Key(c.key, false, 29);
    CountingIo io{case_serial, case_console, case_desktop, case_clock};
    CountBlows(s, io);

    EXPECT_EQ(s.MyCounter, 1);
    EXPECT_EQ(case_desktop.keys, JKeys({130}));
    EXPECT_TRUE(s.TerminateProgram);
    // No pass after the one that read the key.
    EXPECT_EQ(case_serial.status_queries + case_serial.reads, 30);
  }
}

TEST_F(CountingTest, OtherKeysOnlyMoveTheCursor) {
  state.settings.UseCts = true;
  raw.Type("5", 1);
  raw.Type("a", 2);
  raw.Type("1", 3);
  raw.Key(72, true, 4);    // Up arrow
  raw.Key(0x3B, true, 5);  // F1
  raw.Key(13, false, 6);
  raw.Key('q', false, 10);
  Run();

  EXPECT_EQ(state.MyCounter, 0);
  EXPECT_EQ(raw.Screen(23), CounterScreen(0, "count =0 time from first blow=0 secs"));
  EXPECT_EQ(raw.clears, 2) << "the start's clear and the counter screen's";
  EXPECT_EQ(console.WhereX(), 1);
  EXPECT_EQ(console.WhereY(), 1);
}

TEST_F(CountingTest, LeftAndRightPrintTheirNamesTopLeft) {
  for (const auto& [code, name] :
       std::vector<std::pair<uint8_t, std::string>>{{75, "Left"}, {77, "Right"}}) {
    SCOPED_TRACE(name);
    FakeClock case_clock;
    FakeRawConsole case_raw(case_clock);
    Console case_console(case_raw, case_clock);
    FakeSerial case_serial(case_clock);
    FakeDesktop case_desktop(&case_clock);
    case_serial.AddPort(kPort);
    RunState s;
    SetupFont(s.screen.Line);
    s.settings = Settings{kPort, true, false, false, false, false, 0, 1, 0};
    s.SerialHandle = case_serial.SerOpen(kPort);
    case_raw.Key(code, true, 1);
    case_raw.Key('q', false, 2);
    CountingIo io{case_serial, case_console, case_desktop, case_clock};
    CountBlows(s, io);

    std::string expected = CounterScreen(0, "count =0 time from first blow=0 secs");
    expected.replace(0, name.size(), name);
    EXPECT_EQ(case_raw.Screen(23), expected);
    // The quit key put the cursor back at the top left.
    EXPECT_EQ(case_console.WhereY(), 1);
  }
}

TEST_F(CountingTest, WithTheTargetNotInFrontTheBlowCountsButNoKeyIsSent) {
  state.settings.UseCts = true;
  desktop.FocusAt(5, desktop.AddWindow("Terminal"));
  CtsPulses({10});
  raw.Type("q", 20);
  Run();

  EXPECT_EQ(state.MyCounter, 1);
  EXPECT_TRUE(desktop.keys.empty());
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{8000}));
  EXPECT_EQ(raw.Row(1), "Ringing Room is not the focus window - Key sending suspended");
}

TEST_F(CountingTest, FailedStatusQueriesReadAsOff) {
  state.settings.UseCts = true;
  state.settings.UseRi = true;
  serial.port(kPort).status_fails = true;
  serial.SetLines(kPort, 0, Lines{true, true, true, true});
  CtsPulses({10, 30});
  raw.Type("q", 50);
  Run();

  EXPECT_EQ(state.MyCounter, 0);
  EXPECT_EQ(state.SNum, 0);
}

TEST_F(CountingTest, KeyCheckNeverWaitsForAKey) {
  CountingIo io{serial, console, desktop, clock};
  raw.Type("7", 10);
  console.GotoXY(5, 6);
  KeyCheck(state, io);
  EXPECT_EQ(console.WhereX(), 5) << "no key yet: nothing at all happens";
  EXPECT_EQ(console.WhereY(), 6);
  EXPECT_EQ(clock.NowMicros(), 0);

  clock.Advance(10000);
  raw.Type("q", 100);  // keeps the input open
  KeyCheck(state, io);
  EXPECT_EQ(console.WhereX(), 1);
  EXPECT_EQ(console.WhereY(), 1);
  EXPECT_FALSE(state.TerminateProgram);
}

}  // namespace
}  // namespace strikewell
