// One set of serial rules that every serial backend keeps, the fake among them: the
// program's logic is tested over the fake, so the fake must answer as the real ports
// do. Each backend's test program includes this header once, implements SerialRig
// over its facility and instantiates the cases with
//   INSTANTIATE_TEST_SUITE_P(Name, SerialContract, ::testing::Values(RigMaker{...}), RigName);
// The cases state what must hold; a rig says only how its facility does things.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "no_console.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/event_wait.h"
#include "platform/serial.h"

namespace strikewell::testing {

struct LineLevels {
  bool cts = false;
  bool dsr = false;
  bool cd = false;
  bool ri = false;
};

// One port of one backend and the device on its far end.
class SerialRig {
 public:
  virtual ~SerialRig() = default;

  virtual Serial& serial() = 0;
  // The counting wait over serial().
  virtual EventWait& wait() = 0;
  // The clock whose MonotonicMicros the wait's deadlines and times are on.
  virtual Clock& clock() = 0;

  // The device name of the rig's port ("\\.\NAME"), and one that names no port.
  virtual std::string PortName() = 0;
  virtual std::string AbsentName() = 0;

  // The port has modem-status input lines that the far end sets, that are counted
  // and that can be waited for. Without them (a bare pty) every line reads off.
  virtual bool HasLines() = 0;

  // The far end sends bytes; they can be read when this returns.
  virtual void Send(std::string_view bytes) = 0;
  // The far end sends bytes after ms milliseconds; returns at once.
  virtual void SendLater(int ms, std::string_view bytes) = 0;
  // The far end sets the input lines (HasLines() only); read so from now on.
  virtual void SetLines(LineLevels lines) = 0;
  // The far end sets the input lines after ms milliseconds; returns at once.
  virtual void SetLinesLater(int ms, LineLevels lines) = 0;
  // The driver stops answering for the lines, as one without modem lines does,
  // while the device stays there.
  virtual void MakeLinesUnreadable() = 0;
  // The far end hangs up: the device is pulled out.
  virtual void HangUp() = 0;
};

// A named way to make a rig: the test's parameter.
struct RigMaker {
  std::string name;
  std::function<std::unique_ptr<SerialRig>()> make;
};

// Names the rig in the failure messages of a case.
inline void PrintTo(const RigMaker& maker, std::ostream* out) { *out << maker.name; }

inline std::string RigName(const ::testing::TestParamInfo<RigMaker>& info) {
  return info.param.name;
}

class SerialContract : public ::testing::TestWithParam<RigMaker> {
 protected:
  // A deadline that a working wait never reaches: it woke for what the test did.
  static constexpr int64_t kFarUs = 5'000'000;

  void SetUp() override {
    rig_ = GetParam().make();
    ASSERT_NE(rig_, nullptr);
  }
  void TearDown() override {
    if (rig_ != nullptr && h_ != 0) serial().SerClose(h_);
    rig_.reset();
  }

  Serial& serial() { return rig_->serial(); }
  int64_t Now() { return rig_->clock().MonotonicMicros(); }

  // Opens the rig's port as the program does, into h_.
  void Open() {
    h_ = serial().SerOpen(rig_->PortName());
    ASSERT_GT(h_, 0) << rig_->PortName();
    ConfigureSensorPort(serial(), h_);
  }

  WaitResult Wait(bool lines, bool data, int64_t deadline_us) {
    return rig_->wait().Wait(
        {.port = h_, .lines = lines, .data = data, .console = false, .deadline_us = deadline_us});
  }

  // Waits on the lines until a wait reports them, up to the far deadline.
  WaitResult WaitForLines(int64_t start_us) {
    WaitResult woke;
    do {
      woke = Wait(true, false, start_us + kFarUs);
    } while (!woke.lines && Now() < start_us + kFarUs);
    return woke;
  }

  // Starts the watch of the port's lines and takes what it finds at once: some
  // backends report a first look, and Windows counts line changes only while the
  // lines are watched.
  void WatchLines() { Wait(true, false, Now() + 20'000); }

  std::string ReadLines() {
    std::string read;
    for (const bool on : {serial().SerGetCTS(h_), serial().SerGetDSR(h_), serial().SerGetCD(h_),
                          serial().SerGetRI(h_)}) {
      read += on ? '1' : '0';
    }
    return read;
  }

  std::optional<LineCounts> Counts() {
    LineCounts counts{.cts = 99, .dsr = 99, .cd = 99, .ri = 99};
    if (!serial().SerGetLineCounts(h_, counts)) return std::nullopt;
    return counts;
  }

  std::unique_ptr<SerialRig> rig_;
  SerHandle h_ = 0;
};

// Windows opens a port with share mode 0: one opener at a time, until it closes.
TEST_P(SerialContract, APortHasOneOpenerUntilItIsClosed) {
  const SerHandle first = serial().SerOpen(rig_->PortName());
  ASSERT_GT(first, 0);
  EXPECT_EQ(serial().SerOpen(rig_->PortName()), 0) << "open already";
  serial().SerClose(first);
  h_ = serial().SerOpen(rig_->PortName());
  EXPECT_GT(h_, 0) << "open again after the close";
  EXPECT_NE(h_, first) << "a closed handle is not handed out again at once";
}

TEST_P(SerialContract, EmptyAndAbsentNamesGiveNoPort) {
  EXPECT_EQ(serial().SerOpen(""), 0);
  EXPECT_EQ(serial().SerOpen(std::string(kDevicePrefix)), 0);
  EXPECT_EQ(serial().SerOpen(rig_->AbsentName()), 0) << rig_->AbsentName();
}

TEST_P(SerialContract, EachLineReadFollowsItsOwnLine) {
  if (!rig_->HasLines()) GTEST_SKIP() << "a port without modem lines: every line reads off";
  Open();
  struct Case {
    LineLevels lines;
    const char* cts_dsr_cd_ri;
  };
  const Case cases[] = {
      {.lines = {}, .cts_dsr_cd_ri = "0000"},
      {.lines = {.cts = true}, .cts_dsr_cd_ri = "1000"},
      {.lines = {.dsr = true}, .cts_dsr_cd_ri = "0100"},
      {.lines = {.cd = true}, .cts_dsr_cd_ri = "0010"},
      {.lines = {.ri = true}, .cts_dsr_cd_ri = "0001"},
      {.lines = {.cts = true, .dsr = true, .cd = true, .ri = true}, .cts_dsr_cd_ri = "1111"},
  };
  for (const Case& c : cases) {
    rig_->SetLines(c.lines);
    EXPECT_EQ(ReadLines(), c.cts_dsr_cd_ri);
  }
}

// A driver that cannot answer for the lines (a pty, an adapter without them) gives
// lines that read off, not a lost port.
TEST_P(SerialContract, LinesThatCannotBeReadReadOffAndAreNoLoss) {
  Open();
  if (rig_->HasLines()) rig_->SetLines({.cts = true, .dsr = true, .cd = true, .ri = true});
  rig_->MakeLinesUnreadable();
  EXPECT_EQ(ReadLines(), "0000");
  WatchLines();
  EXPECT_FALSE(Counts().has_value()) << "no counts either";
  EXPECT_FALSE(serial().SerPortLost(h_));
}

// Off lines, empty reads and a wait that reaches its deadline are all news of a
// port that is there.
TEST_P(SerialContract, AnOffLineOrNoByteIsNoLoss) {
  Open();
  if (rig_->HasLines()) rig_->SetLines({});
  EXPECT_EQ(ReadLines(), "0000");
  uint8_t byte = '#';
  EXPECT_EQ(serial().SerReadTimeout(h_, &byte, SerialReadTimeoutTime), 0);
  EXPECT_EQ(byte, '#') << "an empty read leaves the buffer alone";
  EXPECT_FALSE(Wait(false, true, Now() + 10'000).port_lost);
  EXPECT_FALSE(serial().SerPortLost(h_));
}

TEST_P(SerialContract, ReadWaitsForAByteThatArrivesPartWayThrough) {
  Open();
  uint8_t byte = '#';
  const int64_t start_us = Now();
  rig_->SendLater(30, "B");
  ASSERT_EQ(serial().SerReadTimeout(h_, &byte, 10'000), 1);
  EXPECT_EQ(byte, 'B');
  EXPECT_GE(Now() - start_us, 30'000) << "the byte came 30 ms on";
  EXPECT_LT(Now() - start_us, 5'000'000) << "waited on past the byte";
  byte = '#';
  EXPECT_EQ(serial().SerReadTimeout(h_, &byte, 20), 0) << "every byte was read";
  EXPECT_EQ(byte, '#');
}

TEST_P(SerialContract, QueuedBytesAreReadOneAtATimeInOrder) {
  Open();
  rig_->Send(std::string("x\0\xff", 3));
  std::string got;
  uint8_t byte = 0;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(serial().SerReadTimeout(h_, &byte, SerialReadTimeoutTime), 1) << "read " << i;
    got += static_cast<char>(byte);
  }
  EXPECT_EQ(got, std::string("x\0\xff", 3));
  EXPECT_EQ(serial().SerReadTimeout(h_, &byte, SerialReadTimeoutTime), 0);
}

TEST_P(SerialContract, ClosedHandleReadsNothing) {
  Open();
  const SerHandle closed = h_;
  serial().SerClose(closed);
  h_ = 0;
  rig_->Send("Z");
  uint8_t byte = '#';
  EXPECT_EQ(serial().SerReadTimeout(closed, &byte, SerialReadTimeoutTime), 0);
  EXPECT_EQ(byte, '#');
  EXPECT_EQ(serial().SerGetCTS(closed), false);
  EXPECT_FALSE(serial().SerPortLost(closed)) << "a closed handle is no port at all";
}

// Each line's changes are counted apart, also a line that went and came back
// between two looks, as drivers that count line interrupts do.
TEST_P(SerialContract, LineChangesAreCountedLineByLineWhereTheyCanBe) {
  Open();
  WatchLines();
  if (!rig_->HasLines()) {
    EXPECT_FALSE(Counts().has_value()) << "no lines, no counts";
    return;
  }
  const std::optional<LineCounts> before = Counts();
  ASSERT_TRUE(before.has_value()) << "watched lines are counted";
  struct Step {
    LineLevels lines;
    LineCounts added;  // since the start
  };
  const Step steps[] = {
      {.lines = {.cts = true}, .added = {.cts = 1}},
      {.lines = {.dsr = true}, .added = {.cts = 2, .dsr = 1}},
      {.lines = {.dsr = true, .cd = true}, .added = {.cts = 2, .dsr = 1, .cd = 1}},
      {.lines = {.ri = true}, .added = {.cts = 2, .dsr = 2, .cd = 2, .ri = 1}},
  };
  const auto total = [](const LineCounts& c, const LineCounts& more) {
    return c.cts + c.dsr + c.cd + c.ri + more.cts + more.dsr + more.cd + more.ri;
  };
  int n = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(n++);
    rig_->SetLinesLater(10, step.lines);
    // The counts grow once the change is seen; a wait may report a sample first.
    const int64_t start_us = Now();
    std::optional<LineCounts> now;
    do {
      WaitForLines(start_us);
      now = Counts();
    } while (now.has_value() && total(*now, {}) < total(*before, step.added) &&
             Now() < start_us + kFarUs);
    ASSERT_TRUE(now.has_value());
    EXPECT_EQ(now->cts - before->cts, step.added.cts);
    EXPECT_EQ(now->dsr - before->dsr, step.added.dsr);
    EXPECT_EQ(now->cd - before->cd, step.added.cd);
    EXPECT_EQ(now->ri - before->ri, step.added.ri);
  }
}

TEST_P(SerialContract, WaitWakesForAByteWithTheTimeItCame) {
  Open();
  const int64_t start_us = Now();
  rig_->SendLater(30, "B");
  WaitResult woke = Wait(false, true, start_us + kFarUs);
  const int64_t woke_us = Now();
  EXPECT_TRUE(woke.data);
  EXPECT_FALSE(woke.lines || woke.console || woke.port_lost);
  EXPECT_GE(woke.data_at_us, start_us + 30'000) << "sent 30 ms on";
  EXPECT_LE(woke.data_at_us, woke_us);
  EXPECT_LT(woke_us - start_us, kFarUs / 2) << "slept on towards the deadline";

  EXPECT_TRUE(Wait(false, true, Now() + kFarUs).data) << "a byte still unread wakes it again";
  uint8_t byte = 0;
  ASSERT_EQ(serial().SerReadTimeout(h_, &byte, SerialReadTimeoutTime), 1);
  EXPECT_EQ(byte, 'B');
  const int64_t deadline_us = Now() + 20'000;
  EXPECT_FALSE(Wait(false, true, deadline_us).data) << "every byte has been read";
  EXPECT_GE(Now(), deadline_us);
}

TEST_P(SerialContract, WaitWakesForALineChangeWithTheTimeItWasSeen) {
  if (!rig_->HasLines()) GTEST_SKIP() << "no modem lines to change (sampled: see the next case)";
  Open();
  rig_->SetLines({});
  WatchLines();
  for (const LineLevels lines : {LineLevels{.cts = true}, LineLevels{.cts = true, .dsr = true},
                                 LineLevels{.cd = true}, LineLevels{.ri = true}, LineLevels{}}) {
    const int64_t start_us = Now();
    rig_->SetLinesLater(20, lines);
    const WaitResult woke = Wait(true, false, start_us + kFarUs);
    const int64_t woke_us = Now();
    EXPECT_TRUE(woke.lines);
    EXPECT_FALSE(woke.data || woke.port_lost);
    EXPECT_GE(woke.lines_at_us, start_us + 20'000) << "changed 20 ms on";
    EXPECT_LE(woke.lines_at_us, woke_us);
    EXPECT_LT(woke_us - start_us, kFarUs / 2);
  }
  const int64_t deadline_us = Now() + 20'000;
  EXPECT_FALSE(Wait(true, false, deadline_us).lines) << "nothing changed";
  EXPECT_GE(Now(), deadline_us);
}

// Lines whose changes cannot be waited for are to be sampled: the wait says a
// sample is due, about once a millisecond, not only at its deadline.
TEST_P(SerialContract, WaitOnLinesThatCannotBeWaitedForSaysASampleIsDue) {
  Open();
  if (rig_->HasLines()) rig_->MakeLinesUnreadable();
  for (int i = 0; i < 3; ++i) {
    const int64_t start_us = Now();
    const WaitResult woke = Wait(true, false, start_us + kFarUs);
    EXPECT_TRUE(woke.lines) << i;
    EXPECT_GE(woke.lines_at_us, start_us) << i;
    EXPECT_LE(woke.lines_at_us, Now()) << i;
    EXPECT_LT(Now() - start_us, kFarUs / 2) << i;
    EXPECT_FALSE(woke.port_lost) << i;
  }
}

TEST_P(SerialContract, WaitEndsAtItsDeadlineWithNothingSet) {
  Open();
  if (rig_->HasLines()) WatchLines();
  for (const int64_t ahead_us : {1'000, 5'000, 20'000}) {
    const int64_t deadline_us = Now() + ahead_us;
    const WaitResult woke = Wait(rig_->HasLines(), true, deadline_us);
    EXPECT_GE(Now(), deadline_us) << ahead_us;
    EXPECT_FALSE(woke.lines || woke.data || woke.console || woke.port_lost) << ahead_us;
  }
  const int64_t start_us = Now();
  const WaitResult woke = Wait(false, true, start_us - 1'000);
  EXPECT_LT(Now() - start_us, kFarUs / 2) << "a deadline already past";
  EXPECT_FALSE(woke.data || woke.port_lost);
}

// A USB adapter pulled out. The wait reports it (once: a hang-up that woke every wait
// would spin the counting loop) and the backend then tells it from a line that is off.
TEST_P(SerialContract, HangUpIsReportedByTheWaitOnceAndThePortIsLost) {
  Open();
  EXPECT_FALSE(serial().SerPortLost(h_)) << "a port that is there";
  rig_->HangUp();
  const int64_t start_us = Now();
  WaitResult woke;
  do {  // sampled lines may wake it first: what counts is that the loss comes
    woke = Wait(true, true, start_us + kFarUs);
  } while (!woke.port_lost && Now() < start_us + kFarUs);
  EXPECT_TRUE(woke.port_lost);
  EXPECT_LT(Now() - start_us, kFarUs / 2);
  EXPECT_TRUE(serial().SerPortLost(h_));
  EXPECT_EQ(ReadLines(), "0000");

  const int64_t deadline_us = Now() + 20'000;
  woke = Wait(false, true, deadline_us);
  EXPECT_FALSE(woke.port_lost) << "reported once";
  EXPECT_GE(Now(), deadline_us) << "a hang-up must not end every later wait at once";
  EXPECT_TRUE(serial().SerPortLost(h_)) << "lost for good";
  serial().SerClose(h_);
  EXPECT_FALSE(serial().SerPortLost(h_)) << "a closed handle is no port at all";
  h_ = 0;
}

TEST_P(SerialContract, AReadThatFindsTheDeviceGoneMarksThePortLost) {
  Open();
  rig_->HangUp();
  uint8_t byte = '#';
  EXPECT_EQ(serial().SerReadTimeout(h_, &byte, 10), 0);
  EXPECT_EQ(byte, '#');
  EXPECT_TRUE(serial().SerPortLost(h_));
}

}  // namespace strikewell::testing
