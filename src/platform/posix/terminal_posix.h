// What the counting wait needs of the terminal console beyond RawConsole
// (MakeRawConsole() gives one on Linux).
#pragma once

#include <cstdint>

#include "platform/console.h"

namespace strikewell {

class PosixTerminal : public RawConsole {
 public:
  // The descriptor the ringer's keys arrive on.
  virtual int InputFd() const = 0;
  // The monotonic time (microseconds) from which PollKey gives a key, or finds
  // input ended, without any new byte: a time already past while decoded keys wait;
  // the end of the quiet gap while an Escape waits to be told from the start of a
  // sequence; kNoDeadline when only new input can bring a key.
  virtual int64_t KeyDueMicros() = 0;
  // Readable once the terminal has been resized (SIGWINCH); the wait empties it.
  virtual int ResizeFd() const = 0;
};

}  // namespace strikewell
