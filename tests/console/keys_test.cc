// Key polling and reading, two-part keys, single-key answers and the end of input.
#include <gtest/gtest.h>

#include <vector>

#include "key_script.h"

namespace strikewell {
namespace {

using testing::Rig;
using testing::TypeScript;

TEST(ConsoleKeys, KeyPressedNeverWaitsAndReadKeyPollsEveryMillisecond) {
  Rig rig;
  rig.raw.Type("q", 40);
  rig.raw.Type("a", 45);
  EXPECT_FALSE(rig.console.KeyPressed());
  EXPECT_TRUE(rig.clock.sleeps.empty());
  rig.clock.Advance(40'000);
  EXPECT_TRUE(rig.console.KeyPressed());
  EXPECT_TRUE(rig.console.KeyPressed());
  EXPECT_EQ(rig.console.ReadKey(), 'q');
  EXPECT_EQ(rig.console.ReadKey(), 'a');
  EXPECT_EQ(rig.clock.sleeps, std::vector<uint32_t>(5, 1));
}

TEST(ConsoleAnswerKey, UpperCasesLettersAndDropsSecondHalves) {
  const struct {
    const char* script;
    std::vector<int> answers;  // ReadAnswerKey once per entry
  } cases[] = {
      {"ynaZ`{1 \xe1\x7f<Enter><Esc>",
       {'Y', 'N', 'A', 'Z', '`', '{', '1', ' ', 0xE1, 0x7F, 13, 27}},
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

// The dropped half does not reach the counting loop's poll.
TEST(ConsoleAnswerKey, TwoPartKeyLeavesNothingBehind) {
  Rig rig;
  TypeScript(rig.raw, "<PgDn>");
  rig.raw.Type("0", 10);
  EXPECT_EQ(rig.console.ReadAnswerKey(), 0);
  EXPECT_FALSE(rig.console.KeyPressed());
  rig.clock.Advance(10'000);
  EXPECT_EQ(rig.console.ReadKey(), '0');
}

// Read one by one, a two-part key is 0 then its code; then every waiting read ends.
TEST(ConsoleInputEnd, EveryWaitingReadThrowsOnceTheKeysAreUsedUp) {
  Rig rig;
  TypeScript(rig.raw, "<PgDn>");
  EXPECT_EQ(rig.console.ReadKey(), 0);
  EXPECT_TRUE(rig.console.KeyPressed());
  EXPECT_EQ(rig.console.ReadKey(), 81);
  EXPECT_THROW(rig.console.KeyPressed(), ConsoleInputEnded);
  EXPECT_THROW(rig.console.ReadKey(), ConsoleInputEnded);
  EXPECT_THROW(rig.console.ReadAnswerKey(), ConsoleInputEnded);
  EXPECT_THROW(rig.console.ReadLine(), ConsoleInputEnded);
  EXPECT_THROW(rig.console.ReadBareLine(), ConsoleInputEnded);
  EXPECT_THROW(rig.console.ReadWordSkippingEmptyLines(), ConsoleInputEnded);
  // Waiting for time alone still works; a delay of 0 does not sleep.
  rig.console.Delay(0);
  rig.console.Delay(65535);
  EXPECT_EQ(rig.clock.sleeps, std::vector<uint32_t>{65535});
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
