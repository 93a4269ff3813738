#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"

namespace strikewell {
namespace {

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
      {{"My Port"}, "\"My Port\""},
      {{std::string("x\x01y")}, "\"x\x01y\""},
      {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
      {{"A,B", "C"}, "\"A,B\",C"},
      {{"caf\xe9"}, "caf\xe9"},  // codes above 127 need no quotes
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JoinPortNames(c.names), c.text) << testing::PrintToString(c.names);
  }
}

// The list, and the 25 entries that fit, from the comma text; stale entries are cleared.
void ExpectList(const std::string& text, const std::vector<std::string>& entries) {
  struct : PortNames {
    std::string text;
    std::string GetSerialPortNames() override { return text; }
  } names;
  names.text = text;
  PortListType SSS;
  SSS.fill("stale");
  int32_t SSSI = -1;
  ListCommPort(SSSI, SSS, names);
  ASSERT_EQ(SSSI, static_cast<int32_t>(entries.size())) << text;
  for (int i = 0; i <= kMaxPorts; ++i) {
    EXPECT_EQ(SSS[i], i >= 1 && i <= SSSI ? entries[i - 1] : "") << text << " entry " << i;
  }
}

TEST(ListCommPortTest, SplitsOnlyAtCommas) {
  ExpectList("", {""});  // no ports: one empty entry
  ExpectList("COM3", {"COM3"});
  ExpectList("COM3,COM1,COM10", {"COM3", "COM1", "COM10"});
  ExpectList("\"\"", {"\"\""});  // a lone empty name keeps its quotes
  ExpectList("COM1,", {"COM1", ""});
  ExpectList("\"A,B\",C", {"\"A", "B\"", "C"});  // a comma in a name splits it
}

// At most 25 entries fit; beyond them the first are kept, and a 26th entry that is
// empty is dropped all the same.
TEST(ListCommPortTest, TwentyFivePortsFit) {
  const std::vector<std::string> forty = Numbered(40, "COM");
  std::vector<std::string> with_empty = Numbered(25, "ttyS");
  with_empty.push_back("");
  ExpectList(JoinPortNames(Numbered(25, "COM")), Numbered(25, "COM"));
  ExpectList(JoinPortNames(forty), std::vector<std::string>(forty.begin(), forty.begin() + 25));
  ExpectList(JoinPortNames(with_empty), Numbered(25, "ttyS"));
}

}  // namespace
}  // namespace strikewell
