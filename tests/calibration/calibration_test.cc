// Calibration over scripted ports, a fake clock and a console tall enough that whole
// runs can be compared row by row.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "calibration/calibration.h"
#include "fake_clock.h"
#include "fake_console.h"
#include "fake_serial.h"
#include "file_text.h"
#include "sensor_script.h"
#include "settings_builders.h"
#include "temp_dir.h"

namespace strikewell::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Rows = std::vector<std::string>;

constexpr int32_t kNoon = 12 * 3600;
constexpr Lines kCts{.cts = true};
constexpr const char* kSummary = "Summary: input detected on these ports:";
constexpr const char* kError1 = "ERROR: The number of sensors on bell not an integer";
constexpr const char* kError2 =
    "Restart program and recalibrate - use ONE Hand and Back Pull only!";
constexpr const char* kDelay1 =
    "Give the delay in milliseconds between the sensor input and strike point";
constexpr const char* kDelay2 = "Use the delay setting in Abel as a starting point";
constexpr const char* kPortQuestion =
    "cannot safely decide port - input the line number of one used and press [ENTER]";

std::string Dev(const std::string& name) { return "\\\\.\\" + name; }

struct Rig {
  static constexpr int kRows = 200;

  explicit Rig(int32_t start_seconds_of_day = kNoon) : clock(start_seconds_of_day) {}

  // The port list as discovery would have left it; all but `absent` open.
  void Ports(std::initializer_list<std::string> listed,
             std::initializer_list<std::string> absent = {}) {
    state.SSSI = 0;
    for (const std::string& name : listed) {
      state.SSS[++state.SSSI] = name;
      if (std::find(absent.begin(), absent.end(), name) == absent.end()) serial.AddPort(Dev(name));
    }
  }
  void SetLines(const std::string& name, const LineScript& script) {
    for (const auto& [t, lines] : script) serial.SetLines(Dev(name), t, lines);
  }
  void Send(const std::string& name, std::initializer_list<std::pair<int64_t, uint8_t>> bytes) {
    for (const auto& [t, b] : bytes) serial.SendByte(Dev(name), t, b);
  }

  CalibrationOutcome Run() { return Calibrate(state, serial, console, clock, settings_path); }

  // Every row up to the last one written, trailing blanks removed.
  Rows All() const {
    int last = kRows;
    while (last > 0 && raw.Row(last).empty()) --last;
    Rows rows;
    for (int y = 1; y <= last; ++y) rows.push_back(raw.Row(y));
    return rows;
  }
  // The rows from the first one that equals `first` on.
  Rows From(const std::string& first) const {
    Rows rows = All();
    auto it = std::find(rows.begin(), rows.end(), first);
    EXPECT_NE(it, rows.end()) << "no row " << first;
    return Rows(it, rows.end());
  }
  // The listing lines of the pulses.
  Rows Listing() const {
    Rows rows = From("List of Port inputs...");
    if (rows.empty()) return rows;
    return Rows(rows.begin() + 1, std::find(rows.begin() + 1, rows.end(), ""));
  }

  std::string FileText() const { return ReadBytes(settings_path); }

  FakeClock clock;
  FakeSerial serial{clock};
  FakeRawConsole raw{clock, 80, kRows};
  Console console{raw, clock};
  CalibrationState state;
  TempDir dir{"calibration"};
  std::string settings_path = dir.File(kSettingsFileName);
};

// A single sensor on CTS of COM3, rung once at handstroke and once at backstroke two
// seconds into sampling; COM1 opens too, COM2 is listed but absent.
TEST(CalibrationTest, WorkedExampleOfOneSensorOnCts) {
  Rig rig;
  rig.Ports({"COM1", "COM2", "COM3"}, {"COM2"});
  rig.SetLines("COM3", Toggled({2000, 2300, 4000, 4300}));
  rig.raw.Type("n");
  rig.raw.TypeLine("250");

  EXPECT_EQ(rig.Run(), CalibrationOutcome::Calibrated);

  EXPECT_THAT(
      rig.All(),
      ElementsAre(
          "Calibration...", "Checking possible serial ports...", "1 \\\\.\\COM1 found",
          "3 \\\\.\\COM3 found", "Most simulator bells use the control signals as input",
          "Are you using a Bagley box or similar which sends characters to the serial port?",
          " (y/N)", "", "NOW ring bell HAND and BACK  **ONCE** only as if ringing at normal speed",
          "A few seconds later the results will be summarised", "", "List of Port inputs...",
          "3 Port:COM3 pulse:1 time:2 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
          "3 Port:COM3 pulse:2 time:2 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE",
          "3 Port:COM3 pulse:3 time:4 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
          "3 Port:COM3 pulse:4 time:4 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE", "", kSummary,
          "3 Port COM3 pulses:4 duration:2", "Total ON pulses:2 implies     1.00 sensors on bell",
          kDelay1, kDelay2, "250"));
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
  EXPECT_EQ(rig.state.settings,
            (SettingsOf(LineSensor{.port = Dev("COM3"), .lines = kCts, .bell_delay_ms = 250})));
  EXPECT_EQ(rig.FileText(), "\\\\.\\COM3\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n1\r\n250\r\n");
}

// Data ports: a different character counts without being recorded; a character of
// code 0 is counted, and the character before it stands for it in the listing.
TEST(CalibrationTest, DataPorts) {
  struct Case {
    const char* name;
    std::vector<std::pair<int64_t, uint8_t>> bytes;
    Rows listing;
    Rows summary;
    std::string file;
  };
  const Case cases[] = {
      {"two characters",
       {{2100, '1'}, {2600, '1'}},
       {"1 Port:COM1 pulse:1 time:2 data=\"1\"", "1 Port:COM1 pulse:2 time:2 data=\"1\""},
       {"1 Port COM1 pulses:2 duration:0", "Total pulses 2 implies     1.00 sensors on bell"},
       "\\\\.\\COM1\r\n0\r\n0\r\n0\r\n0\r\n1\r\n49\r\n1\r\n300\r\n"},
      {"code 0 and a different character",
       {{2100, 'A'}, {2600, 'B'}, {4100, 'A'}, {4600, 0}},
       {"1 Port:COM1 pulse:1 time:2 data=\"A\"", "1 Port:COM1 pulse:3 time:4 data=\"A\"",
        "1 Port:COM1 pulse:4 time:4 data=\"A\""},
       {"1 Port COM1 pulses:4 duration:2", "Total pulses 4 implies     2.00 sensors on bell"},
       "\\\\.\\COM1\r\n0\r\n0\r\n0\r\n0\r\n1\r\n65\r\n2\r\n300\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.Ports({"COM1"});
    for (const auto& [t, b] : c.bytes) rig.serial.SendByte(Dev("COM1"), t, b);
    rig.raw.Type("y");
    rig.raw.TypeLine("300");
    ASSERT_EQ(rig.Run(), CalibrationOutcome::Calibrated);
    EXPECT_THAT(rig.Listing(), ElementsAreArray(c.listing));
    Rows expected = {kSummary};
    expected.insert(expected.end(), c.summary.begin(), c.summary.end());
    expected.insert(expected.end(), {kDelay1, kDelay2, "300"});
    EXPECT_THAT(rig.From(kSummary), ElementsAreArray(expected));
    EXPECT_EQ(rig.FileText(), c.file);
  }
}

// A data flag read from the settings file at start-up stays set when the interface
// box question is answered with anything but "y": the box's characters are still
// read, and the new record keeps the flag with the character that arrived. An arrow's
// second half must not reach the bell delay prompt either.
TEST(CalibrationTest, StoredDataFlagIsKeptByAnyAnswerButYes) {
  const KeyEvent answers[] = {{'n'}, {'N'}, {'x'}, {13}, {27}, {72, true}};
  for (const KeyEvent& answer : answers) {
    SCOPED_TRACE(::testing::Message() << int{answer.code} << (answer.extended ? " extended" : ""));
    Rig rig;
    rig.state.settings = SettingsOf(BoxSensor{
        .port = Dev("COM2"), .character = '#', .pulses_per_blow = 3, .bell_delay_ms = 120});
    rig.Ports({"COM1"});
    rig.Send("COM1", {{2100, '1'}, {2600, '1'}});
    // Long after sampling has ended, so that a run that no longer reads the box ends
    // too, on these, instead of waiting for ever.
    rig.SetLines("COM1", Toggled({20000, 20300}));
    rig.raw.Key(answer.code, answer.extended);
    rig.raw.TypeLine("300");
    ASSERT_EQ(rig.Run(), CalibrationOutcome::Calibrated);
    EXPECT_THAT(rig.Listing(), ElementsAre("1 Port:COM1 pulse:1 time:2 data=\"1\"",
                                           "1 Port:COM1 pulse:2 time:2 data=\"1\""));
    EXPECT_THAT(rig.From(kSummary), ElementsAre(kSummary, "1 Port COM1 pulses:2 duration:0",
                                                "Total pulses 2 implies     1.00 sensors on bell",
                                                kDelay1, kDelay2, "300"));
    EXPECT_EQ(rig.state.settings,
              (SettingsOf(BoxSensor{.port = Dev("COM1"), .character = '1', .bell_delay_ms = 300})));
    EXPECT_EQ(rig.FileText(), "\\\\.\\COM1\r\n0\r\n0\r\n0\r\n0\r\n1\r\n49\r\n1\r\n300\r\n");
  }
}

// Two ports with input, so the ringer is asked; only a port listed with input is
// taken. COM1's odd count (three characters) leaves the ending to COM2's DSR passage.
TEST(CalibrationTest, PortQuestionTakesOnlyAListedPort) {
  Rig rig;
  rig.Ports({"COM1", "COM2", "COM3", "COM4"}, {"COM4"});
  rig.Send("COM1", {{2000, '#'}, {2500, '#'}, {3000, '#'}});
  rig.SetLines("COM2", Toggled({2200, 2400}, {.dsr = true}));
  rig.raw.Type("Y");
  const std::vector<std::string> refused = {"x", "3", "0", "26"};
  for (const std::string& reply : refused) rig.raw.TypeLine(reply);
  for (const char* reply : {"", "  ", "1 and more", "-7"}) rig.raw.TypeLine(reply);

  ASSERT_EQ(rig.Run(), CalibrationOutcome::Calibrated);

  Rows expected = {kSummary, "1 Port COM1 pulses:3 duration:1", "2 Port COM2 pulses:2 duration:0",
                   kPortQuestion};
  for (const std::string& reply : refused) {
    expected.insert(
        expected.end(),
        {reply, reply + " is not one of the port numbers listed above - type the number",
         "at the start of the line of the port that the bell is on", kPortQuestion});
  }
  // Empty lines are passed over; the rest of the line after the number is ignored.
  expected.insert(expected.end(),
                  {"", "", "1 and more", "OK. Using port: COM1  pulses:3 duration:1",
                   "Total pulses 3 implies     1.50 sensors on bell", kError1, kError2, kDelay1,
                   kDelay2, "-7"});
  EXPECT_THAT(rig.From(kSummary), ElementsAreArray(expected));
  EXPECT_EQ(rig.FileText(), "\\\\.\\COM1\r\n0\r\n0\r\n0\r\n0\r\n1\r\n35\r\n1\r\n-7\r\n");
  EXPECT_THAT(rig.serial.open_handles, IsEmpty());
}

// Yes to the interface box, but the chosen port's input was a line: the data flag
// ends clear and the file's character line is 0 whatever the record held.
TEST(CalibrationTest, DataAnsweredButALinePortChosen) {
  Rig rig;
  rig.Ports({"COM1", "COM2"});
  rig.state.settings.UseDatNum = 99;
  rig.SetLines("COM1", Toggled({2000, 2300, 4000, 4300}, {.cd = true}));
  rig.Send("COM2", {{2100, 'z'}, {2600, 'z'}});
  rig.raw.Type("y");
  rig.raw.TypeLine("1");
  rig.raw.TypeLine("2");
  ASSERT_EQ(rig.Run(), CalibrationOutcome::Calibrated);
  EXPECT_THAT(
      rig.From(kSummary),
      ElementsAre(kSummary, "1 Port COM1 pulses:4 duration:2", "2 Port COM2 pulses:2 duration:0",
                  kPortQuestion, "1", "OK. Using port: COM1  pulses:4 duration:2",
                  "Total ON pulses:2 implies     1.00 sensors on bell", kDelay1, kDelay2, "2"));
  EXPECT_FALSE(rig.state.settings.UseDat);
  EXPECT_EQ(rig.FileText(), "\\\\.\\COM1\r\n0\r\n0\r\n1\r\n0\r\n0\r\n0\r\n1\r\n2\r\n");
}

TEST(CalibrationTest, SeveralLinesChangingTogetherAreAllUsed) {
  Rig rig;
  rig.Ports({"ttyUSB0"});
  // Just after a pass has begun, so that all its line queries see the change.
  for (const auto& [t, lines] :
       Toggled({2000, 2300, 4000, 4300}, {.cts = true, .dsr = true, .ri = true})) {
    rig.serial.port(Dev("ttyUSB0")).line_changes.emplace_back(t * 1000 + 10, lines);
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

// One sensor port, COM1, sampled from a time of day; the ringer answers the interface
// box question with "n" and gives a bell delay of 5 ms.
struct Sampling {
  int32_t start_seconds = kNoon;
  LineScript changes{};
  int32_t debounce_ms = 0;
};

// Sampling ends at the first pass seven clock seconds after the first pulse once the
// count is even: end_ms is when, in fake time. Then the summary rows and the pulses a
// blow that calibration stores.
struct Sampled {
  int64_t end_ms = 0;
  Rows summary{};
  int32_t sensor_num = 0;
};

// Runs the sampling and checks when it ended, the summary and the file; the rig is
// returned for a look at its listing.
std::unique_ptr<Rig> ExpectSampled(const Sampling& sampling, const Sampled& sampled) {
  auto rig = std::make_unique<Rig>(sampling.start_seconds);
  rig->Ports({"COM1"});
  rig->SetLines("COM1", sampling.changes);
  rig->state.debounce_ms = sampling.debounce_ms;
  rig->raw.Type("n");
  rig->raw.TypeLine("5");
  EXPECT_EQ(rig->Run(), CalibrationOutcome::Calibrated);
  EXPECT_GE(rig->clock.NowMicros(), sampled.end_ms * 1000);
  EXPECT_LT(rig->clock.NowMicros(), sampled.end_ms * 1000 + 1000);
  Rows rows = {kSummary};
  rows.insert(rows.end(), sampled.summary.begin(), sampled.summary.end());
  rows.insert(rows.end(), {kDelay1, kDelay2, "5"});
  EXPECT_THAT(rig->From(kSummary), ElementsAreArray(rows));
  EXPECT_EQ(rig->FileText(), "\\\\.\\COM1\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n" +
                                 std::to_string(sampled.sensor_num) + "\r\n5\r\n");
  return rig;
}

const Rows kOneSensor = {"1 Port COM1 pulses:4 duration:2",
                         "Total ON pulses:2 implies     1.00 sensors on bell"};
const Rows kHandAndBackListing = {
    "1 Port:COM1 pulse:1 time:2 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
    "1 Port:COM1 pulse:2 time:2 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE",
    "1 Port:COM1 pulse:3 time:4 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
    "1 Port:COM1 pulse:4 time:4 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE"};

TEST(CalibrationSampling, TwoPulsesAtEachStrokeAreTwoSensors) {
  ExpectSampled({.changes = Toggled({2000, 2100, 2200, 2300, 4000, 4100, 4200, 4300})},
                {.end_ms = 9000,
                 .summary = {"1 Port COM1 pulses:8 duration:2",
                             "Total ON pulses:4 implies     2.00 sensors on bell"},
                 .sensor_num = 2});
}

// A reed switch whose every edge flickers: with the de-bounce each pulse is one on
// and one off, so the hand and back strokes give one sensor as rung.
TEST(CalibrationSampling, AChatteringSensorIsOneSensorWithTheDebounce) {
  const std::unique_ptr<Rig> rig =
      ExpectSampled({.changes = ChatteringPulses({2000, 4000}, Chatter{}, 300),
                     .debounce_ms = kDefaultDebounceMs},
                    {.end_ms = 9000, .summary = kOneSensor, .sensor_num = 1});
  EXPECT_THAT(rig->Listing(), ElementsAreArray(kHandAndBackListing));
}

TEST(CalibrationSampling, TwoChatteringSensorsAStrokeAreTwoSensorsWithTheDebounce) {
  ExpectSampled({.changes = ChatteringPulses({2000, 2200, 4000, 4200}, Chatter{}, 100),
                 .debounce_ms = kDefaultDebounceMs},
                {.end_ms = 9000,
                 .summary = {"1 Port COM1 pulses:8 duration:2",
                             "Total ON pulses:4 implies     2.00 sensors on bell"},
                 .sensor_num = 2});
}

// Without it the flicker is counted: 20 changes for two pulses make no whole number
// of sensors, which is the fault the de-bounce is there for.
TEST(CalibrationSampling, AChatteringSensorMiscountsWithoutTheDebounce) {
  ExpectSampled({.changes = ChatteringPulses({2000, 4000}, Chatter{}, 300)},
                {.end_ms = 9000,
                 .summary = {"1 Port COM1 pulses:20 duration:2",
                             "Total ON pulses:10 implies     5.00 sensors on bell"},
                 .sensor_num = 5});
}

// 40 changes 50 ms apart from 2 s: the 32nd, at 3.55 s, ends sampling at once.
TEST(CalibrationSampling, ThirtyTwoChangesEndSamplingAtOnce) {
  LineScript forty_changes;
  for (int i = 0; i < 40; ++i) forty_changes.push_back({2000 + 50 * i, i % 2 ? Lines{} : kCts});
  ExpectSampled({.changes = forty_changes},
                {.end_ms = 3550,
                 .summary = {"1 Port COM1 pulses:32 duration:1",
                             "Total ON pulses:16 implies     8.00 sensors on bell"},
                 .sensor_num = 8});
}

TEST(CalibrationSampling, CountsThatAreNoWholeNumberOfSensorsAreReportedTwiceAndRoundedDown) {
  ExpectSampled(
      {.changes = Toggled({2000, 2100, 2200, 4000, 4100, 4200})},
      {.end_ms = 9000,
       .summary = {"1 Port COM1 pulses:6 duration:2", kError1, kError2,
                   "Total ON pulses:3 implies     1.50 sensors on bell", kError1, kError2},
       .sensor_num = 1});
}

// Its first pulse is then long past, so that change ends sampling at once.
TEST(CalibrationSampling, APortStoppedAtAnOddCountWaitsForItsNextChange) {
  auto rig = ExpectSampled(
      {.changes = Toggled({2000, 12000})},
      {.end_ms = 12000,
       .summary = {"1 Port COM1 pulses:2 duration:10", kError1, kError2,
                   "Total ON pulses:1 implies     0.50 sensors on bell", kError1, kError2},
       .sensor_num = 0});
  EXPECT_THAT(rig->Listing(),
              ElementsAre("1 Port:COM1 pulse:1 time:2 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
                          "1 Port:COM1 pulse:2 time:12 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE"));
}

// DSR was off at the first pulse: its changes are counted, once each, but neither
// time-stamped nor listed.
TEST(CalibrationSampling, ALineNotFlaggedAtTheFirstPulseCountsWithoutAListingLine) {
  const Lines cts_dsr{.cts = true, .dsr = true};
  auto rig = ExpectSampled(
      {.changes = {{2000, kCts}, {2100, cts_dsr}, {2300, {.dsr = true}}, {4000, cts_dsr}}},
      {.end_ms = 9000, .summary = kOneSensor, .sensor_num = 1});
  EXPECT_THAT(rig->Listing(),
              ElementsAre("1 Port:COM1 pulse:1 time:2 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
                          "1 Port:COM1 pulse:3 time:2 cts=FALSE, dsr=TRUE, cd=FALSE, ri=FALSE",
                          "1 Port:COM1 pulse:4 time:4 cts=TRUE, dsr=TRUE, cd=FALSE, ri=FALSE"));
}

TEST(CalibrationSampling, ChangesInTheSecondSamplingBeganInOnlySetTheRestingState) {
  auto rig = ExpectSampled({.changes = Toggled({500, 2000, 2300, 4000, 4300})},
                           {.end_ms = 9000, .summary = kOneSensor, .sensor_num = 1});
  EXPECT_THAT(rig->Listing(),
              ElementsAre("1 Port:COM1 pulse:1 time:2 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE",
                          "1 Port:COM1 pulse:2 time:2 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE",
                          "1 Port:COM1 pulse:3 time:4 cts=FALSE, dsr=FALSE, cd=FALSE, ri=FALSE",
                          "1 Port:COM1 pulse:4 time:4 cts=TRUE, dsr=FALSE, cd=FALSE, ri=FALSE"));
}

// The seven-second rule counts across midnight, and the listing times from the start.
TEST(CalibrationSampling, SamplingThatEndsAfterMidnightEndsOnTime) {
  auto rig = ExpectSampled(
      {.start_seconds = 23 * 3600 + 59 * 60 + 55, .changes = Toggled({2000, 2300, 4000, 4300})},
      {.end_ms = 9000, .summary = kOneSensor, .sensor_num = 1});
  EXPECT_THAT(rig->Listing(), ElementsAreArray(kHandAndBackListing));
}

TEST(CalibrationSampling, AStrokeRungAcrossMidnightIsTimedFromTheStart) {
  auto rig = ExpectSampled(
      {.start_seconds = 23 * 3600 + 59 * 60 + 58, .changes = Toggled({2000, 2300, 4000, 4300})},
      {.end_ms = 9000, .summary = kOneSensor, .sensor_num = 1});
  EXPECT_THAT(rig->Listing(), ElementsAreArray(kHandAndBackListing));
}

// With nothing to poll, sampling could never end: the ringer is told what to check.
TEST(CalibrationTest, NoPortOpened) {
  for (bool listed : {false, true}) {
    SCOPED_TRACE(listed);
    Rig rig;
    if (listed) {
      rig.Ports({"COM1", "COM2"}, {"COM1"});
      rig.serial.port(Dev("COM2")).held_elsewhere = true;
    } else {
      rig.Ports({""}, {""});
    }
    rig.raw.TypeLine("whatever");
    EXPECT_EQ(rig.Run(), CalibrationOutcome::NoPortOpened);
    EXPECT_THAT(rig.All(),
                ElementsAre("Calibration...", "Checking possible serial ports...",
                            "No serial port could be opened, so the bell sensor cannot be found.",
                            "Check that the sensor's serial adapter is plugged in and that no "
                            "other",
                            "program is using it. On Linux, check that you may use serial ports",
                            "(usually by being a member of the dialout group).",
                            "To try strikewell without a bell, start it with --simulate",
                            "Press [ENTER] to end the program", "whatever"));
    EXPECT_FALSE(std::filesystem::exists(rig.settings_path));
    EXPECT_THAT(rig.serial.open_handles, IsEmpty());
  }
}

// A ringer whose input ends anywhere in calibration leaves no port held: at the
// interface box question, at the port question, after a refused port number.
TEST(CalibrationTest, PortsAreClosedWhenConsoleInputEnds) {
  for (const char* typed : {"", "n", "n7\r"}) {
    SCOPED_TRACE(typed);
    Rig rig;
    rig.Ports({"COM1", "COM2"});
    rig.SetLines("COM1", Toggled({2000, 2300}));
    rig.SetLines("COM2", Toggled({2000, 2300}, {.cd = true}));
    rig.raw.Type(typed);
    EXPECT_THROW(rig.Run(), ConsoleInputEnded);
    EXPECT_THAT(rig.serial.open_handles, IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(rig.settings_path));
  }
}

}  // namespace
}  // namespace strikewell::testing
