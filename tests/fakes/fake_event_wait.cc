#include "fake_event_wait.h"

#include <algorithm>
#include <stdexcept>

namespace strikewell::testing {

int64_t FakeEventWait::NextLineChange(const FakeSerial::Port& port) const {
  for (const auto& [at_us, lines] : port.line_changes) {
    if (at_us <= lines_seen_until_us_) continue;
    if (line_sample_period_us <= 0) return at_us;
    // Seen at the next sample at or after the change.
    return (at_us + line_sample_period_us - 1) / line_sample_period_us * line_sample_period_us;
  }
  return kNoDeadline;
}

WaitResult FakeEventWait::Wait(const WaitFor& what) {
  waits.push_back(what);
  const int64_t now = clock_.NowMicros();
  FakeSerial::Port* port = what.port != 0 ? serial_.PortOf(what.port) : nullptr;

  int64_t lines_at = kNoDeadline;
  int64_t data_at = kNoDeadline;
  int64_t console_at = kNoDeadline;
  if (port != nullptr && what.lines) {
    lines_at = std::max(now, port->status_fails ? next_line_sample_us_ : NextLineChange(*port));
  }
  if (port != nullptr && what.data && !port->bytes.empty()) {
    data_at = std::max(now, port->bytes.front().first);
  }
  int64_t lost_at = kNoDeadline;
  if (port != nullptr && serial_.opened_at_us.at(what.port) < port->unplugged_at_us &&
      !loss_reported_.contains(what.port)) {
    lost_at = std::max(now, port->unplugged_at_us);
  }
  int64_t resize_at = kNoDeadline;
  if (what.console) resize_at = std::max(now, console_.NextResizeAt().value_or(kNoDeadline));
  if (what.console) {
    // Input that has ended wakes the wait at once, as end of file does.
    console_at = std::max(now, console_.NextKeyAt().value_or(now));
  }
  int64_t network_at = kNoDeadline;
  if (what.network && network_ != nullptr) {
    network_at = std::max(now, network_->NextNewsAt().value_or(kNoDeadline));
  }
  const int64_t wake =
      std::min({lines_at, data_at, console_at, lost_at, resize_at, network_at, what.deadline_us});
  // A real wait would block for ever: a script without its end is a broken test.
  if (wake == kNoDeadline) throw std::logic_error("the wait has nothing left to wake it");
  if (wake > now) clock_.Advance(wake - now);

  WaitResult result;
  if (lines_at == wake) {
    result.lines = true;
    result.lines_at_us = wake;
    lines_seen_until_us_ = wake;
    next_line_sample_us_ = wake + kUnreadableLinesSampleUs;
  }
  if (data_at == wake) {
    result.data = true;
    result.data_at_us = wake;
  }
  result.console = console_at == wake;
  result.port_lost = lost_at == wake;
  if (result.port_lost) loss_reported_.insert(what.port);
  result.resized = resize_at == wake;
  result.network = network_at == wake;
  return result;
}

}  // namespace strikewell::testing
