// Line input: editing keys, echo, the length limit, lines that wrap and scroll, and
// the three kinds of answer read from typed lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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
      {"abc<Left><Left><Left><Left>z<Right>Z", "zbZ", 7},
      {"<Left>a<Right><Right>b", "ab", 6},
      {"abc<Esc>ok", "ok", 6},
      {"abc<^Y>", "", 4},
      {"a<^Z><F1><Up><Del><PgDn><^Left>b", "ab", 6},
      {"1<KP/>2<Tab>", "1/2\t", 8},
      {"a<^J>b", "a\nb", 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    // The keys run out before Enter: the cursor is where they left it.
    Rig before_enter;
    before_enter.console.Write("N? ");
    TypeScript(before_enter.raw, c.script);
    EXPECT_THROW(before_enter.console.ReadLine(), ConsoleInputEnded);
    EXPECT_EQ(before_enter.raw.cursor_x, c.x);

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

// A prompt that leaves two columns: the line wraps onto the next row, and Enter inside
// the line goes below the whole line.
TEST(ConsoleLineInput, EnterInsideALineAcrossARowBoundary) {
  Rig rig;
  rig.console.Write(std::string(78, '-'));
  TypeScript(rig.raw, "abcdef<Home><Enter>");
  EXPECT_EQ(rig.console.ReadLine(), "abcdef");
  rig.console.Write("next");
  EXPECT_EQ(rig.raw.Screen(4), std::string(78, '-') + "ab\ncdef\nnext\n");
}

// A 10x3 window: the prompt on the bottom row, the line scrolls it up twice; erasing
// goes back across both row boundaries.
TEST(ConsoleLineInput, LineThatScrollsTheWindowIsStillErasedCleanly) {
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

// An offered line stands as if typed: Enter takes it, Backspace edits it, Escape
// clears it.
TEST(ConsoleLineInput, AnOfferedLineIsEditedLikeATypedOne) {
  const struct {
    std::string script;  // then Enter
    std::string line;
  } cases[] = {
      {"", "ann@example.org"},
      {"<BS><BS><BS>com", "ann@example.com"},
      {"<Esc>bob@example.org", "bob@example.org"},
      {"<Home>J", "Jnn@example.org"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    Rig rig;
    rig.console.Write("Email: ");
    TypeScript(rig.raw, c.script + "<Enter>");
    EXPECT_EQ(rig.console.ReadLine("ann@example.org"), c.line);
    EXPECT_EQ(rig.raw.Row(1), "Email: " + c.line);
    EXPECT_EQ(rig.console.WhereY(), 2);
  }
}

// Nothing of a hidden line reaches the screen, not even its length.
TEST(ConsoleLineInput, AHiddenLineShowsNothing) {
  const struct {
    std::string script;  // then Enter
    std::string line;
  } cases[] = {
      {"s3cret pw", "s3cret pw"},
      {"abc<BS>d", "abd"},
      {"abc<Esc>xy", "xy"},
      {"a<Left><Home><F1>b<KP/>", "ab/"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    Rig rig;
    rig.console.Write("Password: ");
    TypeScript(rig.raw, c.script + "<Enter>");
    EXPECT_EQ(rig.console.ReadHiddenLine(), c.line);
    EXPECT_EQ(rig.raw.Screen(3), "Password:\n\n");
    EXPECT_EQ(rig.console.WhereX(), 1);
    EXPECT_EQ(rig.console.WhereY(), 2);
  }
}

// A word skips blanks, control characters and empty lines, and takes the rest of its
// line with it; every kind of answer reads whole lines.
TEST(ConsoleTextAnswers, EachKindConsumesWholeLines) {
  Rig rig;
  for (const char* line : {"junk to throw away", "", " 250 ms", "", "  ", "\t", " 42 rest",
                           "\x01\x02 12\x01", "\xe9t\xe9", "after", "", "  "}) {
    rig.raw.TypeLine(line);
  }
  rig.console.ReadBareLine();
  EXPECT_EQ(rig.console.ReadLine(), "");
  EXPECT_EQ(rig.console.ReadLine(), " 250 ms");
  EXPECT_EQ(rig.console.ReadWordSkippingEmptyLines(), "42");
  EXPECT_EQ(rig.console.ReadWordSkippingEmptyLines(), "12");
  EXPECT_EQ(rig.console.ReadWordSkippingEmptyLines(), "\xe9t\xe9");
  EXPECT_EQ(rig.console.ReadLine(), "after");
  // Only empty lines follow: the wait for a word lasts until input ends.
  EXPECT_THROW(rig.console.ReadWordSkippingEmptyLines(), ConsoleInputEnded);
  EXPECT_EQ(
      rig.raw.Screen(13),
      "junk to throw away\n\n 250 ms\n\n\n\t\n 42 rest\n\x01\x02 12\x01\n\xe9t\xe9\nafter\n\n\n");
}

}  // namespace
}  // namespace strikewell
