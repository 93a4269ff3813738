#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

#include "fake_clock.h"
#include "fake_console.h"
#include "settings/settings.h"

namespace strikewell {
namespace {

namespace fs = std::filesystem;
using testing::FakeClock;
using testing::FakeRawConsole;

// A fresh directory on the real file system, removed with everything in it.
struct TempDir {
  TempDir() { fs::create_directories(path); }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string File(const std::string& name = kSettingsFileName) const {
    return (path / name).string();
  }
  const fs::path path =
      fs::temp_directory_path() / ("strikewell-settings-" + std::to_string(std::random_device()()));
};

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The console of one start-up, with the keys the ringer presses.
struct Ringer {
  FakeClock clock;
  FakeRawConsole raw{clock};
  Console console{raw, clock};
};

// The whole window as one text, its 80-column rows joined again.
std::string Sentence(FakeRawConsole& raw) {
  std::string text;
  for (int y = 1; y <= raw.Height(); ++y) {
    text += raw.Row(y) + std::string(80 - raw.Row(y).size(), ' ');
  }
  return text.erase(text.find_last_not_of(' ') + 1);
}

// The rows of the screen down to the last one with text.
std::string Shown(FakeRawConsole& raw) {
  std::string rows = raw.Screen(raw.Height());
  rows.erase(rows.find_last_not_of('\n') + 1);
  return rows;
}

const char kQuestionScreen[] = "\nUse existing calibration? (Y/n)";
// Where the new file is written before it replaces the old one.
const std::string kTempName = std::string(kSettingsFileName) + ".tmp";

// Records are written Settings{port, CTS, DSR, CD, RI, data flag, data character,
// sensor number, bell delay}.
Settings CtsOnCom3() { return Settings{"\\\\.\\COM3", 1, 0, 0, 0, 0, 0, 2, 250}; }
Settings BoxOnCom4() { return Settings{"\\\\.\\COM4", 0, 0, 0, 0, 1, 49, 1, 300}; }

const char kCtsOnCom3File[] = "\\\\.\\COM3\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250\r\n";
const char kBoxOnCom4File[] = "\\\\.\\COM4\r\n0\r\n0\r\n0\r\n0\r\n1\r\n49\r\n1\r\n300\r\n";

// Writes settings where they cannot be written; the error begins with `message` and the
// old file is left as it was.
void ExpectWriteFails(const TempDir& dir, const std::string& path, const std::string& message) {
  try {
    WriteSettings(CtsOnCom3(), path);
    ADD_FAILURE() << "no error";
  } catch (const SettingsFileError& e) {
    EXPECT_EQ(std::string(e.what()).substr(0, message.size()), message);
  }
  if (fs::is_regular_file(dir.File())) {
    EXPECT_EQ(ReadBytes(dir.File()), kBoxOnCom4File);
  }
  // No temporary file is left behind (a directory in its place is not the writer's).
  const fs::file_status temp = fs::symlink_status(dir.File(kTempName));
  EXPECT_FALSE(fs::is_regular_file(temp) || fs::is_symlink(temp));
}

std::string Reason(int error) {
  return std::error_code(error, std::generic_category()).message() + ".";
}

TEST(SettingsFileTest, ReplacesTheOldFileByteForByte) {
  TempDir dir;
  WriteBytes(dir.File(), "old contents that are much longer than the new file will be\r\n");
  WriteSettings(CtsOnCom3(), dir.File());
  EXPECT_EQ(ReadBytes(dir.File()), kCtsOnCom3File);
  WriteSettings(BoxOnCom4(), dir.File());
  EXPECT_EQ(ReadBytes(dir.File()), kBoxOnCom4File);
  EXPECT_FALSE(fs::exists(dir.File(kTempName)));
}

TEST(SettingsFileTest, WrittenRecordReadsBackTheSame) {
  for (const Settings& written : {
           CtsOnCom3(),
           BoxOnCom4(),
           Settings{"\\\\.\\ttyUSB0", 1, 1, 1, 1, 1, 255, INT32_MAX, INT32_MIN},
           Settings{"\\\\.\\pts/3", 0, 0, 0, 1, 0, 0, -4, -20},
           // The data character is not written while its flag is clear.
           Settings{"\\\\.\\COM3", 1, 0, 0, 0, 0, 77, 2, 250},
           Settings{"", 0, 1, 0, 0, 0, 0, 4, 0},
       }) {
    TempDir dir;
    WriteSettings(written, dir.File());
    Ringer ringer;
    ringer.raw.Type("Y");
    Settings read;
    ASSERT_EQ(ReadSettings(read, ringer.console, dir.File()), SettingsOutcome::UseStored);
    Settings expected = written;
    if (!expected.UseDat) expected.UseDatNum = 0;
    EXPECT_EQ(read, expected) << "port " << written.ComPortName;
  }
}

// A write that fails at any point must leave the old calibration whole. (Tests run as
// root, so permission bits would not stop them: the failures are made otherwise.)
TEST(SettingsFileTest, FailedWriteLeavesTheOldFile) {
  {
    SCOPED_TRACE("new file cannot be created");
    TempDir dir;
    WriteBytes(dir.File(), kBoxOnCom4File);
    fs::create_directory(dir.File(kTempName));
    ExpectWriteFails(dir, dir.File(), "The settings file " + dir.File() + " cannot be written: ");
    EXPECT_TRUE(fs::is_directory(dir.File(kTempName)));
  }
  if (fs::exists("/dev/full")) {
    SCOPED_TRACE("disk full");
    TempDir dir;
    WriteBytes(dir.File(), kBoxOnCom4File);
    fs::create_symlink("/dev/full", dir.File(kTempName));
    ExpectWriteFails(dir, dir.File(),
                     "The settings file " + dir.File() + " cannot be written: " + Reason(ENOSPC));
  }
  {
    SCOPED_TRACE("the name is taken by a directory that is not empty");
    TempDir dir;
    fs::create_directory(dir.File());
    WriteBytes(dir.File() + "/keep", "x");
    ExpectWriteFails(dir, dir.File(), "The settings file ");
    EXPECT_EQ(ReadBytes(dir.File() + "/keep"), "x");
  }
  {
    SCOPED_TRACE("missing directory");
    TempDir dir;
    const std::string path = (dir.path / "no such dir" / kSettingsFileName).string();
    ExpectWriteFails(dir, path,
                     "The settings file " + path + " cannot be written: " + Reason(ENOENT));
  }
}

TEST(SettingsFileTest, UnusableFileIsAnError) {
  TempDir dir;
  const std::string in_missing_dir = (dir.path / "no such dir" / kSettingsFileName).string();
  Ringer ringer;
  Settings read;
  try {
    ReadSettings(read, ringer.console, in_missing_dir);
    ADD_FAILURE() << "no error for a file that cannot be created";
  } catch (const SettingsFileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "The settings file " + in_missing_dir + " cannot be created: " + Reason(ENOENT));
  }
  // A directory in the file's place opens but cannot be read.
  fs::create_directory(dir.File());
  EXPECT_THROW(ReadSettings(read, ringer.console, dir.File()), SettingsFileError);
}

// No file or an empty one: calibration without the question, the record untouched.
TEST(SettingsFileTest, MissingOrEmptyFileCalibrates) {
  for (const bool exists : {false, true}) {
    SCOPED_TRACE(exists ? "empty file" : "no file");
    TempDir dir;
    if (exists) WriteBytes(dir.File(), "");
    Ringer ringer;  // no keys: a question would end the input
    Settings read = BoxOnCom4();
    EXPECT_EQ(ReadSettings(read, ringer.console, dir.File()), SettingsOutcome::Calibrate);
    EXPECT_EQ(ReadBytes(dir.File()), "");
    EXPECT_EQ(Shown(ringer.raw), "");
    EXPECT_EQ(read, BoxOnCom4());
  }
}

TEST(SettingsFileTest, OnlyNCalibratesAtTheQuestion) {
  // PgDn's second half is 81, "Q": it must not answer.
  const struct {
    uint8_t code;
    bool extended;
    SettingsOutcome outcome;
  } keys[] = {{'n', false, SettingsOutcome::Calibrate},
              {'N', false, SettingsOutcome::Calibrate},
              {13, false, SettingsOutcome::UseStored},
              {81, true, SettingsOutcome::UseStored}};
  for (const auto& key : keys) {
    SCOPED_TRACE(::testing::Message() << int{key.code} << (key.extended ? " extended" : ""));
    TempDir dir;
    WriteBytes(dir.File(), kCtsOnCom3File);
    Ringer ringer;
    ringer.raw.Key(key.code, key.extended);
    Settings read;
    EXPECT_EQ(ReadSettings(read, ringer.console, dir.File()), key.outcome);
    // An empty line, the question, and no echo of the key.
    EXPECT_EQ(Shown(ringer.raw), kQuestionScreen);
    EXPECT_EQ(ringer.console.WhereX(), 1);
    EXPECT_EQ(ringer.console.WhereY(), 3);
    // Declining keeps what was read until calibration overwrites it.
    EXPECT_EQ(read, CtsOnCom3());
  }
}

// Files as someone may have left them: the record read from each into a default record,
// and the question (answered with "Y") or, instead, a message about the file ({file}).
TEST(SettingsFileTest, TrickyFiles) {
  std::string all_bytes(256, '\0');
  std::iota(all_bytes.begin(), all_bytes.end(), '\0');
  const std::string P = "\\\\.\\COM3";
  const std::string p = P + "\r\n";
  const Settings none;
  const std::string not_int32 =
      "\", which is not a whole number from -2147483648 to 2147483647, so the stored "
      "calibration cannot be used.";
  const struct {
    const char* name;
    std::string bytes;
    bool asks;
    Settings expected;
    std::string message = "";
  } files[] = {
      {"only a port name, no line end", P, true, Settings{P, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"LF line ends", P + "\n0\n1\n0\n0\n0\n0\n4\n100\n", true,
       Settings{P, 0, 1, 0, 0, 0, 0, 4, 100}},
      {"lone CR line ends", P + "\r0\r0\r1\r0\r0\r0\r4\r100\r", true,
       Settings{P, 0, 0, 1, 0, 0, 0, 4, 100}},
      {"no final line end", p + "1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250", true, CtsOnCom3()},
      {"empty lines between all numbers",
       p + "\r\n1\r\n\r\n\r\n0\r\n \t\r\n0\r\n0\r\n0\r\n0\r\n2\r\n\r\n250\r\n", true, CtsOnCom3()},
      {"flags 2, -1, 0 clear; ' 1' and '1 words' set",
       p + "2\r\n-1\r\n0\r\n 1\r\n1 words\r\n65\r\n2\r\n250\r\n", true,
       Settings{P, 0, 0, 0, 1, 1, 65, 2, 250}},
      {"hexadecimal, binary and octal forms",
       p + "$1\r\n%1\r\n&1\r\n0x1\r\n x1\r\nx31\r\n%10\r\n$FA\r\n", true,
       Settings{P, 1, 1, 1, 1, 1, 49, 2, 250}},
      {"signed forms and limits", p + "+1\r\n0\r\n0\r\n0\r\n1\r\n255\r\n-$10\r\n-2147483648\r\n",
       true, Settings{P, 1, 0, 0, 0, 1, 255, -16, INT32_MIN}},
      {"blank lines only", "\r\n\r\n\r\n", true, none},
      {"NULs around numbers", p + std::string("\0\0001\0\r\n\0", 7) + "0\r\n", true,
       Settings{P, 1, 0, 0, 0, 0, 0, 0, 0}},
      {"a megabyte of empty lines before the last number",
       p + "1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n" + std::string(1 << 20, '\n') + "250", true,
       CtsOnCom3()},
      {"data character 256", p + "0\r\n0\r\n0\r\n0\r\n1\r\n256\r\n1\r\n300\r\n", false, none,
       "Line 7 of {file} holds \"256\", which is not a whole number from 0 to 255, so the stored "
       "calibration cannot be used."},
      {"a word where a flag belongs, after empty lines", p + "\r\n\r\nyes\r\n", false, none,
       "Line 4 of {file} holds \"yes" + not_int32},
      {"binary junk", all_bytes, false, none,
       "Line 3 of {file} holds \"!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGH..." + not_int32},
      {"a huge first line", std::string(1 << 20, 'A') + "\r\n1\r\n", false, none,
       "Line 1 of {file} holds 1048576 characters, far too many for a port name, so the stored "
       "calibration cannot be used."},
      {"a huge number", p + std::string(300, '0') + "1\r\n", false, none,
       "Line 2 of {file} holds \"0000000000000000000000000000000000000000..." + not_int32},
  };
  for (const auto& file : files) {
    SCOPED_TRACE(file.name);
    TempDir dir;
    WriteBytes(dir.File(), file.bytes);
    Ringer ringer;
    if (file.asks) ringer.raw.Type("Y");
    Settings read;
    const SettingsOutcome outcome = ReadSettings(read, ringer.console, dir.File());
    EXPECT_EQ(outcome, file.asks ? SettingsOutcome::UseStored : SettingsOutcome::Calibrate);
    EXPECT_EQ(read, file.expected);
    if (file.asks) {
      EXPECT_EQ(Shown(ringer.raw), kQuestionScreen);
    } else {
      std::string message = file.message;
      message.replace(message.find("{file}"), 6, dir.File());
      EXPECT_EQ(Sentence(ringer.raw), message);
    }
  }
}

// A damaged file leaves the record as it was; a short one sets only the fields it holds.
TEST(SettingsFileTest, RecordKeepsWhatTheFileDoesNotSet) {
  TempDir dir;
  WriteBytes(dir.File(), "\\\\.\\COM9\r\n0\r\n1\r\n0\r\n0\r\n1\r\n300\r\n");
  Ringer damaged;
  Settings read = CtsOnCom3();
  EXPECT_EQ(ReadSettings(read, damaged.console, dir.File()), SettingsOutcome::Calibrate);
  EXPECT_EQ(read, CtsOnCom3());

  WriteBytes(dir.File(), "\\\\.\\COM5\r\n0\r\n1\r\n");
  Ringer short_file;
  short_file.raw.Type("y");
  read = BoxOnCom4();
  EXPECT_EQ(ReadSettings(read, short_file.console, dir.File()), SettingsOutcome::UseStored);
  EXPECT_EQ(read, (Settings{"\\\\.\\COM5", 0, 1, 0, 0, 1, 49, 1, 300}));
}

// Whatever a file holds, reading it ends in one of the two outcomes: the question,
// or one sentence about the line that is wrong.
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
      EXPECT_EQ(Shown(ringer.raw), kQuestionScreen);
    } else {
      const std::string shown = Sentence(ringer.raw);
      EXPECT_EQ(shown.rfind("Line ", 0), 0u) << shown;
      EXPECT_NE(shown.find(", so the stored calibration cannot be used."), std::string::npos)
          << shown;
      EXPECT_EQ(read, Settings{});
    }
  }
}

}  // namespace
}  // namespace strikewell
