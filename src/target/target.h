// Finding the target window and pressing keys in it.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/console.h"
#include "platform/desktop.h"
#include "run/run_state.h"

namespace strikewell {

inline constexpr std::string_view StringToGet = "Ringing Room";

// The enumeration callback: true goes on to the next window, false stops.
bool NextWindow(RunState& state, Desktop& desktop, WindowHandle Wnd);

// Searches the top-level windows and reports the outcome to the ringer: on success
// "Target window is " + title; otherwise the not-found message, one line of input,
// and TerminateProgram set. Returns WindowFound.
bool FindTargetWindow(RunState& state, Desktop& desktop, Console& console);

void SendKeyString(Desktop& desktop, std::string_view Text);

// The per-blow step: focus test, bell delay, then "j".
void SendAKey(RunState& state, Desktop& desktop, Console& console);

// Once at start-up: the digits 1 to 8 into whatever window is in front.
void KeySendTest(Desktop& desktop, Console& console);

}  // namespace strikewell
