// Ending the program at once from a place that cannot return to the logic, such as
// Xlib's handler for a lost display, without leaving the terminal in raw mode or
// the sensor port held.
#pragma once

#include <string_view>

namespace strikewell {

// Registers a cleanup for EmergencyExit; cleanups run in the order registered. Each
// must be safe to run at any moment (it may interrupt the backend that owns it).
void AddEmergencyCleanup(void (*cleanup)());

// Runs the cleanups, prints message on a line of its own on standard output and
// ends the process with status.
[[noreturn]] void EmergencyExit(std::string_view message, int status);

}  // namespace strikewell
