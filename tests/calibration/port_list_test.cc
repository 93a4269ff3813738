#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"

namespace strikewell {
namespace {

class TextPortNames : public PortNames {
 public:
  explicit TextPortNames(std::string text) : text_(std::move(text)) {}
  std::string GetSerialPortNames() override { return text_; }

 private:
  std::string text_;
};

std::vector<std::string> Numbered(int count, const std::string& prefix) {
  std::vector<std::string> names;
  for (int i = 1; i <= count; ++i) names.push_back(prefix + std::to_string(i));
  return names;
}

TEST(JoinPortNamesTest, QuotingRules) {
  struct Case {
    std::vector<std::string> names;
    std::string text;
  };
  const Case cases[] = {
      {{}, ""},
      {{"COM3"}, "COM3"},
      {{"COM3", "COM1", "COM10"}, "COM3,COM1,COM10"},
      {{""}, "\"\""},
      {{"COM1", ""}, "COM1,"},
      {{"", ""}, ","},
      {{"My Port"}, "\"My Port\""},
      {{"tab\there"}, "\"tab\there\""},
      {{std::string("x\x01y")}, "\"x\x01y\""},
      {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
      {{"A,B", "C"}, "\"A,B\",C"},
      {{"caf\xe9"}, "caf\xe9"},  // codes above 127 need no quotes
      {{"COM1", "COM1"}, "COM1,COM1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JoinPortNames(c.names), c.text) << testing::PrintToString(c.names);
  }
}

struct SplitCase {
  std::string text;
  std::vector<std::string> entries;
};

void ExpectList(const SplitCase& c) {
  TextPortNames names(c.text);
  PortListType SSS;
  SSS.fill("stale");
  int32_t SSSI = -1;
  ListCommPort(SSSI, SSS, names);
  ASSERT_EQ(SSSI, static_cast<int32_t>(c.entries.size())) << c.text;
  EXPECT_EQ(SSS[0], "") << c.text;
  for (int i = 1; i <= kMaxPorts; ++i) {
    const std::string expected = i <= SSSI ? c.entries[i - 1] : "";
    EXPECT_EQ(SSS[i], expected) << c.text << " entry " << i;
  }
}

TEST(ListCommPortTest, SplitsOnlyAtCommas) {
  const SplitCase cases[] = {
      {"", {""}},          // no ports: one empty entry
      {"COM3", {"COM3"}},  // no trailing empty entry
      {"COM3,COM1,COM10", {"COM3", "COM1", "COM10"}},
      {"\"\"", {"\"\""}},  // a lone empty name keeps its quotes
      {"COM1,", {"COM1", ""}},
      {"\"My Port\",COM2", {"\"My Port\"", "COM2"}},
      {"\"A,B\",C", {"\"A", "B\"", "C"}},  // a comma in a name splits it
      {"COM1,COM1", {"COM1", "COM1"}},
  };
  for (const SplitCase& c : cases) ExpectList(c);
}

// At most 25 entries fit; beyond them the first are kept, and a 26th entry that is
// empty is dropped all the same.
TEST(ListCommPortTest, TwentyFivePortsFit) {
  const std::vector<std::string> forty = Numbered(40, "COM");
  std::vector<std::string> with_empty = Numbered(25, "ttyS");
  with_empty.push_back("");
  ExpectList({JoinPortNames(Numbered(25, "COM")), Numbered(25, "COM")});
  ExpectList({JoinPortNames(forty), std::vector<std::string>(forty.begin(), forty.begin() + 25)});
  ExpectList({JoinPortNames(with_empty), Numbered(25, "ttyS")});
}

}  // namespace
}  // namespace strikewell
