// Calibrating several bells on one port: the ringer rings each bell in turn, one
// handstroke and one backstroke as for a single bell, and each bell takes the line
// or character that its ringing moved, with its own pulses per blow. A box that
// follows the multi-bell convention names its bells itself and needs no ringing.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "calibration/bells_calibration.h"
#include "calibration/port_table.h"
#include "settings/number.h"

namespace strikewell {
namespace {

constexpr std::array<BellSource, 4> kLines = {BellSource::kCts, BellSource::kDsr, BellSource::kCd,
                                              BellSource::kRi};
constexpr std::array<const char*, 4> kLineNames = {"CTS", "DSR", "CD", "RI"};
// A bell's ringing is over once its source has an even count whose first event is
// longer ago than this, as for a single bell.
constexpr int64_t kQuietUs = int64_t{kQuietSeconds} * 1'000'000;

// One place a bell's sensor events can come from.
struct Heard {
  int port = 0;
  BellSource source = BellSource::kCts;
  uint8_t character = 0;
  int32_t events = 0;
  int64_t first_us = 0;
};

std::string SourceName(const Heard& heard) {
  if (heard.source == BellSource::kChar) {
    return "character \"" + std::string(1, static_cast<char>(heard.character)) + "\"";
  }
  return kLineNames[static_cast<size_t>(heard.source)];
}

bool SameSource(const BellSetup& bell, const Heard& heard) {
  return bell.source == heard.source &&
         (heard.source != BellSource::kChar || bell.character == heard.character);
}

// Asks until the reply is a whole number from low to high.
int32_t AskNumber(Console& console, const std::string& question, int32_t low, int32_t high) {
  for (;;) {
    console.WriteLn(question);
    const std::string reply = console.ReadLine();
    const std::optional<int64_t> number =
        ParseNumber(reply, NumberEnd::WholeText, NumberRange{low, high, false});
    if (number) return static_cast<int32_t>(*number);
    console.WriteLn(reply + " is not a whole number from " + std::to_string(low) + " to " +
                    std::to_string(high) + ", try again");
  }
}

class BellsCalibration {
 public:
  BellsCalibration(CalibrationState& state, PortTable& table, Serial& serial, Console& console,
                   Clock& clock)
      : state_(state), table_(table), serial_(serial), console_(console), clock_(clock) {}

  BellsSetup Run() {
    int32_t count =
        AskNumber(console_, "How many bells are on this port? (2 to 16)", 2, kMostBellsOnAPort);
    console_.WriteLn(
        "Are you using a Bagley box or similar which sends characters to the serial port? (y/N)");
    box_ = console_.ReadAnswerKey() == 'Y';
    // Without a box each bell needs a modem line of its own, and a port has four:
    // a fifth bell would wait for a line that is never free.
    if (!box_ && count > static_cast<int32_t>(kLines.size())) {
      count =
          AskNumber(console_, "Without a box a port has 4 sensor lines: how many bells? (2 to 4)",
                    2, static_cast<int32_t>(kLines.size()));
    }
    bool convention = false;
    if (box_) {
      console_.WriteLn("Does the box send 1-9, 0, E, T for bells 1-12 and A-D for 13-16 (the");
      console_.WriteLn("multi-bell convention)? (y/N)");
      convention = console_.ReadAnswerKey() == 'Y';
    }
    BellsSetup setup;
    setup.convention = convention;
    if (convention) {
      port_ = AskBoxPort();
      for (int32_t bell = 1; bell <= count; ++bell) {
        setup.bells.push_back(
            BellSetup{.bell = bell,
                      .source = BellSource::kChar,
                      .character = static_cast<uint8_t>(ConventionCharacter(bell)),
                      .SensorNum = 1});
      }
    } else {
      for (int32_t bell = 1; bell <= count; ++bell) setup.bells.push_back(RingBell(bell, setup));
    }
    setup.ComPortName = std::string(kDevicePrefix) + state_.SSS[port_];
    CloseCalibrationPorts(table_, serial_);
    if (count == 2) AskHands(setup);
    AskDelays(setup);
    return setup;
  }

 private:
  // The box's port: the only one that opened, or the one the ringer names.
  int AskBoxPort() {
    int only = 0;
    int opened = 0;
    for (int n = 1; n <= state_.SSSI; ++n) {
      if (table_.SerialHandleArr[n] == 0) continue;
      ++opened;
      only = n;
    }
    if (opened == 1) return only;
    for (;;) {
      const int32_t n = AskNumber(
          console_, "Type the number of the box's port from the list above and press [ENTER]", 1,
          kMaxPorts);
      if (n <= state_.SSSI && table_.SerialHandleArr[n] != 0) return n;
      console_.WriteLn(std::to_string(n) + " is not one of the ports found above");
    }
  }

  // Rings one bell until its events make whole sensors.
  BellSetup RingBell(int32_t bell, const BellsSetup& setup) {
    for (;;) {
      console_.WriteLn();
      console_.WriteLn("NOW ring bell " + std::to_string(bell) +
                       " HAND and BACK  **ONCE** only as if ringing at normal speed");
      console_.WriteLn("A few seconds later the results will be summarised");
      console_.Flush();
      const Heard heard = Listen(setup);
      const bool line = heard.source != BellSource::kChar;
      // A line goes on and off for each sensor passage; a box sends one character.
      const int32_t per_sensor = line ? 4 : 2;
      const int32_t sensors = heard.events / per_sensor;
      console_.WriteLn("Bell " + std::to_string(bell) + " is on " + SourceName(heard) + " of " +
                       state_.SSS[heard.port] + ": " + std::to_string(heard.events) +
                       (line ? " changes" : " characters") + " for two blows");
      if (sensors >= 1 && sensors * per_sensor == heard.events) {
        // The first bell taken names the port; a ringing refused (noise on another
        // port, say) names none.
        port_ = heard.port;
        return BellSetup{.bell = bell,
                         .source = heard.source,
                         .character = heard.character,
                         .SensorNum = sensors};
      }
      console_.WriteLn("ERROR: The number of sensors on bell not an integer - ring it again");
    }
  }

  // Samples the open ports (only the bells' port once the first bell has chosen it)
  // until one source that no earlier bell has taken has a whole handstroke and
  // backstroke: an even count whose first event is over six seconds old, or 32.
  Heard Listen(const BellsSetup& setup) {
    std::vector<Heard> heard;
    std::array<std::array<LineDebounce, 4>, kMaxPorts + 1> debounce{};
    const auto watched = [&](int n) {
      return table_.SerialHandleArr[n] != 0 && (port_ == 0 || n == port_);
    };
    for (int n = 1; n <= state_.SSSI; ++n) {
      if (!watched(n)) continue;
      for (size_t i = 0; i < kLines.size(); ++i) {
        debounce[n][i] = LineDebounce(state_.debounce_ms, ReadLine(n, i));
      }
      DrainCharacters(n);
    }
    for (;;) {
      for (int n = 1; n <= state_.SSSI; ++n) {
        if (!watched(n)) continue;
        for (size_t i = 0; i < kLines.size(); ++i) {
          const bool before = debounce[n][i].level();
          const bool now_on = ReadLine(n, i);
          debounce[n][i].Look(now_on, std::nullopt, clock_.MonotonicMicros());
          if (debounce[n][i].level() != before) {
            Count(heard, setup, Heard{.port = n, .source = kLines[i]});
          }
        }
        if (!box_) continue;
        uint8_t character = 0;
        if (serial_.SerReadTimeout(table_.SerialHandleArr[n], &character, SerialReadTimeoutTime) >
            0) {
          Count(heard, setup,
                Heard{.port = n, .source = BellSource::kChar, .character = character});
        }
      }
      const int64_t now = clock_.MonotonicMicros();
      for (const Heard& h : heard) {
        if (h.events == kMaxPulses || (h.events % 2 == 0 && now - h.first_us > kQuietUs)) return h;
      }
    }
  }

  bool ReadLine(int n, size_t line) {
    const SerHandle h = table_.SerialHandleArr[n];
    switch (kLines[line]) {
      case BellSource::kCts:
        return serial_.SerGetCTS(h);
      case BellSource::kDsr:
        return serial_.SerGetDSR(h);
      case BellSource::kCd:
        return serial_.SerGetCD(h);
      default:
        return serial_.SerGetRI(h);
    }
  }

  // Characters that arrived before the ringer was asked to ring are not this bell's.
  void DrainCharacters(int n) {
    uint8_t character = 0;
    while (serial_.SerReadTimeout(table_.SerialHandleArr[n], &character, 0) > 0) {
    }
  }

  // One event of a source; those of a source an earlier bell has taken (its ringer
  // may still be swinging it) are not this bell's.
  void Count(std::vector<Heard>& heard, const BellsSetup& setup, Heard event) {
    for (const BellSetup& bell : setup.bells) {
      if (SameSource(bell, event)) return;
    }
    Heard* source = nullptr;
    for (Heard& h : heard) {
      if (h.port == event.port && h.source == event.source && h.character == event.character) {
        source = &h;
      }
    }
    if (source == nullptr) {
      event.first_us = clock_.MonotonicMicros();
      heard.push_back(event);
      source = &heard.back();
    }
    ++source->events;
    console_.WriteLn(std::to_string(source->port) + " Port:" + state_.SSS[source->port] + " " +
                     SourceName(*source) + " pulse:" + std::to_string(source->events));
    console_.Flush();
  }

  void AskHands(BellsSetup& setup) {
    console_.WriteLn("Is bell " + std::to_string(setup.bells[0].bell) +
                     " in your left hand (it rings f, bell " + std::to_string(setup.bells[1].bell) +
                     " rings j)? (Y/n)");
    const bool first_left = console_.ReadAnswerKey() != 'N';
    setup.bells[0].hand = first_left ? Hand::kLeft : Hand::kRight;
    setup.bells[1].hand = first_left ? Hand::kRight : Hand::kLeft;
  }

  void AskDelays(BellsSetup& setup) {
    if (setup.convention) {
      console_.WriteLn("A box that applies each bell's delay itself needs a delay of 0 here.");
    }
    console_.WriteLn("The same delay for every bell? (Y/n)");
    if (console_.ReadAnswerKey() != 'N') {
      Settings delay;
      AskBellDelay(delay, console_);
      for (BellSetup& bell : setup.bells) bell.BellDelay = delay.BellDelay;
      return;
    }
    for (BellSetup& bell : setup.bells) {
      console_.WriteLn("Bell " + std::to_string(bell.bell) + ":");
      Settings delay;
      AskBellDelay(delay, console_);
      bell.BellDelay = delay.BellDelay;
    }
  }

  CalibrationState& state_;
  PortTable& table_;
  Serial& serial_;
  Console& console_;
  Clock& clock_;
  bool box_ = false;
  int port_ = 0;
};

}  // namespace

CalibrationOutcome CalibrateBells(CalibrationState& state, BellsSetup& setup, Serial& serial,
                                  Console& console, Clock& clock, const std::string& bells_path) {
  // Opening the ports goes through the single bell's record, which must come out
  // of this as it went in.
  const Settings single = state.settings;
  PortTable table;
  PortCloser closer(table, serial);
  const bool opened = OpenCalibrationPorts(state, table, serial, console);
  state.settings = single;
  if (!opened) return CalibrationOutcome::NoPortOpened;
  setup = BellsCalibration(state, table, serial, console, clock).Run();
  WriteBellsFile(setup, bells_path);
  return CalibrationOutcome::Calibrated;
}

}  // namespace strikewell
