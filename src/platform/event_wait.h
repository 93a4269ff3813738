// The one wait of the counting loop. It blocks in the operating system until the
// first of the things that counting reacts to (a byte on the sensor port, a change
// of its modem lines, a key from the ringer) or until the next key falls due, so
// that nothing spins between blows and nothing waits past a key's due time.
// Abstract so that tests answer it from a script in fake time.
#pragma once

#include <cstdint>
#include <limits>

#include "platform/serial.h"

namespace strikewell {

inline constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

// What one wait watches.
struct WaitFor {
  SerHandle port = 0;   // 0: no sensor port to watch
  bool lines = false;   // the port's modem-status input lines
  bool data = false;    // bytes received on the port
  bool console = true;  // the ringer's keys
  // News on a WebSocket of the Network that the wait was made with (a message, the
  // connection opened or closed).
  bool network = false;
  // Monotonic time (Clock::MonotonicMicros) at which the wait ends if nothing else
  // happened first; a time already past returns at once.
  int64_t deadline_us = kNoDeadline;
};

// What was ready when the wait returned. Every flag is a hint to look, never a
// promise: the caller reads the lines, the port and the keys to find out. A wait
// that returns with nothing set has reached its deadline.
struct WaitResult {
  // The lines may have changed; where changes cannot be waited for, a sample is
  // due (at least once a millisecond). lines_at_us: the monotonic time at which
  // the change was seen.
  bool lines = false;
  int64_t lines_at_us = 0;
  // At least one byte is waiting; data_at_us: when it was first seen.
  bool data = false;
  int64_t data_at_us = 0;
  bool console = false;  // console input is waiting (or input has ended)
  bool network = false;  // a WebSocket may have news: take it with WebSocket::Next
  bool resized = false;  // the console window's size may have changed
  // The port reported a hang-up or an error: SerPortLost says whether it is gone.
  bool port_lost = false;
};

class EventWait {
 public:
  virtual ~EventWait() = default;
  // Returns as soon as something watched is ready, else at the deadline (not
  // before it, as closely after it as the system allows).
  virtual WaitResult Wait(const WaitFor& what) = 0;
};

}  // namespace strikewell
