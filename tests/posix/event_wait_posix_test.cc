// The counting loop's wait on Linux against real ptys and a real terminal (a pty as
// standard input), and with the modem-line shim preloaded (CTest sets LD_PRELOAD):
// modem lines that change, are counted and are waited for; the serial backend's line
// counts and low-latency request; the shim's own line wait.
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "modem_shim_control.h"
#include "no_console.h"
#include "platform/backends.h"
#include "platform/event_wait.h"
#include "platform/posix/line_watch_posix.h"
#include "platform/posix/serial_posix.h"
#include "later.h"
#include "pty_pair.h"
#include "sensor/line_debounce.h"

namespace strikewell {
namespace {

using std::chrono::milliseconds;
using testing::PtyPair;

// A deadline the tests never reach when the wait works: a wait that returns before
// it woke for what the test did.
constexpr int64_t kFarUs = 5'000'000;

int64_t Now() { return MonotonicMicrosNow(); }

using testing::Later;

void Write(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

int ThreadCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

// A thread that has been joined may linger in /proc for a moment.
bool ThreadsSettleAt(int count) {
  for (int i = 0; i < 1000 && ThreadCount() != count; ++i) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  return ThreadCount() == count;
}

class EventWaitTest : public ::testing::Test {
 protected:
  SerHandle Open(const PtyPair& pty) {
    const SerHandle h = serial_->SerOpen(pty.DeviceName());
    EXPECT_GT(h, 0);
    ConfigureSensorPort(*serial_, h);
    return h;
  }
  WaitResult Wait(WaitFor what) { return wait_->Wait(what); }
  LineWatcher::State WatchState(SerHandle h) {
    LineWatcher* watcher = dynamic_cast<PosixSerialPorts&>(*serial_).WatchLines(h);
    return watcher != nullptr ? watcher->state() : LineWatcher::State::kIdle;
  }

  PtyPair pty_;
  std::unique_ptr<Serial> serial_ = MakeSerial();
  std::unique_ptr<Clock> clock_ = MakeClock();
  testing::NoConsole console_;
  std::unique_ptr<EventWait> wait_ = MakeEventWait(*serial_, console_, *clock_);
};

TEST_F(EventWaitTest, ByteWakesTheWaitAtOnceWithTheTimeItCame) {
  const SerHandle h = Open(pty_);
  int64_t sent_us = 0;
  WaitResult woke;
  int64_t woke_us = 0;
  {
    Later send(milliseconds(30), [&] {
      sent_us = Now();
      Write(pty_.master(), "B");
    });
    woke = Wait({.port = h, .data = true, .console = false, .deadline_us = Now() + kFarUs});
    woke_us = Now();
  }
  EXPECT_TRUE(woke.data);
  EXPECT_FALSE(woke.lines || woke.console);
  EXPECT_GE(woke.data_at_us, sent_us);
  EXPECT_LE(woke.data_at_us, woke_us);
  EXPECT_LT(woke_us - sent_us, kFarUs / 2) << "slept on towards the deadline";

  const int64_t start_us = Now();
  woke = Wait({.port = h, .data = true, .console = false, .deadline_us = start_us + kFarUs});
  EXPECT_TRUE(woke.data) << "a byte still unread wakes it again";
  EXPECT_LT(Now() - start_us, kFarUs / 2);
  uint8_t byte = 0;
  EXPECT_EQ(serial_->SerReadTimeout(h, &byte, 0), 1);
  EXPECT_EQ(byte, 'B');
  woke = Wait({.port = h, .data = true, .console = false, .deadline_us = Now() + 20'000});
  EXPECT_FALSE(woke.data) << "every byte has been read";
}

TEST_F(EventWaitTest, DeadlineEndsTheWaitNotBeforeItWithNothingSet) {
  const SerHandle h = Open(pty_);
  for (const int64_t ahead_us : {1, 1'000, 5'000, 20'000}) {
    const int64_t deadline_us = Now() + ahead_us;
    const WaitResult woke =
        Wait({.port = h, .data = true, .console = false, .deadline_us = deadline_us});
    const int64_t woke_us = Now();
    EXPECT_GE(woke_us, deadline_us) << ahead_us;
    EXPECT_FALSE(woke.lines || woke.data || woke.console) << ahead_us;
  }
}

TEST_F(EventWaitTest, DeadlineAlreadyPastReturnsAtOnce) {
  const SerHandle h = Open(pty_);
  for (const int64_t deadline_us : {Now() - 1'000, int64_t{0}, Now()}) {
    const int64_t start_us = Now();
    const WaitResult woke =
        Wait({.port = h, .data = true, .console = false, .deadline_us = deadline_us});
    EXPECT_LT(Now() - start_us, kFarUs / 2) << deadline_us;
    EXPECT_FALSE(woke.lines || woke.data || woke.console) << deadline_us;
  }
}

void OnTestSignal(int) {}

// A terminal resize sends SIGWINCH; a handler without SA_RESTART ends the poll
// with EINTR each time.
TEST_F(EventWaitTest, SignalsDoNotEndTheWaitBeforeItsDeadline) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = OnTestSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  const pthread_t waiter = pthread_self();
  std::atomic<bool> done{false};
  int64_t deadline_us = 0;
  WaitResult woke;
  {
    Later signals(milliseconds(0), [&] {
      while (!done) {
        pthread_kill(waiter, SIGUSR1);
        std::this_thread::sleep_for(milliseconds(2));
      }
    });
    deadline_us = Now() + 60'000;
    woke = Wait({.console = false, .deadline_us = deadline_us});
    done = true;
  }
  EXPECT_GE(Now(), deadline_us);
  EXPECT_FALSE(woke.lines || woke.data || woke.console);
  sigaction(SIGUSR1, &previous, nullptr);
}

TEST_F(EventWaitTest, HungUpPortWakesOnceThenTheDeadlineHoldsAgain) {
  const SerHandle h = Open(pty_);
  pty_.HangUp();
  const int64_t start_us = Now();
  WaitResult woke =
      Wait({.port = h, .data = true, .console = false, .deadline_us = start_us + kFarUs});
  EXPECT_TRUE(woke.data) << "the caller reads the port and finds it gone";
  EXPECT_LT(Now() - start_us, kFarUs / 2);
  const int64_t deadline_us = Now() + 20'000;
  woke = Wait({.port = h, .data = true, .console = false, .deadline_us = deadline_us});
  EXPECT_GE(Now(), deadline_us) << "a hang-up reported on every poll must not spin the loop";
  EXPECT_FALSE(woke.data);
}

// A pulled-out USB adapter leaves a hung-up tty, as a pty whose master has closed:
// the wait says so even when only the lines are watched, and the backend tells the
// port gone from a line that is merely off.
TEST_F(EventWaitTest, HangUpIsReportedAsAPortLostWhateverIsWatched) {
  for (const bool data : {false, true}) {
    SCOPED_TRACE(data ? "bytes" : "lines");
    PtyPair pty;
    const SerHandle h = Open(pty);
    EXPECT_FALSE(serial_->SerPortLost(h)) << "a port that is there";
    pty.HangUp();
    const int64_t start_us = Now();
    WaitResult woke;
    do {  // sampled lines wake it too: what counts is that the loss comes
      woke = Wait({.port = h,
                   .lines = !data,
                   .data = data,
                   .console = false,
                   .deadline_us = start_us + kFarUs});
    } while (!woke.port_lost && Now() - start_us < kFarUs / 2);
    EXPECT_TRUE(woke.port_lost);
    EXPECT_TRUE(serial_->SerPortLost(h));
    EXPECT_FALSE(serial_->SerGetCTS(h));
    serial_->SerClose(h);
    EXPECT_FALSE(serial_->SerPortLost(h)) << "a closed handle is no port at all";
  }
}

TEST_F(EventWaitTest, AReadThatFindsTheDeviceGoneMarksThePortLost) {
  const SerHandle h = Open(pty_);
  pty_.HangUp();
  uint8_t byte = 0;
  EXPECT_EQ(serial_->SerReadTimeout(h, &byte, 0), 0);
  EXPECT_TRUE(serial_->SerPortLost(h));
}

// A pty's driver has no TIOCMIWAIT: the lines are then sampled, at least once a
// millisecond.
TEST_F(EventWaitTest, LinesAreSampledWhereTheDriverCannotWaitForThem) {
  const SerHandle h = Open(pty_);
  for (int i = 0; i < 5; ++i) {
    const int64_t start_us = Now();
    const WaitResult woke =
        Wait({.port = h, .lines = true, .console = false, .deadline_us = start_us + kFarUs});
    const int64_t woke_us = Now();
    EXPECT_TRUE(woke.lines) << i;
    EXPECT_GE(woke.lines_at_us, start_us) << i;
    EXPECT_LE(woke.lines_at_us, woke_us) << i;
    EXPECT_LT(woke_us - start_us, kFarUs / 2) << i;
  }
  EXPECT_EQ(WatchState(h), LineWatcher::State::kNotSupported);
}

// Where the console is not this platform's terminal, it is looked at like sampled
// lines.
TEST_F(EventWaitTest, ConsoleThatIsNotTheTerminalIsLookedAtWithoutWaiting) {
  const int64_t start_us = Now();
  const WaitResult woke = Wait({.console = true, .deadline_us = start_us + kFarUs});
  EXPECT_TRUE(woke.console);
  EXPECT_LT(Now() - start_us, kFarUs / 2);
}

// A network that is not this platform's own (a test's stand-in) has no descriptor to
// wait on: it too is looked at without waiting, and only when asked for.
TEST_F(EventWaitTest, NetworkThatIsNotThePlatformsIsLookedAtWithoutWaiting) {
  class ForeignNetwork : public Network {
   public:
    HttpResponse Fetch(const HttpRequest&, int32_t) override { return {}; }
    std::unique_ptr<WebSocket> OpenWebSocket(const std::string&) override { return nullptr; }
  } network;
  const auto wait = MakeEventWait(*serial_, console_, *clock_, &network);
  const int64_t start_us = Now();
  const WaitResult woke =
      wait->Wait({.console = false, .network = true, .deadline_us = start_us + kFarUs});
  EXPECT_TRUE(woke.network);
  EXPECT_LT(Now() - start_us, kFarUs / 2);
  EXPECT_FALSE(wait->Wait({.console = false, .deadline_us = Now() + 20'000}).network);
}

// Standard input and output on a pty, as when the program runs in a terminal. The
// test's own output stays away from the pty: results are checked after restoring.
class TerminalOnPty {
 public:
  explicit TerminalOnPty(const PtyPair& pty) : in_(dup(STDIN_FILENO)), out_(dup(STDOUT_FILENO)) {
    dup2(pty.slave(), STDIN_FILENO);
    dup2(pty.slave(), STDOUT_FILENO);
  }
  ~TerminalOnPty() {
    dup2(in_, STDIN_FILENO);
    dup2(out_, STDOUT_FILENO);
    close(in_);
    close(out_);
  }

 private:
  int in_;
  int out_;
};

struct KeyWake {
  WaitResult woke;
  int64_t took_us = 0;
  std::optional<KeyEvent> key;
};

TEST_F(EventWaitTest, KeysOnTheTerminalWakeTheWaitAsPollKeyWillGiveThem) {
  PtyPair terminal;
  KeyWake typed;
  KeyWake second_of_two;
  KeyWake escape_byte;
  KeyWake escape_alone;
  {
    TerminalOnPty on_pty(terminal);
    auto raw = MakeRawConsole();
    auto wait = MakeEventWait(*serial_, *raw, *clock_);
    const auto wait_for_key = [&](KeyWake& w) {
      const int64_t start_us = Now();
      w.woke = wait->Wait({.console = true, .deadline_us = start_us + kFarUs});
      w.took_us = Now() - start_us;
      w.key = raw->PollKey();
    };
    {
      Later type(milliseconds(30), [&] { Write(terminal.master(), "k"); });
      wait_for_key(typed);
    }
    // Both keys are read and decoded at the first look; the second then waits in
    // the console, not on the terminal.
    Write(terminal.master(), "ab");
    KeyWake first_of_two;
    wait_for_key(first_of_two);
    wait_for_key(second_of_two);
    // A lone Escape is a key only after the quiet gap: the byte wakes the wait, and
    // the next wait ends when PollKey gives it.
    Write(terminal.master(), "\x1b");
    wait_for_key(escape_byte);
    wait_for_key(escape_alone);
  }
  EXPECT_TRUE(typed.woke.console);
  EXPECT_LT(typed.took_us, kFarUs / 2);
  ASSERT_TRUE(typed.key.has_value());
  EXPECT_EQ(typed.key->code, 'k');

  EXPECT_TRUE(second_of_two.woke.console);
  EXPECT_LT(second_of_two.took_us, kFarUs / 2) << "slept with a decoded key waiting";
  ASSERT_TRUE(second_of_two.key.has_value());
  EXPECT_EQ(second_of_two.key->code, 'b');

  EXPECT_TRUE(escape_byte.woke.console);
  EXPECT_FALSE(escape_byte.key.has_value()) << "an Escape is held for the quiet gap";
  EXPECT_TRUE(escape_alone.woke.console);
  EXPECT_LT(escape_alone.took_us, kFarUs / 2) << "slept past the end of the quiet gap";
  ASSERT_TRUE(escape_alone.key.has_value());
  EXPECT_EQ(escape_alone.key->code, 27);
}

// The shim serves the pty's modem lines from a control file (see its header).
class WaitShimTest : public EventWaitTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::ModemShimControl::Preloaded())
        << "run with LD_PRELOAD naming the modem shim, as CTest does";
    shim_ = std::make_unique<testing::ModemShimControl>(pty_.path(),
                                                        testing::ModemShimFiles{.serial = true});
    SetLines("cts=0/0 dsr=0/0 cd=0/0 ri=0/0");
  }
  void TearDown() override {
    // The port goes first: its watcher may be reading the control file.
    wait_.reset();
    serial_.reset();
    shim_.reset();
  }

  void SetLines(const std::string& text) const { shim_->SetLines(text); }
  std::string SerialFile() const { return testing::ReadBytes(shim_->Path("serial")); }

  std::unique_ptr<testing::ModemShimControl> shim_;
};

TEST_F(WaitShimTest, LineChangeWakesTheWaitWithTheTimeItWasSeen) {
  const SerHandle h = Open(pty_);
  const auto lines_wait = [&](int64_t deadline_us) {
    return Wait({.port = h, .lines = true, .console = false, .deadline_us = deadline_us});
  };
  EXPECT_TRUE(lines_wait(Now() + kFarUs).lines) << "a new watch starts with a look";
  EXPECT_EQ(WatchState(h), LineWatcher::State::kWaiting);
  const int64_t deadline_us = Now() + 30'000;
  EXPECT_FALSE(lines_wait(deadline_us).lines) << "nothing changed";
  EXPECT_GE(Now(), deadline_us);

  for (const char* lines : {"cts=1", "cts=1 dsr=1", "dsr=1 cd=1", "dsr=1 cd=1 ri=1", "ri=0"}) {
    int64_t before_us = 0;
    WaitResult woke;
    int64_t woke_us = 0;
    {
      Later change(milliseconds(20), [&] {
        before_us = Now();
        SetLines(lines);
      });
      woke = lines_wait(Now() + kFarUs);
      woke_us = Now();
    }
    EXPECT_TRUE(woke.lines) << lines;
    EXPECT_GE(woke.lines_at_us, before_us) << lines;
    EXPECT_LE(woke.lines_at_us, woke_us) << lines;
    EXPECT_LT(woke_us - before_us, kFarUs / 2) << lines;
  }
}

TEST_F(WaitShimTest, LineCountsFollowTheDriversTransitions) {
  const SerHandle h = Open(pty_);
  const auto counts = [&] {
    LineCounts c{.cts = 99, .dsr = 99, .cd = 99, .ri = 99};
    EXPECT_TRUE(serial_->SerGetLineCounts(h, c));
    return std::vector<uint32_t>{c.cts, c.dsr, c.cd, c.ri};
  };
  EXPECT_EQ(counts(), (std::vector<uint32_t>{0, 0, 0, 0}));
  SetLines("cts=0/4");  // on and off twice between two looks
  EXPECT_EQ(counts(), (std::vector<uint32_t>{4, 0, 0, 0}));
  SetLines("cts=1 dsr=1");  // states only: the shim counts what it sees change
  EXPECT_EQ(counts(), (std::vector<uint32_t>{5, 1, 0, 0}));
  SetLines("cts=1/5 dsr=0 cd=1/7 ri=1/1");
  EXPECT_EQ(counts(), (std::vector<uint32_t>{5, 2, 7, 1}));

  SetLines("fail");
  LineCounts c;
  EXPECT_FALSE(serial_->SerGetLineCounts(h, c)) << "device gone";
  PtyPair plain;
  const SerHandle plain_h = Open(plain);
  EXPECT_FALSE(serial_->SerGetLineCounts(plain_h, c)) << "a pty counts nothing";
  EXPECT_FALSE(serial_->SerGetLineCounts(0, c));
}

// A reed switch's edge as a UART reports it: seven line interrupts as fast as the
// shim's control file can change. Followed through the real watcher and the driver's
// counts, as counting follows a line, the de-bounce takes it as one rising edge at
// its first change, and the line's settled level when the time is up.
TEST_F(WaitShimTest, AChatteringEdgeReportedThroughTheCountsIsOneRisingEdge) {
  const SerHandle h = Open(pty_);
  // Longer than the ringer's 20 ms: a busy machine may hold the writing thread up
  // mid-burst, and the burst must stay within the de-bounce time to be one edge.
  LineDebounce cts(200, false);
  uint32_t seen = 0;
  int32_t rises = 0;
  int64_t first_change_us = 0;
  int64_t taken_at_us = 0;
  const auto look = [&](int64_t at_us) {
    LineCounts counts;
    ASSERT_TRUE(serial_->SerGetLineCounts(h, counts));
    const TakenRises taken = cts.Look(serial_->SerGetCTS(h), counts.cts - seen, at_us);
    seen = counts.cts;
    if (taken.count > 0) taken_at_us = taken.at_us;
    rises += taken.count;
  };
  EXPECT_TRUE(
      Wait({.port = h, .lines = true, .console = false, .deadline_us = Now() + kFarUs}).lines)
      << "a new watch starts with a look";
  {
    Later edge(milliseconds(20), [&] {
      first_change_us = Now();
      for (int change = 1; change <= 7; ++change) {
        SetLines("cts=" + std::to_string(change % 2) + "/" + std::to_string(change));
      }
    });
    const int64_t end_us = Now() + 500'000;
    while (Now() < end_us) {
      const int64_t deadline = std::min(end_us, cts.RecheckAt());
      const WaitResult woke =
          Wait({.port = h, .lines = true, .console = false, .deadline_us = deadline});
      if (woke.lines) {
        look(woke.lines_at_us);
      } else if (Now() >= cts.RecheckAt()) {
        look(Now());
      }
    }
  }
  EXPECT_EQ(seen, 7u) << "every interrupt was counted";
  EXPECT_EQ(rises, 1);
  EXPECT_TRUE(cts.level());
  EXPECT_GE(taken_at_us, first_change_us);
  EXPECT_LT(taken_at_us, first_change_us + 1'000'000) << "timed from the burst";
  EXPECT_EQ(cts.RecheckAt(), LineDebounce::kNoRecheck) << "the level was read again";
}

TEST_F(WaitShimTest, LowLatencyIsAskedOfTheDriverKeepingItsOtherFlags) {
  testing::WriteBytes(shim_->Path("serial"), "flags=0x40\n");  // ASYNC_SKIP_TEST
  const SerHandle h = Open(pty_);                              // ConfigureSensorPort asks for it
  EXPECT_EQ(SerialFile(), "low_latency=1 flags=0x2040\n");
  EXPECT_EQ(serial_->SerLatencyTimerMs(h), 0) << "Linux has no timer to ask the ringer about";
  PtyPair plain;
  serial_->SerSetLowLatency(Open(plain));  // a pty refuses: ignored
}

TEST_F(WaitShimTest, WatchFallsBackToSamplingWhenTheDeviceIsGone) {
  const SerHandle h = Open(pty_);
  Wait({.port = h, .lines = true, .console = false, .deadline_us = Now() + kFarUs});
  SetLines("fail");
  for (int i = 0; i < 3; ++i) {
    const int64_t start_us = Now();
    const WaitResult woke =
        Wait({.port = h, .lines = true, .console = false, .deadline_us = start_us + kFarUs});
    EXPECT_TRUE(woke.lines) << i;
    EXPECT_LT(Now() - start_us, kFarUs / 2) << i;
  }
  EXPECT_EQ(WatchState(h), LineWatcher::State::kDeviceGone);
  EXPECT_TRUE(serial_->SerPortLost(h)) << "EIO from the driver is a device gone";
}

// ENOTTY (a pty without the shim, a driver without modem lines) is a line that is
// off, not a port that has gone.
TEST_F(WaitShimTest, LineReadsThatTheDriverCannotAnswerAreNotALoss) {
  PtyPair other;  // not served by the shim
  const SerHandle h = Open(other);
  EXPECT_FALSE(serial_->SerGetCTS(h));
  LineCounts counts;
  EXPECT_FALSE(serial_->SerGetLineCounts(h, counts));
  EXPECT_FALSE(serial_->SerPortLost(h));
}

// The watcher thread sits in TIOCMIWAIT; it must be gone before the descriptor is
// closed (or handed to another port), and the device must be free for others then.
TEST_F(WaitShimTest, WatchEndsWhenThePortClosesOrTheWaitLooksElsewhere) {
  const int threads = ThreadCount();
  const SerHandle h = Open(pty_);
  const auto watch = [&] {
    Wait({.port = h, .lines = true, .console = false, .deadline_us = Now() + kFarUs});
    Wait({.port = h, .lines = true, .console = false, .deadline_us = Now() + 10'000});
    return ThreadCount();
  };
  EXPECT_EQ(watch(), threads + 1);
  Wait({.port = 0, .lines = true, .console = false, .deadline_us = Now() + 1'000});
  EXPECT_TRUE(ThreadsSettleAt(threads)) << "port 0";
  EXPECT_EQ(watch(), threads + 1);
  Wait({.port = h, .lines = false, .data = true, .console = false, .deadline_us = Now() + 1'000});
  EXPECT_TRUE(ThreadsSettleAt(threads)) << "lines not asked for";
  EXPECT_EQ(watch(), threads + 1);
  wait_ = MakeEventWait(*serial_, console_, *clock_);
  EXPECT_TRUE(ThreadsSettleAt(threads)) << "the old wait went";

  EXPECT_EQ(watch(), threads + 1);
  serial_->SerClose(h);
  EXPECT_TRUE(ThreadsSettleAt(threads)) << "closed";
  EXPECT_GT(MakeSerial()->SerOpen(pty_.DeviceName()), 0) << "the device was released";

  // The wait must not outlive the backend, and takes the watch with it as it goes:
  // the backend's own end is seen on a watch started without a wait.
  const SerHandle again = Open(pty_);
  wait_.reset();
  ASSERT_NE(dynamic_cast<PosixSerialPorts&>(*serial_).WatchLines(again), nullptr);
  EXPECT_EQ(ThreadCount(), threads + 1);
  serial_.reset();  // closes its ports as it goes
  EXPECT_TRUE(ThreadsSettleAt(threads)) << "backend destroyed";
}

// The shim's TIOCMIWAIT stands in for the driver's (for this backend, Wine and the
// end-to-end tests): it ends on a change of a line in its mask, or on a signal.
TEST_F(WaitShimTest, ShimLineWaitEndsOnAWatchedChangeOrASignal) {
  std::atomic<int> result{1};
  std::atomic<int> error{0};
  const auto wait_in_driver = [&] {
    result = ioctl(pty_.slave(), TIOCMIWAIT, TIOCM_CTS);
    error = errno;
  };
  {
    std::thread waiter(wait_in_driver);
    std::this_thread::sleep_for(milliseconds(20));
    SetLines("dsr=1");
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(result, 1) << "DSR is not in the mask";
    SetLines("dsr=1 cts=1");
    waiter.join();
    EXPECT_EQ(result, 0);
  }
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = OnTestSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  result = 1;
  std::thread waiter(wait_in_driver);
  while (result == 1) {
    pthread_kill(waiter.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(milliseconds(5));
  }
  waiter.join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, EINTR);
  sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
}  // namespace strikewell
