// The window model, colours and the text output rules, over the fake console.
#include <gtest/gtest.h>

#include <string>

#include "key_script.h"

namespace strikewell {
namespace {

using testing::Rig;

// TextColor sets the foreground and blink bits, TextBackground bits 4 to 6.
TEST(ConsoleColours, ChangeOnlyTheirOwnBits) {
  const auto after = [](uint8_t start, void (Console::*set)(uint8_t), uint8_t colour) {
    Rig rig(80, 25, start);
    (rig.console.*set)(colour);
    return rig.console.TextAttr();
  };
  EXPECT_EQ(after(0x17, &Console::TextColor, 0x8E), 0x9E);
  EXPECT_EQ(after(0x17, &Console::TextColor, 0xFF), 0x9F);
  EXPECT_EQ(after(0x9E, &Console::TextColor, 0x02), 0x12);
  EXPECT_EQ(after(0x8E, &Console::TextBackground, 9), 0x9E);
  EXPECT_EQ(after(0x0E, &Console::TextBackground, 0xFF), 0x7E);
  EXPECT_EQ(after(0xFF, &Console::TextBackground, 0), 0x8F);
}

// Colours apply to what is drawn afterwards, not to the screen as it is.
TEST(ConsoleColours, StartUpGivesYellowOnBlueOnlyAfterTheClear) {
  Rig rig;
  rig.console.TextBackground(1);
  rig.console.TextColor(14);
  EXPECT_EQ(rig.raw.At(80, 25).attr, 0x07);
  rig.console.GotoXY(30, 10);
  rig.console.ClrScr();
  rig.console.Write("Hi");
  EXPECT_EQ(rig.raw.Screen(25), "Hi" + std::string(24, '\n'));
  for (int y = 1; y <= 25; ++y) {
    for (int x = 1; x <= 80; ++x) ASSERT_EQ(rig.raw.At(x, y).attr, 0x1E) << x << "," << y;
  }
  EXPECT_EQ(rig.raw.cursor_x, 3);
  EXPECT_EQ(rig.raw.cursor_y, 1);
}

TEST(ConsoleGotoXY, OutsideTheWindowIsIgnored) {
  // A window of 20 rows, as on a small terminal.
  const struct {
    int x;
    int y;
    bool moves;
  } cases[] = {
      {.x = 1, .y = 21, .moves = false}, {.x = 0, .y = 5, .moves = false},
      {.x = 81, .y = 5, .moves = false}, {.x = 5, .y = 0, .moves = false},
      {.x = 1, .y = 1, .moves = true},   {.x = 80, .y = 20, .moves = true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "GotoXY(" << c.x << ", " << c.y << ")");
    Rig rig(80, 20);
    rig.console.GotoXY(5, 7);
    rig.console.GotoXY(c.x, c.y);
    EXPECT_EQ(rig.console.WhereX(), c.moves ? c.x : 5);
    EXPECT_EQ(rig.console.WhereY(), c.moves ? c.y : 7);
    // After an ignored move, text goes on where the cursor stayed.
    rig.console.Write("#");
    EXPECT_EQ(rig.raw.Row(7), c.moves ? "" : "    #");
  }
}

TEST(ConsoleWrite, ControlCodesWrapAndScroll) {
  const struct {
    const char* name;
    std::string text;
    std::string screen;  // the 10x4 window's rows
    int cursor_x;
    int cursor_y;
  } cases[] = {
      {.name = "backspace moves left",
       .text = "ab\bc",
       .screen = "ac\n\n\n",
       .cursor_x = 3,
       .cursor_y = 1},
      {.name = "backspace stops at the left edge",
       .text = "\b\bx",
       .screen = "x\n\n\n",
       .cursor_x = 2,
       .cursor_y = 1},
      {.name = "line feed keeps the column",
       .text = "ab\ncd",
       .screen = "ab\n  cd\n\n",
       .cursor_x = 5,
       .cursor_y = 2},
      {.name = "bell does nothing",
       .text = "a\ab",
       .screen = "ab\n\n\n",
       .cursor_x = 3,
       .cursor_y = 1},
      {.name = "other control codes are drawn",
       .text = "\t\x01\x1b[2J",
       .screen = "\t\x01\x1b[2J\n\n\n",
       .cursor_x = 7,
       .cursor_y = 1},
      {.name = "a full row wraps at once, carriage return",
       .text = "0123456789\rX",
       .screen = "0123456789\nX\n\n",
       .cursor_x = 2,
       .cursor_y = 2},
      {.name = "line feed below the bottom scrolls",
       .text = "a\n\n\n\nb",
       .screen = "\n\n\n b",
       .cursor_x = 3,
       .cursor_y = 4},
      {.name = "bottom-right cell scrolls",
       .text = std::string(40, '#'),
       .screen = "##########\n##########\n##########\n",
       .cursor_x = 1,
       .cursor_y = 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(10, 4);
    rig.console.Write(c.text);
    EXPECT_EQ(rig.raw.Screen(4), c.screen);
    EXPECT_EQ(rig.console.WhereX(), c.cursor_x);
    EXPECT_EQ(rig.console.WhereY(), c.cursor_y);
    EXPECT_EQ(rig.raw.cursor_x, c.cursor_x);
    EXPECT_EQ(rig.raw.cursor_y, c.cursor_y);
  }
}

TEST(ConsoleWrite, ScrolledInRowIsBlankInTheCurrentColours) {
  Rig rig(10, 3, 0x07);
  rig.console.WriteLn("one");
  rig.console.WriteLn("two");
  rig.console.TextBackground(1);
  rig.console.WriteLn("three");
  EXPECT_EQ(rig.raw.Screen(3), "two\nthree\n");
  EXPECT_EQ(rig.raw.At(1, 1).attr, 0x07);
  // Only the cells written take the new colours.
  EXPECT_EQ(rig.raw.At(1, 2).attr, 0x17);
  EXPECT_EQ(rig.raw.At(6, 2).attr, 0x07);
  for (int x = 1; x <= 10; ++x) EXPECT_EQ(rig.raw.At(x, 3).attr, 0x17);
}

TEST(ConsoleFlush, EveryWaitSendsPendingOutputOnce) {
  Rig rig;
  rig.raw.Type("a", 3);
  rig.console.WriteLn("screen");
  EXPECT_EQ(rig.raw.flushes, 0);
  EXPECT_FALSE(rig.console.KeyPressed());
  // Nothing new to send: polling again or flushing does not flush again.
  EXPECT_FALSE(rig.console.KeyPressed());
  rig.console.Flush();
  EXPECT_EQ(rig.raw.flushes, 1);
  rig.console.GotoXY(1, 5);
  rig.console.Delay(1);
  EXPECT_EQ(rig.raw.flushes, 2);
}

}  // namespace
}  // namespace strikewell
