#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
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
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("strikewell-settings-" + std::to_string(random()));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  fs::path path() const { return path_; }
  std::string File(const std::string& name = kSettingsFileName) const {
    return (path_ / name).string();
  }

 private:
  fs::path path_;
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

// A text as an 80-column console shows it, one row per line of the result.
std::string Wrapped(const std::string& text) {
  std::string rows;
  for (size_t i = 0; i < text.size(); i += 80) {
    if (i > 0) rows += '\n';
    std::string row = text.substr(i, 80);
    row.erase(row.find_last_not_of(' ') + 1);
    rows += row;
  }
  return rows;
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

Settings CtsOnCom3() {
  Settings s;
  s.ComPortName = "\\\\.\\COM3";
  s.UseCts = true;
  s.SensorNum = 2;
  s.BellDelay = 250;
  return s;
}

Settings BoxOnCom4() {
  Settings s;
  s.ComPortName = "\\\\.\\COM4";
  s.UseDat = true;
  s.UseDatNum = 49;
  s.SensorNum = 1;
  s.BellDelay = 300;
  return s;
}

const char kCtsOnCom3File[] = "\\\\.\\COM3\r\n1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250\r\n";
const char kBoxOnCom4File[] = "\\\\.\\COM4\r\n0\r\n0\r\n0\r\n0\r\n1\r\n49\r\n1\r\n300\r\n";

TEST(SettingsFileTest, WorkedExamplesAreWrittenByteForByte) {
  TempDir dir;
  WriteSettings(CtsOnCom3(), dir.File());
  EXPECT_EQ(ReadBytes(dir.File()), kCtsOnCom3File);
  WriteSettings(BoxOnCom4(), dir.File());
  EXPECT_EQ(ReadBytes(dir.File()), kBoxOnCom4File);
  EXPECT_FALSE(fs::exists(dir.File(kTempName)));
}

TEST(SettingsFileTest, WorkedExamplesReadBack) {
  for (const auto& [bytes, expected] :
       {std::pair{kCtsOnCom3File, CtsOnCom3()}, std::pair{kBoxOnCom4File, BoxOnCom4()}}) {
    TempDir dir;
    WriteBytes(dir.File(), bytes);
    Ringer ringer;
    ringer.raw.Type("y");
    Settings read;
    EXPECT_EQ(ReadSettings(read, ringer.console, dir.File()), SettingsOutcome::UseStored);
    EXPECT_EQ(read, expected) << bytes;
  }
}

TEST(SettingsFileTest, WrittenRecordReadsBackTheSame) {
  Settings all_lines;
  all_lines.ComPortName = "\\\\.\\ttyUSB0";
  all_lines.UseCts = all_lines.UseDsr = all_lines.UseCd = all_lines.UseRi = true;
  all_lines.UseDat = true;
  all_lines.UseDatNum = 255;
  all_lines.SensorNum = INT32_MAX;
  all_lines.BellDelay = INT32_MIN;

  Settings negative;
  negative.ComPortName = "\\\\.\\pts/3";
  negative.UseRi = true;
  negative.SensorNum = -4;
  negative.BellDelay = -20;

  Settings data_flag_clear = CtsOnCom3();
  data_flag_clear.UseDatNum = 77;  // not written while the data flag is clear

  Settings empty_name;
  empty_name.UseDsr = true;
  empty_name.SensorNum = 4;

  for (const Settings& written :
       {CtsOnCom3(), BoxOnCom4(), all_lines, negative, data_flag_clear, empty_name}) {
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

TEST(SettingsFileTest, ReplacingKeepsOneFileOfNineLines) {
  TempDir dir;
  WriteBytes(dir.File(), "old contents that are much longer than the new file will be\r\n");
  WriteSettings(CtsOnCom3(), dir.File());
  EXPECT_EQ(ReadBytes(dir.File()), kCtsOnCom3File);
  EXPECT_FALSE(fs::exists(dir.File(kTempName)));
}

// A write that fails at any point must leave the old calibration whole. (Tests run as
// root, so permission bits would not stop them: the failures are made otherwise.)

TEST(SettingsFileTest, UncreatableNewFileLeavesTheOldFile) {
  TempDir dir;
  WriteBytes(dir.File(), kBoxOnCom4File);
  fs::create_directory(dir.File(kTempName));
  try {
    WriteSettings(CtsOnCom3(), dir.File());
    ADD_FAILURE() << "no error for an uncreatable file";
  } catch (const SettingsFileError& e) {
    EXPECT_EQ(
        std::string(e.what()).rfind("The settings file " + dir.File() + " cannot be written: ", 0),
        0u)
        << e.what();
  }
  EXPECT_EQ(ReadBytes(dir.File()), kBoxOnCom4File);
}

TEST(SettingsFileTest, DiskFullWhileWritingLeavesTheOldFile) {
  TempDir dir;
  std::error_code no_link;
  fs::create_symlink("/dev/full", dir.File(kTempName), no_link);
  if (no_link || !fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to fill";
  WriteBytes(dir.File(), kBoxOnCom4File);
  try {
    WriteSettings(CtsOnCom3(), dir.File());
    ADD_FAILURE() << "no error for a full disk";
  } catch (const SettingsFileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "The settings file " + dir.File() + " cannot be written: " +
                  std::error_code(ENOSPC, std::generic_category()).message() + ".");
  }
  EXPECT_EQ(ReadBytes(dir.File()), kBoxOnCom4File);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.File(kTempName))));
}

TEST(SettingsFileTest, FailedRenameLeavesTheOldFileAndNoTempFile) {
  TempDir dir;
  // The settings name taken by a directory that is not empty: nothing can replace it.
  fs::create_directory(dir.File());
  WriteBytes(dir.File() + "/keep", "x");
  EXPECT_THROW(WriteSettings(CtsOnCom3(), dir.File()), SettingsFileError);
  EXPECT_EQ(ReadBytes(dir.File() + "/keep"), "x");
  EXPECT_FALSE(fs::exists(dir.File(kTempName)));
}

TEST(SettingsFileTest, MissingFileIsCreatedEmptyAndCalibrates) {
  TempDir dir;
  Ringer ringer;  // no keys: a question would end the input
  Settings read;
  EXPECT_EQ(ReadSettings(read, ringer.console, dir.File()), SettingsOutcome::Calibrate);
  ASSERT_TRUE(fs::exists(dir.File()));
  EXPECT_EQ(fs::file_size(dir.File()), 0u);
  EXPECT_EQ(Shown(ringer.raw), "");
  EXPECT_EQ(read, Settings{});
}

TEST(SettingsFileTest, EmptyFileCalibratesWithoutTheQuestion) {
  TempDir dir;
  WriteBytes(dir.File(), "");
  Ringer ringer;
  Settings read = BoxOnCom4();  // whatever the record held stays
  EXPECT_EQ(ReadSettings(read, ringer.console, dir.File()), SettingsOutcome::Calibrate);
  EXPECT_EQ(Shown(ringer.raw), "");
  EXPECT_EQ(read, BoxOnCom4());
}

TEST(SettingsFileTest, UnusableFileIsAnError) {
  TempDir dir;
  const std::string in_missing_dir = (dir.path() / "no such dir" / kSettingsFileName).string();
  const std::string no_such_file = std::error_code(ENOENT, std::generic_category()).message();
  Ringer ringer;
  Settings read;
  try {
    ReadSettings(read, ringer.console, in_missing_dir);
    ADD_FAILURE() << "no error for a file that cannot be created";
  } catch (const SettingsFileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "The settings file " + in_missing_dir + " cannot be created: " + no_such_file + ".");
  }
  try {
    WriteSettings(CtsOnCom3(), in_missing_dir);
    ADD_FAILURE() << "no error for a file that cannot be written";
  } catch (const SettingsFileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "The settings file " + in_missing_dir + " cannot be written: " + no_such_file + ".");
  }
  // A directory in the file's place opens but cannot be read.
  fs::create_directory(dir.File());
  EXPECT_THROW(ReadSettings(read, ringer.console, dir.File()), SettingsFileError);
}

TEST(SettingsFileTest, OnlyNCalibratesAtTheQuestion) {
  const struct {
    const char* name;
    uint8_t code;
    bool extended;
    SettingsOutcome outcome;
  } keys[] = {
      {"n", 'n', false, SettingsOutcome::Calibrate},
      {"N", 'N', false, SettingsOutcome::Calibrate},
      {"y", 'y', false, SettingsOutcome::UseStored},
      {"Y", 'Y', false, SettingsOutcome::UseStored},
      {"Enter", 13, false, SettingsOutcome::UseStored},
      {"digit", '5', false, SettingsOutcome::UseStored},
      {"Escape", 27, false, SettingsOutcome::UseStored},
      {"Left arrow", 75, true, SettingsOutcome::UseStored},
      {"PgDn", 81, true, SettingsOutcome::UseStored},
  };
  for (const auto& key : keys) {
    TempDir dir;
    WriteBytes(dir.File(), kCtsOnCom3File);
    Ringer ringer;
    ringer.raw.Key(key.code, key.extended);
    Settings read;
    EXPECT_EQ(ReadSettings(read, ringer.console, dir.File()), key.outcome) << key.name;
    // An empty line, the question, and no echo of the key.
    EXPECT_EQ(Shown(ringer.raw), kQuestionScreen) << key.name;
    EXPECT_EQ(ringer.console.WhereX(), 1) << key.name;
    EXPECT_EQ(ringer.console.WhereY(), 3) << key.name;
    // Declining keeps what was read until calibration overwrites it.
    EXPECT_EQ(read, CtsOnCom3()) << key.name;
  }
}

// A file as someone may have left it, and what reading it gives.
struct TrickyFile {
  const char* name;
  std::string bytes;
  bool asks;                 // the question is asked (answered with "Y")
  Settings expected;         // the record afterwards, read into a default record
  std::string message = "";  // printed instead of the question; {file} is the path
};

Settings Record(const std::string& port, bool cts, bool dsr, bool cd, bool ri, bool dat,
                uint8_t dat_num, int32_t sensor_num, int32_t bell_delay) {
  Settings s;
  s.ComPortName = port;
  s.UseCts = cts;
  s.UseDsr = dsr;
  s.UseCd = cd;
  s.UseRi = ri;
  s.UseDat = dat;
  s.UseDatNum = dat_num;
  s.SensorNum = sensor_num;
  s.BellDelay = bell_delay;
  return s;
}

std::string AllByteValues() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

TEST(SettingsFileTest, TrickyFiles) {
  const std::string P = "\\\\.\\COM3";
  const std::string p = P + "\r\n";
  const Settings none;
  const TrickyFile files[] = {
      {"only a port name", p, true, Record(P, 0, 0, 0, 0, 0, 0, 0, 0)},
      {"only a port name, no line end", P, true, Record(P, 0, 0, 0, 0, 0, 0, 0, 0)},
      {"LF line ends", P + "\n0\n1\n0\n0\n0\n0\n4\n100\n", true,
       Record(P, 0, 1, 0, 0, 0, 0, 4, 100)},
      {"lone CR line ends", P + "\r0\r0\r1\r0\r0\r0\r4\r100\r", true,
       Record(P, 0, 0, 1, 0, 0, 0, 4, 100)},
      {"no final line end", p + "1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250", true, CtsOnCom3()},
      {"empty line where a number belongs shifts the later fields",
       p + "1\r\n\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250\r\n", true, Record(P, 1, 0, 0, 0, 0, 2, 250, 0)},
      {"empty lines between all numbers",
       p + "\r\n1\r\n\r\n\r\n0\r\n \t\r\n0\r\n0\r\n0\r\n0\r\n2\r\n\r\n250\r\n", true, CtsOnCom3()},
      {"trailing empty lines after the eighth line give the delay 0",
       p + "1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n\r\n\r\n", true, Record(P, 1, 0, 0, 0, 0, 0, 2, 0)},
      {"flags 2, -1, 0 clear; ' 1' and '1 words' set",
       p + "2\r\n-1\r\n0\r\n 1\r\n1 words\r\n65\r\n2\r\n250\r\n", true,
       Record(P, 0, 0, 0, 1, 1, 65, 2, 250)},
      {"hexadecimal, binary and octal forms",
       p + "$1\r\n%1\r\n&1\r\n0x1\r\n x1\r\nx31\r\n%10\r\n$FA\r\n", true,
       Record(P, 1, 1, 1, 1, 1, 49, 2, 250)},
      {"signed forms and limits", p + "+1\r\n0\r\n0\r\n0\r\n1\r\n255\r\n-$10\r\n-2147483648\r\n",
       true, Record(P, 1, 0, 0, 0, 1, 255, -16, INT32_MIN)},
      {"words after numbers", p + "1 CTS\r\n0 DSR\r\n0\r\n0\r\n0\r\n0\r\n2\tpulses\r\n250 ms\r\n",
       true, CtsOnCom3()},
      {"blank lines only", "\r\n\r\n\r\n", true, none},
      {"data character 256", p + "0\r\n0\r\n0\r\n0\r\n1\r\n256\r\n1\r\n300\r\n", false, none,
       "Line 7 of {file} holds \"256\", which is not a whole number from 0 to 255, so the stored "
       "calibration cannot be used."},
      {"negative data character", p + "0\r\n0\r\n0\r\n0\r\n1\r\n-1\r\n1\r\n300\r\n", false, none,
       "Line 7 of {file} holds \"-1\", which is not a whole number from 0 to 255, so the stored "
       "calibration cannot be used."},
      {"delay beyond 32 bits", p + "1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n2147483648\r\n", false, none,
       "Line 9 of {file} holds \"2147483648\", which is not a whole number from -2147483648 to "
       "2147483647, so the stored calibration cannot be used."},
      {"a word where a flag belongs, after empty lines", p + "\r\n\r\nyes\r\n", false, none,
       "Line 4 of {file} holds \"yes\", which is not a whole number from -2147483648 to "
       "2147483647, so the stored calibration cannot be used."},
      {"digits run into letters", p + "1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n250ms\r\n", false, none,
       "Line 9 of {file} holds \"250ms\", which is not a whole number from -2147483648 to "
       "2147483647, so the stored calibration cannot be used."},
      {"binary junk", AllByteValues(), false, none,
       "Line 3 of {file} holds \"!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGH...\", which is not a "
       "whole number from -2147483648 to 2147483647, so the stored calibration cannot be used."},
      {"NULs around numbers", p + std::string("\0\0001\0\r\n\0", 7) + "0\r\n", true,
       Record(P, 1, 0, 0, 0, 0, 0, 0, 0)},
      {"a huge first line", std::string(1 << 20, 'A') + "\r\n1\r\n", false, none,
       "Line 1 of {file} holds 1048576 characters, far too many for a port name, so the stored "
       "calibration cannot be used."},
      {"a huge number", p + std::string(300, '0') + "1\r\n", false, none,
       "Line 2 of {file} holds \"0000000000000000000000000000000000000000...\", which is not a "
       "whole number from -2147483648 to 2147483647, so the stored calibration cannot be used."},
      {"a megabyte of empty lines before the last number",
       p + "1\r\n0\r\n0\r\n0\r\n0\r\n0\r\n2\r\n" + std::string(1 << 20, '\n') + "250", true,
       CtsOnCom3()},
  };
  for (const TrickyFile& file : files) {
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
      EXPECT_EQ(Shown(ringer.raw), Wrapped(message));
    }
  }
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
      // The sentence as written, its rows joined again.
      std::string shown;
      for (int y = 1; y <= ringer.raw.Height(); ++y) {
        std::string row = ringer.raw.Row(y);
        if (row.empty()) break;
        shown += row + std::string(80 - row.size(), ' ');
      }
      shown.erase(shown.find_last_not_of(' ') + 1);
      EXPECT_EQ(shown.rfind("Line ", 0), 0u) << shown;
      EXPECT_NE(shown.find(", so the stored calibration cannot be used."), std::string::npos)
          << shown;
      EXPECT_EQ(read, Settings{});
    }
  }
}

// A damaged file must not leave the record half-filled from junk.
TEST(SettingsFileTest, MalformedFileLeavesTheRecordAsItWas) {
  TempDir dir;
  WriteBytes(dir.File(), "\\\\.\\COM9\r\n0\r\n1\r\n0\r\n0\r\n1\r\n300\r\n");
  Ringer ringer;
  Settings read = CtsOnCom3();
  EXPECT_EQ(ReadSettings(read, ringer.console, dir.File()), SettingsOutcome::Calibrate);
  EXPECT_EQ(read, CtsOnCom3());
}

// At the end of the file the remaining fields keep what the record held.
TEST(SettingsFileTest, FieldsAfterTheEndKeepTheirValues) {
  TempDir dir;
  WriteBytes(dir.File(), "\\\\.\\COM5\r\n0\r\n1\r\n");
  Ringer ringer;
  ringer.raw.Type("y");
  Settings read = BoxOnCom4();
  EXPECT_EQ(ReadSettings(read, ringer.console, dir.File()), SettingsOutcome::UseStored);
  Settings expected = BoxOnCom4();
  expected.ComPortName = "\\\\.\\COM5";
  expected.UseCts = false;
  expected.UseDsr = true;
  EXPECT_EQ(read, expected);
}

}  // namespace
}  // namespace strikewell
