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

class WindowSearch : public ::testing::Test {
 protected:
  FakeClock clock;
  FakeRawConsole raw{clock};
  Console console{raw, clock};
  FakeDesktop desktop{&clock};
  RunState state;
};

struct TitleCase {
  const char* name;
  std::string title;
  bool matches;
};

TEST_F(WindowSearch, MatchesTheTextAnywhereInTheFirst255CharactersExactly) {
  const std::vector<TitleCase> cases = {
      {"alone", "Ringing Room", true},
      {"text after", "Ringing Room - Chromium", true},
      {"text before and after", "Tower practice | Ringing Room - Mozilla Firefox", true},
      {"no blank before", "xRinging Roomx", true},
      {"lower case", "ringing room - Chromium", false},
      {"capitals", "RINGING ROOM", false},
      {"other inner case", "Ringing room", false},
      {"two blanks", "Ringing  Room", false},
      {"cut short", "Ringing Roo", false},
      {"empty", "", false},
      {"255 characters ending in the text", std::string(243, 'x') + "Ringing Room", true},
      {"text reaching past character 255", std::string(244, 'x') + "Ringing Room", false},
      {"text behind a NUL", std::string("Tab\0Ringing Room", 16), false},
  };
  for (const TitleCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDesktop d;
    const WindowHandle w = d.AddWindow(c.title);
    RunState s;
    EXPECT_EQ(NextWindow(s, d, w), !c.matches) << "the callback goes on only without a match";
    EXPECT_EQ(s.WindowFound, c.matches);
    if (c.matches) {
      EXPECT_EQ(s.WindowTitle, c.title);
      EXPECT_EQ(s.SaveWnd, w);
      EXPECT_EQ(d.activations,
                (std::vector<std::string>{"SetActiveWindow(0x100)", "SetForegroundWindow(0x100)"}));
    } else {
      EXPECT_EQ(s.WindowTitle, "");
      EXPECT_EQ(s.SaveWnd, 0u);
      EXPECT_TRUE(d.activations.empty());
    }
  }
}

TEST_F(WindowSearch, TakesTheFirstMatchAndLooksNoFurther) {
  console.WriteLn("Port opened");
  desktop.AddWindow("Terminal");
  const WindowHandle first = desktop.AddWindow("Ringing Room - tower one");
  desktop.AddWindow("Ringing Room - tower two");
  desktop.AddWindow("Editor");

  EXPECT_TRUE(FindTargetWindow(state, desktop, console));

  EXPECT_EQ(desktop.visited, (std::vector<WindowHandle>{0x100, first}));
  EXPECT_EQ(desktop.activations,
            (std::vector<std::string>{"SetActiveWindow(0x101)", "SetForegroundWindow(0x101)"}));
  EXPECT_TRUE(state.WindowFound);
  EXPECT_EQ(state.WindowTitle, "Ringing Room - tower one");
  EXPECT_EQ(state.SaveWnd, first);
  EXPECT_FALSE(state.TerminateProgram);
  EXPECT_EQ(raw.clears, 0);
  EXPECT_EQ(raw.Screen(3), "Port opened\nTarget window is Ringing Room - tower one\n");
  EXPECT_EQ(desktop.foreground, first);
}

TEST_F(WindowSearch, CountsAsFoundWhenTheDesktopRefusesTheForeground) {
  desktop.AddWindow("Ringing Room");
  desktop.refuse_foreground = true;

  EXPECT_TRUE(FindTargetWindow(state, desktop, console));
  EXPECT_EQ(state.SaveWnd, 0x100u);
  EXPECT_EQ(desktop.GetForegroundWindow(), 0u);
}

TEST_F(WindowSearch, NotFoundShowsTwoLinesOnAClearedScreenAndEndsAfterAnyLine) {
  for (const char* typed : {"", "Q", "anything at all"}) {
    SCOPED_TRACE(typed);
    FakeClock c;
    FakeRawConsole r{c};
    Console con{r, c};
    FakeDesktop d;
    d.AddWindow("Terminal");
    d.AddWindow("ringing room");
    RunState s;
    con.WriteLn("Port opened");
    con.WriteLn("Settings read");
    r.TypeLine(typed);

    EXPECT_FALSE(FindTargetWindow(s, d, con));

    EXPECT_EQ(r.clears, 1);
    EXPECT_EQ(r.Screen(4), std::string("The required target window (Ringing Room) NOT FOUND\n"
                                       "Ending program press Q to exit\n") +
                               typed + "\n");
    EXPECT_TRUE(r.InputEnded()) << "exactly one line is read";
    EXPECT_TRUE(s.TerminateProgram);
    EXPECT_FALSE(s.WindowFound);
    EXPECT_EQ(s.SaveWnd, 0u);
    EXPECT_EQ(d.visited, (std::vector<WindowHandle>{0x100, 0x101}));
    EXPECT_TRUE(d.activations.empty());
  }
}

TEST_F(WindowSearch, NotFoundWithoutADesktopSaysWhy) {
  desktop.unavailable = "No X display could be opened (DISPLAY is \":99\").";
  raw.TypeLine("");

  EXPECT_FALSE(FindTargetWindow(state, desktop, console));

  EXPECT_EQ(raw.Screen(5),
            "The required target window (Ringing Room) NOT FOUND\n"
            "No X display could be opened (DISPLAY is \":99\").\n"
            "Ending program press Q to exit\n\n");
  EXPECT_TRUE(state.TerminateProgram);
}

}  // namespace
}  // namespace strikewell
