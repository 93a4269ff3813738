// The per-port table that calibration builds while the ringer rings, and the two
// stages that fill and read it. Internal to calibration.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "calibration/calibration.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "sensor/line_debounce.h"

namespace strikewell {

inline constexpr int kMaxPulses = 32;
inline constexpr int kCharBuffSize = 255;
// Sampling ends once an even count's first pulse is more than this many seconds old.
inline constexpr int32_t kQuietSeconds = 6;

// Parallel columns indexed 1..25 by the port's number in the port list; index 0 is
// unused so that numbers read as in the listings.
struct PortTable {
  template <typename T>
  using PerPort = std::array<T, kMaxPorts + 1>;

  PerPort<SerHandle> SerialHandleArr{};
  PerPort<bool> CtsBArr{}, DsrBArr{}, CdBArr{}, RiBArr{};
  PerPort<bool> CtsBOldArr{}, DsrBOldArr{}, CdBOldArr{}, RiBOldArr{};
  PerPort<int32_t> DatBOldArr{};
  PerPort<std::array<uint8_t, kCharBuffSize + 1>> CharBuffer{};  // positions 1..255
  PerPort<bool> ChangeStateArr{};
  PerPort<int32_t> NumberTimePulsesArr{};
  PerPort<std::array<int32_t, kMaxPulses + 1>> SecsArr{};  // time stamps 1..32
  PerPort<bool> UseCtsArr{}, UseDsrArr{}, UseCdArr{}, UseRiArr{};
  PerPort<bool> UseDatArr{};
  // The four lines of each port with their chatter taken out; the B arrays above
  // hold the levels these take.
  PerPort<std::array<LineDebounce, 4>> Debounce{};
  PerPort<uint8_t> UseDatNumArr{};
};

// Opens and sets up every listed port. False when none opened: the ringer has then
// been told what to check and has pressed Enter.
bool OpenCalibrationPorts(CalibrationState& state, PortTable& table, Serial& serial,
                          Console& console);

// The interface-box question, the ringing prompt and the sampling passes, until a
// port has seen a whole handstroke and backstroke.
void RecordPulses(CalibrationState& state, PortTable& table, Serial& serial, Console& console,
                  Clock& clock);

// The summary, the choice of port, SensorNum, closing every port and taking over the
// chosen port's lines; then the bell delay.
void SummariseAndTakeOver(CalibrationState& state, PortTable& table, Serial& serial,
                          Console& console);

// Closes every port that is still open in the table.
void CloseCalibrationPorts(PortTable& table, Serial& serial);

// Closes the calibration ports on every way out, so that a ringer who leaves in the
// middle (console input ended) does not leave them held.
class PortCloser {
 public:
  PortCloser(PortTable& table, Serial& serial) : table_(table), serial_(serial) {}
  ~PortCloser() { CloseCalibrationPorts(table_, serial_); }
  PortCloser(const PortCloser&) = delete;
  PortCloser& operator=(const PortCloser&) = delete;

 private:
  PortTable& table_;
  Serial& serial_;
};

}  // namespace strikewell
