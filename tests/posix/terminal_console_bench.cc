// Costs of the terminal console on a pseudo-terminal, printed as figures: KeyPressed
// with no key waiting (the counting loop calls it on every pass), one full-screen
// redraw, and how long an arrow key and a lone Escape take from the terminal to ReadKey.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/backends.h"
#include "platform/console.h"

namespace strikewell {
namespace {

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

// Runs fn `rounds` times and prints the mean time per round.
template <typename Fn>
void Time(FILE* out, const char* what, int rounds, Fn fn) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) fn();
  const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
  std::fprintf(out, "%-44s %10.2f us\n", what, took.count() / rounds);
}

int Run() {
  int master = -1;
  int slave = -1;
  winsize size{.ws_row = 25, .ws_col = 80, .ws_xpixel = 0, .ws_ypixel = 0};
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
    std::perror("openpty");
    return 1;
  }
  FILE* out = fdopen(dup(STDOUT_FILENO), "w");
  dup2(slave, STDIN_FILENO);
  dup2(slave, STDOUT_FILENO);
  auto clock = MakeClock();
  auto raw = MakeRawConsole();
  Console console(*raw, *clock);
  console.TextBackground(1);
  console.TextColor(14);

  Time(out, "KeyPressed, no key waiting", 200000, [&] { console.KeyPressed(); });
  constexpr int kScreens = 500;
  size_t bytes = 0;
  Time(out, "full-screen redraw and flush", kScreens, [&] {
    console.ClrScr();
    for (int y = 1; y <= 20; ++y) {
      console.GotoXY(1, y);
      console.Write(std::string(60 + y, '*'));
    }
    console.GotoXY(1, 21);
    console.Write("Time since start 00:12:34  Average 2.13 s");
    console.Flush();
    bytes += Drain(master);
  });
  std::fprintf(out, "%-44s %10.2f bytes\n", "bytes per redraw (one write)",
               static_cast<double>(bytes) / kScreens);
  // A sequence key reads as two codes; a lone Escape waits out its quiet gap.
  for (const std::string keys : {"\x1b[D", "\x1b"}) {
    Time(out,
         keys.size() > 1 ? "Left arrow, terminal to ReadKey" : "lone Escape, terminal to ReadKey",
         20, [&] {
           if (write(master, keys.data(), keys.size()) < 0) std::perror("write");
           console.ReadKey();
           if (keys.size() > 1) console.ReadKey();
           Drain(master);
         });
  }
  std::fclose(out);
  return 0;
}

}  // namespace
}  // namespace strikewell

int main() { return strikewell::Run(); }
