// The Linux serial backend against real pseudo-terminals, and with the modem-line
// shim preloaded (CTest sets LD_PRELOAD), the real counting loop over it.
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
#include "modem_shim_control.h"
#include "platform/backends.h"
#include "platform/posix/serial_posix.h"
#include "pty_pair.h"
#include "run/counting.h"
#include "run/run_state.h"

namespace strikewell {
namespace {

using testing::FakeClock;
using testing::FakeDesktop;
using testing::FakeRawConsole;
using testing::PtyPair;

termios Termios(int fd) {
  termios tio{};
  EXPECT_EQ(tcgetattr(fd, &tio), 0);
  return tio;
}

bool Exclusive(int fd) {
  int exclusive = 0;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  return exclusive != 0;
}

class SerialPosixTest : public ::testing::Test {
 protected:
  PtyPair pty_;
  std::unique_ptr<Serial> serial_ = MakeSerial();
};

// Calibration opens every listed port at once: each has its own handle and bytes.
TEST_F(SerialPosixTest, BytesArriveOneReadAtATimeOnTheirOwnPort) {
  PtyPair other_pty;
  const SerHandle h = serial_->SerOpen(pty_.DeviceName());
  const SerHandle other = serial_->SerOpen(other_pty.DeviceName());
  ASSERT_GT(h, 0);
  ASSERT_GT(other, 0);
  EXPECT_NE(h, other);
  pty_.Send("xyz");
  uint8_t buffer[255] = {'#'};
  for (SerHandle bad : {0, h + other}) {
    EXPECT_EQ(serial_->SerReadTimeout(bad, buffer, 1), 0);
    serial_->SerClose(bad);
  }
  for (const char expected : {'x', 'y', 'z'}) {
    ASSERT_EQ(serial_->SerReadTimeout(h, buffer, SerialReadTimeoutTime), 1);
    EXPECT_EQ(buffer[0], expected);
  }
  buffer[0] = '#';
  EXPECT_EQ(serial_->SerReadTimeout(h, buffer, SerialReadTimeoutTime), 0);
  EXPECT_EQ(serial_->SerReadTimeout(other, buffer, SerialReadTimeoutTime), 0);
  EXPECT_EQ(buffer[0], '#') << "an empty read leaves the buffer alone";
  serial_->SerClose(h);
  pty_.Send("A");
  EXPECT_EQ(serial_->SerReadTimeout(h, buffer, 1), 0) << "closed";
}

// The upper bound only catches a read that blocks. After a hang-up poll() reports
// POLLHUP at once: the read must still wait, or the counting loop would spin.
TEST_F(SerialPosixTest, EmptyReadWaitsForItsTimeOutAndNoLongerEvenAfterAHangUp) {
  const SerHandle h = serial_->SerOpen(pty_.DeviceName());
  ASSERT_GT(h, 0);
  uint8_t buffer[1] = {'#'};
  for (bool hung_up : {false, true}) {
    if (hung_up) pty_.HangUp();
    for (int32_t timeout_ms : {-5, 1, 30}) {
      SCOPED_TRACE(std::to_string(timeout_ms) + (hung_up ? " hung up" : ""));
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(serial_->SerReadTimeout(h, buffer, timeout_ms), 0);
      const auto took = std::chrono::steady_clock::now() - start;
      EXPECT_GE(took, std::chrono::milliseconds(std::max(timeout_ms, 0)));
      EXPECT_LT(took, std::chrono::seconds(1));
    }
  }
  EXPECT_EQ(buffer[0], '#');
  EXPECT_FALSE(serial_->SerGetCTS(h) || serial_->SerGetDSR(h) || serial_->SerGetCD(h) ||
               serial_->SerGetRI(h))
      << "a pty has no modem lines";
}

// Windows opens a port for one user at a time; so does this backend, even for root
// (TIOCEXCL alone does not stop root: flock() does).
TEST_F(SerialPosixTest, PortHasOneOpenerUntilClosed) {
  const SerHandle first = serial_->SerOpen(pty_.DeviceName());
  ASSERT_GT(first, 0);
  EXPECT_TRUE(Exclusive(pty_.slave()));
  EXPECT_EQ(serial_->SerOpen(pty_.DeviceName()), 0);
  EXPECT_EQ(MakeSerial()->SerOpen(pty_.DeviceName()), 0) << "another program, as it were";

  // Output that nobody reads on the far side: the shutdown steps must still return.
  ConfigureSensorPort(*serial_, first);
  const std::string output(4096, 'o');
  ASSERT_EQ(write(pty_.slave(), output.data(), output.size()), 4096);
  serial_->SerSync(first);
  serial_->SerFlushOutput(first);
  serial_->SerClose(first);
  EXPECT_FALSE(Exclusive(pty_.slave())) << "a pty keeps exclusive mode while its master is open";
  const SerHandle again = serial_->SerOpen(pty_.DeviceName());
  EXPECT_GT(again, 0);
  EXPECT_NE(again, first) << "a closed handle is not handed out again at once";

  serial_ = MakeSerial();  // destroying a backend closes its ports
  ASSERT_EQ(ioctl(pty_.slave(), TIOCEXCL), 0);
  EXPECT_EQ(serial_->SerOpen(pty_.DeviceName()), 0) << "held without flock(): root gets past";
  EXPECT_TRUE(Exclusive(pty_.slave())) << "the refused opener left the holder's mode alone";
  ASSERT_EQ(ioctl(pty_.slave(), TIOCNXCL), 0);
  ASSERT_EQ(flock(pty_.slave(), LOCK_EX | LOCK_NB), 0) << "the old backend kept its lock";
  EXPECT_EQ(serial_->SerOpen(pty_.DeviceName()), 0) << "locked by another program";
  ASSERT_EQ(flock(pty_.slave(), LOCK_UN), 0);
  EXPECT_GT(serial_->SerOpen(pty_.DeviceName()), 0);
}

TEST_F(SerialPosixTest, OnlyTerminalsBelowDevOpen) {
  const std::pair<std::string, bool> cases[] = {
      {pty_.DeviceName(), true},  // \\.\pts/N
      {pty_.path(), true},        // /dev/pts/N
      {"", false},
      {"\\\\.\\ttyStrikewellMissing0", false},
      {"\\\\.\\null", false},                             // a device, but not a terminal
      {"\\\\.\\../dev/" + pty_.path().substr(5), false},  // climbs out of /dev
  };
  for (const auto& [name, opens] : cases) {
    const SerHandle h = serial_->SerOpen(name);
    EXPECT_EQ(h > 0, opens) << name;
    serial_->SerClose(h);
  }
}

// A pty ignores parity and data size, so they are read from the computed settings.
TEST(SerialPosixTermios, LineSettingsFollowTheParametersOrAreRefused) {
  constexpr tcflag_t kLocal = CLOCAL | CREAD;
  struct Case {
    int32_t rate, data_bits;
    TParityType parity;
    int32_t stop_bits;
    bool rts_cts;
    speed_t speed;
    tcflag_t cflags;
  };
  const Case cases[] = {
      {2400, 8, TParityType::NoneParity, 1, false, B2400, kLocal | CS8},
      {9600, 7, TParityType::EvenParity, 2, false, B9600, kLocal | CS7 | PARENB | CSTOPB},
      {4800, 5, TParityType::OddParity, 0, false, B4800, kLocal | CS5 | PARENB | PARODD},
      {1200, 6, TParityType::NoneParity, 3, true, B1200, kLocal | CS6 | CSTOPB | CRTSCTS},
      {115200, 8 + 256, TParityType::NoneParity, 1, false, B115200, kLocal | CS8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    termios tio{};
    tio.c_iflag = IXON | IXOFF | INPCK | ICRNL;
    tio.c_lflag = ICANON | ECHO | ISIG;
    tio.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    ASSERT_TRUE(
        LineTermios(tio, c.rate, c.data_bits, c.parity, c.stop_bits, TSerialFlags{c.rts_cts}));
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_cflag & (kLocal | CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS), c.cflags);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | INPCK | ICRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_cc[VMIN] + tio.c_cc[VTIME], 0) << "reads never wait in the driver";
  }
  for (const auto& [rate, data_bits] : {std::pair{2401, 8}, {2400, 9}, {2400, 4}}) {
    termios tio{};
    EXPECT_FALSE(LineTermios(tio, rate, data_bits, TParityType::NoneParity, 1, {}))
        << rate << " " << data_bits;
  }
}

TEST_F(SerialPosixTest, OpenAppliesDefaultsAndParamsReachThePort) {
  const SerHandle h = serial_->SerOpen(pty_.DeviceName());
  ASSERT_GT(h, 0);
  termios tio = Termios(pty_.slave());
  EXPECT_EQ(cfgetospeed(&tio), B9600) << "default settings on open";
  EXPECT_EQ(tio.c_lflag & ICANON, 0u) << "raw";

  serial_->SerSetParams(h, 1200, 8, TParityType::NoneParity, 3, TSerialFlags{true});
  tio = Termios(pty_.slave());
  EXPECT_EQ(cfgetospeed(&tio), B1200);
  EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CRTSCTS));
  serial_->SerSetParams(h, 2401, 8, TParityType::NoneParity, 1, {});
  tio = Termios(pty_.slave());
  EXPECT_EQ(cfgetospeed(&tio), B1200) << "a refused rate changes nothing";

  // A fixed RTS level replaces the hardware handshake.
  serial_->SerSetRTS(h, true);
  EXPECT_EQ(Termios(pty_.slave()).c_cflag & CRTSCTS, 0u);
}

// The shim serves the pty's input lines from a control file and logs RTS and DTR.
class SerialShimTest : public SerialPosixTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::ModemShimControl::Preloaded())
        << "run with LD_PRELOAD naming the modem shim, as CTest does";
    shim_ = std::make_unique<testing::ModemShimControl>(pty_.path(),
                                                        testing::ModemShimFiles{.log = true});
  }
  void TearDown() override { shim_.reset(); }

  void SetLines(const std::string& text) const { shim_->SetLines(text); }

  std::unique_ptr<testing::ModemShimControl> shim_;
};

TEST_F(SerialShimTest, LineReadsFollowTheControlFile) {
  const SerHandle h = serial_->SerOpen(pty_.DeviceName());
  ASSERT_GT(h, 0);
  const std::pair<std::string, std::vector<bool>> cases[] = {
      {"cts=1 dsr=0 cd=0 ri=0", {true, false, false, false}},
      {"dsr=1", {false, true, false, false}},
      {"cd=1", {false, false, true, false}},
      {"ri=1\n", {false, false, false, true}},
      {"cts=1,dsr=1,cd=1,ri=1", {true, true, true, true}},
      {"fail", {false, false, false, false}},  // a failed status query reads as off
  };
  for (const auto& [text, expected] : cases) {
    SetLines(text);
    const std::vector<bool> lines = {serial_->SerGetCTS(h), serial_->SerGetDSR(h),
                                     serial_->SerGetCD(h), serial_->SerGetRI(h)};
    EXPECT_EQ(lines, expected) << '"' << text << '"';
  }
}

// A console whose key polls, made on every pass of the counting loop, play a script
// on the sensor's side: poll n applies step n, and after the last step it types "q"
// once quit_when() holds (the loop has seen the last step: in real time the loop
// may look at a change a few passes after it was made).
class PassScript : public FakeRawConsole {
 public:
  PassScript(FakeClock& clock, std::vector<std::function<void()>> steps,
             std::function<bool()> quit_when)
      : FakeRawConsole(clock), steps_(std::move(steps)), quit_when_(std::move(quit_when)) {}

  std::optional<KeyEvent> PollKey() override {
    if (pass_ < steps_.size()) {
      steps_[pass_++]();
      return std::nullopt;
    }
    if (!quit_when_()) return std::nullopt;
    return KeyEvent{'q', false};
  }
  bool InputEnded() override { return false; }

 private:
  std::vector<std::function<void()>> steps_;
  std::function<bool()> quit_when_;
  size_t pass_ = 0;
};

// The counting loop over the real serial backend, the real wait and the real clock.
// The lines carry their change counts ("/N"), as a driver's interrupt counts would:
// the loop may look at two steps at once, and the counts tell every pulse.
TEST_F(SerialShimTest, SensorSetUpAndCountingLoopOverTheRealBackend) {
  SetLines("cts=1/0 dsr=0/0");  // already on when counting starts: not a pulse
  const SerHandle h = serial_->SerOpen(pty_.DeviceName());
  ASSERT_GT(h, 0);
  ConfigureSensorPort(*serial_, h);
  // Open applies the defaults (RTS and DTR off), the parameter call again turns both
  // off, then RTS on, then DTR on.
  std::ifstream in(shim_->Path("log"));
  std::vector<std::string> log;
  for (std::string line; std::getline(in, line);) log.push_back(line.substr(pty_.path().size()));
  EXPECT_EQ(log, (std::vector<std::string>{" bic rts=0 dtr=0", " bic rts=0 dtr=0",
                                           " bis rts=1 dtr=0", " bis rts=1 dtr=1"}));

  auto clock = MakeClock();
  using std::chrono::steady_clock;
  auto lines = [&](const char* text) { return [this, text] { SetLines(text); }; };
  auto byte = [&](const char* text) { return [this, text] { pty_.Send(text); }; };
  const std::vector<std::function<void()>> steps = {
      lines("cts=1/0"),
      lines("cts=0/1"),
      lines("cts=1/2"),          // pulse 1
      lines("cts=1/2 dsr=1/1"),  // pulse 2: blow 1
      lines("cts=0/3 dsr=0/2"),
      lines("cts=1/4 dsr=1/3"),                // pulses 3, 4: blow 2
      lines("cts=0/5 dsr=0/4 cd=1/1 ri=1/1"),  // cd and ri: not enabled
      byte("x"),                               // not UseDatNum
      byte("B"),                               // pulse 5
      lines("cts=0/5 dsr=0/4"),
      byte("B"),                 // pulse 6: blow 3
      lines("cts=1/6 dsr=0/4"),  // pulse 7
  };
  RunState state;
  const auto deadline = steady_clock::now() + std::chrono::seconds(10);
  FakeClock fake_clock;  // stands still: the console's and desktop's records need one
  PassScript raw(fake_clock, steps, [&] {
    return (state.MyCounter == 3 && state.SNum == 1) || steady_clock::now() > deadline;
  });
  Console console(raw, *clock);
  FakeDesktop desktop(&fake_clock);
  auto wait = MakeEventWait(*serial_, raw, *clock);
  SetupFont(state.screen.Line);
  state.settings = Settings{.ComPortName = pty_.DeviceName(),
                            .UseCts = true,
                            .UseDsr = true,
                            .UseDat = true,
                            .UseDatNum = 'B',
                            .SensorNum = 2,
                            .BellDelay = 40};
  state.SerialHandle = h;
  state.SaveWnd = desktop.AddWindow("Ringing Room - Chromium");
  desktop.foreground = state.SaveWnd;
  CountingIo io{*serial_, console, desktop, *clock, *wait};

  CountBlows(state, io);

  EXPECT_EQ(state.MyCounter, 3);
  EXPECT_EQ(state.SNum, 1);
  EXPECT_EQ(raw.Row(21).substr(0, 8), "count =3");
  // One "j" per blow, the last ones owed at the quit sent before the loop returns.
  std::vector<FakeDesktop::KeyRecord> keys;
  for (int i = 0; i < 3; ++i) {
    keys.insert(keys.end(), {testing::Press(0x4A, 0x24), testing::Release(0x4A, 0x24)});
  }
  EXPECT_EQ(desktop.keys, keys);
  uint8_t buffer[1];
  EXPECT_EQ(serial_->SerReadTimeout(h, buffer, 1), 0) << "every byte was consumed";
}

}  // namespace
}  // namespace strikewell
