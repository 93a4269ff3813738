// Self-calibration: finding the sensor's port, its signal lines and the pulses per
// blow from one handstroke and one backstroke, then the bell delay.
#pragma once

#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "sensor/line_debounce.h"
#include "settings/settings.h"

namespace strikewell {

// What calibration works on: the ports listed at start, and the settings it fills
// in. The run keeps them from one phase to the next.
struct CalibrationState {
  Settings settings;
  PortListType SSS;
  int32_t SSSI = 0;
  // Changes of a sensor line closer together than this are one change (--debounce,
  // which the run sets); not part of the settings, which other programs read.
  int32_t debounce_ms = 0;
};

enum class CalibrationOutcome {
  Calibrated,    // settings filled and written
  NoPortOpened,  // the ringer has been told what to check; the run ends
};

// Scans every port of state.SSS, records the ringing, chooses the port, asks for
// the bell delay and writes the settings file. Every port it opened is closed.
CalibrationOutcome Calibrate(CalibrationState& state, Serial& serial, Console& console,
                             Clock& clock, const std::string& settings_path);

// Asks for the bell delay in milliseconds until the ringer types a whole number.
void AskBellDelay(Settings& settings, Console& console);

}  // namespace strikewell
