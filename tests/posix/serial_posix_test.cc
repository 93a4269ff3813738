// The Linux serial backend against real pseudo-terminals.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "platform/backends.h"
#include "platform/posix/serial_posix.h"
#include "pty_pair.h"

namespace strikewell {
namespace {

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
  EXPECT_GT(serial_->SerOpen(pty_.DeviceName()), 0);
}

TEST_F(SerialPosixTest, OnlyTerminalsBelowDevOpen) {
  char temp_path[] = "/tmp/strikewell-serial-XXXXXX";
  const int temp_fd = mkstemp(temp_path);
  ASSERT_GE(temp_fd, 0);
  close(temp_fd);
  const std::pair<std::string, bool> cases[] = {
      {pty_.DeviceName(), true},  // \\.\pts/N
      {pty_.path(), true},        // /dev/pts/N
      {"", false},
      {"\\\\.\\ttyStrikewellMissing0", false},
      {"\\\\.\\null", false},  // a device, but not a terminal
      {temp_path, false},
      {std::string("\\\\.\\..") + temp_path, false},
  };
  for (const auto& [name, opens] : cases) {
    const SerHandle h = serial_->SerOpen(name);
    EXPECT_EQ(h > 0, opens) << name;
    serial_->SerClose(h);
  }
  unlink(temp_path);
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
  EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
  EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
  serial_->SerSetParams(h, 2401, 8, TParityType::NoneParity, 1, {});
  tio = Termios(pty_.slave());
  EXPECT_EQ(cfgetospeed(&tio), B1200) << "a refused rate changes nothing";

  // A fixed RTS level replaces the hardware handshake.
  serial_->SerSetRTS(h, true);
  EXPECT_EQ(Termios(pty_.slave()).c_cflag & CRTSCTS, 0u);
}

}  // namespace
}  // namespace strikewell
