// The kept login's text.
#include "tower/kept_login.h"

#include <gtest/gtest.h>

namespace strikewell {
namespace {

TEST(KeptLogin, WrittenTextReadsBackAsItself) {
  const KeptLogin login{.token = "abc.def",
                        .email = "ann@example.org",
                        .server = "https://ringingroom.com",
                        .tower = 123456789,
                        .tower_name = "St Mary's = Old Town"};
  EXPECT_EQ(KeptLoginText(login),
            "token=abc.def\n"
            "email=ann@example.org\n"
            "server=https://ringingroom.com\n"
            "tower=123456789\n"
            "tower_name=St Mary's = Old Town\n");
  EXPECT_EQ(ParseKeptLogin(KeptLoginText(login)), login);
}

TEST(KeptLogin, NoTowerIsAnEmptyLine) {
  const KeptLogin login{.token = "t", .email = "e", .server = "s"};
  EXPECT_EQ(KeptLoginText(login), "token=t\nemail=e\nserver=s\ntower=\ntower_name=\n");
  EXPECT_EQ(ParseKeptLogin(KeptLoginText(login)), login);
}

TEST(KeptLogin, LineEndsInValuesCannotAddFields) {
  const KeptLogin login{.token = "t\ntower=666", .tower_name = "A\r\nB"};
  const KeptLogin read = ParseKeptLogin(KeptLoginText(login));
  EXPECT_EQ(read.token, "ttower=666");
  EXPECT_EQ(read.tower, 0);
  EXPECT_EQ(read.tower_name, "AB");
}

TEST(KeptLogin, DamagedLinesLoseOnlyThemselves) {
  const KeptLogin read =
      ParseKeptLogin("garbage\r\ntoken=abc\r\ntower=12x\nunknown=1\nemail=ann@example.org");
  EXPECT_EQ(read.token, "abc");
  EXPECT_EQ(read.email, "ann@example.org");
  EXPECT_EQ(read.tower, 0);
  EXPECT_EQ(ParseKeptLogin(""), KeptLogin{});
}

}  // namespace
}  // namespace strikewell
