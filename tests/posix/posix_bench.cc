// Figures for the Linux backends on ptys: what the serial calls of one counting pass
// cost, and the terminal console's key poll (made on every pass), a full-screen redraw,
// and how long an arrow key and a lone Escape take from the terminal to ReadKey.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/backends.h"
#include "platform/console.h"
#include "pty_pair.h"

namespace strikewell {
namespace {

// Times call alone (prepare runs before each call, untimed) and prints the spread.
void Report(
    FILE* out, const char* what, int rounds, const std::function<void()>& call,
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
  std::fprintf(out, "%-36s median %9.1f us   p99 %9.1f us   max %9.1f us   (%d calls)\n", what,
               us[us.size() / 2], us[us.size() * 99 / 100], us.back(), rounds);
}

// Reads what the console wrote, so the pty never fills up; returns the byte count.
size_t Drain(int master) {
  size_t total = 0;
  char buffer[65536];
  for (pollfd pfd{master, POLLIN, 0}; poll(&pfd, 1, 0) > 0;) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  return total;
}

void SerialFigures(FILE* out) {
  testing::PtyPair pty;
  auto serial = MakeSerial();
  const SerHandle h = serial->SerOpen(pty.DeviceName());
  ConfigureSensorPort(*serial, h);
  uint8_t buffer[1];
  const auto read = [&] { serial->SerReadTimeout(h, buffer, SerialReadTimeoutTime); };
  Report(out, "SerReadTimeout, nothing there, 1 ms", 500, read);
  Report(out, "SerReadTimeout, byte waiting", 500, read, [&] { pty.Send("B"); });
  Report(out, "pass: four line reads + empty read", 500, [&] {
    serial->SerGetCTS(h);
    serial->SerGetDSR(h);
    serial->SerGetCD(h);
    serial->SerGetRI(h);
    read();
  });
}

void TerminalFigures(FILE* out) {
  testing::PtyPair pty;
  dup2(pty.slave(), STDIN_FILENO);
  dup2(pty.slave(), STDOUT_FILENO);
  auto clock = MakeClock();
  auto raw = MakeRawConsole();
  Console console(*raw, *clock);
  console.TextBackground(1);
  console.TextColor(14);

  Report(out, "KeyPressed, no key waiting", 100000, [&] { console.KeyPressed(); });
  constexpr int kScreens = 500;
  size_t bytes = 0;
  Report(out, "full-screen redraw and flush", kScreens, [&] {
    console.ClrScr();
    for (int y = 1; y <= 20; ++y) {
      console.GotoXY(1, y);
      console.Write(std::string(60 + y, '*'));
    }
    console.GotoXY(1, 21);
    console.Write("Time since start 00:12:34  Average 2.13 s");
    console.Flush();
    bytes += Drain(pty.master());
  });
  std::fprintf(out, "%-36s %9.1f bytes\n", "bytes per redraw (one write)",
               static_cast<double>(bytes) / kScreens);
  // An arrow key reads as two codes; a lone Escape waits out the quiet gap after it.
  for (const std::string keys : {"\x1b[D", "\x1b"}) {
    Report(
        out,
        keys.size() > 1 ? "Left arrow, terminal to ReadKey" : "lone Escape, terminal to ReadKey",
        20,
        [&] {
          console.ReadKey();
          if (keys.size() > 1) console.ReadKey();
          Drain(pty.master());
        },
        [&] {
          if (write(pty.master(), keys.data(), keys.size()) < 0) std::perror("write");
        });
  }
}

}  // namespace
}  // namespace strikewell

int main() {
  FILE* out = fdopen(dup(STDOUT_FILENO), "w");
  strikewell::SerialFigures(out);
  strikewell::TerminalFigures(out);
  std::fclose(out);
  return 0;
}
