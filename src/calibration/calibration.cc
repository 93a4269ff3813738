#include "calibration/calibration.h"

#include "calibration/port_table.h"
#include "settings/settings.h"

namespace strikewell {

CalibrationOutcome Calibrate(CalibrationState& state, Serial& serial, Console& console,
                             Clock& clock, const std::string& settings_path) {
  PortTable table;
  PortCloser closer(table, serial);
  if (!OpenCalibrationPorts(state, table, serial, console)) {
    return CalibrationOutcome::NoPortOpened;
  }
  RecordPulses(state, table, serial, console, clock);
  SummariseAndTakeOver(state, table, serial, console);
  AskBellDelay(state.settings, console);
  WriteSettings(state.settings, settings_path);
  return CalibrationOutcome::Calibrated;
}

}  // namespace strikewell
