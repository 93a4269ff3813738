// Calibration over scripted ports, a fake clock and a tall fake console (tall so that
// nothing scrolls away and whole runs can be compared row by row).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "calibration/calibration.h"
#include "fake_clock.h"
#include "fake_console.h"
#include "fake_serial.h"
#include "platform/console.h"
#include "run/run_state.h"

namespace strikewell::testing {
namespace {

constexpr int32_t kNoon = 12 * 3600;

std::string Dev(const std::string& name) { return "\\\\.\\" + name; }

struct Rig {
  static constexpr int kRows = 200;

  explicit Rig(int32_t start_seconds_of_day = kNoon)
      : clock(start_seconds_of_day), serial(clock), raw(clock, 80, kRows), console(raw, clock) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir =
        std::filesystem::temp_directory_path() / ("strikewell_calib_" + std::string(info->name()) +
                                                  "_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    settings_path = (dir / "serialport_strikewell.ini").string();
  }
  ~Rig() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  // The port list, as discovery would have left it.
  void List(std::initializer_list<std::string> names) {
    state.SSSI = 0;
    for (const std::string& name : names) state.SSS[++state.SSSI] = name;
  }
  // Ports that open.
  void Add(std::initializer_list<std::string> names) {
    for (const std::string& name : names) serial.AddPort(Dev(name));
  }

  // Line states switched at the given fake milliseconds, alternately `on` and all off.
  void Toggle(const std::string& name, std::initializer_list<int64_t> at_ms, Lines on) {
    bool is_on = false;
    for (int64_t t : at_ms) {
      is_on = !is_on;
      serial.SetLines(Dev(name), t, is_on ? on : Lines{});
    }
  }
  void Send(const std::string& name, std::initializer_list<std::pair<int64_t, uint8_t>> bytes) {
    for (const auto& [t, b] : bytes) serial.SendByte(Dev(name), t, b);
  }

  CalibrationOutcome Run() { return Calibrate(state, serial, console, clock, settings_path); }

  // Every row up to the last one written, trailing blanks removed.
  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    int last = 0;
    for (int y = 1; y <= kRows; ++y)
      if (!raw.Row(y).empty()) last = y;
    for (int y = 1; y <= last; ++y) rows.push_back(raw.Row(y));
    return rows;
  }
  // The rows from the first one that equals `first` on.
  std::vector<std::string> RowsFrom(const std::string& first) const {
    std::vector<std::string> rows = Rows();
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i] == first) return std::vector<std::string>(rows.begin() + i, rows.end());
    ADD_FAILURE() << "no row " << first;
    return {};
  }
  // The listing lines of the pulses.
  std::vector<std::string> Listing() const {
    std::vector<std::string> rows = RowsFrom("List of Port inputs...");
    std::vector<std::string> listing;
    for (size_t i = 1; i < rows.size() && !rows[i].empty(); ++i) listing.push_back(rows[i]);
    return listing;
  }

  bool FileExists() const { return std::filesystem::exists(settings_path); }
  std::string FileText() const {
    std::ifstream in(settings_path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  FakeClock clock;
  FakeSerial serial;
  FakeRawConsole raw;
  Console console;
  RunState state;
  std::filesystem::path dir;
  std::string settings_path;
};

constexpr Lines kCts{true, false, false, false};
constexpr Lines kDsr{false, true, false, false};
constexpr Lines kCd{false, false, true, false};

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr const char* kErrorLine1 = "ERROR: The number of sensors on bell not an integer";
constexpr const char* kErrorLine2 =
    "Restart program and recalibrate - use ONE Hand and Back Pull only!";
constexpr const char* kDelayPrompt1 =
    "Give the delay in milliseconds between the sensor input and strike point";
constexpr const char* kDelayPrompt2 = "Use the delay setting in Abel as a starting point";
constexpr const char* kPortQuestion =
    "cannot safely decide port - input the line number of one used and press [ENTER]";

// A single sensor on CTS of COM3, rung once at handstroke and once at backstroke two
// seconds into sampling; COM1 opens too, COM2 is listed but absent.
TEST(CalibrationTest, WorkedExampleOfOneSensorOnCts) {
  Rig rig;
  rig.List({"COM1", "COM2", "COM3"});
  rig.Add({"COM1", "COM3"});
  rig.Toggle("COM3", {2000, 2300, 4000, 4300}, kCts);
  rig.raw.Type("n");
  rig.raw.TypeLine("250");

  EXPECT_EQ(rig.Run(), CalibrationOutcome::Calibrated);

  EXPECT_THAT(
      rig.Rows(),
      ElementsAre(
          "Calibration...", "Checking possible serial ports...", "1 \\\\.\\COM1 found",
          "3 \\\\.\\COM3 found", "Most simulator bells use the control signals as input",
          "Are you using a Bagley box or similar which sends characters to the serial port?",
          " (y/N)", "", "NOW ring bell HAND and BACK  **ONCE** only as if ringing at normal speed",
          "A few seconds later the results will be summarised", "", "List of Port inputs...",
          "3 Port:COM3 pulse:1 time:2 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
          "3 Port:COM3 pulse:2 time:2 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE",
          "3 Port:COM3 pulse:3 time:4 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
          "3 Port:COM3 pulse:4 time:4 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE", "",
          "Summary: input detected on these ports:", "3 Port COM3 pulses:4 duration:2",
          "Total ON pulses:2 implies     1.00 sensors on bell", kDelayPrompt1, kDelayPrompt2,
          "250"));
  // The screen drops trailing blanks; the text as written keeps them.
  EXPECT_NE(rig.raw.transcript.find("1 \\\\.\\COM1 found \n3 \\\\.\\COM3 found \n"),
            std::string::npos);
  EXPECT_NE(rig.raw.transcript.find("a starting point \n250"), std::string::npos);

  // Sampling ends at the first pass seven clock seconds after the first pulse (12:00:02).
  EXPECT_GE(rig.clock.NowMicros(), 9'000'000);
  EXPECT_LT(rig.clock.NowMicros(), 9'001'000);

  EXPECT_THAT(rig.serial.calls,
              ElementsAre("open \\\\.\\COM1 -> 1", "params 1 2400 8 0 1 0", "rts 1 on", "dtr 1 on",
                          "open \\\\.\\COM2 -> 0", "open \\\\.\\COM3 -> 2", "params 2 2400 8 0 1 0",
                          "rts 2 on", "dtr 2 on", "close 1", "close 2"));
  EXPECT_THAT(rig.serial.open_handles, IsEmpty());

  const Settings& s = rig.state.settings;
  EXPECT_EQ(s, (Settings{"\\\\.\\COM3", true, false, false, false, false, 0, 1, 250}));
  EXPECT_EQ(rig.FileText(), "\\\\.\\COM3\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n1\r\n250\r\n");
}

// Data ports: one character per sensor passage; a different character counts without
// being recorded; a character of code 0 is counted but not kept, so the character
// before it stands for it. The poll's time is taken before the read waits for a
// byte, so characters come a little after the second begins. The data flag that the
// settings file held stays set when the question is declined.
TEST(CalibrationTest, DataPorts) {
  struct Case {
    const char* name;
    const char* answer;
    std::vector<std::pair<int64_t, uint8_t>> bytes;
    std::vector<std::string> listing;
    std::vector<std::string> summary;
    std::string file;
  };
  const std::string nul(1, '\0');
  // Aggregates built with parentheses so that the rows pack.
  const Case cases[] = {
      Case("two characters", "y", {{2100, '1'}, {2600, '1'}},
           {"1 Port:COM1 pulse:1 time:2 data=\"1\"", "1 Port:COM1 pulse:2 time:2 data=\"1\""},
           {"1 Port COM1 pulses:2 duration:0", "Total pulses 2 implies     1.00 sensors on bell"},
           "\\\\.\\COM1\r\n0\r\n0\r\n0\r\n0\r\n1\r\n49\r\n1\r\n300\r\n"),
      Case("a different character", "y", {{2100, 'A'}, {2600, 'B'}, {4100, 'A'}, {4600, 'A'}},
           {"1 Port:COM1 pulse:1 time:2 data=\"A\"", "1 Port:COM1 pulse:3 time:4 data=\"A\"",
            "1 Port:COM1 pulse:4 time:4 data=\"A\""},
           {"1 Port COM1 pulses:4 duration:2", "Total pulses 4 implies     2.00 sensors on bell"},
           "\\\\.\\COM1\r\n0\r\n0\r\n0\r\n0\r\n1\r\n65\r\n2\r\n300\r\n"),
      Case("code 0 after a character", "y", {{2100, 'A'}, {2600, 0}, {4100, 'A'}, {4600, 0}},
           {"1 Port:COM1 pulse:1 time:2 data=\"A\"", "1 Port:COM1 pulse:2 time:2 data=\"A\"",
            "1 Port:COM1 pulse:3 time:4 data=\"A\"", "1 Port:COM1 pulse:4 time:4 data=\"A\""},
           {"1 Port COM1 pulses:4 duration:2", "Total pulses 4 implies     2.00 sensors on bell"},
           "\\\\.\\COM1\r\n0\r\n0\r\n0\r\n0\r\n1\r\n65\r\n2\r\n300\r\n"),
      Case("code 0 first", "y", {{2100, 0}, {2600, 'B'}},
           {"1 Port:COM1 pulse:1 time:2 data=\"" + nul + "\""},
           {"1 Port COM1 pulses:2 duration:-43202",
            "Total pulses 2 implies     1.00 sensors on bell"},
           "\\\\.\\COM1\r\n0\r\n0\r\n0\r\n0\r\n1\r\n0\r\n1\r\n300\r\n"),
      Case("flag from the file, answered n", "n", {{1500, '5'}, {1700, '5'}},
           {"1 Port:COM1 pulse:1 time:1 data=\"5\"", "1 Port:COM1 pulse:2 time:1 data=\"5\""},
           {"1 Port COM1 pulses:2 duration:0", "Total pulses 2 implies     1.00 sensors on bell"},
           "\\\\.\\COM1\r\n0\r\n0\r\n0\r\n0\r\n1\r\n53\r\n1\r\n300\r\n"),
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.List({"COM1"});
    rig.Add({"COM1"});
    for (const auto& [t, b] : c.bytes) rig.serial.SendByte(Dev("COM1"), t, b);
    rig.state.settings.UseDat = std::string(c.answer) == "n";
    rig.raw.Type(c.answer);
    rig.raw.TypeLine("300");
    ASSERT_EQ(rig.Run(), CalibrationOutcome::Calibrated);
    EXPECT_THAT(rig.Listing(), ElementsAreArray(c.listing));
    std::vector<std::string> expected = {"Summary: input detected on these ports:"};
    expected.insert(expected.end(), c.summary.begin(), c.summary.end());
    expected.insert(expected.end(), {kDelayPrompt1, kDelayPrompt2, "300"});
    EXPECT_THAT(rig.RowsFrom("Summary: input detected on these ports:"),
                ElementsAreArray(expected));
    EXPECT_EQ(rig.FileText(), c.file);
  }
}

// Two ports with input: the ringer is asked, and only the number of a listed port
// is taken. COM1 (data, three characters) cannot end sampling with its odd count;
// COM2's one DSR passage does. COM3 is open but quiet, COM4 absent.
TEST(CalibrationTest, PortQuestionTakesOnlyAListedPort) {
  Rig rig;
  rig.List({"COM1", "COM2", "COM3", "COM4"});
  rig.Add({"COM1", "COM2", "COM3"});
  rig.Send("COM1", {{2000, '#'}, {2500, '#'}, {3000, '#'}});
  rig.Toggle("COM2", {2200, 2400}, kDsr);
  rig.raw.Type("Y");
  for (const char* reply : {"x", "3", "4", "0", "26", "", "  ", "1 and more"}) {
    rig.raw.TypeLine(reply);
  }
  rig.raw.TypeLine("-7");

  ASSERT_EQ(rig.Run(), CalibrationOutcome::Calibrated);

  auto refused = [](const std::string& reply) {
    return std::vector<std::string>{
        reply + " is not one of the port numbers listed above - type the number",
        "at the start of the line of the port that the bell is on", kPortQuestion};
  };
  std::vector<std::string> expected = {
      "Summary: input detected on these ports:", "1 Port COM1 pulses:3 duration:1",
      "2 Port COM2 pulses:2 duration:0", kPortQuestion, "x"};
  for (const char* reply : {"x", "3", "4", "0"}) {
    if (std::string(reply) != "x") expected.push_back(reply);
    const std::vector<std::string> lines = refused(reply);
    expected.insert(expected.end(), lines.begin(), lines.end());
  }
  expected.insert(expected.end(), {"26"});
  const std::vector<std::string> lines = refused("26");
  expected.insert(expected.end(), lines.begin(), lines.end());
  // Empty lines are passed over; the rest of the line after the number is ignored.
  expected.insert(expected.end(),
                  {"", "", "1 and more", "OK. Using port: COM1  pulses:3 duration:1",
                   "Total pulses 3 implies     1.50 sensors on bell", kErrorLine1, kErrorLine2,
                   kDelayPrompt1, kDelayPrompt2, "-7"});
  EXPECT_THAT(rig.RowsFrom("Summary: input detected on these ports:"), ElementsAreArray(expected));
  EXPECT_EQ(rig.FileText(), "\\\\.\\COM1\r\n0\r\n0\r\n0\r\n0\r\n1\r\n35\r\n1\r\n-7\r\n");
  EXPECT_THAT(rig.serial.open_handles, IsEmpty());
}

// Yes to the interface box, but the chosen port's input was a line: the data flag
// ends clear and the file's character line is 0 whatever the record held.
TEST(CalibrationTest, DataAnsweredButALinePortChosen) {
  Rig rig;
  rig.List({"COM1", "COM2"});
  rig.Add({"COM1", "COM2"});
  rig.state.settings.UseDatNum = 99;
  rig.Toggle("COM1", {2000, 2300, 4000, 4300}, kCd);
  rig.Send("COM2", {{2100, 'z'}, {2600, 'z'}});
  rig.raw.Type("y");
  rig.raw.TypeLine("1");
  rig.raw.TypeLine("2");
  ASSERT_EQ(rig.Run(), CalibrationOutcome::Calibrated);
  EXPECT_THAT(rig.RowsFrom("Summary: input detected on these ports:"),
              ElementsAre("Summary: input detected on these ports:",
                          "1 Port COM1 pulses:4 duration:2", "2 Port COM2 pulses:2 duration:0",
                          kPortQuestion, "1", "OK. Using port: COM1  pulses:4 duration:2",
                          "Total ON pulses:2 implies     1.00 sensors on bell", kDelayPrompt1,
                          kDelayPrompt2, "2"));
  EXPECT_FALSE(rig.state.settings.UseDat);
  EXPECT_EQ(rig.FileText(), "\\\\.\\COM1\r\n0\r\n0\r\n1\r\n0\r\n0\r\n0\r\n1\r\n2\r\n");
}

TEST(CalibrationTest, SeveralLinesChangingTogetherAreAllUsed) {
  Rig rig;
  rig.List({"ttyUSB0"});
  rig.Add({"ttyUSB0"});
  // Each line is a query of its own; the changes come just after a pass has begun, so
  // that all the reads of that pass see them together.
  bool on = false;
  for (int64_t at_ms : {2000, 2300, 4000, 4300}) {
    on = !on;
    rig.serial.port(Dev("ttyUSB0"))
        .line_changes.emplace_back(at_ms * 1000 + 10,
                                   on ? Lines{true, true, false, true} : Lines{});
  }
  rig.raw.Type("\r");
  rig.raw.TypeLine("100");
  ASSERT_EQ(rig.Run(), CalibrationOutcome::Calibrated);
  EXPECT_THAT(
      rig.Listing(),
      ElementsAre("1 Port:ttyUSB0 pulse:1 time:2 cts=TRUE, dsr=TRUE, cd=FALSE, ri=TRUE",
                  "1 Port:ttyUSB0 pulse:2 time:2 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE",
                  "1 Port:ttyUSB0 pulse:3 time:4 cts=TRUE, dsr=TRUE, cd=FALSE, ri=TRUE",
                  "1 Port:ttyUSB0 pulse:4 time:4 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE"));
  EXPECT_EQ(rig.FileText(), "\\\\.\\ttyUSB0\r\n1\r\n1\r\n0\r\n1\r\n0\r\n0\r\n1\r\n100\r\n");
}

// Changes and characters in the clock second in which sampling began only set the
// stored states.
TEST(CalibrationTest, SettlingSecondCountsNothing) {
  Rig rig;
  rig.List({"COM1", "COM2"});
  rig.Add({"COM1", "COM2"});
  // CTS comes on at 0.5 s and is taken as the resting state; the ringing switches it off.
  rig.Toggle("COM1", {500, 2000, 2300, 4000, 4300}, kCts);
  rig.Send("COM2", {{300, 'x'}, {900, 'x'}});
  rig.raw.Type("y");
  rig.raw.TypeLine("5");
  ASSERT_EQ(rig.Run(), CalibrationOutcome::Calibrated);
  EXPECT_THAT(rig.Listing(),
              ElementsAre("1 Port:COM1 pulse:1 time:2 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE",
                          "1 Port:COM1 pulse:2 time:2 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
                          "1 Port:COM1 pulse:3 time:4 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE",
                          "1 Port:COM1 pulse:4 time:4 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE"));
  EXPECT_THAT(
      rig.RowsFrom("Summary: input detected on these ports:"),
      ElementsAre("Summary: input detected on these ports:", "1 Port COM1 pulses:4 duration:2",
                  "Total ON pulses:2 implies     1.00 sensors on bell", kDelayPrompt1,
                  kDelayPrompt2, "5"));
}

// One sensor port, CTS flagged at the first pulse, answered "n" and a delay of 5.
// Sampling ends at the first pass seven clock seconds after the first pulse, once
// the count is even; `end_ms` is when, in fake time.
TEST(CalibrationTest, LinePortSampling) {
  using LineScript = std::vector<std::pair<int64_t, Lines>>;
  struct Case {
    const char* name;
    int32_t start_seconds;
    LineScript changes;
    int64_t end_ms;
    std::vector<std::string> listing;  // not compared when empty
    std::vector<std::string> summary;
    int32_t sensor_num;
  };
  auto toggled = [](std::initializer_list<int64_t> at_ms) {
    LineScript script;
    for (int64_t t : at_ms) script.push_back({t, script.size() % 2 == 0 ? kCts : Lines{}});
    return script;
  };
  const Lines cts_dsr{true, true, false, false};
  const std::vector<std::string> one_sensor = {
      "1 Port COM1 pulses:4 duration:2", "Total ON pulses:2 implies     1.00 sensors on bell"};
  const std::vector<std::string> hand_and_back = {
      "1 Port:COM1 pulse:1 time:2 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
      "1 Port:COM1 pulse:2 time:2 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE",
      "1 Port:COM1 pulse:3 time:4 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
      "1 Port:COM1 pulse:4 time:4 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE"};
  LineScript forty_changes;
  for (int i = 0; i < 40; ++i)
    forty_changes.push_back({2000 + 50 * i, i % 2 == 0 ? kCts : Lines{}});
  // Aggregates built with parentheses so that the rows pack.
  const Case cases[] = {
      Case(
          "two sensors", kNoon, toggled({2000, 2100, 2200, 2300, 4000, 4100, 4200, 4300}), 9000, {},
          {"1 Port COM1 pulses:8 duration:2", "Total ON pulses:4 implies     2.00 sensors on bell"},
          2),
      // A count of 32 ends sampling at once (at the 32nd change, 3.55 s), long before
      // the six-second rule would.
      Case("32 changes", kNoon, forty_changes, 3550, {},
           {"1 Port COM1 pulses:32 duration:1",
            "Total ON pulses:16 implies     8.00 sensors on bell"},
           8),
      // Counts that are no whole number of sensors are reported twice and rounded down.
      Case("one and a half sensors", kNoon, toggled({2000, 2100, 2200, 4000, 4100, 4200}), 9000, {},
           {"1 Port COM1 pulses:6 duration:2", kErrorLine1, kErrorLine2,
            "Total ON pulses:3 implies     1.50 sensors on bell", kErrorLine1, kErrorLine2},
           1),
      // A port stopped at an odd count waits for its next change; its first pulse is
      // then long past, so that change ends sampling at once.
      Case("odd count waits", kNoon, toggled({2000, 12000}), 12000,
           {"1 Port:COM1 pulse:1 time:2 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
            "1 Port:COM1 pulse:2 time:12 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE"},
           {"1 Port COM1 pulses:2 duration:10", kErrorLine1, kErrorLine2,
            "Total ON pulses:1 implies     0.50 sensors on bell", kErrorLine1, kErrorLine2},
           0),
      // A line that was not flagged at the first pulse counts its change once (not on
      // every pass until the count reaches 32), without a time stamp or a listing line.
      Case("unflagged line", kNoon, {{2000, kCts}, {2100, cts_dsr}, {2300, kDsr}, {4000, cts_dsr}},
           9000,
           {"1 Port:COM1 pulse:1 time:2 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
            "1 Port:COM1 pulse:3 time:2 cts=FALSE, dsr=TRUE, cd=FALSE, ri=FALSE",
            "1 Port:COM1 pulse:4 time:4 cts=TRUE, dsr=TRUE, cd=FALSE, ri=FALSE"},
           one_sensor, 1),
      // When the last pulse was counted but not recorded, its time stamp counts as 0.
      Case("unrecorded last pulse", kNoon,
           {{2000, kCts}, {2300, {}}, {4000, kCts}, {4200, {true, false, true, false}}}, 9000, {},
           {"1 Port COM1 pulses:4 duration:-43202",
            "Total ON pulses:2 implies     1.00 sensors on bell"},
           1),
      // The six-second rule counts across midnight, and the listing from the start.
      Case("ends after midnight", 23 * 3600 + 59 * 60 + 55, toggled({2000, 2300, 4000, 4300}), 9000,
           hand_and_back, one_sensor, 1),
      Case("rung across midnight", 23 * 3600 + 59 * 60 + 58, toggled({2000, 2300, 4000, 4300}),
           9000, hand_and_back, one_sensor, 1),
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.start_seconds);
    rig.List({"COM1"});
    rig.Add({"COM1"});
    for (const auto& [t, lines] : c.changes) rig.serial.SetLines(Dev("COM1"), t, lines);
    rig.raw.Type("n");
    rig.raw.TypeLine("5");
    ASSERT_EQ(rig.Run(), CalibrationOutcome::Calibrated);
    EXPECT_GE(rig.clock.NowMicros(), c.end_ms * 1000);
    EXPECT_LT(rig.clock.NowMicros(), c.end_ms * 1000 + 1000);
    if (!c.listing.empty()) {
      EXPECT_THAT(rig.Listing(), ElementsAreArray(c.listing));
    }
    std::vector<std::string> rows = {"Summary: input detected on these ports:"};
    rows.insert(rows.end(), c.summary.begin(), c.summary.end());
    rows.insert(rows.end(), {kDelayPrompt1, kDelayPrompt2, "5"});
    EXPECT_THAT(rig.RowsFrom(rows.front()), ElementsAreArray(rows));
    EXPECT_EQ(rig.FileText(), "\\\\.\\COM1\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n" +
                                  std::to_string(c.sensor_num) + "\r\n5\r\n");
  }
}

// With nothing to poll, sampling could never end: the ringer is told what to check.
TEST(CalibrationTest, NoPortOpened) {
  struct Case {
    const char* name;
    std::initializer_list<std::string> list;
  };
  const Case cases[] = {{"none listed", {""}}, {"none opens", {"COM1", "COM2"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.List(c.list);
    rig.Add({"COM2"});
    rig.serial.port(Dev("COM2")).held_elsewhere = true;
    rig.raw.TypeLine("whatever");
    EXPECT_EQ(rig.Run(), CalibrationOutcome::NoPortOpened);
    EXPECT_THAT(rig.Rows(),
                ElementsAre("Calibration...", "Checking possible serial ports...",
                            "No serial port could be opened, so the bell sensor cannot be found.",
                            "Check that the sensor's serial adapter is plugged in and that no "
                            "other",
                            "program is using it. On Linux, check that you may use serial ports",
                            "(usually by being a member of the dialout group).",
                            "Press [ENTER] to end the program", "whatever"));
    EXPECT_FALSE(rig.FileExists());
    EXPECT_THAT(rig.serial.open_handles, IsEmpty());
  }
}

// A ringer whose input ends anywhere in calibration leaves no port held: at the
// interface box question, at the port question, after a refused port number.
TEST(CalibrationTest, PortsAreClosedWhenConsoleInputEnds) {
  for (const char* typed : {"", "n", "n7\r"}) {
    SCOPED_TRACE(typed);
    Rig rig;
    rig.List({"COM1", "COM2"});
    rig.Add({"COM1", "COM2"});
    rig.Toggle("COM1", {2000, 2300}, kCts);
    rig.Toggle("COM2", {2000, 2300}, kCd);
    rig.raw.Type(typed);
    EXPECT_THROW(rig.Run(), ConsoleInputEnded);
    EXPECT_THAT(rig.serial.open_handles, IsEmpty());
    EXPECT_FALSE(rig.FileExists());
  }
}

}  // namespace
}  // namespace strikewell::testing
