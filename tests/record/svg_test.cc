// The practice picture, compared as text with a picture checked by eye and kept in
// expected/. When the drawing is changed on purpose, look at the new picture the failing test
// leaves in the working directory and copy it over the expected one.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "record/svg.h"
#include "test_records.h"

namespace strikewell {
namespace {

using testing::Piece;
using testing::ReadBytes;
using testing::WriteBytes;
using testing::Zeroed;

std::string Expected(const std::string& name) {
  return ReadBytes((std::filesystem::path(__FILE__).parent_path() / "expected" / name).string());
}

// Nine blows with a zeroing after the fourth and a dropped key, which the picture ignores.
TEST(PracticeSvgTest, SmallRecordWithAZeroingMatchesTheCheckedPicture) {
  PracticeRecord record =
      Zeroed(Piece({0, 2150, 4400, 6500}), Piece({30000, 32200, 34350, 36400, 38700}));
  record[2].sent = false;
  const std::string svg = PracticeSvg(record, "20261207-193005");
  const std::string expected = Expected("zeroed_practice.svg");
  if (svg != expected) {
    WriteBytes("zeroed_practice.svg", svg);
    FAIL() << "differs from expected/zeroed_practice.svg (or it is missing); the new picture is in "
           << std::filesystem::absolute("zeroed_practice.svg");
  }
}

// Nothing to plot still gives a whole picture, titled without a date when none is known.
TEST(PracticeSvgTest, RecordWithoutIntervalsGivesAnEmptyChart) {
  const std::string svg = PracticeSvg(Piece({0}), "");
  EXPECT_NE(svg.find(">Practice, 1 blow</text>"), std::string::npos);
  EXPECT_EQ(svg.find("<circle"), std::string::npos);
  EXPECT_TRUE(svg.ends_with("</svg>\n"));
}

TEST(PracticeSvgTest, StampComesFromTheRecordFileName) {
  EXPECT_EQ(StampOfFileName("/home/r/practice/strikewell-20261207-193005.csv"), "20261207-193005");
  EXPECT_EQ(StampOfFileName("strikewell-20261207-193005-2.csv"), "20261207-193005");
  EXPECT_EQ(StampOfFileName("strikewell-20261307-193005.csv"), "") << "month 13";
  EXPECT_EQ(StampOfFileName("monday.csv"), "");
}

}  // namespace
}  // namespace strikewell
