#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "file_text.h"
#include "settings/bells_setup.h"
#include "settings/settings.h"
#include "temp_dir.h"

namespace strikewell {
namespace {

using ::testing::HasSubstr;
using testing::ReadBytes;
using ::testing::ThrowsMessage;
using testing::WriteBytes;

const std::string kNotes =
    "# strikewell: several bells on one port. Each bell: its number, its sensor (cts, dsr,\r\n"
    "# cd, ri, or char and the box's character), the sensor events per blow, the bell\r\n"
    "# delay in milliseconds and, for a pair, the hand (left rings f, right rings j).\r\n";

const BellsSetup kPairOnCtsAndDsr{.ComPortName = "\\\\.\\COM3",
                                  .bells = {{.bell = 1,
                                             .source = BellSource::kCts,
                                             .SensorNum = 1,
                                             .BellDelay = 250,
                                             .hand = Hand::kLeft},
                                            {.bell = 2,
                                             .source = BellSource::kDsr,
                                             .SensorNum = 2,
                                             .BellDelay = 240,
                                             .hand = Hand::kRight}}};
const std::string kPairOnCtsAndDsrFile = kNotes +
                                         "port \\\\.\\COM3\r\n"
                                         "convention no\r\n"
                                         "bell 1 cts pulses 1 delay 250 left\r\n"
                                         "bell 2 dsr pulses 2 delay 240 right\r\n";

BellsSetup ConventionBox(int32_t bells, int32_t delay) {
  BellsSetup setup{.ComPortName = "\\\\.\\ttyUSB0", .convention = true, .bells = {}};
  for (int32_t bell = 1; bell <= bells; ++bell) {
    setup.bells.push_back({.bell = bell,
                           .source = BellSource::kChar,
                           .character = static_cast<uint8_t>(ConventionCharacter(bell)),
                           .BellDelay = delay});
  }
  return setup;
}

TEST(BellsSetupFile, WrittenSetupIsTheDocumentedTextAndReadsBack) {
  const struct {
    const char* name;
    BellsSetup setup;
    std::string bytes;
  } cases[] = {
      {.name = "a pair on two lines", .setup = kPairOnCtsAndDsr, .bytes = kPairOnCtsAndDsrFile},
      {.name = "a convention box of twelve bells",
       .setup = ConventionBox(12, 0),
       .bytes = kNotes + "port \\\\.\\ttyUSB0\r\nconvention yes\r\n"
                         "bell 1 char 1 pulses 1 delay 0\r\nbell 2 char 2 pulses 1 delay 0\r\n"
                         "bell 3 char 3 pulses 1 delay 0\r\nbell 4 char 4 pulses 1 delay 0\r\n"
                         "bell 5 char 5 pulses 1 delay 0\r\nbell 6 char 6 pulses 1 delay 0\r\n"
                         "bell 7 char 7 pulses 1 delay 0\r\nbell 8 char 8 pulses 1 delay 0\r\n"
                         "bell 9 char 9 pulses 1 delay 0\r\nbell 10 char 0 pulses 1 delay 0\r\n"
                         "bell 11 char E pulses 1 delay 0\r\nbell 12 char T pulses 1 delay 0\r\n"},
      {.name = "bells kept in their order, a character that cannot be shown as its code, a "
               "negative delay as typed, the other two lines",
       .setup = {.ComPortName = "\\\\.\\COM12",
                 .bells = {{.bell = 5,
                            .source = BellSource::kChar,
                            .character = 7,
                            .SensorNum = 3,
                            .BellDelay = -20},
                           {.bell = 3, .source = BellSource::kChar, .character = ' '},
                           {.bell = 4, .source = BellSource::kCd, .SensorNum = 16},
                           {.bell = 16, .source = BellSource::kRi, .BellDelay = 65535}}},
       .bytes = kNotes + "port \\\\.\\COM12\r\nconvention no\r\n"
                         "bell 5 code 7 pulses 3 delay -20\r\nbell 3 code 32 pulses 1 delay 0\r\n"
                         "bell 4 cd pulses 16 delay 0\r\nbell 16 ri pulses 1 delay 65535\r\n"},
  };
  for (const auto& c : cases) {
    testing::TempDir dir("bells");
    const std::string path = dir.File(kBellsFileName);
    WriteBytes(path, "the old set-up\r\n");
    WriteBellsFile(c.setup, path);
    EXPECT_EQ(ReadBytes(path), c.bytes) << c.name;
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp")) << c.name;

    BellsSetup read;
    std::string sentence;
    EXPECT_EQ(ReadBellsFile(read, sentence, path), BellsFileState::kRead) << c.name;
    EXPECT_EQ(read, c.setup) << c.name;
    EXPECT_EQ(sentence, "") << c.name;
  }
}

TEST(BellsSetupFile, ReadsNotesEmptyLinesBlanksAndAnyLineEnds) {
  const std::string edited =
      "# my pair\n"
      "\n"
      "   convention   no\r"
      "bell 2 dsr pulses 2 delay 240 right   \r\n"
      "\t# the treble, left hand\n"
      "port \\\\.\\COM3\n"
      "bell 1\tcts pulses 1 delay 250 left";
  BellsSetup read;
  EXPECT_EQ(ParseBellsText(edited, read).malformed, "");
  BellsSetup expected = kPairOnCtsAndDsr;
  std::swap(expected.bells[0], expected.bells[1]);
  EXPECT_EQ(read, expected);
}

TEST(BellsSetupFile, AFileOfNotesOnlyOrNoneAtAllHoldsNoSetup) {
  testing::TempDir dir("bells");
  const std::string path = dir.File(kBellsFileName);
  BellsSetup read = kPairOnCtsAndDsr;
  std::string sentence;
  EXPECT_EQ(ReadBellsFile(read, sentence, path), BellsFileState::kMissing);
  EXPECT_FALSE(std::filesystem::exists(path)) << "reading makes no file";

  WriteBytes(path, "# nothing yet\r\n\r\n");
  EXPECT_EQ(ReadBellsFile(read, sentence, path), BellsFileState::kMissing);
  EXPECT_EQ(read, kPairOnCtsAndDsr);
}

TEST(BellsSetupFile, ADamagedFileIsNamedByItsLineAndLeavesTheSetupAsItWas) {
  const std::string kEnd = ", so the stored set-up of several bells cannot be used.";
  const std::string kHead = "port \\\\.\\COM3\r\nconvention no\r\n";
  const struct {
    const char* name;
    std::string bytes;
    std::string sentence;
  } cases[] = {
      {.name = "an unknown word",
       .bytes = kHead + "bel 1 cts pulses 1 delay 0\r\n",
       .sentence =
           "Line 3 of bells.ini begins with \"bel\", which is not port, convention or bell"},
      {.name = "a bell number out of range",
       .bytes = kHead + "bell 17 cts pulses 1 delay 0\r\n",
       .sentence = "Line 3 of bells.ini holds \"17\" for the bell's number, which is not a whole "
                   "number from 1 to 16"},
      {.name = "an unknown sensor",
       .bytes = kHead + "bell 1 rts pulses 1 delay 0\r\n",
       .sentence = "Line 3 of bells.ini holds \"rts\" for the sensor, which is not cts, dsr, cd, "
                   "ri, char or code"},
      {.name = "two characters for one",
       .bytes = kHead + "bell 1 char 12 pulses 1 delay 0\r\n",
       .sentence = "Line 3 of bells.ini holds \"12\" for the box's character, which is not one"},
      {.name = "no pulses",
       .bytes = kHead + "bell 1 cts pulses 0 delay 0\r\n",
       .sentence = "Line 3 of bells.ini holds \"0\" for the sensor events per blow, which is not "
                   "a whole number from 1 to 16"},
      {.name = "a delay that is no number",
       .bytes = kHead + "bell 1 cts pulses 1 delay 250ms\r\n",
       .sentence = "Line 3 of bells.ini holds \"250ms\" for the bell delay, which is not a whole "
                   "number from -2147483648 to 2147483647"},
      {.name = "a line cut short",
       .bytes = kHead + "bell 1 cts pulses 1\r\n",
       .sentence = "Line 3 of bells.ini is not of the form \"bell 1 cts pulses 1 delay 250\" (or "
                   "\"char 1\" for a line)"},
      {.name = "words after the hand",
       .bytes = kHead + "bell 1 cts pulses 1 delay 0 left hand\r\nbell 2 dsr pulses 1 delay 0 "
                        "right\r\n",
       .sentence = "Line 3 of bells.ini holds more than a bell's line takes"},
      {.name = "an unknown hand",
       .bytes = kHead + "bell 1 cts pulses 1 delay 0 middle\r\n",
       .sentence = "Line 3 of bells.ini holds \"middle\" for the hand, which is not left or right"},
      {.name = "a bell twice",
       .bytes = kHead + "bell 1 cts pulses 1 delay 0\r\nbell 1 dsr pulses 1 delay 0\r\n",
       .sentence = "Line 4 of bells.ini names bell 1 again"},
      {.name = "two bells on one line",
       .bytes = kHead + "bell 1 cts pulses 1 delay 0\r\n\r\nbell 2 cts pulses 1 delay 0\r\n",
       .sentence = "Line 5 of bells.ini puts bell 2 on cts, as bell 1 is already"},
      {.name = "two bells on one character",
       .bytes = kHead + "bell 1 char A pulses 1 delay 0\r\nbell 2 code 65 pulses 1 delay 0\r\n",
       .sentence = "Line 4 of bells.ini puts bell 2 on char A, as bell 1 is already"},
      {.name = "a second port",
       .bytes = kHead + "port \\\\.\\COM4\r\n",
       .sentence = "Line 3 of bells.ini names a port again"},
      {.name = "a convention that is neither",
       .bytes = "port \\\\.\\COM3\r\nconvention maybe\r\n",
       .sentence = "Line 2 of bells.ini should say \"convention yes\" or \"convention no\""},
      {.name = "a pair's bell without a hand",
       .bytes = kHead + "bell 1 cts pulses 1 delay 0 left\r\nbell 2 dsr pulses 1 delay 0\r\n",
       .sentence = "Line 4 of bells.ini gives bell 2 no hand, and each bell of a pair needs left "
                   "or right"},
      {.name = "a pair in one hand",
       .bytes = kHead + "bell 1 cts pulses 1 delay 0 left\r\nbell 2 dsr pulses 1 delay 0 left\r\n",
       .sentence = "Line 4 of bells.ini puts both bells of the pair in the same hand"},
      {.name = "a hand outside a pair",
       .bytes = kHead + "bell 1 cts pulses 1 delay 0\r\nbell 2 dsr pulses 1 delay 0\r\n"
                        "bell 3 ri pulses 1 delay 0 right\r\n",
       .sentence = "Line 5 of bells.ini gives bell 3 a hand, which only the bells of a pair have"},
      {.name = "a convention box's bell on another character",
       .bytes = "port \\\\.\\COM3\r\nconvention yes\r\nbell 1 char 1 pulses 1 delay 0\r\n"
                "bell 11 char A pulses 1 delay 0\r\nbell 12 char T pulses 1 delay 0\r\n",
       .sentence = "Line 4 of bells.ini puts bell 11 on char A, but a box that follows the "
                   "convention sends \"E\" for it"},
      {.name = "a convention box's bell on a line",
       .bytes = "port \\\\.\\COM3\r\nconvention yes\r\nbell 1 cts pulses 1 delay 0\r\n",
       .sentence = "Line 3 of bells.ini puts bell 1 on cts, but a box that follows the "
                   "convention sends \"1\" for it"},
      {.name = "no port",
       .bytes = "bell 1 cts pulses 1 delay 0\r\n",
       .sentence = "bells.ini names no port"},
      {.name = "no bell", .bytes = kHead, .sentence = "bells.ini holds no bell"},
      {.name = "a character that cannot be shown is shown as ?",
       .bytes = kHead + "bell 1 cts pulses 1 delay \x01\x7f\r\n",
       .sentence = "Line 3 of bells.ini holds \"??\" for the bell delay, which is not a whole "
                   "number from -2147483648 to 2147483647"},
      {.name = "a file far too large",
       .bytes = kHead + std::string(70000, '#'),
       .sentence = "bells.ini is far larger than any set-up"},
  };
  for (const auto& c : cases) {
    BellsSetup setup = kPairOnCtsAndDsr;
    const BellsText text = ParseBellsText(c.bytes, setup, "bells.ini");
    EXPECT_TRUE(text.held_anything) << c.name;
    EXPECT_EQ(text.malformed, c.sentence + kEnd) << c.name;
    EXPECT_EQ(setup, kPairOnCtsAndDsr) << c.name;
  }
}

TEST(BellsSetupFile, ASeventeenthBellIsRefused) {
  std::string bytes = "port \\\\.\\COM3\r\nconvention no\r\n";
  for (int bell = 1; bell <= 16; ++bell) {
    bytes +=
        "bell " + std::to_string(bell) + " code " + std::to_string(bell) + " pulses 1 delay 0\r\n";
  }
  BellsSetup setup;
  EXPECT_EQ(ParseBellsText(bytes, setup).malformed, "");
  EXPECT_EQ(setup.bells.size(), 16u);
  bytes += "bell 16 code 99 pulses 1 delay 0\r\n";
  EXPECT_EQ(ParseBellsText(bytes, setup, "b").malformed,
            "Line 19 of b names a 17th bell, and strikewell rings at most 16, so the stored "
            "set-up of several bells cannot be used.");
}

TEST(BellsSetupFile, ADamagedFileIsReportedWhenRead) {
  testing::TempDir dir("bells");
  const std::string path = dir.File(kBellsFileName);
  WriteBytes(path, "port \\\\.\\COM3\r\nbell 0 cts pulses 1 delay 0\r\n");
  BellsSetup setup;
  std::string sentence;
  EXPECT_EQ(ReadBellsFile(setup, sentence, path), BellsFileState::kDamaged);
  EXPECT_EQ(sentence, "Line 2 of " + path +
                          " holds \"0\" for the bell's number, which is not a whole number from "
                          "1 to 16, so the stored set-up of several bells cannot be used.");
  EXPECT_EQ(setup, BellsSetup{});
}

TEST(BellsSetupFile, AFileThatCannotBeWrittenSaysWhyAndKeepsTheOldOne) {
  testing::TempDir dir("bells");
  const std::string path = dir.File("missing-folder/" + std::string(kBellsFileName));
  EXPECT_THAT([&] { WriteBellsFile(kPairOnCtsAndDsr, path); },
              ThrowsMessage<SettingsFileError>("The set-up file " + path +
                                               " cannot be written: No such file or directory."));
}

TEST(ConventionCharacters, NameBellsOneToSixteen) {
  const std::string expected = "1234567890ETABCD";
  for (int32_t bell = 1; bell <= 16; ++bell) {
    const char character = expected[static_cast<size_t>(bell - 1)];
    EXPECT_EQ(ConventionCharacter(bell), character) << bell;
    EXPECT_EQ(ConventionBell(static_cast<uint8_t>(character)), bell) << character;
  }
  EXPECT_EQ(ConventionCharacter(0), 0);
  EXPECT_EQ(ConventionCharacter(17), 0);
  for (const char other : {'e', 't', 'a', 'F', 'Z', ' ', '\0', '#'}) {
    EXPECT_EQ(ConventionBell(static_cast<uint8_t>(other)), 0) << other;
  }
}

}  // namespace
}  // namespace strikewell
