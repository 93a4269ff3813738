// One calibration through the real Linux backends: discovery over a temporary sysfs
// tree lists a pty, the serial backend opens it, and an interface box is played on the
// pty's far end in real time. Nothing here asserts on timing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "calibration/calibration.h"
#include "fake_clock.h"
#include "fake_console.h"
#include "platform/backends.h"
#include "platform/posix/ports_sysfs.h"
#include "pty_pair.h"
#include "run/run_state.h"
#include "sysfs_tree.h"

namespace strikewell::testing {
namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::StartsWith;

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
