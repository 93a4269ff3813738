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
  return Settings{.ComPortName = sensor.port,
                  .UseCts = sensor.lines.cts,
                  .UseDsr = sensor.lines.dsr,
                  .UseCd = sensor.lines.cd,
                  .UseRi = sensor.lines.ri,
                  .UseDat = true,
                  .UseDatNum = sensor.character,
                  .SensorNum = sensor.pulses_per_blow,
                  .BellDelay = sensor.bell_delay_ms};
}

}  // namespace strikewell::testing
