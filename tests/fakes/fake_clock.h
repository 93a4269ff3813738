// A clock that advances only when the program sleeps (or a fake device says time
// passed), so timing is exact and tests never wait.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace strikewell::testing {

class FakeClock : public Clock {
 public:
  // start_seconds_of_day: the time of day at fake time 0.
  explicit FakeClock(int32_t start_seconds_of_day = 12 * 3600)
      : start_seconds_of_day_(start_seconds_of_day) {}

  std::string ClockText() override;
  std::string LocalStamp() override { return local_stamp; }
  void Sleep(uint32_t ms) override {
    sleeps.push_back(ms);
    now_us_ += int64_t{ms} * 1000;
  }
  int64_t MonotonicMicros() override { return now_us_; }

  void Advance(int64_t us) { now_us_ += us; }
  int64_t NowMicros() const { return now_us_; }
  int64_t NowMillis() const { return now_us_ / 1000; }

  std::vector<uint32_t> sleeps;  // every Sleep, in order

  // What LocalStamp answers, whatever the time.
  std::string local_stamp = "20261207-120000";

 private:
  int32_t start_seconds_of_day_;
  int64_t now_us_ = 0;
};

}  // namespace strikewell::testing
