#include "sensor_script.h"

namespace strikewell::testing {

LineScript Pulses(std::initializer_list<int64_t> on_ms, Lines on, int64_t width_ms) {
  LineScript script;
  for (const int64_t t : on_ms) script.insert(script.end(), {{t, on}, {t + width_ms, kNoLines}});
  return script;
}

LineScript ChatteringPulses(std::initializer_list<int64_t> on_ms, Chatter chatter, int64_t width_ms,
                            Lines on) {
  LineScript script;
  const auto edge = [&](int64_t t, bool flickers, Lines to, Lines from) {
    const int changes = flickers ? 5 : 1;
    for (int i = 0; i < changes; ++i) script.push_back({t + i, i % 2 == 0 ? to : from});
  };
  for (const int64_t t : on_ms) {
    edge(t, chatter.rising, on, kNoLines);
    edge(t + width_ms, chatter.falling, kNoLines, on);
  }
  return script;
}

LineScript Toggled(std::initializer_list<int64_t> at_ms, Lines on) {
  LineScript script;
  for (const int64_t t : at_ms) script.push_back({t, script.size() % 2 == 0 ? on : kNoLines});
  return script;
}

void Play(FakeSerial& serial, const std::string& device, const LineScript& lines,
          const ByteScript& bytes) {
  for (const auto& [t, l] : lines) serial.SetLines(device, t, l);
  for (const auto& [t, b] : bytes) serial.SendByte(device, t, b);
}

std::vector<FakeDesktop::KeyRecord> JKeys(const std::vector<int64_t>& at_ms) {
  // "j" is virtual key 0x4A, scan code 0x24 on a US layout.
  std::vector<FakeDesktop::KeyRecord> keys;
  for (const int64_t t : at_ms) {
    keys.push_back(Press(0x4A, 0x24, t));
    keys.push_back(Release(0x4A, 0x24, t));
  }
  return keys;
}

}  // namespace strikewell::testing
