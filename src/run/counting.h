// The counting phase: sensor pulses to blows, the counter screen and the strike key
// for every blow, and the ringer's keys.
#pragma once

#include "platform/console.h"
#include "platform/desktop.h"
#include "platform/serial.h"
#include "run/run_state.h"

namespace strikewell {

struct CountingIo {
  Serial& serial;
  Console& console;
  Desktop& desktop;
  Clock& clock;
};

// Runs until a quit key has been read; the port stays open for the caller.
void CountBlows(RunState& state, CountingIo& io);

// Handles at most one waiting key.
void KeyCheck(RunState& state, CountingIo& io);

}  // namespace strikewell
