// What a sensor does over fake time, for scripted ports, and the keys a blow should
// press, with the times they should be pressed at.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "fake_desktop.h"
#include "fake_serial.h"

namespace strikewell::testing {

using LineScript = std::vector<std::pair<int64_t, Lines>>;    // (fake ms, lines from then)
using ByteScript = std::vector<std::pair<int64_t, uint8_t>>;  // (fake ms, byte arriving)

inline constexpr Lines kNoLines{};
inline constexpr Lines kCtsOn{.cts = true};

// `on` at each given time and off again width_ms later: one pulse each.
LineScript Pulses(std::initializer_list<int64_t> on_ms, Lines on = kCtsOn, int64_t width_ms = 10);

// Which edges of a pulse flicker, as a reed switch's contacts bounce or an optical
// sensor flickers on a slowly passing edge.
struct Chatter {
  bool rising = true;
  bool falling = true;
};

// Pulses like Pulses' whose flickering edges each change the line five times, a
// millisecond apart (on, off, on, off, on for a rising edge): the line is settled
// 4 ms after the edge's first change.
LineScript ChatteringPulses(std::initializer_list<int64_t> on_ms, Chatter chatter,
                            int64_t width_ms = 100, Lines on = kCtsOn);

// `on` and off by turns at the given times, starting with on.
LineScript Toggled(std::initializer_list<int64_t> at_ms, Lines on = kCtsOn);

// Puts the script on a port of the fake.
void Play(FakeSerial& serial, const std::string& device, const LineScript& lines,
          const ByteScript& bytes = {});

// The press and release of "j", as a blow sends them, at each of the given fake times.
std::vector<FakeDesktop::KeyRecord> JKeys(const std::vector<int64_t>& at_ms);

}  // namespace strikewell::testing
