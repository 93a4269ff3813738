// Finding the target window and pressing keys in it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/console.h"
#include "platform/desktop.h"

namespace strikewell {

inline constexpr std::string_view StringToGet = "Ringing Room";

// The window the keys go to, as the search found it. The run keeps it from one
// phase to the next.
struct TargetWindow {
  bool WindowFound = false;
  std::string WindowTitle;
  WindowHandle SaveWnd = 0;
};

// The enumeration callback: true goes on to the next window, false stops.
bool NextWindow(TargetWindow& state, Desktop& desktop, WindowHandle Wnd);

// True while the target window exists and its title still holds StringToGet. A
// window id can outlive its window: an X server hands a departed client's ids to the
// next one, and Windows can reuse a window handle, so an id that still names a
// window may name somebody else's.
bool IsTargetStill(const TargetWindow& state, Desktop& desktop);

// Searches the top-level windows afresh: the first whose title holds StringToGet is
// brought to the front and becomes the target. Returns WindowFound; prints nothing.
bool SearchWindows(TargetWindow& state, Desktop& desktop);

// Searches the top-level windows and reports the outcome to the ringer: on success
// "Target window is " + title; otherwise the not-found message and one line of
// input. Returns WindowFound.
bool FindTargetWindow(TargetWindow& state, Desktop& desktop, Console& console);

// Presses and releases a key for every character, by its 8-bit code: 250..255 press
// and release Shift, Ctrl, Alt (held until released); 240..249 navigation keys;
// 228..239 F1..F12; a..m their letter keys; other codes below 110 taken as virtual
// keys; 110..227 through the keyboard layout, with Shift around the key when the
// layout wants a modifier and none is held. A character the layout cannot type is
// left out.
void SendKeyString(Desktop& desktop, std::string_view Text);

// Presses the key that types ch in the desktop's keyboard layout, with Shift when
// the layout wants it. SendKeyString takes codes below 110 as virtual keys, which
// for "-" (Insert) and "=" would press the wrong key.
void TypeCharacter(Desktop& desktop, char ch);

// The per-blow key, when it falls due: with the target window in front, "j" and
// true; otherwise the suspension notice on a cleared screen and false (the key is
// dropped: a stroke sent late is worse than none).
bool SendAKey(TargetWindow& state, Desktop& desktop, Console& console);
// SendAKey with the foreground window that the caller has just read: the counting
// loop reads it once per key, for this and to tell a closed target from one behind
// another window, since each read is a round trip to the windowing system.
// bell_key: the key to press, "j" for the single bell or a bell's own key of several.
bool SendAKeyWithForeground(const TargetWindow& state, WindowHandle foreground, Desktop& desktop,
                            Console& console, char bell_key = 'j');

// The two lines that replace the counter while keys are being dropped.
void ShowFocusNotice(Console& console);

// How long after its sensor event a blow's key falls due. A bell delay outside
// 0..65535 ms waits as long as the nearer end of that range, never a wrapped-around
// time.
int64_t BellDelayMicros(int32_t BellDelay);

// Once at start-up: the digits 1 to 8 into whatever window is in front.
void KeySendTest(Desktop& desktop, Console& console);

}  // namespace strikewell
