// Terminal bytes to key codes, and the keyboard BIOS's extended codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/bios_keys.h"
#include "platform/key_decoder.h"

namespace strikewell {
namespace {

// Keys written as text: a one-part key as its code, a two-part key as "0,code".
std::string Describe(const std::vector<KeyEvent>& keys) {
  std::string text;
  for (const KeyEvent& k : keys) {
    if (!text.empty()) text += ' ';
    if (k.extended) text += "0,";
    text += std::to_string(k.code);
  }
  return text;
}

std::vector<KeyEvent> Drain(KeyDecoder& decoder) {
  std::vector<KeyEvent> keys;
  while (std::optional<KeyEvent> k = decoder.Next()) keys.push_back(*k);
  return keys;
}

// Feeds the bytes; "|" in the input stands for the quiet gap.
std::string Decode(const std::string& input) {
  KeyDecoder decoder;
  for (char c : input) {
    if (c == '|') {
      decoder.QuietGap();
    } else {
      decoder.Feed(static_cast<uint8_t>(c));
    }
  }
  return Describe(Drain(decoder));
}

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::string keys;
};

TEST(KeyDecoder, DecodesTheKeysTerminalsSend) {
  const std::vector<DecodeCase> cases = {
      {"letters", "aZ1 ", "97 90 49 32"},
      {"Enter as carriage return", "\r", "13"},
      {"Enter as line feed", "\n", "13"},
      {"CR LF is one Enter", "\r\n\n", "13 13"},
      {"Backspace as DEL", "\x7f", "8"},
      {"Backspace as BS", "\x08", "8"},
      {"control keys stay", "\x03\x13\x19\x1a\t", "3 19 25 26 9"},
      {"high bytes stay", "\xe9", "233"},
      {"CSI arrows", "\x1b[A\x1b[B\x1b[D\x1b[C", "0,72 0,80 0,75 0,77"},
      {"SS3 arrows", "\x1bOA\x1bOB\x1bOD\x1bOC", "0,72 0,80 0,75 0,77"},
      {"Home and End", "\x1b[H\x1b[F\x1bOH\x1bOF", "0,71 0,79 0,71 0,79"},
      {"VT220 navigation", "\x1b[1~\x1b[2~\x1b[3~\x1b[4~\x1b[5~\x1b[6~\x1b[7~\x1b[8~",
       "0,71 0,82 0,83 0,79 0,73 0,81 0,71 0,79"},
      {"F1-F4 SS3", "\x1bOP\x1bOQ\x1bOR\x1bOS", "0,59 0,60 0,61 0,62"},
      {"F1-F5 tilde", "\x1b[11~\x1b[12~\x1b[13~\x1b[14~\x1b[15~", "0,59 0,60 0,61 0,62 0,63"},
      {"F6-F10", "\x1b[17~\x1b[18~\x1b[19~\x1b[20~\x1b[21~", "0,64 0,65 0,66 0,67 0,68"},
      {"F11 F12", "\x1b[23~\x1b[24~", "0,133 0,134"},
      {"Linux console F1-F5", "\x1b[[A\x1b[[E", "0,59 0,63"},
      {"Ctrl arrows", "\x1b[1;5D\x1b[1;5C\x1b[1;5A\x1b[1;5B", "0,115 0,116 0,141 0,145"},
      {"Shift arrows read as plain", "\x1b[1;2D\x1b[1;2C", "0,75 0,77"},
      {"Alt arrows", "\x1b[1;3D\x1b[1;3C", "0,155 0,157"},
      {"Ctrl Home End PgUp PgDn", "\x1b[1;5H\x1b[1;5F\x1b[5;5~\x1b[6;5~",
       "0,119 0,117 0,132 0,118"},
      {"Shift F1 and F10", "\x1b[1;2P\x1b[21;2~", "0,84 0,93"},
      {"Ctrl F1, Alt F1", "\x1b[1;5P\x1b[1;3P", "0,94 0,104"},
      {"modified F11 F12", "\x1b[23;2~\x1b[24;5~\x1b[23;3~", "0,135 0,138 0,139"},
      {"SS3 with modifier", "\x1bO5D", "0,115"},
      {"Shift Tab", "\x1b[Z", "0,15"},
      {"keypad centre", "\x1b[E", "0,76"},
      {"rxvt Shift and Ctrl arrows", "\x1b[d\x1bOc", "0,75 0,116"},
      {"rxvt Ctrl Del", "\x1b[3^", "0,147"},
      {"application keypad", "\x1bOM\x1bOp\x1bOy\x1bOo\x1bOj", "13 48 57 47 42"},
      {"Alt letters and digits",
       "\x1bq\x1b"
       "a\x1b"
       "1\x1b"
       "0",
       "0,16 0,30 0,120 0,129"},
      {"Alt Enter and Backspace", "\x1b\r\x1b\x7f", "0,28 0,14"},
      {"lone Escape after the gap", "\x1b|", "27"},
      {"lone Escape then a letter later", "\x1b|x", "27 120"},
      {"two Escapes", "\x1b\x1b|", "27 27"},
      {"Escape then arrow", "\x1b\x1b[A", "27 0,72"},
      {"Escape then a symbol without Alt code", "\x1b!", "27 33"},
      {"Escape and [ typed slowly", "\x1b[|", "27 91"},
      {"Escape and O typed slowly", "\x1bO|", "27 79"},
      {"sequence cut short is dropped", "\x1b[1;|x", "120"},
      {"unknown tilde key swallowed", "\x1b[99~a", "97"},
      {"unknown final swallowed", "\x1b[5za", "97"},
      {"focus report swallowed", "\x1b[I\x1b[Ob", "98"},
      {"mouse report swallowed", "\x1b[<0;10;5Mc", "99"},
      {"private reply swallowed", "\x1b[?1;2cd", "100"},
      {"overlong sequence swallowed", "\x1b[" + std::string(60, '1') + "~e", "101"},
      {"control byte ends a sequence", "\x1b[1\r", "13"},
      {"Escape restarts a sequence", "\x1b[1\x1b[D", "0,75"},
      {"gap with nothing pending", "a|b", "97 98"},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Decode(c.bytes), c.keys);
  }
}

TEST(KeyDecoder, ArrowSplitAcrossReadsIsOneKey) {
  KeyDecoder decoder;
  decoder.Feed(0x1b);
  EXPECT_TRUE(decoder.InSequence());
  EXPECT_FALSE(decoder.Next());
  decoder.Feed('[');
  EXPECT_TRUE(decoder.InSequence());
  EXPECT_FALSE(decoder.Next());
  decoder.Feed('D');
  EXPECT_FALSE(decoder.InSequence());
  EXPECT_EQ(Describe(Drain(decoder)), "0,75");
}

TEST(KeyDecoder, LoneEscapeWaitsForTheGap) {
  KeyDecoder decoder;
  decoder.Feed(0x1b);
  EXPECT_TRUE(decoder.InSequence());
  EXPECT_FALSE(decoder.Next());
  decoder.QuietGap();
  EXPECT_FALSE(decoder.InSequence());
  EXPECT_EQ(Describe(Drain(decoder)), "27");
  decoder.Feed('q');
  EXPECT_EQ(Describe(Drain(decoder)), "113");
}

TEST(KeyDecoder, KeysComeOutInTheOrderTyped) {
  EXPECT_EQ(Decode("ab\x1b[Dc\r"), "97 98 0,75 99 13");
}

struct ExtendedCase {
  uint8_t base;
  KeyModifiers mods;
  uint8_t code;
};

TEST(BiosKeys, ExtendedCodesWithModifiers) {
  const KeyModifiers none;
  const KeyModifiers shift{.shift = true};
  const KeyModifiers ctrl{.ctrl = true};
  const KeyModifiers alt{.alt = true};
  const KeyModifiers ctrl_alt{.ctrl = true, .alt = true};
  const std::vector<ExtendedCase> cases = {
      {bios::kLeft, none, 75},         {bios::kLeft, ctrl, 115},   {bios::kRight, ctrl, 116},
      {bios::kLeft, shift, 75},        {bios::kLeft, alt, 155},    {bios::kUp, ctrl, 141},
      {bios::kDown, alt, 154},         {bios::kHome, ctrl, 119},   {bios::kEnd, ctrl, 117},
      {bios::kPgUp, ctrl, 132},        {bios::kPgDn, ctrl, 118},   {bios::kIns, ctrl, 146},
      {bios::kDel, alt, 163},          {bios::kF1, none, 59},      {bios::kF1, shift, 84},
      {bios::kF1, ctrl, 94},           {bios::kF1, alt, 104},      {bios::kF10, shift, 93},
      {bios::kF10, ctrl, 103},         {bios::kF10, alt, 113},     {bios::kF11, shift, 135},
      {bios::kF12, alt, 140},          {bios::kF1, ctrl_alt, 104}, {bios::kCentre, alt, 76},
      {bios::kKeypadSlash, ctrl, 149},
  };
  for (const ExtendedCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "base " << int{c.base} << " shift " << c.mods.shift
                                      << " ctrl " << c.mods.ctrl << " alt " << c.mods.alt);
    EXPECT_EQ(ExtendedCode(c.base, c.mods), c.code);
  }
}

TEST(BiosKeys, AltCharacterCodes) {
  const std::string keys = "qwertyuiopasdfghjklzxcvbnmQ1234567890-=";
  const std::vector<int> codes = {16, 17,  18,  19,  20,  21,  22,  23,  24,  25,  30,  31,  32,
                                  33, 34,  35,  36,  37,  38,  44,  45,  46,  47,  48,  49,  50,
                                  16, 120, 121, 122, 123, 124, 125, 126, 127, 128, 129, 130, 131};
  ASSERT_EQ(keys.size(), codes.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(AltCharCode(static_cast<uint8_t>(keys[i])), codes[i]) << keys[i];
  }
  EXPECT_EQ(AltCharCode('!'), 0);
  EXPECT_EQ(AltCharCode(0xE9), 0);
}

}  // namespace
}  // namespace strikewell
