// Calibration of several bells over scripted ports and a fake clock.
#include "calibration/bells_calibration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_serial.h"
#include "file_text.h"
#include "temp_dir.h"

namespace strikewell::testing {
namespace {

using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::Not;
using Rows = std::vector<std::string>;

std::string Dev(const std::string& name) { return "\\\\.\\" + name; }

const std::string kNotes =
    "# strikewell: several bells on one port. Each bell: its number, its sensor (cts, dsr,\r\n"
    "# cd, ri, or char and the box's character), the sensor events per blow, the bell\r\n"
    "# delay in milliseconds and, for a pair, the hand (left rings f, right rings j).\r\n";

struct Rig {
  static constexpr int kRows = 200;

  void Ports(std::initializer_list<std::string> listed,
             std::initializer_list<std::string> absent = {}) {
    state.SSSI = 0;
    for (const std::string& name : listed) {
      state.SSS[++state.SSSI] = name;
      if (std::find(absent.begin(), absent.end(), name) == absent.end()) serial.AddPort(Dev(name));
    }
  }
  void Lines(const std::string& name,
             std::initializer_list<std::pair<int64_t, testing::Lines>> at) {
    for (const auto& [ms, lines] : at) serial.SetLines(Dev(name), ms, lines);
  }
  void Send(const std::string& name, std::initializer_list<std::pair<int64_t, char>> bytes) {
    for (const auto& [ms, b] : bytes) serial.SendByte(Dev(name), ms, static_cast<uint8_t>(b));
  }

  CalibrationOutcome Run() {
    return CalibrateBells(state, setup, serial, console, clock, bells_path);
  }

  Rows All() const {
    int last = kRows;
    while (last > 0 && raw.Row(last).empty()) --last;
    Rows rows;
    for (int y = 1; y <= last; ++y) rows.push_back(raw.Row(y));
    return rows;
  }

  FakeClock clock;
  FakeSerial serial{clock};
  FakeRawConsole raw{clock, 80, kRows};
  Console console{raw, clock};
  CalibrationState state;
  BellsSetup setup;
  TempDir dir{"bells-calibration"};
  std::string bells_path = dir.File(kBellsFileName);
};

constexpr testing::Lines kOff{};
constexpr testing::Lines kCts{.cts = true};
constexpr testing::Lines kDsr{.dsr = true};
constexpr testing::Lines kBoth{.cts = true, .dsr = true};

// A handbell pair on COM3: the treble's sensor on CTS, the second's two sensors on
// DSR. The treble still swings while the second is rung, and COM1 flickers then:
// neither belongs to the second.
TEST(BellsCalibration, APairIsRungInTurnAndEachBellTakesItsOwnLine) {
  Rig rig;
  rig.Ports({"COM1", "COM3"});
  rig.state.settings.ComPortName = Dev("COM9");
  rig.state.settings.SensorNum = 3;
  const Settings single = rig.state.settings;
  rig.Lines("COM3", {{1000, kCts},
                     {1300, kOff},
                     {3000, kCts},
                     {3300, kOff},
                     // bell 2: four sensor passages, the treble swinging meanwhile
                     {9000, kDsr},
                     {9100, kOff},
                     {9300, kDsr},
                     {9400, kOff},
                     {9600, kCts},
                     {9700, kOff},
                     {10500, kDsr},
                     {10600, kOff},
                     {10800, kBoth},
                     {10900, kOff}});
  rig.Lines("COM1", {{9500, kCts}, {9550, kOff}});
  rig.raw.TypeLine("2");
  rig.raw.Type("n");  // no box
  rig.raw.Type("n");  // bell 1 is not in the left hand
  rig.raw.Type("n");  // each bell its own delay
  rig.raw.TypeLine("250");
  rig.raw.TypeLine("240");

  EXPECT_EQ(rig.Run(), CalibrationOutcome::Calibrated);

  EXPECT_EQ(ReadBytes(rig.bells_path), kNotes +
                                           "port \\\\.\\COM3\r\n"
                                           "convention no\r\n"
                                           "bell 1 cts pulses 1 delay 250 right\r\n"
                                           "bell 2 dsr pulses 2 delay 240 left\r\n");
  const Rows rows = rig.All();
  EXPECT_THAT(rows, Contains("NOW ring bell 1 HAND and BACK  **ONCE** only as if ringing at "
                             "normal speed"));
  EXPECT_THAT(rows, Contains("Bell 1 is on CTS of COM3: 4 changes for two blows"));
  EXPECT_THAT(rows, Contains("2 Port:COM3 DSR pulse:8"));
  EXPECT_THAT(rows, Contains("Bell 2 is on DSR of COM3: 8 changes for two blows"));
  EXPECT_THAT(rows, Contains("2 Port:COM3 CTS pulse:4"));
  EXPECT_THAT(rows, Not(Contains("2 Port:COM3 CTS pulse:5"))) << "bell 1's swing is not bell 2's";
  EXPECT_THAT(rows, Not(Contains("1 Port:COM1 CTS pulse:1"))) << "the port is chosen";
  EXPECT_THAT(rows, Contains("Is bell 1 in your left hand (it rings f, bell 2 rings j)? (Y/n)"));
  EXPECT_THAT(rows, Contains("Bell 2:"));
  EXPECT_EQ(rig.state.settings, single) << "the single bell's record is its own";
  EXPECT_THAT(rig.serial.open_handles, IsEmpty());
}

TEST(BellsCalibration, AConventionBoxNeedsNoRingingOnlyTheDelays) {
  Rig rig;
  rig.Ports({"COM1", "COM4"}, {"COM1"});
  rig.raw.TypeLine("8");
  rig.raw.Type("y");  // a box
  rig.raw.Type("y");  // that follows the convention
  rig.raw.Type("y");  // one delay for all
  rig.raw.TypeLine("0");

  EXPECT_EQ(rig.Run(), CalibrationOutcome::Calibrated);

  std::string expected = kNotes + "port \\\\.\\COM4\r\nconvention yes\r\n";
  for (const char* bell : {"1 char 1", "2 char 2", "3 char 3", "4 char 4", "5 char 5", "6 char 6",
                           "7 char 7", "8 char 8"}) {
    expected += std::string("bell ") + bell + " pulses 1 delay 0\r\n";
  }
  EXPECT_EQ(ReadBytes(rig.bells_path), expected);
  const Rows rows = rig.All();
  EXPECT_TRUE(std::none_of(rows.begin(), rows.end(),
                           [](const std::string& row) { return row.starts_with("NOW ring"); }));
  EXPECT_THAT(rows, Contains("A box that applies each bell's delay itself needs a delay of 0 "
                             "here."));
  EXPECT_EQ(rig.setup.bells.size(), 8u);
}

TEST(BellsCalibration, AConventionBoxOnOneOfSeveralPortsIsNamedByTheRinger) {
  Rig rig;
  rig.Ports({"COM1", "COM2", "COM4"}, {"COM2"});
  rig.raw.TypeLine("3");  // bells
  rig.raw.Type("y");
  rig.raw.Type("y");
  rig.raw.TypeLine("2");  // a port that did not open
  rig.raw.TypeLine("3");
  rig.raw.Type("n");  // each bell's own delay
  rig.raw.TypeLine("100");
  rig.raw.TypeLine("110");
  rig.raw.TypeLine("120");

  EXPECT_EQ(rig.Run(), CalibrationOutcome::Calibrated);

  EXPECT_EQ(ReadBytes(rig.bells_path), kNotes +
                                           "port \\\\.\\COM4\r\nconvention yes\r\n"
                                           "bell 1 char 1 pulses 1 delay 100\r\n"
                                           "bell 2 char 2 pulses 1 delay 110\r\n"
                                           "bell 3 char 3 pulses 1 delay 120\r\n");
  EXPECT_THAT(rig.All(), Contains("2 is not one of the ports found above"));
}

// A box that does not follow the convention: each bell takes the character its
// ringing sent, with its own pulses per blow.
TEST(BellsCalibration, ABoxsBellsTakeTheCharactersTheirRingingSent) {
  Rig rig;
  rig.Ports({"COM5"});
  rig.Send("COM5", {{500, 'x'},  // a stray character: one alone is no handstroke and backstroke
                    {1000, 'a'},
                    {2000, 'a'},
                    {9000, 'b'},
                    {9100, 'b'},
                    {10000, 'b'},
                    {10100, 'b'},
                    {10200, 'a'},
                    {17000, 'c'},
                    {18000, 'c'}});
  rig.raw.TypeLine("3");
  rig.raw.Type("y");  // a box
  rig.raw.Type("n");  // not the convention
  rig.raw.Type("y");
  rig.raw.TypeLine("50");

  EXPECT_EQ(rig.Run(), CalibrationOutcome::Calibrated);

  EXPECT_EQ(ReadBytes(rig.bells_path), kNotes +
                                           "port \\\\.\\COM5\r\nconvention no\r\n"
                                           "bell 1 char a pulses 1 delay 50\r\n"
                                           "bell 2 char b pulses 2 delay 50\r\n"
                                           "bell 3 char c pulses 1 delay 50\r\n");
  const Rows rows = rig.All();
  EXPECT_THAT(rows, Contains("Bell 2 is on character \"b\" of COM5: 4 characters for two blows"));
  EXPECT_THAT(rows, Contains("1 Port:COM5 character \"x\" pulse:1"));
}

// Six changes of a line are one and a half sensors: that bell is rung again.
TEST(BellsCalibration, ABellWhoseChangesMakeNoWholeSensorsIsRungAgain) {
  Rig rig;
  rig.Ports({"COM3"});
  rig.Lines("COM3", {{1000, kCts},
                     {1100, kOff},
                     {1200, kCts},
                     {1300, kOff},
                     {3000, kCts},
                     {3300, kOff},
                     {11000, kCts},
                     {11300, kOff},
                     {13000, kCts},
                     {13300, kOff},
                     {21000, kDsr},
                     {21300, kOff},
                     {23000, kDsr},
                     {23300, kOff}});
  rig.raw.TypeLine("2");
  rig.raw.Type("n");
  rig.raw.Type("y");
  rig.raw.Type("y");
  rig.raw.TypeLine("200");

  EXPECT_EQ(rig.Run(), CalibrationOutcome::Calibrated);

  EXPECT_EQ(ReadBytes(rig.bells_path), kNotes +
                                           "port \\\\.\\COM3\r\nconvention no\r\n"
                                           "bell 1 cts pulses 1 delay 200 left\r\n"
                                           "bell 2 dsr pulses 1 delay 200 right\r\n");
  const Rows rows = rig.All();
  EXPECT_THAT(rows, Contains("Bell 1 is on CTS of COM3: 6 changes for two blows"));
  EXPECT_THAT(rows,
              Contains("ERROR: The number of sensors on bell not an integer - ring it again"));
  EXPECT_THAT(rows, Contains("Bell 1 is on CTS of COM3: 4 changes for two blows"));
}

// Without a box each bell needs a modem line of its own: five bells are asked again,
// as at most four, rather than waiting for ever for a fifth line.
TEST(BellsCalibration, WithoutABoxMoreBellsThanLinesAreAskedAgain) {
  Rig rig;
  rig.Ports({"COM3"});
  rig.Lines("COM3", {{1000, kCts},
                     {1300, kOff},
                     {3000, kCts},
                     {3300, kOff},
                     {11000, kDsr},
                     {11300, kOff},
                     {13000, kDsr},
                     {13300, kOff}});
  rig.raw.TypeLine("5");
  rig.raw.Type("n");  // no box
  rig.raw.TypeLine("5");
  rig.raw.TypeLine("2");
  rig.raw.Type("y");
  rig.raw.Type("y");
  rig.raw.TypeLine("200");

  EXPECT_EQ(rig.Run(), CalibrationOutcome::Calibrated);

  EXPECT_EQ(ReadBytes(rig.bells_path), kNotes +
                                           "port \\\\.\\COM3\r\nconvention no\r\n"
                                           "bell 1 cts pulses 1 delay 200 left\r\n"
                                           "bell 2 dsr pulses 1 delay 200 right\r\n");
  const Rows rows = rig.All();
  EXPECT_THAT(rows, Contains("Without a box a port has 4 sensor lines: how many bells? (2 to 4)"));
  EXPECT_THAT(rows, Contains("5 is not a whole number from 2 to 4, try again"));
}

// A first ringing refused (noise on COM1) names no port: bell 1, rung again, is found
// on COM3, and COM1's later noise is nobody's.
TEST(BellsCalibration, ARefusedRingingDoesNotTieTheBellsToItsPort) {
  Rig rig;
  rig.Ports({"COM1", "COM3"});
  rig.Lines("COM1", {{1000, kCts},
                     {1100, kOff},
                     {1200, kCts},
                     {1250, kOff},
                     {1300, kCts},
                     {1350, kOff},
                     {14000, kCts},
                     {14100, kOff},
                     {14200, kCts},
                     {14300, kOff},
                     {24000, kDsr},
                     {24100, kOff},
                     {24200, kDsr},
                     {24300, kOff}});
  rig.Lines("COM3", {{11000, kCts},
                     {11300, kOff},
                     {13000, kCts},
                     {13300, kOff},
                     {21000, kDsr},
                     {21300, kOff},
                     {23000, kDsr},
                     {23300, kOff}});
  rig.raw.TypeLine("2");
  rig.raw.Type("n");  // no box
  rig.raw.Type("y");
  rig.raw.Type("y");
  rig.raw.TypeLine("200");

  EXPECT_EQ(rig.Run(), CalibrationOutcome::Calibrated);

  EXPECT_EQ(ReadBytes(rig.bells_path), kNotes +
                                           "port \\\\.\\COM3\r\nconvention no\r\n"
                                           "bell 1 cts pulses 1 delay 200 left\r\n"
                                           "bell 2 dsr pulses 1 delay 200 right\r\n");
  EXPECT_THAT(rig.All(), Contains("Bell 1 is on CTS of COM1: 6 changes for two blows"));
}

TEST(BellsCalibration, TheNumberOfBellsIsAskedUntilItIsTwoToSixteen) {
  Rig rig;
  rig.Ports({"COM4"});
  for (const char* reply : {"1", "17", "two", "2"}) rig.raw.TypeLine(reply);
  rig.raw.Type("y");
  rig.raw.Type("y");
  rig.raw.Type("y");  // bell 1 left
  rig.raw.Type("y");
  rig.raw.TypeLine("0");
  EXPECT_EQ(rig.Run(), CalibrationOutcome::Calibrated);
  const Rows rows = rig.All();
  EXPECT_THAT(rows, Contains("1 is not a whole number from 2 to 16, try again"));
  EXPECT_THAT(rows, Contains("17 is not a whole number from 2 to 16, try again"));
  EXPECT_THAT(rows, Contains("two is not a whole number from 2 to 16, try again"));
  ASSERT_EQ(rig.setup.bells.size(), 2u);
  EXPECT_EQ(rig.setup.bells[0].hand, Hand::kLeft);
  EXPECT_EQ(rig.setup.bells[1].hand, Hand::kRight);
}

TEST(BellsCalibration, NoPortThatOpensEndsItWithoutAFile) {
  Rig rig;
  rig.Ports({"COM1"}, {"COM1"});
  rig.raw.TypeLine("");
  EXPECT_EQ(rig.Run(), CalibrationOutcome::NoPortOpened);
  EXPECT_FALSE(std::filesystem::exists(rig.bells_path));
}

}  // namespace
}  // namespace strikewell::testing
