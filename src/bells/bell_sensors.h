// Sensor events into blows for a set-up of several bells: each source (a modem line
// of the port, or a character from the box) belongs to one bell, with its own pulse
// count, its own pulses per blow and its own bell delay. A blow of one bell never
// waits for, or counts towards, another's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "sensor/line_debounce.h"
#include "settings/bells_setup.h"

namespace strikewell {

// A blow of one bell, with the times of its key (or ring).
struct BellBlow {
  int32_t bell = 0;
  int64_t sensor_us = 0;  // the sensor event that completed the blow
  int64_t due_us = 0;     // sensor_us + that bell's delay
  int32_t MyCounter = 0;  // the bell's count with this blow
  bool operator==(const BellBlow&) const = default;
};

// One look at a modem line: its level now, and the changes the driver counted since
// the last look (nullopt where the driver keeps no counts).
struct LineLook {
  bool on = false;
  std::optional<uint32_t> changes;
};

// The four modem lines in the order of BellSource: CTS, DSR, CD, RI.
using LineLooks = std::array<LineLook, 4>;

// What the counter shows of one bell.
struct BellCount {
  int32_t bell = 0;
  int32_t MyCounter = 0;
  int32_t SNum = 0;
  // Microseconds between the bell's last two blows; 0 before its second blow.
  int64_t last_interval_us = 0;
  int64_t last_blow_us = 0;
};

class BellSensors {
 public:
  BellSensors(const BellsSetup& setup, int32_t debounce_ms);

  // True when some bell's sensor is on this modem line (CTS..RI).
  bool UsesLine(BellSource line) const;
  bool UsesAnyLine() const;
  bool UsesCharacters() const;

  // The lines' levels as they are now become the base from which rising changes
  // count: at the start, and when a lost port is back. A line already on counts
  // only after it goes off and on again.
  void TakeLineLevels(const std::array<bool, 4>& levels);

  // The blows that a look at the lines at at_us completes, in time order. Looks
  // must come in time order; lines no bell uses are not looked at.
  std::vector<BellBlow> LookAtLines(const LineLooks& looks, int64_t at_us);

  // The blow a character from the box completes, if any. A box de-bounces its
  // sensors itself, so every character counts.
  std::optional<BellBlow> Character(uint8_t character, int64_t at_us);

  // When a line must be looked at again though nothing may wake the caller for it.
  int64_t RecheckAt() const;

  // "0": every bell's count starts again; a blow half rung still needs its pulses.
  void Zero();

  // The bells in the order of their numbers.
  const std::vector<BellCount>& Counts() const { return counts_; }
  int32_t Total() const;

 private:
  struct Source {
    BellSource kind;
    uint8_t character;
    size_t bell;  // index into counts_ and setups_
    LineDebounce debounce;
  };

  std::optional<BellBlow> Pulse(size_t bell, int64_t at_us);

  std::vector<BellSetup> setups_;  // in the order of their numbers, as counts_
  std::vector<BellCount> counts_;
  std::vector<Source> sources_;
};

}  // namespace strikewell
