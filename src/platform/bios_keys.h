// The extended codes of the IBM PC keyboard BIOS, which the program's two-part keys
// carry whichever platform the key came from (Windows key events, terminal escape
// sequences).
#pragma once

#include <cstdint>

namespace strikewell {

// A key's extended code without modifiers: its scan code for the navigation and
// function keys, and the BIOS's own numbers for F11 and F12.
namespace bios {
constexpr uint8_t kShiftTab = 15;
constexpr uint8_t kF1 = 59;
constexpr uint8_t kF10 = 68;
constexpr uint8_t kHome = 71;
constexpr uint8_t kUp = 72;
constexpr uint8_t kPgUp = 73;
constexpr uint8_t kLeft = 75;
constexpr uint8_t kCentre = 76;
constexpr uint8_t kRight = 77;
constexpr uint8_t kEnd = 79;
constexpr uint8_t kDown = 80;
constexpr uint8_t kPgDn = 81;
constexpr uint8_t kIns = 82;
constexpr uint8_t kDel = 83;
constexpr uint8_t kF11 = 133;
constexpr uint8_t kF12 = 134;
constexpr uint8_t kKeypadSlash = 53;
}  // namespace bios

struct KeyModifiers {
  bool shift = false;
  bool ctrl = false;
  bool alt = false;
};

// The extended code of a navigation or function key (given by its unmodified code
// above) pressed with modifiers. Alt wins over Ctrl, Ctrl over Shift, as in the
// BIOS. A combination the BIOS has no code for keeps the unmodified code.
uint8_t ExtendedCode(uint8_t base, KeyModifiers mods);

// The BIOS code of Alt with a character key of the main block (Alt+A 30, Alt+1 120,
// ...), or 0 when that character has none.
uint8_t AltCharCode(uint8_t ch);

}  // namespace strikewell
