// Windows console key events to the program's key codes, written over plain numbers
// (the fields of a KEY_EVENT_RECORD) so that it is tested on every platform.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/console.h"

namespace strikewell {

// The values Windows gives these flags and keys (wincon.h, winuser.h).
namespace win {
constexpr uint32_t kRightAltPressed = 0x0001;
constexpr uint32_t kLeftAltPressed = 0x0002;
constexpr uint32_t kRightCtrlPressed = 0x0004;
constexpr uint32_t kLeftCtrlPressed = 0x0008;
constexpr uint32_t kShiftPressed = 0x0010;
constexpr uint32_t kNumLockOn = 0x0020;
constexpr uint32_t kEnhancedKey = 0x0100;

constexpr uint16_t kVkTab = 0x09;
constexpr uint16_t kVkReturn = 0x0D;
constexpr uint16_t kVkEscape = 0x1B;
constexpr uint16_t kVkShift = 0x10;
constexpr uint16_t kVkControl = 0x11;
constexpr uint16_t kVkMenu = 0x12;
constexpr uint16_t kVkCapital = 0x14;
constexpr uint16_t kVkNumLock = 0x90;
constexpr uint16_t kVkScroll = 0x91;
constexpr uint16_t kVkLShift = 0xA0;
constexpr uint16_t kVkLMenu = 0xA4;
constexpr uint16_t kVkRMenu = 0xA5;
}  // namespace win

struct WinKeyRecord {
  bool key_down = true;
  uint16_t virtual_key = 0;
  uint16_t scan_code = 0;
  uint8_t ch = 0;  // uChar.AsciiChar
  uint32_t control_state = 0;
};

// Keeps the Alt+keypad composition between events.
class WinKeyTranslator {
 public:
  // The key an event gives, or nothing (releases, modifiers alone, digits being
  // composed).
  std::optional<KeyEvent> Translate(const WinKeyRecord& record);

 private:
  bool composing_ = false;
  uint8_t composed_ = 0;
};

}  // namespace strikewell
