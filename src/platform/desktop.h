// The desktop's top-level windows and the keyboard input stream. Abstract so that
// the window search and the keystroke encoding can run against a fake desktop that
// records every key event.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace strikewell {

// Identifies a top-level window; 0 is no window.
using WindowHandle = uint64_t;

inline constexpr uint32_t KEYEVENTF_KEYUP_FLAG = 2;  // key release; 0 is a press

class Desktop {
 public:
  virtual ~Desktop() = default;

  // Calls visit once per top-level window, in the windowing system's order,
  // invisible windows included, until visit returns false or the windows run out.
  virtual void EnumWindows(const std::function<bool(WindowHandle)>& visit) = 0;
  // The window's title as 8-bit text, at most 255 characters; "" when unreadable.
  virtual std::string GetWindowText(WindowHandle window) = 0;
  virtual void SetActiveWindow(WindowHandle window) = 0;
  virtual void SetForegroundWindow(WindowHandle window) = 0;
  virtual WindowHandle GetForegroundWindow() = 0;
  // False once the window has been closed, as against merely not being in front.
  virtual bool IsWindow(WindowHandle window) = 0;

  // One key event into the foreground window's input: flags 0 press, 2 release.
  virtual void KeybdEvent(uint8_t virtual_key, uint8_t scan_code, uint32_t flags) = 0;
  // The scan code of a virtual key in the current layout (map type 0).
  virtual uint32_t MapVirtualKey(uint32_t virtual_key) = 0;
  // Low byte: virtual key that types ch; high byte: shift state (non-zero when a
  // modifier is needed); -1 when the layout has no key for it.
  virtual int16_t VkKeyScan(char ch) = 0;

  // Why the desktop cannot be reached (for example no X display), or "".
  virtual std::string Unavailable() { return {}; }
};

}  // namespace strikewell
