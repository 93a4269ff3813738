// A small program on the real terminal backend and the console logic, driven by
// terminal_console_test.py: "screen PIDFILE" draws a test screen, echoes key codes
// until "q" and reads one edited line; "line" reads one line and prints it. It prints
// "input ended" and ends with status 3 when console input ends.
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/backends.h"
#include "platform/console.h"

namespace strikewell {
namespace {

void ScreenKeysAndLine(Console& console) {
  const auto at = [&](int x, int y, const std::string& text) {
    console.GotoXY(x, y);
    console.Write(text);
  };
  console.TextBackground(1);
  console.TextColor(14);
  console.ClrScr();
  at(10, 5, "Hello");
  // Outside data with terminal controls in it: a title change, a C1 CSI, DEL.
  at(1, 7, std::string("ctl:\x1b]0;pwned\x07|\x9b") + "2J|\x01\x7f|end");
  at(75, 8, "wrap-around");
  // Right-edge markers: the blanks before them show the clear's colours.
  at(80, 1, "|");
  at(80, 24, "|");
  at(1, 11, "Ready");
  console.GotoXY(20, 12);

  std::string codes;
  for (uint8_t key; (key = console.ReadKey()) != 'q';) {
    if (!codes.empty()) codes += ' ';
    codes += key == 0 ? "0," + std::to_string(console.ReadKey()) : std::to_string(key);
    at(1, 14, "keys: " + codes);
  }
  at(1, 16, "Line? ");
  const std::string line = console.ReadLine();
  console.WriteLn("line=[" + line + "]");
  // A line end on the bottom row scrolls the window up by one.
  console.GotoXY(1, 25);
  console.WriteLn("last");
  at(10, 25, "Bye");
}

int Run(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  auto clock = MakeClock();
  auto raw = MakeRawConsole();
  Console console(*raw, *clock);
  try {
    if (mode == "screen" && argc > 2) {
      std::ofstream(argv[2]) << getpid() << '\n';
      ScreenKeysAndLine(console);
    } else if (mode == "line") {
      console.WriteLn("line=[" + console.ReadLine() + "]");
    } else {
      return 2;
    }
  } catch (const ConsoleInputEnded&) {
    console.WriteLn();
    console.WriteLn("input ended");
    console.Flush();
    return 3;
  }
  console.Flush();
  return 0;
}

}  // namespace
}  // namespace strikewell

int main(int argc, char** argv) { return strikewell::Run(argc, argv); }
