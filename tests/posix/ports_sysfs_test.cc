// Port discovery over a temporary tree shaped like /sys/class/tty and /dev, so that
// the machine's real ports are never seen; and one calibration through it and the
// serial backend, with an interface box played on a pty's far end in real time.
#include "platform/posix/ports_sysfs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "calibration/calibration.h"
#include "fake_clock.h"
#include "fake_console.h"
#include "platform/backends.h"
#include "platform/registry.h"
#include "pty_pair.h"
#include "run/run_state.h"

namespace strikewell::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::StartsWith;

class SysfsTree {
 public:
  SysfsTree()
      : root_(fs::temp_directory_path() /
              ("strikewell_sysfs_" + std::to_string(std::random_device{}()))) {
    fs::create_directories(tty_class() / "console");
    fs::create_directories(dev());
  }
  ~SysfsTree() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  SysfsTree(const SysfsTree&) = delete;
  SysfsTree& operator=(const SysfsTree&) = delete;

  fs::path tty_class() const { return root_ / "class" / "tty"; }
  fs::path dev() const { return root_ / "dev"; }

  // A tty as the kernel shows it: a class entry linking into the device tree, a
  // `device` link when there is hardware, a serial_core `type` (0: empty slot), and
  // the node below /dev when named ('!' in sysfs names is '/' below /dev).
  void Tty(const std::string& sys_name, bool has_device, int uart_type = -1, bool node = true) {
    const fs::path dir = root_ / "devices" / sys_name;
    fs::create_directories(dir);
    fs::create_directory_symlink(dir, tty_class() / sys_name);
    if (has_device) {
      fs::create_directories(root_ / "hardware" / sys_name);
      fs::create_directory_symlink(root_ / "hardware" / sys_name, dir / "device");
    }
    if (uart_type >= 0) std::ofstream(dir / "type") << uart_type << "\n";
    if (!node) return;
    std::string dev_name = sys_name;
    if (const size_t bang = dev_name.find('!'); bang != std::string::npos) dev_name[bang] = '/';
    fs::create_directories((dev() / dev_name).parent_path());
    std::ofstream(dev() / dev_name).put('\0');
  }
  void Port(const std::string& name, int uart_type = -1) { Tty(name, true, uart_type); }
  void ActiveConsoles(const std::string& names) {
    std::ofstream(tty_class() / "console" / "active") << names << "\n";
  }

 private:
  fs::path root_;
};

std::string Names(const SysfsTree& tree) {
  return SysfsPortNames(tree.tty_class().string(), tree.dev().string()).GetSerialPortNames();
}

TEST(SysfsPortNamesTest, ListsPortsWithHardwareInKindAndNaturalOrder) {
  SysfsTree tree;
  EXPECT_EQ(Names(tree), "");
  // Virtual terminals and ptmx have no device; an 8250 slot of type 0 has no UART;
  // the system console may be on a UART or on a USB adapter.
  tree.Tty("tty0", false);
  tree.Tty("ptmx", false);
  tree.ActiveConsoles("tty0 ttyS0 ttyUSB0");
  tree.Port("ttyUSB0");
  tree.Port("ttyS0", 4);
  tree.Port("ttyS1", 0);
  tree.Port("ttyS2", 4);
  tree.Port("ttyS10", 16);
  tree.Port("ttyUSB10");
  tree.Port("ttyUSB9");
  tree.Port("ttyACM0");
  tree.Port("ttyAMA0", 3);
  tree.Port("rfcomm0");
  tree.Port("pts!3");
  tree.Tty("pts!4", true, -1, false);  // udev made no node: cannot be opened

  EXPECT_EQ(Names(tree), "ttyUSB9,ttyUSB10,ttyACM0,pts/3,rfcomm0,ttyAMA0,ttyS2,ttyS10");
  SysfsPortNames missing((tree.tty_class() / "absent").string(), tree.dev().string());
  EXPECT_EQ(missing.GetSerialPortNames(), "");
}

TEST(SysfsPortNamesTest, MoreThanTwentyFiveKeepTheAdaptersInTheList) {
  SysfsTree tree;
  for (int i = 0; i < 30; ++i) tree.Port("ttyS" + std::to_string(i), 4);
  tree.Port("ttyUSB0");
  tree.Port("ttyACM0");

  SysfsPortNames names(tree.tty_class().string(), tree.dev().string());
  PortListType SSS;
  int32_t SSSI = 0;
  ListCommPort(SSSI, SSS, names);
  ASSERT_EQ(SSSI, 25);
  EXPECT_EQ(SSS[1], "ttyUSB0");
  EXPECT_EQ(SSS[2], "ttyACM0");
  for (int n = 3; n <= 25; ++n) EXPECT_EQ(SSS[n], "ttyS" + std::to_string(n - 3));
}

TEST(CalibrationOverPtyTest, InterfaceBoxOnAPtyListedBySysfs) {
  PtyPair pty;
  const std::string name = pty.path().substr(5);  // "pts/N"
  SysfsTree tree;
  tree.Tty("pts!" + name.substr(4), true, -1, false);

  RunState state;
  SysfsPortNames names(tree.tty_class().string(), "/dev");
  ListCommPort(state.SSSI, state.SSS, names);
  ASSERT_EQ(state.SSSI, 1);
  ASSERT_EQ(state.SSS[1], name);

  auto serial = MakeSerial();
  auto clock = MakeClock();
  // Typed answers are there at once: yes to the interface box, then the delay.
  FakeClock console_clock;
  FakeRawConsole raw(console_clock, 80, 60);
  Console console(raw, console_clock);
  raw.Type("y");
  raw.TypeLine("250");
  const std::string settings_path = (tree.dev() / "serialport_strikewell.ini").string();

  // Two sensor passages per blow, clear of the second in which sampling begins. The
  // bytes are not waited for: the backend may take them before a check could.
  std::thread box([&pty] {
    for (int gap_ms : {1500, 400, 1600, 400}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
      ASSERT_EQ(write(pty.master(), "1", 1), 1);
    }
  });
  const CalibrationOutcome outcome = Calibrate(state, *serial, console, *clock, settings_path);
  box.join();
  ASSERT_EQ(outcome, CalibrationOutcome::Calibrated);

  // Times depend on the real clock: only the rest of each line is compared.
  std::vector<std::string> rows;
  for (int y = 1; y <= 60; ++y) rows.push_back(raw.Row(y));
  const auto listing = std::find(rows.begin(), rows.end(), "List of Port inputs...");
  ASSERT_LT(listing + 8, rows.end());
  for (int n = 1; n <= 4; ++n) {
    EXPECT_THAT(listing[n],
                AllOf(StartsWith("1 Port:" + name + " pulse:" + std::to_string(n) + " time:"),
                      EndsWith(" data=\"1\"")));
  }
  EXPECT_EQ(listing[5], "");
  EXPECT_EQ(listing[6], "Summary: input detected on these ports:");
  EXPECT_THAT(listing[7], StartsWith("1 Port " + name + " pulses:4 duration:"));
  EXPECT_EQ(listing[8], "Total pulses 4 implies     2.00 sensors on bell");

  std::ifstream in(settings_path, std::ios::binary);
  std::ostringstream file;
  file << in.rdbuf();
  EXPECT_EQ(file.str(), "\\\\.\\" + name + "\r\n0\r\n0\r\n0\r\n0\r\n1\r\n49\r\n2\r\n250\r\n");

  // Calibration closed the port: it opens again, as counting will open it.
  EXPECT_GT(serial->SerOpen("\\\\.\\" + name), 0);
}

}  // namespace
}  // namespace strikewell::testing
