// The record file on the real file system: written by the practice as counting reports it,
// read back by report mode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "record/practice.h"
#include "record/report.h"
#include "record/summary.h"
#include "record/svg.h"
#include "test_records.h"

namespace strikewell {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using ::testing::StartsWith;
using testing::TempDir;
using testing::WriteBytes;

constexpr const char* kStamp = "20261207-120000";
constexpr int64_t kT = 5'000'000'000;  // a monotonic time well after the clock's start

std::string Reason(int error) { return std::error_code(error, std::generic_category()).message(); }

TEST(PracticeFileTest, EachEntryIsOnDiskAsSoonAsItIsReported) {
  TempDir temp("record");
  const std::string dir = temp.File("practice/tower");  // made, parents too
  Practice practice;
  ASSERT_EQ(practice.OpenFile(dir, kStamp), "");
  const std::string path = (fs::path(dir) / "strikewell-20261207-120000.csv").string();
  EXPECT_EQ(practice.file_path(), path);
  std::string expected = "blow,sensor_ms,key_ms,key\n";
  EXPECT_EQ(ReadBytes(path), expected);

  // Times in ms from the first blow's sensor event, to the nearest ms, halves up.
  const struct {
    bool zeroed;
    BlowLine blow;
    const char* line;
  } entries[] = {
      {false, {1, kT, kT + 250'000, true}, "1,0,250,sent\n"},
      {false, {2, kT + 2'199'600, kT + 2'449'600, true}, "2,2200,2450,sent\n"},
      {true, {}, "# zeroed\n"},
      {false, {3, kT + 4'400'499, kT + 4'650'499, false}, "3,4400,4650,dropped\n"},
      {false, {1, kT + 9'000'500, kT + 9'250'500, true}, "1,9001,9251,sent\n"},
  };
  for (const auto& e : entries) {
    e.zeroed ? practice.Zeroed() : practice.Blow(e.blow);
    expected += e.line;
    EXPECT_EQ(ReadBytes(path), expected) << "after " << e.line;
  }
  EXPECT_EQ(practice.file_error(), "");
  EXPECT_EQ(practice.record().back(),
            (RecordLine{.blow = 1, .sensor_ms = 9001, .key_ms = 9251, .sent = true}));

  Practice same_second;
  ASSERT_EQ(same_second.OpenFile(dir, kStamp), "");
  EXPECT_EQ(fs::path(same_second.file_path()).filename(), "strikewell-20261207-120000-2.csv");
  EXPECT_EQ(ReadBytes(path), expected) << "an earlier record is never written over";
}

TEST(PracticeFileTest, ARecordOfTheTowerNamesEachSentBlowsStroke) {
  TempDir temp("record");
  Practice practice;
  ASSERT_EQ(
      practice.OpenFile(temp.File("tower"), kStamp, /*simulated=*/false, /*with_strokes=*/true),
      "");
  practice.Blow(
      {.blow = 1, .sensor_us = kT, .key_us = kT + 250'000, .sent = true, .stroke = Stroke::kHand});
  practice.Blow({.blow = 2,
                 .sensor_us = kT + 2'000'000,
                 .key_us = kT + 2'250'000,
                 .sent = true,
                 .stroke = Stroke::kBack});
  practice.Blow({.blow = 3,
                 .sensor_us = kT + 4'000'000,
                 .key_us = kT + 4'250'000,
                 .sent = false,
                 .stroke = Stroke::kUnknown});
  EXPECT_EQ(ReadBytes(practice.file_path()),
            "blow,sensor_ms,key_ms,key,stroke\n"
            "1,0,250,sent,hand\n"
            "2,2000,2250,sent,back\n"
            "3,4000,4250,dropped\n");
}

TEST(RecordLineTest, StrokesReadBackAndRecordsWithoutThemStillRead) {
  RecordLine line;
  EXPECT_EQ(ParseRecordLine("4,100,350,sent,back", line), "");
  EXPECT_EQ(
      line,
      (RecordLine{
          .blow = 4, .sensor_ms = 100, .key_ms = 350, .sent = true, .stroke = Stroke::kBack}));
  EXPECT_EQ(ParseRecordLine("4,100,350,sent", line), "");
  EXPECT_EQ(line.stroke, Stroke::kUnknown);
  EXPECT_EQ(ParseRecordLine("# disagreed bell 3", line), "");
  EXPECT_EQ(line, RecordLine{.disagreed_bell = 3});
  EXPECT_EQ(RecordLineText(line), "# disagreed bell 3");
  EXPECT_EQ(ParseRecordLine("# disagreed bell x", line),
            "holds \"# disagreed bell x\", not a bell's number after \"# disagreed bell \"");
  EXPECT_EQ(ParseRecordLine("# not in the tower bell 9", line), "");
  EXPECT_EQ(line, RecordLine{.lacking_bell = 9});
  EXPECT_EQ(RecordLineText(line), "# not in the tower bell 9");
  EXPECT_EQ(ParseRecordLine("# not in the tower bell 0", line),
            "holds \"# not in the tower bell 0\", not a bell's number after \"# not in the "
            "tower bell \"");
  EXPECT_EQ(ParseRecordLine("4,100,350,sent,sideways", line),
            "has \"sideways\" for stroke, neither hand nor back");
  EXPECT_EQ(
      RecordLineText(
          {.blow = 4, .sensor_ms = 100, .key_ms = 350, .sent = true, .stroke = Stroke::kHand}),
      "4,100,350,sent,hand");
}

// A screenshot or a record of the simulated bell never passes for a real practice.
TEST(PracticeFileTest, ASimulatedBellsRecordSaysSoInItsNameAndFirstLineAndReadsBack) {
  TempDir temp("record");
  const std::string dir = temp.File("practice");
  Practice practice;
  ASSERT_EQ(practice.OpenFile(dir, kStamp, true), "");
  const std::string path = (fs::path(dir) / "strikewell-20261207-120000-simulated.csv").string();
  EXPECT_EQ(practice.file_path(), path);
  for (int32_t blow = 1; blow <= 5; ++blow) {
    practice.Blow({.blow = blow,
                   .sensor_us = kT + blow * 1'100'000,
                   .key_us = kT + blow * 1'100'000 + 250'000,
                   .keyless = true});
  }
  EXPECT_EQ(ReadBytes(path),
            "# simulated bell\nblow,sensor_ms,key_ms,key\n1,0,250,none\n2,1100,1350,none\n"
            "3,2200,2450,none\n4,3300,3550,none\n5,4400,4650,none\n");
  Practice again;
  ASSERT_EQ(again.OpenFile(dir, kStamp, true), "");
  EXPECT_EQ(fs::path(again.file_path()).filename(), "strikewell-20261207-120000-simulated-2.csv");

  const RecordFileRead read = ReadRecordFile(path);
  EXPECT_EQ(read.error, "");
  EXPECT_TRUE(read.simulated);
  EXPECT_EQ(read.record, practice.record());
  const RecordFileRead empty = ReadRecordFile(again.file_path());
  EXPECT_EQ(empty.error, "") << "a simulated record without blows yet";
  EXPECT_TRUE(empty.simulated);
  EXPECT_TRUE(empty.record.empty());
  std::string out, err;
  EXPECT_EQ(RunReport(path, out, err), 0);
  EXPECT_THAT(out, StartsWith("A practice on the simulated bell (strikewell --simulate), not on a "
                              "real one.\nPractice summary\n"));
  EXPECT_NE(out.find("\nKeys: none, counting only.\n"), std::string::npos);
  EXPECT_EQ(StampOfFileName(path), kStamp) << "the picture keeps its date";

  // The mark is a first line only, and the heading must still follow it.
  WriteBytes(temp.File("late.csv"), "blow,sensor_ms,key_ms,key\n# simulated bell\n");
  EXPECT_THAT(ReadRecordFile(temp.File("late.csv")).error, StartsWith("Line 2 of "));
  WriteBytes(temp.File("bare.csv"), "# simulated bell\n");
  EXPECT_THAT(ReadRecordFile(temp.File("bare.csv")).error,
              StartsWith("Line 2 of " + temp.File("bare.csv") + " is empty, not the heading"));
}

TEST(PracticeFileTest, AFolderThatCannotBeMadeIsOneSentenceAndThePracticeStillCounts) {
  TempDir temp("record");
  WriteBytes(temp.File("notes"), "not a folder");
  const std::string dir = temp.File("notes/practice");
  Practice practice;
  const std::string error = practice.OpenFile(dir, kStamp);
  EXPECT_THAT(error, StartsWith("Cannot write the practice record in " + dir + ": "));
  EXPECT_GT(error.size(), ("Cannot write the practice record in " + dir + ": ").size());
  EXPECT_EQ(error.find('\n'), std::string::npos);
  practice.Blow({1, kT, kT + 250'000, true});
  EXPECT_EQ(practice.record().size(), 1u);
  EXPECT_EQ(practice.file_path(), "");
}

TEST(PracticeFileTest, ARecordOfSeveralBellsNamesTheBellOfEachBlow) {
  TempDir temp("record");
  Practice practice;
  ASSERT_EQ(practice.OpenFile(temp.path().string(), kStamp, false, false, true), "");
  practice.Blow({.blow = 1, .sensor_us = kT, .key_us = kT + 250'000, .sent = true, .bell = 2});
  practice.Blow(
      {.blow = 1, .sensor_us = kT + 40'000, .key_us = kT + 100'000, .sent = false, .bell = 11});
  practice.Zeroed();
  EXPECT_EQ(ReadBytes(practice.file_path()),
            "blow,sensor_ms,key_ms,key,bell\n1,0,250,sent,2\n1,40,100,dropped,11\n# zeroed\n");
  EXPECT_EQ(ReadRecordFile(practice.file_path()).record, practice.record());
}

// Several bells rung in a tower joined directly: each blow's stroke, then its bell;
// the file reads back as it was written.
TEST(PracticeFileTest, ARecordOfSeveralBellsInATowerNamesEachBlowsStrokeAndBell) {
  TempDir temp("record");
  Practice practice;
  ASSERT_EQ(practice.OpenFile(temp.path().string(), kStamp, /*simulated=*/false,
                              /*with_strokes=*/true, /*several_bells=*/true),
            "");
  practice.Blow({.blow = 1,
                 .sensor_us = kT,
                 .key_us = kT + 250'000,
                 .sent = true,
                 .stroke = Stroke::kHand,
                 .bell = 2});
  practice.Blow({.blow = 2,
                 .sensor_us = kT + 2'000'000,
                 .key_us = kT + 2'250'000,
                 .sent = true,
                 .stroke = Stroke::kBack,
                 .bell = 2});
  practice.Blow({.blow = 1, .sensor_us = kT + 40'000, .key_us = kT + 100'000, .bell = 9});
  practice.NotInTower(9);
  EXPECT_EQ(ReadBytes(practice.file_path()),
            "blow,sensor_ms,key_ms,key,stroke,bell\n1,0,250,sent,hand,2\n"
            "2,2000,2250,sent,back,2\n1,40,100,dropped,9\n# not in the tower bell 9\n");
  const RecordFileRead read = ReadRecordFile(practice.file_path());
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(read.record, practice.record());
}

// A pair's record: the summary with both bells' gaps, and a picture of each bell.
TEST(ReportTest, ARecordOfSeveralBellsDrawsEachBellsPicture) {
  TempDir temp("record");
  const std::string csv = temp.File("strikewell-20261207-120000.csv");
  std::string bytes = "blow,sensor_ms,key_ms,key,bell\n";
  for (int blow = 1; blow <= 6; ++blow) {
    const int at = (blow - 1) * 2000;
    bytes += std::to_string(blow) + "," + std::to_string(at) + "," + std::to_string(at + 250) +
             ",sent,1\n";
    bytes += std::to_string(blow) + "," + std::to_string(at + 100) + "," +
             std::to_string(at + 300) + ",sent,4\n";
  }
  WriteBytes(csv, bytes);
  std::string out, err;
  EXPECT_EQ(RunReport(csv, out, err), 0);
  EXPECT_EQ(err, "");
  const PracticeRecord record = ReadRecordFile(csv).record;
  ASSERT_EQ(record.size(), 12u);
  std::string expected;
  for (const std::string& line : PracticeSummary(record)) expected += line + "\n";
  const std::string svg1 = temp.File("strikewell-20261207-120000-bell1.svg");
  const std::string svg4 = temp.File("strikewell-20261207-120000-bell4.svg");
  EXPECT_EQ(out, expected + "The picture of bell 1 is in " + svg1 +
                     " (open it in a web browser).\nThe picture of bell 4 is in " + svg4 +
                     " (open it in a web browser).\n");
  EXPECT_EQ(ReadBytes(svg1), PracticeSvg(LinesOfBell(record, 1), kStamp));
  EXPECT_EQ(ReadBytes(svg4), PracticeSvg(LinesOfBell(record, 4), kStamp));
  EXPECT_FALSE(fs::exists(temp.File("strikewell-20261207-120000.svg")));
}

// A record as a crash may leave it: CR LF line ends from an editor, the last line cut short.
TEST(ReportTest, ReadsARecordPrintsItsSummaryAndDrawsItBeside) {
  TempDir temp("record");
  const std::string csv = temp.File("strikewell-20261207-120000.csv");
  WriteBytes(csv,
             "blow,sensor_ms,key_ms,key\r\n1,0,250,sent\r\n2,2200,2450,sent\n"
             "3,4600,4850,sent\n# zeroed\n1,60000,60250,dropped\n2,62100,62350,sent\n"
             "3,64000,64250,sent\n4,66");
  std::string out, err;
  EXPECT_EQ(RunReport(csv, out, err), 0);
  EXPECT_EQ(err, "");
  const PracticeRecord record = ReadRecordFile(csv).record;
  ASSERT_EQ(record.size(), 7u);
  EXPECT_EQ(record[4], (RecordLine{.blow = 1, .sensor_ms = 60000, .key_ms = 60250}));
  std::string expected = "The last line (9) is cut short and left out.\n";
  for (const std::string& line : PracticeSummary(record)) expected += line + "\n";
  const std::string svg = temp.File("strikewell-20261207-120000.svg");
  EXPECT_EQ(out, expected + "The picture is in " + svg + " (open it in a web browser).\n");
  EXPECT_EQ(ReadBytes(svg), PracticeSvg(record, kStamp));
}

TEST(ReportTest, FewerThanFiveBlowsStillDrawsThePicture) {
  TempDir temp("record");
  const std::string csv = temp.File("short.csv");
  WriteBytes(csv, "blow,sensor_ms,key_ms,key\n1,0,250,sent\n2,2200,2450,sent\n");
  std::string out, err;
  EXPECT_EQ(RunReport(csv, out, err), 0);
  EXPECT_EQ(out, "Fewer than 5 blows were recorded, too few for a summary.\nThe picture is in " +
                     temp.File("short.svg") + " (open it in a web browser).\n");
}

// Each file is no record: one sentence naming the line, status 1, no picture.
TEST(ReportTest, AFileThatIsNoRecordIsOneSentenceNamingTheLine) {
  const std::string head = "blow,sensor_ms,key_ms,key\n1,0,250,sent\n";
  const std::string bells_head = "blow,sensor_ms,key_ms,key,bell\n1,0,250,sent,1\n";
  const struct {
    std::string bytes;
    std::string sentence;  // after "Line "; {f} is the file
  } files[] = {
      {"",
       "1 of {f} is empty, not the heading blow,sensor_ms,key_ms,key nor "
       "blow,sensor_ms,key_ms,key,bell."},
      {"blow,sensor,key\n",
       "1 of {f} is \"blow,sensor,key\", not the heading "
       "blow,sensor_ms,key_ms,key nor blow,sensor_ms,key_ms,key,bell."},
      {head + "2,2200,2450,sent,2\n", "3 of {f} has \"2\" for stroke, neither hand nor back."},
      {bells_head + "2,2200,2450,sent\n",
       "3 of {f} holds \"2,2200,2450,sent\", not a blow line (blow,sensor_ms,key_ms,key,bell) "
       "nor # zeroed."},
      {bells_head + "2,2200,2450,sent,17\n",
       "3 of {f} has \"17\" for bell, not a bell's number from 1 to 16."},
      {head + "2,2200,sent\n3,4400,4650,sent\n",
       "3 of {f} holds \"2,2200,sent\", not a blow line (blow,sensor_ms,key_ms,key) nor "
       "# zeroed."},
      {head + "2,22OO,2450,sent\n", "3 of {f} has \"22OO\" for sensor_ms, not a whole number."},
      {head + "2,2200,2450,maybe\n", "3 of {f} has \"maybe\" for key, not sent, dropped or none."},
      {head + "\n2,2200,2450,sent\n", "3 of {f} is empty."},
      {head + std::string(200, '7') + "\n",
       "3 of {f} is longer than any line of a practice "
       "record."},
  };
  for (const auto& file : files) {
    SCOPED_TRACE(file.sentence);
    TempDir temp("record");
    const std::string csv = temp.File("r.csv");
    WriteBytes(csv, file.bytes);
    std::string out, err, sentence = "Line " + file.sentence;
    sentence.replace(sentence.find("{f}"), 3, csv);
    EXPECT_EQ(RunReport(csv, out, err), 1);
    EXPECT_EQ(err, sentence + "\n");
    EXPECT_EQ(out, "");
    EXPECT_FALSE(fs::exists(temp.File("r.svg")));
  }
}

TEST(ReportTest, UnreadableFileAndUnwritablePictureGiveTheSystemsReason) {
  TempDir temp("record");
  std::string out, err;
  EXPECT_EQ(RunReport(temp.File("none.csv"), out, err), 1);
  EXPECT_EQ(err, "Cannot read the practice record " + temp.File("none.csv") + ": " +
                     Reason(ENOENT) + "\n");

  WriteBytes(temp.File("r.csv"), "blow,sensor_ms,key_ms,key\n");
  fs::create_directory(temp.File("r.svg"));
  err.clear();
  EXPECT_EQ(RunReport(temp.File("r.csv"), out, err), 1);
  EXPECT_THAT(err, StartsWith("Cannot write the picture " + temp.File("r.svg") + ": "));
}

}  // namespace
}  // namespace strikewell
