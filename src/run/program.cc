#include "run/program.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "calibration/bells_calibration.h"
#include "calibration/calibration.h"
#include "display/counter_screen.h"
#include "record/practice.h"
#include "record/summary.h"
#include "run/counting.h"
#include "run/run_state.h"
#include "run/simulated_bell.h"
#include "target/target.h"
#include "tower/address.h"
#include "tower/tower_start.h"

namespace strikewell {
namespace {

void PrintBanner(Console& console) {
  console.WriteLn(ProgramVersion);
  console.WriteLn("Counts bell rotations using serial port bell sensor input");
  console.WriteLn("May not run correctly, but will not damage anything - please report problems");
  console.WriteLn("strikewell: written by ringers, for ringers practising on a simulator bell");
  console.WriteLn("This uses the same bell sensor data as used by Abel, Beltower etc.");
  console.WriteLn("for individual sensors.  This version can use Bagley box output (ASCII chars)");
  console.WriteLn("It self calibrates by detecting the sensor signals from a handstroke and ");
  console.WriteLn("backstroke pull, then saves the settings.  Count can be reset to zero");
  console.WriteLn("In use it counts the bell blows and displays them on screen, with speed");
  console.WriteLn("Sends j key to ringingroom.com window, WHICH MUST BE ALREADY OPEN");
}

// Releases the sensor port in the shutdown order: drain, discard, close.
void ShutDownPort(RunState& state, Serial& serial) {
  if (state.SerialHandle == 0) return;
  serial.SerSync(state.SerialHandle);
  serial.SerFlushOutput(state.SerialHandle);
  serial.SerClose(state.SerialHandle);
  state.SerialHandle = 0;
}

// After a practice ended with a quit key: what the ringing was like, left on the
// screen once the program has ended.
void PrintSummary(const Practice& practice, Console& console) {
  const bool summary = EnoughForSummary(practice.record());
  if (summary) {
    console.ClrScr();
    for (const std::string& line : PracticeSummary(practice.record())) console.WriteLn(line);
  }
  if (!practice.file_path().empty() && practice.file_error().empty()) {
    console.WriteLn("The practice is recorded in");
    console.WriteLn(practice.file_path());
  }
  if (!practice.file_error().empty()) console.WriteLn(practice.file_error());
  if (summary && console.WindowClosesAtExit()) {
    console.WriteLn("Press [ENTER] to close this window");
    console.ReadBareLine();
  }
}

// The set-up of several bells: the one kept, if the ringer wants it, or a new one.
// False when calibration found no port (the ringer has been told and has pressed Enter).
bool SetUpBells(RunState& state, Platform& p) {
  Console& console = p.console;
  BellsSetup setup;
  std::string damaged;
  bool calibrate = true;
  switch (ReadBellsFile(setup, damaged, p.bells_path)) {
    case BellsFileState::kRead:
      console.WriteLn();
      console.WriteLn("Use the existing set-up of " + std::to_string(setup.bells.size()) +
                      " bells on " + setup.ComPortName + "? (Y/n)");
      calibrate = console.ReadAnswerKey() == 'N';
      break;
    case BellsFileState::kDamaged:
      console.WriteLn(damaged);
      break;
    case BellsFileState::kMissing:
      break;
  }
  if (calibrate && CalibrateBells(state, setup, p.serial, console, p.clock, p.bells_path) ==
                       CalibrationOutcome::NoPortOpened) {
    return false;
  }
  state.several_bells = setup;
  return true;
}

// Opens the sensor port of the stored or a new calibration (of one bell, or of several
// with --bells); false when the run ends.
bool OpenSensorPort(RunState& state, Platform& p) {
  Console& console = p.console;
  if (p.several_bells) {
    if (!SetUpBells(state, p)) return false;
  } else if (ReadSettings(state.settings, console, p.settings_path) == SettingsOutcome::Calibrate) {
    if (Calibrate(state, p.serial, console, p.clock, p.settings_path) ==
        CalibrationOutcome::NoPortOpened) {
      return false;
    }
  }

  state.SerialHandle = p.serial.SerOpen(state.several_bells ? state.several_bells->ComPortName
                                                            : state.settings.ComPortName);
  if (state.SerialHandle == 0) {
    console.WriteLn("Open of serial failed - aborting - recalibrate!");
    console.ReadBareLine();
    return false;
  }
  ConfigureSensorPort(p.serial, state.SerialHandle);
  // A USB adapter that holds line changes back moves every key later by up to its
  // timer; only the ringer can change it, so say so before ringing starts.
  if (const int32_t latency = p.serial.SerLatencyTimerMs(state.SerialHandle); latency > 1) {
    console.WriteLn("The serial adapter's latency timer is " + std::to_string(latency) +
                    " ms: set it to 1 ms (Device Manager, the port's Properties, Port "
                    "Settings, Advanced) for the most accurate striking");
  }
  return true;
}

// Which tower to ring directly: the one given, else the one kept if the ringer wants
// it. Otherwise the window way (tower 0), with the window found into state. A ringer
// who started strikewell from Explorer has no command line for --tower: when no
// Ringing Room window is open, such a ringer can type a tower instead. Nothing when
// the program is to end, the reason told.
std::optional<TowerChoice> DirectTower(RunState& state, Platform& p) {
  Console& console = p.console;
  TowerChoice choice = ChooseTower(p.tower, p.server);
  if (!choice.error.empty()) {
    console.WriteLn(choice.error);
    return std::nullopt;
  }
  if (choice.tower != 0) return choice;
  const KeptLogin kept = ReadKeptLogin(*p.logins);
  // The kept site is checked as a typed one is: the file may have been edited.
  std::string kept_site;
  if (kept.tower != 0 && CheckSiteAddress(kept.server, kept_site).empty() &&
      (p.server.empty() || kept_site == choice.server)) {
    console.WriteLn("Ring tower " + Shown(kept.tower_name) + " (" + std::to_string(kept.tower) +
                    ") directly? (Y/n)");
    if (console.ReadAnswerKey() != 'N') {
      choice.tower = kept.tower;
      choice.server = kept_site;
      return choice;
    }
  }
  if (!console.WindowClosesAtExit()) {
    if (FindTargetWindow(state, p.desktop, console)) return choice;
    return std::nullopt;
  }
  if (SearchWindows(state, p.desktop)) {
    console.WriteLn("Target window is " + state.WindowTitle);
    return choice;
  }
  // The not-found screen as ever, and the ringer's answer to it ends the program as
  // ever (Enter, or Q); a tower typed there rings directly instead.
  console.ClrScr();
  console.WriteLn("The required target window (" + std::string(StringToGet) + ") NOT FOUND");
  if (const std::string why = p.desktop.Unavailable(); !why.empty()) console.WriteLn(why);
  console.WriteLn("Ending program press Q to exit");
  console.WriteLn();
  for (;;) {
    console.WriteLn("Or type a Ringing Room tower's number or address to ring it directly:");
    const std::string typed = console.ReadLine();
    if (typed.empty() || typed == "q" || typed == "Q") return std::nullopt;
    const TowerChoice typed_choice = ChooseTower(typed, p.server);
    if (typed_choice.error.empty()) return typed_choice;
    console.WriteLn(typed_choice.error);
  }
}

// Forgets the simulated bell's handle when the run leaves counting by any way, the
// exceptions included.
struct ForgetSimulatedHandle {
  RunState& state;
  bool simulated;
  ~ForgetSimulatedHandle() {
    if (simulated) state.SerialHandle = 0;
  }
};

// Under the counter for the whole practice: a screenshot says what kind it was.
std::string PracticeNote(bool simulate, bool count_only) {
  if (simulate) {
    return std::string("Simulated bell") + (count_only ? ", counting only" : "") +
           " - the space bar rings one more blow";
  }
  return count_only ? "Counting only - no keys are sent" : "";
}

int RunPhases(RunState& state, Platform& p, Practice& practice) {
  Console& console = p.console;

  console.TextBackground(1);
  console.TextColor(14);
  console.ClrScr();

  const bool simulate = p.simulate_ms > 0;
  // A simulated bell needs no port: none is listed, none is opened.
  if (!simulate) ListCommPort(state.SSSI, state.SSS, p.ports);
  SetupFont(state.screen.Line);
  PrintBanner(console);

  // A record that cannot be kept is found out before the ringer calibrates and rings.
  if (!p.record_dir.empty()) {
    // Whether the blows name their strokes is known once the way to ring is chosen.
    if (const std::string error =
            practice.OpenFile(p.record_dir, p.clock.LocalStamp(), simulate, false, p.several_bells);
        !error.empty()) {
      console.WriteLn(error);
      return 1;
    }
  }

  if (simulate) {
    state.settings =
        SimulatedBellSettings(IntroduceSimulatedBell(p.simulate_ms, console, p.settings_path));
  } else if (!OpenSensorPort(state, p)) {
    return 0;
  }

  bool count_only = p.count_only;
  // The process end would release the port anyway; it is closed on every early end
  // so that a caller that goes on (a test) finds it free.
  const auto end_early = [&] {
    state.TerminateProgram = true;
    p.serial.SerClose(state.SerialHandle);
    state.SerialHandle = 0;
    return 0;
  };
  std::unique_ptr<TowerLink> tower;
  // A simulated bell rings a tower only when one is given: trying the program must not
  // ring a kept tower unasked.
  if (!count_only && simulate && p.tower.empty()) {
    // Trying the program is worth it without Ringing Room too.
    if (SearchWindows(state, p.desktop)) {
      console.WriteLn("Target window is " + state.WindowTitle);
    } else {
      console.WriteLn("No Ringing Room window found - counting only");
      count_only = true;
    }
  } else if (!count_only && p.network != nullptr && p.logins != nullptr) {
    const std::optional<TowerChoice> choice = DirectTower(state, p);
    if (!choice) return end_early();
    if (choice->tower != 0) {
      TowerIo tower_io{console, *p.network, *p.logins, p.clock, p.wait};
      std::vector<int32_t> bells;
      if (state.several_bells) {
        for (const BellSetup& bell : state.several_bells->bells) bells.push_back(bell.bell);
      }
      tower = StartTower(tower_io, *choice, p.bell, std::move(bells));
      if (!tower) return end_early();
    }
  } else if (!count_only && !FindTargetWindow(state, p.desktop, console)) {
    return end_early();
  }
  // The key-send test's digits would ring a round in a live tower: only for the window.
  if (!count_only && !tower) KeySendTest(p.desktop, console);
  // Said, and counting goes on: the blows stay in memory for the summary.
  if (const std::string error = practice.NameStrokes(tower != nullptr); !error.empty()) {
    console.WriteLn(error);
  }

  // Set going once counting is about to start, so that its first blow is not lost in
  // the key-send test.
  std::optional<SimulatedSensor> sim;
  if (simulate) {
    sim.emplace(p.clock, p.wait, p.simulate_ms, RandomJitter(p.clock.MonotonicMicros()));
  }
  Serial& serial = sim ? static_cast<Serial&>(sim->bell) : p.serial;
  EventWait& wait = sim ? static_cast<EventWait&>(sim->wait) : p.wait;
  // Whatever ends the run, the real port backend is never handed this handle to close.
  ForgetSimulatedHandle forget{state, sim.has_value()};
  if (sim) state.SerialHandle = sim->bell.SerOpen(kSimulatedPortName);

  CountingIo io{serial, console, p.desktop, p.clock, wait, &practice};
  io.simulated_bell = sim ? &sim->bell : nullptr;
  io.count_only = count_only;
  io.practice_note = PracticeNote(simulate, count_only);
  io.tower = tower.get();
  CountBlows(state, io);

  ShutDownPort(state, serial);
  PrintSummary(practice, console);
  return 0;
}

}  // namespace

int RunProgram(Platform& p) {
  RunState state;
  state.debounce_ms = p.debounce_ms;
  Practice practice;
  int status = 0;
  try {
    status = RunPhases(state, p, practice);
  } catch (const ConsoleInputEnded&) {
    // Nobody can answer any more: end the run, releasing the port.
    ShutDownPort(state, p.serial);
    p.console.WriteLn();
    p.console.WriteLn("Keyboard input has ended - stopping.");
    status = 0;
  } catch (const SettingsFileError& e) {
    p.console.WriteLn(e.what());
    status = 1;
  } catch (const PortListError& e) {
    p.console.WriteLn(e.what());
    status = 1;
  }
  ShutDownPort(state, p.serial);
  p.console.Flush();
  return status;
}

}  // namespace strikewell
