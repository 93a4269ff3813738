// The program's main sequence, from console set-up to shutdown.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/desktop.h"
#include "platform/event_wait.h"
#include "platform/network.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "sensor/line_debounce.h"
#include "settings/bells_setup.h"
#include "settings/settings.h"

namespace strikewell {

inline constexpr const char* ProgramVersion =
    "Serialport_Strikewell_v0.5.2.1.1_with_sendkey, 9 June 2020";

struct Platform {
  Serial& serial;
  PortNames& ports;
  Console& console;
  Desktop& desktop;
  Clock& clock;
  EventWait& wait;
  std::string settings_path = kSettingsFileName;
  std::string record_dir{};  // --record DIR: where the practice record goes; "" keeps none
  int32_t debounce_ms = kDefaultDebounceMs;  // --debounce MS
  bool several_bells = false;                // --bells
  std::string bells_path = kBellsFileName;
  int32_t simulate_ms = 0;  // --simulate: the simulated bell's whole pull; 0 rings a real one
  bool count_only = false;  // --count-only: no Ringing Room window, no keys
  // Ringing Room's own connection and the kept login; without them (null) every
  // blow rings by the window's key.
  Network* network = nullptr;
  LoginStore* logins = nullptr;
  std::string tower{};   // --tower: a number or a whole address; "" for none
  std::string server{};  // --server; "" for the default site
  int32_t bell = 0;      // --bell; 0 rings the bell assigned to the ringer
};

// Runs the whole program and returns the process's exit status: 0 for every
// orderly end, non-zero when the run had to stop on an error.
int RunProgram(Platform& platform);

}  // namespace strikewell
