// The Windows serial backend under Wine, on a COM port whose far end is a pty that
// tests/win32/com_port_harness.py holds. Run by the harness only: it maps the port
// and answers the requests made through AskHarness.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness_client.h"
#include "platform/backends.h"
#include "platform/serial.h"

namespace strikewell {
namespace {

using testing::AskHarness;
using testing::RunningUnderWine;
using testing::ShimLoaded;
using testing::TestPortDevice;

// Reads until count bytes have come or a generous deadline has passed (Wine's
// read time-outs are timers of its own; the bytes are already queued).
std::string ReadBytes(Serial& serial, SerHandle h, size_t count) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
    uint8_t buffer[255] = {};
    if (serial.SerReadTimeout(h, buffer, SerialReadTimeoutTime) == 1) {
      got += static_cast<char>(buffer[0]);
    }
  }
  return got;
}

class SerialWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(device_.empty()) << "run through com_port_harness.py";
    h_ = serial_->SerOpen(device_);
    ASSERT_GT(h_, 0) << device_;
  }
  void TearDown() override {
    if (h_ > 0) serial_->SerClose(h_);
  }

  const std::string device_ = TestPortDevice();
  std::unique_ptr<Serial> serial_ = MakeSerial();
  SerHandle h_ = 0;
};

// A pty keeps the bit rate and the stop bits of what Wine sets; Linux's pty driver
// forces 8 data bits and no parity, and Wine 8 sets no RTS/CTS flow control on a
// Unix port, so those are not visible from the far end.
TEST_F(SerialWin32Test, OpenAppliesTheDefaultSettings) {
  EXPECT_EQ(AskHarness("termios"), "speed=9600 stopbits=1");
}

TEST_F(SerialWin32Test, LineParametersReachThePort) {
  struct Case {
    int32_t bit_rate;
    int32_t data_bits;
    TParityType parity;
    int32_t stop_bits;
    const char* termios;
  };
  const Case cases[] = {
      {kSensorBitRate, kSensorDataBits, TParityType::NoneParity, kSensorStopBits,
       "speed=2400 stopbits=1"},
      {4800, 7, TParityType::EvenParity, 2, "speed=4800 stopbits=2"},
      {1200, 8, TParityType::OddParity, 3, "speed=1200 stopbits=2"},
      // Stop bits 0 or below are one stop bit.
      {19200, 8, static_cast<TParityType>(7), 0, "speed=19200 stopbits=1"},
      {115200, 8, TParityType::NoneParity, -1, "speed=115200 stopbits=1"},
  };
  for (const Case& c : cases) {
    serial_->SerSetParams(h_, c.bit_rate, c.data_bits, c.parity, c.stop_bits, TSerialFlags{});
    EXPECT_EQ(AskHarness("termios"), c.termios) << c.bit_rate;
  }
}

TEST_F(SerialWin32Test, BytesFromTheDeviceArriveOneReadAtATime) {
  ConfigureSensorPort(*serial_, h_);
  ASSERT_EQ(AskHarness("send 41"), "ok");
  EXPECT_EQ(ReadBytes(*serial_, h_, 1), "A");

  // Three bytes between two reads come out one per call, in order.
  ASSERT_EQ(AskHarness("send 78 00 ff"), "ok");
  std::string got;
  for (int i = 0; i < 3; ++i) {
    uint8_t buffer[255] = {};
    ASSERT_EQ(serial_->SerReadTimeout(h_, buffer, SerialReadTimeoutTime), 1) << "read " << i;
    got += static_cast<char>(buffer[0]);
  }
  EXPECT_EQ(got, std::string("x\0\xff", 3));
}

TEST_F(SerialWin32Test, EmptyReadReturnsNothingAndLeavesTheBuffer) {
  ConfigureSensorPort(*serial_, h_);
  uint8_t buffer[255];
  buffer[0] = '#';
  std::vector<double> took_ms;
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(serial_->SerReadTimeout(h_, buffer, SerialReadTimeoutTime), 0) << "read " << i;
    took_ms.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  EXPECT_EQ(buffer[0], '#');
  std::sort(took_ms.begin(), took_ms.end());
  // A figure, not a limit: Wine's timer resolution decides it.
  std::printf("empty 1 ms read under Wine: median %.2f ms, max %.2f ms\n", took_ms[10],
              took_ms.back());
}

// Time-outs of 0 or less ask only for what is there; none of them may block.
TEST_F(SerialWin32Test, ReadsWithoutATimeOutReturnAtOnce) {
  ConfigureSensorPort(*serial_, h_);
  uint8_t buffer[255];
  buffer[0] = '#';
  for (int32_t timeout_ms : {0, -5}) {
    EXPECT_EQ(serial_->SerReadTimeout(h_, buffer, timeout_ms), 0) << timeout_ms;
  }
  EXPECT_EQ(buffer[0], '#');
  ASSERT_EQ(AskHarness("send 3f"), "ok");
  EXPECT_EQ(serial_->SerReadTimeout(h_, buffer, 0), 1);
  EXPECT_EQ(buffer[0], '?');
}

// A byte that comes while a read waits ends the wait.
TEST_F(SerialWin32Test, AByteEndsAWaitingRead) {
  ConfigureSensorPort(*serial_, h_);
  ASSERT_EQ(AskHarness("send-after 200 42"), "ok");
  uint8_t buffer[255] = {};
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(serial_->SerReadTimeout(h_, buffer, 20000), 1);
  const double waited_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(buffer[0], 'B');
  std::printf("read waiting for a byte sent 200 ms later returned after %.0f ms\n", waited_ms);
}

TEST_F(SerialWin32Test, PortIsExclusiveUntilClosed) {
  Serial& serial = *serial_;
  std::unique_ptr<Serial> other_program = MakeSerial();
  const SerHandle second = serial.SerOpen(device_);
  const SerHandle third = other_program->SerOpen(device_);
  if (RunningUnderWine()) {
    // Wine checks share modes on files only: a second open of a serial device
    // succeeds there. Windows refuses it, which the program relies on.
    EXPECT_GT(second, 0);
    EXPECT_GT(third, 0);
    serial.SerClose(second);
    other_program->SerClose(third);
  } else {
    EXPECT_EQ(second, 0) << "second open of an open port";
    EXPECT_EQ(third, 0);
  }

  serial.SerClose(h_);
  h_ = other_program->SerOpen(device_);
  EXPECT_GT(h_, 0) << "reopen after close";
  other_program->SerClose(h_);
  h_ = serial.SerOpen(device_);
  ASSERT_GT(h_, 0);

  // The reopened port works: a byte still arrives.
  ASSERT_EQ(AskHarness("send 5a"), "ok");
  EXPECT_EQ(ReadBytes(serial, h_, 1), "Z");
}

TEST_F(SerialWin32Test, ShutdownCallsKeepReceivedData) {
  ConfigureSensorPort(*serial_, h_);
  ASSERT_EQ(AskHarness("send 31 32"), "ok");
  serial_->SerSync(h_);
  // Only output is discarded.
  serial_->SerFlushOutput(h_);
  EXPECT_EQ(ReadBytes(*serial_, h_, 2), "12");
}

TEST_F(SerialWin32Test, ClosedOrUnknownHandlesDoNothing) {
  const SerHandle closed = h_;
  serial_->SerClose(h_);
  h_ = 0;
  uint8_t buffer[255];
  buffer[0] = '#';
  for (SerHandle h : {closed, SerHandle{0}, SerHandle{-3}, SerHandle{12345}}) {
    EXPECT_FALSE(serial_->SerGetCTS(h)) << h;
    EXPECT_FALSE(serial_->SerGetDSR(h)) << h;
    EXPECT_FALSE(serial_->SerGetCD(h)) << h;
    EXPECT_FALSE(serial_->SerGetRI(h)) << h;
    EXPECT_EQ(serial_->SerReadTimeout(h, buffer, SerialReadTimeoutTime), 0) << h;
    serial_->SerSetRTS(h, true);
    serial_->SerSetDTR(h, true);
    serial_->SerSync(h);
    serial_->SerFlushOutput(h);
    serial_->SerClose(h);
  }
  EXPECT_EQ(buffer[0], '#');
}

// Names that lead to no device: the prefix maps only the test ports, and a name
// made from an empty port-list entry is the bare prefix.
TEST(SerialWin32Open, AbsentPortsGiveZero) {
  std::unique_ptr<Serial> serial = MakeSerial();
  for (const char* name : {"\\\\.\\", "\\\\.\\COM7", "\\\\.\\NOSUCHPORT", "", "COM300"}) {
    EXPECT_EQ(serial->SerOpen(name), 0) << name;
  }
}

// A pty has no modem lines: Wine's status call fails there, and a failed status
// call reads as a line that is off.
TEST_F(SerialWin32Test, LinesReadOffWhereTheStatusCallFails) {
  if (ShimLoaded()) GTEST_SKIP() << "the modem-line shim is loaded";
  ConfigureSensorPort(*serial_, h_);
  EXPECT_FALSE(serial_->SerGetCTS(h_));
  EXPECT_FALSE(serial_->SerGetDSR(h_));
  EXPECT_FALSE(serial_->SerGetCD(h_));
  EXPECT_FALSE(serial_->SerGetRI(h_));
}

// With the shim preloaded, GetCommModemStatus sees the lines the harness sets.
TEST_F(SerialWin32Test, EachLineReadsItsOwnStatusBit) {
  if (!ShimLoaded()) GTEST_SKIP() << "needs the modem-line shim";
  ConfigureSensorPort(*serial_, h_);
  struct Case {
    const char* lines;
    bool cts, dsr, cd, ri;
  };
  const Case cases[] = {
      {"", false, false, false, false},
      {"cts=1", true, false, false, false},
      {"dsr=1", false, true, false, false},
      {"cd=1", false, false, true, false},
      {"ri=1", false, false, false, true},
      {"cts=1 dsr=1 cd=1 ri=1", true, true, true, true},
      {"cts=0 dsr=1 cd=0 ri=1", false, true, false, true},
      // The status call itself fails: every line reads off.
      {"fail", false, false, false, false},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(AskHarness(std::string("lines ") + c.lines), "ok");
    EXPECT_EQ(serial_->SerGetCTS(h_), c.cts) << c.lines;
    EXPECT_EQ(serial_->SerGetDSR(h_), c.dsr) << c.lines;
    EXPECT_EQ(serial_->SerGetCD(h_), c.cd) << c.lines;
    EXPECT_EQ(serial_->SerGetRI(h_), c.ri) << c.lines;
  }
}

// Every line read is a status call of its own, so a change between two reads shows.
TEST_F(SerialWin32Test, EachLineReadIsAFreshSample) {
  if (!ShimLoaded()) GTEST_SKIP() << "needs the modem-line shim";
  ASSERT_EQ(AskHarness("lines cts=1"), "ok");
  EXPECT_TRUE(serial_->SerGetCTS(h_));
  ASSERT_EQ(AskHarness("lines dsr=1"), "ok");
  EXPECT_FALSE(serial_->SerGetCTS(h_));
  EXPECT_TRUE(serial_->SerGetDSR(h_));
}

TEST_F(SerialWin32Test, RtsAndDtrFollowTheCalls) {
  if (!ShimLoaded()) GTEST_SKIP() << "needs the modem-line shim";
  struct Step {
    const char* what;
    void (*act)(Serial&, SerHandle);
    const char* outputs;
  };
  const Step steps[] = {
      {"configure", [](Serial& s, SerHandle h) { ConfigureSensorPort(s, h); }, "rts=1 dtr=1"},
      {"RTS off", [](Serial& s, SerHandle h) { s.SerSetRTS(h, false); }, "rts=0 dtr=1"},
      {"DTR off", [](Serial& s, SerHandle h) { s.SerSetDTR(h, false); }, "rts=0 dtr=0"},
      {"DTR on", [](Serial& s, SerHandle h) { s.SerSetDTR(h, true); }, "rts=0 dtr=1"},
      {"RTS on", [](Serial& s, SerHandle h) { s.SerSetRTS(h, true); }, "rts=1 dtr=1"},
      // The parameter step builds its DCB from zero: both lines go off.
      {"parameters",
       [](Serial& s, SerHandle h) {
         s.SerSetParams(h, kSensorBitRate, kSensorDataBits, TParityType::NoneParity,
                        kSensorStopBits, TSerialFlags{});
       },
       "rts=0 dtr=0"},
  };
  for (const Step& step : steps) {
    step.act(*serial_, h_);
    EXPECT_EQ(AskHarness("outputs"), step.outputs) << step.what;
  }
}

}  // namespace
}  // namespace strikewell
