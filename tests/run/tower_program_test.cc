// The whole program ringing through the tower's connection, over fakes: start-up
// connects and joins instead of the window search and the key-send test, a kept
// tower is offered, and a ringer without a window can name a tower instead.
#include <cstdint>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
#include "fake_event_wait.h"
#include "fake_login_store.h"
#include "fake_network.h"
#include "fake_serial.h"
#include "file_text.h"
#include "run/program.h"
#include "temp_dir.h"
#include "tower/kept_login.h"

namespace strikewell {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr const char* kCom3 = "\\\\.\\COM3";
constexpr int64_t kTower = 123456789;
// The CTS sensor on COM3 with two pulses per blow and a 250 ms delay.
const std::string kCtsFile = "\\\\.\\COM3\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250\r\n";

struct FixedPortNames : PortNames {
  std::string GetSerialPortNames() override { return "COM3"; }
};

struct TowerProgram {
  TowerProgram() {
    serial.AddPort(kCom3);
    testing::WriteBytes(settings_path, kCtsFile);
    network.AddUser({.email = "ann@example.org", .password = "pw", .username = "ann", .id = 7});
    network.AddTower({.number = kTower, .name = "St Mary's", .assigned = {{3, 7}}});
    raw.Type("y");  // the calibration kept
  }

  int Run() {
    Platform platform{serial, ports, console, desktop, clock, wait, settings_path};
    platform.record_dir = record_dir;
    platform.network = &network;
    platform.logins = &logins;
    platform.tower = tower;
    platform.simulate_ms = simulate_ms;
    platform.several_bells = several_bells;
    platform.bells_path = bells_path;
    return RunProgram(platform);
  }

  void KeepLogin(int64_t kept_tower) {
    logins.text = KeptLoginText({.token = network.TokenFor("ann@example.org"),
                                 .email = "ann@example.org",
                                 .server = "https://ringingroom.com",
                                 .tower = kept_tower,
                                 .tower_name = "St Mary's"});
  }

  // Two blows of two pulses each, their second pulses at 5 s and 6 s.
  void TwoBlows() {
    for (int64_t t : {4900, 5000, 5900, 6000}) {
      serial.SetLines(kCom3, t, testing::Lines{.cts = true});
      serial.SetLines(kCom3, t + 40, testing::Lines{});
    }
  }

  std::string Unwrapped() const {
    std::string text = raw.transcript;
    std::erase(text, '\n');
    return text;
  }

  testing::FakeClock clock;
  testing::FakeSerial serial{clock};
  testing::FakeRawConsole raw{clock};
  Console console{raw, clock};
  testing::FakeDesktop desktop{&clock};
  testing::FakeNetwork network{clock};
  testing::FakeLoginStore logins;
  testing::FakeEventWait wait{clock, serial, raw, &network};
  FixedPortNames ports;
  testing::TempDir dir{"tower-program"};
  std::string settings_path = dir.File(kSettingsFileName);
  std::string record_dir;
  std::string tower;
  int32_t simulate_ms = 0;
  bool several_bells = false;
  std::string bells_path = dir.File(kBellsFileName);
};

// A kept pair on COM3 rung as bells 1 and 2 of the tower: the treble on CTS with
// 250 ms, the second on DSR with 200 ms.
constexpr const char* kPairFile =
    "port \\\\.\\COM3\r\nconvention no\r\n"
    "bell 1 cts pulses 1 delay 250 left\r\nbell 2 dsr pulses 1 delay 200 right\r\n";

// The pair's blows: the treble at 5 s and 6 s, the second at 5.3 s.
void PairBlows(testing::FakeSerial& serial) {
  serial.SetLines(kCom3, 5000, testing::Lines{.cts = true});
  serial.SetLines(kCom3, 5100, testing::Lines{});
  serial.SetLines(kCom3, 5300, testing::Lines{.dsr = true});
  serial.SetLines(kCom3, 5400, testing::Lines{});
  serial.SetLines(kCom3, 6000, testing::Lines{.cts = true});
  serial.SetLines(kCom3, 6100, testing::Lines{});
}

TEST(TowerProgram, ATowerGivenIsJoinedAndRungWithoutAnyWindowOrKeySendTest) {
  TowerProgram p;
  p.tower = "https://ringingroom.com/123456789/st-marys";
  p.record_dir = p.dir.File("records");
  p.raw.TypeLine("ann@example.org", 1000);
  p.raw.TypeLine("pw", 1000);
  p.TwoBlows();
  p.raw.Type("q", 7000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_THAT(p.raw.transcript, HasSubstr("Connected to Ringing Room tower St Mary's as ann\n"));
  EXPECT_THAT(p.raw.transcript, Not(HasSubstr("Key send test")));
  EXPECT_THAT(p.desktop.keys, IsEmpty());
  EXPECT_THAT(p.desktop.activations, IsEmpty());
  ASSERT_EQ(p.network.rungs.size(), 2u);
  EXPECT_EQ(p.network.rungs[0].at_us, 5'250'000);
  EXPECT_EQ(p.network.rungs[0].bell, 3);
  EXPECT_TRUE(p.network.rungs[0].stroke);
  EXPECT_EQ(p.network.rungs[1].at_us, 6'250'000);
  EXPECT_FALSE(p.network.rungs[1].stroke);
  EXPECT_EQ(testing::ReadBytes(p.dir.File("records/strikewell-20261207-120000.csv")),
            "blow,sensor_ms,key_ms,key,stroke\n"
            "1,0,250,sent,hand\n"
            "2,1000,1250,sent,back\n");
  EXPECT_EQ(ParseKeptLogin(*p.logins.text).tower, kTower);
}

// Trying the direct way without a bell: the simulated bell's blows ring the tower
// given, at their times plus the stored bell delay; no port, no window, no keys.
TEST(TowerProgram, ASimulatedBellRingsATowerGiven) {
  TowerProgram p;
  p.tower = "123456789";
  p.simulate_ms = 2000;
  p.KeepLogin(kTower);
  p.raw.Type("q", 8000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_THAT(p.raw.transcript, HasSubstr("Connected to Ringing Room tower St Mary's as ann\n"));
  EXPECT_TRUE(p.serial.calls.empty()) << "no port opened";
  EXPECT_THAT(p.desktop.keys, IsEmpty());
  ASSERT_GE(p.network.rungs.size(), 3u);
  for (size_t k = 0; k < p.network.rungs.size(); ++k) {
    EXPECT_EQ(p.network.rungs[k].bell, 3);
    EXPECT_EQ(p.network.rungs[k].stroke, k % 2 == 0) << "ring " << k + 1;
  }
}

// Without --tower a simulated bell keeps to the window, whatever tower is kept.
TEST(TowerProgram, ASimulatedBellDoesNotRingAKeptTowerUnasked) {
  TowerProgram p;
  p.simulate_ms = 2000;
  p.KeepLogin(kTower);
  p.desktop.AddWindow("Ringing Room - Chromium");
  p.raw.Type("q", 8000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_THAT(p.raw.transcript, Not(HasSubstr("Ring tower")));
  EXPECT_THAT(p.network.rungs, IsEmpty());
  EXPECT_THAT(p.desktop.keys, Not(IsEmpty()));
}

TEST(TowerProgram, AKeptTowerIsOfferedAndYesRingsIt) {
  TowerProgram p;
  p.KeepLogin(kTower);
  p.raw.Type("Y", 1000);
  p.TwoBlows();
  p.raw.Type("q", 7000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_THAT(p.raw.transcript, HasSubstr("Ring tower St Mary's (123456789) directly? (Y/n)\n"));
  EXPECT_EQ(p.network.rungs.size(), 2u);
  EXPECT_THAT(p.desktop.keys, IsEmpty());
}

TEST(TowerProgram, AKeptTowerOnASiteInTheClearIsNotOffered) {
  TowerProgram p;
  p.logins.text = KeptLoginText({.token = "t",
                                 .email = "ann@example.org",
                                 .server = "http://ringingroom.example",
                                 .tower = kTower,
                                 .tower_name = "St Mary's"});
  p.desktop.AddWindow("Ringing Room - Chromium");
  p.raw.Type("q", 7000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_THAT(p.raw.transcript, Not(HasSubstr("directly?")));
  EXPECT_THAT(p.raw.transcript, HasSubstr("Target window is Ringing Room - Chromium\n"));
  EXPECT_TRUE(p.network.requests.empty());
}

TEST(TowerProgram, NoToAKeptTowerGoesTheWindowWay) {
  TowerProgram p;
  p.KeepLogin(kTower);
  p.desktop.AddWindow("Ringing Room - Chromium");
  p.raw.Type("n", 1000);
  p.raw.Type("q", 7000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_THAT(p.raw.transcript, HasSubstr("Target window is Ringing Room - Chromium\n"));
  EXPECT_THAT(p.raw.transcript, HasSubstr("Key send test"));
  EXPECT_TRUE(p.network.opened_urls.empty());
}

TEST(TowerProgram, StartedFromExplorerWithoutAWindowATowerCanBeTypedInstead) {
  TowerProgram p;
  p.raw.closes_at_exit = true;
  p.KeepLogin(0);
  p.raw.TypeLine("123456789", 1000);
  p.raw.Type("q", 7000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_THAT(p.raw.transcript,
              HasSubstr("The required target window (Ringing Room) NOT FOUND\n"
                        "Ending program press Q to exit\n"
                        "Or type a Ringing Room tower's number or address to ring it directly:\n"
                        "123456789\n"));
  EXPECT_THAT(p.raw.transcript, HasSubstr("Connected to Ringing Room tower St Mary's as ann"));
}

// The record's heading follows the way chosen, not the kept tower: the window way's
// blows name no stroke, a tower typed at the not-found screen's blows do.
TEST(TowerProgram, TheRecordNamesStrokesOnlyWhenATowerIsRung) {
  TowerProgram window;
  window.KeepLogin(kTower);
  window.desktop.AddWindow("Ringing Room - Chromium");
  window.record_dir = window.dir.File("records");
  window.raw.Type("n", 1000);
  // After the key-send test, which ends later than a tower's join.
  for (int64_t t : {6900, 7000, 7900, 8000}) {
    window.serial.SetLines(kCom3, t, testing::Lines{.cts = true});
    window.serial.SetLines(kCom3, t + 40, testing::Lines{});
  }
  window.raw.Type("q", 9000);
  EXPECT_EQ(window.Run(), 0);
  EXPECT_EQ(testing::ReadBytes(window.dir.File("records/strikewell-20261207-120000.csv")),
            "blow,sensor_ms,key_ms,key\n"
            "1,0,250,sent\n"
            "2,1000,1250,sent\n");

  TowerProgram typed;
  typed.raw.closes_at_exit = true;
  typed.KeepLogin(0);
  typed.record_dir = typed.dir.File("records");
  typed.raw.TypeLine("123456789", 1000);
  typed.TwoBlows();
  typed.raw.Type("q", 7000);
  EXPECT_EQ(typed.Run(), 0);
  EXPECT_EQ(testing::ReadBytes(typed.dir.File("records/strikewell-20261207-120000.csv")),
            "blow,sensor_ms,key_ms,key,stroke\n"
            "1,0,250,sent,hand\n"
            "2,1000,1250,sent,back\n");
}

// The not-found screen's own answers still end the program there: Enter, or Q.
TEST(TowerProgram, StartedFromExplorerWithoutAWindowEnterOrQStillEnds) {
  for (const char* answer : {"", "Q", "q"}) {
    SCOPED_TRACE(answer);
    TowerProgram p;
    p.raw.closes_at_exit = true;
    p.KeepLogin(0);
    p.raw.TypeLine(answer, 1000);

    EXPECT_EQ(p.Run(), 0);

    EXPECT_THAT(p.raw.transcript, HasSubstr("Ending program press Q to exit\n"));
    EXPECT_THAT(p.network.rungs, IsEmpty());
    EXPECT_THAT(p.raw.transcript, Not(HasSubstr("Connected to Ringing Room")));
  }
}

TEST(TowerProgram, InATerminalAMissingWindowEndsTheProgramAsEver) {
  TowerProgram p;
  p.KeepLogin(0);
  p.raw.TypeLine("123456789", 1000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_THAT(p.raw.transcript, HasSubstr("The required target window (Ringing Room) NOT FOUND\n"
                                          "Ending program press Q to exit\n"));
  EXPECT_TRUE(p.network.requests.empty());
}

TEST(TowerProgram, AnUnknownTowerIsOneSentenceAndEnterEndsWithStatusZero) {
  TowerProgram p;
  p.tower = "55";
  p.KeepLogin(0);
  p.raw.TypeLine("", 1000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_THAT(p.raw.transcript, HasSubstr("Ringing Room has no tower 55"));
  EXPECT_EQ(p.serial.calls.back(), "close 1");
  EXPECT_FALSE(p.raw.NextKeyAt().has_value());
}

TEST(TowerProgram, AnEmptyEmailEndsWithStatusZero) {
  TowerProgram p;
  p.tower = "123456789";
  p.raw.TypeLine("", 1000);
  p.raw.TypeLine("", 1000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_THAT(p.raw.transcript, HasSubstr("No email given - Ringing Room is not rung."));
  EXPECT_TRUE(p.network.opened_urls.empty());
}

TEST(TowerProgram, SeveralBellsRingATowerGivenEachBlowItsOwnBellAndStroke) {
  TowerProgram p;
  p.several_bells = true;
  testing::WriteBytes(p.bells_path, kPairFile);
  p.tower = "123456789";
  p.record_dir = p.dir.File("records");
  p.raw.TypeLine("ann@example.org", 1000);
  p.raw.TypeLine("pw", 1000);
  PairBlows(p.serial);
  p.raw.Type("q", 7000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_THAT(p.raw.transcript, HasSubstr("Connected to Ringing Room tower St Mary's as ann\n"));
  EXPECT_THAT(p.raw.transcript, Not(HasSubstr("Key send test")));
  EXPECT_THAT(p.desktop.keys, IsEmpty());
  ASSERT_EQ(p.network.rungs.size(), 3u);
  EXPECT_EQ(p.network.rungs[0].bell, 1);
  EXPECT_EQ(p.network.rungs[0].at_us, 5'250'000);
  EXPECT_TRUE(p.network.rungs[0].stroke);
  EXPECT_EQ(p.network.rungs[1].bell, 2);
  EXPECT_EQ(p.network.rungs[1].at_us, 5'500'000);
  EXPECT_TRUE(p.network.rungs[1].stroke);
  EXPECT_EQ(p.network.rungs[2].bell, 1);
  EXPECT_EQ(p.network.rungs[2].at_us, 6'250'000);
  EXPECT_FALSE(p.network.rungs[2].stroke);
  EXPECT_EQ(testing::ReadBytes(p.dir.File("records/strikewell-20261207-120000.csv")),
            "blow,sensor_ms,key_ms,key,stroke,bell\n"
            "1,0,250,sent,hand,1\n"
            "1,300,500,sent,hand,2\n"
            "2,1000,1250,sent,back,1\n");
}

TEST(TowerProgram, SeveralBellsAreOfferedTheKeptTowerAndYesRingsIt) {
  TowerProgram p;
  p.several_bells = true;
  testing::WriteBytes(p.bells_path, kPairFile);
  p.KeepLogin(kTower);
  p.raw.Type("Y", 1000);
  PairBlows(p.serial);
  p.raw.Type("q", 7000);

  EXPECT_EQ(p.Run(), 0);

  EXPECT_THAT(p.raw.transcript, HasSubstr("Ring tower St Mary's (123456789) directly? (Y/n)\n"));
  ASSERT_EQ(p.network.rungs.size(), 3u);
  EXPECT_EQ(p.network.rungs[1].bell, 2);
  EXPECT_THAT(p.desktop.keys, IsEmpty());
}

}  // namespace
}  // namespace strikewell
