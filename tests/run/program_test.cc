// The whole program over fakes: a real settings file in a temporary directory,
// scripted ports, keys, windows and a fake clock. Each test is one run as a ringer
// would see it, from the banner to the exit status.
#include "run/program.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
#include "fake_serial.h"

namespace strikewell {
namespace {

using testing::FakeClock;
using testing::FakeDesktop;
using testing::FakeRawConsole;
using testing::FakeSerial;
using testing::Lines;

constexpr const char* kCom3 = "\\\\.\\COM3";
constexpr uint8_t kVkJ = 0x4A;

class FixedPortNames : public PortNames {
 public:
  std::string text;
  std::string GetSerialPortNames() override { return text; }
};

const std::vector<std::string> kBanner = {
    "Serialport_Strikewell_v0.5.2.1.1_with_sendkey, 9 June 2020",
    "Counts bell rotations using serial port bell sensor input",
    "May not run correctly, but will not damage anything - please report problems",
    "strikewell: written by ringers, for ringers practising on a simulator bell",
    "This uses the same bell sensor data as used by Abel, Beltower etc.",
    "for individual sensors.  This version can use Bagley box output (ASCII chars)",
    "It self calibrates by detecting the sensor signals from a handstroke and ",
    "backstroke pull, then saves the settings.  Count can be reset to zero",
    "In use it counts the bell blows and displays them on screen, with speed",
    "Sends j key to ringingroom.com window, WHICH MUST BE ALREADY OPEN",
};

// The CTS sensor on COM3 with two pulses per blow and a 250 ms delay.
const std::string kCtsFile = "\\\\.\\COM3\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250\r\n";

class ProgramTest : public ::testing::Test {
 protected:
  ProgramTest() : serial(clock), raw(clock), console(raw, clock), desktop(&clock) {
    dir = std::filesystem::temp_directory_path() /
          ("strikewell_program_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    settings_path = (dir / "serialport_strikewell.ini").string();
  }
  ~ProgramTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  int Run() {
    Platform platform{serial, ports, console, desktop, clock, settings_path};
    return RunProgram(platform);
  }

  void WriteFile(const std::string& bytes) {
    std::ofstream(settings_path, std::ios::binary) << bytes;
  }
  std::string ReadFile() const {
    std::ifstream in(settings_path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // The transcript's lines, in the order they were written.
  std::vector<std::string> TranscriptLines() const {
    std::vector<std::string> lines;
    std::stringstream s(raw.transcript);
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    return lines;
  }
  bool Printed(const std::string& line) const {
    for (const std::string& l : TranscriptLines())
      if (l == line) return true;
    return false;
  }

  // Fake times (ms) of the J presses.
  std::vector<int64_t> JPresses() const {
    std::vector<int64_t> at;
    for (const auto& k : desktop.keys)
      if (k.vk == kVkJ && k.flags == 0) at.push_back(k.at_ms);
    return at;
  }
  std::vector<uint8_t> PressedKeys() const {
    std::vector<uint8_t> vks;
    for (const auto& k : desktop.keys)
      if (k.flags == 0) vks.push_back(k.vk);
    return vks;
  }

  // CTS on and, 40 ms later, off again, at each time.
  void CtsPulses(const std::string& port, std::initializer_list<int64_t> on_ms) {
    for (int64_t t : on_ms) {
      serial.SetLines(port, t, Lines{true, false, false, false});
      serial.SetLines(port, t + 40, Lines{});
    }
  }

  FakeClock clock;
  FakeSerial serial;
  FakeRawConsole raw;
  Console console;
  FakeDesktop desktop;
  FixedPortNames ports;
  std::filesystem::path dir;
  std::string settings_path;
};

TEST_F(ProgramTest, ReusedCalibrationCountsBlowsPressesJAndShutsThePortDown) {
  WriteFile(kCtsFile);
  ports.text = "COM3";
  serial.AddPort(kCom3);
  desktop.AddWindow("Editor");
  const WindowHandle target = desktop.AddWindow("Ringing Room - Chromium");
  // Key-send test: 2000 ms, then eight digits 300 ms apart: counting starts at 4400 ms.
  CtsPulses(kCom3, {5000, 5100, 6000, 6100});
  raw.Type("y");
  raw.Type("Q", 7000);

  EXPECT_EQ(Run(), 0);

  std::vector<std::string> lines = TranscriptLines();
  ASSERT_GE(lines.size(), kBanner.size() + 1);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 10), kBanner);
  // (The transcript holds drawn text only, so the empty line before it does not show.)
  EXPECT_EQ(lines[10], "Use existing calibration? (Y/n)");
  EXPECT_TRUE(Printed("Target window is Ringing Room - Chromium"));
  EXPECT_TRUE(Printed("Key send test - a round"));
  EXPECT_TRUE(Printed("Ending Key send test - a round"));
  EXPECT_EQ(desktop.activations,
            (std::vector<std::string>{"SetActiveWindow(0x101)", "SetForegroundWindow(0x101)"}));
  EXPECT_EQ(desktop.foreground, target);

  // The round of the key-send test, then one J per blow (two pulses each) at the
  // completing pulse plus the bell delay.
  EXPECT_EQ(PressedKeys(),
            (std::vector<uint8_t>{'1', '2', '3', '4', '5', '6', '7', '8', kVkJ, kVkJ}));
  EXPECT_EQ(desktop.keys[0].at_ms, 2000);
  EXPECT_EQ(desktop.keys[14].at_ms, 2000 + 7 * 300);
  EXPECT_EQ(JPresses(), (std::vector<int64_t>{5100 + 250, 6100 + 250}));

  EXPECT_EQ(raw.Row(21), "count =2 time from first blow=1 secs");
  EXPECT_EQ(serial.calls,
            (std::vector<std::string>{"open \\\\.\\COM3 -> 1", "params 1 2400 8 0 1 0", "rts 1 on",
                                      "dtr 1 on", "sync 1", "flush 1", "close 1"}));
  EXPECT_EQ(ReadFile(), kCtsFile) << "reusing a calibration never writes the file";
}

TEST_F(ProgramTest, FirstRunCalibratesAgainstAnInterfaceBoxSavesAndCounts) {
  ports.text = "COM3";
  serial.AddPort(kCom3);
  desktop.AddWindow("Ringing Room");
  // Handstroke and backstroke: one character each. Sampling ends 7 s after the first.
  serial.SendByte(kCom3, 2000, '1');
  serial.SendByte(kCom3, 3000, '1');
  raw.Type("y");        // an interface box is in use
  raw.TypeLine("250");  // the bell delay
  raw.Type("Q", 40000);
  // Two blows, rung once counting has started.
  serial.SendByte(kCom3, 25000, '1');
  serial.SendByte(kCom3, 26000, '7');  // another character: consumed, not counted
  serial.SendByte(kCom3, 27000, '1');

  EXPECT_EQ(Run(), 0);

  EXPECT_FALSE(Printed("Use existing calibration? (Y/n)")) << "no file: no question";
  EXPECT_TRUE(Printed("Calibration..."));
  EXPECT_EQ(ReadFile(), "\\\\.\\COM3\r\n0\r\n0\r\n0\r\n0\r\n1\r\n49\r\n1\r\n250\r\n");
  EXPECT_EQ(PressedKeys(),
            (std::vector<uint8_t>{'1', '2', '3', '4', '5', '6', '7', '8', kVkJ, kVkJ}));
  EXPECT_EQ(JPresses(), (std::vector<int64_t>{25000 + 250, 27000 + 250}));
  EXPECT_EQ(raw.Row(21), "count =2 time from first blow=2 secs");
  EXPECT_TRUE(serial.open_handles.empty()) << "every port opened was closed";
}

TEST_F(ProgramTest, NoSettingsFileAndNoPortsTellsTheRingerAndEndsAfterEnter) {
  ports.text = "";
  raw.TypeLine("");

  EXPECT_EQ(Run(), 0);

  EXPECT_TRUE(std::filesystem::exists(settings_path)) << "the missing file is created empty";
  EXPECT_EQ(ReadFile(), "");
  EXPECT_FALSE(Printed("Use existing calibration? (Y/n)"));
  EXPECT_TRUE(desktop.visited.empty()) << "no window search without a port";
}

TEST_F(ProgramTest, SavedPortThatIsAbsentReportsTheOpenFailureAndLeavesTheFile) {
  const std::string file = "\\\\.\\COM9\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250\r\n";
  WriteFile(file);
  ports.text = "COM3";
  serial.AddPort(kCom3);
  desktop.AddWindow("Ringing Room");
  raw.Type("Y");
  raw.TypeLine("whatever");

  EXPECT_EQ(Run(), 0);

  EXPECT_TRUE(Printed("Open of serial failed - aborting - recalibrate!"));
  EXPECT_EQ(ReadFile(), file);
  EXPECT_TRUE(desktop.visited.empty());
  EXPECT_TRUE(desktop.keys.empty());
}

TEST_F(ProgramTest, MissingTargetWindowEndsAfterEnterWithoutKeysOrCounting) {
  WriteFile(kCtsFile);
  ports.text = "COM3";
  serial.AddPort(kCom3);
  desktop.AddWindow("Editor");
  desktop.AddWindow("ringing room (lower case)");
  raw.Type("\r");
  raw.TypeLine("Q");

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(raw.Screen(4),
            "The required target window (Ringing Room) NOT FOUND\n"
            "Ending program press Q to exit\n"
            "Q\n");
  EXPECT_TRUE(desktop.keys.empty());
  EXPECT_FALSE(Printed("Counting started"));
  EXPECT_TRUE(serial.open_handles.empty()) << "the port is released";
}

TEST_F(ProgramTest, ArrowKeyAtTheQuestionKeepsTheCalibrationAndCannotQuitLater) {
  WriteFile(kCtsFile);
  ports.text = "COM3";
  serial.AddPort(kCom3);
  desktop.AddWindow("Ringing Room");
  CtsPulses(kCom3, {5000, 5100});
  // PgDn reads as 0 then 81, the code of "Q": its second half must not end counting.
  raw.Key(81, true);
  raw.Type("q", 9000);

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(JPresses(), (std::vector<int64_t>{5100 + 250}));
  EXPECT_EQ(raw.Row(21), "count =1 time from first blow=0 secs");
}

TEST_F(ProgramTest, NAtTheQuestionRecalibrates) {
  WriteFile(kCtsFile);
  ports.text = "";
  raw.Type("n");
  raw.TypeLine("");

  EXPECT_EQ(Run(), 0);

  EXPECT_TRUE(Printed("Use existing calibration? (Y/n)"));
  EXPECT_TRUE(Printed("Calibration..."));
  EXPECT_EQ(ReadFile(), kCtsFile) << "a calibration that found no port writes nothing";
}

TEST_F(ProgramTest, KeyboardInputEndingWhileCountingStillReleasesThePort) {
  WriteFile(kCtsFile);
  ports.text = "COM3";
  serial.AddPort(kCom3);
  desktop.AddWindow("Ringing Room");
  raw.Type("y");  // and then the keyboard is gone

  EXPECT_EQ(Run(), 0);

  const std::vector<std::string> tail(serial.calls.end() - 3, serial.calls.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"sync 1", "flush 1", "close 1"}));
  EXPECT_TRUE(Printed("Keyboard input has ended - stopping."));
}

TEST_F(ProgramTest, UnusableSettingsFileStopsWithItsNameAndANonZeroStatus) {
  std::filesystem::create_directories(settings_path);  // a directory where the file should be
  ports.text = "COM3";
  serial.AddPort(kCom3);

  EXPECT_NE(Run(), 0);

  EXPECT_NE(raw.transcript.find("serialport_strikewell.ini"), std::string::npos) << raw.transcript;
  EXPECT_TRUE(serial.calls.empty());
}

}  // namespace
}  // namespace strikewell
