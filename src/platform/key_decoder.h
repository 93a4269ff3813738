// Turns the bytes a terminal sends for keys into the program's key codes: plain
// characters as one-part keys, and the escape sequences of arrows, navigation and
// function keys as two-part keys with the keyboard BIOS's extended codes.
//
// A lone Escape and the start of an escape sequence begin with the same byte; only
// time tells them apart. The decoder is told when the terminal has been quiet long
// enough (QuietGap) instead of reading a clock, so it can be tested byte by byte.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "platform/console.h"

namespace strikewell {

class KeyDecoder {
 public:
  void Feed(uint8_t byte);
  // Nothing has arrived for a while: an Escape still waiting for the rest of a
  // sequence was a key of its own.
  void QuietGap();
  // True while the start of an escape sequence is held, waiting for more bytes or
  // for the quiet gap.
  bool InSequence() const { return state_ != State::kGround; }
  // The next decoded key, in the order typed.
  std::optional<KeyEvent> Next();

 private:
  enum class State { kGround, kEscape, kCsi, kSs3, kLinuxFunction };

  void Ground(uint8_t byte);
  void AfterEscape(uint8_t byte);
  void InParameters(uint8_t byte);
  void FinishCsi(uint8_t final_byte);
  void FinishSs3(uint8_t final_byte);
  void OneKey(uint8_t code) { keys_.push_back(KeyEvent{code, false}); }
  void TwoPartKey(uint8_t code) { keys_.push_back(KeyEvent{code, true}); }

  State state_ = State::kGround;
  // Parameter and intermediate bytes of the sequence being read.
  std::string params_;
  bool overlong_ = false;
  // A line feed straight after a carriage return is the same Enter (text piped in
  // from a file with CR LF line ends).
  bool after_cr_ = false;
  std::deque<KeyEvent> keys_;
};

}  // namespace strikewell
