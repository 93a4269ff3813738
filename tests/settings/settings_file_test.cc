#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <system_error>

#include "fake_clock.h"
#include "fake_console.h"
#include "file_text.h"
#include "settings/settings.h"
#include "temp_dir.h"

namespace strikewell {
namespace {

namespace fs = std::filesystem;
using testing::FakeClock;
using testing::FakeRawConsole;
using testing::ReadBytes;
using ::testing::StartsWith;
using ::testing::StrEq;
using ::testing::ThrowsMessage;
using testing::WriteBytes;

// A fresh folder for each test; the settings file is made in it.
struct TempDir : testing::TempDir {
  TempDir() : testing::TempDir("settings") {}
  std::string File(const std::string& name = kSettingsFileName) const {
    return testing::TempDir::File(name);
  }
};

// The console of one start-up, with the keys the ringer presses.
struct Ringer {
  FakeClock clock;
  FakeRawConsole raw{clock};
  Console console{raw, clock};

  // The whole window as one text, its 80-column rows joined again.
  std::string Shown() const {
    std::string text;
    for (int y = 1; y <= 25; ++y) text += raw.Row(y) + std::string(80 - raw.Row(y).size(), ' ');
    return text.erase(text.find_last_not_of(' ') + 1);
  }
};

// An empty line, then the question; the answer is not echoed.
const std::string kQuestion = std::string(80, ' ') + "Use existing calibration? (Y/n)";
const std::string kTempName = std::string(kSettingsFileName) + ".tmp";

const Settings kCtsOnCom3{
    .ComPortName = "\\\\.\\COM3", .UseCts = true, .SensorNum = 2, .BellDelay = 250};
const Settings kBoxOnCom4{.ComPortName = "\\\\.\\COM4",
                          .UseDat = true,
                          .UseDatNum = '1',
                          .SensorNum = 1,
                          .BellDelay = 300};
const char kCtsOnCom3File[] = "\\\\.\\COM3\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250\r\n";
const char kBoxOnCom4File[] = "\\\\.\\COM4\r\n0\r\n0\r\n0\r\n0\r\n1\r\n49\r\n1\r\n300\r\n";

std::string Reason(int error) {
  return std::error_code(error, std::generic_category()).message() + ".";
}

// Each record replaces the file before it, byte for byte, and reads back the same.
TEST(SettingsFileTest, WrittenRecordReplacesTheFileAndReadsBack) {
  const struct {
    Settings record;
    std::string bytes;
  } cases[] = {
      {kCtsOnCom3, kCtsOnCom3File},
      {kBoxOnCom4, kBoxOnCom4File},
      {Settings{.ComPortName = "\\\\.\\ttyUSB0",
                .UseCts = true,
                .UseDsr = true,
                .UseCd = true,
                .UseRi = true,
                .UseDat = true,
                .UseDatNum = 255,
                .SensorNum = INT32_MAX,
                .BellDelay = INT32_MIN},
       "\\\\.\\ttyUSB0\r\n1\r\n1\r\n1\r\n1\r\n1\r\n255\r\n2147483647\r\n-2147483648\r\n"},
      // The data character is written as 0 while its flag is clear.
      {Settings{.ComPortName = "\\\\.\\pts/3",
                .UseRi = true,
                .UseDatNum = 77,
                .SensorNum = -4,
                .BellDelay = -20},
       "\\\\.\\pts/3\r\n0\r\n0\r\n0\r\n1\r\n0\r\n0\r\n-4\r\n-20\r\n"},
  };
  TempDir dir;
  WriteBytes(dir.File(), "old contents that are much longer than the new file will be\r\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record.ComPortName);
    WriteSettings(c.record, dir.File());
    EXPECT_EQ(ReadBytes(dir.File()), c.bytes);
    EXPECT_FALSE(fs::exists(dir.File(kTempName)));
    Ringer ringer;
    ringer.raw.Type("Y");
    Settings read;
    ASSERT_EQ(ReadSettings(read, ringer.console, dir.File()), SettingsOutcome::UseStored);
    Settings expected = c.record;
    if (!expected.UseDat) expected.UseDatNum = 0;
    EXPECT_EQ(read, expected);
  }
}

// Writes where the file cannot be written: the error begins with `message`, the old file
// is left as it was and no temporary file stays behind.
void ExpectWriteFails(const TempDir& dir, const std::string& message) {
  EXPECT_THAT([&dir] { WriteSettings(kCtsOnCom3, dir.File()); },
              ThrowsMessage<SettingsFileError>(StartsWith(message)));
  if (fs::is_regular_file(dir.File())) {
    EXPECT_EQ(ReadBytes(dir.File()), kBoxOnCom4File);
  }
  const fs::file_status temp = fs::symlink_status(dir.File(kTempName));
  EXPECT_FALSE(fs::is_regular_file(temp) || fs::is_symlink(temp));
}

// Tests run as root, so the failures are made without permission bits.
TEST(SettingsFileTest, FailedWriteLeavesTheOldFile) {
  {
    SCOPED_TRACE("new file cannot be created");
    TempDir dir;
    WriteBytes(dir.File(), kBoxOnCom4File);
    fs::create_directory(dir.File(kTempName));
    ExpectWriteFails(dir, "The settings file " + dir.File() + " cannot be written: ");
    EXPECT_TRUE(fs::is_directory(dir.File(kTempName))) << "not the writer's to remove";
  }
  if (fs::exists("/dev/full")) {
    SCOPED_TRACE("disk full");
    TempDir dir;
    WriteBytes(dir.File(), kBoxOnCom4File);
    fs::create_symlink("/dev/full", dir.File(kTempName));
    ExpectWriteFails(dir,
                     "The settings file " + dir.File() + " cannot be written: " + Reason(ENOSPC));
  }
  {
    SCOPED_TRACE("the name is taken by a directory that is not empty");
    TempDir dir;
    fs::create_directory(dir.File());
    WriteBytes(dir.File() + "/keep", "x");
    ExpectWriteFails(dir, "The settings file ");
    EXPECT_EQ(ReadBytes(dir.File() + "/keep"), "x");
  }
}

TEST(SettingsFileTest, UnusableFileIsAnError) {
  TempDir dir;
  const std::string in_missing_dir = (dir.path() / "no such dir" / kSettingsFileName).string();
  Ringer ringer;
  Settings read;
  EXPECT_THAT([&] { ReadSettings(read, ringer.console, in_missing_dir); },
              ThrowsMessage<SettingsFileError>(StrEq("The settings file " + in_missing_dir +
                                                     " cannot be created: " + Reason(ENOENT))));
  // A directory in the file's place opens but cannot be read.
  fs::create_directory(dir.File());
  EXPECT_THROW(ReadSettings(read, ringer.console, dir.File()), SettingsFileError);
}

// For a run that must leave the file as it found it (the simulated bell's).
TEST(SettingsFileTest, PeekingReadsTheFileWithoutAskingMakingOrChangingIt) {
  TempDir dir;
  Settings read;
  const SettingsText none = PeekSettings(read, dir.File());
  EXPECT_FALSE(none.held_anything);
  EXPECT_FALSE(fs::exists(dir.File())) << "a missing file is not made";
  EXPECT_EQ(read, Settings{});

  WriteBytes(dir.File(), kCtsOnCom3File);
  const SettingsText held = PeekSettings(read, dir.File());
  EXPECT_TRUE(held.held_anything);
  EXPECT_EQ(held.malformed, "");
  EXPECT_EQ(read, kCtsOnCom3);
  EXPECT_EQ(ReadBytes(dir.File()), kCtsOnCom3File);

  WriteBytes(dir.File(), "\\\\.\\COM3\r\n1\r\nyes\r\n");
  Settings kept = kBoxOnCom4;
  EXPECT_THAT(PeekSettings(kept, dir.File()).malformed, StartsWith("Line 3 of " + dir.File()));
  EXPECT_EQ(kept, kBoxOnCom4) << "a damaged file changes nothing";

  fs::remove(dir.File());
  fs::create_directory(dir.File());
  EXPECT_THROW(PeekSettings(read, dir.File()), SettingsFileError) << "there, but unreadable";
}

TEST(SettingsFileTest, OnlyNCalibratesAtTheQuestion) {
  // PgDn's second half is 81, "Q": it must not answer.
  const struct {
    KeyEvent key;
    bool calibrates;
  } answers[] = {{{'n'}, true}, {{'N'}, true},  {{'y'}, false},
                 {{13}, false}, {{'1'}, false}, {{81, true}, false}};
  for (const auto& [key, calibrates] : answers) {
    SCOPED_TRACE(::testing::Message() << int{key.code} << (key.extended ? " extended" : ""));
    TempDir dir;
    WriteBytes(dir.File(), kCtsOnCom3File);
    Ringer ringer;
    ringer.raw.Key(key.code, key.extended);
    Settings read;
    EXPECT_EQ(ReadSettings(read, ringer.console, dir.File()) == SettingsOutcome::Calibrate,
              calibrates);
    EXPECT_EQ(ringer.Shown(), kQuestion);
    EXPECT_EQ(ringer.console.WhereY(), 3);
    // Declining keeps what was read until calibration overwrites it.
    EXPECT_EQ(read, kCtsOnCom3);
  }
}

// Files as someone may have left them, each read into kBoxOnCom4: the record that results,
// and what the screen shows: the question (answered with "Y"), a sentence about the file
// ({file}) instead, or nothing at all when there is no calibration to ask about.
TEST(SettingsFileTest, TrickyFiles) {
  std::string all_bytes(256, '\0');
  std::iota(all_bytes.begin(), all_bytes.end(), '\0');
  const std::string P = "\\\\.\\COM3";
  const std::string p = P + "\r\n";
  const std::string not_int32 =
      "\", which is not a whole number from -2147483648 to 2147483647, so the stored "
      "calibration cannot be used.";
  const struct {
    const char* name;
    std::optional<std::string> bytes;  // nullopt: no file
    Settings expected;
    std::string shown;
  } files[] = {
      {"no file", std::nullopt, kBoxOnCom4, ""},
      {"empty file", "", kBoxOnCom4, ""},
      {"only a port name, no line end", P,
       Settings{
           .ComPortName = P, .UseDat = true, .UseDatNum = '1', .SensorNum = 1, .BellDelay = 300},
       kQuestion},
      {"LF, lone CR and CR LF line ends", P + "\n0\r1\r\n0\n0\r0\r\n0\n4\r100\n",
       Settings{.ComPortName = P, .UseDsr = true, .SensorNum = 4, .BellDelay = 100}, kQuestion},
      {"no final line end", p + "1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250", kCtsOnCom3, kQuestion},
      {"empty lines between all numbers",
       p + "\r\n1\r\n\r\n\r\n0\r\n \t\r\n0\r\n0\r\n0\r\n0\r\n2\r\n\r\n250\r\n", kCtsOnCom3,
       kQuestion},
      {"flags 2, -1, 0 clear; ' 1' and '1 words' set",
       p + "2\r\n-1\r\n0\r\n 1\r\n1 words\r\n65\r\n2\r\n250\r\n",
       Settings{.ComPortName = P,
                .UseRi = true,
                .UseDat = true,
                .UseDatNum = 'A',
                .SensorNum = 2,
                .BellDelay = 250},
       kQuestion},
      {"hexadecimal, binary and octal forms",
       p + "$1\r\n%1\r\n&1\r\n0x1\r\n x1\r\nx31\r\n%10\r\n$FA\r\n",
       Settings{.ComPortName = P,
                .UseCts = true,
                .UseDsr = true,
                .UseCd = true,
                .UseRi = true,
                .UseDat = true,
                .UseDatNum = '1',
                .SensorNum = 2,
                .BellDelay = 250},
       kQuestion},
      {"data character 256", p + "0\r\n0\r\n0\r\n0\r\n1\r\n256\r\n1\r\n300\r\n", kBoxOnCom4,
       "Line 7 of {file} holds \"256\", which is not a whole number from 0 to 255, so the stored "
       "calibration cannot be used."},
      {"a word where a flag belongs, after empty lines", p + "\r\n\r\nyes\r\n", kBoxOnCom4,
       "Line 4 of {file} holds \"yes" + not_int32},
      {"binary junk", all_bytes, kBoxOnCom4,
       "Line 3 of {file} holds \"!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGH..." + not_int32},
      {"a huge first line", std::string(1 << 20, 'A') + "\r\n1\r\n", kBoxOnCom4,
       "Line 1 of {file} holds 1048576 characters, far too many for a port name, so the stored "
       "calibration cannot be used."},
  };
  for (const auto& file : files) {
    SCOPED_TRACE(file.name);
    TempDir dir;
    if (file.bytes) WriteBytes(dir.File(), *file.bytes);
    Ringer ringer;
    ringer.raw.Type("Y");
    Settings read = kBoxOnCom4;
    const SettingsOutcome outcome = ReadSettings(read, ringer.console, dir.File());
    const bool asks = file.shown == kQuestion;
    EXPECT_EQ(outcome, asks ? SettingsOutcome::UseStored : SettingsOutcome::Calibrate);
    EXPECT_EQ(read, file.expected);
    std::string shown = file.shown;
    if (shown.starts_with("Line ")) shown.replace(shown.find("{file}"), 6, dir.File());
    EXPECT_EQ(ringer.Shown(), shown);
    EXPECT_TRUE(fs::is_regular_file(dir.File())) << "a missing file is created";
    EXPECT_EQ(ReadBytes(dir.File()), file.bytes.value_or("")) << "reading changes nothing";
  }
}

// The parser of bytes in memory reads as the file reader does: the same record, the same
// sentence about a wrong line, nothing offered for no bytes; and the text that the writer
// writes reads back to its record.
TEST(SettingsFileTest, BytesInMemoryReadAsTheFile) {
  const std::string p = "\\\\.\\COM3\r\n";
  const struct {
    const char* name;
    std::string bytes;
  } files[] = {
      {"no bytes", ""},
      {"a whole record", kCtsOnCom3File},
      {"a record cut short", p + "1\r\n0\r\n"},
      {"a word where a flag belongs", p + "yes\r\n"},
      {"a huge first line", std::string(300, 'A')},
  };
  TempDir dir;
  for (const auto& file : files) {
    SCOPED_TRACE(file.name);
    WriteBytes(dir.File(), file.bytes);
    Ringer ringer;
    ringer.raw.Type("Y");
    Settings from_file = kBoxOnCom4;
    const SettingsOutcome outcome = ReadSettings(from_file, ringer.console, dir.File());

    Settings from_bytes = kBoxOnCom4;
    const SettingsText text = ParseSettingsText(file.bytes, from_bytes, dir.File());
    EXPECT_EQ(from_bytes, from_file);
    EXPECT_EQ(text.held_anything, !file.bytes.empty());
    EXPECT_EQ(outcome == SettingsOutcome::UseStored, text.held_anything && text.malformed.empty());
    EXPECT_EQ(ringer.Shown(), !text.malformed.empty() ? text.malformed
                              : text.held_anything    ? kQuestion
                                                      : "");
  }

  for (const Settings& record : {kCtsOnCom3, kBoxOnCom4}) {
    Settings read;
    EXPECT_TRUE(ParseSettingsText(SettingsFileText(record), read).malformed.empty());
    EXPECT_EQ(read, record);
  }
}

// Whatever a file holds, reading it ends in the question or one sentence about the line
// that is wrong.
TEST(SettingsFileTest, RandomFilesEndInAnOutcome) {
  std::mt19937 random(20200609);
  const std::string likely = "0123456789 \t\r\n-+$%&xX";
  TempDir dir;
  for (int i = 0; i < 300; ++i) {
    std::string bytes(random() % 200 + 1, '\0');
    for (char& ch : bytes) {
      ch = random() % 4 != 0 ? likely[random() % likely.size()] : static_cast<char>(random());
    }
    SCOPED_TRACE("file " + std::to_string(i));
    WriteBytes(dir.File(), bytes);
    Ringer ringer;
    ringer.raw.Type("y");
    Settings read;
    if (ReadSettings(read, ringer.console, dir.File()) == SettingsOutcome::UseStored) {
      EXPECT_EQ(ringer.Shown(), kQuestion);
    } else {
      const std::string shown = ringer.Shown();
      EXPECT_EQ(shown.rfind("Line ", 0), 0u) << shown;
      EXPECT_TRUE(shown.ends_with(", so the stored calibration cannot be used.")) << shown;
      EXPECT_EQ(read, Settings{});
    }
  }
}

}  // namespace
}  // namespace strikewell
