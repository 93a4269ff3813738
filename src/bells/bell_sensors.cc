#include "bells/bell_sensors.h"

#include <algorithm>

#include "target/target.h"

namespace strikewell {

BellSensors::BellSensors(const BellsSetup& setup, int32_t debounce_ms) : setups_(setup.bells) {
  std::sort(setups_.begin(), setups_.end(),
            [](const BellSetup& a, const BellSetup& b) { return a.bell < b.bell; });
  for (size_t i = 0; i < setups_.size(); ++i) {
    counts_.push_back(BellCount{.bell = setups_[i].bell});
    sources_.push_back(
        Source{setups_[i].source, setups_[i].character, i, LineDebounce(debounce_ms)});
  }
}

bool BellSensors::UsesLine(BellSource line) const {
  return std::any_of(sources_.begin(), sources_.end(),
                     [line](const Source& s) { return s.kind == line; });
}

bool BellSensors::UsesAnyLine() const {
  return std::any_of(sources_.begin(), sources_.end(),
                     [](const Source& s) { return s.kind != BellSource::kChar; });
}

bool BellSensors::UsesCharacters() const { return UsesLine(BellSource::kChar); }

void BellSensors::TakeLineLevels(const std::array<bool, 4>& levels) {
  for (Source& source : sources_) {
    if (source.kind != BellSource::kChar) {
      source.debounce.Reset(levels[static_cast<size_t>(source.kind)]);
    }
  }
}

std::vector<BellBlow> BellSensors::LookAtLines(const LineLooks& looks, int64_t at_us) {
  std::vector<BellBlow> blows;
  for (Source& source : sources_) {
    if (source.kind == BellSource::kChar) continue;
    const LineLook& look = looks[static_cast<size_t>(source.kind)];
    const TakenRises rises = source.debounce.Look(look.on, look.changes, at_us);
    for (int32_t i = 0; i < rises.count; ++i) {
      if (auto blow = Pulse(source.bell, rises.at_us)) blows.push_back(*blow);
    }
  }
  // A line whose edge was taken at a recheck stands for an earlier moment than
  // another line's change seen now.
  std::stable_sort(blows.begin(), blows.end(),
                   [](const BellBlow& a, const BellBlow& b) { return a.due_us < b.due_us; });
  return blows;
}

std::optional<BellBlow> BellSensors::Character(uint8_t character, int64_t at_us) {
  for (const Source& source : sources_) {
    if (source.kind == BellSource::kChar && source.character == character) {
      return Pulse(source.bell, at_us);
    }
  }
  return std::nullopt;
}

int64_t BellSensors::RecheckAt() const {
  int64_t next = LineDebounce::kNoRecheck;
  for (const Source& source : sources_) {
    if (source.kind != BellSource::kChar) next = std::min(next, source.debounce.RecheckAt());
  }
  return next;
}

void BellSensors::Zero() {
  for (BellCount& count : counts_) {
    count.MyCounter = 0;
    count.last_interval_us = 0;
  }
}

int32_t BellSensors::Total() const {
  int32_t total = 0;
  for (const BellCount& count : counts_) total += count.MyCounter;
  return total;
}

// An equality test, as for the single bell: a SensorNum of 0 or less never
// completes a blow.
std::optional<BellBlow> BellSensors::Pulse(size_t bell, int64_t at_us) {
  BellCount& count = counts_[bell];
  const BellSetup& setup = setups_[bell];
  ++count.SNum;
  if (count.SNum != setup.SensorNum) return std::nullopt;
  count.SNum = 0;
  count.last_interval_us = count.MyCounter > 0 ? at_us - count.last_blow_us : 0;
  count.last_blow_us = at_us;
  ++count.MyCounter;
  return BellBlow{setup.bell, at_us, at_us + BellDelayMicros(setup.BellDelay), count.MyCounter};
}

}  // namespace strikewell
