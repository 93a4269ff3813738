#include "fake_serial.h"

#include <algorithm>

namespace strikewell::testing {

FakeSerial::Port& FakeSerial::AddPort(const std::string& device_name) {
  return ports_[device_name];
}

void FakeSerial::SetLines(const std::string& device_name, int64_t at_ms, Lines lines) {
  auto& changes = ports_.at(device_name).line_changes;
  changes.emplace_back(at_ms * 1000, lines);
  std::stable_sort(changes.begin(), changes.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

void FakeSerial::SendByte(const std::string& device_name, int64_t at_ms, uint8_t byte) {
  auto& bytes = ports_.at(device_name).bytes;
  bytes.emplace_back(at_ms * 1000, byte);
  std::stable_sort(bytes.begin(), bytes.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

void FakeSerial::Unplug(const std::string& device_name, int64_t at_ms, int64_t back_ms) {
  Port& p = ports_.at(device_name);
  p.unplugged_at_us = at_ms * 1000;
  p.plugged_back_at_us = back_ms * 1000;
}

SerHandle FakeSerial::SerOpen(const std::string& device_name) {
  SerHandle h = 0;
  auto it = ports_.find(device_name);
  const int64_t now = clock_.NowMicros();
  const bool unplugged = it != ports_.end() && it->second.unplugged_at_us <= now &&
                         now < it->second.plugged_back_at_us;
  const bool in_use = std::any_of(open_handles.begin(), open_handles.end(),
                                  [&](const auto& entry) { return entry.second == device_name; });
  if (it != ports_.end() && it->second.present && !it->second.held_elsewhere && !in_use &&
      !unplugged) {
    h = next_handle_++;
    open_handles[h] = device_name;
    opened_at_us[h] = now;
  }
  calls.push_back("open " + device_name + " -> " + std::to_string(h));
  return h;
}

FakeSerial::Port* FakeSerial::PortOf(SerHandle handle) {
  auto it = open_handles.find(handle);
  return it == open_handles.end() ? nullptr : &ports_.at(it->second);
}

void FakeSerial::SerSetParams(SerHandle handle, int32_t bit_rate, int32_t data_bits,
                              TParityType parity, int32_t stop_bits, TSerialFlags flags) {
  calls.push_back("params " + std::to_string(handle) + " " + std::to_string(bit_rate) + " " +
                  std::to_string(data_bits) + " " + std::to_string(static_cast<int>(parity)) + " " +
                  std::to_string(stop_bits) + " " + (flags.RtsCtsFlowControl ? "1" : "0"));
}

void FakeSerial::SerSetRTS(SerHandle handle, bool on) {
  calls.push_back("rts " + std::to_string(handle) + (on ? " on" : " off"));
}

void FakeSerial::SerSetDTR(SerHandle handle, bool on) {
  calls.push_back("dtr " + std::to_string(handle) + (on ? " on" : " off"));
}

Lines FakeSerial::LinesNow(SerHandle handle) {
  ++status_queries;
  clock_.Advance(query_cost_us);
  Port* port = PortOf(handle);
  if (port == nullptr || port->status_fails || Lost(handle)) return Lines{};
  Lines now;
  for (const auto& [at_us, lines] : port->line_changes) {
    if (at_us > clock_.NowMicros()) break;
    now = lines;
  }
  return now;
}

bool FakeSerial::SerGetCTS(SerHandle handle) { return LinesNow(handle).cts; }
bool FakeSerial::SerGetDSR(SerHandle handle) { return LinesNow(handle).dsr; }
bool FakeSerial::SerGetCD(SerHandle handle) { return LinesNow(handle).cd; }
bool FakeSerial::SerGetRI(SerHandle handle) { return LinesNow(handle).ri; }

int32_t FakeSerial::SerReadTimeout(SerHandle handle, uint8_t* buffer, int32_t timeout_ms) {
  Port* port = PortOf(handle);
  const int64_t deadline = clock_.NowMicros() + int64_t{std::max(timeout_ms, 0)} * 1000;
  if (port == nullptr || Lost(handle)) {
    clock_.Advance(deadline - clock_.NowMicros());
    return 0;
  }
  if (!port->bytes.empty() && port->bytes.front().first <= deadline) {
    // Waits only until the byte is there.
    clock_.Advance(std::max<int64_t>(0, port->bytes.front().first - clock_.NowMicros()));
    buffer[0] = port->bytes.front().second;
    port->bytes.pop_front();
    return 1;
  }
  clock_.Advance(deadline - clock_.NowMicros());
  return 0;
}

bool FakeSerial::SerGetLineCounts(SerHandle handle, LineCounts& counts) {
  Port* port = PortOf(handle);
  if (port == nullptr || !port->counts_changes || Lost(handle)) return false;
  counts = LineCounts{};
  Lines before;
  for (const auto& [at_us, lines] : port->line_changes) {
    if (at_us > clock_.NowMicros()) break;
    counts.cts += lines.cts != before.cts;
    counts.dsr += lines.dsr != before.dsr;
    counts.cd += lines.cd != before.cd;
    counts.ri += lines.ri != before.ri;
    before = lines;
  }
  return true;
}

bool FakeSerial::SerPortLost(SerHandle handle) {
  ++lost_queries;
  return Lost(handle);
}

bool FakeSerial::Lost(SerHandle handle) {
  Port* port = PortOf(handle);
  return port != nullptr && port->unplugged_at_us <= clock_.NowMicros() &&
         opened_at_us.at(handle) < port->unplugged_at_us;
}

void FakeSerial::SerSetLowLatency(SerHandle handle) { low_latency.push_back(handle); }

int32_t FakeSerial::SerLatencyTimerMs(SerHandle handle) {
  Port* port = PortOf(handle);
  return port == nullptr ? 0 : port->latency_timer_ms;
}

void FakeSerial::SerSync(SerHandle handle) { calls.push_back("sync " + std::to_string(handle)); }

void FakeSerial::SerFlushOutput(SerHandle handle) {
  calls.push_back("flush " + std::to_string(handle));
}

void FakeSerial::SerClose(SerHandle handle) {
  calls.push_back("close " + std::to_string(handle));
  open_handles.erase(handle);
}

}  // namespace strikewell::testing
