// Prints what the calls of one counting pass cost on a pty: an empty 1 ms read, a
// read of a waiting byte, and a line read (with the modem shim preloaded, run as
// LD_PRELOAD=.../libmodem_shim.so serial_posix_bench, the shim's cost too).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/backends.h"
#include "pty_pair.h"

namespace {

using strikewell::SerHandle;

// Times call alone; prepare runs before each call, untimed.
void Report(
    const char* what, int rounds, const std::function<void()>& call,
    const std::function<void()>& prepare = [] {}) {
  std::vector<double> us;
  us.reserve(rounds);
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
  const SerHandle h = serial->SerOpen(pty.DeviceName());
  if (h <= 0) {
    std::fprintf(stderr, "cannot open %s\n", pty.path().c_str());
    return 1;
  }
  strikewell::ConfigureSensorPort(*serial, h);
  std::string lines_file;
  if (const char* preload = std::getenv("LD_PRELOAD")) {
    // Let a preloaded modem shim serve this pty.
    setenv("STRIKEWELL_SHIM_DEVICE", pty.path().c_str(), 1);
    char lines[] = "/tmp/strikewell-bench-lines-XXXXXX";
    const int fd = mkstemp(lines);
    if (fd >= 0) {
      if (write(fd, "cts=1", 5) != 5) std::fprintf(stderr, "cannot write %s\n", lines);
      close(fd);
      setenv("STRIKEWELL_SHIM_LINES", lines, 1);
      lines_file = lines;
    }
    std::printf("LD_PRELOAD=%s\n", preload);
  }
  uint8_t buffer[1];
  Report("SerReadTimeout, nothing there, 1 ms", 500,
         [&] { serial->SerReadTimeout(h, buffer, strikewell::SerialReadTimeoutTime); });
  Report(
      "SerReadTimeout, byte waiting", 500,
      [&] { serial->SerReadTimeout(h, buffer, strikewell::SerialReadTimeoutTime); },
      [&] { pty.Send("B"); });
  Report("SerGetCTS", 20000, [&] { serial->SerGetCTS(h); });
  Report("pass: four line reads + empty read", 500, [&] {
    serial->SerGetCTS(h);
    serial->SerGetDSR(h);
    serial->SerGetCD(h);
    serial->SerGetRI(h);
    serial->SerReadTimeout(h, buffer, strikewell::SerialReadTimeoutTime);
  });
  serial->SerClose(h);
  if (!lines_file.empty()) unlink(lines_file.c_str());
  return 0;
}
