// Prints what the calls of one counting pass cost on a pty: an empty 1 ms read, a
// read of a waiting byte, and the four line reads with an empty read.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "platform/backends.h"
#include "pty_pair.h"

namespace {

// Times call alone; prepare runs before each call, untimed.
void Report(
    const char* what, int rounds, const std::function<void()>& call,
    const std::function<void()>& prepare = [] {}) {
  std::vector<double> us;
  for (int i = 0; i < rounds; ++i) {
    prepare();
    const auto start = std::chrono::steady_clock::now();
    call();
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  std::sort(us.begin(), us.end());
  std::printf("%-40s median %8.1f us   p99 %8.1f us   max %8.1f us   (%d calls)\n", what,
              us[us.size() / 2], us[us.size() * 99 / 100], us.back(), rounds);
}

}  // namespace

int main() {
  strikewell::testing::PtyPair pty;
  auto serial = strikewell::MakeSerial();
  const strikewell::SerHandle h = serial->SerOpen(pty.DeviceName());
  if (h <= 0) {
    std::fprintf(stderr, "cannot open %s\n", pty.path().c_str());
    return 1;
  }
  strikewell::ConfigureSensorPort(*serial, h);
  uint8_t buffer[1];
  const auto read = [&] { serial->SerReadTimeout(h, buffer, strikewell::SerialReadTimeoutTime); };
  Report("SerReadTimeout, nothing there, 1 ms", 500, read);
  Report("SerReadTimeout, byte waiting", 500, read, [&] { pty.Send("B"); });
  Report("pass: four line reads + empty read", 500, [&] {
    serial->SerGetCTS(h);
    serial->SerGetDSR(h);
    serial->SerGetCD(h);
    serial->SerGetRI(h);
    read();
  });
  return 0;
}
