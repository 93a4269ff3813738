// The Windows desktop backend against a real window manager: Wine's, drawing on a
// private X server. key_window.exe (beside this program) is the target window.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "desktop_contract.h"
#include "fake_clock.h"
#include "fake_console.h"
#include "platform/backends.h"
#include "target/bell_keys.h"
#include "target/target.h"

namespace strikewell {
namespace {

bool WaitUntil(const std::function<bool()>& ready) {
  for (int waited = 0; !ready(); waited += 10) {
    if (waited >= 20000) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A key_window.exe process (found beside this program) and its log in the working
// directory, ended with the object.
struct KeyWindow {
  explicit KeyWindow(const std::string& window_title)
      : title(window_title), log_path(title + ".log") {
    DeleteFileA(log_path.c_str());
    std::string command = "key_window.exe \"" + title + "\" \"" + log_path + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                   &process);
  }
  ~KeyWindow() {
    if (process.hProcess != nullptr) {
      TerminateProcess(process.hProcess, 0);
      WaitForSingleObject(process.hProcess, 5000);
      CloseHandle(process.hProcess);
      CloseHandle(process.hThread);
    }
    DeleteFileA(log_path.c_str());
  }
  KeyWindow(const KeyWindow&) = delete;
  KeyWindow& operator=(const KeyWindow&) = delete;

  // The first field after KIND on each log line of that kind: "0x4A" of "keydown 0x4A 0x24".
  std::vector<std::string> Logged(const std::string& kind) const {
    std::vector<std::string> found;
    std::ifstream in(log_path);
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string word;
      std::string first;
      if (fields >> word >> first && word == kind) found.push_back(first);
    }
    return found;
  }
  WindowHandle Handle() const {
    const std::vector<std::string> created = Logged("created");
    return created.empty() ? 0 : std::stoull(created[0], nullptr, 16);
  }
  bool Created() const {
    return WaitUntil([this] { return Handle() != 0; });
  }

  const std::string title;
  const std::string log_path;
  PROCESS_INFORMATION process{};
};

TEST(Win32Desktop, FindsTheWindowTypesIntoItAndSuspendsBehindAnother) {
  std::unique_ptr<Desktop> desktop = MakeDesktop();
  testing::FakeClock clock;
  testing::FakeRawConsole raw{clock};
  Console console{raw, clock};
  TargetWindow state;
  KeyWindow target("Ringing Room wine test");
  // Fails this way too when Wine's desktop process belongs to a program without an X
  // display (see the test locks in CMakeLists.txt).
  ASSERT_TRUE(target.Created()) << "key_window.exe made no window";
  KeyWindow decoy("Decoy");
  ASSERT_TRUE(decoy.Created());
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == decoy.Handle(); }));

  ASSERT_TRUE(FindTargetWindow(state, *desktop, console));
  EXPECT_EQ(state.SaveWnd, target.Handle());
  EXPECT_EQ(state.WindowTitle, target.title);
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == state.SaveWnd; }));

  KeySendTest(*desktop, console);
  SendAKey(state, *desktop, console);
  SendKeyString(*desktop, "{");
  const std::vector<std::string> expected = {"0x31", "0x32", "0x33", "0x34", "0x35", "0x36",
                                             "0x37", "0x38", "0x4A", "0x10", "0xDB"};
  EXPECT_TRUE(WaitUntil([&] { return target.Logged("keydown").size() >= expected.size(); }));
  EXPECT_EQ(target.Logged("keydown"), expected);

  desktop->SetForegroundWindow(decoy.Handle());
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == decoy.Handle(); }));
  SendAKey(state, *desktop, console);
  EXPECT_EQ(raw.Row(1), "Ringing Room is not the focus window - Key sending suspended");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(target.Logged("keydown"), expected);
  EXPECT_TRUE(decoy.Logged("keydown").empty());
}

// The keys that ring several bells, "-" and "=" among them, reach the window as the
// keys that type them.
TEST(Win32Desktop, TypesTheKeyOfEveryBellIntoTheWindow) {
  std::unique_ptr<Desktop> desktop = MakeDesktop();
  KeyWindow target("Ringing Room wine bells");
  ASSERT_TRUE(target.Created()) << "key_window.exe made no window";
  desktop->SetForegroundWindow(target.Handle());
  ASSERT_TRUE(WaitUntil([&] { return desktop->GetForegroundWindow() == target.Handle(); }));
  for (const char key : std::string("1234567890-=qwerfj")) SendBellKey(*desktop, key);
  const std::vector<std::string> expected = {"0x31", "0x32", "0x33", "0x34", "0x35", "0x36",
                                             "0x37", "0x38", "0x39", "0x30", "0xBD", "0xBB",
                                             "0x51", "0x57", "0x45", "0x52", "0x46", "0x4A"};
  EXPECT_TRUE(WaitUntil([&] { return target.Logged("keydown").size() >= expected.size(); }));
  EXPECT_EQ(target.Logged("keydown"), expected);
}

TEST(Win32Desktop, LayoutAnswersForAUsKeyboard) {
  std::unique_ptr<Desktop> desktop = MakeDesktop();
  EXPECT_EQ(desktop->VkKeyScan('j'), 0x4A);
  EXPECT_EQ(desktop->VkKeyScan('{'), 0x1DB);
  EXPECT_EQ(desktop->MapVirtualKey(0x4A), 0x24u);
  EXPECT_EQ(desktop->MapVirtualKey(0x10), 0x2Au);
}

// The desktop contract over Win32: other programs' windows are key_window.exe
// processes, and another program bringing a window forward is a second desktop
// asking for it.
class Win32DesktopRig : public contract::DesktopRig {
 public:
  Desktop& desktop() override { return *desktop_; }

  WindowHandle OpenWindow(const std::string& title) override {
    const auto& window = windows_.emplace_back(std::make_unique<KeyWindow>(title));
    const auto listed = [&] {
      bool found = false;
      desktop_->EnumWindows([&](WindowHandle w) {
        found = w == window->Handle();
        return !found;
      });
      return found;
    };
    if (!window->Created() || !WaitUntil(listed)) return 0;
    return window->Handle();
  }

  // The process ends, and its window with it.
  void CloseWindow(WindowHandle window) override {
    std::erase_if(windows_, [&](const auto& w) { return w->Handle() == window; });
  }

  // Windows reuses handles at a time of its own choosing; another program retitling
  // the window is the same to the desktop, and sure.
  bool GiveIdToAnotherWindow(WindowHandle window, const std::string& title) override {
    return SetWindowTextA(reinterpret_cast<HWND>(static_cast<uintptr_t>(window)), title.c_str()) !=
           0;
  }

  void BringToFront(WindowHandle window) override { other_program_->SetForegroundWindow(window); }

  // Keyboard input goes to the foreground window's thread.
  bool TakesKeys(WindowHandle window) override { return desktop_->GetForegroundWindow() == window; }

  std::vector<uint8_t> KeysReceived(WindowHandle window) override {
    std::vector<uint8_t> keys;
    for (const auto& w : windows_) {
      if (w->Handle() != window) continue;
      for (const std::string& vk : w->Logged("keydown")) {
        keys.push_back(static_cast<uint8_t>(std::stoul(vk, nullptr, 16)));
      }
    }
    return keys;
  }

  bool Eventually(const std::function<bool()>& condition) override { return WaitUntil(condition); }

  bool Consistently(const std::function<bool()>& condition) override {
    for (int waited = 0; waited < 300; waited += 10) {
      if (!condition()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
  }

 private:
  std::unique_ptr<Desktop> desktop_ = MakeDesktop();
  std::unique_ptr<Desktop> other_program_ = MakeDesktop();
  std::vector<std::unique_ptr<KeyWindow>> windows_;
};

std::unique_ptr<contract::DesktopRig> MakeWin32Rig() { return std::make_unique<Win32DesktopRig>(); }

using contract::DesktopContract;

INSTANTIATE_TEST_SUITE_P(Win32, DesktopContract,
                         ::testing::Values(contract::DesktopBackend{"Win32", MakeWin32Rig}),
                         contract::DesktopBackendName);

}  // namespace
}  // namespace strikewell
