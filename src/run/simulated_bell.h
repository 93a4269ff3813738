// A simulated bell: a steady ringer on one bell, seen through a sensor like any
// other. Its pulses come through the same Serial calls and the same one wait as a
// real port's, each with its own time, so counting, the keys, the screen and the
// record are the real program's, on every platform and over the fakes alike.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/event_wait.h"
#include "platform/serial.h"
#include "settings/settings.h"

namespace strikewell {

// The port name that settings, the status line and the record show for it.
inline constexpr const char* kSimulatedPortName = "simulated bell";

inline constexpr int32_t kDefaultWholePullMs = 2200;
inline constexpr int32_t kMinWholePullMs = 1000;
inline constexpr int32_t kMaxWholePullMs = 10000;
// Each blow falls within this of the steady rhythm, either way: a good ringer is a
// few milliseconds off, never more, and never drifts.
inline constexpr int64_t kJitterBoundUs = 5000;
// How long the sensor line stays on for one blow, as a real sensor's does while the
// bell passes it; far shorter than the shortest gap (about 470 ms at 1000 ms).
inline constexpr int64_t kPulseUs = 60'000;
// The least time the line stays off between two pulses, so that a blow rung by hand
// next to a scheduled one is still a pulse of its own: well over the sensor lines'
// usual de-bounce time (20 ms), which would take closer changes as one.
inline constexpr int64_t kLeastOffUs = 50'000;
// The first handstroke comes this long after the bell is set going: time to see the
// counter at 0.
inline constexpr int64_t kLeadInUs = 1'000'000;

// A blow's offset from the steady rhythm, in microseconds, within +-kJitterBoundUs.
using Jitter = std::function<int64_t()>;

// Uniform offsets from a seeded generator whose sequence is fixed by the language,
// so that a seed gives the same ringing on every platform.
Jitter RandomJitter(uint64_t seed);

// The handstroke gap (back to hand) of a whole pull: 9 of its 17 parts, as on eight
// bells rung with an open handstroke lead. The backstroke gap is the rest.
int64_t HandstrokeGapUs(int32_t whole_pull_ms);

// Where each blow of a steady ringer falls: a handstroke first, then backstroke and
// handstroke in turn, each off the rhythm by its own jitter.
class SteadyRinger {
 public:
  SteadyRinger(int32_t whole_pull_ms, int64_t first_handstroke_us, Jitter jitter);

  int64_t NextBlowUs() const { return next_us_; }
  bool NextIsHandstroke() const { return blow_ % 2 == 0; }
  void Advance();

 private:
  int64_t NominalUs(int64_t blow) const;

  int64_t whole_pull_us_;
  int64_t handstroke_gap_us_;
  int64_t first_us_;
  Jitter jitter_;
  int64_t blow_ = 0;
  int64_t next_us_ = 0;
};

// The sensor: the one port "simulated bell", whose CTS is on for kPulseUs at every
// blow. Its lines read as the last edge that the wait has told of (TellNextEdge), so
// that every edge reaches counting with its own time, however late a pass looks.
class SimulatedBell : public Serial {
 public:
  // The first handstroke comes kLeadInUs after now.
  SimulatedBell(Clock& clock, int32_t whole_pull_ms, Jitter jitter);

  // One more blow, now (or, where a pulse is on or due within kPulseUs, just after
  // it): the ringer's own, outside the steady rhythm.
  void RingByHand();

  // The next edge of the line not yet told, rising or falling.
  int64_t NextEdgeUs() const;
  // The wait has passed that edge: line reads now show it.
  void TellNextEdge();

  SerHandle handle() const { return kHandle; }

  SerHandle SerOpen(const std::string& device_name) override;
  void SerSetParams(SerHandle, int32_t, int32_t, TParityType, int32_t, TSerialFlags) override {}
  void SerSetRTS(SerHandle, bool) override {}
  void SerSetDTR(SerHandle, bool) override {}
  bool SerGetCTS(SerHandle handle) override { return handle == kHandle && open_ && on_; }
  bool SerGetDSR(SerHandle) override { return false; }
  bool SerGetCD(SerHandle) override { return false; }
  bool SerGetRI(SerHandle) override { return false; }
  int32_t SerReadTimeout(SerHandle, uint8_t*, int32_t) override { return 0; }
  // Each edge is told on its own, so the samples alone see every one.
  bool SerGetLineCounts(SerHandle, LineCounts&) override { return false; }
  void SerSetLowLatency(SerHandle) override {}
  bool SerPortLost(SerHandle) override { return false; }
  int32_t SerLatencyTimerMs(SerHandle) override { return 0; }
  void SerSync(SerHandle) override {}
  void SerFlushOutput(SerHandle) override {}
  void SerClose(SerHandle handle) override;

 private:
  static constexpr SerHandle kHandle = 1;

  // Whether the next pulse to start is one rung by hand.
  bool NextPulseByHand() const;

  Clock& clock_;
  SteadyRinger ringer_;
  std::deque<int64_t> by_hand_;  // starts of the pulses rung by hand, in order
  bool open_ = false;
  bool on_ = false;  // the line, as last told
  // Of the pulse told last; none yet is far enough back to be in no pulse's way.
  int64_t pulse_start_us_ = std::numeric_limits<int64_t>::min() / 2;
  int64_t told_us_ = 0;
};

// The counting loop's wait with the simulated bell's port in it: a wait on that
// port's lines ends at the bell's next edge, reported with the edge's own time;
// everything else (keys, the window's size, deadlines) is the real wait's.
class SimulatedBellWait : public EventWait {
 public:
  SimulatedBellWait(SimulatedBell& bell, EventWait& real, Clock& clock)
      : bell_(bell), real_(real), clock_(clock) {}

  WaitResult Wait(const WaitFor& what) override;

 private:
  SimulatedBell& bell_;
  EventWait& real_;
  Clock& clock_;
};

// The bell and its wait over the real one, set going when made.
struct SimulatedSensor {
  SimulatedSensor(Clock& clock, EventWait& real, int32_t whole_pull_ms, Jitter jitter)
      : bell(clock, whole_pull_ms, std::move(jitter)), wait(bell, real, clock) {}

  SimulatedBell bell;
  SimulatedBellWait wait;
};

// The settings that count the simulated bell: its CTS, one pulse a blow, the given
// bell delay.
Settings SimulatedBellSettings(int32_t bell_delay);

// Tells the ringer what the simulated bell does and returns the bell delay: the stored
// calibration's, else asked as calibration asks it. The settings file is only read, never
// made or written: a simulated port must never replace a real calibration.
int32_t IntroduceSimulatedBell(int32_t whole_pull_ms, Console& console,
                               const std::string& settings_path);

}  // namespace strikewell
