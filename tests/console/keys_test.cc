// Key polling and reading, two-part keys, single-key answers and the end of input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "key_script.h"

namespace strikewell {
namespace {

using testing::Rig;
using testing::TypeScript;

TEST(ConsoleKeys, KeyPressedNeverWaitsAndKeepsTheKey) {
  Rig rig;
  rig.raw.Type("q", 40);
  EXPECT_FALSE(rig.console.KeyPressed());
  rig.clock.Advance(40'000);
  EXPECT_TRUE(rig.console.KeyPressed());
  EXPECT_TRUE(rig.console.KeyPressed());
  EXPECT_EQ(rig.console.ReadKey(), 'q');
  EXPECT_TRUE(rig.clock.sleeps.empty());
}

// A two-part key reads as 0 then its code, the second half pressed too; a program that
// reads codes one by one takes the second half as a key of its own.
TEST(ConsoleKeys, TwoPartKeysReadAsZeroThenTheCode) {
  Rig rig;
  TypeScript(rig.raw, "<Left><PgDn>x");
  std::vector<int> read;
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(rig.console.KeyPressed());
    read.push_back(rig.console.ReadKey());
  }
  EXPECT_EQ(read, (std::vector<int>{0, 75, 0, 81, 'x'}));
}

TEST(ConsoleKeys, ReadKeyPollsEveryMillisecondUntilAKeyComes) {
  Rig rig;
  rig.raw.Type("a", 5);
  EXPECT_EQ(rig.console.ReadKey(), 'a');
  EXPECT_EQ(rig.clock.sleeps, std::vector<uint32_t>(5, 1));
  EXPECT_EQ(rig.clock.NowMillis(), 5);
}

TEST(ConsoleAnswerKey, UpperCasesLettersAndDropsSecondHalves) {
  const struct {
    const char* script;
    std::vector<int> answers;  // ReadAnswerKey once per entry
  } cases[] = {
      {"ynaZ`{1 ", {'Y', 'N', 'A', 'Z', '`', '{', '1', ' '}},
      {"\xe1\x7f<Enter><Esc>", {0xE1, 0x7F, 13, 27}},
      // PgDn is 0, 81 and 81 is "Q": the 81 must not answer the next question.
      {"<PgDn>n", {0, 'N'}},
      {"<Left><F1>y", {0, 0, 'Y'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    Rig rig;
    TypeScript(rig.raw, c.script);
    std::vector<int> answers;
    for (size_t i = 0; i < c.answers.size(); ++i) answers.push_back(rig.console.ReadAnswerKey());
    EXPECT_EQ(answers, c.answers);
    EXPECT_THROW(rig.console.KeyPressed(), ConsoleInputEnded);
  }
}

// The dropped half reaches neither the counting loop's poll nor a line read next.
TEST(ConsoleAnswerKey, TwoPartKeyLeavesNothingBehind) {
  Rig rig;
  TypeScript(rig.raw, "<PgDn>");
  rig.raw.Type("0", 10);
  EXPECT_EQ(rig.console.ReadAnswerKey(), 0);
  EXPECT_FALSE(rig.console.KeyPressed());
  rig.clock.Advance(10'000);
  EXPECT_EQ(rig.console.ReadKey(), '0');

  Rig line;
  TypeScript(line.raw, "<Down>17<Enter>");
  EXPECT_EQ(line.console.ReadAnswerKey(), 0);
  EXPECT_EQ(line.console.ReadLine(), "17");
}

TEST(ConsoleInputEnd, EveryWaitingReadThrowsOnceTheKeysAreUsedUp) {
  Rig rig;
  TypeScript(rig.raw, "<Right>");
  EXPECT_EQ(rig.console.ReadKey(), 0);
  // Keys still waiting are delivered first.
  EXPECT_TRUE(rig.console.KeyPressed());
  EXPECT_EQ(rig.console.ReadKey(), 77);
  EXPECT_THROW(rig.console.KeyPressed(), ConsoleInputEnded);
  EXPECT_THROW(rig.console.ReadKey(), ConsoleInputEnded);
  EXPECT_THROW(rig.console.ReadAnswerKey(), ConsoleInputEnded);
  EXPECT_THROW(rig.console.ReadLine(), ConsoleInputEnded);
  EXPECT_THROW(rig.console.ReadBareLine(), ConsoleInputEnded);
  EXPECT_THROW(rig.console.ReadWordSkippingEmptyLines(), ConsoleInputEnded);
  // Waiting for time alone still works, and nothing slept on a dead input.
  rig.console.Delay(8000);
  EXPECT_EQ(rig.clock.sleeps, std::vector<uint32_t>{8000});
}

TEST(ConsoleInputEnd, PartOfALineIsShownBeforeTheEnd) {
  Rig rig;
  rig.console.Write("Delay? ");
  rig.raw.Type("12");
  EXPECT_THROW(rig.console.ReadLine(), ConsoleInputEnded);
  EXPECT_EQ(rig.raw.Row(1), "Delay? 12");
  // One flush before each of the three key waits, the last after the "2" was echoed.
  EXPECT_EQ(rig.raw.flushes, 3);
}

}  // namespace
}  // namespace strikewell
