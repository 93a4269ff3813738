#include "run/counting.h"

#include <array>
#include <cstdint>
#include <string>

#include "display/counter_screen.h"
#include "target/target.h"

namespace strikewell {
namespace {

const char* Bool(bool b) { return b ? "TRUE" : "FALSE"; }

struct LineSamples {
  bool CtsB = false, CtsBOld = false;
  bool DsrB = false, DsrBOld = false;
  bool CdB = false, CdBOld = false;
  bool RiB = false, RiBOld = false;
};

// One sensor pulse; SensorNum of them make a blow. An equality test, so a
// SensorNum of 0 or less never completes a blow.
void PulseStep(RunState& state, CountingIo& io) {
  ++state.SNum;
  if (state.SNum == state.settings.SensorNum) {
    ++state.MyCounter;
    // The new count shows as soon as the pulse that completes the blow is seen; the
    // key follows the bell delay later.
    WriteBig(state.screen, state.MyCounter, state.MyCounter, io.console, io.clock);
    SendAKey(state, io.desktop, io.console);
    state.SNum = 0;
  }
}

// Only a change from off to on is a pulse; either change updates the old sample.
void PollLine(RunState& state, CountingIo& io, bool now, bool& current, bool& previous) {
  current = now;
  if (current == previous) return;
  if (!previous && current) PulseStep(state, io);
  previous = current;
}

}  // namespace

void KeyCheck(RunState& state, CountingIo& io) {
  Console& console = io.console;
  if (!console.KeyPressed()) return;
  const uint8_t key = console.ReadKey();
  console.GotoXY(1, 1);
  switch (key) {
    case '0':
      state.MyCounter = 0;
      console.ClrScr();
      WriteBig(state.screen, state.MyCounter, state.MyCounter, console, io.clock);
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
}

void CountBlows(RunState& state, CountingIo& io) {
  Console& console = io.console;
  Serial& serial = io.serial;
  const Settings& s = state.settings;

  console.WriteLn("Counting started");
  console.ClrScr();
  state.SNum = 0;
  console.WriteLn("Port=" + s.ComPortName + " usects=" + Bool(s.UseCts) +
                  " usedsr=" + Bool(s.UseDsr) + " usecd=" + Bool(s.UseCd) +
                  " useri=" + Bool(s.UseRi));
  console.WriteLn(std::string(" usedat=") + Bool(s.UseDat) +
                  " usedatnum=" + std::to_string(s.UseDatNum) +
                  " sensornum=" + std::to_string(s.SensorNum) +
                  " belldelay=" + std::to_string(s.BellDelay));
  WriteBig(state.screen, 0, state.MyCounter, console, io.clock);
  state.MyCounter = 0;

  const SerHandle h = state.SerialHandle;
  LineSamples l;
  if (s.UseCts) l.CtsBOld = serial.SerGetCTS(h);
  if (s.UseDsr) l.DsrBOld = serial.SerGetDSR(h);
  if (s.UseCd) l.CdBOld = serial.SerGetCD(h);
  if (s.UseRi) l.RiBOld = serial.SerGetRI(h);

  std::array<uint8_t, 255> CharBuff{};
  do {
    KeyCheck(state, io);
    if (s.UseCts) PollLine(state, io, serial.SerGetCTS(h), l.CtsB, l.CtsBOld);
    if (s.UseDsr) PollLine(state, io, serial.SerGetDSR(h), l.DsrB, l.DsrBOld);
    if (s.UseCd) PollLine(state, io, serial.SerGetCD(h), l.CdB, l.CdBOld);
    if (s.UseRi) PollLine(state, io, serial.SerGetRI(h), l.RiB, l.RiBOld);
    if (s.UseDat) {
      int32_t DatB = serial.SerReadTimeout(h, CharBuff.data(), SerialReadTimeoutTime);
      // The buffer is looked at only when a byte was read: after a failed read it
      // is not to be trusted.
      const bool OkDat = DatB > 0 && CharBuff[0] == s.UseDatNum;
      if (!OkDat) DatB = 0;
      if (DatB > 0) PulseStep(state, io);
    }
  } while (!state.TerminateProgram);
}

}  // namespace strikewell
