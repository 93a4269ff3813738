// The Linux serial backend against real pseudo-terminals.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/backends.h"
#include "platform/posix/serial_posix.h"
#include "pty_pair.h"

namespace strikewell {
namespace {

using testing::PtyPair;

class SerialPosixTest : public ::testing::Test {
 protected:
  termios SlaveTermios() const {
    termios tio{};
    EXPECT_EQ(tcgetattr(pty_.slave(), &tio), 0);
    return tio;
  }
  bool Exclusive() const {
    int exclusive = 0;
    EXPECT_EQ(ioctl(pty_.slave(), TIOCGEXCL, &exclusive), 0);
    return exclusive != 0;
  }

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
  uint8_t buffer[255] = {};
  std::string got;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(serial_->SerReadTimeout(h, buffer, SerialReadTimeoutTime), 1) << "read " << i;
    got += static_cast<char>(buffer[0]);
  }
  EXPECT_EQ(got, "xyz");
  buffer[0] = '#';
  EXPECT_EQ(serial_->SerReadTimeout(h, buffer, SerialReadTimeoutTime), 0);
  EXPECT_EQ(serial_->SerReadTimeout(other, buffer, SerialReadTimeoutTime), 0);
  EXPECT_EQ(buffer[0], '#') << "an empty read leaves the buffer alone";
}

// poll() never returns before its time-out; the upper bound only catches a read that
// blocks. Once the far side hangs up, poll() reports POLLHUP at once: the read must
// still wait, or the counting loop would spin.
TEST_F(SerialPosixTest, EmptyReadWaitsForItsTimeOutAndNoLongerEvenAfterAHangUp) {
  const SerHandle h = serial_->SerOpen(pty_.DeviceName());
  ASSERT_GT(h, 0);
  uint8_t buffer[1] = {'#'};
  for (bool hung_up : {false, true}) {
    if (hung_up) pty_.HangUp();
    for (int32_t timeout_ms : {0, -5, 1, 30}) {
      SCOPED_TRACE(std::to_string(timeout_ms) + (hung_up ? " hung up" : ""));
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(serial_->SerReadTimeout(h, buffer, timeout_ms), 0);
      const auto took = std::chrono::steady_clock::now() - start;
      EXPECT_GE(took, std::chrono::milliseconds(std::max(timeout_ms, 0)));
      EXPECT_LT(took, std::chrono::seconds(1));
    }
  }
  EXPECT_EQ(buffer[0], '#');
  EXPECT_FALSE(serial_->SerGetCTS(h));
}

// Windows opens a port for one user at a time; so does this backend, even for root.
TEST_F(SerialPosixTest, PortHasOneOpenerUntilClosed) {
  const SerHandle first = serial_->SerOpen(pty_.DeviceName());
  ASSERT_GT(first, 0);
  EXPECT_TRUE(Exclusive());
  EXPECT_EQ(serial_->SerOpen(pty_.DeviceName()), 0);
  // Another backend in the same process is another program as far as the port goes.
  EXPECT_EQ(MakeSerial()->SerOpen(pty_.DeviceName()), 0);

  serial_->SerClose(first);
  EXPECT_FALSE(Exclusive()) << "a pty keeps exclusive mode while its master is open";
  const SerHandle again = serial_->SerOpen(pty_.DeviceName());
  EXPECT_GT(again, 0);
  EXPECT_NE(again, first) << "a closed handle is not handed out again at once";

  // Destroying a backend closes its ports.
  serial_.reset();
  serial_ = MakeSerial();
  EXPECT_GT(serial_->SerOpen(pty_.DeviceName()), 0);
}

TEST_F(SerialPosixTest, PortHeldExclusivelyByAnotherProgramIsRefusedEvenToRoot) {
  ASSERT_EQ(ioctl(pty_.slave(), TIOCEXCL), 0);
  EXPECT_EQ(serial_->SerOpen(pty_.DeviceName()), 0);
  EXPECT_TRUE(Exclusive()) << "the refused opener left the holder's mode alone";
  ASSERT_EQ(ioctl(pty_.slave(), TIOCNXCL), 0);
  EXPECT_GT(serial_->SerOpen(pty_.DeviceName()), 0);
}

TEST_F(SerialPosixTest, OnlyTerminalsBelowDevOpen) {
  char temp_path[] = "/tmp/strikewell-serial-XXXXXX";
  const int temp_fd = mkstemp(temp_path);
  ASSERT_GE(temp_fd, 0);
  close(temp_fd);
  const std::pair<std::string, bool> cases[] = {
      {pty_.DeviceName(), true},      // \\.\pts/N
      {pty_.path(), true},            // /dev/pts/N
      {pty_.path().substr(5), true},  // pts/N
      {"", false},
      {"\\\\.\\", false},
      {"\\\\.\\ttyStrikewellMissing0", false},
      {"\\\\.\\null", false},  // a device, but not a terminal
      {std::string("\\\\.\\..") + temp_path, false},
      {temp_path, false},  // a plain file
      {"\\\\.\\pts/../null", false},
  };
  for (const auto& [name, opens] : cases) {
    const SerHandle h = serial_->SerOpen(name);
    EXPECT_EQ(h > 0, opens) << name;
    serial_->SerClose(h);
  }
  unlink(temp_path);
}

TEST_F(SerialPosixTest, UnknownHandlesDoNothing) {
  const SerHandle h = serial_->SerOpen(pty_.DeviceName());
  ASSERT_GT(h, 0);
  pty_.Send("A");
  uint8_t buffer[1] = {'#'};
  for (SerHandle bad : {0, -1, h + 1, INT32_MAX}) {
    serial_->SerSetParams(bad, 2400, 8, TParityType::NoneParity, 1, {});
    serial_->SerSetRTS(bad, true);
    serial_->SerSetDTR(bad, true);
    EXPECT_FALSE(serial_->SerGetCTS(bad) || serial_->SerGetDSR(bad) || serial_->SerGetCD(bad) ||
                 serial_->SerGetRI(bad));
    EXPECT_EQ(serial_->SerReadTimeout(bad, buffer, 1), 0);
    serial_->SerSync(bad);
    serial_->SerFlushOutput(bad);
    serial_->SerClose(bad);
  }
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(serial_->SerReadTimeout(h, buffer, 1000), 1) << "the real port kept its byte";
  EXPECT_EQ(buffer[0], 'A');
  serial_->SerClose(h);
  EXPECT_EQ(serial_->SerReadTimeout(h, buffer, 1), 0) << "closed";
}

struct ParamsCase {
  int32_t rate;
  int32_t data_bits;
  TParityType parity;
  int32_t stop_bits;
  bool rts_cts;
  speed_t speed;
  tcflag_t size;
  tcflag_t parity_flags;  // the PARENB and PARODD bits
  bool two_stop_bits;
};

TEST(SerialPosixTermios, LineSettingsFollowTheParametersOrAreRefused) {
  const ParamsCase cases[] = {
      {2400, 8, TParityType::NoneParity, 1, false, B2400, CS8, 0, false},
      {9600, 7, TParityType::EvenParity, 2, false, B9600, CS7, PARENB, true},
      {4800, 8, TParityType::OddParity, 0, false, B4800, CS8, PARENB | PARODD, false},
      {19200, 5, static_cast<TParityType>(7), -3, false, B19200, CS5, 0, false},
      {1200, 6, TParityType::NoneParity, 3, true, B1200, CS6, 0, true},
      {115200, 8 + 256, TParityType::NoneParity, 1, false, B115200, CS8, 0, false},
  };
  for (const ParamsCase& c : cases) {
    SCOPED_TRACE(c.rate);
    termios tio{};
    tio.c_iflag = IXON | IXOFF | INPCK | ICRNL;
    tio.c_lflag = ICANON | ECHO | ISIG;
    tio.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    ASSERT_TRUE(
        LineTermios(tio, c.rate, c.data_bits, c.parity, c.stop_bits, TSerialFlags{c.rts_cts}));
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD), c.parity_flags);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.two_stop_bits);
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.rts_cts);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | INPCK | ICRNL), 0u)
        << "no XON/XOFF, no parity checking, bytes as sent";
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
  }
  for (const auto& [rate, data_bits] : std::vector<std::pair<int32_t, int32_t>>{
           {2401, 8}, {0, 8}, {-9600, 8}, {2400, 9}, {2400, 4}, {2400, 0}}) {
    termios tio{};
    EXPECT_FALSE(LineTermios(tio, rate, data_bits, TParityType::NoneParity, 1, {}))
        << rate << " " << data_bits;
  }
}

TEST_F(SerialPosixTest, OpenAppliesDefaultsAndParamsReachThePort) {
  const SerHandle h = serial_->SerOpen(pty_.DeviceName());
  ASSERT_GT(h, 0);
  termios tio = SlaveTermios();
  EXPECT_EQ(cfgetospeed(&tio), B9600) << "default settings on open";
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(tio.c_lflag & ICANON, 0u) << "raw";

  // A pty keeps the rate, the stop bits and the flow control (it always reports
  // 8 data bits and no parity).
  serial_->SerSetParams(h, 1200, 6, TParityType::NoneParity, 3, TSerialFlags{true});
  tio = SlaveTermios();
  EXPECT_EQ(cfgetospeed(&tio), B1200);
  EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
  EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(tio.c_lflag & ICANON, 0u);
  // Settings the port cannot take leave it as it was.
  serial_->SerSetParams(h, 2401, 8, TParityType::NoneParity, 1, {});
  tio = SlaveTermios();
  EXPECT_EQ(cfgetospeed(&tio), B1200);

  // A fixed RTS level replaces the hardware handshake.
  serial_->SerSetParams(h, 2400, 8, TParityType::NoneParity, 1, TSerialFlags{true});
  serial_->SerSetRTS(h, true);
  tio = SlaveTermios();
  EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(cfgetospeed(&tio), B2400);
}

TEST_F(SerialPosixTest, ShutdownStepsReturnWithUnreadOutputAndReleaseThePort) {
  const SerHandle h = serial_->SerOpen(pty_.DeviceName());
  ASSERT_GT(h, 0);
  ConfigureSensorPort(*serial_, h);
  // Output that nobody reads on the far side: the drain must still come back.
  const std::string output(4096, 'o');
  ASSERT_EQ(write(pty_.slave(), output.data(), output.size()), static_cast<ssize_t>(output.size()));
  serial_->SerSync(h);
  serial_->SerFlushOutput(h);
  serial_->SerClose(h);
  EXPECT_GT(serial_->SerOpen(pty_.DeviceName()), 0);
}

}  // namespace
}  // namespace strikewell
