// Calibration of several bells on one port.
#pragma once

#include <string>

#include "calibration/calibration.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/serial.h"
#include "settings/bells_setup.h"

namespace strikewell {

// Opens every listed port and asks how many bells there are and whether a box sends
// characters (and follows the multi-bell convention). Then each bell is rung in
// turn, one handstroke and one backstroke: the first bell's ringing chooses the
// port, and each bell takes the line or character that moved and no earlier bell
// has, with its pulses per blow; a bell whose events do not make whole sensors is
// rung again. A convention box needs no ringing: its characters name the bells. A
// pair is asked which bell is in the left hand; then one delay for all the bells or
// each bell's own. Writes the set-up file; state.settings (the single bell's) is
// left as it was, and every port opened is closed.
CalibrationOutcome CalibrateBells(CalibrationState& state, BellsSetup& setup, Serial& serial,
                                  Console& console, Clock& clock, const std::string& bells_path);

}  // namespace strikewell
