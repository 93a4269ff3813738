// The counting loop's wait, answered from the scripts of a fake serial port, a fake
// console and a fake network in fake time: it moves the clock straight to the first scripted
// thing it watches, or to the deadline, and records every wait it was asked for.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_network.h"
#include "fake_serial.h"
#include "platform/event_wait.h"

namespace strikewell::testing {

class FakeEventWait : public EventWait {
 public:
  // network may be null: then a wait for network news is never woken by it.
  FakeEventWait(FakeClock& clock, FakeSerial& serial, FakeRawConsole& console,
                FakeNetwork* network = nullptr)
      : clock_(clock), serial_(serial), console_(console), network_(network) {}

  WaitResult Wait(const WaitFor& what) override;

  // 0: a line change wakes the wait the moment it happens, as a driver that reports
  // changes does. Otherwise line changes are only seen at multiples of this period,
  // as by a loop that samples the lines: several changes can fall between looks.
  int64_t line_sample_period_us = 0;

  // A port whose lines cannot be read (status_fails) cannot have their changes
  // waited for: as the real waits do, a wait on its lines says a sample is due at
  // once and then once every this often.
  static constexpr int64_t kUnreadableLinesSampleUs = 1000;

  // Every wait asked for, in order.
  std::vector<WaitFor> waits;

 private:
  // The first scripted line change after the last one reported, if any.
  int64_t NextLineChange(const FakeSerial::Port& port) const;

  FakeClock& clock_;
  FakeSerial& serial_;
  FakeRawConsole& console_;
  FakeNetwork* network_;
  int64_t lines_seen_until_us_ = -1;
  int64_t next_line_sample_us_ = 0;
  // Handles whose loss a wait has reported: a hung-up port reports it once, so
  // that a caller that waits on it again is not woken at once for ever.
  std::set<SerHandle> loss_reported_;
};

}  // namespace strikewell::testing
