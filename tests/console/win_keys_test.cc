// Windows console key events to key codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win_keys.h"

namespace strikewell {
namespace {

using win::kEnhancedKey;
using win::kLeftAltPressed;
using win::kLeftCtrlPressed;
using win::kNumLockOn;
using win::kRightAltPressed;
using win::kShiftPressed;

WinKeyRecord Down(uint16_t vk, uint16_t scan, uint8_t ch = 0, uint32_t state = 0) {
  return WinKeyRecord{true, vk, scan, ch, state};
}
WinKeyRecord Up(uint16_t vk, uint16_t scan, uint8_t ch = 0, uint32_t state = 0) {
  return WinKeyRecord{false, vk, scan, ch, state};
}

// One-part keys as their code, two-part keys as "0,code".
std::string Translate(const std::vector<WinKeyRecord>& records) {
  WinKeyTranslator translator;
  std::string text;
  for (const WinKeyRecord& r : records) {
    if (std::optional<KeyEvent> k = translator.Translate(r)) {
      if (!text.empty()) text += ' ';
      if (k->extended) text += "0,";
      text += std::to_string(k->code);
    }
  }
  return text;
}

struct WinCase {
  const char* name;
  std::vector<WinKeyRecord> records;
  std::string keys;
};

TEST(WinKeys, TranslatesKeyEvents) {
  constexpr uint32_t kCtrl = kLeftCtrlPressed;
  constexpr uint32_t kEnh = kEnhancedKey;
  const std::vector<WinCase> cases = {
      {"letter; releases and modifiers alone give nothing",
       {Down(0x41, 30, 'a'), Up(0x41, 30, 'a'), Down(0x10, 42, 0, kShiftPressed),
        Down(0x11, 29, 0, kCtrl), Down(0x12, 56, 0, kLeftAltPressed), Down(0x14, 58),
        Down(0x90, 69, 0, kEnh), Down(0x91, 70), Down(0xA0, 42), Down(0xA3, 29, 0, kEnh)},
       "97"},
      {"arrows: navigation block, keypad without and with Num Lock",
       {Down(0x25, 75, 0, kEnh), Down(0x27, 77, 0, kEnh), Down(0x25, 75),
        Down(0x66, 77, '6', kNumLockOn)},
       "0,75 0,77 0,75 54"},
      {"navigation keys, keypad slash, function keys and Ctrl arrows",
       {Down(0x24, 71, 0, kEnh), Down(0x22, 81, 0, kEnh), Down(0x2E, 83, 0, kEnh),
        Down(0x6F, 53, '/', kEnh), Down(0x6F, 53, '/', kEnh | kCtrl), Down(0x70, 59),
        Down(0x7A, 87), Down(0x7B, 88), Down(0x70, 59, 0, kShiftPressed), Down(0x7B, 88, 0, kCtrl),
        Down(0x25, 75, 0, kEnh | kCtrl)},
       "0,71 0,81 0,83 0,53 0,149 0,59 0,133 0,134 0,84 0,138 0,115"},
      {"Tab, Shift+Tab, Enter, Ctrl+Enter (also on the keypad), control characters",
       {Down(0x09, 15, 9), Down(0x09, 15, 9, kShiftPressed), Down(0x0D, 28, 13),
        Down(0x0D, 28, 10, kCtrl), Down(0x0D, 28, 13, kEnh), Down(0x0D, 28, 10, kEnh | kCtrl),
        Down(0x43, 46, 3, kCtrl), Down(0x1B, 1, 27), Down(0x1B, 1, 0)},
       "9 0,15 13 10 13 10 3 27 27"},
      {"left Alt with keys",
       {Down(0x41, 30, 'a', kLeftAltPressed), Down(0x31, 2, '1', kLeftAltPressed),
        Down(0xBC, 51, ',', kLeftAltPressed), Down(0x25, 75, 0, kEnh | kLeftAltPressed)},
       "0,30 0,120 0,51 0,155"},
      {"AltGr types a character", {Down(0x51, 16, '@', kRightAltPressed | kLeftCtrlPressed)}, "64"},
      {"Alt+keypad composes on release, with Num Lock or without",
       {Down(0x12, 56, 0, kLeftAltPressed), Down(0x66, 77, 0, kLeftAltPressed | kNumLockOn),
        Up(0x66, 77, 0, kLeftAltPressed | kNumLockOn),
        Down(0x65, 76, 0, kLeftAltPressed | kNumLockOn), Up(0x12, 56, 'A'),
        Down(0x23, 79, 0, kLeftAltPressed), Up(0x12, 56, 0)},
       "65 1"},
      {"right Alt composes too, kept to 8 bits",
       {Down(0x63, 81, 0, kRightAltPressed), Down(0x60, 82, 0, kRightAltPressed),
        Down(0x60, 82, 0, kRightAltPressed), Up(0xA5, 56, 0, kEnh)},
       "44"},
      {"another key abandons the composition",
       {Down(0x66, 77, 0, kLeftAltPressed), Down(0x58, 45, 'x', kLeftAltPressed), Up(0x12, 56, 0)},
       "0,45"},
      {"Ctrl+Alt+keypad is no composition", {Down(0x27, 77, 0, kLeftAltPressed | kCtrl)}, "0,157"},
  };
  for (const WinCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Translate(c.records), c.keys);
  }
}

}  // namespace
}  // namespace strikewell
