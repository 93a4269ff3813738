// Draws a known screen through the real Windows console backend, then shows the code
// of every key it reads until "q" (tests/win32/console_tmux_test.py checks both).
#include <memory>
#include <string>

#include "platform/backends.h"
#include "platform/console.h"

namespace strikewell {
namespace {

enum : uint8_t { kBlue = 1, kRed = 4, kYellow = 14, kWhite = 15 };

int Run() {
  std::unique_ptr<RawConsole> raw = MakeRawConsole();
  std::unique_ptr<Clock> clock = MakeClock();
  Console console(*raw, *clock);

  console.TextBackground(kBlue);
  console.TextColor(kYellow);
  console.ClrScr();
  console.WriteLn("console probe " + std::to_string(console.WindowWidth()) + "x" +
                  std::to_string(console.WindowHeight()));
  console.GotoXY(30, 3);
  console.Write("at 30,3");
  // Outside the window: both ignored, the text goes on where the cursor was.
  console.GotoXY(console.WindowWidth() + 1, 3);
  console.GotoXY(1, console.WindowHeight() + 1);
  console.Write("+");
  // Wraps at the right edge.
  console.GotoXY(console.WindowWidth() - 5, 5);
  console.Write("wrap-around");
  console.GotoXY(1, 8);
  console.TextBackground(kRed);
  console.TextColor(kWhite);
  console.Write("white on red");
  console.TextBackground(kBlue);
  console.TextColor(kYellow);
  console.Write(" back\a to yellow");
  console.GotoXY(1, 10);
  console.Write("abc\bX line\rLINE");
  // Two more lines than fit below row 24: the window scrolls up twice.
  console.GotoXY(1, console.WindowHeight() - 1);
  console.Write("last but one\r\nlast\r\nscrolled 1\r\nscrolled 2");
  // Key codes go on a row of their own and may wrap onto the next.
  console.GotoXY(1, 12);
  console.Write("keys:");
  console.Flush();

  for (;;) {
    const uint8_t key = console.ReadKey();
    console.Write(" " + std::to_string(key));
    if (key == 'q') break;
  }
  console.GotoXY(1, 1);
  console.Write("done");
  console.Flush();
  return 0;
}

}  // namespace
}  // namespace strikewell

// Input that ends before "q" (a file, say) ends the probe with status 3.
int main() {
  try {
    return strikewell::Run();
  } catch (const strikewell::ConsoleInputEnded&) {
    return 3;
  }
}
