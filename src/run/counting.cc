#include "run/counting.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bells/bell_sensors.h"
#include "display/bells_screen.h"
#include "display/counter_screen.h"
#include "run/simulated_bell.h"
#include "target/bell_keys.h"
#include "target/target.h"

namespace strikewell {
namespace {

const char* Bool(bool b) { return b ? "TRUE" : "FALSE"; }

// One modem-status line as counting follows it.
struct WatchedLine {
  bool (Serial::*read)(SerHandle);
  uint32_t LineCounts::*count;
  bool enabled = false;
  LineDebounce debounce;
  uint32_t changes = 0;
};

// What fills the screen besides the port message.
enum class View {
  kCounter,       // the big digits and their statistics
  kFocusNotice,   // a key was dropped: another window is in front
  kWindowClosed,  // the target window has gone; looking for it again
  kWindowFound,   // a new target window; the counter returns with its first key
};

constexpr int kCounterColumns = 80;
constexpr int kCounterRows = 23;
// How often a lost port is tried again and a closed window looked for.
constexpr int64_t kRetryUs = 1'000'000;
// The time a redraw may take before it would hold up a key due after it.
constexpr int64_t kRedrawRoomUs = 50'000;
// Several bells' screen is drawn at most this often: ten times a second is as fast as
// a ringer reads it.
constexpr int64_t kBellsRedrawGapUs = 100'000;

// A key owed for a counted blow.
struct DueKey {
  int64_t due_us;
  int64_t sensor_us;
  int32_t blow;
  // "0" was pressed while this key was the last one owed: the record marks the
  // zeroing after this blow, so that it reads in the order the blows were rung.
  int32_t zeroings_after = 0;
  // Of several bells, the bell and the key that rings it (blow is then its count).
  int32_t bell = 0;
  char key = 'j';
};

class Counter {
 public:
  Counter(RunState& state, CountingIo& io)
      : state_(state),
        io_(io),
        s_(state.settings),
        port_name_(state.several_bells ? state.several_bells->ComPortName : s_.ComPortName) {
    if (state.several_bells) {
      bells_.emplace(*state.several_bells, state.debounce_ms);
      for (const BellSetup& bell : state.several_bells->bells) {
        keys_[static_cast<size_t>(bell.bell)] = BellKey(bell, state.several_bells->bells.size());
      }
    }
  }

  void Run() {
    Start();
    do {
      io_.console.Flush();
      const WaitResult woke = io_.wait.Wait(NextWait());
      // What the tower's server said before a ring falls due decides its stroke and
      // whether the connection still stands; taking it never waits.
      if (io_.tower != nullptr) io_.tower->Service();
      // A key's time is not to be moved by anything this pass does.
      SendDueKeys();
      const int key = KeyCheck(state_, io_);
      if (key == '0') ZeroedByTheRinger();
      // The wait tells of the pulse with its own time, as of any other.
      if (key == ' ' && io_.simulated_bell != nullptr) io_.simulated_bell->RingByHand();
      if (woke.lines) {
        SampleLines(woke.lines_at_us);
      } else if (io_.clock.MonotonicMicros() >= NextRecheck()) {
        SampleLines(io_.clock.MonotonicMicros());
      }
      if (woke.data) ReadBytes(woke.data_at_us);
      SendDueKeys();
      RecordOutcomes();
      RecordDisagreements();
      CheckPort(woke.port_lost);
      LookForTheWindow();
      if (io_.console.TakeResize()) redraw_ = true;
      if (redraw_ && RedrawFits()) Redraw();
      ShowTowerStatus();
    } while (!state_.TerminateProgram);
    SendOwedKeys();
  }

 private:
  void Start() {
    Console& console = io_.console;
    console.WriteLn("Counting started");
    console.ClrScr();
    state_.SNum = 0;
    if (bells_) {
      console.WriteLn("Port=" + port_name_ + " bells=" + std::to_string(bells_->Counts().size()));
      WriteBells(state_.screen, bells_->Counts(), console, io_.clock);
    } else {
      console.WriteLn("Port=" + s_.ComPortName + " usects=" + Bool(s_.UseCts) + " usedsr=" +
                      Bool(s_.UseDsr) + " usecd=" + Bool(s_.UseCd) + " useri=" + Bool(s_.UseRi));
      console.WriteLn(std::string(" usedat=") + Bool(s_.UseDat) + " usedatnum=" +
                      std::to_string(s_.UseDatNum) + " sensornum=" + std::to_string(s_.SensorNum) +
                      " belldelay=" + std::to_string(s_.BellDelay));
      WriteBig(state_.screen, 0, state_.MyCounter, console, io_.clock);
    }
    state_.MyCounter = 0;
    SetPortMessage(io_.practice_note);
    ShowTowerStatus();
    next_port_try_us_ = io_.clock.MonotonicMicros() + kRetryUs;
    // A window too small for the counter says so at once.
    if (TooSmall()) Redraw();
    TakeLineStates();
  }

  // The lines' states (and the driver's counts) as they are now become the base
  // from which rising changes count: at the start, and when a lost port returns.
  void TakeLineStates() {
    const LineDebounce debounce(state_.debounce_ms);
    const auto uses = [this](BellSource line, bool single) {
      return bells_ ? bells_->UsesLine(line) : single;
    };
    lines_ = {
        WatchedLine{&Serial::SerGetCTS, &LineCounts::cts, uses(BellSource::kCts, s_.UseCts),
                    debounce},
        WatchedLine{&Serial::SerGetDSR, &LineCounts::dsr, uses(BellSource::kDsr, s_.UseDsr),
                    debounce},
        WatchedLine{&Serial::SerGetCD, &LineCounts::cd, uses(BellSource::kCd, s_.UseCd), debounce},
        WatchedLine{&Serial::SerGetRI, &LineCounts::ri, uses(BellSource::kRi, s_.UseRi), debounce}};
    any_line_ = std::any_of(lines_.begin(), lines_.end(),
                            [](const WatchedLine& line) { return line.enabled; });
    LineCounts counts;
    counted_ = any_line_ && io_.serial.SerGetLineCounts(state_.SerialHandle, counts);
    std::array<bool, 4> levels{};
    for (size_t i = 0; i < lines_.size(); ++i) {
      WatchedLine& line = lines_[i];
      if (!line.enabled) continue;
      // Lines already on count only after going off and on again.
      levels[i] = (io_.serial.*line.read)(state_.SerialHandle);
      line.debounce.Reset(levels[i]);
      if (counted_) line.changes = counts.*line.count;
    }
    if (bells_) bells_->TakeLineLevels(levels);
  }

  WaitFor NextWait() {
    WaitFor what;
    what.port = state_.SerialHandle;
    what.lines = any_line_ && what.port != 0;
    what.data = (bells_ ? bells_->UsesCharacters() : s_.UseDat) && what.port != 0;
    what.deadline_us = owed_.empty() ? kNoDeadline : owed_.front().due_us;
    if (io_.tower != nullptr) {
      what.network = true;
      what.deadline_us = std::min(what.deadline_us, io_.tower->NextDeadline());
    }
    // A driver may say nothing when its device goes (Wine's comm wait on a hung-up
    // tty): the port is looked at about once a second whatever else happens.
    what.deadline_us = std::min(what.deadline_us, next_port_try_us_);
    // A redraw held back by the gap between redraws is owed a wake-up; one held back by
    // a key due soon is done once that key, which the wait wakes for, has gone.
    if (redraw_ && redraw_not_before_us_ > io_.clock.MonotonicMicros()) {
      what.deadline_us = std::min(what.deadline_us, redraw_not_before_us_);
    }
    if (what.lines) what.deadline_us = std::min(what.deadline_us, NextRecheck());
    if (view_ == View::kWindowClosed) {
      what.deadline_us = std::min(what.deadline_us, next_window_search_us_);
    }
    // A key already taken from the console (the second half of a two-part key)
    // is not news to the wait: look at it now.
    if (io_.console.KeyPressed()) what.deadline_us = io_.clock.MonotonicMicros();
    return what;
  }

  // The end of the first de-bounce time still running: a line whose level is to be
  // read again then, whether or not it changes meanwhile.
  int64_t NextRecheck() const {
    if (bells_) return std::min(kNoDeadline, bells_->RecheckAt());
    int64_t next = kNoDeadline;
    for (const WatchedLine& line : lines_) {
      if (line.enabled) next = std::min(next, line.debounce.RecheckAt());
    }
    return next;
  }

  void SampleLines(int64_t at_us) {
    if (state_.SerialHandle == 0) return;
    LineCounts counts;
    const bool counted = counted_ && io_.serial.SerGetLineCounts(state_.SerialHandle, counts);
    LineLooks looks;
    for (size_t i = 0; i < lines_.size(); ++i) {
      WatchedLine& line = lines_[i];
      if (!line.enabled) continue;
      const bool now_on = (io_.serial.*line.read)(state_.SerialHandle);
      std::optional<uint32_t> changes;
      if (counted) {
        changes = counts.*line.count - line.changes;
        line.changes = counts.*line.count;
      }
      looks[i] = LineLook{now_on, changes};
      if (bells_) continue;
      const TakenRises rises = line.debounce.Look(now_on, changes, at_us);
      for (int32_t k = 0; k < rises.count; ++k) PulseStep(rises.at_us);
    }
    if (bells_) {
      for (const BellBlow& blow : bells_->LookAtLines(looks, at_us)) BellBlowStep(blow);
    }
  }

  void ReadBytes(int64_t at_us) {
    if (state_.SerialHandle == 0) return;
    // Every byte waiting is read now; one that is not the sensor's character is
    // consumed and ignored.
    std::array<uint8_t, 1> byte{};
    while (io_.serial.SerReadTimeout(state_.SerialHandle, byte.data(), 0) > 0) {
      if (bells_) {
        if (const std::optional<BellBlow> blow = bells_->Character(byte[0], at_us)) {
          BellBlowStep(*blow);
        }
      } else if (byte[0] == s_.UseDatNum) {
        PulseStep(at_us);
      }
    }
  }

  // One sensor pulse; SensorNum of them make a blow. An equality test, so a
  // SensorNum of 0 or less never completes a blow.
  void PulseStep(int64_t at_us) {
    ++state_.SNum;
    if (state_.SNum != s_.SensorNum) return;
    state_.SNum = 0;
    ++state_.MyCounter;
    Owe(DueKey{at_us + BellDelayMicros(s_.BellDelay), at_us, state_.MyCounter});
  }

  // A blow of one of several bells: its key goes into the one queue at its own due
  // time, so that no bell's key waits for another's.
  void BellBlowStep(const BellBlow& blow) {
    state_.MyCounter = bells_->Total();
    // The time from the first blow runs from this blow, whether or not the screen,
    // drawn at most ten times a second and never just before a key, shows it.
    if (state_.MyCounter == 1) TakeClockReading(state_.screen, 1, io_.clock);
    Owe(DueKey{.due_us = blow.due_us,
               .sensor_us = blow.sensor_us,
               .blow = blow.MyCounter,
               .bell = blow.bell,
               .key = keys_[static_cast<size_t>(blow.bell)]});
  }

  void Owe(const DueKey& key) {
    // Events of one pass may come from the lines and the port out of time order, and
    // the bells' delays differ: after every key due no later, so that keys due
    // together go in the order they were rung.
    owed_.insert(
        std::upper_bound(owed_.begin(), owed_.end(), key,
                         [](const DueKey& a, const DueKey& b) { return a.due_us < b.due_us; }),
        key);
    if (view_ == View::kCounter) redraw_ = true;
  }

  // Every key that is due goes before any of them is written to the record: a
  // write to a slow disk must not hold up the next key.
  void SendDueKeys() {
    while (!owed_.empty() && owed_.front().due_us <= io_.clock.MonotonicMicros()) {
      const DueKey key = owed_.front();
      owed_.pop_front();
      const Rang rang = RingThisBlow(key);
      if (io_.log != nullptr) unrecorded_.push_back({key, rang});
    }
  }

  void RecordOutcomes() {
    for (const auto& [key, rang] : unrecorded_) {
      io_.log->Blow(BlowLine{key.blow, key.sensor_us, key.due_us, rang.sent, io_.count_only,
                             rang.stroke, key.bell});
      if (rang.not_in_tower) io_.log->NotInTower(key.bell);
      for (int32_t i = 0; i < key.zeroings_after; ++i) io_.log->Zeroed();
    }
    unrecorded_.clear();
  }

  // Another client rang the ringer's bell: the record notes it after the blows
  // already written.
  void RecordDisagreements() {
    if (io_.tower == nullptr) return;
    for (const int32_t bell : io_.tower->TakeDisagreements()) {
      if (io_.log != nullptr) io_.log->Disagreed(bell);
    }
  }

  // The one step for a blow whose time has come, whichever way it rings.
  struct Rang {
    bool sent = false;
    Stroke stroke = Stroke::kUnknown;
    bool not_in_tower = false;  // dropped: the tower has no such bell
  };
  Rang RingThisBlow(const DueKey& key) {
    if (io_.count_only) return Rang{};
    if (io_.tower == nullptr) return Rang{SendOrDrop(key.key), Stroke::kUnknown};
    // Dropped while the connection is lost, no bell is the ringer's or the host
    // has removed the ringer: a ring sent late is worse than none.
    // Of several bells, each blow rings its own bell; one that the tower lacks is
    // dropped (the status line says which).
    const TowerRing ring = bells_ ? io_.tower->Ring(key.bell) : io_.tower->Ring();
    if (!ring.sent) return Rang{.not_in_tower = ring.not_in_tower};
    return Rang{true, ring.handstroke ? Stroke::kHand : Stroke::kBack};
  }

  // The status line of the tower's connection, drawn when it changes.
  void ShowTowerStatus() {
    if (io_.tower == nullptr) return;
    std::string status = io_.tower->StatusText();
    if (status == tower_status_) return;
    tower_status_ = std::move(status);
    DrawPortMessage();
  }

  // True when the key was sent.
  bool SendOrDrop(char bell_key) {
    // While the window is being looked for again there is nobody to send to.
    if (view_ == View::kWindowClosed) return false;
    // One look at the foreground per key, taken as late as can be before the key.
    // The desktops never name a closed window as the foreground, so a target not
    // in front may have closed, or its id may have passed to another window.
    const WindowHandle foreground = io_.desktop.GetForegroundWindow();
    if (foreground != state_.SaveWnd && !IsTargetStill(state_, io_.desktop)) {
      WindowClosed();
      return false;
    }
    // SendAKey draws the notice on the screen it finds; in a window too small for
    // it, the size message stays and the notice is drawn once the window grows.
    if (SendAKeyWithForeground(state_, foreground, io_.desktop, io_.console, bell_key)) {
      // The first key sent after a notice brings the counter back.
      if (view_ != View::kCounter) redraw_ = true;
      view_ = View::kCounter;
      return true;
    }
    view_ = View::kFocusNotice;
    redraw_ = TooSmall();
    DrawPortMessage();
    return false;
  }

  void WindowClosed() {
    view_ = View::kWindowClosed;
    next_window_search_us_ = io_.clock.MonotonicMicros() + kRetryUs;
    redraw_ = true;
  }

  // About once a second while the target window is gone: the first top-level window
  // whose title holds the text becomes the target, brought to the front.
  void LookForTheWindow() {
    if (view_ != View::kWindowClosed) return;
    const int64_t now = io_.clock.MonotonicMicros();
    if (now < next_window_search_us_) return;
    next_window_search_us_ = now + kRetryUs;
    if (!SearchWindows(state_, io_.desktop)) return;
    view_ = View::kWindowFound;
    redraw_ = true;
  }

  void ZeroedByTheRinger() {
    // KeyCheck zeroed the single count and drew its screen, or, of several bells,
    // drew nothing: every bell starts again.
    if (bells_) bells_->Zero();
    // The zeroing follows the last blow rung before it, whether its key is still
    // owed, sent but not yet recorded, or recorded.
    if (io_.log != nullptr) {
      if (!owed_.empty()) {
        ++owed_.back().zeroings_after;
      } else if (!unrecorded_.empty()) {
        ++unrecorded_.back().key.zeroings_after;
      } else {
        io_.log->Zeroed();
      }
    }
    // KeyCheck has drawn the counter at 0; a notice up before is gone with it, and
    // only what KeyCheck knows nothing of is drawn again. The bells' counter at 0 is
    // drawn here, at once, as the single one is.
    if (view_ == View::kFocusNotice || view_ == View::kWindowFound) view_ = View::kCounter;
    if (bells_ && view_ == View::kCounter && !TooSmall()) {
      Redraw();
    } else if (view_ != View::kCounter || TooSmall()) {
      redraw_ = true;
    } else {
      DrawPortMessage();
    }
  }

  // The port has gone when the backend says so; it is closed at once, so that a
  // replugged adapter gets its name back, and opened again about once a second.
  // An open port is asked when the wait reported trouble or once a second, not on
  // every pass.
  void CheckPort(bool reported) {
    const SerHandle h = state_.SerialHandle;
    const int64_t now = io_.clock.MonotonicMicros();
    if (h != 0) {
      if (!reported && now < next_port_try_us_) return;
      next_port_try_us_ = now + kRetryUs;
      if (!io_.serial.SerPortLost(h)) return;
      io_.serial.SerClose(h);
      state_.SerialHandle = 0;
      next_port_try_us_ = now + kRetryUs;
      SetPortMessage("Sensor port " + port_name_ +
                     " lost - plug it back in; counting goes on when it returns");
      return;
    }
    if (now < next_port_try_us_) return;
    next_port_try_us_ = now + kRetryUs;
    const SerHandle back = io_.serial.SerOpen(port_name_);
    if (back == 0) return;
    ConfigureSensorPort(io_.serial, back);
    state_.SerialHandle = back;
    TakeLineStates();
    SetPortMessage("Sensor port " + port_name_ + " is back");
  }

  void SetPortMessage(std::string message) {
    port_message_ = std::move(message);
    DrawPortMessage();
  }

  // The port message, then the tower's status line, below the status lines where
  // the window has rows for them, else on the two empty rows above them; the digits
  // stay. A message longer than a row goes on in the next one; what finds no row
  // left waits for a larger window.
  void DrawPortMessage() {
    if ((port_message_.empty() && tower_status_.empty()) || TooSmall()) return;
    Console& console = io_.console;
    const int width = console.WindowWidth();
    const int height = console.WindowHeight();
    const int first = height > kCounterRows ? kCounterRows + 1 : kCounterRows - 4;
    const int last = std::min(height, first + 1);
    int row = first;
    const auto draw = [&](std::string& rest) {
      // A character in the bottom-right cell would scroll the window.
      const size_t room = static_cast<size_t>(row == height ? width - 1 : width);
      std::string part = rest.substr(0, room);
      rest.erase(0, part.size());
      part.resize(room, ' ');
      console.GotoXY(1, row++);
      console.Write(part);
    };
    for (const std::string* message : {&port_message_, &tower_status_}) {
      std::string rest = *message;
      while (!rest.empty() && row <= last) draw(rest);
    }
    std::string blank;
    while (row <= last) draw(blank);
  }

  bool TooSmall() const {
    return io_.console.WindowWidth() < kCounterColumns || io_.console.WindowHeight() < kCounterRows;
  }

  // A redraw takes what the console takes (under Wine tens of milliseconds), and a
  // key must not wait behind it: with a key due sooner than that, the screen is drawn
  // once the key has gone. The wait wakes for that key, so the redraw is not lost.
  // Several bells struck together would otherwise redraw the screen once for each;
  // the ringer sees no more for it, and every redraw is time the keys may need.
  bool RedrawFits() const {
    const int64_t now = io_.clock.MonotonicMicros();
    return now >= redraw_not_before_us_ &&
           (owed_.empty() || owed_.front().due_us - now > kRedrawRoomUs);
  }

  // Draws what the ringer should be seeing now, whole.
  void Redraw() {
    redraw_ = false;
    if (bells_) redraw_not_before_us_ = io_.clock.MonotonicMicros() + kBellsRedrawGapUs;
    Console& console = io_.console;
    if (TooSmall()) {
      console.ClrScr();
      console.Write("Make this window at least 80 columns by 23 rows");
      return;
    }
    switch (view_) {
      case View::kCounter:
        if (bells_) {
          WriteBells(state_.screen, bells_->Counts(), console, io_.clock);
        } else {
          WriteBig(state_.screen, state_.MyCounter, state_.MyCounter, console, io_.clock);
        }
        break;
      case View::kFocusNotice:
        ShowFocusNotice(console);
        break;
      case View::kWindowClosed:
        console.ClrScr();
        console.WriteLn("The Ringing Room window has closed - looking for it again");
        break;
      case View::kWindowFound:
        console.ClrScr();
        console.WriteLn("Target window is " + state_.WindowTitle);
        break;
    }
    DrawPortMessage();
  }

  // After a quit key: the blows already counted still sound, each at its time.
  void SendOwedKeys() {
    while (!owed_.empty()) {
      WaitFor what;
      what.console = false;
      what.deadline_us = owed_.front().due_us;
      if (io_.tower != nullptr) {
        // The heartbeat goes on being answered while the last rings wait.
        what.network = true;
        what.deadline_us = std::min(what.deadline_us, io_.tower->NextDeadline());
      }
      io_.console.Flush();
      io_.wait.Wait(what);
      if (io_.tower != nullptr) io_.tower->Service();
      SendDueKeys();
      RecordOutcomes();
    }
    if (redraw_) Redraw();
    io_.console.Flush();
    // A last wait that watches nothing, so the port is no longer watched when the
    // caller closes it.
    WaitFor nothing;
    nothing.console = false;
    nothing.deadline_us = io_.clock.MonotonicMicros();
    io_.wait.Wait(nothing);
  }

  RunState& state_;
  CountingIo& io_;
  const Settings& s_;
  const std::string port_name_;
  // Set when the port rings several bells; keys_ holds each bell's key by its number.
  std::optional<BellSensors> bells_;
  std::array<char, kMostBellsOnAPort + 1> keys_{};
  std::array<WatchedLine, 4> lines_{};
  bool any_line_ = false;
  bool counted_ = false;
  std::deque<DueKey> owed_;
  // Keys sent or dropped this pass, written to the record at its end.
  struct Outcome {
    DueKey key;
    Rang rang;
  };
  std::vector<Outcome> unrecorded_;
  bool redraw_ = false;
  int64_t redraw_not_before_us_ = 0;
  View view_ = View::kCounter;
  std::string port_message_;
  std::string tower_status_;  // "" when ringing through the window
  int64_t next_port_try_us_ = 0;
  int64_t next_window_search_us_ = 0;
};

}  // namespace

int KeyCheck(RunState& state, CountingIo& io) {
  Console& console = io.console;
  if (!console.KeyPressed()) return -1;
  const uint8_t key = console.ReadKey();
  console.GotoXY(1, 1);
  switch (key) {
    case '0':
      state.MyCounter = 0;
      // Several bells have a screen of their own, which their counting draws.
      if (!state.several_bells) {
        console.ClrScr();
        WriteBig(state.screen, state.MyCounter, state.MyCounter, console, io.clock);
      }
      break;
    case 0: {
      const uint8_t second = console.ReadKey();
      if (second == 75) console.WriteLn("Left");
      if (second == 77) console.WriteLn("Right");
      break;
    }
    case 27:
    case 'Q':
    case 'q':
      state.TerminateProgram = true;
      break;
    default:
      break;
  }
  return key;
}

void CountBlows(RunState& state, CountingIo& io) { Counter(state, io).Run(); }

}  // namespace strikewell
