// What every desktop backend must do for the program, stated once and run over each
// of them: the fake that the logic's tests use, X11 and Win32. Where the fake and a
// real backend part ways here, the fake is wrong: the logic's tests would then pass
// against a desktop that does not exist.
//
// A backend's test program includes this header once, implements DesktopRig for
// its backend and instantiates the suite:
//
//   INSTANTIATE_TEST_SUITE_P(X11, DesktopContract,
//                            ::testing::Values(DesktopBackend{"X11", MakeX11Rig}),
//                            DesktopBackendName);
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "target/target.h"

namespace strikewell::contract {

// The world around one desktop backend: windows that other programs own, and what
// those programs saw. The real rigs start helper programs that log the keys their
// window receives; the fake's rig tells the fake directly.
class DesktopRig {
 public:
  virtual ~DesktopRig() = default;

  // The backend under test.
  virtual Desktop& desktop() = 0;

  // A top-level window of another program with this title, returned once the
  // desktop lists it; 0 when it could not be made.
  virtual WindowHandle OpenWindow(const std::string& title) = 0;
  // Closes a window that OpenWindow made, as its program would on quitting.
  virtual void CloseWindow(WindowHandle window) = 0;
  // The window's id passes to another program's window with this title, as an X
  // server hands a departed client's ids to the next client and Windows can reuse
  // a window handle. Where the rig cannot make the system reuse the id, it gives the
  // window the other title from outside: the backend cannot tell the two apart.
  // False when neither could be done.
  virtual bool GiveIdToAnotherWindow(WindowHandle window, const std::string& title) = 0;
  // Moves a window in front by other means than desktop(), as the ringer's click or
  // another program would.
  virtual void BringToFront(WindowHandle window) = 0;
  // True once the window's program takes keys: a window manager may name a window
  // active a moment before the server moves the keyboard focus to it.
  virtual bool TakesKeys(WindowHandle window) = 0;
  // The virtual keys whose presses a window made by OpenWindow received, in order.
  virtual std::vector<uint8_t> KeysReceived(WindowHandle window) = 0;

  // Real desktops answer other programs' requests a little later: Eventually asks
  // again until the condition holds (for a few seconds at most), Consistently
  // checks that it keeps holding for a moment. The fake changes only when told, so
  // its rig asks once.
  virtual bool Eventually(const std::function<bool()>& condition) = 0;
  virtual bool Consistently(const std::function<bool()>& condition) = 0;
};

struct DesktopBackend {
  const char* name;
  std::unique_ptr<DesktopRig> (*make_rig)();
};

inline std::ostream& operator<<(std::ostream& os, const DesktopBackend& backend) {
  return os << backend.name;
}

inline std::string DesktopBackendName(const ::testing::TestParamInfo<DesktopBackend>& info) {
  return info.param.name;
}

class DesktopContract : public ::testing::TestWithParam<DesktopBackend> {
 protected:
  static constexpr uint8_t kVkJ = 0x4A;

  void SetUp() override {
    rig = GetParam().make_rig();
    ASSERT_EQ(desktop().Unavailable(), "");
  }

  Desktop& desktop() { return rig->desktop(); }

  // As the window search does when a title matches.
  void Activate(WindowHandle window) {
    desktop().SetActiveWindow(window);
    desktop().SetForegroundWindow(window);
  }

  bool InFront(WindowHandle window) {
    return rig->Eventually([&] { return desktop().GetForegroundWindow() == window; });
  }

  // Press and release of a key with the scan code the layout gives it, as SendAKey
  // sends its "j".
  void Tap(uint8_t vk) {
    const auto scan = static_cast<uint8_t>(desktop().MapVirtualKey(vk) & 0xFF);
    desktop().KeybdEvent(vk, scan, 0);
    desktop().KeybdEvent(vk, scan, KEYEVENTF_KEYUP_FLAG);
  }

  std::vector<WindowHandle> Listed() {
    std::vector<WindowHandle> windows;
    desktop().EnumWindows([&](WindowHandle w) {
      windows.push_back(w);
      return true;
    });
    return windows;
  }

  bool Lists(WindowHandle window) { return std::ranges::count(Listed(), window) == 1; }

  // Titles carry the case's name: a window of an earlier case may still be listed
  // for a moment after its program has gone. The backend's name after the '/' is
  // left out, so that a title can name a file too.
  static std::string Title(const std::string& prefix) {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    return prefix + " - " + name.substr(0, name.find('/'));
  }

  // The program's target and another program's window, both open, into target and
  // other.
  void OpenTargetAndEditor() {
    target = rig->OpenWindow(Title("Ringing Room"));
    ASSERT_NE(target, 0u);
    other = rig->OpenWindow(Title("Editor"));
    ASSERT_NE(other, 0u);
  }

  std::unique_ptr<DesktopRig> rig;
  WindowHandle target = 0;
  WindowHandle other = 0;
};

TEST_P(DesktopContract, FindsAWindowByATitleHoldingRingingRoom) {
  const std::string title = Title("Ringing Room");
  ASSERT_NO_FATAL_FAILURE(OpenTargetAndEditor());

  std::vector<WindowHandle> holding;
  std::vector<WindowHandle> titled_exactly;
  for (WindowHandle w : Listed()) {
    const std::string text = desktop().GetWindowText(w);
    if (text.find("Ringing Room") != std::string::npos) holding.push_back(w);
    if (text == title) titled_exactly.push_back(w);
  }

  EXPECT_EQ(titled_exactly, std::vector<WindowHandle>{target});
  EXPECT_EQ(std::ranges::count(holding, target), 1);
  EXPECT_EQ(std::ranges::count(holding, other), 0);
  EXPECT_EQ(desktop().GetWindowText(other), Title("Editor"));
}

TEST_P(DesktopContract, ActivatingAWindowMakesItTheForegroundWindow) {
  ASSERT_NO_FATAL_FAILURE(OpenTargetAndEditor());
  rig->BringToFront(other);
  ASSERT_TRUE(InFront(other));

  Activate(target);

  EXPECT_TRUE(InFront(target));
}

// The ringer clicks another window and the program then brings its target forward:
// the later request is the one that holds.
TEST_P(DesktopContract, ActivationAfterAnotherWindowCameInFrontHolds) {
  ASSERT_NO_FATAL_FAILURE(OpenTargetAndEditor());

  rig->BringToFront(other);
  Activate(target);

  EXPECT_TRUE(InFront(target));
  EXPECT_TRUE(rig->Consistently([&] { return desktop().GetForegroundWindow() == target; }));
}

TEST_P(DesktopContract, ForegroundWindowFollowsAWindowBroughtInFrontByOthers) {
  ASSERT_NO_FATAL_FAILURE(OpenTargetAndEditor());
  Activate(target);
  ASSERT_TRUE(InFront(target));

  rig->BringToFront(other);

  EXPECT_TRUE(InFront(other)) << "the desktop reads the foreground afresh, not what it last set";
  EXPECT_TRUE(desktop().IsWindow(target)) << "a window behind another still exists";
}

TEST_P(DesktopContract, ClosedWindowIsNoWindowAndHasNoTitle) {
  const std::string title = Title("Ringing Room");
  const WindowHandle window = rig->OpenWindow(title);
  ASSERT_NE(window, 0u);
  EXPECT_TRUE(desktop().IsWindow(window));
  EXPECT_EQ(desktop().GetWindowText(window), title);
  EXPECT_FALSE(desktop().IsWindow(0));

  rig->CloseWindow(window);

  EXPECT_TRUE(rig->Eventually([&] { return !desktop().IsWindow(window); }));
  EXPECT_EQ(desktop().GetWindowText(window), "");
  EXPECT_TRUE(rig->Eventually([&] { return !Lists(window); }));
}

// A search that found a window which then closed before it was brought forward:
// the windowing system refuses, and what was in front stays there.
TEST_P(DesktopContract, ActivatingAClosedWindowLeavesTheForegroundAsItWas) {
  target = rig->OpenWindow(Title("Ringing Room"));
  ASSERT_NE(target, 0u);
  const WindowHandle gone = rig->OpenWindow(Title("Ringing Room closing"));
  ASSERT_NE(gone, 0u);
  Activate(target);
  ASSERT_TRUE(InFront(target));
  rig->CloseWindow(gone);
  ASSERT_TRUE(rig->Eventually([&] { return !desktop().IsWindow(gone); }));

  Activate(gone);

  EXPECT_TRUE(rig->Consistently([&] { return desktop().GetForegroundWindow() == target; }));
}

// The target's id now names a window with another title: it is the target no more,
// and a new "Ringing Room" window, once listed and brought forward, gets the keys.
TEST_P(DesktopContract, ATargetWhoseIdNowNamesAnotherTitleIsNoLongerTheTarget) {
  TargetWindow found{.WindowFound = true, .WindowTitle = Title("Ringing Room")};
  found.SaveWnd = rig->OpenWindow(found.WindowTitle);
  ASSERT_NE(found.SaveWnd, 0u);
  ASSERT_TRUE(IsTargetStill(found, desktop()));

  ASSERT_TRUE(rig->GiveIdToAnotherWindow(found.SaveWnd, Title("Editor")));

  EXPECT_TRUE(rig->Eventually([&] { return !IsTargetStill(found, desktop()); }));
  EXPECT_TRUE(desktop().IsWindow(found.SaveWnd)) << "the id names a window still";
  EXPECT_EQ(desktop().GetWindowText(found.SaveWnd), Title("Editor"));

  const std::string again = Title("Ringing Room again");
  const WindowHandle fresh = rig->OpenWindow(again);
  ASSERT_NE(fresh, 0u);
  EXPECT_TRUE(rig->Eventually([&] {
    return std::ranges::count(Listed(), fresh) == 1 && desktop().GetWindowText(fresh) == again;
  }));
  Activate(fresh);
  ASSERT_TRUE(InFront(fresh));
  ASSERT_TRUE(rig->Eventually([&] { return rig->TakesKeys(fresh); }));

  Tap(kVkJ);

  const std::vector<uint8_t> one_j = {kVkJ};
  EXPECT_TRUE(rig->Eventually([&] { return rig->KeysReceived(fresh) == one_j; }));
  EXPECT_TRUE(rig->Consistently([&] { return rig->KeysReceived(found.SaveWnd).empty(); }));
}

TEST_P(DesktopContract, KeyGoesToTheForegroundWindowAsThatKey) {
  ASSERT_NO_FATAL_FAILURE(OpenTargetAndEditor());
  Activate(target);
  ASSERT_TRUE(InFront(target));
  ASSERT_TRUE(rig->Eventually([&] { return rig->TakesKeys(target); }));

  Tap(kVkJ);

  const std::vector<uint8_t> one_j = {kVkJ};
  EXPECT_TRUE(rig->Eventually([&] { return rig->KeysReceived(target) == one_j; }));
  EXPECT_EQ(rig->KeysReceived(target), one_j);
  EXPECT_TRUE(rig->Consistently([&] { return rig->KeysReceived(other).empty(); }));
}

// A key goes where the focus is when it is sent, not to the window that was
// activated last: this is why SendAKey asks for the foreground window first.
TEST_P(DesktopContract, KeyFollowsTheFocusToAnotherWindow) {
  ASSERT_NO_FATAL_FAILURE(OpenTargetAndEditor());
  Activate(target);
  ASSERT_TRUE(InFront(target));
  rig->BringToFront(other);
  ASSERT_TRUE(InFront(other));
  ASSERT_TRUE(rig->Eventually([&] { return rig->TakesKeys(other); }));

  Tap(kVkJ);

  const std::vector<uint8_t> one_j = {kVkJ};
  EXPECT_TRUE(rig->Eventually([&] { return rig->KeysReceived(other) == one_j; }));
  EXPECT_TRUE(rig->Consistently([&] { return rig->KeysReceived(target).empty(); }));
}

TEST_P(DesktopContract, LayoutAnswersLikeAUsKeyboard) {
  struct CharKey {
    char ch;
    int16_t vk_and_shift;  // VkKeyScan's answer
  };
  const CharKey char_keys[] = {
      {.ch = 'j', .vk_and_shift = 0x4A},  {.ch = 'J', .vk_and_shift = 0x14A},
      {.ch = '1', .vk_and_shift = 0x31},  {.ch = '!', .vk_and_shift = 0x131},
      {.ch = '{', .vk_and_shift = 0x1DB}, {.ch = ' ', .vk_and_shift = 0x20},
  };
  for (const CharKey& k : char_keys) {
    EXPECT_EQ(desktop().VkKeyScan(k.ch), k.vk_and_shift) << "VkKeyScan('" << k.ch << "')";
  }

  struct VkScan {
    uint32_t vk;
    uint32_t scan;  // MapVirtualKey's answer: the set-1 scan code
  };
  const VkScan vk_scans[] = {
      {.vk = 0x4A, .scan = 0x24},  // J
      {.vk = 0x31, .scan = 0x02},  // 1
      {.vk = 0x10, .scan = 0x2A},  // Shift
      {.vk = 0xDB, .scan = 0x1A},  // [
  };
  for (const VkScan& k : vk_scans) {
    EXPECT_EQ(desktop().MapVirtualKey(k.vk), k.scan)
        << "MapVirtualKey(0x" << std::hex << k.vk << ")";
  }
}

}  // namespace strikewell::contract
