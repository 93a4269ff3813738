// Settings records said in a ringer's terms: which lines (or which character of the
// interface box) the sensor uses, how many pulses make a blow and the bell delay.
// Fields not named stay as calibration leaves them for that kind of sensor.
#pragma once

#include <cstdint>
#include <string>

#include "fake_serial.h"
#include "settings/settings.h"

namespace strikewell::testing {

inline constexpr const char* kCom3 = "\\\\.\\COM3";

// A sensor on modem-status lines: LineSensor{.lines = {.cts = true}, .bell_delay_ms = 250}.
struct LineSensor {
  std::string port = kCom3;
  Lines lines{};  // the lines counted
  int32_t pulses_per_blow = 1;
  int32_t bell_delay_ms = 0;
};

// An interface box that sends one character per sensor event.
struct BoxSensor {
  std::string port = kCom3;
  uint8_t character = 'B';
  int32_t pulses_per_blow = 1;
  int32_t bell_delay_ms = 0;
  // The box's port can have lines enabled as well; calibration never sets both,
  // but a hand-edited file can.
  Lines lines{};
};

Settings SettingsOf(const LineSensor& sensor);
Settings SettingsOf(const BoxSensor& sensor);

}  // namespace strikewell::testing
