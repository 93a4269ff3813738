// Line input: editing keys, echo, the length limit, lines that wrap and scroll, and
// the three kinds of answer read from typed lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "key_script.h"

namespace strikewell {
namespace {

using testing::Rig;
using testing::TypeScript;

// Backspace only at the end of the line; a typed key overwrites. A control code the
// line keeps is drawn as a character, so the screen still matches the line.
TEST(ConsoleLineInput, EditingKeys) {
  const struct {
    std::string script;  // then Enter
    std::string line;
    int x;  // the cursor's column before Enter
  } cases[] = {
      {"", "", 4},
      {"abc<^S><BS>", "a", 5},
      {"abc<Left><BS>X", "abX", 7},
      {"abc<Home>XY<End>d", "XYcd", 8},
      {"abc<Left><Left><Right>Z", "abZ", 7},
      {"<Left>a<Right><Right>b", "ab", 6},
      {"abc<Left><Left><Left><Left>z", "zbc", 5},
      {"abc<Esc>ok", "ok", 6},
      {"abc<^Y>", "", 4},
      {"abc<Left>", "abc", 6},
      {"a<^Z><F1><Up><Del><PgDn><^Left>b", "ab", 6},
      {"1<KP/>2<Tab>", "1/2\t", 8},
      {"a<^J>b", "a\nb", 7},
      {"x<Home><BS><End><BS>", "", 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    // The keys run out before Enter: the screen shows the state they left.
    Rig before_enter;
    before_enter.console.Write("N? ");
    TypeScript(before_enter.raw, c.script);
    EXPECT_THROW(before_enter.console.ReadLine(), ConsoleInputEnded);
    EXPECT_EQ(before_enter.raw.cursor_x, c.x);
    EXPECT_EQ(before_enter.raw.cursor_y, 1);

    Rig rig;
    rig.console.Write("N? ");
    TypeScript(rig.raw, c.script + "<Enter>");
    EXPECT_EQ(rig.console.ReadLine(), c.line);
    // The prompt's row shows the line as entered.
    std::string row = "N? " + c.line;
    EXPECT_EQ(rig.raw.Screen(3), row.erase(row.find_last_not_of(' ') + 1) + "\n\n");
    EXPECT_EQ(rig.console.WhereX(), 1);
    EXPECT_EQ(rig.console.WhereY(), 2);
  }
}

TEST(ConsoleLineInput, StopsAtTwoHundredAndFiftyFourCharacters) {
  const std::string full(Console::kMaxLineLength, 'x');
  const struct {
    std::string script;
    std::string line;
  } cases[] = {
      {full + "yz<Enter>", full},
      {full + "y<BS>z<Enter>", full.substr(0, 253) + "z"},
      {full + "<Esc>ok<Enter>", "ok"},
      // Overwriting inside a full line is still allowed.
      {full + "<Home>A<End>B<Enter>", "A" + full.substr(1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 4));
    Rig rig;
    TypeScript(rig.raw, c.script);
    EXPECT_EQ(rig.console.ReadLine(), c.line);
    // Wrapped at the right edge, nothing below it.
    for (size_t y = 0; y < 5; ++y) {
      EXPECT_EQ(rig.raw.Row(static_cast<int>(y) + 1),
                c.line.substr(std::min(c.line.size(), y * 80), 80));
    }
  }
}

// A prompt that leaves two columns: the line wraps onto the next row.
TEST(ConsoleLineInput, LineAcrossARowBoundary) {
  Rig rig;
  rig.console.Write(std::string(78, '-'));
  TypeScript(rig.raw, "abcd<BS><BS><BS>");
  EXPECT_THROW(rig.console.ReadLine(), ConsoleInputEnded);
  EXPECT_EQ(rig.raw.Screen(3), std::string(78, '-') + "a\n\n");
  EXPECT_EQ(rig.raw.cursor_x, 80);
  EXPECT_EQ(rig.raw.cursor_y, 1);

  // Enter with the cursor inside the line goes below the whole line.
  Rig enter;
  enter.console.Write(std::string(78, '-'));
  TypeScript(enter.raw, "abcdef<Home><Enter>");
  EXPECT_EQ(enter.console.ReadLine(), "abcdef");
  enter.console.Write("next");
  EXPECT_EQ(enter.raw.Screen(4), std::string(78, '-') + "ab\ncdef\nnext\n");
}

TEST(ConsoleLineInput, LineThatScrollsTheWindowIsStillErasedCleanly) {
  // A 10x3 window: the prompt on the bottom row, the line scrolls it up twice.
  const auto rig_with = [](Rig& rig, const char* script) {
    rig.console.WriteLn("top");
    rig.console.WriteLn("mid");
    rig.console.Write("N? ");
    TypeScript(rig.raw, script);
  };
  Rig rig(10, 3);
  rig_with(rig, "0123456789abcdefg<Home>");
  EXPECT_THROW(rig.console.ReadLine(), ConsoleInputEnded);
  EXPECT_EQ(rig.raw.Screen(3), "N? 0123456\n789abcdefg\n");
  EXPECT_EQ(rig.raw.cursor_x, 4);
  EXPECT_EQ(rig.raw.cursor_y, 1);

  Rig erased(10, 3);
  rig_with(erased, "0123456789abcdefg<Esc>z<Enter>");
  EXPECT_EQ(erased.console.ReadLine(), "z");
  // The line filled the bottom-right cell, which scrolled in a third row.
  EXPECT_EQ(erased.raw.Screen(3), "N? z\n\n");
}

TEST(ConsoleWordAnswer, SkipsEmptyLinesAndTakesOneWord) {
  const struct {
    std::vector<std::string> lines;
    std::string word;
    std::string screen;
  } cases[] = {
      {{"3"}, "3", "3\n"},
      {{"", "  ", "\t", " 42 rest"}, "42", "\n\n\t\n 42 rest\n"},
      {{"\x01\x02 12\x01"}, "12", "\x01\x02 12\x01\n"},
      {{"\xe9t\xe9"}, "\xe9t\xe9", "\xe9t\xe9\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    Rig rig;
    for (const std::string& line : c.lines) rig.raw.TypeLine(line);
    rig.raw.TypeLine("after");
    EXPECT_EQ(rig.console.ReadWordSkippingEmptyLines(), c.word);
    EXPECT_EQ(rig.raw.Screen(static_cast<int>(c.lines.size()) + 1), c.screen);
    // The rest of the word's line is gone; the next read gets a new line.
    EXPECT_EQ(rig.console.ReadLine(), "after");
  }
}

TEST(ConsoleWordAnswer, WaitsThroughEmptyLinesUntilInputEnds) {
  Rig rig;
  rig.raw.TypeLine("");
  rig.raw.TypeLine("   ");
  EXPECT_THROW(rig.console.ReadWordSkippingEmptyLines(), ConsoleInputEnded);
  EXPECT_EQ(rig.console.WhereY(), 3);
}

TEST(ConsoleTextAnswers, EachKindConsumesExactlyOneLine) {
  Rig rig;
  rig.raw.TypeLine("junk to throw away");
  rig.raw.TypeLine("");
  rig.raw.TypeLine(" 250 ms");
  rig.raw.TypeLine("5 6");
  rig.raw.TypeLine("7");
  rig.console.ReadBareLine();
  EXPECT_EQ(rig.console.ReadLine(), "");
  EXPECT_EQ(rig.console.ReadLine(), " 250 ms");
  EXPECT_EQ(rig.console.ReadWordSkippingEmptyLines(), "5");
  EXPECT_EQ(rig.console.ReadWordSkippingEmptyLines(), "7");
  EXPECT_EQ(rig.raw.Screen(6), "junk to throw away\n\n 250 ms\n5 6\n7\n");
}

}  // namespace
}  // namespace strikewell
