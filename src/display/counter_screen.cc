#include "display/counter_screen.h"

#include <cstdio>

namespace strikewell {
namespace {

constexpr int kGlyphRows = 18;
constexpr int kGlyphWidth = 20;

// Digits 0-9, rows 1-18 top to bottom; each row keeps its leading blanks and has no
// trailing ones.
constexpr std::array<std::array<const char*, kGlyphRows>, 10> kGlyphs = {{
    {{
        // 0
        "        ****",
        "     **********",
        "    ***      ***",
        "   ***         ***",
        "  ***           ***",
        "  ***           ***",
        " ***             ***",
        " ***             ***",
        " ***             ***",
        " ***             ***",
        " ***             ***",
        " ***             ***",
        "  ***           ***",
        "  ***           ***",
        "   ***         ***",
        "    ***      ***",
        "     **********",
        "        ****",
    }},
    {{
        // 1
        "        ***",
        "     ******",
        "    *** ***",
        "        ***",
        "        ***",
        "        ***",
        "        ***",
        "        ***",
        "        ***",
        "        ***",
        "        ***",
        "        ***",
        "        ***",
        "        ***",
        "        ***",
        "      *******",
        "      *******",
        "      *******",
    }},
    {{
        // 2
        "      *****",
        "   **********",
        "  ****    *****",
        "             ***",
        "              ***",
        "              ***",
        "              ***",
        "              ***",
        "             ***",
        "            ***",
        "          ***",
        "        ***",
        "      ***",
        "    ***",
        "   ***",
        "   **************",
        "   **************",
        "   **************",
    }},
    {{
        // 3
        "   **************",
        "   **************",
        "             ***",
        "            ***",
        "           ***",
        "          ***",
        "       *****",
        "      ********",
        "      *******",
        "           ****",
        "             ***",
        "               ***",
        "               ***",
        "               ***",
        "             ***",
        "  *****    *****",
        "   ************",
        "      *****",
    }},
    {{
        // 4
        "            ***",
        "         ******",
        "        *** ***",
        "       ***  ***",
        "      ***   ***",
        "     ***    ***",
        "    ***     ***",
        "   ***      ***",
        "  ***       ****",
        "  *****************",
        " ******************",
        "            ***",
        "            ***",
        "            ***",
        "            ***",
        "           ******",
        "           ******",
        "           ******",
    }},
    {{
        // 5
        "   **************",
        "   **************",
        "   **************",
        "   ***",
        "   ***",
        "   ***",
        "   *****",
        "      ********",
        "          *****",
        "             ****",
        "               ***",
        "               ***",
        "               ***",
        "               ***",
        "              ***",
        "   ****      ****",
        "     **********",
        "      *******",
    }},
    {{
        // 6
        "         *****",
        "       **********",
        "     ****     ****",
        "    ***",
        "   ***",
        "   ***",
        "  ******",
        "  *************",
        "  ****       *****",
        " ****          ****",
        " ***             ***",
        " ***             ***",
        "  ***            ***",
        "  ***            ***",
        "   ***          ***",
        "    ****      ***",
        "       *********",
        "        ******",
    }},
    {{
        // 7
        "  *****************",
        "  *****************",
        "  *****************",
        "               ****",
        "               ****",
        "              ****",
        "             ****",
        "            ****",
        "           ****",
        "          ****",
        "         ****",
        "        ****",
        "       ****",
        "      ****",
        "     ****",
        "    ****",
        "   ****",
        "  *****",
    }},
    {{
        // 8
        "      ******",
        "    ***********",
        "   ***      ****",
        "   ***        ***",
        "  ***         ***",
        "   ***       ***",
        "     ***** ****",
        "      ********",
        "     ****  ***",
        "    ***      ****",
        "  ***          ***",
        "  ***           ***",
        "  ***           ***",
        "  ***           ***",
        "   ***         ***",
        "    ****      ****",
        "       **********",
        "        *******",
    }},
    {{
        // 9
        "      ********",
        "    ************",
        "  ***        ****",
        " ***           ***",
        " ***           ***",
        "  ***          ****",
        "    ****       ****",
        "      *************",
        "         **********",
        "                ***",
        "                ***",
        "                ***",
        "                ***",
        "                ***",
        "               ***",
        "   ****       ****",
        "     ***********",
        "       ********",
    }},
}};

// Draws the glyph of digit N with its top-left corner at column X, row Y. The screen
// has just been cleared, so the rows need no blanking.
void WriteChar(Console& console, const GlyphTable& Line, int X, int Y, int N) {
  for (int J = 1; J <= kGlyphRows; ++J) {
    console.GotoXY(X, Y + J - 1);
    console.Write(Line[N][J]);
  }
}

}  // namespace

void SetupFont(GlyphTable& Line) {
  for (int digit = 0; digit < 10; ++digit) {
    Line[digit][0].clear();
    for (int row = 1; row <= kGlyphRows; ++row) Line[digit][row] = kGlyphs[digit][row - 1];
    Line[digit][19].clear();
    Line[digit][20].clear();
  }
}

int32_t TakeClockReading(CounterScreen& screen, int32_t MyCounter, Clock& clock) {
  screen.TimeSaveP = clock.ClockText();
  screen.SecsNow = ConvTime(screen.TimeSaveP);
  if (MyCounter <= 1) screen.SecsFirst = screen.SecsNow;
  // A peal that runs through midnight keeps its elapsed time.
  return SecondsBetween(screen.SecsFirst, screen.SecsNow);
}

std::string CountLine(int32_t MyCounter, int32_t E) {
  return "count =" + std::to_string(MyCounter) + " time from first blow=" + std::to_string(E) +
         " secs";
}

std::string SpeedLine(CounterScreen& screen, int32_t E, double intervals, double blows_per_change) {
  const double interval = E * blows_per_change / intervals;
  const double P = E * blows_per_change * 84.0 / intervals;
  screen.Hrs = static_cast<int32_t>(P) / 60;
  const double M = P - screen.Hrs * 60.0;
  return " APPROX Ave interval=" + Fixed8(interval) +
         " secs peal speed=" + std::to_string(screen.Hrs) + " hrs:" + Fixed8(M) + " mins";
}

void WriteBig(CounterScreen& screen, int32_t Num, int32_t MyCounter, Console& console,
              Clock& clock) {
  const int32_t E = TakeClockReading(screen, MyCounter, clock);

  console.ClrScr();

  // Counts are never negative; the magnitude keeps the glyph index in range whatever
  // a caller passes.
  int64_t rest = Num < 0 ? -int64_t{Num} : int64_t{Num};
  const int Num1 = static_cast<int>(rest % 10);
  rest /= 10;
  const int Num2 = static_cast<int>(rest % 10);
  rest /= 10;
  const int Num3 = static_cast<int>(rest % 10);
  rest /= 10;
  const int Num4 = static_cast<int>(rest % 10);

  if (Num4 > 0) WriteChar(console, screen.Line, 1, 1, Num4);
  if (Num3 > 0 || Num4 > 0) WriteChar(console, screen.Line, 1 + kGlyphWidth, 1, Num3);
  if (Num2 > 0 || Num3 > 0 || Num4 > 0) {
    WriteChar(console, screen.Line, 1 + 2 * kGlyphWidth, 1, Num2);
  }
  WriteChar(console, screen.Line, 1 + 3 * kGlyphWidth, 1, Num1);

  console.GotoXY(1, 21);
  console.Write(CountLine(MyCounter, E));

  if (MyCounter > 1) {
    console.GotoXY(1, 22);
    console.Write(SpeedLine(screen, E, static_cast<double>(MyCounter) - 1, 1));
  }

  console.GotoXY(1, 23);
  console.Write(kKeyLine);
}

}  // namespace strikewell
