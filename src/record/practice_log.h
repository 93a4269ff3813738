// What the counting loop reports about a practice, as it happens.
#pragma once

#include <cstdint>

namespace strikewell {

// The stroke a blow rang as in Ringing Room's tower; unknown where the server was not
// asked (the window way) or the ring was not sent.
enum class Stroke { kUnknown, kHand, kBack };

struct BlowLine {
  int32_t blow = 0;       // the count as MyCounter shows it; "0" restarts it at 1
  int64_t sensor_us = 0;  // monotonic time of the sensor event that completed the blow
  int64_t key_us = 0;     // monotonic time the key fell due (sensor_us + bell delay)
  bool sent = false;      // false: dropped (the target window was not in front, the
                          // tower's connection was lost, no bell was the ringer's)
  bool keyless = false;   // counting only: there was no key to send
  Stroke stroke = Stroke::kUnknown;
  int32_t bell = 0;  // of several bells, the bell (blow is then its count); else 0
};

// What counting tells about the practice, in order: a blow when its key has fallen due (sent or
// dropped), a zeroing when the ringer pressed "0". Abstract so that counting can be tested with
// a recording fake.
class PracticeLog {
 public:
  virtual ~PracticeLog() = default;
  virtual void Blow(const BlowLine& line) = 0;
  virtual void Zeroed() = 0;
  // The tower's server said that a stroke of the ringer's bell disagreed with its
  // state: another client rang the same bell. Only the tower's way tells this.
  virtual void Disagreed(int32_t /*bell*/) {}
  // The blow just told was dropped because the tower has no such bell (several bells
  // rung directly, the set-up having more than the tower).
  virtual void NotInTower(int32_t /*bell*/) {}
};

}  // namespace strikewell
