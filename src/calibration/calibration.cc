#include "calibration/calibration.h"

#include "calibration/port_table.h"
#include "settings/settings.h"

namespace strikewell {
namespace {

// Closes the calibration ports on every way out, so that a ringer who leaves in the
// middle (console input ended) does not leave them held.
class PortCloser {
 public:
  PortCloser(PortTable& table, Serial& serial) : table_(table), serial_(serial) {}
  ~PortCloser() { CloseCalibrationPorts(table_, serial_); }
  PortCloser(const PortCloser&) = delete;
  PortCloser& operator=(const PortCloser&) = delete;

 private:
  PortTable& table_;
  Serial& serial_;
};

}  // namespace

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
