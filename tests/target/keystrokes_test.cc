#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
#include "run/run_state.h"
#include "target/target.h"

namespace strikewell {
namespace {

using testing::FakeClock;
using testing::FakeDesktop;
using testing::FakeRawConsole;
using testing::Press;
using testing::Release;
using Keys = std::vector<FakeDesktop::KeyRecord>;

// Scan codes of the fake US layout.
constexpr uint8_t kShiftScan = 0x2A;

Keys Tap(uint8_t vk, uint8_t scan) { return {Press(vk, scan), Release(vk, scan)}; }

Keys Join(std::initializer_list<Keys> parts) {
  Keys all;
  for (const Keys& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

struct EncodingCase {
  const char* name;
  std::string text;
  Keys expected;
};

TEST(SendKeyString, EncodesEveryKindOfCode) {
  const Keys shift_down = {Press(0x10, kShiftScan)};
  const Keys shift_up = {Release(0x10, kShiftScan)};
  const std::vector<EncodingCase> cases = {
      {"empty text", "", {}},
      {"the strike key", "j", Tap(0x4A, 0x24)},
      {"digits", "1290",
       Join({Tap(0x31, 0x02), Tap(0x32, 0x03), Tap(0x39, 0x0A), Tap(0x30, 0x0B)})},
      {"small letter a to m becomes its capital's key", "am",
       Join({Tap(0x41, 0x1E), Tap(0x4D, 0x32)})},
      {"capital A is the A key without Shift", "A", Tap(0x41, 0x1E)},
      {"codes below 110 are key codes as they stand", "\r\t\x1b `",
       Join({Tap(0x0D, 0x1C), Tap(0x09, 0x0F), Tap(0x1B, 0x01), Tap(0x20, 0x39), Tap(0x60, 0)})},
      {"n to z through the layout", "nz", Join({Tap(0x4E, 0x31), Tap(0x5A, 0x2C)})},
      {"layout asks for Shift", "{", Join({shift_down, Tap(0xDB, 0x1A), shift_up})},
      {"each character gets its own Shift", "{}",
       Join({shift_down, Tap(0xDB, 0x1A), shift_up, shift_down, Tap(0xDD, 0x1B), shift_up})},
      {"held Shift replaces the automatic one", "\xFA{}\xFB",
       Join({shift_down, Tap(0xDB, 0x1A), Tap(0xDD, 0x1B), shift_up})},
      {"Ctrl held also stops the automatic Shift", "\xFC{\xFD",
       Join({{Press(0x11, 0x1D)}, Tap(0xDB, 0x1A), {Release(0x11, 0x1D)}})},
      {"after a release the automatic Shift is back", "\xFE\xFF{",
       Join({{Press(0x12, 0x38), Release(0x12, 0x38)}, shift_down, Tap(0xDB, 0x1A), shift_up})},
      {"Ctrl pressed and never released stays down",
       "\xFC"
       "a",
       Join({{Press(0x11, 0x1D)}, Tap(0x41, 0x1E)})},
      {"Home", "\xF0", Tap(0x24, 0x47)},
      {"navigation keys", "\xF1\xF2\xF3\xF4\xF5\xF6\xF7\xF8\xF9",
       Join({Tap(0x23, 0x4F), Tap(0x26, 0x48), Tap(0x28, 0x50), Tap(0x25, 0x4B), Tap(0x27, 0x4D),
             Tap(0x21, 0x49), Tap(0x22, 0x51), Tap(0x2D, 0x52), Tap(0x2E, 0x53)})},
      {"F1", "\xE4", Tap(0x70, 0x3B)},
      {"F12", "\xEF", Tap(0x7B, 0x58)},
      {"a character the layout lacks is left out",
       "1\x80"
       "2",
       Join({Tap(0x31, 0x02), Tap(0x32, 0x03)})},
  };
  for (const EncodingCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDesktop desktop;
    SendKeyString(desktop, c.text);
    EXPECT_EQ(desktop.keys, c.expected);
  }
}

TEST(SendKeyString, KeepsNoShiftStateBetweenCalls) {
  FakeDesktop desktop;
  SendKeyString(desktop, "\xFA");
  SendKeyString(desktop, "{");
  EXPECT_EQ(desktop.keys, Join({{Press(0x10, kShiftScan)},
                                {Press(0x10, kShiftScan)},
                                Tap(0xDB, 0x1A),
                                {Release(0x10, kShiftScan)}}));
}

class SendAKeyTest : public ::testing::Test {
 protected:
  SendAKeyTest() {
    target = desktop.AddWindow("Ringing Room");
    other = desktop.AddWindow("Editor");
    state.SaveWnd = target;
    desktop.foreground = target;
  }

  FakeClock clock;
  FakeRawConsole raw{clock};
  Console console{raw, clock};
  FakeDesktop desktop{&clock};
  RunState state;
  WindowHandle target = 0;
  WindowHandle other = 0;
};

TEST_F(SendAKeyTest, SendsJExactlyOneBellDelayLater) {
  struct DelayCase {
    int32_t BellDelay;
    int64_t waited_ms;
  };
  for (const DelayCase& c : std::vector<DelayCase>{
           {250, 250}, {0, 0}, {1, 1}, {65535, 65535}, {-5, 0}, {70000, 65535}}) {
    SCOPED_TRACE(c.BellDelay);
    FakeClock clk;
    FakeRawConsole r{clk};
    Console con{r, clk};
    FakeDesktop d{&clk};
    RunState s;
    s.SaveWnd = d.AddWindow("Ringing Room");
    d.foreground = s.SaveWnd;
    s.settings.BellDelay = c.BellDelay;

    SendAKey(s, d, con);

    EXPECT_EQ(d.keys, (Keys{Press(0x4A, 0x24, c.waited_ms), Release(0x4A, 0x24, c.waited_ms)}));
    EXPECT_EQ(clk.NowMillis(), c.waited_ms);
    EXPECT_EQ(s.settings.BellDelay, c.BellDelay) << "the stored delay is kept";
    EXPECT_EQ(r.clears, 0);
    EXPECT_EQ(r.transcript, "");
  }
}

TEST_F(SendAKeyTest, WithoutFocusShowsTheNoticeForEightSecondsAndSendsNothing) {
  state.settings.BellDelay = 300;
  console.WriteLn("   ***   counter");
  desktop.foreground = other;

  SendAKey(state, desktop, console);

  EXPECT_TRUE(desktop.keys.empty());
  EXPECT_EQ(raw.clears, 1);
  EXPECT_EQ(raw.Screen(3),
            "Ringing Room is not the focus window - Key sending suspended\n"
            "Keystrokes will be sent when focus is resumed\n");
  EXPECT_TRUE(raw.transcript.ends_with("Keystrokes will be sent when focus is resumed "));
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{8000}));
}

TEST_F(SendAKeyTest, NoWindowInFrontIsNotTheTarget) {
  desktop.foreground = 0;
  SendAKey(state, desktop, console);
  EXPECT_TRUE(desktop.keys.empty());
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{8000}));
}

TEST_F(SendAKeyTest, FocusLostDuringTheDelayStillGetsTheKey) {
  state.settings.BellDelay = 400;
  desktop.FocusAt(100, other);

  SendAKey(state, desktop, console);

  EXPECT_EQ(desktop.keys, (Keys{Press(0x4A, 0x24, 400), Release(0x4A, 0x24, 400)}));
  EXPECT_EQ(desktop.GetForegroundWindow(), other);
}

TEST_F(SendAKeyTest, SendingResumesWithTheFirstBlowAfterFocusReturns) {
  state.settings.BellDelay = 200;
  desktop.FocusAt(0, other);
  desktop.FocusAt(9000, target);

  SendAKey(state, desktop, console);  // at 0 ms: suspended until 8000 ms
  SendAKey(state, desktop, console);  // at 8000 ms: still elsewhere
  SendAKey(state, desktop, console);  // at 16000 ms: back in front

  EXPECT_EQ(desktop.keys, (Keys{Press(0x4A, 0x24, 16200), Release(0x4A, 0x24, 16200)}));
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{8000, 8000, 200}));
}

TEST(KeySendTest, SendsTheDigitsOneToEightAfterTwoSecondsThreeHundredMillisecondsApart) {
  FakeClock clock;
  FakeRawConsole raw{clock};
  Console console{raw, clock};
  FakeDesktop desktop{&clock};

  KeySendTest(desktop, console);

  Keys expected;
  for (int i = 0; i < 8; ++i) {
    const auto vk = static_cast<uint8_t>(0x31 + i);
    const auto scan = static_cast<uint8_t>(0x02 + i);
    const int64_t at = 2000 + 300 * i;
    expected.push_back(Press(vk, scan, at));
    expected.push_back(Release(vk, scan, at));
  }
  EXPECT_EQ(desktop.keys, expected);
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{2000, 300, 300, 300, 300, 300, 300, 300, 300}));
  EXPECT_EQ(raw.Screen(3), "Key send test - a round\nEnding Key send test - a round\n");
  EXPECT_TRUE(desktop.activations.empty()) << "no focus handling in the test";
}

}  // namespace
}  // namespace strikewell
