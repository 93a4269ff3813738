// What the Windows wait shares with the console backend and with its tests beyond
// MakeEventWait().
#pragma once

#include <windows.h>

#include <memory>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/event_wait.h"
#include "platform/network.h"
#include "platform/serial.h"

namespace strikewell {

// The console backend as the wait sees it (MakeRawConsole() gives one).
class Win32ConsoleInput : public RawConsole {
 public:
  // The handle that is signalled while console input waits; nullptr where input
  // cannot be waited for (a pipe or a file): it is then looked at every millisecond.
  virtual HANDLE InputEvent() = 0;
  // Reads what waits now without waiting: the first key is kept for PollKey, other
  // input records (focus, mouse, window size, key releases) are used up as PollKey
  // would use them, so that they do not keep the input handle signalled. True when
  // a key is ready or input has ended.
  virtual bool KeyReady() = 0;
  // True once after KeyReady or PollKey used up a window-size record: the window
  // may have a new size.
  virtual bool TakeSizeEvent() = 0;
};

enum class WaitTimer {
  // A high-resolution waitable timer where the system has one (Windows 10 1803 and
  // later), else kPlain.
  kHighResolution,
  // A plain waitable timer, with the system timer at 1 ms (timeBeginPeriod) from the
  // first wait until the wait is destroyed.
  kPlain,
};

// MakeEventWait() with the timer chosen; *used (if given) says which one it got.
std::unique_ptr<EventWait> MakeWin32EventWait(Serial& serial, RawConsole& console, Clock& clock,
                                              WaitTimer preferred, WaitTimer* used = nullptr,
                                              Network* network = nullptr);

}  // namespace strikewell
