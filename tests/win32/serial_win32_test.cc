// The Windows serial backend under Wine, on a COM port whose far end is a pty that
// tests/win32/com_port_harness.py holds: it does on request what only the Linux side can.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
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
using testing::ShimLoaded;
using testing::TestPortDevice;

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

class SerialWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(device_.empty()) << "run through com_port_harness.py";
    h_ = serial_->SerOpen(device_);
    ASSERT_GT(h_, 0) << device_;
  }
  void TearDown() override { serial_->SerClose(h_); }

  const std::string device_ = TestPortDevice();
  std::unique_ptr<Serial> serial_ = MakeSerial();
  SerHandle h_ = 0;
  uint8_t buffer_[255] = {'#'};
};

// A pty keeps only the bit rate and the stop bits of what Wine sets (Linux forces
// 8 data bits and no parity there).
TEST_F(SerialWin32Test, LineParametersReachThePort) {
  EXPECT_EQ(AskHarness("termios"), "speed=9600 stopbits=1") << "defaults of the open";
  struct Case {
    int32_t bit_rate, data_bits;
    TParityType parity;
    int32_t stop_bits;
    const char* termios;
  };
  const Case cases[] = {
      {kSensorBitRate, kSensorDataBits, TParityType::NoneParity, kSensorStopBits,
       "speed=2400 stopbits=1"},
      {4800, 7, TParityType::EvenParity, 2, "speed=4800 stopbits=2"},
      {1200, 8, TParityType::OddParity, 3, "speed=1200 stopbits=2"},
      {19200, 8, static_cast<TParityType>(7), 0, "speed=19200 stopbits=1"},
  };
  for (const Case& c : cases) {
    serial_->SerSetParams(h_, c.bit_rate, c.data_bits, c.parity, c.stop_bits, TSerialFlags{});
    EXPECT_EQ(AskHarness("termios"), c.termios) << c.bit_rate;
  }
}

TEST_F(SerialWin32Test, BytesArriveOneReadAtATime) {
  ConfigureSensorPort(*serial_, h_);
  // A byte that comes while a read waits ends the wait.
  ASSERT_EQ(AskHarness("send-after 200 42"), "ok");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(serial_->SerReadTimeout(h_, buffer_, 20000), 1);
  EXPECT_EQ(buffer_[0], 'B');
  std::printf("read waiting for a byte sent 200 ms later returned after %.0f ms\n", MsSince(start));

  // Queued bytes come out one per call, in order; the shutdown calls discard output only.
  ASSERT_EQ(AskHarness("send 78 00 ff"), "ok");
  serial_->SerSync(h_);
  serial_->SerFlushOutput(h_);
  std::string got;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(serial_->SerReadTimeout(h_, buffer_, SerialReadTimeoutTime), 1) << "read " << i;
    got += static_cast<char>(buffer_[0]);
  }
  EXPECT_EQ(got, std::string("x\0\xff", 3));
}

// Empty reads return 0 and leave the buffer; a time-out of 0 asks only for what is there.
TEST_F(SerialWin32Test, EmptyReadsReturnZeroAtOnce) {
  ConfigureSensorPort(*serial_, h_);
  double took_ms[20];
  for (double& took : took_ms) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(serial_->SerReadTimeout(h_, buffer_, SerialReadTimeoutTime), 0);
    took = MsSince(start);
  }
  std::sort(std::begin(took_ms), std::end(took_ms));
  // A figure, not a limit: Wine's timer resolution decides it.
  std::printf("empty 1 ms read under Wine: median %.2f ms, max %.2f ms\n", took_ms[10],
              took_ms[19]);
  EXPECT_EQ(serial_->SerReadTimeout(h_, buffer_, 0), 0);
  EXPECT_EQ(buffer_[0], '#');
  ASSERT_EQ(AskHarness("send 3f"), "ok");
  EXPECT_EQ(serial_->SerReadTimeout(h_, buffer_, 0), 1);
  EXPECT_EQ(buffer_[0], '?');
}

// A closed handle reads nothing, even with a byte waiting; the port opens again.
TEST_F(SerialWin32Test, ClosedHandleReadsNothingAndThePortReopens) {
  serial_->SerClose(h_);
  ASSERT_EQ(AskHarness("send 5a"), "ok");
  EXPECT_EQ(serial_->SerReadTimeout(h_, buffer_, SerialReadTimeoutTime), 0);
  EXPECT_EQ(buffer_[0], '#');
  h_ = serial_->SerOpen(device_);
  ASSERT_GT(h_, 0) << "reopen after close";
  EXPECT_EQ(serial_->SerReadTimeout(h_, buffer_, 5000), 1);
  EXPECT_EQ(buffer_[0], 'Z');
}

// The prefix maps only the test ports; an empty port-list entry gives the bare prefix.
TEST(SerialWin32Open, AbsentPortsGiveZero) {
  std::unique_ptr<Serial> serial = MakeSerial();
  for (const char* name : {"\\\\.\\COM7", "\\\\.\\"}) {
    EXPECT_EQ(serial->SerOpen(name), 0) << name;
  }
}

// With the shim preloaded, GetCommModemStatus sees the lines the harness sets, afresh
// at every read.
TEST_F(SerialWin32Test, EachLineReadsItsOwnStatusBit) {
  if (!ShimLoaded()) GTEST_SKIP() << "needs the modem-line shim";
  ConfigureSensorPort(*serial_, h_);
  struct Case {
    const char* lines;
    const char* cts_dsr_cd_ri;
  };
  const Case cases[] = {
      {"cts=1", "1000"},
      {"dsr=1", "0100"},
      {"cd=1", "0010"},
      // The status call itself fails: every line reads off.
      {"fail", "0000"},
      {"ri=1", "0001"},
      {"cts=1 dsr=1 cd=1 ri=1", "1111"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(AskHarness(std::string("lines ") + c.lines), "ok");
    std::string read;
    for (bool on : {serial_->SerGetCTS(h_), serial_->SerGetDSR(h_), serial_->SerGetCD(h_),
                    serial_->SerGetRI(h_)}) {
      read += on ? '1' : '0';
    }
    EXPECT_EQ(read, c.cts_dsr_cd_ri) << c.lines;
  }
}

TEST_F(SerialWin32Test, RtsAndDtrFollowTheCalls) {
  if (!ShimLoaded()) GTEST_SKIP() << "needs the modem-line shim";
  ASSERT_EQ(AskHarness("lines "), "ok");  // Wine's GetCommState fails where TIOCMGET does.
  ConfigureSensorPort(*serial_, h_);
  EXPECT_EQ(AskHarness("outputs"), "rts=1 dtr=1");
  serial_->SerSetRTS(h_, false);
  EXPECT_EQ(AskHarness("outputs"), "rts=0 dtr=1");
  serial_->SerSetDTR(h_, false);
  EXPECT_EQ(AskHarness("outputs"), "rts=0 dtr=0");
  serial_->SerSetRTS(h_, true);
  EXPECT_EQ(AskHarness("outputs"), "rts=1 dtr=0");
  // The parameter step builds its DCB from zero: both lines go off.
  ConfigureSensorPort(*serial_, h_);
  serial_->SerSetParams(h_, kSensorBitRate, kSensorDataBits, TParityType::NoneParity,
                        kSensorStopBits, TSerialFlags{});
  EXPECT_EQ(AskHarness("outputs"), "rts=0 dtr=0");
}

// The FTDI driver keeps each adapter's latency timer beside its COM name, under
// HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\<device id>\<instance>\Device Parameters.
// The test writes such keys, volatile and under a device id of its own port that no
// adapter has, and removes them again.
class FtdiLatencyTimerTest : public SerialWin32Test {
 protected:
  struct Adapter {
    const char* instance;
    std::string port_name;
    DWORD type = REG_DWORD;
    std::string latency;  // the value's bytes; empty: no LatencyTimer value
  };

  void TearDown() override {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, device_key_.c_str());
    SerialWin32Test::TearDown();
  }

  static std::string Dword(DWORD value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
  }

  // Replaces the test's device key with one instance per adapter.
  void ListAdapters(const std::vector<Adapter>& adapters) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, device_key_.c_str());
    for (const Adapter& adapter : adapters) {
      const std::string path = device_key_ + "\\" + adapter.instance + "\\Device Parameters";
      HKEY key = nullptr;
      ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &key, nullptr),
                ERROR_SUCCESS)
          << path;
      const std::string name = adapter.port_name + '\0';
      EXPECT_EQ(
          RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.data()),
                         static_cast<DWORD>(name.size())),
          ERROR_SUCCESS);
      if (!adapter.latency.empty()) {
        EXPECT_EQ(RegSetValueExA(key, "LatencyTimer", 0, adapter.type,
                                 reinterpret_cast<const BYTE*>(adapter.latency.data()),
                                 static_cast<DWORD>(adapter.latency.size())),
                  ERROR_SUCCESS);
      }
      RegCloseKey(key);
    }
  }

  const std::string port_name_ = device_.substr(4);  // "COM5" of "\\.\COM5"
  const std::string device_key_ =
      "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+STRIKEWELL_" + port_name_;
};

TEST_F(FtdiLatencyTimerTest, LatencyTimerOfTheAdapterNamingThePort) {
  std::string lower_case = port_name_;
  for (char& ch : lower_case) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  struct Case {
    const char* what;
    std::vector<Adapter> adapters;
    int32_t want;
  };
  const Case cases[] = {
      {.what = "no adapter", .adapters = {}, .want = 0},
      {.what = "the driver's default of 16 ms",
       .adapters = {{.instance = "0000", .port_name = port_name_, .latency = Dword(16)}},
       .want = 16},
      {.what = "2 ms",
       .adapters = {{.instance = "0000", .port_name = port_name_, .latency = Dword(2)}},
       .want = 2},
      {.what = "1 ms, already the least",
       .adapters = {{.instance = "0000", .port_name = port_name_, .latency = Dword(1)}},
       .want = 0},
      {.what = "the port's name in another case",
       .adapters = {{.instance = "0000", .port_name = lower_case, .latency = Dword(16)}},
       .want = 16},
      {.what = "only another port's adapter",
       .adapters = {{.instance = "0000", .port_name = "COM77", .latency = Dword(16)}},
       .want = 0},
      {.what = "the port's adapter listed after another's",
       .adapters = {{.instance = "0000", .port_name = "COM77", .latency = Dword(8)},
                    {.instance = "0001", .port_name = port_name_, .latency = Dword(4)}},
       .want = 4},
      {.what = "no LatencyTimer value",
       .adapters = {{.instance = "0000", .port_name = port_name_, .latency = ""}},
       .want = 0},
      {.what = "a LatencyTimer that is text",
       .adapters = {{.instance = "0000",
                     .port_name = port_name_,
                     .type = REG_SZ,
                     .latency = std::string("16", 3)}},
       .want = 0},
  };
  for (const Case& c : cases) {
    ListAdapters(c.adapters);
    EXPECT_EQ(serial_->SerLatencyTimerMs(h_), c.want) << c.what;
  }
  ListAdapters({{.instance = "0000", .port_name = port_name_, .latency = Dword(16)}});
  serial_->SerClose(h_);
  EXPECT_EQ(serial_->SerLatencyTimerMs(h_), 0) << "a closed handle";
}

// A USB adapter pulled out: the port is reported lost, as against a line that is
// off, once a call finds the device gone.
TEST_F(SerialWin32Test, AHungUpPortIsReportedLost) {
  const SerHandle h = h_;
  EXPECT_FALSE(serial_->SerPortLost(h));
  ASSERT_EQ(AskHarness("hangup"), "ok");
  bool lost = false;
  for (int i = 0; i < 200 && !lost; ++i) {
    uint8_t byte = 0;
    serial_->SerReadTimeout(h, &byte, 10);
    serial_->SerGetCTS(h);
    lost = serial_->SerPortLost(h);
  }
  EXPECT_TRUE(lost);
  serial_->SerClose(h);
  // Plugged back in: the same name opens a port that is there.
  ASSERT_EQ(AskHarness("replug"), "ok");
  h_ = serial_->SerOpen(device_);
  ASSERT_GT(h_, 0);
  EXPECT_FALSE(serial_->SerPortLost(h_));
}

}  // namespace
}  // namespace strikewell
