// What the Linux serial backend shares with its tests beyond MakeSerial().
#pragma once

#include <termios.h>

#include <cstdint>

#include "platform/serial.h"

namespace strikewell {

// Turns tio into the raw line settings that SerSetParams asks for: no echo or line
// editing, no XON/XOFF, no parity checking, CLOCAL, reads that never wait in the
// driver. False (tio unusable) for a rate or a data size the port cannot take.
// Parity, stop bits above 1 and data sizes are kept apart here because a pty
// ignores them: a test reads them from the result, not from a pty.
bool LineTermios(termios& tio, int32_t bit_rate, int32_t data_bits, TParityType parity,
                 int32_t stop_bits, TSerialFlags flags);

}  // namespace strikewell
