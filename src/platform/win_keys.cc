#include "platform/win_keys.h"

#include "platform/bios_keys.h"

namespace strikewell {
namespace {

bool IsModifierAlone(uint16_t vk) {
  return vk == win::kVkShift || vk == win::kVkControl || vk == win::kVkMenu ||
         vk == win::kVkCapital || vk == win::kVkNumLock || vk == win::kVkScroll ||
         (vk >= win::kVkLShift && vk <= win::kVkRMenu);
}

// The digit of a key of the numeric keypad (not the separate navigation block),
// by scan code, whatever Num Lock says; -1 for any other key.
int KeypadDigit(const WinKeyRecord& r) {
  if (r.control_state & win::kEnhancedKey) return -1;
  switch (r.scan_code) {
    case 82:
      return 0;
    case 79:
      return 1;
    case 80:
      return 2;
    case 81:
      return 3;
    case 75:
      return 4;
    case 76:
      return 5;
    case 77:
      return 6;
    case 71:
      return 7;
    case 72:
      return 8;
    case 73:
      return 9;
    default:
      return -1;
  }
}

// The BIOS numbers F11 and F12 apart from their scan codes.
uint8_t BaseCode(uint16_t scan_code) {
  if (scan_code == 87) return bios::kF11;
  if (scan_code == 88) return bios::kF12;
  return static_cast<uint8_t>(scan_code);
}

bool IsNavigationOrFunction(uint8_t base) {
  return (base >= bios::kF1 && base <= bios::kF10) ||
         (base >= bios::kHome && base <= bios::kDel && base != 74 && base != 78) ||
         base == bios::kF11 || base == bios::kF12 || base == bios::kKeypadSlash;
}

}  // namespace

std::optional<KeyEvent> WinKeyTranslator::Translate(const WinKeyRecord& r) {
  const uint32_t state = r.control_state;
  const bool left_alt = (state & win::kLeftAltPressed) != 0;
  const bool alt = left_alt || (state & win::kRightAltPressed) != 0;
  const bool ctrl = (state & (win::kLeftCtrlPressed | win::kRightCtrlPressed)) != 0;
  const bool shift = (state & win::kShiftPressed) != 0;

  if (!r.key_down) {
    // The composed character is delivered when Alt is let go.
    if (composing_ && (r.virtual_key == win::kVkMenu || r.virtual_key == win::kVkLMenu ||
                       r.virtual_key == win::kVkRMenu)) {
      composing_ = false;
      return KeyEvent{composed_, false};
    }
    return std::nullopt;
  }
  if (IsModifierAlone(r.virtual_key)) return std::nullopt;

  if (alt && !ctrl) {
    if (const int digit = KeypadDigit(r); digit >= 0) {
      // Alt+keypad digits compose a character code, kept to 8 bits.
      composed_ = static_cast<uint8_t>((composing_ ? composed_ * 10 : 0) + digit);
      composing_ = true;
      return std::nullopt;
    }
  }
  composing_ = false;

  if (r.virtual_key == win::kVkTab && shift && !ctrl && !alt) {
    return KeyEvent{bios::kShiftTab, true};
  }
  const bool enhanced = (state & win::kEnhancedKey) != 0;
  if (r.virtual_key == win::kVkReturn && enhanced) {
    return KeyEvent{static_cast<uint8_t>(ctrl ? 10 : 13), false};
  }
  if (r.ch != 0 && !enhanced && !left_alt) return KeyEvent{r.ch, false};
  // Wine's console in a terminal reports Escape without its character; read as a
  // two-part key it could never quit counting.
  if (r.virtual_key == win::kVkEscape && !alt) return KeyEvent{27, false};

  const uint8_t base = BaseCode(r.scan_code);
  if (IsNavigationOrFunction(base)) {
    return KeyEvent{ExtendedCode(base, KeyModifiers{shift, ctrl, alt}), true};
  }
  if (left_alt && r.ch != 0) {
    if (const uint8_t code = AltCharCode(r.ch); code != 0) return KeyEvent{code, true};
  }
  return KeyEvent{base, true};
}

}  // namespace strikewell
