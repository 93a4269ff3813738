// The program's whole view of a serial port: open by device name, then a handle.
// Abstract so that the logic can run against scripted ports in tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace strikewell {

// Stored device names carry the Windows device prefix, "\\.\COM3", so that a
// settings file moves between systems.
inline constexpr std::string_view kDevicePrefix = "\\\\.\\";

// Port handle: 0 means "no port"; every valid handle is greater than 0 as a signed
// 32-bit value, which the calibration's closing pass relies on.
using SerHandle = int32_t;

enum class TParityType : int32_t { NoneParity = 0, OddParity = 1, EvenParity = 2 };

// A set over the single member RtsCtsFlowControl.
struct TSerialFlags {
  bool RtsCtsFlowControl = false;
};

// Running counts of the changes of each modem-status input line, as a driver that
// counts line interrupts keeps them: a pulse that comes and goes between two looks
// still shows here. Counts only ever grow (and wrap).
struct LineCounts {
  uint32_t cts = 0;
  uint32_t dsr = 0;
  uint32_t cd = 0;
  uint32_t ri = 0;
};

// Failures never throw and never print: they show only in the results
// (handle 0, a line read false, 0 bytes read), and SerPortLost tells a device that
// has gone from a line that is off.
class Serial {
 public:
  virtual ~Serial() = default;

  // device_name has the form "\\.\NAME" as stored in the settings file.
  virtual SerHandle SerOpen(const std::string& device_name) = 0;
  virtual void SerSetParams(SerHandle handle, int32_t bit_rate, int32_t data_bits,
                            TParityType parity, int32_t stop_bits, TSerialFlags flags) = 0;
  virtual void SerSetRTS(SerHandle handle, bool on) = 0;
  virtual void SerSetDTR(SerHandle handle, bool on) = 0;
  // Each read is a status query of its own: four reads are four samples.
  virtual bool SerGetCTS(SerHandle handle) = 0;
  virtual bool SerGetDSR(SerHandle handle) = 0;
  virtual bool SerGetCD(SerHandle handle) = 0;
  virtual bool SerGetRI(SerHandle handle) = 0;
  // Reads at most one byte into buffer[0], waiting at most timeout_ms for it.
  // Returns the number of bytes read: 0 or 1.
  virtual int32_t SerReadTimeout(SerHandle handle, uint8_t* buffer, int32_t timeout_ms) = 0;
  // The driver's change counts of the four input lines; false where the driver
  // keeps none (a pty, many USB drivers): then only samples of the lines tell.
  virtual bool SerGetLineCounts(SerHandle handle, LineCounts& counts) = 0;
  // Asks the driver to hand on line changes and bytes at once: USB adapters hold
  // them for up to 16 ms by default. Ignored where the driver cannot.
  virtual void SerSetLowLatency(SerHandle handle) = 0;
  // True once a call on the port has found its device gone (a USB adapter pulled
  // out leaves a hung-up tty; Windows answers with a device error), as against a
  // line that is off or no byte waiting. The handle is then of no further use and
  // is to be closed; the device may come back under its name.
  virtual bool SerPortLost(SerHandle handle) = 0;
  // The latency timer in ms of the USB adapter behind the port, where the system
  // keeps one the program can read and it is not already at its least; 0 otherwise.
  virtual int32_t SerLatencyTimerMs(SerHandle handle) = 0;
  virtual void SerSync(SerHandle handle) = 0;
  virtual void SerFlushOutput(SerHandle handle) = 0;
  virtual void SerClose(SerHandle handle) = 0;
};

// The fixed line settings of the sensor port, used by counting and calibration alike.
inline constexpr int32_t kSensorBitRate = 2400;
inline constexpr int32_t kSensorDataBits = 8;
inline constexpr int32_t kSensorStopBits = 1;
inline constexpr int32_t SerialReadTimeoutTime = 1;  // ms that one read may wait

// Applies 2400 8N1, no flow control, then RTS on and DTR on, in that order, and
// asks for the adapter's low-latency mode.
inline void ConfigureSensorPort(Serial& serial, SerHandle handle) {
  serial.SerSetParams(handle, kSensorBitRate, kSensorDataBits, TParityType::NoneParity,
                      kSensorStopBits, TSerialFlags{});
  serial.SerSetRTS(handle, true);
  serial.SerSetDTR(handle, true);
  serial.SerSetLowLatency(handle);
}

}  // namespace strikewell
