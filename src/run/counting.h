// The counting phase: sensor pulses to blows, the counter screen and the strike key
// for every blow, and the ringer's keys. An event loop: one wait for whatever comes
// first (a sensor event, a key, the next key falling due), so that no wait ever
// holds up another blow's key.
#pragma once

#include <string>

#include "platform/console.h"
#include "platform/desktop.h"
#include "platform/event_wait.h"
#include "platform/serial.h"
#include "record/practice_log.h"
#include "run/run_state.h"
#include "sensor/line_debounce.h"
#include "tower/tower_link.h"

namespace strikewell {

class SimulatedBell;

struct CountingIo {
  Serial& serial;
  Console& console;
  Desktop& desktop;
  Clock& clock;
  EventWait& wait;
  // Told of every blow as its key falls due, and of every zeroing; may be null.
  PracticeLog* log = nullptr;
  // The simulated bell, which the space bar rings by hand; null for a real sensor.
  SimulatedBell* simulated_bell = nullptr;
  // No Ringing Room: every blow is counted and recorded, and no key is sent for any.
  bool count_only = false;
  // Under the counter all the time (what kind of practice this is), or "".
  std::string practice_note{};
  // Set: each blow rings the ringer's bell through the tower's connection instead
  // of a key in the window.
  TowerLink* tower = nullptr;
};

// Runs until a quit key has been read and every key owed by then has been sent or
// dropped at its due time; the port stays open for the caller.
void CountBlows(RunState& state, CountingIo& io);

// Handles at most one waiting key; returns it (0 for a two-part key), or -1 when
// none was waiting.
int KeyCheck(RunState& state, CountingIo& io);

}  // namespace strikewell
