// The executable: reads the command line, builds the real backends and hands them to the
// program.
#include <cstdio>
#include <memory>
#include <string>

#include "platform/backends.h"
#include "run/options.h"
#include "run/program.h"

int main(int argc, char** argv) {
  const strikewell::Options options = strikewell::ParseOptions(argc, argv);
  // Help, version, reports and forgetting the login need no console, port or display:
  // they end here.
  if (options.command != strikewell::Command::Count) {
    std::unique_ptr<strikewell::LoginStore> logins;
    if (options.command == strikewell::Command::ForgetLogin) logins = strikewell::MakeLoginStore();
    std::string out, err;
    const int status = strikewell::RunCommand(options, out, err, logins.get());
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
  auto network = strikewell::MakeNetwork(*clock);
  auto logins = strikewell::MakeLoginStore();
  auto wait = strikewell::MakeEventWait(*serial, *raw_console, *clock, network.get());
  strikewell::Platform platform{*serial, *ports, console, *desktop, *clock, *wait};
  platform.record_dir = options.record_dir;
  platform.simulate_ms = options.simulate_ms;
  platform.count_only = options.count_only;
  platform.debounce_ms = options.debounce_ms;
  platform.several_bells = options.several_bells;
  platform.network = network.get();
  platform.logins = logins.get();
  platform.tower = options.tower;
  platform.server = options.server;
  platform.bell = options.bell;
  return strikewell::RunProgram(platform);
}
