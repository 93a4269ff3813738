// The serial rules over the Linux serial backend and its wait, on ptys: once bare (a
// pty has no modem lines) and once with the modem-line shim (CTest preloads it)
// serving the pty's lines from a control file.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "modem_shim_control.h"
#include "platform/backends.h"
#include "pty_pair.h"
#include "serial_contract.h"

namespace strikewell::testing {
namespace {


class PosixRig : public SerialRig {
 public:
  explicit PosixRig(bool modem_lines) : modem_lines_(modem_lines) {
    if (!modem_lines) {
      unsetenv("STRIKEWELL_SHIM_DEVICE");
      return;
    }
    shim_ = std::make_unique<ModemShimControl>(pty_.path());
    WriteLines("cts=0 dsr=0 cd=0 ri=0");
  }
  ~PosixRig() override {
    for (std::thread& later : later_) later.join();
    // The port goes first: its line watcher may be reading the control file.
    wait_.reset();
    serial_.reset();
    shim_.reset();
  }

  Serial& serial() override { return *serial_; }
  EventWait& wait() override { return *wait_; }
  Clock& clock() override { return *clock_; }
  std::string PortName() override { return pty_.DeviceName(); }
  std::string AbsentName() override { return "\\\\.\\ttyStrikewellMissing0"; }
  bool HasLines() override { return modem_lines_; }

  void Send(std::string_view bytes) override { pty_.Send(std::string(bytes)); }
  void SendLater(int ms, std::string_view bytes) override {
    Later(ms, [this, text = std::string(bytes)] { pty_.Send(text); });
  }
  void SetLines(LineLevels lines) override { WriteLines(Text(lines)); }
  void SetLinesLater(int ms, LineLevels lines) override {
    Later(ms, [this, text = Text(lines)] { WriteLines(text); });
  }
  // ENOTTY, as from a driver without modem lines; EIO would be a device gone.
  void MakeLinesUnreadable() override {
    if (modem_lines_) WriteLines("notty");
  }
  // A pty whose master has closed is a hung-up tty, as a pulled-out USB adapter leaves.
  void HangUp() override { pty_.HangUp(); }

 private:
  static std::string Text(LineLevels lines) {
    return std::string("cts=") + (lines.cts ? "1" : "0") + " dsr=" + (lines.dsr ? "1" : "0") +
           " cd=" + (lines.cd ? "1" : "0") + " ri=" + (lines.ri ? "1" : "0");
  }

  // A bare pty has no lines to set.
  void WriteLines(const std::string& text) const {
    if (shim_ != nullptr) shim_->SetLines(text);
  }

  template <typename Action>
  void Later(int ms, Action action) {
    later_.emplace_back([ms, action] {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      action();
    });
  }

  bool modem_lines_;
  std::unique_ptr<ModemShimControl> shim_;  // with modem lines only
  PtyPair pty_;
  std::unique_ptr<Serial> serial_ = MakeSerial();
  std::unique_ptr<Clock> clock_ = MakeClock();
  NoConsole console_;
  std::unique_ptr<EventWait> wait_ = MakeEventWait(*serial_, console_, *clock_);
  std::vector<std::thread> later_;
};

std::unique_ptr<SerialRig> MakeShimRig() {
  if (!ModemShimControl::Preloaded()) {
    ADD_FAILURE() << "run with LD_PRELOAD naming the modem shim, as CTest does";
    return nullptr;
  }
  return std::make_unique<PosixRig>(true);
}

INSTANTIATE_TEST_SUITE_P(
    Posix, SerialContract,
    ::testing::Values(RigMaker{"Pty", [] { return std::make_unique<PosixRig>(false); }},
                      RigMaker{"PtyWithModemShim", MakeShimRig}),
    RigName);

}  // namespace
}  // namespace strikewell::testing
