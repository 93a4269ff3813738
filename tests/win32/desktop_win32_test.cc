// The Windows desktop backend against a real window manager: Wine's, drawing on a
// private X server. key_window.exe (beside this program) is the target window.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_clock.h"
#include "fake_console.h"
#include "platform/backends.h"
#include "run/run_state.h"
#include "target/target.h"

namespace strikewell {
namespace {

using testing::FakeClock;
using testing::FakeRawConsole;

bool WaitUntil(const std::function<bool()>& ready, int timeout_ms = 20000) {
  for (int waited = 0;; waited += 10) {
    if (ready()) return true;
    if (waited >= timeout_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string Beside(const char* name) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string dir(path, length);
  return dir.substr(0, dir.find_last_of("\\/") + 1) + name;
}

// A key_window.exe process and its log; ended with the object.
class KeyWindow {
 public:
  explicit KeyWindow(const std::string& title) : title_(title) {
    char dir[MAX_PATH];
    char file[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "kw", 0, file);
    log_path_ = file;
    std::string command =
        "\"" + Beside("key_window.exe") + "\" \"" + title + "\" \"" + log_path_ + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &process_) != 0;
  }
  ~KeyWindow() {
    if (started_) {
      TerminateProcess(process_.hProcess, 0);
      WaitForSingleObject(process_.hProcess, 5000);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    DeleteFileA(log_path_.c_str());
  }
  KeyWindow(const KeyWindow&) = delete;
  KeyWindow& operator=(const KeyWindow&) = delete;

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::ifstream in(log_path_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Every WM_KEYDOWN as "0x4A".
  std::vector<std::string> KeyDowns() const {
    std::vector<std::string> keys;
    for (const std::string& line : Lines()) {
      if (line.rfind("keydown ", 0) == 0) keys.push_back(line.substr(8, 4));
    }
    return keys;
  }
  WindowHandle Handle() const {
    for (const std::string& line : Lines()) {
      if (line.rfind("created ", 0) == 0) return std::stoull(line.substr(8), nullptr, 16);
    }
    return 0;
  }
  bool WaitCreated() {
    return started_ && WaitUntil([this] { return Handle() != 0; });
  }
  const std::string& title() const { return title_; }

 private:
  std::string title_;
  std::string log_path_;
  PROCESS_INFORMATION process_{};
  bool started_ = false;
};

std::string UniqueTitle(const std::string& prefix) {
  static int serial = 0;
  return prefix + " " + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
}

class Win32DesktopTest : public ::testing::Test {
 protected:
  std::unique_ptr<Desktop> desktop = MakeDesktop();
  FakeClock clock;
  FakeRawConsole raw{clock};
  Console console{raw, clock};
  RunState state;
};

TEST_F(Win32DesktopTest, FindsTheWindowBringsItToTheFrontAndTypesIntoIt) {
  KeyWindow target(UniqueTitle("Ringing Room wine test"));
  ASSERT_TRUE(target.WaitCreated());
  KeyWindow decoy(UniqueTitle("Decoy"));
  ASSERT_TRUE(decoy.WaitCreated());
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == decoy.Handle(); }));

  ASSERT_TRUE(FindTargetWindow(state, *desktop, console));

  EXPECT_EQ(state.SaveWnd, target.Handle());
  EXPECT_EQ(state.WindowTitle, target.title());
  EXPECT_EQ(desktop->GetWindowText(target.Handle()), target.title());
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == state.SaveWnd; }));

  KeySendTest(*desktop, console);
  SendAKey(state, *desktop, console);
  SendKeyString(*desktop, "{");

  const std::vector<std::string> expected = {"0x31", "0x32", "0x33", "0x34", "0x35", "0x36",
                                             "0x37", "0x38", "0x4A", "0x10", "0xDB"};
  EXPECT_TRUE(WaitUntil([&] { return target.KeyDowns().size() >= expected.size(); }));
  EXPECT_EQ(target.KeyDowns(), expected);
  EXPECT_TRUE(decoy.KeyDowns().empty());
}

TEST_F(Win32DesktopTest, AnotherWindowInFrontSuspendsSending) {
  KeyWindow target(UniqueTitle("Ringing Room wine test"));
  ASSERT_TRUE(target.WaitCreated());
  KeyWindow other(UniqueTitle("Editor"));
  ASSERT_TRUE(other.WaitCreated());
  ASSERT_TRUE(FindTargetWindow(state, *desktop, console));
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == state.SaveWnd; }));

  desktop->SetForegroundWindow(other.Handle());
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == other.Handle(); }));
  SendAKey(state, *desktop, console);

  EXPECT_EQ(raw.Row(1), "Ringing Room is not the focus window - Key sending suspended");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(target.KeyDowns().empty());
  EXPECT_TRUE(other.KeyDowns().empty());
}

TEST_F(Win32DesktopTest, LayoutAnswersForAUsKeyboard) {
  EXPECT_EQ(desktop->VkKeyScan('j'), 0x4A);
  EXPECT_EQ(desktop->VkKeyScan('{'), 0x1DB);
  EXPECT_EQ(desktop->MapVirtualKey(0x4A), 0x24u);
  EXPECT_EQ(desktop->MapVirtualKey(0x10), 0x2Au);
}

}  // namespace
}  // namespace strikewell
