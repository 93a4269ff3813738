// The serial rules over the fake serial port and the fake wait, in fake time: the
// logic's tests rely on the fake answering as the real backends do.
#include <algorithm>
#include <memory>
#include <string>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_event_wait.h"
#include "fake_serial.h"
#include "serial_contract.h"

namespace strikewell::testing {
namespace {

// Orders a port's script by fake time; a new entry goes after those of its time.
constexpr auto Earlier = [](const auto& a, const auto& b) { return a.first < b.first; };

// What the far end does is put into the port's script at its fake time: it shows
// once the program waits, reads or looks, as on a real port.
class FakeRig : public SerialRig {
 public:
  explicit FakeRig(bool modem_lines) : modem_lines_(modem_lines) {
    FakeSerial::Port& port = serial_.AddPort(kName);
    // A port with modem lines whose driver counts their changes, as the real
    // backends with the modem-line shim; or one whose driver has no lines, as a pty.
    port.counts_changes = modem_lines;
    port.status_fails = !modem_lines;
  }

  Serial& serial() override { return serial_; }
  EventWait& wait() override { return wait_; }
  Clock& clock() override { return clock_; }
  std::string PortName() override { return kName; }
  std::string AbsentName() override { return "\\\\.\\COM9"; }
  bool HasLines() override { return modem_lines_; }

  void Send(std::string_view bytes) override { Schedule(0, bytes); }
  void SendLater(int ms, std::string_view bytes) override { Schedule(ms, bytes); }
  void SetLines(LineLevels lines) override { SetLinesLater(0, lines); }
  void SetLinesLater(int ms, LineLevels lines) override {
    auto& changes = port().line_changes;
    const std::pair<int64_t, Lines> change{At(ms), {lines.cts, lines.dsr, lines.cd, lines.ri}};
    changes.insert(std::upper_bound(changes.begin(), changes.end(), change, Earlier), change);
  }
  void MakeLinesUnreadable() override {
    port().status_fails = true;
    port().counts_changes = false;
  }
  // A hang-up takes a moment after the open, as on any real port.
  void HangUp() override {
    clock_.Advance(1000);
    port().unplugged_at_us = clock_.NowMicros();
  }

 private:
  static constexpr const char* kName = "\\\\.\\COM3";

  FakeSerial::Port& port() { return serial_.port(kName); }
  int64_t At(int ms) const { return clock_.NowMicros() + int64_t{ms} * 1000; }

  void Schedule(int ms, std::string_view bytes) {
    auto& queue = port().bytes;
    for (const char byte : bytes) {
      const std::pair<int64_t, uint8_t> arrival{At(ms), static_cast<uint8_t>(byte)};
      queue.insert(std::upper_bound(queue.begin(), queue.end(), arrival, Earlier), arrival);
    }
  }

  bool modem_lines_;
  FakeClock clock_;
  FakeSerial serial_{clock_};
  FakeRawConsole console_{clock_};
  FakeEventWait wait_{clock_, serial_, console_};
};

INSTANTIATE_TEST_SUITE_P(
    Fake, SerialContract,
    ::testing::Values(RigMaker{"WithModemLines", [] { return std::make_unique<FakeRig>(true); }},
                      RigMaker{"WithoutModemLines",
                               [] { return std::make_unique<FakeRig>(false); }}),
    RigName);

}  // namespace
}  // namespace strikewell::testing
