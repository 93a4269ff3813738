// The state that carries results from one phase of a run to the next. The main
// sequence owns one and passes it by reference, so a test can build any state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "calibration/calibration.h"
#include "display/counter_screen.h"
#include "platform/desktop.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "settings/bells_setup.h"
#include "settings/settings.h"
#include "target/target.h"

namespace strikewell {

// settings, SSS and SSSI come from CalibrationState; WindowFound, WindowTitle and
// SaveWnd from TargetWindow.
struct RunState : CalibrationState, TargetWindow {
  SerHandle SerialHandle = 0;

  bool TerminateProgram = false;
  int32_t MyCounter = 0;
  int32_t SNum = 0;

  CounterScreen screen;

  // Set when the port rings several bells: counting takes its sources, pulses per blow,
  // delays and keys from here, and settings names only the port's lines.
  std::optional<BellsSetup> several_bells;
};

}  // namespace strikewell
