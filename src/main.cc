// The executable: builds the real backends and hands them to the program.
#include "platform/backends.h"
#include "run/program.h"

int main() {
  auto clock = strikewell::MakeClock();
  auto raw_console = strikewell::MakeRawConsole();
  strikewell::Console console(*raw_console, *clock);
  auto serial = strikewell::MakeSerial();
  auto ports = strikewell::MakePortNames();
  auto desktop = strikewell::MakeDesktop();
  auto wait = strikewell::MakeEventWait(*serial, *raw_console, *clock);
  strikewell::Platform platform{*serial, *ports, console, *desktop, *clock, *wait};
  return strikewell::RunProgram(platform);
}
