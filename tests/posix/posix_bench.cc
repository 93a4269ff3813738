// Figures for the Linux backends on ptys: what the serial calls of one counting pass
// cost, and the terminal console's key poll (made on every pass), a full-screen redraw,
// and how long an arrow key and a lone Escape take from the terminal to ReadKey; and
// the counting wait: how soon a byte or a line change wakes it, how closely it keeps
// its deadline, and what the process costs while it waits with nothing happening.
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/backends.h"
#include "platform/console.h"
#include "platform/posix/line_watch_posix.h"
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

// Prints the median, 95th percentile and maximum of figures in microseconds.
void Spread(FILE* out, const char* what, std::vector<double> us) {
  std::sort(us.begin(), us.end());
  std::fprintf(out, "%-36s median %9.1f us   p95 %9.1f us   max %9.1f us   (%zu waits)\n", what,
               us[us.size() / 2], us[us.size() * 95 / 100], us.back(), us.size());
}

double CpuMillis() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);  // every thread of the process, the line watcher's too
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// The counting loop's idle state for two seconds: waits until the deadline, as the
// loop would, however often the wait returns; prints the process's CPU time.
void IdleCost(FILE* out, const char* what, EventWait& wait, const WaitFor& what_for) {
  const int64_t end_us = MonotonicMicrosNow() + 2'000'000;
  const double cpu_before = CpuMillis();
  int wakes = 0;
  for (WaitFor w = what_for; MonotonicMicrosNow() < end_us; ++wakes) {
    w.deadline_us = end_us;
    wait.Wait(w);
  }
  const double cpu_ms = CpuMillis() - cpu_before;
  std::fprintf(out, "%-36s %9.1f ms CPU in 2 s (%.2f %%), %d returns\n", what, cpu_ms,
               cpu_ms / 20.0, wakes);
}

void WaitFigures(FILE* out) {
  namespace fs = std::filesystem;
  testing::PtyPair terminal;
  dup2(terminal.slave(), STDIN_FILENO);
  dup2(terminal.slave(), STDOUT_FILENO);
  testing::PtyPair sensor;
  testing::PtyPair plain;
  const fs::path dir = fs::temp_directory_path() / ("strikewell-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  setenv("STRIKEWELL_SHIM_DEVICE", sensor.path().c_str(), 1);
  setenv("STRIKEWELL_SHIM_LINES", (dir / "lines").c_str(), 1);
  // The change is the rename; returns its moment.
  const auto set_lines = [&](const char* text) {
    std::ofstream(dir / "lines.new") << text;
    const int64_t at_us = MonotonicMicrosNow();
    fs::rename(dir / "lines.new", dir / "lines");
    return at_us;
  };
  set_lines("cts=0");

  auto clock = MakeClock();
  auto raw = MakeRawConsole();
  auto serial = MakeSerial();
  auto wait = MakeEventWait(*serial, *raw, *clock);
  const SerHandle h = serial->SerOpen(sensor.DeviceName());
  ConfigureSensorPort(*serial, h);
  constexpr int64_t kFarUs = 10'000'000;

  // Times from a change made on another thread (change returns the moment it made
  // it) to the wait's return and stamp.
  const auto wake_after = [&](const std::function<int64_t()>& change, const WaitFor& what,
                              std::vector<double>& to_wake, std::vector<double>* to_stamp) {
    int64_t changed_us = 0;
    std::thread changer([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(1500));
      changed_us = change();
    });
    WaitFor w = what;
    w.deadline_us = MonotonicMicrosNow() + kFarUs;
    const WaitResult woke = wait->Wait(w);
    const int64_t woke_us = MonotonicMicrosNow();
    changer.join();
    to_wake.push_back(static_cast<double>(woke_us - changed_us));
    if (to_stamp != nullptr)
      to_stamp->push_back(static_cast<double>(woke.lines_at_us - changed_us));
  };

  std::vector<double> byte_wake;
  const WaitFor bytes{.port = h, .data = true, .console = false};
  for (int i = 0; i < 300; ++i) {
    const auto send = [&] {
      const int64_t at_us = MonotonicMicrosNow();
      if (write(sensor.master(), "B", 1) != 1) std::perror("write");
      return at_us;
    };
    wake_after(send, bytes, byte_wake, nullptr);
    uint8_t byte = 0;
    while (serial->SerReadTimeout(h, &byte, 0) > 0) {
    }
  }
  Spread(out, "wait: byte to wake", byte_wake);

  std::vector<double> line_wake;
  std::vector<double> line_stamp;
  const WaitFor lines{.port = h, .lines = true, .console = false};
  wait->Wait(WaitFor{.port = h, .lines = true, .console = false, .deadline_us = 0});
  for (int i = 0; i < 300; ++i) {
    wake_after([&] { return set_lines(i % 2 == 0 ? "cts=1" : "cts=0"); }, lines, line_wake,
               &line_stamp);
  }
  Spread(out, "wait: line change (shim) to wake", line_wake);
  Spread(out, "wait: line change (shim) to stamp", line_stamp);

  std::vector<double> overshoot;
  for (int i = 0; i < 500; ++i) {
    const int64_t deadline_us = MonotonicMicrosNow() + 500 + (i % 20) * 100;
    wait->Wait(WaitFor{.port = h, .data = true, .console = true, .deadline_us = deadline_us});
    overshoot.push_back(static_cast<double>(MonotonicMicrosNow() - deadline_us));
  }
  Spread(out, "wait: deadline overshoot", overshoot);

  IdleCost(out, "idle wait: lines waited for (shim)", *wait,
           WaitFor{.port = h, .lines = true, .data = true, .console = true});
  const SerHandle plain_h = serial->SerOpen(plain.DeviceName());
  ConfigureSensorPort(*serial, plain_h);
  IdleCost(out, "idle wait: lines sampled (pty)", *wait,
           WaitFor{.port = plain_h, .lines = true, .data = true, .console = true});
  IdleCost(out, "idle wait: bytes and keys only", *wait,
           WaitFor{.port = plain_h, .data = true, .console = true});
  wait.reset();
  serial.reset();
  unsetenv("STRIKEWELL_SHIM_DEVICE");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace strikewell

int main(int, char** argv) {
  // The line figures need the modem shim in this process: start again with it.
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::string(preload).find("modem_shim") == std::string::npos) {
    setenv("LD_PRELOAD", STRIKEWELL_MODEM_SHIM, 1);
    execv("/proc/self/exe", argv);
    std::perror("restarting with the modem shim");
    return 1;
  }
  FILE* out = fdopen(dup(STDOUT_FILENO), "w");
  strikewell::SerialFigures(out);
  strikewell::TerminalFigures(out);
  strikewell::WaitFigures(out);
  std::fclose(out);
  return 0;
}
