// The whole program asked for several bells (--bells), over fakes: the set-up file in
// a temporary directory, scripted ports, keys and windows, a fake clock.
#include <cstdint>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
#include "fake_event_wait.h"
#include "fake_serial.h"
#include "file_text.h"
#include "run/program.h"
#include "temp_dir.h"

namespace strikewell {
namespace {

constexpr const char* kCom3 = "\\\\.\\COM3";
constexpr testing::Lines kOff{}, kCts{.cts = true}, kDsr{.dsr = true};

const std::string kPairFile =
    "port \\\\.\\COM3\r\nconvention no\r\n"
    "bell 1 cts pulses 1 delay 250 left\r\nbell 2 dsr pulses 1 delay 200 right\r\n";

struct FixedPortNames : PortNames {
  std::string text;
  std::string GetSerialPortNames() override { return text; }
};

struct BellsProgram {
  BellsProgram() {
    ports.text = "COM3";
    serial.AddPort(kCom3);
    desktop.AddWindow("Ringing Room - Chromium");
  }

  int Run() {
    Platform platform{serial, ports, console, desktop, clock, wait, settings_path};
    platform.record_dir = record_dir;
    platform.several_bells = true;
    platform.bells_path = bells_path;
    platform.count_only = count_only;
    return RunProgram(platform);
  }

  bool Printed(const std::string& line) const {
    return ("\n" + raw.transcript + "\n").find("\n" + line + "\n") != std::string::npos;
  }

  // The one practice record written, whole; "" when there is none.
  std::string Record() const {
    std::string record;
    for (const auto& entry : std::filesystem::directory_iterator(record_dir)) {
      EXPECT_TRUE(record.empty()) << "more than one record";
      record = testing::ReadBytes(entry.path().string());
    }
    return record;
  }

  // The key presses after the key-send test's round, as "<key>@<fake ms>".
  std::string BellPresses() const {
    std::string text;
    int presses = 0;
    for (const auto& k : desktop.keys) {
      if (k.flags != 0 || ++presses <= 8) continue;
      const char key = k.vk >= 'A' && k.vk <= 'Z' ? static_cast<char>(k.vk - 'A' + 'a')
                                                  : static_cast<char>(k.vk);
      text += (text.empty() ? "" : " ") + std::string(1, key) + "@" + std::to_string(k.at_ms);
    }
    return text;
  }

  testing::FakeClock clock;
  testing::FakeSerial serial{clock};
  testing::FakeRawConsole raw{clock};
  Console console{raw, clock};
  testing::FakeDesktop desktop{&clock};
  testing::FakeEventWait wait{clock, serial, raw};
  FixedPortNames ports;
  testing::TempDir dir{"bells-program"};
  std::string settings_path = dir.File(kSettingsFileName);
  std::string bells_path = dir.File(kBellsFileName);
  std::string record_dir;
  bool count_only = false;
};

// A pair kept from before: asked about, used, rung with f and j at each bell's own
// delay, recorded with the bell of each blow. The single bell's file is left alone.
TEST(BellsProgramTest, AKeptPairIsOfferedAndRungWithFAndJ) {
  BellsProgram p;
  testing::WriteBytes(p.bells_path, kPairFile);
  p.record_dir = p.dir.File("records");
  // After the key-send test ends at 4400 ms: the treble, then the second.
  p.serial.SetLines(kCom3, 5000, kCts);
  p.serial.SetLines(kCom3, 5100, kOff);
  p.serial.SetLines(kCom3, 5300, kDsr);
  p.serial.SetLines(kCom3, 5400, kOff);
  p.raw.Type("y");
  p.raw.Type("q", 7000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_TRUE(p.Printed("Use the existing set-up of 2 bells on \\\\.\\COM3? (Y/n)"))
      << p.raw.transcript;
  EXPECT_EQ(p.BellPresses(), "f@5250 j@5500");
  EXPECT_FALSE(std::filesystem::exists(p.settings_path));
  EXPECT_EQ(testing::ReadBytes(p.bells_path), kPairFile) << "a kept set-up is not written";
  EXPECT_EQ(p.Record(), "blow,sensor_ms,key_ms,key,bell\n1,0,250,sent,1\n1,300,500,sent,2\n");
}

// Counting only: no window is looked for and no key sent; the record names each bell.
TEST(BellsProgramTest, CountingOnlyCountsEveryBellAndSendsNoKey) {
  BellsProgram p;
  testing::WriteBytes(p.bells_path, kPairFile);
  p.record_dir = p.dir.File("records");
  p.count_only = true;
  p.serial.SetLines(kCom3, 1000, kCts);
  p.serial.SetLines(kCom3, 1100, kOff);
  p.serial.SetLines(kCom3, 1300, kDsr);
  p.serial.SetLines(kCom3, 1400, kOff);
  p.raw.Type("y");
  p.raw.Type("q", 3000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_TRUE(p.desktop.keys.empty());
  EXPECT_EQ(p.Record(), "blow,sensor_ms,key_ms,key,bell\n1,0,250,none,1\n1,300,500,none,2\n");
}

// No set-up yet: a convention box on COM3 is set up without ringing, then rung.
TEST(BellsProgramTest, WithoutASetUpTheBellsAreCalibratedFirst) {
  BellsProgram p;
  p.raw.TypeLine("3");  // bells
  p.raw.Type("y");      // a box
  p.raw.Type("y");      // that follows the convention
  p.raw.Type("n");      // each bell's own delay
  p.raw.TypeLine("100");
  p.raw.TypeLine("0");
  p.raw.TypeLine("50");
  p.serial.SendByte(kCom3, 5000, '3');
  p.serial.SendByte(kCom3, 5010, '1');
  p.raw.Type("q", 7000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_TRUE(
      testing::ReadBytes(p.bells_path)
          .ends_with("port \\\\.\\COM3\r\nconvention yes\r\nbell 1 char 1 pulses 1 delay 100\r\n"
                     "bell 2 char 2 pulses 1 delay 0\r\nbell 3 char 3 pulses 1 delay 50\r\n"));
  EXPECT_EQ(p.BellPresses(), "3@5050 1@5110");
}

TEST(BellsProgramTest, ADamagedSetUpIsNamedByItsLineAndSetUpAgain) {
  BellsProgram p;
  testing::WriteBytes(p.bells_path, "port \\\\.\\COM3\r\nbell 1 cts pulses one delay 0\r\n");
  p.raw.TypeLine("2");
  p.raw.Type("y");
  p.raw.Type("y");
  p.raw.Type("y");  // bell 1 in the left hand
  p.raw.Type("y");
  p.raw.TypeLine("0");
  p.raw.Type("q", 6000);

  EXPECT_EQ(p.Run(), 0);

  std::string unwrapped = p.raw.transcript;
  std::erase(unwrapped, '\n');
  EXPECT_NE(unwrapped.find("Line 2 of " + p.bells_path +
                           " holds \"one\" for the sensor events per blow, which is not a whole "
                           "number from 1 to 16, so the stored set-up of several bells cannot be "
                           "used."),
            std::string::npos)
      << p.raw.transcript;
  EXPECT_TRUE(
      testing::ReadBytes(p.bells_path)
          .ends_with(
              "bell 1 char 1 pulses 1 delay 0 left\r\nbell 2 char 2 pulses 1 delay 0 right\r\n"));
}

}  // namespace
}  // namespace strikewell
