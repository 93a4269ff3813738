// A modem-status line as a bell's sensor drives it, with contact bounce taken out.
// A reed switch, or an optical sensor on a slowly passing edge, flickers several
// times on each edge; a driver that counts line interrupts reports every flicker.
// A bell's pulses are hundreds of milliseconds apart, so changes closer together
// than the de-bounce time are taken as one.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace strikewell {

inline constexpr int32_t kDefaultDebounceMs = 20;
inline constexpr int32_t kMaxDebounceMs = 1000;

// How many times a line went from off to on, given its state at the last look, the
// number of changes a driver counted since, and its state now. Where the count and
// the two states disagree (a driver that counts only one edge, or a change that
// raced the count), the states decide the parity.
int32_t RisingChanges(bool was_on, uint32_t changes, bool now_on);

// Rising edges taken at one look at a line, and the time of the first of them.
struct TakenRises {
  int32_t count = 0;
  int64_t at_us = 0;
};

// One line. After a change is taken (rising or falling), further changes within the
// de-bounce time count nothing; once it is up the level is read again, and a change
// from the last taken level is taken then. So a clean pulse shorter than the
// de-bounce time counts once, at its rising edge, and a flickering edge counts once,
// at its first change. A de-bounce time of 0 takes every change.
class LineDebounce {
 public:
  static constexpr int64_t kNoRecheck = std::numeric_limits<int64_t>::max();

  LineDebounce() = default;
  explicit LineDebounce(int32_t debounce_ms, bool level = false)
      : debounce_us_(int64_t{debounce_ms} * 1000), level_(level) {}

  // The line is at this level now and nothing before counts: at the start, and when
  // a port that was lost is back.
  void Reset(bool level);

  // A look at the line at at_us: its level now, and the changes the driver counted
  // since the last look (nullopt where the driver keeps no counts and only the
  // levels tell). Looks must come in time order.
  TakenRises Look(bool now_on, std::optional<uint32_t> changes, int64_t at_us);

  // When the line must be looked at again although nothing may wake the caller for
  // it (the end of a de-bounce time); kNoRecheck when no look is owed.
  int64_t RecheckAt() const { return recheck_ ? quiet_until_us_ : kNoRecheck; }

  // The last level taken.
  bool level() const { return level_; }

 private:
  TakenRises Take(bool level, int64_t at_us, int64_t edge_us);

  int64_t debounce_us_ = 0;
  bool level_ = false;
  int64_t quiet_until_us_ = 0;
  bool recheck_ = false;
  // The first change seen while changes counted nothing: where the line left the
  // taken level, which is the edge a change taken at the recheck stands for.
  std::optional<int64_t> first_ignored_us_;
};

}  // namespace strikewell
