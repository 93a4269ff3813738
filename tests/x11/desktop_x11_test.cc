// The X11 desktop against a real X server (a private Xvfb), without a window manager
// or, with --wm, under openbox: the same tests must hold in both worlds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_clock.h"
#include "fake_console.h"
#include "platform/backends.h"
#include "run/run_state.h"
#include "target/target.h"
#include "x_session.h"

namespace strikewell {
namespace {

using testing::FakeClock;
using testing::FakeRawConsole;
using xtest::KeyLoggerWindow;
using xtest::OwnWindows;
using xtest::UniqueTitle;
using xtest::WaitUntil;

xtest::XServer* g_server = nullptr;

bool Lists(Desktop& desktop, WindowHandle window) {
  bool seen = false;
  desktop.EnumWindows([&](WindowHandle w) {
    seen = w == window;
    return !seen;
  });
  return seen;
}

bool ListsNothing(Desktop& desktop) {
  bool any = false;
  desktop.EnumWindows([&](WindowHandle) {
    any = true;
    return false;
  });
  return !any;
}

class X11DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_server != nullptr && g_server->ok()) << g_server->error();
    desktop = MakeDesktop();
    ASSERT_EQ(desktop->Unavailable(), "");
    // Windows of earlier tests leave the server's (and the manager's) lists only a
    // little after their clients have ended, and their ids are then used again.
    ASSERT_TRUE(WaitUntil([&] { return ListsNothing(*desktop); }));
  }

  std::unique_ptr<Desktop> desktop;
  FakeClock clock;
  FakeRawConsole raw{clock};
  Console console{raw, clock};
  RunState state;
};

TEST_F(X11DesktopTest, FindsActivatesAndTypesIntoTheTargetWindow) {
  KeyLoggerWindow target(UniqueTitle("Ringing Room test"));
  ASSERT_TRUE(target.WaitMapped());
  KeyLoggerWindow decoy(UniqueTitle("Decoy"));
  ASSERT_TRUE(decoy.WaitMapped());
  ASSERT_TRUE(WaitUntil(
      [&] { return Lists(*desktop, target.Window()) && Lists(*desktop, decoy.Window()); }));
  // The decoy in front first, so that the search has to move the focus.
  desktop->SetForegroundWindow(decoy.Window());
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == decoy.Window(); }));
  ASSERT_TRUE(WaitUntil([&] { return decoy.HasFocus(); }));

  ASSERT_TRUE(FindTargetWindow(state, *desktop, console));

  EXPECT_EQ(state.SaveWnd, target.Window());
  EXPECT_EQ(state.WindowTitle, target.title());
  EXPECT_EQ(raw.Row(1), "Target window is " + target.title());
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == state.SaveWnd; }));
  // openbox names the new active window a moment before the server has moved the
  // focus; keys sent in between go to the window that had it.
  ASSERT_TRUE(WaitUntil([&] { return target.HasFocus(); }));

  KeySendTest(*desktop, console);
  SendAKey(state, *desktop, console);
  // '{' needs the layout's Shift; "A" is the A key without Shift.
  SendKeyString(*desktop, "{A");

  const std::vector<std::string> expected = {"1", "2", "3", "4",       "5",         "6",
                                             "7", "8", "j", "Shift_L", "braceleft", "a"};
  EXPECT_TRUE(WaitUntil([&] { return target.Presses().size() >= expected.size(); }));
  EXPECT_EQ(target.Presses(), expected);
  EXPECT_TRUE(decoy.Presses().empty());
}

TEST_F(X11DesktopTest, AnotherWindowInFrontSuspendsSendingUntilTheTargetIsBack) {
  KeyLoggerWindow target(UniqueTitle("Ringing Room test"));
  ASSERT_TRUE(target.WaitMapped());
  KeyLoggerWindow other(UniqueTitle("Editor"));
  ASSERT_TRUE(other.WaitMapped());
  ASSERT_TRUE(WaitUntil(
      [&] { return Lists(*desktop, target.Window()) && Lists(*desktop, other.Window()); }));
  ASSERT_TRUE(FindTargetWindow(state, *desktop, console));
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == state.SaveWnd; }));

  desktop->SetForegroundWindow(other.Window());
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == other.Window(); }));
  ASSERT_TRUE(WaitUntil([&] { return other.HasFocus() && !target.HasFocus(); }));
  SendAKey(state, *desktop, console);

  EXPECT_EQ(raw.Row(1), "Ringing Room is not the focus window - Key sending suspended");
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{8000}));

  desktop->SetForegroundWindow(target.Window());
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == state.SaveWnd; }));
  ASSERT_TRUE(WaitUntil([&] { return target.HasFocus(); }));
  SendAKey(state, *desktop, console);

  EXPECT_TRUE(WaitUntil([&] { return !target.Presses().empty(); }));
  EXPECT_EQ(target.Presses(), (std::vector<std::string>{"j"}));
  EXPECT_TRUE(other.Presses().empty()) << "no key while suspended";
}

TEST_F(X11DesktopTest, ReadsTitlesAsEightBitText) {
  struct TitleCase {
    const char* name;
    std::optional<std::string> net_wm_name;
    std::optional<std::string> wm_name;
    std::string expected;
  };
  const std::vector<TitleCase> cases = {
      {"UTF-8 to Windows-1252", "Tower \u2013 caf\u00e9 \u2713", std::nullopt,
       "Tower \x96 caf\xe9 ?"},
      {"_NET_WM_NAME before WM_NAME", "From _NET_WM_NAME", "From WM_NAME", "From _NET_WM_NAME"},
      {"WM_NAME in Latin-1", std::nullopt, "Caf\xe9 from WM_NAME", "Caf\xe9 from WM_NAME"},
      {"broken UTF-8", "Bad \xff\xc3 bytes", std::nullopt, "Bad ?? bytes"},
      {"cut to 255", std::string(300, 'x'), std::nullopt, std::string(255, 'x')},
      {"untitled", std::nullopt, std::nullopt, ""},
  };
  OwnWindows own;
  ASSERT_TRUE(own.ok());
  std::vector<unsigned long> windows;
  for (const TitleCase& c : cases) windows.push_back(own.Create(c.net_wm_name, c.wm_name));
  ASSERT_TRUE(WaitUntil([&] { return Lists(*desktop, windows.back()); }));

  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(desktop->GetWindowText(windows[i]), cases[i].expected);
  }
  EXPECT_EQ(desktop->GetWindowText(0x7FFFFFF), "") << "a window that does not exist";
}

TEST_F(X11DesktopTest, HiddenTargetCountsAndIsBroughtToTheFront) {
  OwnWindows own;
  ASSERT_TRUE(own.ok());
  const std::string title = UniqueTitle("Ringing Room hidden");
  unsigned long hidden = 0;
  if (g_server->with_window_manager()) {
    // A manager lists only managed windows: a minimised one stays on its list.
    hidden = own.Create(title, std::nullopt);
    ASSERT_TRUE(WaitUntil([&] { return Lists(*desktop, hidden); }));
    own.Iconify(hidden);
    ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() != hidden; }));
  } else {
    hidden = own.Create(title, std::nullopt, /*map=*/false);
  }

  ASSERT_TRUE(FindTargetWindow(state, *desktop, console));

  EXPECT_EQ(state.SaveWnd, hidden);
  EXPECT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == hidden; }));
}

TEST_F(X11DesktopTest, WindowsVanishingDuringTheSearchDoNotEndTheProgram) {
  OwnWindows own;
  ASSERT_TRUE(own.ok());
  std::vector<unsigned long> windows;
  for (int i = 0; i < 3; ++i) windows.push_back(own.Create(UniqueTitle("Vanishing"), "Vanishing"));
  ASSERT_TRUE(WaitUntil([&] { return Lists(*desktop, windows.back()); }));

  std::vector<std::string> titles_after_destruction;
  bool destroyed = false;
  desktop->EnumWindows([&](WindowHandle w) {
    if (!destroyed) {
      for (unsigned long own_window : windows) own.Destroy(own_window);
      destroyed = true;
    }
    for (unsigned long own_window : windows) {
      if (own_window == w) titles_after_destruction.push_back(desktop->GetWindowText(w));
    }
    desktop->SetActiveWindow(w);
    return true;
  });

  EXPECT_TRUE(destroyed);
  EXPECT_EQ(titles_after_destruction.size(), windows.size());
  for (const std::string& t : titles_after_destruction) EXPECT_EQ(t, "");
  const unsigned long later = own.Create("Opened afterwards", std::nullopt);
  EXPECT_TRUE(WaitUntil([&] { return Lists(*desktop, later); })) << "the connection still works";
}

TEST_F(X11DesktopTest, KeyboardLayoutAnswersLikeWindowsOnAUsKeyboard) {
  struct ScanCase {
    char ch;
    int16_t vk_and_shift;
  };
  for (const ScanCase& c : std::vector<ScanCase>{{'j', 0x4A},
                                                 {'J', 0x14A},
                                                 {'1', 0x31},
                                                 {'!', 0x131},
                                                 {'{', 0x1DB},
                                                 {'[', 0xDB},
                                                 {' ', 0x20},
                                                 {'\'', 0xDE},
                                                 {'~', 0x1C0},
                                                 {'\xe9', -1}}) {
    SCOPED_TRACE(c.ch);
    EXPECT_EQ(desktop->VkKeyScan(c.ch), c.vk_and_shift);
  }
  struct MapCase {
    uint32_t vk;
    uint32_t scan;
  };
  for (const MapCase& c : std::vector<MapCase>{
           {0x4A, 0x24}, {0x10, 0x2A}, {0x11, 0x1D}, {0x31, 0x02}, {0x1B, 0x01}, {0x07, 0}}) {
    SCOPED_TRACE(c.vk);
    EXPECT_EQ(desktop->MapVirtualKey(c.vk), c.scan);
  }
}

// No server reachable: the search finds nothing and says why.
TEST(X11DesktopWithoutDisplay, FindsNothingAndSaysWhy) {
  const std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  int missing = 4000;
  while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(missing))) ++missing;
  const std::string name = ":" + std::to_string(missing);
  setenv("DISPLAY", name.c_str(), 1);
  auto desktop = MakeDesktop();
  unsetenv("DISPLAY");
  auto desktop_unset = MakeDesktop();
  setenv("DISPLAY", saved.c_str(), 1);

  EXPECT_EQ(desktop->Unavailable(), "No X display could be opened (DISPLAY is \"" + name + "\").");
  EXPECT_EQ(desktop_unset->Unavailable(), "No X display could be opened (DISPLAY is not set).");
  int visited = 0;
  desktop->EnumWindows([&](WindowHandle) {
    ++visited;
    return true;
  });
  EXPECT_EQ(visited, 0);
  EXPECT_EQ(desktop->GetForegroundWindow(), 0u);
  EXPECT_EQ(desktop->VkKeyScan('j'), -1);
  desktop->KeybdEvent(0x4A, 0x24, 0);

  FakeClock clock;
  FakeRawConsole raw{clock};
  Console console{raw, clock};
  RunState state;
  raw.TypeLine("");
  EXPECT_FALSE(FindTargetWindow(state, *desktop, console));
  EXPECT_EQ(raw.Row(2), desktop->Unavailable());
}

}  // namespace
}  // namespace strikewell

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  bool with_window_manager = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--wm") == 0) with_window_manager = true;
  }
  strikewell::xtest::XServer server(with_window_manager);
  strikewell::g_server = &server;
  return RUN_ALL_TESTS();
}
