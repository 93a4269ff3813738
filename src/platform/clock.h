// Time of day, waits and a monotonic clock. Abstract so that tests run on a fake
// clock that advances only when the program sleeps: timing is then exact and instant.
#pragma once

#include <cstdint>
#include <string>

namespace strikewell {

class Clock {
 public:
  virtual ~Clock() = default;
  // The local time of day as eight characters: hh:mm:ss.
  virtual std::string ClockText() = 0;
  // The local date and time as fifteen characters, YYYYMMDD-HHMMSS: names a record file.
  virtual std::string LocalStamp() = 0;
  // Blocks the whole program for ms milliseconds.
  virtual void Sleep(uint32_t ms) = 0;
  // Microseconds on a clock that never goes backwards; for measuring only.
  virtual int64_t MonotonicMicros() = 0;
};

}  // namespace strikewell
