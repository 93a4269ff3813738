// The X11 desktop against a private Xvfb, without a window manager or, with --wm,
// under openbox: the same tests must hold in both worlds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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

// Last: Xlib's macros (None, Bool) would break GoogleTest's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace strikewell {
namespace {

using testing::FakeClock;
using testing::FakeRawConsole;
using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& ready, std::chrono::seconds timeout = 5s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A process that ends with this object, and with the test process even when that
// one is killed outright, so a crashing test leaves no server behind.
class Child {
 public:
  // quiet: output and errors go to /dev/null.
  Child(std::vector<std::string> argv, bool quiet) {
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, STDIN_FILENO);
    if (quiet) {
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
    }
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  // SIGTERM: Xvfb removes its lock file and socket only when it ends cleanly.
  ~Child() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

 private:
  pid_t pid_;
};

// Xvfb on a display it picks itself (other test runs share the machine), and openbox
// on it with a configuration of its own; DISPLAY names it for this process and its
// children.
class XServer {
 public:
  explicit XServer(bool wm) : with_window_manager(wm) {
    int fds[2];
    if (pipe(fds) != 0) return;
    // -noreset: without a manager the server would reset, refusing connections,
    // whenever its last client leaves, as happens between two tests.
    server_ = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                 "1024x768x24", "-nolisten", "tcp", "-noreset"},
        true);
    close(fds[1]);
    // Xvfb writes the number once it listens, and closes the pipe by ending if it fails.
    std::FILE* reported = fdopen(fds[0], "r");
    int number = -1;
    const bool started = std::fscanf(reported, "%d", &number) == 1;
    std::fclose(reported);
    if (!started) {
      error = "Xvfb did not start";
      return;
    }
    const std::string display = ":" + std::to_string(number);
    setenv("DISPLAY", display.c_str(), 1);
    if (!wm) return;
    // openbox announces itself before it manages windows; a window mapped in between
    // stays unmapped. The start-up command runs once it is fully up.
    ready_path_ = "/tmp/strikewell-openbox-ready-" + std::to_string(number);
    std::filesystem::remove(ready_path_);
    wm_ = std::make_unique<Child>(
        std::vector<std::string>{"openbox", "--sm-disable", "--config-file",
                                 "/etc/xdg/openbox/rc.xml", "--startup", "touch " + ready_path_},
        true);
    if (!WaitUntil([&] { return std::filesystem::exists(ready_path_); }, 30s)) {
      error = "openbox did not start on " + display;
    }
  }
  ~XServer() {
    wm_.reset();
    server_.reset();
    if (!ready_path_.empty()) std::filesystem::remove(ready_path_);
  }

  const bool with_window_manager;
  std::string error;  // why the server cannot be used

 private:
  std::string ready_path_;
  std::unique_ptr<Child> server_;
  std::unique_ptr<Child> wm_;
};

XServer* g_server = nullptr;

// A key_logger client: one window with the title, logging what it receives.
class KeyLogger {
 public:
  explicit KeyLogger(const std::string& title)
      : log_path_(MakeLogFile()),
        process_(std::vector<std::string>{STRIKEWELL_KEY_LOGGER, title, log_path_}, false) {}
  ~KeyLogger() { std::filesystem::remove(log_path_); }

  struct Log {
    WindowHandle window = 0;           // the X id, once mapped
    bool focused = false;              // the last focus event was a focus-in
    std::vector<std::string> presses;  // keysym names
    std::vector<long long> press_us;   // CLOCK_MONOTONIC
  };
  Log Read() const {
    Log log;
    std::ifstream in(log_path_);
    for (std::string kind, name; in >> kind;) {
      if (kind == "mapped") in >> std::hex >> log.window >> std::dec;
      if (kind.starts_with("focus-")) log.focused = kind == "focus-in";
      if (kind == "press" && in >> name >> log.press_us.emplace_back()) log.presses.push_back(name);
    }
    return log;
  }

  WindowHandle window = 0;  // once open

 private:
  static std::string MakeLogFile() {
    std::string path = "/tmp/strikewell-keylog-XXXXXX";
    close(mkstemp(path.data()));
    return path;
  }

  std::string log_path_;
  Child process_;
};

// The windows the desktop lists, in its order.
std::vector<WindowHandle> Listed(Desktop& desktop) {
  std::vector<WindowHandle> windows;
  desktop.EnumWindows([&](WindowHandle w) {
    windows.push_back(w);
    return true;
  });
  return windows;
}

bool Lists(Desktop& desktop, WindowHandle window) {
  return std::ranges::count(Listed(desktop), window) == 1;
}

class X11DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(g_server->error, "");
    desktop = MakeDesktop();
    ASSERT_EQ(desktop->Unavailable(), "");
    // Windows of earlier tests leave the server's (and the manager's) lists only a
    // little after their clients have ended, and their ids are then used again.
    ASSERT_TRUE(WaitUntil([&] { return Listed(*desktop).empty(); }));
    own = XOpenDisplay(nullptr);
  }
  void TearDown() override {
    if (own != nullptr) XCloseDisplay(own);  // and with it the windows made on it
  }

  // A window made on a connection of this test's own, to set titles and window states
  // directly. A title property left as nullopt is not set at all.
  WindowHandle Create(const std::optional<std::string>& net_wm_name,
                      const std::optional<std::string>& wm_name, bool map = true) {
    const Window w = XCreateSimpleWindow(own, DefaultRootWindow(own), 0, 0, 100, 50, 0, 0, 0);
    const auto set = [&](const char* property, const char* type, const std::string& text) {
      XChangeProperty(own, w, XInternAtom(own, property, False), XInternAtom(own, type, False), 8,
                      PropModeReplace, reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
    };
    if (net_wm_name) set("_NET_WM_NAME", "UTF8_STRING", *net_wm_name);
    if (wm_name) set("WM_NAME", "STRING", *wm_name);
    if (map) XMapWindow(own, w);
    XSync(own, False);
    return w;
  }

  // Waits until a key logger's window is mapped and listed.
  void Open(KeyLogger& logger) {
    ASSERT_TRUE(WaitUntil([&] { return (logger.window = logger.Read().window) != 0; }, 10s));
    ASSERT_TRUE(WaitUntil([&] { return Lists(*desktop, logger.window); }));
  }

  // Brings a window to the front and waits until it also has the keyboard focus:
  // openbox names the new active window a moment before the server has moved the
  // focus, and keys sent in between go to the window that had it.
  void Front(KeyLogger& logger) {
    desktop->SetForegroundWindow(logger.window);
    ASSERT_TRUE(WaitUntil(
        [&] { return desktop->GetForegroundWindow() == logger.window && logger.Read().focused; }));
  }

  std::unique_ptr<Desktop> desktop;
  Display* own = nullptr;
  FakeClock clock;
  FakeRawConsole raw{clock};
  Console console{raw, clock};
  RunState state;
};

TEST_F(X11DesktopTest, FindsTheTargetTypesIntoItAndSuspendsWhileAnotherWindowIsInFront) {
  KeyLogger target("Ringing Room test");
  KeyLogger decoy("Decoy");
  Open(target);
  Open(decoy);
  Front(decoy);  // so that the search has to move the focus

  ASSERT_TRUE(FindTargetWindow(state, *desktop, console));

  EXPECT_EQ(state.SaveWnd, target.window);
  EXPECT_EQ(raw.Row(1), "Target window is Ringing Room test");
  ASSERT_TRUE(WaitUntil(
      [&] { return desktop->GetForegroundWindow() == target.window && target.Read().focused; }));
  KeySendTest(*desktop, console);
  SendAKey(state, *desktop, console);
  // '{' needs the layout's Shift; "A" is the A key without Shift.
  SendKeyString(*desktop, "{A");

  Front(decoy);
  SendAKey(state, *desktop, console);
  EXPECT_EQ(raw.Row(1), "Ringing Room is not the focus window - Key sending suspended");
  Front(target);
  SendAKey(state, *desktop, console);

  const std::vector<std::string> expected = {"1", "2", "3",       "4",         "5", "6", "7",
                                             "8", "j", "Shift_L", "braceleft", "a", "j"};
  EXPECT_TRUE(WaitUntil([&] { return target.Read().presses.size() >= expected.size(); }));
  EXPECT_EQ(target.Read().presses, expected);
  EXPECT_TRUE(decoy.Read().presses.empty()) << "no key while suspended";
}

TEST_F(X11DesktopTest, ReadsTitlesAsEightBitText) {
  struct Case {
    const char* name;
    std::optional<std::string> net_wm_name;
    std::optional<std::string> wm_name;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"UTF-8 to Windows-1252", "Tower \u2013 caf\u00e9 \u2713", std::nullopt,
       "Tower \x96 caf\xe9 ?"},
      {"_NET_WM_NAME before WM_NAME", "From _NET_WM_NAME", "From WM_NAME", "From _NET_WM_NAME"},
      {"WM_NAME in Latin-1", std::nullopt, "Caf\xe9 from WM_NAME", "Caf\xe9 from WM_NAME"},
      {"broken UTF-8", "Bad \xff\xc3 bytes", std::nullopt, "Bad ?? bytes"},
      {"cut to 255", std::string(300, 'x'), std::nullopt, std::string(255, 'x')},
      {"untitled", std::nullopt, std::nullopt, ""},
  };
  std::vector<WindowHandle> windows;
  for (const Case& c : cases) windows.push_back(Create(c.net_wm_name, c.wm_name));
  ASSERT_TRUE(WaitUntil([&] { return Lists(*desktop, windows.back()); }));

  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(desktop->GetWindowText(windows[i]), cases[i].expected);
  }
  EXPECT_EQ(desktop->GetWindowText(0x7FFFFFF), "") << "a window that does not exist";
}

TEST_F(X11DesktopTest, HiddenTargetCountsAndIsBroughtToTheFront) {
  // A manager lists only the windows it manages, a minimised one among them.
  const bool wm = g_server->with_window_manager;
  const WindowHandle hidden = Create("Ringing Room hidden", std::nullopt, wm);
  if (wm) {
    ASSERT_TRUE(WaitUntil([&] { return Lists(*desktop, hidden); }));
    XIconifyWindow(own, hidden, DefaultScreen(own));
    XSync(own, False);
    ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() != hidden; }));
  }

  ASSERT_TRUE(FindTargetWindow(state, *desktop, console));

  EXPECT_EQ(state.SaveWnd, hidden);
  EXPECT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == hidden; }));
}

// Browsers open and close short-lived windows all the time: X errors about windows
// that have gone must not end the program.
TEST_F(X11DesktopTest, WindowsVanishingDuringTheSearchDoNotEndTheProgram) {
  std::vector<WindowHandle> windows;
  for (int i = 0; i < 3; ++i) windows.push_back(Create("Vanishing", "Vanishing"));
  ASSERT_TRUE(WaitUntil([&] { return Lists(*desktop, windows.back()); }));

  std::vector<std::string> titles;
  desktop->EnumWindows([&](WindowHandle w) {
    if (titles.empty()) {
      for (WindowHandle own_window : windows) XDestroyWindow(own, own_window);
      XSync(own, False);
    }
    titles.push_back(desktop->GetWindowText(w));
    desktop->SetActiveWindow(w);
    return true;
  });

  EXPECT_EQ(titles, std::vector<std::string>(3, ""));
  const WindowHandle later = Create("Opened afterwards", std::nullopt);
  EXPECT_TRUE(WaitUntil([&] { return Lists(*desktop, later); })) << "the connection still works";
}

TEST_F(X11DesktopTest, KeyboardLayoutAnswersLikeWindowsOnAUsKeyboard) {
  const std::vector<std::pair<char, int16_t>> vk_and_shift = {
      {'j', 0x4A},  {'J', 0x14A}, {'!', 0x131}, {'[', 0xDB},
      {'{', 0x1DB}, {' ', 0x20},  {'\xe9', -1}};
  for (const auto& [ch, expected] : vk_and_shift) {
    SCOPED_TRACE(ch);
    EXPECT_EQ(desktop->VkKeyScan(ch), expected);
  }
  // Key code - 8 is the set-1 scan code; a key the map lacks has none.
  EXPECT_EQ(desktop->MapVirtualKey(0x4A), 0x24u);
  EXPECT_EQ(desktop->MapVirtualKey(0x10), 0x2Au);
  EXPECT_EQ(desktop->MapVirtualKey(0x11), 0x1Du);
  EXPECT_EQ(desktop->MapVirtualKey(0x07), 0u);
}

// Prints figures only: how long a key takes from KeybdEvent to the client's KeyPress.
TEST_F(X11DesktopTest, KeyDeliveryLatencyBenchmark) {
  KeyLogger target("Ringing Room bench");
  Open(target);
  Front(target);
  std::vector<double> latencies_ms;
  for (size_t i = 0; i < 200; ++i) {
    // steady_clock is CLOCK_MONOTONIC, the log's clock.
    const auto sent =
        std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::steady_clock::now());
    desktop->KeybdEvent(0x4A, 0x24, 0);
    KeyLogger::Log log;
    ASSERT_TRUE(WaitUntil([&] { return (log = target.Read()).presses.size() > i; })) << i;
    desktop->KeybdEvent(0x4A, 0x24, KEYEVENTF_KEYUP_FLAG);
    latencies_ms.push_back((log.press_us[i] - sent.time_since_epoch().count()) / 1000.0);
  }
  std::ranges::sort(latencies_ms);
  std::printf("Key delivery %s, 200 keys: median %.3f ms, 90th percentile %.3f ms, worst %.3f ms\n",
              g_server->with_window_manager ? "with openbox" : "without a window manager",
              latencies_ms[100], latencies_ms[180], latencies_ms.back());
}

// No server reachable: nothing is listed, and the desktop says why.
TEST(X11DesktopWithoutDisplay, ListsNothingAndSaysWhy) {
  const std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  int missing = 4000;
  while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(missing))) ++missing;
  const std::string name = ":" + std::to_string(missing);
  setenv("DISPLAY", name.c_str(), 1);
  auto desktop = MakeDesktop();
  unsetenv("DISPLAY");
  EXPECT_EQ(MakeDesktop()->Unavailable(), "No X display could be opened (DISPLAY is not set).");
  setenv("DISPLAY", saved.c_str(), 1);

  EXPECT_EQ(desktop->Unavailable(), "No X display could be opened (DISPLAY is \"" + name + "\").");
  EXPECT_TRUE(Listed(*desktop).empty());
  EXPECT_EQ(desktop->GetForegroundWindow(), 0u);
  EXPECT_EQ(desktop->VkKeyScan('j'), -1);
  desktop->KeybdEvent(0x4A, 0x24, 0);  // must not crash
}

}  // namespace
}  // namespace strikewell

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  strikewell::XServer server(argc > 1 && std::strcmp(argv[1], "--wm") == 0);
  strikewell::g_server = &server;
  return RUN_ALL_TESTS();
}
