#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "target/bell_keys.h"
#include "target/target.h"

namespace strikewell {
namespace {

constexpr uint8_t VK_SHIFT = 0x10;
// The scan code of the left Shift key, sent with the Shift that a layout asks for.
constexpr uint8_t kShiftScanCode = 0x2A;

// Text codes 240..249: Home, End, Up, Down, Left, Right, Page Up, Page Down, Insert,
// Delete.
constexpr std::array<uint8_t, 10> VkKeys = {0x24, 0x23, 0x26, 0x28, 0x25,
                                            0x27, 0x21, 0x22, 0x2D, 0x2E};
// Text codes 250..255 press and release Shift, Ctrl, Alt in turn.
constexpr std::array<uint8_t, 3> VkShft = {0x10, 0x11, 0x12};
// Indexed by "pressed": a release for false, a press for true.
constexpr std::array<uint32_t, 2> Flags = {KEYEVENTF_KEYUP_FLAG, 0};

uint8_t LowByte(uint32_t value) { return static_cast<uint8_t>(value & 0xFF); }

// Presses and releases the key C, with Shift around it when VK (a layout's answer)
// asks for a modifier and none is held.
void PressKey(Desktop& desktop, uint8_t C, uint16_t VK, bool shift_held) {
  const uint8_t scan = LowByte(desktop.MapVirtualKey(C));
  const bool add_shift = !shift_held && (VK >> 8) > 0;
  if (add_shift) desktop.KeybdEvent(VK_SHIFT, kShiftScanCode, 0);
  desktop.KeybdEvent(C, scan, 0);
  desktop.KeybdEvent(C, scan, KEYEVENTF_KEYUP_FLAG);
  if (add_shift) desktop.KeybdEvent(VK_SHIFT, kShiftScanCode, KEYEVENTF_KEYUP_FLAG);
}

void PressByLayout(Desktop& desktop, char ch, bool shift_held) {
  const int16_t answer = desktop.VkKeyScan(ch);
  // The layout has no key for this character: pressing the key code 0xFF (with
  // Shift) would type whatever that maps to, so the character is left out.
  if (answer == -1) return;
  const auto VK = static_cast<uint16_t>(answer);
  PressKey(desktop, LowByte(VK), VK, shift_held);
}

}  // namespace

void SendKeyString(Desktop& desktop, std::string_view Text) {
  bool Shift = false;
  for (const char ch : Text) {
    const uint8_t n = static_cast<uint8_t>(ch);
    if (n >= 250) {
      const int s = n - 250;
      Shift = s % 2 == 0;
      const uint8_t C = VkShft[s / 2];
      const uint32_t ScanCode = desktop.MapVirtualKey(C);
      desktop.KeybdEvent(C, LowByte(ScanCode), Flags[Shift]);
      continue;
    }
    if (n >= 240) {
      PressKey(desktop, VkKeys[n - 240], 0, Shift);
    } else if (n >= 228) {
      PressKey(desktop, static_cast<uint8_t>(n - 116), 0, Shift);
    } else if (n < 110) {
      PressKey(desktop, (n >= 'a' && n <= 'm') ? static_cast<uint8_t>(n - 'a' + 'A') : n, 0, Shift);
    } else {
      PressByLayout(desktop, ch, Shift);
    }
  }
}

void TypeCharacter(Desktop& desktop, char ch) { PressByLayout(desktop, ch, false); }

void ShowFocusNotice(Console& console) {
  console.ClrScr();
  console.WriteLn("Ringing Room is not the focus window - Key sending suspended");
  console.WriteLn("Keystrokes will be sent when focus is resumed ");
}

bool SendAKey(TargetWindow& state, Desktop& desktop, Console& console) {
  return SendAKeyWithForeground(state, desktop.GetForegroundWindow(), desktop, console);
}

bool SendAKeyWithForeground(const TargetWindow& state, WindowHandle foreground, Desktop& desktop,
                            Console& console, char bell_key) {
  if (foreground != state.SaveWnd) {
    ShowFocusNotice(console);
    return false;
  }
  if (bell_key == 'j') {
    SendKeyString(desktop, "j");
  } else {
    SendBellKey(desktop, bell_key);
  }
  return true;
}

int64_t BellDelayMicros(int32_t BellDelay) {
  return int64_t{std::clamp<int32_t>(BellDelay, 0, 0xFFFF)} * 1000;
}

void KeySendTest(Desktop& desktop, Console& console) {
  console.WriteLn("Key send test - a round");
  console.Delay(2000);
  for (int I = 1; I <= 8; ++I) {
    SendKeyString(desktop, std::string(1, static_cast<char>('0' + I)));
    console.Delay(300);
  }
  console.WriteLn("Ending Key send test - a round");
}

}  // namespace strikewell
