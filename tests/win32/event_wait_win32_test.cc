// The Windows wait under Wine, on a COM port whose far end is a pty that
// tests/win32/com_port_harness.py holds: bytes and line changes that the harness
// makes later wake the wait; deadlines hold. Run once on the bare pty (Wine then
// refuses WaitCommEvent and the port is looked at every millisecond) and once with
// the modem-line shim (WaitCommEvent works). Prints what waking costs under Wine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness_client.h"
#include "platform/backends.h"
#include "platform/win32/comm_watch_win32.h"
#include "platform/win32/event_wait_win32.h"

namespace strikewell {
namespace {

constexpr int64_t kFarUs = 10'000'000;

// A wait with the plain timer loads winmm when it is made. Wine 8 runs every
// WaitCommEvent in a thread of its own, and once a few of those have ended, loading a
// DLL hangs the process; the program makes its wait before it opens a port, and so
// this test loads winmm before any case waits.
[[maybe_unused]] const HMODULE kWinmmLoadedFirst = LoadLibraryW(L"winmm.dll");

using testing::AskHarness;
using testing::ShimLoaded;

std::string Describe(const WaitResult& r) {
  return std::string("lines=") + (r.lines ? "1" : "0") + " data=" + (r.data ? "1" : "0") +
         " console=" + (r.console ? "1" : "0");
}

// Median and largest of a set of figures.
std::string Spread(std::vector<double> values) {
  if (values.empty()) return "none";
  std::sort(values.begin(), values.end());
  char text[64];
  std::snprintf(text, sizeof text, "median %.2f ms, max %.2f ms", values[values.size() / 2],
                values.back());
  return text;
}

class EventWaitWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("STRIKEWELL_TEST_PORT");
    ASSERT_NE(port, nullptr) << "run through com_port_harness.py";
    device_ = std::string("\\\\.\\") + port;
    h_ = serial_->SerOpen(device_);
    ASSERT_GT(h_, 0) << device_;
    ConfigureSensorPort(*serial_, h_);
    if (ShimLoaded()) {
      ASSERT_EQ(AskHarness("lines "), "ok");
    }
  }
  void TearDown() override {
    wait_.reset();
    serial_->SerClose(h_);
  }

  int64_t Now() { return clock_->MonotonicMicros(); }

  WaitResult WaitForPort(bool lines, bool data, int64_t deadline_us) {
    return wait_->Wait(WaitFor{
        .port = h_, .lines = lines, .data = data, .console = false, .deadline_us = deadline_us});
  }

  std::string ReadAll() {
    std::string got;
    uint8_t byte = 0;
    while (serial_->SerReadTimeout(h_, &byte, 0) == 1) got += static_cast<char>(byte);
    return got;
  }

  LineCounts Counts() {
    LineCounts counts;
    EXPECT_TRUE(serial_->SerGetLineCounts(h_, counts)) << "the watched port has counts";
    return counts;
  }

  std::string device_;
  std::unique_ptr<Clock> clock_ = MakeClock();
  std::unique_ptr<Serial> serial_ = MakeSerial();
  // Standard input is the harness's pipe: no wait here asks for console input.
  std::unique_ptr<RawConsole> console_ = MakeRawConsole();
  std::unique_ptr<EventWait> wait_ = MakeEventWait(*serial_, *console_, *clock_);
  SerHandle h_ = 0;
};

TEST_F(EventWaitWin32Test, ByteOnThePortWakesTheWait) {
  ASSERT_EQ(AskHarness("later 50 send 41"), "ok");
  const int64_t start = Now();
  const WaitResult r = WaitForPort(false, true, start + kFarUs);
  const int64_t end = Now();
  EXPECT_TRUE(r.data) << Describe(r);
  EXPECT_FALSE(r.lines);
  EXPECT_FALSE(r.console);
  EXPECT_LT(end, start + kFarUs) << "woke by the byte, not by the deadline";
  EXPECT_GE(r.data_at_us, start);
  EXPECT_LE(r.data_at_us, end);
  EXPECT_EQ(ReadAll(), "A");
}

TEST_F(EventWaitWin32Test, BytesAlreadyWaitingEndTheWaitAtOnce) {
  ASSERT_EQ(AskHarness("send 42 43"), "ok");
  const WaitResult r = WaitForPort(false, true, Now() + kFarUs);
  EXPECT_TRUE(r.data) << Describe(r);
  EXPECT_EQ(ReadAll(), "BC");
  // Read out, they wake nothing more: the wait lasts to its deadline.
  const int64_t deadline = Now() + 20'000;
  EXPECT_EQ(Describe(WaitForPort(false, true, deadline)), Describe(WaitResult{}));
  EXPECT_GE(Now(), deadline);
}

// The deadline ends a wait in which nothing happens, never before it, with either
// timer.
TEST_F(EventWaitWin32Test, DeadlineHoldsWhenNothingHappens) {
  for (const WaitTimer preferred : {WaitTimer::kHighResolution, WaitTimer::kPlain}) {
    WaitTimer used = preferred;
    const std::unique_ptr<EventWait> wait =
        MakeWin32EventWait(*serial_, *console_, *clock_, preferred, &used);
    for (const int64_t after_us : {300, 2'000, 15'500}) {
      const int64_t deadline = Now() + after_us;
      const WaitResult r = wait->Wait(WaitFor{
          .port = h_, .lines = false, .data = true, .console = false, .deadline_us = deadline});
      EXPECT_GE(Now(), deadline) << "timer " << static_cast<int>(used) << ", " << after_us << " us";
      EXPECT_EQ(Describe(r), Describe(WaitResult{}));
    }
  }
}

TEST_F(EventWaitWin32Test, PastDeadlineReturnsAtOnceWithWhatIsReady) {
  const WaitResult nothing = WaitForPort(true, true, Now() - 1'000);
  EXPECT_FALSE(nothing.data);
  EXPECT_FALSE(nothing.console);
  ASSERT_EQ(AskHarness("send 44"), "ok");
  EXPECT_TRUE(WaitForPort(false, true, 0).data);
  EXPECT_EQ(ReadAll(), "D");
  // No port and no console: only the deadline is left.
  EXPECT_EQ(Describe(wait_->Wait(WaitFor{.console = false, .deadline_us = Now() - 1})),
            Describe(WaitResult{}));
}

TEST_F(EventWaitWin32Test, LinesWithoutEventsAreDueForASample) {
  if (ShimLoaded()) GTEST_SKIP() << "with the shim the lines come as events";
  const int64_t start = Now();
  const WaitResult r = WaitForPort(true, false, start + kFarUs);
  EXPECT_TRUE(r.lines) << "a pty's lines cannot be waited for: a sample is due";
  EXPECT_LT(Now(), start + kFarUs);
  LineCounts counts;
  EXPECT_FALSE(serial_->SerGetLineCounts(h_, counts)) << "no events, no counts";
}

TEST_F(EventWaitWin32Test, LineChangeWakesTheWaitAndIsCounted) {
  if (!ShimLoaded()) GTEST_SKIP() << "needs the modem-line shim";
  // Not watched yet: no counts.
  LineCounts counts;
  EXPECT_FALSE(serial_->SerGetLineCounts(h_, counts));
  EXPECT_FALSE(WaitForPort(true, true, Now()).lines) << "nothing has changed yet";
  EXPECT_EQ(Counts().cts, 0u);

  for (const char* lines : {"cts=1", "", "cts=1 dsr=1"}) {
    ASSERT_EQ(AskHarness(std::string("later 30 lines ") + lines), "ok");
    const int64_t start = Now();
    const WaitResult r = WaitForPort(true, true, start + kFarUs);
    EXPECT_TRUE(r.lines) << lines << ": " << Describe(r);
    EXPECT_FALSE(r.data);
    EXPECT_LT(Now(), start + kFarUs);
    EXPECT_GE(r.lines_at_us, start);
  }
  const LineCounts after = Counts();
  EXPECT_EQ(after.cts, 3u) << "on, off, on";
  EXPECT_EQ(after.dsr, 1u);
  EXPECT_EQ(after.cd, 0u);
  EXPECT_EQ(after.ri, 0u);
  EXPECT_TRUE(serial_->SerGetCTS(h_));
}

// Wine's watch thread sees CTS come on and ends the wait in flight; CTS is off
// again before the wait looks: the event with an unchanged state counts two.
TEST_F(EventWaitWin32Test, LineThatWentAndCameBackCountsTwo) {
  if (!ShimLoaded()) GTEST_SKIP() << "needs the modem-line shim";
  EXPECT_FALSE(WaitForPort(true, false, Now()).lines);
  ASSERT_EQ(AskHarness("lines cts=1"), "ok");
  Sleep(100);
  ASSERT_EQ(AskHarness("lines "), "ok");
  const WaitResult r = WaitForPort(true, false, Now() + kFarUs);
  EXPECT_TRUE(r.lines) << Describe(r);
  EXPECT_FALSE(serial_->SerGetCTS(h_));
  EXPECT_EQ(Counts().cts, 2u);
}

// Only the port a wait names is watched: naming none (as before closing the port)
// ends the watch, and with it the counts.
TEST_F(EventWaitWin32Test, WaitWithoutThePortEndsItsWatch) {
  if (!ShimLoaded()) GTEST_SKIP() << "needs the modem-line shim";
  WaitForPort(true, true, Now());
  LineCounts counts;
  EXPECT_TRUE(serial_->SerGetLineCounts(h_, counts));
  const int64_t deadline = Now() + 30'000;
  ASSERT_EQ(AskHarness("later 5 lines cts=1"), "ok");
  EXPECT_EQ(Describe(wait_->Wait(WaitFor{.console = false, .deadline_us = deadline})),
            Describe(WaitResult{}));
  EXPECT_GE(Now(), deadline);
  EXPECT_FALSE(serial_->SerGetLineCounts(h_, counts));
  // Watched again, it starts from the lines as they are now.
  EXPECT_FALSE(WaitForPort(true, true, Now()).lines);
  EXPECT_EQ(Counts().cts, 0u);
}

// SerClose ends the wait in flight before the handle goes; the handle then names
// nothing to watch, and the port opens again and wakes a wait.
TEST_F(EventWaitWin32Test, ClosingAWatchedPortIsClean) {
  WaitForPort(true, true, Now() + 2'000);
  serial_->SerClose(h_);
  const int64_t deadline = Now() + 20'000;
  ASSERT_EQ(AskHarness("send 45"), "ok");
  EXPECT_EQ(Describe(WaitForPort(true, true, deadline)), Describe(WaitResult{}));
  EXPECT_GE(Now(), deadline);
  h_ = serial_->SerOpen(device_);
  ASSERT_GT(h_, 0);
  EXPECT_TRUE(WaitForPort(false, true, Now() + kFarUs).data);
  EXPECT_EQ(ReadAll(), "E");
}

// Figures, not limits: what waking costs under Wine, from the harness's write (or
// line change) to the wait's return, and how late deadlines end.
TEST_F(EventWaitWin32Test, WakeFigures) {
  auto* ports = dynamic_cast<Win32SerialPorts*>(serial_.get());
  ASSERT_NE(ports, nullptr);
  const int64_t before = Now();
  const int64_t harness_now = std::stoll(AskHarness("clock"));
  const int64_t after = Now();
  // The harness's clock is the program's under Wine; if it ever is not, the
  // wake-up figures would mean nothing.
  const bool same_clock = harness_now >= before - 1'000 && harness_now <= after + 1'000;

  std::vector<double> byte_ms;
  std::vector<double> line_ms;
  for (int i = 0; i < 20 && same_clock; ++i) {
    ASSERT_EQ(AskHarness("later 10 send 46"), "ok");
    const WaitResult r = WaitForPort(ShimLoaded(), true, Now() + kFarUs);
    const int64_t woke = Now();
    ASSERT_TRUE(r.data) << Describe(r);
    byte_ms.push_back((woke - std::stoll(AskHarness("when"))) / 1000.0);
    ASSERT_EQ(ReadAll(), "F");
    if (!ShimLoaded()) continue;
    ASSERT_EQ(AskHarness(std::string("later 10 lines ") + (i % 2 == 0 ? "cts=1" : "")), "ok");
    ASSERT_TRUE(WaitForPort(true, true, Now() + kFarUs).lines);
    line_ms.push_back((Now() - std::stoll(AskHarness("when"))) / 1000.0);
  }
  const bool polled = ports->WatchPort(h_)->DataPolled();
  if (!same_clock) std::printf("the harness's clock is not the program's: no wake-up figures\n");
  std::printf("byte to wake (%s): %s\n", polled ? "port looked at every ms" : "WaitCommEvent",
              Spread(byte_ms).c_str());
  if (ShimLoaded())
    std::printf("line change to wake (WaitCommEvent): %s\n", Spread(line_ms).c_str());

  for (const WaitTimer preferred : {WaitTimer::kHighResolution, WaitTimer::kPlain}) {
    WaitTimer used = preferred;
    const std::unique_ptr<EventWait> wait =
        MakeWin32EventWait(*serial_, *console_, *clock_, preferred, &used);
    std::vector<double> late_ms;
    for (int i = 0; i < 30; ++i) {
      const int64_t deadline = Now() + 1'000 + 700 * i;
      wait->Wait(WaitFor{
          .port = h_, .lines = false, .data = true, .console = false, .deadline_us = deadline});
      late_ms.push_back((Now() - deadline) / 1000.0);
    }
    std::printf("deadline overshoot, %s timer: %s\n",
                used == WaitTimer::kHighResolution ? "high-resolution" : "plain (1 ms period)",
                Spread(late_ms).c_str());
  }
}

// The transitions of one stretch between two status reads, line by line.
TEST(AddLineTransitions, CountsChangesAndReturnsFromEvents) {
  struct Case {
    const char* what;
    DWORD before;
    DWORD after;
    DWORD events;
    LineCounts want;
    bool moved;
  };
  const Case cases[] = {
      {.what = "nothing",
       .before = MS_CTS_ON,
       .after = MS_CTS_ON,
       .events = 0,
       .want = {},
       .moved = false},
      {.what = "CTS on",
       .before = 0,
       .after = MS_CTS_ON,
       .events = EV_CTS,
       .want = {.cts = 1},
       .moved = true},
      {.what = "a state change without its event still counts",
       .before = MS_DSR_ON,
       .after = 0,
       .events = 0,
       .want = {.dsr = 1},
       .moved = true},
      {.what = "CD went and came back",
       .before = MS_RLSD_ON,
       .after = MS_RLSD_ON,
       .events = EV_RLSD,
       .want = {.cd = 2},
       .moved = true},
      {.what = "RI came and went",
       .before = 0,
       .after = 0,
       .events = EV_RING,
       .want = {.ri = 2},
       .moved = true},
      {.what = "each line on its own",
       .before = MS_CTS_ON | MS_RING_ON,
       .after = MS_DSR_ON | MS_RING_ON,
       .events = EV_CTS | EV_DSR | EV_RLSD | EV_RXCHAR,
       .want = {.cts = 1, .dsr = 1, .cd = 2, .ri = 0},
       .moved = true},
      {.what = "bytes are no line event",
       .before = 0,
       .after = 0,
       .events = EV_RXCHAR,
       .want = {},
       .moved = false},
  };
  for (const Case& c : cases) {
    LineCounts counts{.cts = 10, .dsr = 20, .cd = 30, .ri = UINT32_MAX};
    EXPECT_EQ(AddLineTransitions(c.before, c.after, c.events, counts), c.moved) << c.what;
    EXPECT_EQ(counts.cts - 10, c.want.cts) << c.what;
    EXPECT_EQ(counts.dsr - 20, c.want.dsr) << c.what;
    EXPECT_EQ(counts.cd - 30, c.want.cd) << c.what;
    EXPECT_EQ(counts.ri - UINT32_MAX, c.want.ri) << c.what << " (counts wrap)";
  }
}

}  // namespace
}  // namespace strikewell
