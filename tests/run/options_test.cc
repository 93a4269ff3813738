// The command line: what each argument asks for, and the one sentence for each mistake.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_login_store.h"
#include "run/options.h"
#include "run/program.h"
#include "run/simulated_bell.h"
#include "strikewell_version.h"

namespace strikewell {
namespace {

Options Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "strikewell");
  return ParseOptions(static_cast<int>(args.size()), args.data());
}

struct Ran {
  int status;
  std::string out, err;
};

Ran Carry(const Options& options) {
  Ran ran;
  ran.status = RunCommand(options, ran.out, ran.err);
  return ran;
}

TEST(OptionsTest, NoArgumentsCountsAsEverWithoutARecord) {
  const Options options = Parse({});
  EXPECT_EQ(options.command, Command::Count);
  EXPECT_EQ(options.record_dir, "");
}

TEST(OptionsTest, ValuesFollowAsTheNextArgumentOrAfterAnEqualsSign) {
  EXPECT_EQ(Parse({"--record", "/home/r/practice"}).record_dir, "/home/r/practice");
  EXPECT_EQ(Parse({"--record=/home/r/practice"}).record_dir, "/home/r/practice");
  EXPECT_EQ(Parse({"--record=/home/r/practice"}).command, Command::Count);
  const Options report = Parse({"--report", "p.csv"});
  EXPECT_EQ(report.command, Command::Report);
  EXPECT_EQ(report.report_file, "p.csv");
  EXPECT_EQ(Parse({"--report=p.csv"}).report_file, "p.csv");
}

TEST(OptionsTest, SimulateTakesAnOptionalWholePullAndCountOnlyNone) {
  EXPECT_EQ(Parse({}).simulate_ms, 0) << "a real bell";
  EXPECT_FALSE(Parse({}).count_only);
  EXPECT_EQ(Parse({"--simulate"}).simulate_ms, kDefaultWholePullMs);
  EXPECT_EQ(Parse({"--simulate=1000"}).simulate_ms, 1000);
  EXPECT_EQ(Parse({"--simulate=10000"}).simulate_ms, 10000);
  EXPECT_EQ(Parse({"--simulate", "1500"}).simulate_ms, 1500);
  const Options both = Parse({"--simulate", "--count-only", "--record", "p"});
  EXPECT_EQ(both.command, Command::Count);
  EXPECT_EQ(both.simulate_ms, kDefaultWholePullMs);
  EXPECT_TRUE(both.count_only);
  EXPECT_EQ(both.record_dir, "p");
  EXPECT_TRUE(Parse({"--count-only"}).count_only);
  EXPECT_EQ(Parse({"--count-only"}).simulate_ms, 0);
}

TEST(OptionsTest, TheDebounceIsTwentyMillisecondsUnlessGiven) {
  EXPECT_EQ(Parse({}).debounce_ms, 20);
  EXPECT_EQ(Parse({"--debounce", "0"}).debounce_ms, 0);
  EXPECT_EQ(Parse({"--debounce=1000"}).debounce_ms, 1000);
  EXPECT_EQ(Parse({"--debounce", "5", "--record", "r"}).command, Command::Count);
}

TEST(OptionsTest, SeveralBellsAreAskedForWithBells) {
  EXPECT_FALSE(Parse({}).several_bells);
  const Options bells = Parse({"--bells", "--record", "r"});
  EXPECT_TRUE(bells.several_bells);
  EXPECT_EQ(bells.command, Command::Count);
  EXPECT_EQ(bells.record_dir, "r");
}

TEST(OptionsTest, SeveralBellsRingATowerGivenDirectly) {
  const Options bells = Parse({"--bells", "--tower", "123456789"});
  EXPECT_TRUE(bells.several_bells);
  EXPECT_EQ(bells.tower, "123456789");
  EXPECT_EQ(bells.command, Command::Count);
}

TEST(OptionsTest, HelpAndVersionPrintToStandardOutputAndEnd) {
  const Ran help = Carry(Parse({"--help"}));
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with(
      "Usage: strikewell [--bells] [--record DIR] [--debounce MS] [--count-only]\n"
      "       strikewell --simulate[=MS] [--record DIR] [--count-only]\n"))
      << help.out;
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(Parse({"--report", "p.csv", "--help"}).command, Command::Help) << "help wins";

  const Ran version = Carry(Parse({"--version"}));
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("Serialport_Strikewell_v0.5.2.1.1_with_sendkey, 9 June 2020\n"
                                     "strikewell ") +
                             kReleaseVersion + "\n");
}

constexpr const char* kWholePullMistake =
    "--simulate takes a whole-pull time from 1000 to 10000 milliseconds, such as "
    "--simulate=2200.";

// Each mistake: one sentence, then the usage, on standard error; status 2.
TEST(OptionsTest, MistakesAreOneSentenceAndTheUsage) {
  const struct {
    std::vector<const char*> args;
    std::string sentence;
  } mistakes[] = {
      {{"--frobnicate"}, "Unknown option \"--frobnicate\"."},
      {{"-r", "x"}, "Unknown option \"-r\"."},
      {{"--record"}, "--record needs a folder after it."},
      {{"--record", "--help"}, "--record needs a folder after it."},
      {{"--record="}, "--record needs a folder after it."},
      {{"--report"}, "--report needs a record file after it."},
      {{"--help=yes"}, "--help takes no value."},
      {{"--bells=2"}, "--bells takes no value."},
      {{"--bells", "--simulate"},
       "--simulate rings one simulated bell, so it does not go with --bells."},
      {{"--bells", "--bell", "3"},
       "--bells rings the bells named in bells_strikewell.ini, so it does not go with --bell."},
      {{"practice.csv"}, "Unexpected argument \"practice.csv\"."},
      {{"--debounce"}, "--debounce needs a number of milliseconds after it."},
      {{"--debounce", "1001"},
       "--debounce needs a number of milliseconds from 0 to 1000, not \"1001\"."},
      {{"--debounce=-1"}, "--debounce needs a number of milliseconds from 0 to 1000, not \"-1\"."},
      {{"--debounce", "20ms"},
       "--debounce needs a number of milliseconds from 0 to 1000, not \"20ms\"."},
      {{"--tower"}, "--tower needs a tower's number or address after it."},
      {{"--tower", "st-marys"},
       "--tower needs the tower's number or its whole address, not st-marys."},
      {{"--tower", "5", "--server", "http://ringingroom.com"},
       "Ringing Room's address must start with https:// so that the password is never sent "
       "unencrypted (http:// only for localhost): http://ringingroom.com"},
      {{"--server=http://10.0.0.2:5000"},
       "Ringing Room's address must start with https:// so that the password is never sent "
       "unencrypted (http:// only for localhost): http://10.0.0.2:5000"},
      {{"--tower", "5", "--bell", "0"}, "--bell needs a bell's number from 1 to 32, not \"0\"."},
      {{"--bell=treble"}, "--bell needs a bell's number from 1 to 32, not \"treble\"."},
      {{"--forget-login=yes"}, "--forget-login takes no value."},
      {{"--simulate=999"}, kWholePullMistake},
      {{"--simulate=10001"}, kWholePullMistake},
      {{"--simulate=-1500"}, kWholePullMistake},
      {{"--simulate=1500ms"}, kWholePullMistake},
      {{"--simulate=99999999999"}, kWholePullMistake},
      {{"--simulate", "fast"}, kWholePullMistake},
      {{"--simulate="}, "--simulate needs a whole-pull time after it."},
      {{"--count-only=yes"}, "--count-only takes no value."},
  };
  const std::string usage = Carry(Parse({"--help"})).out;
  for (const auto& m : mistakes) {
    SCOPED_TRACE(m.sentence);
    const Options options = Parse(m.args);
    EXPECT_EQ(options.command, Command::Mistake);
    const Ran ran = Carry(options);
    EXPECT_EQ(ran.status, 2);
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err, m.sentence + "\n" + usage);
  }
}

TEST(OptionsTest, TowerServerAndBellAreKeptForTheStart) {
  const Options options =
      Parse({"--tower", "https://ringingroom.com/123456789/st-marys", "--bell=3"});
  EXPECT_EQ(options.command, Command::Count);
  EXPECT_EQ(options.tower, "https://ringingroom.com/123456789/st-marys");
  EXPECT_EQ(options.bell, 3);
  EXPECT_EQ(Parse({"--tower", "42", "--server", "http://127.0.0.1:8080"}).server,
            "http://127.0.0.1:8080");
  EXPECT_EQ(Parse({}).tower, "");
  EXPECT_EQ(Parse({}).bell, 0);
}

TEST(OptionsTest, ForgetLoginRemovesTheKeptLoginAndEnds) {
  const Options options = Parse({"--forget-login"});
  EXPECT_EQ(options.command, Command::ForgetLogin);
  testing::FakeLoginStore logins;
  logins.text = "token=abc\n";
  Ran ran;
  ran.status = RunCommand(options, ran.out, ran.err, &logins);
  EXPECT_EQ(ran.status, 0);
  EXPECT_FALSE(logins.text.has_value());
  EXPECT_EQ(ran.out,
            "No Ringing Room login is kept now (/home/ann/.config/strikewell/ringingroom).\n");
}

TEST(OptionsTest, ReportOfAMissingFileEndsWithStatusOne) {
  const Ran ran = Carry(Parse({"--report", "no-such-strikewell-record.csv"}));
  EXPECT_EQ(ran.status, 1);
  EXPECT_TRUE(
      ran.err.starts_with("Cannot read the practice record no-such-strikewell-record.csv: "));
}

}  // namespace
}  // namespace strikewell
