#include "platform/bios_keys.h"

#include <array>

namespace strikewell {
namespace {

struct ModifiedCodes {
  uint8_t base;
  uint8_t shift;
  uint8_t ctrl;
  uint8_t alt;
};

// Shifted navigation keys read as the plain ones (the BIOS hands out the same
// scan code); 0 marks a combination without a code.
constexpr std::array<ModifiedCodes, 12> kNavigation = {{
    {bios::kHome, bios::kHome, 119, 151},
    {bios::kUp, bios::kUp, 141, 152},
    {bios::kPgUp, bios::kPgUp, 132, 153},
    {bios::kLeft, bios::kLeft, 115, 155},
    {bios::kCentre, bios::kCentre, 143, 0},
    {bios::kRight, bios::kRight, 116, 157},
    {bios::kEnd, bios::kEnd, 117, 159},
    {bios::kDown, bios::kDown, 145, 154},
    {bios::kPgDn, bios::kPgDn, 118, 161},
    {bios::kIns, bios::kIns, 146, 162},
    {bios::kDel, bios::kDel, 147, 163},
    {bios::kKeypadSlash, bios::kKeypadSlash, 149, 164},
}};

uint8_t Pick(const ModifiedCodes& codes, KeyModifiers mods) {
  uint8_t code = codes.base;
  if (mods.alt) {
    code = codes.alt;
  } else if (mods.ctrl) {
    code = codes.ctrl;
  } else if (mods.shift) {
    code = codes.shift;
  }
  return code != 0 ? code : codes.base;
}

}  // namespace

uint8_t ExtendedCode(uint8_t base, KeyModifiers mods) {
  if (base >= bios::kF1 && base <= bios::kF10) {
    const uint8_t n = static_cast<uint8_t>(base - bios::kF1);
    return Pick({base, static_cast<uint8_t>(84 + n), static_cast<uint8_t>(94 + n),
                 static_cast<uint8_t>(104 + n)},
                mods);
  }
  if (base == bios::kF11) return Pick({bios::kF11, 135, 137, 139}, mods);
  if (base == bios::kF12) return Pick({bios::kF12, 136, 138, 140}, mods);
  for (const ModifiedCodes& codes : kNavigation) {
    if (codes.base == base) return Pick(codes, mods);
  }
  return base;
}

uint8_t AltCharCode(uint8_t ch) {
  // Scan codes of the letters, in alphabetical order.
  static constexpr std::array<uint8_t, 26> kLetters = {30, 48, 46, 32, 18, 33, 34, 35, 23,
                                                       36, 37, 38, 50, 49, 24, 25, 16, 19,
                                                       31, 20, 22, 47, 17, 45, 21, 44};
  if (ch >= 'a' && ch <= 'z') return kLetters[ch - 'a'];
  if (ch >= 'A' && ch <= 'Z') return kLetters[ch - 'A'];
  if (ch >= '1' && ch <= '9') return static_cast<uint8_t>(120 + (ch - '1'));
  switch (ch) {
    case '0':
      return 129;
    case '-':
      return 130;
    case '=':
      return 131;
    case 27:
      return 1;
    case 8:
    case 127:
      return 14;
    case 13:
      return 28;
    default:
      return 0;
  }
}

}  // namespace strikewell
