// What the Linux serial backend shares with the counting wait and with its tests
// beyond MakeSerial().
#pragma once

#include <termios.h>

#include <cstdint>

#include "platform/posix/line_watch_posix.h"
#include "platform/serial.h"

namespace strikewell {

// The serial backend as the counting wait sees it (MakeSerial() gives one): the
// descriptor behind a handle, and the watcher of one port's modem lines. The
// backend owns the watcher because it owns the descriptors: SerClose stops the
// watch on a port before closing it, so no thread is ever left waiting on a closed
// (or reused) descriptor, and the device is free for others once closed.
class PosixSerialPorts : public Serial {
 public:
  // The descriptor of an open port; -1 for any other handle.
  virtual int PortFd(SerHandle handle) = 0;
  // Watches the lines of the open port handle from now on (keeps watching if it is
  // already the watched one), and no other port's. nullptr for a handle that is not
  // open: then nothing is watched.
  virtual LineWatcher* WatchLines(SerHandle handle) = 0;
  virtual void StopWatchingLines() = 0;
};

// Turns tio into the raw line settings that SerSetParams asks for: no echo or line
// editing, no XON/XOFF, no parity checking, CLOCAL, reads that never wait in the
// driver. False (tio unusable) for a rate or a data size the port cannot take.
// Parity, stop bits above 1 and data sizes are kept apart here because a pty
// ignores them: a test reads them from the result, not from a pty.
bool LineTermios(termios& tio, int32_t bit_rate, int32_t data_bits, TParityType parity,
                 int32_t stop_bits, TSerialFlags flags);

}  // namespace strikewell
