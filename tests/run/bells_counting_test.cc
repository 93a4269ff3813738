// Counting several bells on one port, over scripted ports, keys and a fake desktop in
// fake time: each bell's key at its own sensor event plus its own delay.
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

namespace strikewell {
namespace {

using testing::ByteScript;
using testing::FakeDesktop;
using testing::Lines;
using testing::LineScript;

constexpr const char* kPort = "\\\\.\\COM3";
constexpr Lines kOff{}, kCts{.cts = true}, kDsr{.dsr = true}, kBoth{.cts = true, .dsr = true};

// A key as the window got it: the character it types and when it was pressed.
struct Typed {
  char key;
  int64_t at_ms;
  bool operator==(const Typed&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Typed& t) {
  return os << "'" << t.key << "' at " << t.at_ms << " ms";
}

// The presses the fake desktop received, read back into the characters they type;
// each press must be followed by its release at once.
std::vector<Typed> TypedKeys(const FakeDesktop& desktop) {
  std::vector<Typed> typed;
  for (size_t i = 0; i < desktop.keys.size(); ++i) {
    const FakeDesktop::KeyRecord& k = desktop.keys[i];
    if (k.flags != 0) continue;
    EXPECT_TRUE(i + 1 < desktop.keys.size() && desktop.keys[i + 1].vk == k.vk &&
                desktop.keys[i + 1].flags != 0)
        << "a press without its release";
    char key = static_cast<char>(k.vk);
    if (k.vk >= 'A' && k.vk <= 'Z') key = static_cast<char>(k.vk - 'A' + 'a');
    if (k.vk == 0xBD) key = '-';
    if (k.vk == 0xBB) key = '=';
    typed.push_back({key, k.at_ms});
  }
  return typed;
}

struct RecordingLog : PracticeLog {
  void Blow(const BlowLine& line) override {
    entries.push_back("bell " + std::to_string(line.bell) + " blow " + std::to_string(line.blow) +
                      " " + std::to_string(line.sensor_us / 1000) + " " +
                      std::to_string(line.key_us / 1000) + (line.sent ? " sent" : " dropped"));
  }
  void Zeroed() override { entries.push_back("zeroed"); }
  std::vector<std::string> entries;
};

// The fake desktop that also notes the bells' first row on the screen at each key
// press: what the ringer was seeing when the key went.
struct PeekingDesktop : FakeDesktop {
  PeekingDesktop(testing::FakeClock* clock, const testing::FakeRawConsole* screen)
      : FakeDesktop(clock), raw(screen) {}
  void KeybdEvent(uint8_t virtual_key, uint8_t scan_code, uint32_t flags) override {
    if (flags == 0) first_bell_at_keys.push_back(raw->Row(2));
    FakeDesktop::KeybdEvent(virtual_key, scan_code, flags);
  }
  const testing::FakeRawConsole* raw;
  std::vector<std::string> first_bell_at_keys;
};

// One counting run of several bells on COM3, the target window in front.
struct BellsLoop {
  BellsLoop(const BellsSetup& setup, const LineScript& lines, const ByteScript& bytes = {}) {
    serial.AddPort(kPort);
    Play(serial, kPort, lines, bytes);
    SetupFont(state.screen.Line);
    state.several_bells = setup;
    state.SerialHandle = serial.SerOpen(kPort);
    state.SaveWnd = desktop.AddWindow("Ringing Room - Google Chrome");
    desktop.foreground = state.SaveWnd;
  }
  void Run() {
    CountingIo io{serial, console, desktop, clock, wait, &log};
    CountBlows(state, io);
  }

  testing::FakeClock clock;
  testing::FakeRawConsole raw{clock, 80, 23};
  Console console{raw, clock};
  testing::FakeSerial serial{clock};
  PeekingDesktop desktop{&clock, &raw};
  testing::FakeEventWait wait{clock, serial, raw};
  RecordingLog log;
  RunState state;
};

BellsSetup BellsOn(std::vector<BellSetup> bells, bool convention = false) {
  BellsSetup setup;
  setup.ComPortName = kPort;
  setup.convention = convention;
  setup.bells = std::move(bells);
  return setup;
}

// The handbell pair: the treble in the left hand on CTS, one sensor and 250 ms; the
// second in the right hand on DSR, two sensors and 240 ms.
const BellsSetup kPair = BellsOn(
    {{.bell = 1, .source = BellSource::kCts, .SensorNum = 1, .BellDelay = 250, .hand = Hand::kLeft},
     {.bell = 2,
      .source = BellSource::kDsr,
      .SensorNum = 2,
      .BellDelay = 240,
      .hand = Hand::kRight}});

TEST(CountingBells, TwoLinesRingAPairWithFAndJEachAtItsOwnDueTime) {
  BellsLoop loop(kPair, {{100, kCts},
                         {150, kBoth},  // the second's first sensor: half its blow
                         {200, kDsr},
                         {250, kOff},
                         {400, kDsr},  // its second sensor: the blow
                         {450, kOff},
                         {1100, kCts},
                         {1200, kOff}});
  loop.raw.Type("q", 2000);
  loop.Run();

  EXPECT_EQ(TypedKeys(loop.desktop), (std::vector<Typed>{{'f', 350}, {'j', 640}, {'f', 1350}}));
  EXPECT_EQ(loop.log.entries,
            (std::vector<std::string>{"bell 1 blow 1 100 350 sent", "bell 2 blow 1 400 640 sent",
                                      "bell 1 blow 2 1100 1350 sent"}));
  EXPECT_EQ(loop.state.MyCounter, 3);
  EXPECT_EQ(loop.raw.Row(1), "bell   count   last interval");
  EXPECT_EQ(loop.raw.Row(2), "   1       2       1.00 secs");
  EXPECT_EQ(loop.raw.Row(3), "   2       1");
  EXPECT_EQ(loop.raw.Row(21), "count =3 time from first blow=1 secs");
}

// A convention box of twelve: a round with a blow every 200 ms, each bell's delay
// 10 ms longer than the one before, each key that bell's own.
TEST(CountingBells, TwelveCharactersRingBellsOneToTwelveWithTheirOwnDelays) {
  std::vector<BellSetup> bells;
  ByteScript bytes;
  std::vector<Typed> expected;
  const std::string keys = "1234567890-=";
  for (int32_t bell = 1; bell <= 12; ++bell) {
    bells.push_back({.bell = bell,
                     .source = BellSource::kChar,
                     .character = static_cast<uint8_t>(ConventionCharacter(bell)),
                     .BellDelay = 100 + 10 * bell});
    const int64_t at = 200 * bell;
    bytes.emplace_back(at, static_cast<uint8_t>(ConventionCharacter(bell)));
    expected.push_back({keys[static_cast<size_t>(bell - 1)], at + 100 + 10 * bell});
  }
  BellsLoop loop(BellsOn(bells, true), {}, bytes);
  loop.raw.Type("q", 3000);
  loop.Run();

  EXPECT_EQ(TypedKeys(loop.desktop), expected);
  EXPECT_EQ(loop.state.MyCounter, 12);
  EXPECT_EQ(loop.log.entries.size(), 12u);
  EXPECT_EQ(loop.log.entries[11], "bell 12 blow 1 2400 2620 sent");
}

// Eight bells of a box struck within 100 ms of each other, each with its own delay:
// every key goes at its own bell's event + delay, whatever order that makes; none
// waits for another bell's.
TEST(CountingBells, AClashOfEightBellsEachKeyAtItsOwnTime) {
  const int32_t delays[8] = {400, 380, 20, 300, 0, 250, 90, 150};
  const int64_t struck_at[8] = {1000, 1012, 1030, 1031, 1047, 1060, 1088, 1099};
  std::vector<BellSetup> bells;
  ByteScript bytes;
  for (int32_t bell = 1; bell <= 8; ++bell) {
    bells.push_back({.bell = bell,
                     .source = BellSource::kChar,
                     .character = static_cast<uint8_t>(ConventionCharacter(bell)),
                     .BellDelay = delays[bell - 1]});
    bytes.emplace_back(struck_at[bell - 1], static_cast<uint8_t>(ConventionCharacter(bell)));
  }
  BellsLoop loop(BellsOn(bells, true), {}, bytes);
  loop.raw.Type("q", 3000);
  loop.Run();

  EXPECT_EQ(TypedKeys(loop.desktop), (std::vector<Typed>{{'5', 1047},
                                                         {'3', 1050},
                                                         {'7', 1178},
                                                         {'8', 1249},
                                                         {'6', 1310},
                                                         {'4', 1331},
                                                         {'2', 1392},
                                                         {'1', 1400}}));
}

// Eight blows within 84 ms: the screen is drawn at the first and once more 100 ms
// later, not once for each blow, and ends showing them all.
TEST(CountingBells, BlowsTogetherAreDrawnTogether) {
  std::vector<BellSetup> bells;
  ByteScript bytes;
  for (int32_t bell = 1; bell <= 8; ++bell) {
    bells.push_back({.bell = bell,
                     .source = BellSource::kChar,
                     .character = static_cast<uint8_t>(ConventionCharacter(bell)),
                     .BellDelay = 250});
    bytes.emplace_back(1000 + 12 * (bell - 1), static_cast<uint8_t>(ConventionCharacter(bell)));
  }
  BellsLoop loop(BellsOn(bells, true), {}, bytes);
  loop.raw.Type("q", 3000);
  loop.Run();

  size_t drawn = 0;
  for (size_t at = loop.raw.transcript.find("bell   count"); at != std::string::npos;
       at = loop.raw.transcript.find("bell   count", at + 1)) {
    ++drawn;
  }
  EXPECT_EQ(drawn, 3u) << "at the start, at the first blow and 100 ms later";
  EXPECT_EQ(loop.raw.Row(21), "count =8 time from first blow=0 secs");
  EXPECT_EQ(loop.raw.Row(9), "   8       1");
}

TEST(CountingBells, ZeroStartsEveryBellAgain) {
  BellsLoop loop(kPair, {{100, kCts}, {200, kOff}, {1100, kCts}, {1200, kOff}});
  loop.raw.Type("0", 1500);
  loop.raw.Type("q", 2000);
  loop.Run();

  EXPECT_EQ(loop.raw.Screen(23),
            "bell   count   last interval\n"
            "   1       0\n"
            "   2       0\n"
            "\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n"
            "count =0 time from first blow=0 secs\n"
            "\n"
            "0 will zero counter;  Q=Quit");
  EXPECT_EQ(loop.log.entries.back(), "zeroed");
}

// A key of one bell that falls due while another window is in front is dropped; the
// next bell's key, due after the ringer clicked back, goes.
TEST(CountingBells, AKeyDueWhileAnotherWindowIsInFrontIsDroppedAndTheNextGoes) {
  BellsLoop loop(kPair,
                 {{100, kCts}, {200, kOff}, {300, kDsr}, {350, kOff}, {500, kDsr}, {550, kOff}});
  const WindowHandle other = loop.desktop.AddWindow("Terminal");
  loop.desktop.FocusAt(340, other);
  loop.desktop.FocusAt(600, loop.state.SaveWnd);
  loop.raw.Type("q", 2000);
  loop.Run();

  EXPECT_EQ(TypedKeys(loop.desktop), (std::vector<Typed>{{'j', 740}}));
  EXPECT_EQ(loop.log.entries, (std::vector<std::string>{"bell 1 blow 1 100 350 dropped",
                                                        "bell 2 blow 1 500 740 sent"}));
}

// Drawing the screen takes tens of milliseconds on a slow console: a key due sooner
// than 50 ms after a blow goes before the screen shows that blow; one due later finds
// it drawn.
TEST(CountingBells, AKeyDueSoonGoesBeforeTheScreenIsRedrawn) {
  BellsSetup pair = kPair;
  pair.bells[0].BellDelay = 30;
  BellsLoop loop(
      pair, {{100, kCts}, {200, kOff}, {1000, kDsr}, {1050, kOff}, {1100, kDsr}, {1200, kOff}});
  loop.raw.Type("q", 2000);
  loop.Run();

  EXPECT_EQ(TypedKeys(loop.desktop), (std::vector<Typed>{{'f', 130}, {'j', 1340}}));
  EXPECT_EQ(loop.desktop.first_bell_at_keys,
            (std::vector<std::string>{"   1       0", "   1       1"}));
  EXPECT_EQ(loop.raw.Row(3), "   2       1");
}

// The pair with one sensor on the second too.
const BellsSetup kPlainPair = [] {
  BellsSetup pair = kPair;
  pair.bells[1].SensorNum = 1;
  return pair;
}();

// The adapter pulled out between blows and plugged back in: said below the bells, and
// each bell counts on from where it was.
TEST(CountingBells, APortLostAndBackIsSaidAndEveryBellCountsOn) {
  BellsLoop loop(kPlainPair, {{100, kCts},
                              {200, kOff},
                              {300, kDsr},
                              {350, kOff},
                              {3600, kCts},
                              {3700, kOff},
                              {3800, kDsr},
                              {3850, kOff}});
  // Tried again once a second from the loss: it opens at 3400.
  loop.serial.Unplug(kPort, 400, 2500);
  loop.raw.Type("q", 4500);
  loop.Run();

  EXPECT_EQ(TypedKeys(loop.desktop),
            (std::vector<Typed>{{'f', 350}, {'j', 540}, {'f', 3850}, {'j', 4040}}));
  const size_t lost_at = loop.raw.transcript.find(
      "Sensor port \\\\.\\COM3 lost - plug it back in; counting goes on when it returns");
  ASSERT_NE(lost_at, std::string::npos) << loop.raw.transcript;
  EXPECT_NE(loop.raw.transcript.find("Sensor port \\\\.\\COM3 is back", lost_at),
            std::string::npos);
  EXPECT_EQ(loop.raw.Row(19), "Sensor port \\\\.\\COM3 is back");
  EXPECT_EQ(loop.raw.Row(2).substr(0, 12), "   1       2");
  EXPECT_EQ(loop.raw.Row(3).substr(0, 12), "   2       2");
}

// A window made too small says so, blows still ring, and the bells come back, counted
// on, once it is large enough.
TEST(CountingBells, AWindowTooSmallSaysSoAndTheBellsReturnWhenItGrows) {
  BellsLoop loop(kPlainPair, {{500, kCts}, {600, kOff}, {1500, kDsr}, {1600, kOff}});
  loop.raw.ResizeAt(1000, 60, 20);
  loop.raw.ResizeAt(2500, 80, 23);
  loop.raw.Type("q", 3000);
  loop.Run();

  EXPECT_EQ(TypedKeys(loop.desktop), (std::vector<Typed>{{'f', 750}, {'j', 1740}}));
  const size_t small = loop.raw.transcript.find("Make this window at least 80 columns by 23 rows");
  ASSERT_NE(small, std::string::npos);
  EXPECT_NE(loop.raw.transcript.find("   2       1", small), std::string::npos)
      << "redrawn when large enough";
  EXPECT_EQ(loop.raw.Row(1), "bell   count   last interval");
  EXPECT_EQ(loop.raw.Row(2), "   1       1");
  EXPECT_EQ(loop.raw.Row(3), "   2       1");
}

// "0" shows the bells at 0 at once: never the single bell's big digits, not even for
// a moment, and not held back by a redraw just made.
TEST(CountingBells, ZeroDrawsTheBellsAtOnceAndNeverTheBigDigits) {
  BellsLoop loop(kPlainPair, {{100, kCts}, {150, kOff}});
  loop.raw.Type("0", 160);
  loop.raw.Type("q", 1000);
  loop.Run();

  const std::string big_zero_row = loop.state.screen.Line[0][5];
  ASSERT_FALSE(big_zero_row.empty());
  EXPECT_EQ(loop.raw.transcript.find(big_zero_row), std::string::npos) << loop.raw.transcript;
  EXPECT_EQ(loop.raw.Row(2), "   1       0");
  EXPECT_EQ(loop.desktop.first_bell_at_keys, (std::vector<std::string>{"   1       0"}))
      << "the key of the blow before the zeroing, at 350 ms, finds the bells at 0";
}

// The first blow comes half a minute into counting, and its key is due too soon for
// the screen to be drawn before it: the time still runs from that blow.
TEST(CountingBells, TheTimeRunsFromTheFirstBlowEvenWhenItsScreenWasNotDrawn) {
  BellsSetup pair = kPlainPair;
  pair.bells[0].BellDelay = 30;
  BellsLoop loop(pair, {{30000, kCts}, {30010, kDsr}, {30100, kOff}});
  loop.raw.Type("q", 31000);
  loop.Run();

  EXPECT_EQ(loop.raw.Row(21), "count =2 time from first blow=0 secs");
}

}  // namespace
}  // namespace strikewell
