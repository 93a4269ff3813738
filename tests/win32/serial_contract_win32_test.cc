// The serial rules over the Windows serial backend and its wait under Wine, on the
// COM port whose far end is a pty that tests/win32/com_port_harness.py holds: once
// bare (Wine then finds no modem lines) and once with the modem-line shim preloaded
// into Wine, which serves the pty's lines from a control file.
//
// Wine polls the lines' states, so every line counts both its edges here. A standard
// Windows port reports RI's event on its trailing edge only; the watch counts a line
// from its states as well as its events, so the counts come out the same there.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "harness_client.h"
#include "platform/backends.h"
#include "serial_contract.h"

namespace strikewell::testing {
namespace {

// A wait with the plain timer loads winmm when it is made. Wine 8 runs every
// WaitCommEvent in a thread of its own, and once a few of those have ended, loading a
// DLL hangs the process: each case makes its wait after earlier cases' ports have
// waited, so winmm is loaded before any case runs.
[[maybe_unused]] const HMODULE kWinmmLoadedFirst = LoadLibraryW(L"winmm.dll");

std::string Hex(std::string_view bytes) {
  std::string hex;
  for (const char byte : bytes) {
    char two[4];
    std::snprintf(two, sizeof two, "%02x ", static_cast<unsigned char>(byte));
    hex += two;
  }
  if (!hex.empty()) hex.pop_back();
  return hex;
}

std::string Text(LineLevels lines) {
  return std::string("cts=") + (lines.cts ? "1" : "0") + " dsr=" + (lines.dsr ? "1" : "0") +
         " cd=" + (lines.cd ? "1" : "0") + " ri=" + (lines.ri ? "1" : "0");
}

// Every request is answered "ok" by a harness that did it.
void Ask(const std::string& request) { EXPECT_EQ(AskHarness(request), "ok") << request; }

class Win32Rig : public SerialRig {
 public:
  Win32Rig() {
    // The port as a case before this one may have left it: bytes unread, lines set.
    Ask("flush-input");
    if (HasLines()) Ask("lines ");
  }
  ~Win32Rig() override {
    wait_.reset();
    serial_.reset();
    // The next case gets a port that is there.
    if (hung_up_) Ask("replug");
  }

  Serial& serial() override { return *serial_; }
  EventWait& wait() override { return *wait_; }
  Clock& clock() override { return *clock_; }
  std::string PortName() override { return TestPortDevice(); }
  // The prefix maps COM5 and COM6 only.
  std::string AbsentName() override { return "\\\\.\\COM7"; }
  bool HasLines() override { return ShimLoaded(); }

  void Send(std::string_view bytes) override { Ask("send " + Hex(bytes)); }
  void SendLater(int ms, std::string_view bytes) override {
    Ask("send-after " + std::to_string(ms) + " " + Hex(bytes));
  }
  void SetLines(LineLevels lines) override { Ask("lines " + Text(lines)); }
  void SetLinesLater(int ms, LineLevels lines) override {
    Ask("later " + std::to_string(ms) + " lines " + Text(lines));
  }
  // ENOTTY from the shim, as from a driver without modem lines: Wine's answer is then
  // the one it gives for the bare pty. Without the shim the lines are unreadable as
  // they are.
  void MakeLinesUnreadable() override {
    if (HasLines()) Ask("lines notty");
  }
  void HangUp() override {
    Ask("hangup");
    hung_up_ = true;
  }

 private:
  std::unique_ptr<Serial> serial_ = MakeSerial();
  std::unique_ptr<Clock> clock_ = MakeClock();
  NoConsole console_;
  std::unique_ptr<EventWait> wait_ = MakeEventWait(*serial_, console_, *clock_);
  bool hung_up_ = false;
};

std::unique_ptr<SerialRig> MakeRig() {
  if (TestPortDevice().empty()) {
    ADD_FAILURE() << "run through com_port_harness.py";
    return nullptr;
  }
  return std::make_unique<Win32Rig>();
}

// One port per run: the harness's command line says whether the shim is loaded.
INSTANTIATE_TEST_SUITE_P(Win32, SerialContract,
                         ::testing::Values(RigMaker{
                             ShimLoaded() ? "ComPortWithModemShim" : "ComPort", MakeRig}),
                         RigName);

}  // namespace
}  // namespace strikewell::testing
