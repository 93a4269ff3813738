#include "run/simulated_bell.h"

#include <algorithm>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "calibration/calibration.h"

namespace strikewell {
namespace {

// Milliseconds as seconds with two decimals: 2200 as "2.20".
std::string Fixed2(int32_t ms) {
  const std::string hundredths = std::to_string(ms % 1000 / 10);
  return std::to_string(ms / 1000) + "." + (hundredths.size() < 2 ? "0" : "") + hundredths;
}

}  // namespace

Jitter RandomJitter(uint64_t seed) {
  // minstd_rand's sequence is fixed by the standard, unlike the distributions'.
  auto engine = std::make_shared<std::minstd_rand>(static_cast<uint32_t>(seed ^ (seed >> 32)));
  return [engine] {
    constexpr uint32_t kSpan = 2 * kJitterBoundUs + 1;
    return static_cast<int64_t>((*engine)() % kSpan) - kJitterBoundUs;
  };
}

int64_t HandstrokeGapUs(int32_t whole_pull_ms) { return int64_t{whole_pull_ms} * 1000 * 9 / 17; }

SteadyRinger::SteadyRinger(int32_t whole_pull_ms, int64_t first_handstroke_us, Jitter jitter)
    : whole_pull_us_(int64_t{whole_pull_ms} * 1000),
      handstroke_gap_us_(HandstrokeGapUs(whole_pull_ms)),
      first_us_(first_handstroke_us),
      jitter_(std::move(jitter)) {
  next_us_ = NominalUs(0) + jitter_();
}

int64_t SteadyRinger::NominalUs(int64_t blow) const {
  // A handstroke starts each whole pull; its backstroke follows a backstroke gap later.
  const int64_t backstroke_gap_us = whole_pull_us_ - handstroke_gap_us_;
  return first_us_ + blow / 2 * whole_pull_us_ + (blow % 2 == 1 ? backstroke_gap_us : 0);
}

void SteadyRinger::Advance() {
  ++blow_;
  // Off the rhythm, not off the last blow: the ringer never drifts.
  next_us_ = NominalUs(blow_) + jitter_();
}

SimulatedBell::SimulatedBell(Clock& clock, int32_t whole_pull_ms, Jitter jitter)
    : clock_(clock),
      ringer_(whole_pull_ms, clock.MonotonicMicros() + kLeadInUs, std::move(jitter)),
      told_us_(clock.MonotonicMicros()) {}

SerHandle SimulatedBell::SerOpen(const std::string& device_name) {
  if (device_name != kSimulatedPortName || open_) return 0;
  open_ = true;
  return kHandle;
}

void SimulatedBell::SerClose(SerHandle handle) {
  if (handle == kHandle) open_ = false;
}

void SimulatedBell::RingByHand() {
  // Every pulse that could be in the way: the one told last, the next scheduled one
  // and those already rung by hand. Pulses never overlap, or one would hide another.
  std::vector<int64_t> taken(by_hand_.begin(), by_hand_.end());
  taken.push_back(pulse_start_us_);
  taken.push_back(ringer_.NextBlowUs());
  int64_t start = std::max(clock_.MonotonicMicros(), told_us_);
  for (bool moved = true; moved;) {
    moved = false;
    for (const int64_t other : taken) {
      if (start > other - kPulseUs - kLeastOffUs && start < other + kPulseUs + kLeastOffUs) {
        start = other + kPulseUs + kLeastOffUs;
        moved = true;
      }
    }
  }
  by_hand_.insert(std::upper_bound(by_hand_.begin(), by_hand_.end(), start), start);
}

bool SimulatedBell::NextPulseByHand() const {
  return !by_hand_.empty() && by_hand_.front() < ringer_.NextBlowUs();
}

int64_t SimulatedBell::NextEdgeUs() const {
  if (on_) return pulse_start_us_ + kPulseUs;
  const int64_t next = NextPulseByHand() ? by_hand_.front() : ringer_.NextBlowUs();
  // A pulse never starts inside the one before or right after it, or time would run
  // backwards: a scheduled blow among a run of blows by hand waits until the line has
  // been off a while.
  return std::max(next, pulse_start_us_ + kPulseUs + kLeastOffUs);
}

void SimulatedBell::TellNextEdge() {
  const int64_t edge = NextEdgeUs();
  if (!on_) {
    if (NextPulseByHand()) {
      by_hand_.pop_front();
    } else {
      ringer_.Advance();
    }
    pulse_start_us_ = edge;
  }
  on_ = !on_;
  told_us_ = edge;
}

WaitResult SimulatedBellWait::Wait(const WaitFor& what) {
  if (what.port == 0 || what.port != bell_.handle()) return real_.Wait(what);
  // The real wait has no such port: it watches the rest, until the bell's next edge.
  WaitFor rest = what;
  rest.port = 0;
  rest.lines = false;
  rest.data = false;
  const int64_t edge = bell_.NextEdgeUs();
  if (what.lines) rest.deadline_us = std::min(rest.deadline_us, edge);
  WaitResult result = real_.Wait(rest);
  if (what.lines && clock_.MonotonicMicros() >= edge) {
    bell_.TellNextEdge();
    result.lines = true;
    result.lines_at_us = edge;
  }
  return result;
}

Settings SimulatedBellSettings(int32_t bell_delay) {
  Settings settings;
  settings.ComPortName = kSimulatedPortName;
  settings.UseCts = true;
  settings.SensorNum = 1;
  settings.BellDelay = bell_delay;
  return settings;
}

int32_t IntroduceSimulatedBell(int32_t whole_pull_ms, Console& console,
                               const std::string& settings_path) {
  console.WriteLn();
  console.WriteLn("Simulated bell: a handstroke every " + Fixed2(whole_pull_ms) +
                  " s whole pull; no serial port is used.");
  Settings stored;
  const SettingsText text = PeekSettings(stored, settings_path);
  if (!text.malformed.empty()) console.WriteLn(text.malformed);
  if (text.held_anything && text.malformed.empty()) {
    console.WriteLn("Bell delay " + std::to_string(stored.BellDelay) +
                    " ms, from the stored calibration.");
    return stored.BellDelay;
  }
  Settings asked;
  AskBellDelay(asked, console);
  return asked.BellDelay;
}

}  // namespace strikewell
