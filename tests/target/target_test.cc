#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
#include "target/target.h"

namespace strikewell {
namespace {

using testing::Press;
using testing::Release;
using Keys = std::vector<testing::FakeDesktop::KeyRecord>;

// The console and the desktop on one fake clock.
struct Rig {
  testing::FakeClock clock;
  testing::FakeRawConsole raw{clock};
  Console console{raw, clock};
  testing::FakeDesktop desktop{&clock};
  TargetWindow state;
};

// Key taps in order, all at fake time at_ms: {virtual key, scan code} each.
Keys Taps(std::initializer_list<std::pair<uint8_t, uint8_t>> keys, int64_t at_ms = 0) {
  Keys all;
  for (const auto& [vk, scan] : keys) {
    all.push_back(Press(vk, scan, at_ms));
    all.push_back(Release(vk, scan, at_ms));
  }
  return all;
}

Keys Join(std::initializer_list<Keys> parts) {
  Keys all;
  for (const Keys& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Keys kShiftDown = {Press(0x10, 0x2A)};
const Keys kShiftUp = {Release(0x10, 0x2A)};
const Keys kBrace = Taps({{0xDB, 0x1A}});

TEST(SendKeyString, EncodesEveryKindOfCode) {
  const struct {
    const char* name;
    std::string text;
    Keys expected;
  } cases[] = {
      {"empty text", "", {}},
      // a to m become their capitals' keys; n to z go through the layout.
      {"letters", "jmnz", Taps({{0x4A, 0x24}, {0x4D, 0x32}, {0x4E, 0x31}, {0x5A, 0x2C}})},
      {"other codes below 110 are key codes as they stand, capitals without Shift", "A19\r `",
       Taps({{0x41, 0x1E}, {0x31, 0x02}, {0x39, 0x0A}, {0x0D, 0x1C}, {0x20, 0x39}, {0x60, 0}})},
      // Each character the layout shifts gets its own Shift, unless Shift is held.
      {"held Shift replaces the automatic one until released", "\xFA{\xFB{",
       Join({kShiftDown, kBrace, kShiftUp, kShiftDown, kBrace, kShiftUp})},
      {"Alt pressed and released, Ctrl held: no automatic Shift", "\xFE\xFF\xFC{",
       Join({{Press(0x12, 0x38), Release(0x12, 0x38), Press(0x11, 0x1D)}, kBrace})},
      {"Home, Delete, F1 and F12", "\xF0\xF9\xE4\xEF",
       Taps({{0x24, 0x47}, {0x2E, 0x53}, {0x70, 0x3B}, {0x7B, 0x58}})},
      // Pressing the 0xFF that VkKeyScan answers would type whatever that key is.
      {"a character the layout lacks is left out", "1\x80", Taps({{0x31, 0x02}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeDesktop desktop;
    SendKeyString(desktop, c.text);
    EXPECT_EQ(desktop.keys, c.expected);
  }
}

TEST(SendKeyString, LeavesHeldKeysDownAndKeepsNoShiftStateBetweenCalls) {
  testing::FakeDesktop desktop;
  SendKeyString(desktop, "\xFA");
  SendKeyString(desktop, "{");
  EXPECT_EQ(desktop.keys, Join({kShiftDown, kShiftDown, kBrace, kShiftUp}));
}

TEST(SendAKey, SendsJAtOnceWithTheTargetInFront) {
  Rig r;
  r.desktop.foreground = r.state.SaveWnd = r.desktop.AddWindow("Ringing Room");

  EXPECT_TRUE(SendAKey(r.state, r.desktop, r.console));

  EXPECT_EQ(r.desktop.keys, Taps({{0x4A, 0x24}}, 0)) << "the bell delay is the caller's";
  EXPECT_TRUE(r.clock.sleeps.empty());
  EXPECT_EQ(r.raw.transcript, "");
}

TEST(SendAKey, BellDelaysOutsideTheRangeWaitAsLongAsItsNearerEnd) {
  EXPECT_EQ(BellDelayMicros(250), 250'000);
  EXPECT_EQ(BellDelayMicros(0), 0);
  EXPECT_EQ(BellDelayMicros(-5), 0);
  EXPECT_EQ(BellDelayMicros(65535), 65'535'000);
  EXPECT_EQ(BellDelayMicros(70000), 65'535'000) << "not wrapped around to 4464 ms";
}

// Without the target in front (another window or none) the key is dropped at once,
// never kept for later, and the notice is shown; the next key with the target in
// front goes through.
TEST(SendAKey, DropsTheKeyWithANoticeWhileTheTargetIsNotInFront) {
  Rig r;
  const WindowHandle target = r.desktop.AddWindow("Ringing Room");
  r.desktop.foreground = r.state.SaveWnd = target;
  r.console.WriteLn("   ***   counter");
  r.desktop.FocusAt(100, r.desktop.AddWindow("Editor"));
  r.desktop.FocusAt(200, 0);
  r.desktop.FocusAt(300, target);
  std::vector<bool> sent;
  for (int64_t at_ms : {100, 200, 300}) {
    r.clock.Advance(at_ms * 1000 - r.clock.NowMicros());
    sent.push_back(SendAKey(r.state, r.desktop, r.console));
  }

  EXPECT_EQ(sent, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(r.desktop.keys, Taps({{0x4A, 0x24}}, 300));
  EXPECT_TRUE(r.clock.sleeps.empty()) << "no blind wait";
  EXPECT_EQ(r.raw.clears, 2);
  EXPECT_EQ(r.raw.Screen(3),
            "Ringing Room is not the focus window - Key sending suspended\n"
            "Keystrokes will be sent when focus is resumed\n");
  EXPECT_TRUE(r.raw.transcript.ends_with("Keystrokes will be sent when focus is resumed "));
}

TEST(KeySendTest, SendsTheDigitsOneToEightAfterTwoSecondsThreeHundredMillisecondsApart) {
  Rig r;
  KeySendTest(r.desktop, r.console);
  Keys expected;
  for (uint8_t i = 0; i < 8; ++i) {
    const Keys tap =
        Taps({{static_cast<uint8_t>(0x31 + i), static_cast<uint8_t>(0x02 + i)}}, 2000 + 300 * i);
    expected.insert(expected.end(), tap.begin(), tap.end());
  }
  EXPECT_EQ(r.desktop.keys, expected);
  EXPECT_EQ(r.clock.NowMillis(), 2000 + 8 * 300);
  EXPECT_EQ(r.raw.Screen(3), "Key send test - a round\nEnding Key send test - a round\n");
  EXPECT_TRUE(r.desktop.activations.empty()) << "no focus handling in the test";
}

// The text must appear exactly, within the 255 characters of the title before any NUL.
TEST(FindTargetWindow, TakesTheFirstMatchingTitleAndLooksNoFurther) {
  const std::vector<std::string> others = {"Ringing room - Chromium", "Ringing Roo",
                                           std::string(244, 'x') + "Ringing Room",
                                           std::string("Tab\0Ringing Room", 16)};
  for (const std::string& first :
       {std::string("xRinging Roomx"), std::string(243, 'x') + "Ringing Room"}) {
    SCOPED_TRACE(first.size());
    Rig r;
    r.console.WriteLn("Port opened");
    for (const std::string& title : others) r.desktop.AddWindow(title);
    const WindowHandle match = r.desktop.AddWindow(first);
    r.desktop.AddWindow("Ringing Room - tower two");
    r.desktop.refuse_foreground = true;  // the window is still the target

    EXPECT_TRUE(FindTargetWindow(r.state, r.desktop, r.console));

    EXPECT_EQ(r.desktop.visited, (std::vector<WindowHandle>{0x100, 0x101, 0x102, 0x103, match}));
    EXPECT_EQ(r.desktop.activations,
              (std::vector<std::string>{"SetActiveWindow(0x104)", "SetForegroundWindow(0x104)"}));
    EXPECT_TRUE(r.state.WindowFound);
    EXPECT_EQ(r.state.WindowTitle, first);
    EXPECT_EQ(r.state.SaveWnd, match);
    EXPECT_EQ(r.raw.Row(1), "Port opened");
    EXPECT_EQ(r.raw.Row(2), ("Target window is " + first).substr(0, 80));
  }
}

TEST(FindTargetWindow, NotFoundSaysWhyWhenItCanAndEndsAfterAnyOneLine) {
  const std::string not_found = "The required target window (Ringing Room) NOT FOUND\n";
  const std::string ending = "Ending program press Q to exit\n";
  const std::string no_display = "No X display could be opened (DISPLAY is \":99\").";
  const struct {
    std::string unavailable;
    std::string typed;
    std::string screen;
  } cases[] = {
      {"", "anything at all", not_found + ending + "anything at all\n\n"},
      {no_display, "", not_found + no_display + "\n" + ending + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed + c.unavailable);
    Rig r;
    r.desktop.AddWindow("Terminal");
    r.desktop.AddWindow("ringing room");
    r.desktop.unavailable = c.unavailable;
    r.console.WriteLn("Port opened");
    r.raw.TypeLine(c.typed);

    EXPECT_FALSE(FindTargetWindow(r.state, r.desktop, r.console));

    EXPECT_EQ(r.raw.Screen(5), c.screen);
    EXPECT_TRUE(r.raw.InputEnded()) << "exactly one line is read";
    EXPECT_EQ(r.desktop.visited, (std::vector<WindowHandle>{0x100, 0x101}));
  }
}

}  // namespace
}  // namespace strikewell
