// Terminal bytes to key codes, and the keyboard BIOS's extended codes.
#include "platform/key_decoder.h"

#include <gtest/gtest.h>

#include <initializer_list>
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

// One key as a terminal sends it, and the code the program reads for it.
struct KeyRow {
  const char* key;
  std::string bytes;
  std::string code;
};

// Each row's bytes decode to its key alone, and all the rows sent back to back decode
// to their keys in turn: one sequence ends where the next begins.
void ExpectKeys(std::initializer_list<KeyRow> rows) {
  std::string all_bytes, all_codes;
  for (const KeyRow& row : rows) {
    EXPECT_EQ(Decode(row.bytes), row.code) << row.key;
    all_bytes += row.bytes;
    all_codes += (all_codes.empty() ? "" : " ") + row.code;
  }
  EXPECT_EQ(Decode(all_bytes), all_codes) << "back to back";
}

TEST(KeyDecoder, ArrowsHomeAndEndInTheirCsiAndSs3Forms) {
  ExpectKeys({
      {.key = "Up", .bytes = "\x1b[A", .code = "0,72"},
      {.key = "Left", .bytes = "\x1b[D", .code = "0,75"},
      {.key = "Down, SS3", .bytes = "\x1bOB", .code = "0,80"},
      {.key = "Right, SS3", .bytes = "\x1bOC", .code = "0,77"},
      {.key = "Home", .bytes = "\x1b[H", .code = "0,71"},
      {.key = "End, SS3", .bytes = "\x1bOF", .code = "0,79"},
  });
}

TEST(KeyDecoder, Vt220NavigationKeys) {
  ExpectKeys({
      {.key = "Home", .bytes = "\x1b[1~", .code = "0,71"},
      {.key = "Insert", .bytes = "\x1b[2~", .code = "0,82"},
      {.key = "Delete", .bytes = "\x1b[3~", .code = "0,83"},
      {.key = "End", .bytes = "\x1b[4~", .code = "0,79"},
      {.key = "Page Up", .bytes = "\x1b[5~", .code = "0,73"},
      {.key = "Page Down", .bytes = "\x1b[6~", .code = "0,81"},
      {.key = "Home, rxvt", .bytes = "\x1b[7~", .code = "0,71"},
      {.key = "End, rxvt", .bytes = "\x1b[8~", .code = "0,79"},
  });
}

TEST(KeyDecoder, FunctionKeysInSs3LinuxConsoleAndTildeForms) {
  ExpectKeys({
      {.key = "F1, SS3", .bytes = "\x1bOP", .code = "0,59"},
      {.key = "F4, SS3", .bytes = "\x1bOS", .code = "0,62"},
      {.key = "F1, Linux console", .bytes = "\x1b[[A", .code = "0,59"},
      {.key = "F5, Linux console", .bytes = "\x1b[[E", .code = "0,63"},
      {.key = "F1", .bytes = "\x1b[11~", .code = "0,59"},
      {.key = "F5", .bytes = "\x1b[15~", .code = "0,63"},
      {.key = "F6", .bytes = "\x1b[17~", .code = "0,64"},
      {.key = "F10", .bytes = "\x1b[21~", .code = "0,68"},
      {.key = "F11", .bytes = "\x1b[23~", .code = "0,133"},
      {.key = "F12", .bytes = "\x1b[24~", .code = "0,134"},
  });
}

// Shift alone has no code of its own for the arrows: Shift Right reads as Right.
TEST(KeyDecoder, ModifiedArrowsAndNavigationKeys) {
  ExpectKeys({
      {.key = "Ctrl Left", .bytes = "\x1b[1;5D", .code = "0,115"},
      {.key = "Ctrl Up", .bytes = "\x1b[1;5A", .code = "0,141"},
      {.key = "Shift Right", .bytes = "\x1b[1;2C", .code = "0,77"},
      {.key = "Alt Left", .bytes = "\x1b[1;3D", .code = "0,155"},
      {.key = "Ctrl Left, SS3", .bytes = "\x1bO5D", .code = "0,115"},
      {.key = "Ctrl Home", .bytes = "\x1b[1;5H", .code = "0,119"},
      {.key = "Ctrl End", .bytes = "\x1b[1;5F", .code = "0,117"},
      {.key = "Ctrl Page Up", .bytes = "\x1b[5;5~", .code = "0,132"},
      {.key = "Ctrl Page Down", .bytes = "\x1b[6;5~", .code = "0,118"},
  });
}

TEST(KeyDecoder, ModifiedFunctionKeys) {
  ExpectKeys({
      {.key = "Shift F1", .bytes = "\x1b[1;2P", .code = "0,84"},
      {.key = "Shift F10", .bytes = "\x1b[21;2~", .code = "0,93"},
      {.key = "Ctrl F1", .bytes = "\x1b[1;5P", .code = "0,94"},
      {.key = "Alt F1", .bytes = "\x1b[1;3P", .code = "0,104"},
      {.key = "Ctrl F12", .bytes = "\x1b[24;5~", .code = "0,138"},
  });
}

TEST(KeyDecoder, ShiftTabKeypadCentreAndRxvtModifiedKeys) {
  ExpectKeys({
      {.key = "Shift Tab", .bytes = "\x1b[Z", .code = "0,15"},
      {.key = "keypad centre", .bytes = "\x1b[E", .code = "0,76"},
      {.key = "Shift Left, rxvt", .bytes = "\x1b[d", .code = "0,75"},
      {.key = "Ctrl Right, rxvt", .bytes = "\x1bOc", .code = "0,116"},
      {.key = "Ctrl Delete, rxvt", .bytes = "\x1b[3^", .code = "0,147"},
  });
}

TEST(KeyDecoder, ApplicationKeypadKeysAreTheirCharacters) {
  ExpectKeys({
      {.key = "keypad Enter", .bytes = "\x1bOM", .code = "13"},
      {.key = "keypad 0", .bytes = "\x1bOp", .code = "48"},
      {.key = "keypad 9", .bytes = "\x1bOy", .code = "57"},
      {.key = "keypad /", .bytes = "\x1bOo", .code = "47"},
      {.key = "keypad *", .bytes = "\x1bOj", .code = "42"},
  });
}

TEST(KeyDecoder, AltWithLettersDigitsEnterAndBackspace) {
  ExpectKeys({
      {.key = "Alt q", .bytes = "\x1bq", .code = "0,16"},
      {.key = "Alt a", .bytes = "\x1b\x61", .code = "0,30"},
      {.key = "Alt 1", .bytes = "\x1b\x31", .code = "0,120"},
      {.key = "Alt Enter", .bytes = "\x1b\r", .code = "0,28"},
      {.key = "Alt Backspace", .bytes = "\x1b\x7f", .code = "0,14"},
  });
}

// What is not a known key: characters pass through, Escape stands alone where no
// sequence follows, and a broken or unknown sequence is dropped without eating the
// key after it.
TEST(KeyDecoder, CharactersEscapesAndSequencesThatAreNoKey) {
  const struct {
    const char* name;
    std::string bytes;
    std::string keys;
  } cases[] = {
      {"characters and control keys stay", "aZ1 \x03\x13\t\xe9", "97 90 49 32 3 19 9 233"},
      {"CR, LF and CR LF are each one Enter", "\r\n\n", "13 13"},
      {"both Backspaces", "\x7f\x08", "8 8"},
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
