// The whole program over fakes, from the banner to the exit status: a real settings
// file in a temporary directory, scripted ports, keys and windows, a fake clock.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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
constexpr const char* kReuse = "Use existing calibration? (Y/n)";

// The banner, then an empty line (which the transcript of drawn text does not show).
const char* const kBannerAndQuestion =
    "Serialport_Strikewell_v0.5.2.1.1_with_sendkey, 9 June 2020\n"
    "Counts bell rotations using serial port bell sensor input\n"
    "May not run correctly, but will not damage anything - please report problems\n"
    "strikewell: written by ringers, for ringers practising on a simulator bell\n"
    "This uses the same bell sensor data as used by Abel, Beltower etc.\n"
    "for individual sensors.  This version can use Bagley box output (ASCII chars)\n"
    "It self calibrates by detecting the sensor signals from a handstroke and \n"
    "backstroke pull, then saves the settings.  Count can be reset to zero\n"
    "In use it counts the bell blows and displays them on screen, with speed\n"
    "Sends j key to ringingroom.com window, WHICH MUST BE ALREADY OPEN\n"
    "Use existing calibration? (Y/n)\n";

// The CTS sensor on COM3 with two pulses per blow and a 250 ms delay.
const std::string kCtsFile = "\\\\.\\COM3\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250\r\n";

struct FixedPortNames : PortNames {
  std::string text;
  int reads = 0;
  std::string GetSerialPortNames() override {
    ++reads;
    return text;
  }
};

// One run of the program with a settings file in a temporary directory.
struct Program {
  Program() {
    ports.text = "COM3";
    serial.AddPort(kCom3);
  }

  int Run() {
    Platform platform{serial, ports, console, desktop, clock, wait, settings_path};
    platform.record_dir = record_dir;
    platform.simulate_ms = simulate_ms;
    platform.count_only = count_only;
    return RunProgram(platform);
  }

  void WriteFile(const std::string& bytes) { testing::WriteBytes(settings_path, bytes); }
  std::string ReadFile() const { return testing::ReadBytes(settings_path); }

  // A whole line of the transcript.
  bool Printed(const std::string& line) const {
    return ("\n" + raw.transcript + "\n").find("\n" + line + "\n") != std::string::npos;
  }

  // The key presses, as "<key>@<fake ms>": the key-send test's round ("1"..."8"),
  // then a "j" per blow.
  std::string Presses() const {
    std::string text;
    for (const auto& k : desktop.keys) {
      if (k.flags != 0) continue;
      text += (text.empty() ? "" : " ") +
              std::string(1, k.vk == 0x4A ? 'j' : static_cast<char>(k.vk)) + "@" +
              std::to_string(k.at_ms);
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
  testing::TempDir dir{"program"};
  std::string settings_path = dir.File(kSettingsFileName);
  std::string record_dir;
  int32_t simulate_ms = 0;
  bool count_only = false;
};

std::string FileText(const std::filesystem::path& path) {
  return testing::ReadBytes(path.string());
}

// The question is answered with PgDn, which reads as 0 then 81, the code of "Q": any
// key but N keeps the calibration, and the second half must not end counting.
TEST(ProgramTest, ReusedCalibrationCountsBlowsPressesJAndShutsThePortDown) {
  Program p;
  p.WriteFile(kCtsFile);
  p.desktop.AddWindow("Editor");
  const WindowHandle target = p.desktop.AddWindow("Ringing Room - Chromium");
  // Two blows of two 40 ms pulses, after the key-send test has ended at 4400 ms.
  for (int64_t t : {5000, 5100, 6000, 6100}) {
    p.serial.SetLines(kCom3, t, testing::Lines{true, false, false, false});
    p.serial.SetLines(kCom3, t + 40, testing::Lines{});
  }
  p.raw.Key(81, true);
  p.raw.Type("Q", 7000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_TRUE(p.raw.transcript.starts_with(kBannerAndQuestion)) << p.raw.transcript;
  EXPECT_TRUE(p.Printed("Target window is Ringing Room - Chromium"));
  EXPECT_TRUE(p.Printed("Ending Key send test - a round"));
  EXPECT_EQ(p.desktop.activations,
            (std::vector<std::string>{"SetActiveWindow(0x101)", "SetForegroundWindow(0x101)"}));
  EXPECT_EQ(p.desktop.foreground, target);
  // The round from 2000 ms, 300 ms apart; a J at each blow's second pulse + 250 ms.
  EXPECT_EQ(p.Presses(), "1@2000 2@2300 3@2600 4@2900 5@3200 6@3500 7@3800 8@4100 j@5350 j@6350");
  EXPECT_EQ(p.raw.Row(21), "count =2 time from first blow=1 secs");
  EXPECT_EQ(p.serial.calls,
            (std::vector<std::string>{"open \\\\.\\COM3 -> 1", "params 1 2400 8 0 1 0", "rts 1 on",
                                      "dtr 1 on", "sync 1", "flush 1", "close 1"}));
  EXPECT_EQ(p.serial.low_latency, std::vector<SerHandle>{1}) << "asked for once the port is set";
  EXPECT_EQ(p.ReadFile(), kCtsFile) << "reusing a calibration never writes the file";
}

// Only the ringer can shorten a USB adapter's latency timer, and it moves every key.
TEST(ProgramTest, AnAdapterLatencyTimerAboveOneMillisecondIsReportedBeforeCounting) {
  const std::string advice =
      "The serial adapter's latency timer is 16 ms: set it to 1 ms (Device Manager, the "
      "port's Properties, Port Settings, Advanced) for the most accurate striking";
  for (const int32_t timer_ms : {16, 1, 0}) {
    SCOPED_TRACE(timer_ms);
    Program p;
    p.WriteFile(kCtsFile);
    p.serial.port(kCom3).latency_timer_ms = timer_ms;
    p.desktop.AddWindow("Ringing Room");
    p.raw.Type("y");
    p.raw.Type("q", 5000);

    EXPECT_EQ(p.Run(), 0);

    std::string unwrapped = p.raw.transcript;
    std::erase(unwrapped, '\n');
    EXPECT_EQ(unwrapped.find(advice) != std::string::npos, timer_ms == 16) << p.raw.transcript;
    EXPECT_EQ(unwrapped.find("latency timer is 1 ms"), std::string::npos);
  }
}

// Six blows of the CTS sensor's two pulses each, a second apart from 5 s on, then Q.
void RingSixBlows(Program& p) {
  p.WriteFile(kCtsFile);
  p.desktop.AddWindow("Ringing Room");
  for (int64_t t = 5000; t < 11000; t += 1000) {
    for (int64_t pulse : {t - 100, t}) {
      p.serial.SetLines(kCom3, pulse, testing::Lines{true, false, false, false});
      p.serial.SetLines(kCom3, pulse + 40, testing::Lines{});
    }
  }
  p.raw.Type("y");
  p.raw.Type("Q", 12000);
}

TEST(ProgramTest, ARecordFolderGetsOneLinePerBlowAndTheSummaryFollowsTheShutdown) {
  Program p;
  p.record_dir = (p.dir.path() / "a" / "b").string();
  RingSixBlows(p);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_EQ(FileText(p.dir.path() / "a" / "b" / "strikewell-20261207-120000.csv"),
            "blow,sensor_ms,key_ms,key\n"
            "1,0,250,sent\n2,1000,1250,sent\n3,2000,2250,sent\n"
            "4,3000,3250,sent\n5,4000,4250,sent\n6,5000,5250,sent\n");
  // The summary replaces the counter once the port is closed, and stays.
  EXPECT_EQ(p.serial.calls.back(), "close 1");
  EXPECT_EQ(p.raw.Screen(11),
            "Practice summary\n"
            "count =6 time from first blow=5 secs\n"
            " APPROX Ave interval=    1.00 secs peal speed=1 hrs:   24.00 mins\n"
            "Keys: 6 sent, none dropped.\n"
            "Handstroke gap (back to hand): mean 1000 ms, standard deviation 0 ms\n"
            "Backstroke gap (hand to back): mean 1000 ms, standard deviation 0 ms\n"
            "Most uneven intervals, against the mean of their gap:\n"
            "  blow 2, hand to back: 0 ms\n"
            "  blow 3, back to hand: 0 ms\n"
            "  blow 4, hand to back: 0 ms\n"
            "The practice is recorded in");
  // The path takes as many rows as it needs.
  EXPECT_EQ(p.raw.Row(12) + p.raw.Row(13),
            (p.dir.path() / "a" / "b" / "strikewell-20261207-120000.csv").string());
}

// Started from Explorer, the console window closes with the program: the summary
// waits for Enter.
TEST(ProgramTest, AWindowThatClosesWithTheProgramKeepsTheSummaryUntilEnter) {
  for (const bool closes : {true, false}) {
    SCOPED_TRACE(closes);
    Program p;
    p.raw.closes_at_exit = closes;
    RingSixBlows(p);
    p.raw.TypeLine("", 13000);

    EXPECT_EQ(p.Run(), 0);

    EXPECT_EQ(p.Printed("Press [ENTER] to close this window"), closes);
    EXPECT_EQ(p.clock.NowMillis() >= 13000, closes) << "waited for Enter";
  }
}

TEST(ProgramTest, AFolderThatCannotHoldTheRecordStopsBeforeCalibration) {
  Program p;
  std::ofstream(p.dir.path() / "not_a_folder") << "x";
  p.record_dir = (p.dir.path() / "not_a_folder" / "practice").string();
  p.raw.Type("y");

  EXPECT_EQ(p.Run(), 1);

  std::string unwrapped = p.raw.transcript;
  std::erase(unwrapped, '\n');
  EXPECT_NE(unwrapped.find("Cannot write the practice record in " + p.record_dir),
            std::string::npos)
      << p.raw.transcript;
  EXPECT_FALSE(p.Printed(kReuse)) << "stopped before the calibration question";
  EXPECT_TRUE(p.serial.calls.empty());
}

TEST(ProgramTest, NoSummaryForFourBlowsOrWithoutARecordTheScreenStays) {
  Program p;
  p.WriteFile(kCtsFile);
  p.desktop.AddWindow("Ringing Room");
  for (int64_t t : {5000, 6000, 7000, 8000}) {
    for (int64_t pulse : {t - 100, t}) {
      p.serial.SetLines(kCom3, pulse, testing::Lines{true, false, false, false});
      p.serial.SetLines(kCom3, pulse + 40, testing::Lines{});
    }
  }
  p.raw.Type("y");
  p.raw.Type("Q", 9000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_EQ(p.raw.Row(21), "count =4 time from first blow=3 secs");
  EXPECT_EQ(p.raw.transcript.find("recorded in"), std::string::npos);
}

TEST(ProgramTest, FirstRunCalibratesAgainstAnInterfaceBoxSavesAndCounts) {
  Program p;
  p.desktop.AddWindow("Ringing Room");
  // Handstroke and backstroke: one character each. Sampling ends 7 s after the first.
  p.serial.SendByte(kCom3, 2000, '1');
  p.serial.SendByte(kCom3, 3000, '1');
  p.raw.Type("y");        // an interface box is in use
  p.raw.TypeLine("250");  // the bell delay
  p.raw.Type("Q", 40000);
  // Two blows once counting has started; another character is consumed, not counted.
  p.serial.SendByte(kCom3, 25000, '1');
  p.serial.SendByte(kCom3, 26000, '7');
  p.serial.SendByte(kCom3, 27000, '1');

  EXPECT_EQ(p.Run(), 0);

  EXPECT_FALSE(p.Printed(kReuse)) << "no file: no question";
  EXPECT_EQ(p.ReadFile(), "\\\\.\\COM3\r\n0\r\n0\r\n0\r\n0\r\n1\r\n49\r\n1\r\n250\r\n");
  // The read that took the first character began in second 1, so sampling ends at 8 s;
  // the round follows the key-send test's 2 s wait.
  EXPECT_EQ(p.Presses(),
            "1@10000 2@10300 3@10600 4@10900 5@11200 6@11500 7@11800 8@12100 j@25250 j@27250");
  EXPECT_EQ(p.raw.Row(21), "count =2 time from first blow=2 secs");
  EXPECT_TRUE(p.serial.open_handles.empty()) << "every port opened was closed";
}

// Runs that end at the ringer's Enter before any window search: the file is left as
// it was (or created empty), and no port is held.
TEST(ProgramTest, RunsThatEndBeforeTheWindowSearch) {
  struct Case {
    std::string file;  // the settings file before and after the run
    bool com3_listed;
    std::string typed;
    std::string printed;
  };
  const Case cases[] = {
      {.file = "",
       .com3_listed = false,
       .typed = "\r",
       .printed = "No serial port could be opened, so the bell sensor cannot be found."},
      {.file = "\\\\.\\COM9\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250\r\n",
       .com3_listed = true,
       .typed = "Ywhatever\r",
       .printed = "Open of serial failed - aborting - recalibrate!"},
      // "n" recalibrates; a calibration that found no port writes nothing.
      {.file = kCtsFile, .com3_listed = false, .typed = "n\r", .printed = "Calibration..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printed);
    Program p;
    if (!c.file.empty()) p.WriteFile(c.file);
    if (!c.com3_listed) p.ports.text = "";
    p.desktop.AddWindow("Ringing Room");
    p.raw.Type(c.typed);

    EXPECT_EQ(p.Run(), 0);

    EXPECT_EQ(p.Printed(kReuse), !c.file.empty());
    EXPECT_TRUE(p.Printed(c.printed));
    EXPECT_TRUE(std::filesystem::exists(p.settings_path)) << "a missing file is created empty";
    EXPECT_EQ(p.ReadFile(), c.file);
    EXPECT_TRUE(p.desktop.visited.empty());
    EXPECT_TRUE(p.desktop.keys.empty());
    EXPECT_TRUE(p.serial.open_handles.empty());
  }
}

TEST(ProgramTest, MissingTargetWindowEndsAfterEnterWithoutKeysOrCounting) {
  Program p;
  p.WriteFile(kCtsFile);
  p.desktop.AddWindow("Editor");
  p.desktop.AddWindow("ringing room (lower case)");
  p.raw.Type("\r");
  p.raw.TypeLine("Q");

  EXPECT_EQ(p.Run(), 0);

  EXPECT_EQ(p.raw.Screen(4),
            "The required target window (Ringing Room) NOT FOUND\n"
            "Ending program press Q to exit\n"
            "Q\n");
  EXPECT_TRUE(p.desktop.keys.empty());
  EXPECT_FALSE(p.Printed("Counting started"));
  EXPECT_TRUE(p.serial.open_handles.empty()) << "the port is released";
}

TEST(ProgramTest, KeyboardInputEndingWhileCountingStillReleasesThePort) {
  Program p;
  p.WriteFile(kCtsFile);
  p.desktop.AddWindow("Ringing Room");
  p.raw.Type("y");  // and then the keyboard is gone

  EXPECT_EQ(p.Run(), 0);

  const std::vector<std::string> tail(p.serial.calls.end() - 3, p.serial.calls.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"sync 1", "flush 1", "close 1"}));
  EXPECT_TRUE(p.Printed("Keyboard input has ended - stopping."));
}

TEST(ProgramTest, UnusableSettingsFileStopsWithItsNameAndANonZeroStatus) {
  Program p;
  std::filesystem::create_directories(p.settings_path);  // a directory where the file should be

  EXPECT_NE(p.Run(), 0);

  // The sentence may wrap at the right edge wherever the path puts it.
  std::string unwrapped = p.raw.transcript;
  std::erase(unwrapped, '\n');
  EXPECT_NE(unwrapped.find("serialport_strikewell.ini cannot be"), std::string::npos)
      << p.raw.transcript;
  EXPECT_TRUE(p.serial.calls.empty());
}

// The lines of a record file after its heading (and the simulated bell's mark), each
// split at its commas.
std::vector<std::vector<std::string>> RecordFields(const std::string& text, size_t skip) {
  std::vector<std::vector<std::string>> lines;
  size_t at = 0;
  for (size_t n = 0; at < text.size(); ++n) {
    const size_t end = text.find('\n', at);
    if (n >= skip) {
      std::vector<std::string> fields(1);
      for (const char c : text.substr(at, end - at)) {
        if (c == ',') {
          fields.emplace_back();
        } else {
          fields.back() += c;
        }
      }
      lines.push_back(fields);
    }
    at = end + 1;
  }
  return lines;
}

// A simulated bell with the Ringing Room window open: no port listed or opened, the
// bell delay taken from the stored calibration or asked, the settings file as it was
// (or still missing), and a J at every blow's time plus the bell delay.
TEST(ProgramSimulated, RingsThroughTheWindowWithNoPortAndTheSettingsFileUntouched) {
  struct Case {
    const char* name;
    std::string file;  // "": none
    std::vector<std::string> typed_lines;
    int64_t delay_ms;
  };
  const Case cases[] = {
      {.name = "stored calibration", .file = kCtsFile, .typed_lines = {}, .delay_ms = 250},
      {.name = "no settings file: asked", .file = "", .typed_lines = {"x", "180"}, .delay_ms = 180},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Program p;
    p.simulate_ms = 1500;
    p.record_dir = p.dir.File("practice");
    if (!c.file.empty()) p.WriteFile(c.file);
    p.desktop.AddWindow("Ringing Room - Chromium");
    for (const std::string& line : c.typed_lines) p.raw.TypeLine(line);
    p.raw.Type("q", 16000);

    EXPECT_EQ(p.Run(), 0);

    EXPECT_EQ(p.ports.reads, 0) << "no port listed";
    EXPECT_TRUE(p.serial.calls.empty()) << "no port opened";
    EXPECT_EQ(std::filesystem::exists(p.settings_path), !c.file.empty());
    if (!c.file.empty()) {
      EXPECT_EQ(p.ReadFile(), c.file);
    }
    EXPECT_FALSE(p.Printed(kReuse));
    EXPECT_TRUE(
        p.Printed("Simulated bell: a handstroke every 1.50 s whole pull; no serial port is "
                  "used."));
    EXPECT_EQ(p.Printed("Give the delay in milliseconds between the sensor input and strike point"),
              c.file.empty());
    EXPECT_EQ(p.Printed("Input x not an integer, try again"), c.file.empty());
    EXPECT_TRUE(p.Printed("Ending Key send test - a round"));
    EXPECT_TRUE(p.Printed("Port=simulated bell usects=TRUE usedsr=FALSE usecd=FALSE useri=FALSE"));
    EXPECT_NE(p.raw.transcript.find("Simulated bell - the space bar rings one more blow"),
              std::string::npos);

    // Counting starts after the round at 4.4 s; the first blow a second later. Blows
    // 1.5 s a whole pull apart until Q at 16 s: 15 of them, give or take the jitter.
    const std::string record =
        FileText(p.dir.path() / "practice" / "strikewell-20261207-120000-simulated.csv");
    ASSERT_TRUE(record.starts_with("# simulated bell\nblow,sensor_ms,key_ms,key\n")) << record;
    const auto lines = RecordFields(record, 2);
    ASSERT_EQ(lines.size(), 15u) << record;
    std::vector<int64_t> keys_ms;
    for (size_t k = 0; k < lines.size(); ++k) {
      ASSERT_EQ(lines[k].size(), 4u);
      EXPECT_EQ(lines[k][0], std::to_string(k + 1));
      EXPECT_EQ(std::stoll(lines[k][2]) - std::stoll(lines[k][1]), c.delay_ms);
      EXPECT_EQ(lines[k][3], "sent");
      keys_ms.push_back(std::stoll(lines[k][2]));
    }
    // The keys pressed: the round, then a J at each recorded key time (counted from
    // the first blow, which came a second after counting started, give or take 5 ms).
    std::vector<int64_t> j_ms;
    for (const auto& key : p.desktop.keys) {
      if (key.vk == 0x4A && key.flags == 0) j_ms.push_back(key.at_ms);
    }
    ASSERT_EQ(j_ms.size(), keys_ms.size());
    for (size_t k = 0; k < j_ms.size(); ++k) {
      // The record rounds to the nearest millisecond, the fake desktop truncates.
      EXPECT_LE(std::abs(j_ms[k] - j_ms[0] - (keys_ms[k] - keys_ms[0])), 1) << "key " << k + 1;
    }
    EXPECT_LE(std::abs(j_ms[0] - c.delay_ms - 5400), 5);
    EXPECT_TRUE(p.Printed("Keys: 15 sent, none dropped."));
  }
}

TEST(ProgramSimulated, WithoutARingingRoomWindowItCountsOnly) {
  Program p;
  p.simulate_ms = 2200;
  p.record_dir = p.dir.File("practice");
  p.desktop.AddWindow("Editor");
  p.raw.TypeLine("250");
  p.raw.Type("q", 11500);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_TRUE(p.Printed("No Ringing Room window found - counting only"));
  EXPECT_FALSE(p.Printed("Key send test - a round"));
  EXPECT_TRUE(p.desktop.keys.empty());
  EXPECT_TRUE(p.desktop.activations.empty());
  EXPECT_FALSE(std::filesystem::exists(p.settings_path)) << "never made";
  EXPECT_TRUE(p.serial.calls.empty());
  EXPECT_NE(
      p.raw.transcript.find("Simulated bell, counting only - the space bar rings one more blow"),
      std::string::npos);
  const std::string record =
      FileText(p.dir.path() / "practice" / "strikewell-20261207-120000-simulated.csv");
  const auto lines = RecordFields(record, 2);
  // Counting starts at once (no key-send test) and the first blow comes a second later:
  // handstrokes at 1, 3.2, ... 9.8 s and backstrokes 1.035 s after each, before Q.
  ASSERT_EQ(lines.size(), 10u) << record;
  for (const auto& line : lines) EXPECT_EQ(line.back(), "none");
  EXPECT_TRUE(p.Printed("Keys: none, counting only."));
}

// A real sensor without Ringing Room: the calibration and port as ever, then neither a
// window search nor a key; every blow counted and recorded.
TEST(ProgramCountOnly, ARealSensorIsCountedAndRecordedWithoutWindowOrKeys) {
  Program p;
  p.count_only = true;
  p.record_dir = p.dir.File("practice");
  RingSixBlows(p);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_TRUE(p.desktop.visited.empty()) << "no window search";
  EXPECT_TRUE(p.desktop.activations.empty());
  EXPECT_TRUE(p.desktop.keys.empty()) << "no key-send test, no J";
  EXPECT_FALSE(p.Printed("Key send test - a round"));
  EXPECT_EQ(FileText(p.dir.path() / "practice" / "strikewell-20261207-120000.csv"),
            "blow,sensor_ms,key_ms,key\n"
            "1,0,250,none\n2,1000,1250,none\n3,2000,2250,none\n"
            "4,3000,3250,none\n5,4000,4250,none\n6,5000,5250,none\n");
  EXPECT_TRUE(p.Printed("Keys: none, counting only."));
  EXPECT_EQ(p.serial.calls.back(), "close 1");
}

}  // namespace
}  // namespace strikewell
