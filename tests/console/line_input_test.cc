// Line input: editing keys, echo, the length limit, lines that wrap and scroll, and
// the three kinds of answer read from typed lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_clock.h"
#include "fake_console.h"
#include "key_script.h"
#include "platform/console.h"

namespace strikewell {
namespace {

using testing::FakeClock;
using testing::FakeRawConsole;
using testing::TypeScript;

struct Rig {
  explicit Rig(int width = 80, int height = 25) : raw(clock, width, height), console(raw, clock) {}
  FakeClock clock;
  FakeRawConsole raw;
  Console console;
};

// The screen after a line was entered at the top left of an 80-column window: the
// line wrapped at the right edge, then empty rows.
std::string Wrapped(const std::string& line, int rows) {
  std::string screen;
  int row = 0;
  for (size_t i = 0; i < line.size(); i += 80, ++row) {
    if (row > 0) screen += '\n';
    screen += line.substr(i, 80);
  }
  if (line.empty()) row = 1;
  for (; row < rows; ++row) screen += '\n';
  return screen;
}

struct EditCase {
  const char* script;
  std::string line;
  std::string row;  // the prompt's row after the line was entered
};

TEST(ConsoleLineInput, EditingKeys) {
  const std::vector<EditCase> cases = {
      {"abc<Enter>", "abc", "N? abc"},
      {"<Enter>", "", "N?"},
      {"abc<BS><Enter>", "ab", "N? ab"},
      {"abc<^S><BS><Enter>", "a", "N? a"},
      {"<BS>a<Enter>", "a", "N? a"},
      // Backspace only at the end of the line; a typed key overwrites.
      {"abc<Left><BS>X<Enter>", "abX", "N? abX"},
      {"abc<Home>XY<Enter>", "XYc", "N? XYc"},
      {"abc<Home><End>d<Enter>", "abcd", "N? abcd"},
      {"abc<Left><Left><Right>Z<Enter>", "abZ", "N? abZ"},
      {"<Left>a<Right><Right>b<Enter>", "ab", "N? ab"},
      {"abc<Left><Left><Left><Left>z<Enter>", "zbc", "N? zbc"},
      {"abc<Esc>xy<Enter>", "xy", "N? xy"},
      {"abc<^Y><Enter>", "", "N?"},
      {"abc<Home><Esc>z<Enter>", "z", "N? z"},
      {"abc<Left><Enter>", "abc", "N? abc"},
      {"a<^Z>b<Enter>", "ab", "N? ab"},
      {"a<F1><Up><Del><PgDn><^Left>b<Enter>", "ab", "N? ab"},
      {"1<KP/>2<Enter>", "1/2", "N? 1/2"},
      {"a<Tab>b<Enter>", "a\tb", "N? a\tb"},
      // A control code the line keeps is drawn as a character, so the screen still
      // matches the line.
      {"a<^J>b<Enter>", "a\nb", "N? a\nb"},
      {"x<Home><BS><End><BS><Enter>", "", "N?"},
  };
  for (const EditCase& c : cases) {
    SCOPED_TRACE(c.script);
    Rig rig;
    rig.console.Write("N? ");
    TypeScript(rig.raw, c.script);
    EXPECT_EQ(rig.console.ReadLine(), c.line);
    EXPECT_EQ(rig.raw.Screen(3), c.row + "\n\n");
    EXPECT_EQ(rig.console.WhereX(), 1);
    EXPECT_EQ(rig.console.WhereY(), 2);
  }
}

TEST(ConsoleLineInput, EditedCursorPositionsOnScreen) {
  struct Case {
    const char* script;
    int x;
  };
  const std::vector<Case> cases = {
      {"abcd", 8},   {"abcd<Left><Left>", 6}, {"abcd<Home>", 4},        {"abcd<Home><End>", 8},
      {"ab<BS>", 5}, {"abc<Esc>", 4},         {"abcd<Home><Right>", 5}, {"abcd<Home>X", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    Rig rig;
    rig.console.Write("N? ");
    TypeScript(rig.raw, c.script);
    // The keys run out before Enter; the screen shows the state they left.
    EXPECT_THROW(rig.console.ReadLine(), ConsoleInputEnded);
    EXPECT_EQ(rig.raw.cursor_x, c.x);
    EXPECT_EQ(rig.raw.cursor_y, 1);
  }
}

TEST(ConsoleLineInput, StopsAtTwoHundredAndFiftyFourCharacters) {
  const std::string full(Console::kMaxLineLength, 'x');
  struct Case {
    std::string script;
    std::string line;
  };
  const std::vector<Case> cases = {
      {full + "yz<Enter>", full},
      {full + "y<BS>z<Enter>", full.substr(0, 253) + "z"},
      {full + "<Esc>ok<Enter>", "ok"},
      {full + "<^Y><Enter>", ""},
      // Overwriting inside a full line is still allowed.
      {full + "<Home>A<End>B<Enter>", "A" + full.substr(1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 4));
    Rig rig;
    TypeScript(rig.raw, c.script);
    EXPECT_EQ(rig.console.ReadLine(), c.line);
    EXPECT_EQ(rig.raw.Screen(5), Wrapped(c.line, 5));
  }
}

TEST(ConsoleLineInput, BackspaceAcrossARowBoundary) {
  Rig rig;
  rig.console.Write(std::string(78, '-'));
  TypeScript(rig.raw, "abcd<BS><BS><BS>");
  EXPECT_THROW(rig.console.ReadLine(), ConsoleInputEnded);
  EXPECT_EQ(rig.raw.Screen(3), std::string(78, '-') + "a\n\n");
  EXPECT_EQ(rig.raw.cursor_x, 80);
  EXPECT_EQ(rig.raw.cursor_y, 1);
}

TEST(ConsoleLineInput, EnterOnAWrappedLineGoesBelowTheWholeLine) {
  Rig rig;
  rig.console.Write(std::string(78, '-'));
  TypeScript(rig.raw, "abcdef<Home><Enter>");
  EXPECT_EQ(rig.console.ReadLine(), "abcdef");
  rig.console.Write("next");
  EXPECT_EQ(rig.raw.Screen(4), std::string(78, '-') + "ab\ncdef\nnext\n");
}

TEST(ConsoleLineInput, LineThatScrollsTheWindowIsStillErasedCleanly) {
  // A 10x3 window: the prompt on the bottom row, the line scrolls it up twice.
  Rig rig(10, 3);
  rig.console.WriteLn("top");
  rig.console.WriteLn("mid");
  rig.console.Write("N? ");
  TypeScript(rig.raw, "0123456789abcdefg<Home>");
  EXPECT_THROW(rig.console.ReadLine(), ConsoleInputEnded);
  EXPECT_EQ(rig.raw.Screen(3), "N? 0123456\n789abcdefg\n");
  EXPECT_EQ(rig.raw.cursor_x, 4);
  EXPECT_EQ(rig.raw.cursor_y, 1);

  Rig rig2(10, 3);
  rig2.console.WriteLn("top");
  rig2.console.WriteLn("mid");
  rig2.console.Write("N? ");
  TypeScript(rig2.raw, "0123456789abcdefg<Esc>z<Enter>");
  EXPECT_EQ(rig2.console.ReadLine(), "z");
  // The line filled the bottom-right cell, which scrolled in a third row.
  EXPECT_EQ(rig2.raw.Screen(3), "N? z\n\n");
}

TEST(ConsoleLineInput, WaitsForKeysThatComeLater) {
  Rig rig;
  rig.raw.Type("4", 2);
  rig.raw.TypeLine("2", 7);
  EXPECT_EQ(rig.console.ReadLine(), "42");
  EXPECT_EQ(rig.clock.NowMillis(), 7);
  EXPECT_EQ(rig.clock.sleeps, std::vector<uint32_t>(7, 1));
}

struct WordCase {
  std::vector<std::string> lines;
  std::string word;
  std::string screen;
};

TEST(ConsoleWordAnswer, SkipsEmptyLinesAndTakesOneWord) {
  const std::vector<WordCase> cases = {
      {{"3"}, "3", "3\n"},
      {{"", "  ", "\t", " 42 rest"}, "42", "\n\n\t\n 42 rest\n"},
      {{"-7x 1"}, "-7x", "-7x 1\n"},
      {{"\x01\x02 12\x01"}, "12", "\x01\x02 12\x01\n"},
      {{"\xe9t\xe9"}, "\xe9t\xe9", "\xe9t\xe9\n"},
  };
  for (const WordCase& c : cases) {
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
