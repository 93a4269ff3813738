// The Linux serial backend with the modem-line shim preloaded (CTest sets
// LD_PRELOAD): the input lines follow a control file, RTS and DTR are recorded, and
// the real counting loop counts a scripted pulse train through the real backend.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
#include "platform/backends.h"
#include "pty_pair.h"
#include "run/counting.h"
#include "run/run_state.h"

namespace strikewell {
namespace {

namespace fs = std::filesystem;
using testing::FakeClock;
using testing::FakeDesktop;
using testing::FakeRawConsole;
using testing::PtyPair;

// Each test serves its pty from control files in a private directory.
class SerialShimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* preload = std::getenv("LD_PRELOAD");
    ASSERT_TRUE(preload != nullptr && std::string(preload).find("modem_shim") != std::string::npos)
        << "run with LD_PRELOAD naming the modem shim, as CTest does";
    char dir[] = "/tmp/strikewell-shim-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    Serve(pty_.path());
  }
  void TearDown() override {
    unsetenv("STRIKEWELL_SHIM_DEVICE");
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // Serves the devices (joined by ':') from control files lines0 and lines1.
  void Serve(const std::string& devices) const {
    setenv("STRIKEWELL_SHIM_DEVICE", devices.c_str(), 1);
    setenv("STRIKEWELL_SHIM_LINES",
           ((dir_ / "lines0").string() + ":" + (dir_ / "lines1").string()).c_str(), 1);
    setenv("STRIKEWELL_SHIM_LOG", (dir_ / "log").c_str(), 1);
  }

  // Replaces control file i in one step, as a test that races a reader must.
  void SetLines(int i, const std::string& text) const {
    std::ofstream(dir_ / "lines.tmp") << text;
    fs::rename(dir_ / "lines.tmp", dir_ / ("lines" + std::to_string(i)));
  }

  std::vector<bool> Read(SerHandle h) {
    return {serial_->SerGetCTS(h), serial_->SerGetDSR(h), serial_->SerGetCD(h),
            serial_->SerGetRI(h)};
  }

  PtyPair pty_;
  fs::path dir_;
  std::unique_ptr<Serial> serial_ = MakeSerial();
};

TEST_F(SerialShimTest, EachServedDeviceReadsItsOwnControlFile) {
  PtyPair second, unserved;
  // The second is served and opened under a symlink's name, as a test's /dev tree names it.
  const fs::path link = dir_ / "ttyStrikewell0";
  fs::create_symlink(second.path(), link);
  Serve(pty_.path() + ":" + link.string());
  const SerHandle a = serial_->SerOpen(pty_.DeviceName());
  const SerHandle b = serial_->SerOpen(link.string());
  const SerHandle c = serial_->SerOpen(unserved.DeviceName());
  ASSERT_TRUE(a > 0 && b > 0 && c > 0);
  SetLines(1, "ri=1");
  const std::pair<std::string, std::vector<bool>> cases[] = {
      {"cts=1 dsr=0 cd=0 ri=0", {true, false, false, false}},
      {"dsr=1", {false, true, false, false}},
      {"cd=1,ri=1\n", {false, false, true, true}},
      {"cts=1 dsr=1 cd=1 ri=1", {true, true, true, true}},
      {"", {false, false, false, false}},
      {"fail", {false, false, false, false}},  // a failed status query reads as off
  };
  for (const auto& [text, expected] : cases) {
    SetLines(0, text);
    EXPECT_EQ(Read(a), expected) << '"' << text << '"';
  }
  fs::remove(dir_ / "lines0");
  EXPECT_EQ(Read(a), std::vector<bool>(4, false)) << "no control file";
  EXPECT_EQ(Read(b), (std::vector<bool>{false, false, false, true}));
  EXPECT_EQ(Read(c), std::vector<bool>(4, false));
}

TEST_F(SerialShimTest, SensorPortSetUpLeavesRtsAndDtrOn) {
  const SerHandle h = serial_->SerOpen(pty_.DeviceName());
  ASSERT_GT(h, 0);
  ConfigureSensorPort(*serial_, h);
  // Open applies the defaults (both off), the parameter call again turns both off,
  // then RTS on, then DTR on.
  std::ifstream in(dir_ / "log");
  std::vector<std::string> log;
  for (std::string line; std::getline(in, line);) log.push_back(line.substr(pty_.path().size()));
  EXPECT_EQ(log, (std::vector<std::string>{" bic rts=0 dtr=0", " bic rts=0 dtr=0",
                                           " bis rts=1 dtr=0", " bis rts=1 dtr=1"}));
}

// A console whose key polls, one per pass of the counting loop, play a script on the
// sensor's side: on pass n it applies step n, and after the last step it types "q".
class PassScript : public FakeRawConsole {
 public:
  PassScript(FakeClock& clock, std::vector<std::function<void()>> steps)
      : FakeRawConsole(clock), steps_(std::move(steps)) {}

  std::optional<KeyEvent> PollKey() override {
    if (pass_ < steps_.size()) {
      steps_[pass_++]();
      return std::nullopt;
    }
    return KeyEvent{'q', false};
  }
  bool InputEnded() override { return false; }

 private:
  std::vector<std::function<void()>> steps_;
  size_t pass_ = 0;
};

TEST_F(SerialShimTest, CountingLoopCountsAPulseTrainThroughTheRealBackend) {
  SetLines(0, "cts=1");  // already on when counting starts: not a pulse
  const SerHandle h = serial_->SerOpen(pty_.DeviceName());
  ASSERT_GT(h, 0);
  ConfigureSensorPort(*serial_, h);

  auto lines = [&](const char* text) { return [this, text] { SetLines(0, text); }; };
  auto byte = [&](const char* text) { return [this, text] { pty_.Send(text); }; };
  const std::vector<std::function<void()>> steps = {
      lines("cts=1"),
      lines("cts=0"),
      lines("cts=1"),        // pulse 1
      lines("cts=1 dsr=1"),  // pulse 2: blow 1
      lines("cts=0 dsr=0"),
      lines("cts=1 dsr=1"),  // pulses 3, 4: blow 2
      lines("cd=1 ri=1"),    // not enabled
      byte("x"),             // not UseDatNum
      byte("B"),
      lines("cts=0 dsr=0"),
      byte("B"),       // pulses 5, 6: blow 3
      lines("cts=1"),  // pulse 7
  };
  FakeClock clock;
  PassScript raw(clock, steps);
  Console console(raw, clock);
  FakeDesktop desktop(&clock);
  RunState state;
  SetupFont(state.screen.Line);
  state.settings = Settings{pty_.DeviceName(), true, true, false, false, true, 'B', 2, 40};
  state.SerialHandle = h;
  state.SaveWnd = desktop.AddWindow("Ringing Room - Chromium");
  desktop.foreground = state.SaveWnd;
  CountingIo io{*serial_, console, desktop, clock};

  CountBlows(state, io);

  EXPECT_EQ(state.MyCounter, 3);
  EXPECT_EQ(state.SNum, 1);
  EXPECT_EQ(raw.Row(21).substr(0, 8), "count =3");
  // One "j" per blow, each a bell delay after the one before (fake time stands still).
  std::vector<FakeDesktop::KeyRecord> keys;
  for (int64_t t : {40, 80, 120}) {
    keys.insert(keys.end(), {testing::Press(0x4A, 0x24, t), testing::Release(0x4A, 0x24, t)});
  }
  EXPECT_EQ(desktop.keys, keys);
  uint8_t buffer[1];
  EXPECT_EQ(serial_->SerReadTimeout(h, buffer, 1), 0) << "every byte was consumed";
}

}  // namespace
}  // namespace strikewell
