// The executable: reads the command line, builds the real backends and hands them to the
// program.
#include <cstdio>
#include <string>

#include "platform/backends.h"
#include "run/options.h"
#include "run/program.h"

int main(int argc, char** argv) {
  const strikewell::Options options = strikewell::ParseOptions(argc, argv);
  // Help, version and reports need no console, port or display: they end here.
  if (options.command != strikewell::Command::Count) {
    std::string out, err;
    const int status = strikewell::RunCommand(options, out, err);
    std::fputs(out.c_str(), stdout);
    std::fputs(err.c_str(), stderr);
    return status;
  }
  auto clock = strikewell::MakeClock();
  auto raw_console = strikewell::MakeRawConsole();
  strikewell::Console console(*raw_console, *clock);
  auto serial = strikewell::MakeSerial();
  auto ports = strikewell::MakePortNames();
  auto desktop = strikewell::MakeDesktop();
  auto wait = strikewell::MakeEventWait(*serial, *raw_console, *clock);
  strikewell::Platform platform{*serial, *ports, console, *desktop, *clock, *wait};
  platform.record_dir = options.record_dir;
  platform.simulate_ms = options.simulate_ms;
  platform.count_only = options.count_only;
  platform.debounce_ms = options.debounce_ms;
  platform.several_bells = options.several_bells;
  return strikewell::RunProgram(platform);
}
