#include "platform/win32/comm_watch_win32.h"

namespace strikewell {
namespace {

// A line that keeps changing faster than the watch can start its next wait must
// not hold the caller: after this many rounds it is reported and looked at again
// on the next call.
constexpr int kMaxRounds = 8;

}  // namespace

bool DeviceGoneError(DWORD error) {
  return error == ERROR_BAD_COMMAND || error == ERROR_ACCESS_DENIED ||
         error == ERROR_OPERATION_ABORTED || error == ERROR_DEVICE_REMOVED ||
         error == ERROR_GEN_FAILURE || error == ERROR_NOT_READY || error == ERROR_BROKEN_PIPE;
}

bool AddLineTransitions(DWORD before, DWORD after, DWORD events, LineCounts& counts) {
  struct Line {
    DWORD status_bit;
    DWORD event;
    uint32_t LineCounts::*count;
  };
  static constexpr Line kLines[] = {
      {MS_CTS_ON, EV_CTS, &LineCounts::cts},
      {MS_DSR_ON, EV_DSR, &LineCounts::dsr},
      {MS_RLSD_ON, EV_RLSD, &LineCounts::cd},
      {MS_RING_ON, EV_RING, &LineCounts::ri},
  };
  bool moved = false;
  for (const Line& line : kLines) {
    uint32_t transitions = 0;
    if (((before ^ after) & line.status_bit) != 0) {
      transitions = 1;
    } else if ((events & line.event) != 0) {
      transitions = 2;
    }
    counts.*line.count += transitions;
    moved = moved || transitions != 0;
  }
  return moved;
}

CommWatch::CommWatch(HANDLE port) : port_(port) {
  // Manual reset: it stays signalled until the next wait starts, however many
  // times the caller looks at it.
  overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CommWatch::~CommWatch() {
  Stop();
  if (overlapped_.hEvent != nullptr) CloseHandle(overlapped_.hEvent);
}

CommWatch::Seen CommWatch::Update(DWORD wanted) {
  Seen seen;
  wanted &= kLineEvents | EV_RXCHAR;
  if (wanted != wanted_) {
    Stop();
    wanted_ = wanted;
    Start();
  }
  if (wanted_ == 0) return seen;
  if (in_flight_ && WaitForSingleObject(overlapped_.hEvent, 0) == WAIT_OBJECT_0) {
    in_flight_ = false;
    DWORD size = 0;
    if (GetOverlappedResult(port_, &overlapped_, &size, FALSE)) {
      reported_ |= events_;
    } else {
      // Wine ends the wait with an error on a port whose lines it cannot read (a pty
      // without modem lines), even when only bytes were asked for. Its error
      // (ERROR_OPERATION_ABORTED) says nothing of the device: the calls that look at
      // the port from now on find out whether it has gone.
      refused_ = true;
      counting_ = false;
    }
  }
  if (!in_flight_ && !refused_) Rearm(seen);
  // Windows reports a byte when it arrives, not while it waits: bytes that came
  // before the mask was set show only here.
  if ((wanted_ & EV_RXCHAR) != 0 && !seen.data && DataWaiting()) seen.data = true;
  return seen;
}

void CommWatch::Start() {
  refused_ = overlapped_.hEvent == nullptr;
  reported_ = 0;
  mask_ = wanted_ & EV_RXCHAR;
  DWORD status = 0;
  counting_ = !refused_ && (wanted_ & kLineEvents) != 0 && GetCommModemStatus(port_, &status);
  if (counting_) {
    known_ = status;
    mask_ |= wanted_ & kLineEvents;
  }
}

void CommWatch::Rearm(Seen& seen) {
  const auto account = [&] {
    if (counting_) {
      DWORD status = 0;
      if (!GetCommModemStatus(port_, &status)) {
        // The device has gone or stopped answering: its lines read off from now on
        // and are looked at, not waited for.
        NoteFailure();
        counting_ = false;
        mask_ &= ~kLineEvents;
        seen.lines = true;
      } else {
        if (AddLineTransitions(known_, status, reported_, counts_)) seen.lines = true;
        known_ = status;
      }
    }
    if ((reported_ & EV_RXCHAR) != 0) seen.data = true;
    reported_ = 0;
  };

  for (int round = 0; round < kMaxRounds; ++round) {
    account();
    if (mask_ == 0) return;
    // Windows forgets here what it collected before: all of that happened before
    // the status read just made, and is counted from it.
    if (!SetCommMask(port_, mask_)) {
      NoteFailure();
      refused_ = true;
      counting_ = false;
      return;
    }
    events_ = 0;
    ResetEvent(overlapped_.hEvent);
    if (WaitCommEvent(port_, &events_, &overlapped_)) {
      reported_ = events_;
      if ((events_ & EV_RXCHAR) != 0) {
        // Wine reports bytes for as long as they wait: another wait would end at
        // once, until the caller has read them.
        account();
        return;
      }
      continue;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
      NoteFailure();
      refused_ = true;
      counting_ = false;
      return;
    }
    in_flight_ = true;
    DWORD again = 0;
    if (!counting_ || !GetCommModemStatus(port_, &again) || again == known_) return;
    // A change between the status read and the start of the wait: Windows reports
    // it as an event, Wine never does. Counted from the status on the next round.
    Cancel();
  }
  account();
}

void CommWatch::Cancel() {
  if (!in_flight_) return;
  // A new mask ends a wait in flight with no events. Wine's wait is a thread of its
  // own that polls the port every millisecond and that only a new mask stops; no
  // CancelIoEx reaches it.
  SetCommMask(port_, mask_);
  CancelIoEx(port_, &overlapped_);
  // Returns once the wait has ended, cancelled or completed just before: only then
  // may the OVERLAPPED and events_ be reused or freed.
  DWORD size = 0;
  if (GetOverlappedResult(port_, &overlapped_, &size, TRUE)) reported_ |= events_;
  in_flight_ = false;
}

void CommWatch::Stop() {
  Cancel();
  if (mask_ != 0) SetCommMask(port_, 0);
  wanted_ = 0;
  mask_ = 0;
  refused_ = false;
  counting_ = false;
  reported_ = 0;
}

bool CommWatch::LinesPolled() const { return (wanted_ & kLineEvents) != 0 && !counting_; }

bool CommWatch::DataPolled() const { return (wanted_ & EV_RXCHAR) != 0 && refused_; }

bool CommWatch::DataWaiting() {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(port_, &errors, &status)) {
    NoteFailure();
    return false;
  }
  return status.cbInQue > 0;
}

void CommWatch::NoteFailure() {
  if (DeviceGoneError(GetLastError())) gone_ = true;
}

bool CommWatch::Counts(LineCounts& counts) const {
  if (!counting_) return false;
  counts = counts_;
  return true;
}

}  // namespace strikewell
