// What the Windows serial backend shares with the counting wait and with its tests
// beyond MakeSerial(): the watch of one port through an overlapped WaitCommEvent.
#pragma once

#include <windows.h>

#include "platform/serial.h"

namespace strikewell {

inline constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

// Errors with which a port answers once its device has gone (a USB adapter pulled
// out), as against a line that is off or no byte waiting. Wine answers a hung-up tty
// with ERROR_NOT_READY (the tty's EIO) and a read with ERROR_BROKEN_PIPE.
bool DeviceGoneError(DWORD error);

// Adds the transitions of the four input lines between two status reads (modem
// status bits, MS_*_ON) to counts, given the line events (EV_*) reported for the
// time between them. A line that reads differently changed (an odd number of
// times; counted once); a line that reads the same although its event was reported
// went and came back (counted twice). True when any line moved.
bool AddLineTransitions(DWORD before, DWORD after, DWORD events, LineCounts& counts);

// One open port's WaitCommEvent, kept in flight between waits so that nothing that
// happens while the counting loop works goes unseen, with the software counts of
// the line changes it reports (Windows keeps no counts of its own).
//
// Windows collects the port's events from the last SetCommMask or completed wait
// on, and a new WaitCommEvent returns at once with those. Wine (8) polls the port
// every millisecond in a thread of its own, compares the lines with their states at
// the moment the WaitCommEvent started and reports bytes for as long as they wait.
// The watch reads the line states just before SetCommMask clears what Windows
// collected, so that an event is counted only for the time after the read it is
// compared with, and reads them once more after the WaitCommEvent has started, for
// the change Wine would never report.
class CommWatch {
 public:
  // port: opened with FILE_FLAG_OVERLAPPED; it must outlive the watch.
  explicit CommWatch(HANDLE port);
  ~CommWatch();
  CommWatch(const CommWatch&) = delete;
  CommWatch& operator=(const CommWatch&) = delete;

  struct Seen {
    bool lines = false;  // a line changed (or cannot be watched any longer)
    bool data = false;   // bytes are waiting
  };
  // Watches the events of wanted (kLineEvents, EV_RXCHAR) from now on, starting
  // afresh when they differ from the last call's; collects a completed wait and
  // starts the next one. What happened since the last call.
  Seen Update(DWORD wanted);
  // Cancels the wait in flight, returns only once the system has let go of it, and
  // watches nothing until the next Update.
  void Stop();

  // A WaitCommEvent is in flight: Event() is signalled when it ends.
  bool InFlight() const { return in_flight_; }
  HANDLE Event() const { return overlapped_.hEvent; }
  // Wanted lines or bytes that the port cannot report as events (a driver that
  // refuses WaitCommEvent, lines whose status cannot be read): they must be looked
  // at instead.
  bool LinesPolled() const;
  bool DataPolled() const;
  // Bytes wait in the port's input queue.
  bool DataWaiting();
  // A call of the watch found the port's device gone: it stays gone.
  bool DeviceGone() const { return gone_; }
  // The running counts, while the lines are watched through events.
  bool Counts(LineCounts& counts) const;

 private:
  void Start();
  void Rearm(Seen& seen);
  // Cancels the wait in flight and keeps what it had reported.
  void Cancel();
  // After a failed call: the device has gone when the error says so.
  void NoteFailure();

  HANDLE port_;
  OVERLAPPED overlapped_{};
  DWORD events_ = 0;  // written by the system while a wait is in flight
  bool in_flight_ = false;
  DWORD wanted_ = 0;
  DWORD mask_ = 0;         // what is asked of WaitCommEvent
  bool refused_ = false;   // WaitCommEvent failed: nothing comes as events
  bool counting_ = false;  // line events are watched, known_ is their state
  DWORD known_ = 0;        // the line states at the last read
  DWORD reported_ = 0;     // events reported since that read
  LineCounts counts_;
  bool gone_ = false;
};

// The serial backend as the counting wait sees it (MakeSerial() gives one).
class Win32SerialPorts : public Serial {
 public:
  // The watch of an open port (made on first use); nullptr for any other handle.
  // The backend owns it because it owns the port: SerClose stops the watch before
  // closing the handle, so the system never writes into a freed OVERLAPPED.
  virtual CommWatch* WatchPort(SerHandle handle) = 0;
};

}  // namespace strikewell
