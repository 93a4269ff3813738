// Scripted serial ports over fake time: each port has a timeline of modem-line
// states and of received bytes, and every call is recorded.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "platform/serial.h"

namespace strikewell::testing {

struct Lines {
  bool cts = false;
  bool dsr = false;
  bool cd = false;
  bool ri = false;
};

class FakeSerial : public Serial {
 public:
  struct Port {
    bool present = true;
    bool held_elsewhere = false;  // another program has it open: SerOpen gives 0
    bool status_fails = false;    // modem-status queries fail (read as false)
    // The driver counts line changes, so a pulse between two looks still shows.
    bool counts_changes = false;
    int32_t latency_timer_ms = 0;  // what SerLatencyTimerMs answers
    // The device is pulled out at this fake time (us) and plugged back in at the
    // second: meanwhile it cannot be opened, and a handle opened before the pull
    // stays lost for good, as a hung-up tty does.
    int64_t unplugged_at_us = INT64_MAX;
    int64_t plugged_back_at_us = INT64_MAX;
    std::vector<std::pair<int64_t, Lines>> line_changes;  // (fake time us, state)
    std::deque<std::pair<int64_t, uint8_t>> bytes;        // (arrival time us, byte)
  };

  explicit FakeSerial(FakeClock& clock) : clock_(clock) {}

  // Adds a port under its device name, e.g. "\\.\COM3".
  Port& AddPort(const std::string& device_name);
  Port& port(const std::string& device_name) { return ports_.at(device_name); }

  // Pulls the device out at fake time at_ms and plugs it back at back_ms.
  void Unplug(const std::string& device_name, int64_t at_ms, int64_t back_ms = INT64_MAX / 1000);

  // Script helpers, times in fake milliseconds.
  void SetLines(const std::string& device_name, int64_t at_ms, Lines lines);
  void SendByte(const std::string& device_name, int64_t at_ms, uint8_t byte);

  SerHandle SerOpen(const std::string& device_name) override;
  void SerSetParams(SerHandle handle, int32_t bit_rate, int32_t data_bits, TParityType parity,
                    int32_t stop_bits, TSerialFlags flags) override;
  void SerSetRTS(SerHandle handle, bool on) override;
  void SerSetDTR(SerHandle handle, bool on) override;
  bool SerGetCTS(SerHandle handle) override;
  bool SerGetDSR(SerHandle handle) override;
  bool SerGetCD(SerHandle handle) override;
  bool SerGetRI(SerHandle handle) override;
  int32_t SerReadTimeout(SerHandle handle, uint8_t* buffer, int32_t timeout_ms) override;
  bool SerGetLineCounts(SerHandle handle, LineCounts& counts) override;
  void SerSetLowLatency(SerHandle handle) override;
  int32_t SerLatencyTimerMs(SerHandle handle) override;
  bool SerPortLost(SerHandle handle) override;
  void SerSync(SerHandle handle) override;
  void SerFlushOutput(SerHandle handle) override;
  void SerClose(SerHandle handle) override;

  // Fake time that one status query takes; keeps polling loops moving in time.
  int64_t query_cost_us = 50;

  // The port a handle is open on, or nullptr.
  Port* PortOf(SerHandle handle);

  // Every call that changes a port, as text: "open \\.\COM3 -> 1", "params 1 2400 8 0 1 0",
  // "rts 1 on", "dtr 1 on", "sync 1", "flush 1", "close 1".
  std::vector<std::string> calls;
  int status_queries = 0;
  int lost_queries = 0;  // SerPortLost calls
  // Handles that low-latency mode was asked for, in order.
  std::vector<SerHandle> low_latency;
  // Handles open now.
  std::map<SerHandle, std::string> open_handles;
  // When each handle was opened (fake us).
  std::map<SerHandle, int64_t> opened_at_us;

 private:
  Lines LinesNow(SerHandle handle);
  // Whether the handle's device has gone, without counting a query.
  bool Lost(SerHandle handle);

  FakeClock& clock_;
  std::map<std::string, Port> ports_;
  SerHandle next_handle_ = 1;
};

}  // namespace strikewell::testing
