// Terminal bytes to key codes, and the keyboard BIOS's extended codes.
#include "platform/key_decoder.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/bios_keys.h"

namespace strikewell {
namespace {

// Keys as text: a one-part key as its code, a two-part key as "0,code".
std::string Drain(KeyDecoder& decoder) {
  std::string text;
  while (std::optional<KeyEvent> k = decoder.Next()) {
    if (!text.empty()) text += ' ';
    text += (k->extended ? "0," : "") + std::to_string(k->code);
  }
  return text;
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
  return Drain(decoder);
}

TEST(KeyDecoder, DecodesTheKeysTerminalsSend) {
  const struct {
    const char* name;
    std::string bytes;
    std::string keys;
  } cases[] = {
      {"characters and control keys stay", "aZ1 \x03\x13\t\xe9", "97 90 49 32 3 19 9 233"},
      {"CR, LF and CR LF are each one Enter", "\r\n\n", "13 13"},
      {"both Backspaces", "\x7f\x08", "8 8"},
      {"CSI and SS3 arrows, Home and End", "\x1b[A\x1b[D\x1bOB\x1bOC\x1b[H\x1bOF",
       "0,72 0,75 0,80 0,77 0,71 0,79"},
      {"VT220 navigation", "\x1b[1~\x1b[2~\x1b[3~\x1b[4~\x1b[5~\x1b[6~\x1b[7~\x1b[8~",
       "0,71 0,82 0,83 0,79 0,73 0,81 0,71 0,79"},
      {"function keys: SS3, Linux console, tilde",
       "\x1bOP\x1bOS\x1b[[A\x1b[[E\x1b[11~\x1b[15~\x1b[17~\x1b[21~\x1b[23~\x1b[24~",
       "0,59 0,62 0,59 0,63 0,59 0,63 0,64 0,68 0,133 0,134"},
      {"modified arrows, navigation and function keys",
       "\x1b[1;5D\x1b[1;5A\x1b[1;2C\x1b[1;3D\x1bO5D\x1b[1;5H\x1b[1;5F\x1b[5;5~\x1b[6;5~"
       "\x1b[1;2P\x1b[21;2~\x1b[1;5P\x1b[1;3P\x1b[24;5~",
       "0,115 0,141 0,77 0,155 0,115 0,119 0,117 0,132 0,118 0,84 0,93 0,94 0,104 0,138"},
      {"Shift Tab, keypad centre, rxvt Shift and Ctrl keys", "\x1b[Z\x1b[E\x1b[d\x1bOc\x1b[3^",
       "0,15 0,76 0,75 0,116 0,147"},
      {"application keypad", "\x1bOM\x1bOp\x1bOy\x1bOo\x1bOj", "13 48 57 47 42"},
      {"Alt letters, digits, Enter, Backspace", "\x1bq\x1b\x61\x1b\x31\x1b\r\x1b\x7f",
       "0,16 0,30 0,120 0,28 0,14"},
      {"Escape then arrow", "\x1b\x1b[A", "27 0,72"},
      {"Escape then a symbol without Alt code", "\x1b!", "27 33"},
      {"Escape and [ or O typed slowly", "\x1b[|\x1bO|", "27 91 27 79"},
      {"sequence cut short is dropped", "\x1b[1;|x", "120"},
      {"unknown keys and reports swallowed",
       "\x1b[99~a\x1b[5zb\x1b[I\x1b[Oc\x1b[<0;10;5Md\x1b[?1;2ce", "97 98 99 100 101"},
      {"overlong sequence swallowed", "\x1b[" + std::string(60, '1') + "~e", "101"},
      {"control byte ends a sequence", "\x1b[1\r", "13"},
      {"Escape restarts a sequence", "\x1b[1\x1b[D", "0,75"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Decode(c.bytes), c.keys);
  }
}

// A sequence split across reads is one key; a lone Escape waits for the quiet gap.
TEST(KeyDecoder, SequenceStateAcrossReads) {
  KeyDecoder decoder;
  for (char c : std::string("\x1b[")) {
    decoder.Feed(static_cast<uint8_t>(c));
    EXPECT_TRUE(decoder.InSequence());
    EXPECT_EQ(Drain(decoder), "");
  }
  decoder.Feed('D');
  EXPECT_FALSE(decoder.InSequence());
  EXPECT_EQ(Drain(decoder), "0,75");

  decoder.Feed(0x1b);
  EXPECT_EQ(Drain(decoder), "");
  decoder.QuietGap();
  EXPECT_FALSE(decoder.InSequence());
  EXPECT_EQ(Drain(decoder), "27");
  decoder.Feed('q');
  EXPECT_EQ(Drain(decoder), "113");
}

// Modifier cases that no terminal sequence above reaches; Alt wins over Ctrl.
TEST(BiosKeys, ExtendedCodesWithModifiers) {
  EXPECT_EQ(ExtendedCode(bios::kF1, KeyModifiers{.ctrl = true, .alt = true}), 104);
  EXPECT_EQ(ExtendedCode(bios::kIns, KeyModifiers{.ctrl = true}), 146);
  EXPECT_EQ(ExtendedCode(bios::kDel, KeyModifiers{.alt = true}), 163);
  EXPECT_EQ(ExtendedCode(bios::kF12, KeyModifiers{.alt = true}), 140);
  EXPECT_EQ(ExtendedCode(bios::kCentre, KeyModifiers{.alt = true}), 76);
  EXPECT_EQ(AltCharCode('!'), 0);
  EXPECT_EQ(AltCharCode(0xE9), 0);
}

}  // namespace
}  // namespace strikewell
