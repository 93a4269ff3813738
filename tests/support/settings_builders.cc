#include "settings_builders.h"

namespace strikewell::testing {

Settings SettingsOf(const LineSensor& sensor) {
  return Settings{.ComPortName = sensor.port,
                  .UseCts = sensor.lines.cts,
                  .UseDsr = sensor.lines.dsr,
                  .UseCd = sensor.lines.cd,
                  .UseRi = sensor.lines.ri,
                  .SensorNum = sensor.pulses_per_blow,
                  .BellDelay = sensor.bell_delay_ms};
}

Settings SettingsOf(const BoxSensor& sensor) {
  Settings settings = SettingsOf(LineSensor{.port = sensor.port,
                                            .lines = sensor.lines,
                                            .pulses_per_blow = sensor.pulses_per_blow,
                                            .bell_delay_ms = sensor.bell_delay_ms});
  settings.UseDat = true;
  settings.UseDatNum = sensor.character;
  return settings;
}

}  // namespace strikewell::testing
