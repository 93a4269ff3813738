// An in-memory desktop: top-level windows in enumeration order, a foreground window
// that a test can move at a given fake time, a US keyboard layout, and a record of
// every activation and key event and of the window each key reached. The desktop
// contract (tests/contract) holds it to what X11 and Win32 do.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fake_clock.h"
#include "platform/desktop.h"

namespace strikewell::testing {

class FakeDesktop : public Desktop {
 public:
  struct Window {
    WindowHandle handle = 0;
    std::string title;  // what GetWindowText answers, cut to 255 characters
    // Fake time (ms) from which the window exists and from which it is closed.
    int64_t open_from_ms = 0;
    int64_t closed_from_ms = INT64_MAX;
  };

  // One KeybdEvent call. at_ms is the fake time of the call (0 without a clock).
  struct KeyRecord {
    uint8_t vk = 0;
    uint8_t scan = 0;
    uint32_t flags = 0;
    int64_t at_ms = 0;
    bool operator==(const KeyRecord&) const = default;
  };

  // clock: optional; stamps key events and drives FocusAt.
  explicit FakeDesktop(FakeClock* clock = nullptr) : clock_(clock) {}

  // Appends a window at the end of the enumeration order; handles count up from 0x100.
  WindowHandle AddWindow(std::string title);
  // A window that opens at fake time open_ms (and, with closed_ms, closes again).
  WindowHandle OpenWindowAt(int64_t open_ms, std::string title, int64_t closed_ms = INT64_MAX);
  // From fake time at_ms on the window no longer exists.
  void CloseWindowAt(int64_t at_ms, WindowHandle window);
  // At fake time at_ms the window closes and another program's window, with this
  // title, gets its handle, as an X server hands a departed client's ids to the
  // next client and Windows can reuse a window handle.
  void ReuseHandleAt(int64_t at_ms, WindowHandle window, std::string title);

  // From fake time at_ms on, window is in front (0: nobody), as if the ringer had
  // clicked it; a later SetForegroundWindow moves it again.
  void FocusAt(int64_t at_ms, WindowHandle window);

  void EnumWindows(const std::function<bool(WindowHandle)>& visit) override;
  std::string GetWindowText(WindowHandle window) override;
  void SetActiveWindow(WindowHandle window) override;
  void SetForegroundWindow(WindowHandle window) override;
  WindowHandle GetForegroundWindow() override;
  bool IsWindow(WindowHandle window) override;
  void KeybdEvent(uint8_t virtual_key, uint8_t scan_code, uint32_t flags) override;
  // Set-1 scan codes of the main block, navigation and function keys; 0 for others.
  uint32_t MapVirtualKey(uint32_t virtual_key) override;
  // Printable ASCII ('{' is Shift + VK_OEM_4, i.e. 0x1DB); -1 otherwise.
  int16_t VkKeyScan(char ch) override;
  std::string Unavailable() override { return unavailable; }

  std::vector<Window> windows;
  // Every window handed to the visitor, in order.
  std::vector<WindowHandle> visited;
  // "SetActiveWindow(0x100)", "SetForegroundWindow(0x100)", in call order.
  std::vector<std::string> activations;
  std::vector<KeyRecord> keys;
  // The keys each window received: those sent while it was in front. A key sent
  // with no window in front is in keys only.
  std::map<WindowHandle, std::vector<KeyRecord>> received;
  WindowHandle foreground = 0;
  // GetForegroundWindow and GetWindowText calls: each is a round trip to a real
  // windowing system.
  int foreground_queries = 0;
  int title_reads = 0;
  // When true, SetForegroundWindow is ignored, like a windowing system that refuses.
  // It always refuses a window that does not exist (closed, or never opened).
  bool refuse_foreground = false;
  std::string unavailable;

 private:
  // The window in front now, without counting a query.
  WindowHandle InFront();
  int64_t NowMs() const { return clock_ ? clock_->NowMillis() : 0; }
  // Focus changes that are due take effect before anything reads or moves the focus.
  void ApplyDueFocusChanges();
  bool Exists(const Window& w) const {
    return w.open_from_ms <= NowMs() && NowMs() < w.closed_from_ms;
  }

  FakeClock* clock_;
  std::deque<std::pair<int64_t, WindowHandle>> focus_changes_;  // from when, which window
  WindowHandle next_handle_ = 0x100;
};

// Shorthands for expected key sequences.
inline FakeDesktop::KeyRecord Press(uint8_t vk, uint8_t scan, int64_t at_ms = 0) {
  return {vk, scan, 0, at_ms};
}
inline FakeDesktop::KeyRecord Release(uint8_t vk, uint8_t scan, int64_t at_ms = 0) {
  return {vk, scan, KEYEVENTF_KEYUP_FLAG, at_ms};
}

std::ostream& operator<<(std::ostream& os, const FakeDesktop::KeyRecord& k);

}  // namespace strikewell::testing
