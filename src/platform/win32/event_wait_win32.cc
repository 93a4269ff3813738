// The counting loop's wait on Windows: one WaitForMultipleObjects over the sensor
// port's overlapped WaitCommEvent, the console's input handle, the network's news
// event and a waitable timer set to the deadline.
#include "platform/win32/event_wait_win32.h"

#include <mmsystem.h>

#include <algorithm>
#include <array>

#include "platform/backends.h"
#include "platform/win32/comm_watch_win32.h"
#include "platform/win32/network_win32.h"

namespace strikewell {
namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 1803), which MinGW-w64's headers
// lack. Older systems refuse the flag with ERROR_INVALID_PARAMETER.
constexpr DWORD kHighResolutionTimerFlag = 0x00000002;
// What cannot be waited for (lines of a driver without events, a pipe on standard
// input) is looked at this often.
constexpr DWORD kPollMs = 1;
// A timer runs at most this long; a later deadline takes several.
constexpr int64_t kLongestTimerUs = int64_t{3600} * 1000 * 1000;

// The system timer at 1 ms from Begin() until destruction, so that a plain timer
// ends within a millisecond of its time instead of on the default 15.6 ms tick.
// winmm is loaded rather than linked, as only systems without high-resolution
// timers need it, and it is loaded when the wait is made, before the program opens
// a port: Wine 8 runs every WaitCommEvent in a thread of its own, and after a few
// of those have ended, loading a DLL hangs the process.
class TimerPeriod {
 public:
  TimerPeriod() : winmm_(LoadLibraryW(L"winmm.dll")) {
    if (winmm_ == nullptr) return;
    begin_ = Function(GetProcAddress(winmm_, "timeBeginPeriod"));
    end_ = Function(GetProcAddress(winmm_, "timeEndPeriod"));
  }
  TimerPeriod(const TimerPeriod&) = delete;
  TimerPeriod& operator=(const TimerPeriod&) = delete;
  ~TimerPeriod() {
    if (begun_) end_(1);
    if (winmm_ != nullptr) FreeLibrary(winmm_);
  }

  void Begin() {
    if (tried_ || begin_ == nullptr || end_ == nullptr) return;
    tried_ = true;
    begun_ = begin_(1) == TIMERR_NOERROR;
  }

 private:
  using PeriodFunction = UINT(WINAPI*)(UINT);
  // Through void (*)(), the type that converts to every function type without a
  // warning.
  static PeriodFunction Function(FARPROC address) {
    return reinterpret_cast<PeriodFunction>(reinterpret_cast<void (*)()>(address));
  }

  HMODULE winmm_;
  PeriodFunction begin_ = nullptr;
  PeriodFunction end_ = nullptr;
  bool tried_ = false;
  bool begun_ = false;
};

class Win32EventWait final : public EventWait {
 public:
  Win32EventWait(Serial& serial, RawConsole& console, Clock& clock, Network* network,
                 WaitTimer preferred)
      : ports_(dynamic_cast<Win32SerialPorts*>(&serial)),
        console_(dynamic_cast<Win32ConsoleInput*>(&console)),
        network_(dynamic_cast<Win32Network*>(network)),
        clock_(clock) {
    if (preferred == WaitTimer::kHighResolution) {
      timer_ = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimerFlag, TIMER_ALL_ACCESS);
      if (timer_ != nullptr) used_ = WaitTimer::kHighResolution;
    }
    if (timer_ == nullptr) timer_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    if (used_ == WaitTimer::kPlain) period_ = std::make_unique<TimerPeriod>();
  }

  Win32EventWait(const Win32EventWait&) = delete;
  Win32EventWait& operator=(const Win32EventWait&) = delete;

  ~Win32EventWait() override {
    Watch(0);
    if (timer_ != nullptr) CloseHandle(timer_);
  }

  WaitTimer used() const { return used_; }

  WaitResult Wait(const WaitFor& what) override;

 private:
  // The watch of port, after the one of any other port has stopped.
  CommWatch* Watch(SerHandle port) {
    if (port != watched_ && watched_ != 0 && ports_ != nullptr) {
      if (CommWatch* old = ports_->WatchPort(watched_)) old->Stop();
    }
    watched_ = port;
    return port != 0 && ports_ != nullptr ? ports_->WatchPort(port) : nullptr;
  }

  // True when the timer now runs until remaining_us from now.
  bool SetTimer(int64_t remaining_us) {
    if (timer_ == nullptr) return false;
    LARGE_INTEGER due;
    // Negative: relative, in units of 100 ns.
    due.QuadPart = -std::clamp<int64_t>(remaining_us, 1, kLongestTimerUs) * 10;
    return SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE) != 0;
  }

  Win32SerialPorts* ports_;     // nullptr: a serial backend that cannot be waited on
  Win32ConsoleInput* console_;  // nullptr: a console that cannot be waited on
  Win32Network* network_;       // nullptr: no network, or one that cannot be waited on
  Clock& clock_;
  HANDLE timer_ = nullptr;
  WaitTimer used_ = WaitTimer::kPlain;
  std::unique_ptr<TimerPeriod> period_;  // with the plain timer only
  SerHandle watched_ = 0;
  SerHandle loss_reported_ = 0;  // the port whose device-gone the wait has reported
};

WaitResult Win32EventWait::Wait(const WaitFor& what) {
  if (period_ != nullptr) period_->Begin();
  const DWORD wanted = (what.lines ? kLineEvents : 0) | (what.data ? EV_RXCHAR : 0);
  CommWatch* watch = Watch(wanted != 0 ? what.port : 0);
  // Ports and consoles of other backends (a test's) are looked at every millisecond.
  const bool foreign_port = what.port != 0 && wanted != 0 && ports_ == nullptr;
  const bool foreign_console = what.console && console_ == nullptr;
  const bool foreign_network = what.network && network_ == nullptr;

  WaitResult result;
  bool port_woke = false;  // the last wait ended for the port's event
  for (bool first = true;; first = false) {
    // The time the wait last woke.
    const int64_t now = clock_.MonotonicMicros();
    const auto see_lines = [&](int64_t at_us) {
      result.lines = true;
      result.lines_at_us = at_us;
    };
    const auto see_data = [&](int64_t at_us) {
      result.data = true;
      result.data_at_us = at_us;
    };
    std::array<HANDLE, 4> handles{};
    DWORD count = 0;
    bool poll = foreign_port || foreign_console || foreign_network;

    int port_index = -1;
    if (watch != nullptr) {
      const CommWatch::Seen seen = watch->Update(wanted);
      // Woken by the port, what it reports came before the wake. Otherwise it may
      // have come during the look itself (each call a round trip that a busy system
      // can stretch to milliseconds): it is timed after the look, as a time taken
      // before it could put a blow, and so its key, before the sensor's event.
      const int64_t seen_at = port_woke ? now : clock_.MonotonicMicros();
      // Lines that cannot be waited for are due for a sample at every poll.
      if (seen.lines || (watch->LinesPolled() && !first)) see_lines(seen_at);
      if (seen.data) see_data(seen_at);
      // Once per port: a device that has gone fails every call from now on.
      if (watch->DeviceGone() && what.port != loss_reported_) {
        result.port_lost = true;
        loss_reported_ = what.port;
      }
      if (watch->InFlight()) {
        port_index = static_cast<int>(count);
        handles[count++] = watch->Event();
      }
      poll = poll || watch->LinesPolled() || watch->DataPolled() || !watch->InFlight();
    } else if (foreign_port && !first) {
      if (what.lines) see_lines(now);
      if (what.data) see_data(now);
    }
    if (console_ != nullptr && what.console) {
      if (console_->KeyReady()) result.console = true;
      if (console_->TakeSizeEvent()) result.resized = true;
      if (!result.console) {
        if (HANDLE input = console_->InputEvent()) {
          handles[count++] = input;
        } else {
          poll = true;
        }
      }
    } else if (foreign_console && !first) {
      result.console = true;
    }
    if (network_ != nullptr && what.network) {
      // Signalled for as long as news waits, so it is looked at, not used up.
      HANDLE news = network_->NewsEvent();
      if (WaitForSingleObject(news, 0) == WAIT_OBJECT_0) {
        result.network = true;
      } else {
        handles[count++] = news;
      }
    } else if (foreign_network && !first) {
      result.network = true;
    }
    if (result.lines || result.data || result.console || result.resized || result.port_lost ||
        result.network || now >= what.deadline_us) {
      return result;
    }

    DWORD timeout_ms = poll ? kPollMs : INFINITE;
    if (what.deadline_us != kNoDeadline) {
      const int64_t remaining_us = what.deadline_us - now;
      if (SetTimer(remaining_us)) {
        handles[count++] = timer_;
      } else {
        // No timer: the wait's own time-out, rounded up so as not to end early.
        const int64_t remaining_ms = std::min<int64_t>((remaining_us + 999) / 1000, INFINITE - 1);
        timeout_ms = std::min(timeout_ms, static_cast<DWORD>(remaining_ms));
      }
    }
    port_woke = false;
    if (count == 0) {
      Sleep(timeout_ms);
    } else {
      const DWORD woke = WaitForMultipleObjects(count, handles.data(), FALSE, timeout_ms);
      // A handle the system no longer takes: looked at again shortly, not in a spin.
      if (woke == WAIT_FAILED) Sleep(kPollMs);
      port_woke = port_index >= 0 && woke == WAIT_OBJECT_0 + static_cast<DWORD>(port_index);
    }
  }
}

}  // namespace

std::unique_ptr<EventWait> MakeWin32EventWait(Serial& serial, RawConsole& console, Clock& clock,
                                              WaitTimer preferred, WaitTimer* used,
                                              Network* network) {
  auto wait = std::make_unique<Win32EventWait>(serial, console, clock, network, preferred);
  if (used != nullptr) *used = wait->used();
  return wait;
}

std::unique_ptr<EventWait> MakeEventWait(Serial& serial, RawConsole& console, Clock& clock,
                                         Network* network) {
  return MakeWin32EventWait(serial, console, clock, WaitTimer::kHighResolution, nullptr, network);
}

}  // namespace strikewell
