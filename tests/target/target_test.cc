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

// The console and the desktop on one fake clock.
struct Rig {
  FakeClock clock;
  FakeRawConsole raw{clock};
  Console console{raw, clock};
  FakeDesktop desktop{&clock};
  RunState state;
};

// A rig whose target window was found and is in front, with an editor behind it.
struct SendRig : Rig {
  SendRig() { desktop.foreground = state.SaveWnd = target; }
  WindowHandle target = desktop.AddWindow("Ringing Room");
  WindowHandle other = desktop.AddWindow("Editor");
};

Keys Tap(uint8_t vk, uint8_t scan, int64_t at_ms = 0) {
  return {Press(vk, scan, at_ms), Release(vk, scan, at_ms)};
}

Keys Join(std::initializer_list<Keys> parts) {
  Keys all;
  for (const Keys& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Keys kShiftDown = {Press(0x10, 0x2A)};
const Keys kShiftUp = {Release(0x10, 0x2A)};

TEST(SendKeyString, EncodesEveryKindOfCode) {
  struct Case {
    const char* name;
    std::string text;
    Keys expected;
  };
  const std::vector<Case> cases = {
      {"empty text", "", {}},
      {"a to m become their capitals' keys", "ajm",
       Join({Tap(0x41, 0x1E), Tap(0x4A, 0x24), Tap(0x4D, 0x32)})},
      {"other codes below 110 are key codes as they stand, capitals without Shift", "A19\r\t\x1b `",
       Join({Tap(0x41, 0x1E), Tap(0x31, 0x02), Tap(0x39, 0x0A), Tap(0x0D, 0x1C), Tap(0x09, 0x0F),
             Tap(0x1B, 0x01), Tap(0x20, 0x39), Tap(0x60, 0)})},
      {"n to z through the layout", "nz", Join({Tap(0x4E, 0x31), Tap(0x5A, 0x2C)})},
      {"each character the layout shifts gets its own Shift", "{}",
       Join({kShiftDown, Tap(0xDB, 0x1A), kShiftUp, kShiftDown, Tap(0xDD, 0x1B), kShiftUp})},
      {"held Shift replaces the automatic one", "\xFA{}\xFB",
       Join({kShiftDown, Tap(0xDB, 0x1A), Tap(0xDD, 0x1B), kShiftUp})},
      {"Ctrl held also stops the automatic Shift", "\xFC{\xFD",
       Join({{Press(0x11, 0x1D)}, Tap(0xDB, 0x1A), {Release(0x11, 0x1D)}})},
      {"after a release the automatic Shift is back", "\xFE\xFF{",
       Join({{Press(0x12, 0x38), Release(0x12, 0x38)}, kShiftDown, Tap(0xDB, 0x1A), kShiftUp})},
      {"Home to Delete", "\xF0\xF1\xF2\xF3\xF4\xF5\xF6\xF7\xF8\xF9",
       Join({Tap(0x24, 0x47), Tap(0x23, 0x4F), Tap(0x26, 0x48), Tap(0x28, 0x50), Tap(0x25, 0x4B),
             Tap(0x27, 0x4D), Tap(0x21, 0x49), Tap(0x22, 0x51), Tap(0x2D, 0x52), Tap(0x2E, 0x53)})},
      {"F1 and F12", "\xE4\xEF", Join({Tap(0x70, 0x3B), Tap(0x7B, 0x58)})},
      // Pressing the 0xFF that VkKeyScan answers would type whatever that key is.
      {"a character the layout lacks is left out",
       "1\x80"
       "2",
       Join({Tap(0x31, 0x02), Tap(0x32, 0x03)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDesktop desktop;
    SendKeyString(desktop, c.text);
    EXPECT_EQ(desktop.keys, c.expected);
  }
}

TEST(SendKeyString, LeavesHeldKeysDownAndKeepsNoShiftStateBetweenCalls) {
  FakeDesktop desktop;
  SendKeyString(desktop, "\xFA");
  SendKeyString(desktop, "{");
  EXPECT_EQ(desktop.keys, Join({kShiftDown, kShiftDown, Tap(0xDB, 0x1A), kShiftUp}));
}

TEST(SendAKey, SendsJOneBellDelayLaterWithOutOfRangeDelaysClamped) {
  struct Case {
    int32_t BellDelay;
    int64_t waited_ms;
  };
  for (const Case& c : std::vector<Case>{{250, 250}, {65535, 65535}, {-5, 0}, {70000, 65535}}) {
    SCOPED_TRACE(c.BellDelay);
    SendRig r;
    r.state.settings.BellDelay = c.BellDelay;
    SendAKey(r.state, r.desktop, r.console);
    EXPECT_EQ(r.desktop.keys, Tap(0x4A, 0x24, c.waited_ms));
    EXPECT_EQ(r.clock.NowMillis(), c.waited_ms);
    EXPECT_EQ(r.state.settings.BellDelay, c.BellDelay) << "the stored delay is kept";
    EXPECT_EQ(r.raw.transcript, "");
  }
}

// Focus is checked before the delay only: a blow whose delay has begun still sounds.
// Without the target in front (another window or none) a blow sends nothing and
// shows a notice for eight seconds.
TEST(SendAKey, SuspendsWhileTheTargetIsNotInFrontAndResumesWithTheFirstBlowAfter) {
  SendRig r;
  r.state.settings.BellDelay = 200;
  r.console.WriteLn("   ***   counter");
  r.desktop.FocusAt(100, r.other);
  r.desktop.FocusAt(8000, 0);
  r.desktop.FocusAt(9000, r.target);
  for (int blow = 0; blow < 4; ++blow) SendAKey(r.state, r.desktop, r.console);
  EXPECT_EQ(r.desktop.keys, Join({Tap(0x4A, 0x24, 200), Tap(0x4A, 0x24, 16400)}));
  EXPECT_EQ(r.clock.sleeps, (std::vector<uint32_t>{200, 8000, 8000, 200}));
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
    const Keys tap = Tap(0x31 + i, 0x02 + i, 2000 + 300 * i);
    expected.insert(expected.end(), tap.begin(), tap.end());
  }
  EXPECT_EQ(r.desktop.keys, expected);
  EXPECT_EQ(r.clock.sleeps, (std::vector<uint32_t>{2000, 300, 300, 300, 300, 300, 300, 300, 300}));
  EXPECT_EQ(r.raw.Screen(3), "Key send test - a round\nEnding Key send test - a round\n");
  EXPECT_TRUE(r.desktop.activations.empty()) << "no focus handling in the test";
}

TEST(NextWindow, MatchesTheTextAnywhereInTheFirst255CharactersExactly) {
  struct Case {
    const char* name;
    std::string title;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"alone", "Ringing Room", true},
      {"no blank around it", "xRinging Roomx", true},
      {"lower case", "ringing room - Chromium", false},
      {"other inner case", "Ringing room", false},
      {"two blanks", "Ringing  Room", false},
      {"cut short", "Ringing Roo", false},
      {"empty", "", false},
      {"255 characters ending in the text", std::string(243, 'x') + "Ringing Room", true},
      {"text reaching past character 255", std::string(244, 'x') + "Ringing Room", false},
      {"text behind a NUL", std::string("Tab\0Ringing Room", 16), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDesktop d;
    const WindowHandle w = d.AddWindow(c.title);
    RunState s;
    EXPECT_EQ(NextWindow(s, d, w), !c.matches) << "the callback goes on only without a match";
    EXPECT_EQ(s.WindowFound, c.matches);
    EXPECT_EQ(s.WindowTitle, c.matches ? c.title : "");
    EXPECT_EQ(s.SaveWnd, c.matches ? w : 0u);
    const std::vector<std::string> activated = {"SetActiveWindow(0x100)",
                                                "SetForegroundWindow(0x100)"};
    EXPECT_EQ(d.activations, c.matches ? activated : std::vector<std::string>{});
  }
}

TEST(FindTargetWindow, TakesTheFirstMatchAndLooksNoFurther) {
  Rig r;
  r.console.WriteLn("Port opened");
  r.desktop.AddWindow("Terminal");
  const WindowHandle first = r.desktop.AddWindow("Ringing Room - tower one");
  r.desktop.AddWindow("Ringing Room - tower two");
  r.desktop.refuse_foreground = true;  // the window is still the target

  EXPECT_TRUE(FindTargetWindow(r.state, r.desktop, r.console));

  EXPECT_EQ(r.desktop.visited, (std::vector<WindowHandle>{0x100, first}));
  EXPECT_EQ(r.desktop.activations,
            (std::vector<std::string>{"SetActiveWindow(0x101)", "SetForegroundWindow(0x101)"}));
  EXPECT_EQ(r.state.WindowTitle, "Ringing Room - tower one");
  EXPECT_EQ(r.state.SaveWnd, first);
  EXPECT_FALSE(r.state.TerminateProgram);
  EXPECT_EQ(r.raw.clears, 0);
  EXPECT_EQ(r.raw.Screen(3), "Port opened\nTarget window is Ringing Room - tower one\n");
}

TEST(FindTargetWindow, NotFoundSaysWhyWhenItCanAndEndsAfterAnyOneLine) {
  struct Case {
    std::string unavailable;
    std::string typed;
    std::string screen;
  };
  const std::string not_found = "The required target window (Ringing Room) NOT FOUND\n";
  const std::string ending = "Ending program press Q to exit\n";
  const std::string no_display = "No X display could be opened (DISPLAY is \":99\").";
  const std::vector<Case> cases = {
      {"", "", not_found + ending + "\n\n"},
      {"", "anything at all", not_found + ending + "anything at all\n\n"},
      {no_display, "", not_found + no_display + "\n" + ending + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed + c.unavailable);
    Rig r;
    r.desktop.AddWindow("Terminal");
    r.desktop.AddWindow("ringing room");
    r.desktop.unavailable = c.unavailable;
    r.console.WriteLn("Port opened");
    r.raw.TypeLine(c.typed);

    EXPECT_FALSE(FindTargetWindow(r.state, r.desktop, r.console));

    EXPECT_EQ(r.raw.clears, 1);
    EXPECT_EQ(r.raw.Screen(5), c.screen);
    EXPECT_TRUE(r.raw.InputEnded()) << "exactly one line is read";
    EXPECT_TRUE(r.state.TerminateProgram);
    EXPECT_EQ(r.desktop.visited, (std::vector<WindowHandle>{0x100, 0x101}));
  }
}

}  // namespace
}  // namespace strikewell
