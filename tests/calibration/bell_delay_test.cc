#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "calibration/port_table.h"
#include "fake_clock.h"
#include "fake_console.h"

namespace strikewell::testing {
namespace {

using ::testing::ElementsAreArray;

constexpr const char* kPrompt1 =
    "Give the delay in milliseconds between the sensor input and strike point";
constexpr const char* kPrompt2 = "Use the delay setting in Abel as a starting point";

TEST(BellDelayTest, RepliesAreAskedForAgainUntilOneIsAWholeNumber) {
  struct Case {
    std::vector<std::string> replies;
    int32_t delay;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {.replies = {"250"}, .delay = 250, .rows = {kPrompt1, kPrompt2, "250"}},
      {.replies = {"  250"}, .delay = 250, .rows = {kPrompt1, kPrompt2, "  250"}},
      {.replies = {"-20"}, .delay = -20, .rows = {kPrompt1, kPrompt2, "-20"}},
      {.replies = {"$FA"}, .delay = 250, .rows = {kPrompt1, kPrompt2, "$FA"}},
      {.replies = {"250 ", "250ms", "", "300"},
       .delay = 300,
       .rows = {kPrompt1, kPrompt2, "250", "Input 250  not an integer, try again", kPrompt1,
                kPrompt2, "250ms", "Input 250ms not an integer, try again", kPrompt1, kPrompt2, "",
                "Input  not an integer, try again", kPrompt1, kPrompt2, "300"}},
      {.replies = {"2147483648", "-2147483648"},
       .delay = INT32_MIN,
       .rows = {kPrompt1, kPrompt2, "2147483648", "Input 2147483648 not an integer, try again",
                kPrompt1, kPrompt2, "-2147483648"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.replies.front());
    FakeClock clock;
    FakeRawConsole raw(clock, 80, 60);
    Console console(raw, clock);
    for (const std::string& reply : c.replies) raw.TypeLine(reply);
    Settings settings;
    settings.BellDelay = 7;
    AskBellDelay(settings, console);
    EXPECT_EQ(settings.BellDelay, c.delay);
    std::vector<std::string> rows;
    for (int y = 1; y <= static_cast<int>(c.rows.size()); ++y) rows.push_back(raw.Row(y));
    EXPECT_THAT(rows, ElementsAreArray(c.rows));
    EXPECT_EQ(raw.Row(static_cast<int>(c.rows.size()) + 1), "");
  }
}

}  // namespace
}  // namespace strikewell::testing
