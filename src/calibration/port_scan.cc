// Opening every listed port and recording the pulses of one handstroke and one
// backstroke on each of them.
#include <optional>
#include <string>

#include "calibration/port_table.h"
#include "platform/shared_text.h"

namespace strikewell {
namespace {

const char* BoolText(bool value) { return value ? "TRUE" : "FALSE"; }

std::string DevicePath(const std::string& port_name) {
  return std::string(kDevicePrefix) + port_name;
}

int32_t SecondsOfDay(Clock& clock) { return ConvTime(clock.ClockText()); }

// Everything that one sampling run shares between its ports.
struct Sampling {
  CalibrationState& state;
  PortTable& table;
  Serial& serial;
  Console& console;
  Clock& clock;
  int32_t StartTime = 0;
  int32_t SecsNow = 0;
  bool Changed = false;
  std::array<uint8_t, kCharBuffSize + 1> CharBuff{};  // positions 1..255
};

bool AnyLineDiffers(const PortTable& t, int n) {
  return t.CtsBArr[n] != t.CtsBOldArr[n] || t.DsrBArr[n] != t.DsrBOldArr[n] ||
         t.CdBArr[n] != t.CdBOldArr[n] || t.RiBArr[n] != t.RiBOldArr[n];
}

bool FlaggedLineDiffers(const PortTable& t, int n) {
  return (t.UseCtsArr[n] && t.CtsBArr[n] != t.CtsBOldArr[n]) ||
         (t.UseDsrArr[n] && t.DsrBArr[n] != t.DsrBOldArr[n]) ||
         (t.UseCdArr[n] && t.CdBArr[n] != t.CdBOldArr[n]) ||
         (t.UseRiArr[n] && t.RiBArr[n] != t.RiBOldArr[n]);
}

void StoreLineStates(PortTable& t, int n) {
  t.CtsBOldArr[n] = t.CtsBArr[n];
  t.DsrBOldArr[n] = t.DsrBArr[n];
  t.CdBOldArr[n] = t.CdBArr[n];
  t.RiBOldArr[n] = t.RiBArr[n];
}

std::string PulseHead(const Sampling& s, int n) {
  const PortTable& t = s.table;
  const int32_t k = t.NumberTimePulsesArr[n];
  return std::to_string(n) + " Port:" + s.state.SSS[n] + " pulse:" + std::to_string(k) +
         " time:" + std::to_string(SecondsBetween(s.StartTime, t.SecsArr[n][k]));
}

void PrintLinePulse(Sampling& s, int n) {
  const PortTable& t = s.table;
  s.console.WriteLn(PulseHead(s, n) + " cts=" + BoolText(t.CtsBArr[n]) +
                    ", dsr=" + BoolText(t.DsrBArr[n]) + ", cd=" + BoolText(t.CdBArr[n]) +
                    ", ri=" + BoolText(t.RiBArr[n]));
  // Sampling never waits, so the listing would otherwise appear only at its end.
  s.console.Flush();
}

void PrintDataPulse(Sampling& s, int n) {
  s.console.WriteLn(PulseHead(s, n) + " data=\"" +
                    std::string(1, static_cast<char>(s.table.UseDatNumArr[n])) + "\"");
  s.console.Flush();
}

void CountPulse(Sampling& s, int n, int32_t poll_time) {
  PortTable& t = s.table;
  const bool char_arrived = s.state.settings.UseDat && t.DatBOldArr[n] > 0;
  const int32_t k = ++t.NumberTimePulsesArr[n];
  if (k == 1) {
    t.SecsArr[n][1] = poll_time;
    if (char_arrived) {
      t.UseDatArr[n] = true;
      t.UseDatNumArr[n] = t.CharBuffer[n][1];
      PrintDataPulse(s, n);
    } else {
      t.UseCtsArr[n] = t.CtsBArr[n] != t.CtsBOldArr[n];
      t.UseDsrArr[n] = t.DsrBArr[n] != t.DsrBOldArr[n];
      t.UseCdArr[n] = t.CdBArr[n] != t.CdBOldArr[n];
      t.UseRiArr[n] = t.RiBArr[n] != t.RiBOldArr[n];
      StoreLineStates(t, n);
      PrintLinePulse(s, n);
    }
    return;
  }
  if (FlaggedLineDiffers(t, n)) {
    t.SecsArr[n][k] = poll_time;
    StoreLineStates(t, n);
    PrintLinePulse(s, n);
  } else if (char_arrived && t.CharBuffer[n][1] == t.UseDatNumArr[n]) {
    t.SecsArr[n][k] = poll_time;
    PrintDataPulse(s, n);
  } else {
    // Counted but not recorded. The stored states still take the change in: left
    // stale, a line that was not flagged would count again on every pass and run
    // the count up to 32 within milliseconds.
    StoreLineStates(t, n);
  }
}

void PollPort(Sampling& s, int n) {
  PortTable& t = s.table;
  const SerHandle handle = t.SerialHandleArr[n];
  // Each line's chatter is taken out before anything compares it, so that a
  // flickering edge is one pulse and SensorNum comes out as the bell rings.
  auto& debounce = t.Debounce[n];
  const bool cts = s.serial.SerGetCTS(handle);
  const bool dsr = s.serial.SerGetDSR(handle);
  const bool cd = s.serial.SerGetCD(handle);
  const bool ri = s.serial.SerGetRI(handle);
  const int64_t now_us = s.clock.MonotonicMicros();
  debounce[0].Look(cts, std::nullopt, now_us);
  debounce[1].Look(dsr, std::nullopt, now_us);
  debounce[2].Look(cd, std::nullopt, now_us);
  debounce[3].Look(ri, std::nullopt, now_us);
  t.CtsBArr[n] = debounce[0].level();
  t.DsrBArr[n] = debounce[1].level();
  t.CdBArr[n] = debounce[2].level();
  t.RiBArr[n] = debounce[3].level();
  const int32_t poll_time = SecondsOfDay(s.clock);
  const bool use_dat = s.state.settings.UseDat;
  t.DatBOldArr[n] =
      use_dat ? s.serial.SerReadTimeout(handle, &s.CharBuff[1], SerialReadTimeoutTime) : 0;

  // Whatever happens in the second in which sampling began may be the settling of
  // the lines just switched on, or a ringer who started early: it only sets the
  // stored states.
  if (poll_time == s.StartTime) {
    StoreLineStates(t, n);
    s.CharBuff[1] = 0;
    t.DatBOldArr[n] = 0;
  }

  if (use_dat && t.DatBOldArr[n] > 0) {
    // A character with code 0 ends the copy at once, so the port keeps the
    // character it had before.
    for (int i = 1; i <= kCharBuffSize && s.CharBuff[i] != 0; ++i) {
      t.CharBuffer[n][i] = s.CharBuff[i];
      s.CharBuff[i] = 0;
    }
  }

  t.ChangeStateArr[n] = t.DatBOldArr[n] != 0 || AnyLineDiffers(t, n);
  if (t.ChangeStateArr[n]) CountPulse(s, n, poll_time);
}

void CheckEnd(Sampling& s) {
  PortTable& t = s.table;
  s.SecsNow = SecondsOfDay(s.clock);
  for (int n = 1; n <= s.state.SSSI; ++n) {
    const int32_t count = t.NumberTimePulsesArr[n];
    if (t.SerialHandleArr[n] == 0 || count <= 1) continue;
    // The day wraps at midnight; the plain difference would then be negative and
    // sampling would never end by this rule.
    if (count % 2 == 0 && SecondsBetween(t.SecsArr[n][1], s.SecsNow) > kQuietSeconds) {
      s.Changed = true;
    }
    if (count == kMaxPulses) s.Changed = true;
  }
}

}  // namespace

bool OpenCalibrationPorts(CalibrationState& state, PortTable& table, Serial& serial,
                          Console& console) {
  console.WriteLn("Calibration...");
  console.WriteLn("Checking possible serial ports...");
  bool any_open = false;
  for (int n = 1; n <= state.SSSI; ++n) {
    table.NumberTimePulsesArr[n] = 0;
    state.settings.ComPortName = DevicePath(state.SSS[n]);
    const SerHandle handle = serial.SerOpen(state.settings.ComPortName);
    table.SerialHandleArr[n] = handle;
    if (handle == 0) continue;
    any_open = true;
    console.WriteLn(std::to_string(n) + " " + state.settings.ComPortName + " found ");
    ConfigureSensorPort(serial, handle);
    table.CtsBOldArr[n] = serial.SerGetCTS(handle);
    table.DsrBOldArr[n] = serial.SerGetDSR(handle);
    table.CdBOldArr[n] = serial.SerGetCD(handle);
    table.RiBOldArr[n] = serial.SerGetRI(handle);
    table.Debounce[n] = {LineDebounce(state.debounce_ms, table.CtsBOldArr[n]),
                         LineDebounce(state.debounce_ms, table.DsrBOldArr[n]),
                         LineDebounce(state.debounce_ms, table.CdBOldArr[n]),
                         LineDebounce(state.debounce_ms, table.RiBOldArr[n])};
    uint8_t drained = 0;
    serial.SerReadTimeout(handle, &drained, SerialReadTimeoutTime);
    table.UseCtsArr[n] = false;
    table.UseDsrArr[n] = false;
    table.UseCdArr[n] = false;
    table.UseRiArr[n] = false;
  }
  if (any_open) return true;

  // Sampling would have nothing to poll and could never end.
  console.WriteLn("No serial port could be opened, so the bell sensor cannot be found.");
  console.WriteLn("Check that the sensor's serial adapter is plugged in and that no other");
  console.WriteLn("program is using it. On Linux, check that you may use serial ports");
  console.WriteLn("(usually by being a member of the dialout group).");
  console.WriteLn("To try strikewell without a bell, start it with --simulate");
  console.WriteLn("Press [ENTER] to end the program");
  console.ReadBareLine();
  return false;
}

void RecordPulses(CalibrationState& state, PortTable& table, Serial& serial, Console& console,
                  Clock& clock) {
  console.WriteLn("Most simulator bells use the control signals as input");
  console.WriteLn(
      "Are you using a Bagley box or similar which sends characters to the serial port? (y/N)");
  if (console.ReadAnswerKey() == 'Y') state.settings.UseDat = true;
  console.WriteLn();
  console.WriteLn("NOW ring bell HAND and BACK  **ONCE** only as if ringing at normal speed");
  console.WriteLn("A few seconds later the results will be summarised");
  console.WriteLn();

  Sampling s{state, table, serial, console, clock};
  s.StartTime = SecondsOfDay(clock);
  console.WriteLn("List of Port inputs...");
  console.Flush();
  s.Changed = false;
  s.CharBuff.fill(0);
  while (!s.Changed) {
    for (int n = 1; n <= state.SSSI; ++n) {
      if (table.SerialHandleArr[n] != 0) PollPort(s, n);
    }
    CheckEnd(s);
  }
}

}  // namespace strikewell
