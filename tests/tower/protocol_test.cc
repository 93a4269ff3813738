// The decoder of what the tower's socket server sends, and the encoder of what this
// program sends: one message in, one event (or the reason it is ignored) out.
#include "tower/protocol.h"

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace strikewell {
namespace {

using Kind = ServerEvent::Kind;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

TEST(DecodeFraming, OpenTakesTheHeartbeatAndIgnoresOtherFields) {
  const ServerEvent open = DecodeMessage(
      R"(0{"sid":"abc","upgrades":[],"pingInterval":300,"pingTimeout":200,"maxPayload":1000000})");
  EXPECT_EQ(open.kind, Kind::kOpen);
  EXPECT_EQ(open.ping_interval_ms, 300);
  EXPECT_EQ(open.ping_timeout_ms, 200);
}

TEST(DecodeFraming, OpenWithAnUnusableHeartbeatKeepsTheUsualOne) {
  for (const char* message : {R"(0{"sid":"a"})", R"(0{"pingInterval":"25000","pingTimeout":-1})",
                              R"(0{"pingInterval":0,"pingTimeout":2.5})",
                              R"(0{"pingInterval":99999999999,"pingTimeout":true})"}) {
    const ServerEvent open = DecodeMessage(message);
    EXPECT_EQ(open.kind, Kind::kOpen) << message;
    EXPECT_EQ(open.ping_interval_ms, kDefaultPingIntervalMs) << message;
    EXPECT_EQ(open.ping_timeout_ms, kDefaultPingTimeoutMs) << message;
  }
}

TEST(DecodeFraming, PacketTypes) {
  struct Row {
    const char* message;
    Kind kind;
  };
  const Row rows[] = {
      {.message = "2", .kind = Kind::kPing},
      {.message = "40", .kind = Kind::kConnected},
      {.message = R"(40{"sid":"xyz"})", .kind = Kind::kConnected},
      {.message = "41", .kind = Kind::kDisconnected},
      {.message = R"(44{"message":"Not authorized"})", .kind = Kind::kDisconnected},
      {.message = "1", .kind = Kind::kDisconnected},
      {.message = R"(42["s_bad_token"])", .kind = Kind::kBadToken},
      {.message = "2probe", .kind = Kind::kIgnored},
      {.message = "3", .kind = Kind::kIgnored},
      {.message = "6", .kind = Kind::kIgnored},
      {.message = "4", .kind = Kind::kIgnored},
      {.message = "43", .kind = Kind::kIgnored},
      {.message = "", .kind = Kind::kIgnored},
  };
  for (const Row& row : rows) EXPECT_EQ(DecodeMessage(row.message).kind, row.kind) << row.message;
}

TEST(DecodeEvents, GlobalStateGivesEveryBellsNextStroke) {
  const ServerEvent state =
      DecodeMessage(R"(42["s_global_state",{"global_bell_state":[true,false,true,true]}])");
  EXPECT_EQ(state.kind, Kind::kGlobalState);
  EXPECT_THAT(state.bells, ElementsAre(true, false, true, true));
}

TEST(DecodeEvents, BellRungGivesStateRingerAndDisagreement) {
  const ServerEvent rung = DecodeMessage(
      R"(42["s_bell_rung",{"global_bell_state":[false,true],"who_rang":1,"disagree":true}])");
  EXPECT_EQ(rung.kind, Kind::kBellRung);
  EXPECT_THAT(rung.bells, ElementsAre(false, true));
  EXPECT_EQ(rung.bell, 1);
  EXPECT_TRUE(rung.disagree);
  EXPECT_FALSE(DecodeMessage(R"(42["s_bell_rung",{"global_bell_state":[false,true],"who_rang":2}])")
                   .disagree);
}

TEST(DecodeEvents, AssignUserTakesNobodyInEveryForm) {
  struct Row {
    const char* message;
    int64_t user;
  };
  const Row rows[] = {
      {.message = R"(42["s_assign_user",{"bell":3,"user":57}])", .user = 57},
      {.message = R"(42["s_assign_user",{"bell":3,"user":0}])", .user = 0},
      {.message = R"(42["s_assign_user",{"bell":3,"user":""}])", .user = 0},
      {.message = R"(42["s_assign_user",{"bell":3,"user":null}])", .user = 0},
  };
  for (const Row& row : rows) {
    const ServerEvent assign = DecodeMessage(row.message);
    EXPECT_EQ(assign.kind, Kind::kAssignUser) << row.message;
    EXPECT_EQ(assign.bell, 3) << row.message;
    EXPECT_EQ(assign.user, row.user) << row.message;
  }
}

TEST(DecodeEvents, UsersEnteringAndLeavingAndTheSizeChange) {
  const ServerEvent entered =
      DecodeMessage(R"(42["s_user_entered",{"user_id":7,"username":"ann","badge":1}])");
  EXPECT_EQ(entered.kind, Kind::kUserEntered);
  EXPECT_EQ(entered.user, 7);
  EXPECT_EQ(entered.username, "ann");

  const ServerEvent kicked = DecodeMessage(R"(42["s_user_left",{"user_id":7,"kicked":true}])");
  EXPECT_EQ(kicked.kind, Kind::kUserLeft);
  EXPECT_EQ(kicked.user, 7);
  EXPECT_TRUE(kicked.kicked);
  EXPECT_FALSE(DecodeMessage(R"(42["s_user_left",{"user_id":7}])").kicked);

  const ServerEvent size = DecodeMessage(R"(42["s_size_change",{"size":12}])");
  EXPECT_EQ(size.kind, Kind::kSizeChange);
  EXPECT_EQ(size.size, 12);
}

// "[true,true,...]" for count bells.
std::string TrueStates(int count) {
  std::string list = "[";
  for (int k = 0; k < count; ++k) list += k == 0 ? "true" : ",true";
  return list + "]";
}

// Every row is a message that must change nothing: each says why it is ignored.
TEST(DecodeEvents, MalformedAndForeignMessagesAreIgnored) {
  struct Row {
    const char* what;
    std::string message;
  };
  const Row rows[] = {
      {.what = "bad JSON", .message = R"(42["s_global_state",{"global_bell_state":[true,)"},
      {.what = "not an array", .message = R"(42{"s_global_state":1})"},
      {.what = "a name that is not a string", .message = R"(42[5,{"size":8}])"},
      {.what = "an empty array", .message = "42[]"},
      {.what = "unknown event", .message = R"(42["s_chat",{"msg":"hello"}])"},
      {.what = "calls are not followed", .message = R"(42["s_call",{"call":"Bob"}])"},
      {.what = "a payload that is not an object", .message = R"(42["s_size_change",8])"},
      {.what = "no payload", .message = R"(42["s_global_state"])"},
      {.what = "bell states not booleans",
       .message = R"(42["s_global_state",{"global_bell_state":[1,0,1]}])"},
      {.what = "no bells", .message = R"(42["s_global_state",{"global_bell_state":[]}])"},
      {.what = "more bells than any tower",
       .message = R"(42["s_global_state",{"global_bell_state":)" + TrueStates(33) + "}]"},
      {.what = "a bell given as a string",
       .message = R"(42["s_assign_user",{"bell":"3","user":7}])"},
      {.what = "a bell given as a float",
       .message = R"(42["s_assign_user",{"bell":3.0,"user":7}])"},
      {.what = "bell 0", .message = R"(42["s_assign_user",{"bell":0,"user":7}])"},
      {.what = "a bell past the largest tower",
       .message = R"(42["s_assign_user",{"bell":33,"user":7}])"},
      {.what = "a negative user", .message = R"(42["s_assign_user",{"bell":3,"user":-7}])"},
      {.what = "a user as a boolean", .message = R"(42["s_assign_user",{"bell":3,"user":true}])"},
      {.what = "who_rang missing", .message = R"(42["s_bell_rung",{"global_bell_state":[true]}])"},
      {.what = "who_rang as a boolean",
       .message = R"(42["s_bell_rung",{"global_bell_state":[true],"who_rang":true}])"},
      {.what = "size 0", .message = R"(42["s_size_change",{"size":0}])"},
      {.what = "a huge size", .message = R"(42["s_size_change",{"size":18446744073709551615}])"},
      {.what = "username not a string",
       .message = R"(42["s_user_entered",{"user_id":7,"username":7}])"},
      {.what = "user_id as a string",
       .message = R"(42["s_user_left",{"user_id":"7","kicked":true}])"},
      {.what = "another namespace", .message = R"(42/chat,["s_size_change",{"size":8}])"},
      {.what = "an acknowledgement id", .message = R"(4212["s_size_change",{"size":8}])"},
      {.what = "nested too deep", .message = "42[\"s_chat\"," + std::string(5000, '[') + "]"},
      {.what = "binary-looking", .message = std::string("42\xff\xfe\x00\x01[", 7)},
      {.what = "text that is not UTF-8",
       .message = "42[\"s_user_entered\",{\"user_id\":7,\"username\":\"\xc3\x28\"}]"},
      {.what = "too large",
       .message = R"(42["s_chat",{"msg":")" + std::string(300 * 1024, 'x') + R"("}])"},
      {.what = "an opening that is not an object", .message = "0[1,2]"},
  };
  for (const Row& row : rows) {
    const ServerEvent event = DecodeMessage(row.message);
    EXPECT_EQ(event.kind, Kind::kIgnored) << row.what;
    EXPECT_THAT(event.ignored_because, Not(IsEmpty())) << row.what;
  }
}

TEST(EncodeEvents, JoinSendsTheTowerAsAnIntegerAndNamedUser) {
  const std::string join = JoinMessage(123456789, "tok\"en");
  ASSERT_TRUE(join.starts_with("42"));
  const auto event = nlohmann::json::parse(join.substr(2));
  EXPECT_EQ(event[0], "c_join");
  EXPECT_TRUE(event[1]["tower_id"].is_number_integer());
  EXPECT_EQ(event[1]["tower_id"], 123456789);
  EXPECT_EQ(event[1]["user_token"], "tok\"en");
  EXPECT_TRUE(event[1]["anonymous_user"].is_boolean());
  EXPECT_EQ(event[1]["anonymous_user"], false);
}

TEST(EncodeEvents, RequestAndRingUseJsonIntegersAndABooleanStroke) {
  EXPECT_EQ(RequestGlobalStateMessage(42), R"(42["c_request_global_state",{"tower_id":42}])");
  EXPECT_EQ(BellRungMessage(3, true, 42),
            R"(42["c_bell_rung",{"bell":3,"stroke":true,"tower_id":42}])");
  EXPECT_EQ(BellRungMessage(8, false, 987654321),
            R"(42["c_bell_rung",{"bell":8,"stroke":false,"tower_id":987654321}])");
}

TEST(EncodeEvents, ATokenThatIsNotUtf8IsSentReplacedNotThrown) {
  const std::string join = JoinMessage(1, "ab\xff");
  EXPECT_TRUE(nlohmann::json::accept(join.substr(2)));
}

TEST(JsonStringField, TakesOnlyAStringMemberOfAnObject) {
  EXPECT_EQ(JsonStringField(R"({"token":"abc","x":1})", "token"), "abc");
  EXPECT_EQ(JsonStringField(R"({"token":5})", "token"), std::nullopt);
  EXPECT_EQ(JsonStringField(R"(["token"])", "token"), std::nullopt);
  EXPECT_EQ(JsonStringField("<html>busy</html>", "token"), std::nullopt);
  EXPECT_EQ(JsonStringField(R"({"other":"abc"})", "token"), std::nullopt);
}

}  // namespace
}  // namespace strikewell
