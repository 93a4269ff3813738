#include "platform/key_decoder.h"

#include <vector>

#include "platform/bios_keys.h"

namespace strikewell {
namespace {

constexpr uint8_t kEscape = 27;
constexpr uint8_t kEnter = 13;
constexpr uint8_t kBackspace = 8;
// Longer parameter strings than this belong to no key; the sequence is swallowed.
constexpr size_t kMaxParams = 32;

// The numbers of a parameter string such as "1;5"; an empty field reads as 0.
std::vector<int> SplitParams(const std::string& params) {
  std::vector<int> numbers(1, 0);
  for (char c : params) {
    if (c == ';') {
      numbers.push_back(0);
    } else if (c >= '0' && c <= '9' && numbers.back() < 10000) {
      numbers.back() = numbers.back() * 10 + (c - '0');
    }
  }
  return numbers;
}

// xterm's modifier parameter: 1 + (1 shift, 2 alt, 4 ctrl, 8 meta).
KeyModifiers ModifiersFrom(int param) {
  KeyModifiers mods;
  if (param < 2) return mods;
  const int bits = param - 1;
  mods.shift = (bits & 1) != 0;
  mods.alt = (bits & 2) != 0 || (bits & 8) != 0;
  mods.ctrl = (bits & 4) != 0;
  return mods;
}

// The key of a letter final byte shared by CSI and SS3 forms (ESC [ A, ESC O A).
uint8_t LetterKey(uint8_t final_byte) {
  switch (final_byte) {
    case 'A':
      return bios::kUp;
    case 'B':
      return bios::kDown;
    case 'C':
      return bios::kRight;
    case 'D':
      return bios::kLeft;
    case 'E':
      return bios::kCentre;
    case 'H':
      return bios::kHome;
    case 'F':
      return bios::kEnd;
    case 'P':
    case 'Q':
    case 'R':
    case 'S':
      return static_cast<uint8_t>(bios::kF1 + (final_byte - 'P'));
    default:
      return 0;
  }
}

// The key of a "ESC [ n ~" sequence (VT220 and xterm numbering).
uint8_t TildeKey(int n) {
  switch (n) {
    case 1:
    case 7:
      return bios::kHome;
    case 2:
      return bios::kIns;
    case 3:
      return bios::kDel;
    case 4:
    case 8:
      return bios::kEnd;
    case 5:
      return bios::kPgUp;
    case 6:
      return bios::kPgDn;
    case 23:
      return bios::kF11;
    case 24:
      return bios::kF12;
    default:
      break;
  }
  if (n >= 11 && n <= 15) return static_cast<uint8_t>(bios::kF1 + (n - 11));
  if (n >= 17 && n <= 21) return static_cast<uint8_t>(bios::kF1 + 5 + (n - 17));
  return 0;
}

// Keypad keys in application mode (ESC O p = keypad 0, ...): the characters they
// stand for.
uint8_t KeypadChar(uint8_t final_byte) {
  if (final_byte >= 'p' && final_byte <= 'y') return static_cast<uint8_t>('0' + (final_byte - 'p'));
  switch (final_byte) {
    case 'M':
      return kEnter;
    case 'j':
      return '*';
    case 'k':
      return '+';
    case 'l':
      return ',';
    case 'm':
      return '-';
    case 'n':
      return '.';
    case 'o':
      return '/';
    case 'X':
      return '=';
    default:
      return 0;
  }
}

// rxvt's Ctrl+arrows (ESC O a) and Shift+arrows (ESC [ a).
uint8_t RxvtArrow(uint8_t final_byte) {
  if (final_byte < 'a' || final_byte > 'd') return 0;
  return LetterKey(static_cast<uint8_t>(final_byte - 'a' + 'A'));
}

}  // namespace

void KeyDecoder::Feed(uint8_t byte) {
  switch (state_) {
    case State::kGround:
      Ground(byte);
      break;
    case State::kEscape:
      AfterEscape(byte);
      break;
    case State::kCsi:
    case State::kSs3:
      InParameters(byte);
      break;
    case State::kLinuxFunction:
      // The Linux console's F1 to F5: ESC [ [ A to ESC [ [ E.
      state_ = State::kGround;
      if (byte >= 'A' && byte <= 'E') {
        TwoPartKey(static_cast<uint8_t>(bios::kF1 + (byte - 'A')));
      } else if (byte == kEscape || byte < 0x20) {
        Ground(byte);
      }
      break;
  }
}

void KeyDecoder::Ground(uint8_t byte) {
  const bool was_after_cr = after_cr_;
  after_cr_ = byte == '\r';
  switch (byte) {
    case kEscape:
      state_ = State::kEscape;
      break;
    case '\r':
      OneKey(kEnter);
      break;
    case '\n':
      if (!was_after_cr) OneKey(kEnter);
      break;
    case 127:
    case kBackspace:
      OneKey(kBackspace);
      break;
    default:
      OneKey(byte);
      break;
  }
}

void KeyDecoder::AfterEscape(uint8_t byte) {
  params_.clear();
  overlong_ = false;
  switch (byte) {
    case '[':
      state_ = State::kCsi;
      return;
    case 'O':
      state_ = State::kSs3;
      return;
    case kEscape:
      // The first Escape was pressed alone; the second may start a sequence.
      OneKey(kEscape);
      return;
    default:
      break;
  }
  state_ = State::kGround;
  // Terminals send Alt+key as Escape followed by the key.
  if (const uint8_t alt = AltCharCode(byte); alt != 0) {
    TwoPartKey(alt);
    return;
  }
  OneKey(kEscape);
  Ground(byte);
}

void KeyDecoder::InParameters(uint8_t byte) {
  if (byte >= 0x20 && byte <= 0x3F) {
    if (params_.size() < kMaxParams) {
      params_ += static_cast<char>(byte);
    } else {
      overlong_ = true;
    }
    return;
  }
  const State form = state_;
  state_ = State::kGround;
  if (byte < 0x20 || byte > 0x7E) {
    // Not part of any sequence: the unfinished sequence is dropped and the byte is
    // a key of its own (or starts the next sequence).
    Ground(byte);
    return;
  }
  if (overlong_) return;
  if (form == State::kCsi) {
    FinishCsi(byte);
  } else {
    FinishSs3(byte);
  }
}

void KeyDecoder::FinishCsi(uint8_t final_byte) {
  if (final_byte == '[' && params_.empty()) {
    state_ = State::kLinuxFunction;
    return;
  }
  // Private forms (ESC [ ? ..., ESC [ < ...: mouse, reports) are no keys.
  if (!params_.empty() && (params_[0] < '0' || params_[0] > ';')) return;
  for (char c : params_) {
    if (c < '0' || c > ';') return;
  }
  const std::vector<int> numbers = SplitParams(params_);
  const KeyModifiers mods = ModifiersFrom(numbers.size() > 1 ? numbers[1] : 0);
  if (const uint8_t key = LetterKey(final_byte); key != 0) {
    TwoPartKey(ExtendedCode(key, mods));
    return;
  }
  if (final_byte == 'Z') {
    TwoPartKey(bios::kShiftTab);
    return;
  }
  if (const uint8_t key = RxvtArrow(final_byte); key != 0) {
    TwoPartKey(ExtendedCode(key, KeyModifiers{.shift = true}));
    return;
  }
  const uint8_t key = TildeKey(numbers[0]);
  if (key == 0) return;
  switch (final_byte) {
    case '~':
      TwoPartKey(ExtendedCode(key, mods));
      break;
    // rxvt marks modifiers by the final byte instead of a parameter.
    case '$':
      TwoPartKey(ExtendedCode(key, KeyModifiers{.shift = true}));
      break;
    case '^':
    case '@':
      TwoPartKey(ExtendedCode(key, KeyModifiers{.ctrl = true}));
      break;
    default:
      break;
  }
}

void KeyDecoder::FinishSs3(uint8_t final_byte) {
  const std::vector<int> numbers = SplitParams(params_);
  const KeyModifiers mods = ModifiersFrom(numbers.back());
  if (const uint8_t key = LetterKey(final_byte); key != 0) {
    TwoPartKey(ExtendedCode(key, mods));
    return;
  }
  if (!params_.empty()) return;
  if (const uint8_t key = RxvtArrow(final_byte); key != 0) {
    TwoPartKey(ExtendedCode(key, KeyModifiers{.ctrl = true}));
    return;
  }
  if (const uint8_t ch = KeypadChar(final_byte); ch != 0) OneKey(ch);
}

void KeyDecoder::QuietGap() {
  const State form = state_;
  state_ = State::kGround;
  switch (form) {
    case State::kEscape:
      OneKey(kEscape);
      break;
    case State::kCsi:
    case State::kSs3:
      // Escape then "[" or "O" typed by hand; anything longer was a sequence cut
      // short and is dropped.
      if (params_.empty()) {
        OneKey(kEscape);
        OneKey(form == State::kCsi ? '[' : 'O');
      }
      break;
    case State::kLinuxFunction:
    case State::kGround:
      break;
  }
}

std::optional<KeyEvent> KeyDecoder::Next() {
  if (keys_.empty()) return std::nullopt;
  const KeyEvent key = keys_.front();
  keys_.pop_front();
  return key;
}

}  // namespace strikewell
