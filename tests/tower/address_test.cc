// Which site and tower the command line names, and which addresses are refused.
#include "tower/address.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace strikewell {
namespace {

using ::testing::HasSubstr;

TEST(ChooseTower, ANumberRingsOnTheDefaultSite) {
  const TowerChoice choice = ChooseTower("123456789", "");
  EXPECT_EQ(choice.error, "");
  EXPECT_EQ(choice.server, "https://ringingroom.com");
  EXPECT_EQ(choice.tower, 123456789);
}

TEST(ChooseTower, AWholeAddressNamesTheSiteAndTheTower) {
  struct Row {
    const char* tower;
    const char* server;
    int64_t number;
  };
  const Row rows[] = {
      {.tower = "https://ringingroom.com/123456789/st-marys",
       .server = "https://ringingroom.com",
       .number = 123456789},
      {.tower = "https://RingingRoom.com/123456789",
       .server = "https://ringingroom.com",
       .number = 123456789},
      {.tower = "http://localhost:8080/42/test?x=1",
       .server = "http://localhost:8080",
       .number = 42},
      {.tower = "http://127.0.0.5/42", .server = "http://127.0.0.5", .number = 42},
      {.tower = "http://[::1]:5000/42/", .server = "http://[::1]:5000", .number = 42},
  };
  for (const Row& row : rows) {
    const TowerChoice choice = ChooseTower(row.tower, "https://ignored.example");
    EXPECT_EQ(choice.error, "") << row.tower;
    EXPECT_EQ(choice.server, row.server) << row.tower;
    EXPECT_EQ(choice.tower, row.number) << row.tower;
  }
}

TEST(ChooseTower, ServerIsUsedWithANumberAndLosesItsTrailingSlash) {
  const TowerChoice choice = ChooseTower("7", "https://rr.example.org:8443/");
  EXPECT_EQ(choice.error, "");
  EXPECT_EQ(choice.server, "https://rr.example.org:8443");
  EXPECT_EQ(ChooseTower("", "").tower, 0);
}

TEST(ChooseTower, PlainHttpIsOnlyForLoopback) {
  for (const char* server :
       {"http://ringingroom.com", "http://192.168.1.2:8080", "http://128.0.0.1",
        "http://localhost.example.com", "http://127.0.0.1.example.com"}) {
    const TowerChoice choice = ChooseTower("5", server);
    EXPECT_THAT(choice.error, HasSubstr("must start with https://")) << server;
  }
  EXPECT_THAT(ChooseTower("http://ringingroom.com/123/x", "").error,
              HasSubstr("must start with https://"));
}

TEST(ChooseTower, WhatIsNotATowerOrSiteIsSaid) {
  struct Row {
    const char* tower;
    const char* server;
    const char* says;
  };
  const Row rows[] = {
      {.tower = "st-marys", .server = "", .says = "--tower needs the tower's number"},
      {.tower = "12a", .server = "", .says = "--tower needs the tower's number"},
      {.tower = "1234567890123456", .server = "", .says = "--tower needs the tower's number"},
      {.tower = "https://ringingroom.com/about", .server = "", .says = "names no tower number"},
      {.tower = "5", .server = "ringingroom.com", .says = "is not a web address"},
      {.tower = "5", .server = "ftp://ringingroom.com", .says = "is not a web address"},
      {.tower = "5", .server = "https://ringingroom.com:99999", .says = "no valid port"},
      {.tower = "5", .server = "https://user@ringingroom.com", .says = "no valid host"},
  };
  for (const Row& row : rows) {
    EXPECT_THAT(ChooseTower(row.tower, row.server).error, HasSubstr(row.says)) << row.tower;
  }
}

TEST(SocketUrl, EngineIoOverWebSocketOnTheTowersServer) {
  std::string error;
  EXPECT_EQ(SocketUrl("https://ringingroom.com/", error),
            "wss://ringingroom.com/socket.io/?EIO=4&transport=websocket");
  EXPECT_EQ(SocketUrl("https://s3.ringingroom.com", error),
            "wss://s3.ringingroom.com/socket.io/?EIO=4&transport=websocket");
  EXPECT_EQ(SocketUrl("http://127.0.0.1:5001/", error),
            "ws://127.0.0.1:5001/socket.io/?EIO=4&transport=websocket");
  EXPECT_EQ(error, "");
}

TEST(SocketUrl, ASocketServerOffLoopbackWithoutTlsIsRefused) {
  std::string error;
  EXPECT_EQ(SocketUrl("http://evil.example/", error), "");
  EXPECT_THAT(error, HasSubstr("https://"));
  error.clear();
  EXPECT_EQ(SocketUrl("/relative", error), "");
  EXPECT_THAT(error, HasSubstr("is not a web address"));
}

}  // namespace
}  // namespace strikewell
