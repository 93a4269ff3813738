// A small program on the real terminal backend and the console logic, driven by
// terminal_console_test.py inside tmux (or with piped input):
//
//   terminal_console_probe screen PIDFILE   draw a test screen, echo key codes until
//                                           "q", read one edited line, end
//   terminal_console_probe line             read one line, print it, end
//
// It prints "input ended" and ends with status 3 when console input ends.
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "platform/backends.h"
#include "platform/console.h"

namespace strikewell {
namespace {

void DrawScreen(Console& console) {
  console.TextBackground(1);
  console.TextColor(14);
  console.ClrScr();
  console.GotoXY(10, 5);
  console.Write("Hello");
  // Outside data with terminal controls in it: a title change, a C1 CSI, DEL.
  console.GotoXY(1, 7);
  console.Write(std::string("ctl:\x1b]0;pwned\x07|\x9b") + "2J|\x01\x7f|end");
  // Wraps at the right edge.
  console.GotoXY(75, 8);
  console.Write("wrap-around");
  // Markers at the right edge, so the blanks before them show the clear's colours.
  console.GotoXY(80, 1);
  console.Write("|");
  console.GotoXY(80, 24);
  console.Write("|");
  console.GotoXY(1, 11);
  console.Write("Ready");
  console.GotoXY(20, 12);
}

void EchoKeys(Console& console) {
  std::string codes;
  for (;;) {
    const uint8_t key = console.ReadKey();
    if (key == 'q') break;
    if (!codes.empty()) codes += ' ';
    if (key == 0) {
      codes += "0," + std::to_string(console.ReadKey());
    } else {
      codes += std::to_string(key);
    }
    console.GotoXY(1, 14);
    console.Write("keys: " + codes);
  }
  console.GotoXY(1, 16);
  console.Write("Line? ");
  const std::string line = console.ReadLine();
  console.WriteLn("line=[" + line + "]");
  // A line end on the bottom row scrolls the window up by one.
  console.GotoXY(1, 25);
  console.WriteLn("last");
  console.GotoXY(10, 25);
  console.Write("Bye");
}

int Run(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  std::unique_ptr<Clock> clock = MakeClock();
  std::unique_ptr<RawConsole> raw = MakeRawConsole();
  Console console(*raw, *clock);
  try {
    if (mode == "screen" && argc > 2) {
      std::ofstream(argv[2]) << getpid() << '\n';
      DrawScreen(console);
      EchoKeys(console);
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
