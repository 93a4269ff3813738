// Turning the recorded pulses into a calibration: the summary, the choice of port,
// the sensor events per blow, the port's lines and the bell delay.
#include <cstdio>
#include <optional>
#include <string>

#include "calibration/port_table.h"
#include "platform/shared_text.h"
#include "settings/number.h"

namespace strikewell {
namespace {

bool HasInput(const PortTable& t, int n) {
  return t.SerialHandleArr[n] != 0 && t.NumberTimePulsesArr[n] > 1;
}

// A time stamp that was never written counts as 0.
int32_t Duration(const PortTable& t, int n) {
  return t.SecsArr[n][t.NumberTimePulsesArr[n]] - t.SecsArr[n][1];
}

std::string PulsesAndDuration(const PortTable& t, int n) {
  return " pulses:" + std::to_string(t.NumberTimePulsesArr[n]) +
         " duration:" + std::to_string(Duration(t, n));
}

void PrintSensorError(Console& console) {
  console.WriteLn(
      "ERROR: The number of sensors on bell not an integer\n\r"
      "Restart program and recalibrate - use ONE Hand and Back Pull only!");
}

constexpr const char* kPortQuestion =
    "cannot safely decide port - input the line number of one used and press [ENTER]";

// Asks until the reply is the number of a port listed in the summary.
int32_t AskPortNumber(const CalibrationState& state, const PortTable& t, Console& console) {
  console.WriteLn(kPortQuestion);
  for (;;) {
    const std::string reply = console.ReadWordSkippingEmptyLines();
    const std::optional<int64_t> number = ParseNumber(reply, NumberEnd::WholeText, kInt32Range);
    if (number && *number >= 1 && *number <= state.SSSI && HasInput(t, static_cast<int>(*number))) {
      return static_cast<int32_t>(*number);
    }
    console.WriteLn(reply + " is not one of the port numbers listed above - type the number");
    console.WriteLn("at the start of the line of the port that the bell is on");
    console.WriteLn(kPortQuestion);
  }
}

}  // namespace

void CloseCalibrationPorts(PortTable& table, Serial& serial) {
  for (SerHandle& handle : table.SerialHandleArr) {
    if (handle > 0) serial.SerClose(handle);
    handle = 0;
  }
}

void SummariseAndTakeOver(CalibrationState& state, PortTable& table, Serial& serial,
                          Console& console) {
  Settings& settings = state.settings;
  console.WriteLn();
  console.WriteLn("Summary: input detected on these ports:");
  int32_t NPorts = 0;
  int32_t IIPort = 0;
  for (int n = 1; n <= state.SSSI; ++n) {
    if (!HasInput(table, n)) continue;
    ++NPorts;
    console.WriteLn(std::to_string(n) + " Port " + state.SSS[n] + PulsesAndDuration(table, n));
    IIPort = n;
  }
  if (NPorts > 1) {
    IIPort = AskPortNumber(state, table, console);
    console.WriteLn("OK. Using port: " + state.SSS[IIPort] + " " +
                    PulsesAndDuration(table, IIPort));
  }

  const int32_t N = table.NumberTimePulsesArr[IIPort];
  if (!table.UseDatArr[IIPort]) {
    // A sensor passage switches the line on and off: four changes per sensor for
    // one handstroke and one backstroke.
    settings.SensorNum = N / 4;
    const bool whole = settings.SensorNum * 4 == N;
    if (!whole) PrintSensorError(console);
    console.WriteLn("Total ON pulses:" + std::to_string(N / 2) + " implies " +
                    Fixed8(static_cast<float>(N) * 0.25f) + " sensors on bell");
    if (!whole) PrintSensorError(console);
  } else {
    // An interface box sends one character per sensor passage.
    settings.SensorNum = N / 2;
    console.WriteLn("Total pulses " + std::to_string(N) + " implies " +
                    Fixed8(static_cast<float>(N) * 0.5f) + " sensors on bell");
    if (settings.SensorNum * 2 != N) PrintSensorError(console);
    settings.UseDatNum = table.UseDatNumArr[IIPort];
  }

  CloseCalibrationPorts(table, serial);
  settings.ComPortName = std::string(kDevicePrefix) + state.SSS[IIPort];
  settings.UseCts = table.UseCtsArr[IIPort];
  settings.UseDsr = table.UseDsrArr[IIPort];
  settings.UseCd = table.UseCdArr[IIPort];
  settings.UseRi = table.UseRiArr[IIPort];
  if (settings.UseDat) settings.UseDat = table.UseDatArr[IIPort];
}

void AskBellDelay(Settings& settings, Console& console) {
  for (;;) {
    console.WriteLn("Give the delay in milliseconds between the sensor input and strike point");
    console.WriteLn("Use the delay setting in Abel as a starting point ");
    const std::string BellDelayStr = console.ReadLine();
    const std::optional<int32_t> delay = ParseDelayReply(BellDelayStr);
    if (delay) {
      settings.BellDelay = *delay;
      return;
    }
    console.WriteLn("Input " + BellDelayStr + " not an integer, try again");
  }
}

}  // namespace strikewell
