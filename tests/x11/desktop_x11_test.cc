// The X11 desktop against a private Xvfb, without a window manager or, with --wm,
// under openbox: the same tests must hold in both worlds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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

#include "desktop_contract.h"
#include "fake_clock.h"
#include "fake_console.h"
#include "platform/backends.h"
#include "target/bell_keys.h"
#include "target/target.h"

// Last: Xlib's macros (None, Bool) would break GoogleTest's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace strikewell {
namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& ready, std::chrono::seconds timeout = 5s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A quiet process that ends with this object (SIGTERM: Xvfb removes its lock file and
// socket only then), and with the test process even when that one is killed outright.
class Child {
 public:
  explicit Child(std::vector<std::string> argv) {
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int null_fd = open("/dev/null", O_RDWR);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null_fd, fd);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
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

bool g_with_window_manager = false;

std::string TempFile() {
  std::string path = "/tmp/strikewell-x11-XXXXXX";
  close(mkstemp(path.data()));
  return path;
}

// A key_logger client: one window with the title, logging what it receives.
class KeyLogger {
 public:
  explicit KeyLogger(const std::string& title)
      : log_path_(TempFile()), process_({STRIKEWELL_KEY_LOGGER, title, log_path_}) {}
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
    desktop = MakeDesktop();
    ASSERT_EQ(desktop->Unavailable(), "");
    // Windows of earlier tests leave the lists a little after their clients have
    // ended, and their ids are then used again.
    ASSERT_TRUE(WaitUntil([&] { return Listed(*desktop).empty(); }));
    own = XOpenDisplay(nullptr);
  }
  void TearDown() override {
    if (own != nullptr) XCloseDisplay(own);  // and with it the windows made on it
  }

  // A window on this test's own connection; a title left as nullopt is not set.
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

  // With the keyboard focus too: openbox names the new active window a moment before
  // the server has moved the focus, and keys sent in between go astray.
  bool InFront(KeyLogger& logger) {
    return WaitUntil(
        [&] { return desktop->GetForegroundWindow() == logger.window && logger.Read().focused; });
  }
  void Front(KeyLogger& logger) {
    desktop->SetForegroundWindow(logger.window);
    ASSERT_TRUE(InFront(logger));
  }

  std::unique_ptr<Desktop> desktop;
  Display* own = nullptr;
  testing::FakeClock clock;
  testing::FakeRawConsole raw{clock};
  Console console{raw, clock};
  TargetWindow state;
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
  ASSERT_TRUE(InFront(target));
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

TEST_F(X11DesktopTest, ReadsTitlesAsEightBitTextAndSurvivesWindowsVanishingMidSearch) {
  struct Case {
    std::optional<std::string> net_wm_name, wm_name;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"Tower \u2013 caf\u00e9 \u2713", std::nullopt, "Tower \x96 caf\xe9 ?"},  // Windows-1252
      {"From _NET_WM_NAME", "From WM_NAME", "From _NET_WM_NAME"},
      {std::nullopt, "Caf\xe9 from WM_NAME", "Caf\xe9 from WM_NAME"},  // Latin-1
      {"Bad \xff\xc3 bytes", std::nullopt, "Bad ?? bytes"},
      {std::string(300, 'x'), std::nullopt, std::string(255, 'x')},
      {std::nullopt, std::nullopt, ""},
  };
  std::vector<WindowHandle> windows;
  for (const Case& c : cases) windows.push_back(Create(c.net_wm_name, c.wm_name));
  ASSERT_TRUE(WaitUntil([&] { return Lists(*desktop, windows.back()); }));

  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(desktop->GetWindowText(windows[i]), cases[i].expected) << "case " << i;
  }
  EXPECT_EQ(desktop->GetWindowText(0x7FFFFFF), "") << "a window that does not exist";

  // Browsers open and close short-lived windows all the time: X errors about windows
  // that have gone must not end the program.
  std::vector<std::string> titles;
  desktop->EnumWindows([&](WindowHandle w) {
    if (titles.empty()) {
      for (WindowHandle window : windows) XDestroyWindow(own, window);
      XSync(own, False);
    }
    titles.push_back(desktop->GetWindowText(w));
    desktop->SetActiveWindow(w);
    return true;
  });
  EXPECT_EQ(titles, std::vector<std::string>(cases.size(), ""));
  const WindowHandle later = Create("Opened afterwards", std::nullopt);
  EXPECT_TRUE(WaitUntil([&] { return Lists(*desktop, later); })) << "the connection still works";
}

TEST_F(X11DesktopTest, HiddenTargetCountsAndIsBroughtToTheFront) {
  // A manager lists only the windows it manages, a minimised one among them.
  const WindowHandle hidden = Create("Ringing Room hidden", std::nullopt, g_with_window_manager);
  if (g_with_window_manager) {
    ASSERT_TRUE(WaitUntil([&] { return Lists(*desktop, hidden); }));
    XIconifyWindow(own, hidden, DefaultScreen(own));
    XSync(own, False);
    ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() != hidden; }));
  }

  ASSERT_TRUE(FindTargetWindow(state, *desktop, console));

  EXPECT_EQ(state.SaveWnd, hidden);
  EXPECT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == hidden; }));
}

// A window manager updates its active-window hint a moment after the fact: asked to
// activate a window whose client has just ended, openbox names it active before it
// has noticed the end. A window that no longer exists is in front of nobody; the
// keyboard focus, which stayed where it was, tells which window is.
TEST_F(X11DesktopTest, ActiveWindowHintNamingAClosedWindowGivesWayToTheKeyboardFocus) {
  KeyLogger target("Ringing Room stale hint");
  Open(target);
  Front(target);
  const WindowHandle gone = Create("Gone", std::nullopt);
  XDestroyWindow(own, gone);
  XSync(own, False);

  const Atom active = XInternAtom(own, "_NET_ACTIVE_WINDOW", False);
  const long hint[] = {static_cast<long>(gone)};
  XChangeProperty(own, DefaultRootWindow(own), active, XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(hint), 1);
  XSync(own, False);

  EXPECT_FALSE(desktop->IsWindow(gone));
  EXPECT_EQ(desktop->GetForegroundWindow(), target.window);
}

// The keys that ring several bells, "-" and "=" among them, reach the window as the
// keys that type them.
TEST_F(X11DesktopTest, TypesTheKeyOfEveryBellIntoTheTarget) {
  KeyLogger target("Ringing Room bells");
  Open(target);
  Front(target);
  for (const char key : std::string("1234567890-=qwerfj")) SendBellKey(*desktop, key);
  const std::vector<std::string> expected = {"1", "2",     "3",     "4", "5", "6", "7", "8", "9",
                                             "0", "minus", "equal", "q", "w", "e", "r", "f", "j"};
  EXPECT_TRUE(WaitUntil([&] { return target.Read().presses.size() >= expected.size(); }));
  EXPECT_EQ(target.Read().presses, expected);
}

TEST_F(X11DesktopTest, KeyboardLayoutAnswersLikeWindowsOnAUsKeyboard) {
  const std::pair<char, int16_t> vk_and_shift[] = {{'j', 0x4A}, {'J', 0x14A}, {'!', 0x131},
                                                   {'[', 0xDB}, {'{', 0x1DB}, {' ', 0x20},
                                                   {'\xe9', -1}};
  for (const auto& [ch, expected] : vk_and_shift) EXPECT_EQ(desktop->VkKeyScan(ch), expected) << ch;
  // Key code - 8 is the set-1 scan code; a key the map lacks has none.
  const std::pair<uint32_t, uint32_t> vk_and_scan[] = {
      {0x4A, 0x24}, {0x10, 0x2A}, {0x11, 0x1D}, {7, 0}};
  for (const auto& [vk, scan] : vk_and_scan) EXPECT_EQ(desktop->MapVirtualKey(vk), scan) << vk;
}

// Prints figures only: how long a key takes from KeybdEvent to the client's KeyPress.
TEST_F(X11DesktopTest, KeyDeliveryLatencyBenchmark) {
  KeyLogger target("Ringing Room bench");
  Open(target);
  Front(target);
  std::vector<double> latencies_ms;
  for (size_t i = 0; i < 200; ++i) {
    // steady_clock is CLOCK_MONOTONIC, the log's clock.
    const auto sent = std::chrono::steady_clock::now().time_since_epoch();
    desktop->KeybdEvent(0x4A, 0x24, 0);
    KeyLogger::Log log;
    ASSERT_TRUE(WaitUntil([&] { return (log = target.Read()).presses.size() > i; })) << i;
    desktop->KeybdEvent(0x4A, 0x24, KEYEVENTF_KEYUP_FLAG);
    latencies_ms.push_back(
        (log.press_us[i] - std::chrono::duration_cast<std::chrono::microseconds>(sent).count()) /
        1000.0);
  }
  std::ranges::sort(latencies_ms);
  std::printf("Key delivery %s, 200 keys: median %.3f ms, 90th percentile %.3f ms, worst %.3f ms\n",
              g_with_window_manager ? "with openbox" : "without a window manager",
              latencies_ms[100], latencies_ms[180], latencies_ms.back());
}

// No server reachable: nothing is listed, and the desktop says why.
TEST(X11DesktopWithoutDisplay, ListsNothingAndSaysWhy) {
  const std::string saved = std::getenv("DISPLAY");  // set by main()
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

// The desktop contract over X11: other programs' windows are key_logger clients, and
// another program bringing a window forward is a second connection doing so.
class X11DesktopRig : public contract::DesktopRig {
 public:
  X11DesktopRig() {
    // Ids of an earlier test's windows come back for new ones once they are gone.
    WaitUntil([&] { return Listed(*desktop_).empty(); });
  }

  Desktop& desktop() override { return *desktop_; }

  WindowHandle OpenWindow(const std::string& title) override {
    auto& logger = loggers_.emplace_back(std::make_unique<KeyLogger>(title));
    if (!WaitUntil([&] { return (logger->window = logger->Read().window) != 0; }, 10s) ||
        !WaitUntil([&] { return Lists(*desktop_, logger->window); })) {
      return 0;
    }
    // openbox gives a new window the focus, and names it active, a moment after
    // listing it: until both have happened the newcomer can take the focus back
    // from a window that a case has just brought forward.
    if (g_with_window_manager && !WaitUntil([&] {
          return logger->Read().focused && desktop_->GetForegroundWindow() == logger->window;
        })) {
      return 0;
    }
    return logger->window;
  }

  // The client ends, and the server destroys its windows with its connection.
  void CloseWindow(WindowHandle window) override {
    std::erase_if(loggers_, [&](const auto& logger) { return logger->window == window; });
  }

  // The server hands a departed client's ids to the next client, but when is up to
  // it; another client retitling the window is the same to the desktop, and sure.
  bool GiveIdToAnotherWindow(WindowHandle window, const std::string& title) override {
    Display* other = XOpenDisplay(nullptr);
    if (other == nullptr || Logger(window) == nullptr) return false;
    XStoreName(other, window, title.c_str());
    XChangeProperty(other, window, XInternAtom(other, "_NET_WM_NAME", False),
                    XInternAtom(other, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()),
                    static_cast<int>(title.size()));
    XSync(other, False);
    XCloseDisplay(other);
    return true;
  }

  void BringToFront(WindowHandle window) override { other_program_->SetForegroundWindow(window); }

  bool TakesKeys(WindowHandle window) override {
    const KeyLogger* logger = Logger(window);
    return logger != nullptr && logger->Read().focused;
  }

  // key_logger names keysyms; letters and digits are their keys' virtual keys.
  std::vector<uint8_t> KeysReceived(WindowHandle window) override {
    std::vector<uint8_t> keys;
    const KeyLogger* logger = Logger(window);
    if (logger == nullptr) return keys;
    for (const std::string& name : logger->Read().presses) {
      const bool letter_or_digit =
          name.size() == 1 && std::isalnum(static_cast<unsigned char>(name[0]));
      keys.push_back(letter_or_digit ? static_cast<uint8_t>(std::toupper(name[0])) : 0);
    }
    return keys;
  }

  bool Eventually(const std::function<bool()>& condition) override { return WaitUntil(condition); }

  bool Consistently(const std::function<bool()>& condition) override {
    const auto end = std::chrono::steady_clock::now() + 300ms;
    while (std::chrono::steady_clock::now() < end) {
      if (!condition()) return false;
      std::this_thread::sleep_for(10ms);
    }
    return condition();
  }

 private:
  const KeyLogger* Logger(WindowHandle window) const {
    for (const auto& logger : loggers_) {
      if (logger->window == window) return logger.get();
    }
    return nullptr;
  }

  // In this order: each desktop puts back the X error handler it found when it ends.
  std::unique_ptr<Desktop> desktop_ = MakeDesktop();
  std::unique_ptr<Desktop> other_program_ = MakeDesktop();
  std::vector<std::unique_ptr<KeyLogger>> loggers_;
};

using contract::DesktopContract;

std::unique_ptr<contract::DesktopRig> MakeX11Rig() { return std::make_unique<X11DesktopRig>(); }

INSTANTIATE_TEST_SUITE_P(X11, DesktopContract,
                         ::testing::Values(contract::DesktopBackend{"X11", MakeX11Rig}),
                         contract::DesktopBackendName);

}  // namespace
}  // namespace strikewell

// Xvfb on a display it picks itself (other test runs share the machine) and, with
// --wm, openbox on it; DISPLAY names it for the tests and their children.
int main(int argc, char** argv) {
  using strikewell::Child;
  using namespace std::chrono_literals;
  ::testing::InitGoogleTest(&argc, argv);
  int fds[2];
  if (pipe(fds) != 0) return 1;
  // -noreset: without a manager the server would reset, refusing connections,
  // whenever its last client leaves, as happens between two tests.
  Child server({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24",
                "-nolisten", "tcp", "-noreset"});
  close(fds[1]);
  // Xvfb writes the number once it listens, and closes the pipe by ending if it fails.
  std::FILE* reported = fdopen(fds[0], "r");
  int number = -1;
  const bool started = std::fscanf(reported, "%d", &number) == 1;
  std::fclose(reported);
  if (!started) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  setenv("DISPLAY", (":" + std::to_string(number)).c_str(), 1);
  // openbox announces itself before it manages windows, and a window mapped in
  // between stays unmapped; its start-up command runs once it is fully up.
  const std::string ready = strikewell::TempFile();
  std::filesystem::remove(ready);
  std::optional<Child> window_manager;
  strikewell::g_with_window_manager = argc > 1 && std::strcmp(argv[1], "--wm") == 0;
  if (strikewell::g_with_window_manager) {
    window_manager.emplace(std::vector<std::string>{"openbox", "--sm-disable", "--config-file",
                                                    "/etc/xdg/openbox/rc.xml", "--startup",
                                                    "touch " + ready});
    if (!strikewell::WaitUntil([&] { return std::filesystem::exists(ready); }, 30s)) {
      std::fprintf(stderr, "openbox did not start\n");
      return 1;
    }
  }
  const int status = RUN_ALL_TESTS();
  std::filesystem::remove(ready);
  return status;
}
