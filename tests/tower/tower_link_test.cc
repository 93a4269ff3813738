// A ringer's connection to a tower over the fake Ringing Room, in fake time: the
// join, the heartbeat, rings with their bell and stroke, the tower changing under
// the ringer, and the connection lost and back.
#include "tower/tower_link.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_clock.h"
#include "fake_network.h"

namespace strikewell {
namespace {

using ::testing::ElementsAre;
using testing::FakeClock;
using testing::FakeNetwork;
using ::testing::IsEmpty;
using Phase = TowerLink::Phase;

constexpr int64_t kTower = 123456789;
constexpr int64_t kAnn = 7;
constexpr const char* kJoin =
    R"(42["c_join",{"anonymous_user":false,"tower_id":123456789,"user_token":"token-1-ann@example.org"}])";
constexpr const char* kAskState = R"(42["c_request_global_state",{"tower_id":123456789}])";

std::string Rang(int bell, bool stroke) { return BellRungMessage(bell, stroke, kTower); }

class TowerLinkTest : public ::testing::Test {
 protected:
  TowerLinkTest() {
    network_.AddUser({.email = "ann@example.org", .password = "pw", .username = "ann", .id = kAnn});
    network_.AddUser({.email = "bob@example.org", .password = "pw", .username = "bob", .id = 3});
    network_.AddTower({.number = kTower, .name = "St Mary's", .assigned = {{2, 3}, {4, kAnn}}});
    token_ = network_.TokenFor("ann@example.org");
  }

  TowerLink& Link(int32_t fixed_bell = 0, std::vector<int32_t> bells = {}) {
    link_ = std::make_unique<TowerLink>(
        network_, clock_,
        TowerLinkParams{.tower_id = kTower,
                        .socket_url = "wss://ringingroom.com/socket.io/?EIO=4&transport=websocket",
                        .token = token_,
                        .username = "ann",
                        .fixed_bell = fixed_bell,
                        .bells = std::move(bells)});
    link_->Connect();
    return *link_;
  }

  // What the counting loop's wait does for the link: sleep until its news or its
  // deadline, then let it act, up to fake time until_ms.
  void RunUntil(int64_t until_ms) {
    const int64_t until = until_ms * 1000;
    for (;;) {
      link_->Service();
      const int64_t next =
          std::min(network_.NextNewsAt().value_or(kNoDeadline), link_->NextDeadline());
      const int64_t now = clock_.NowMicros();
      if (next > until) {
        clock_.Advance(std::max<int64_t>(0, until - now));
        link_->Service();
        return;
      }
      clock_.Advance(std::max<int64_t>(0, next - now));
    }
  }

  // The messages the client sent, without their times.
  std::vector<std::string> Sent() const {
    std::vector<std::string> texts;
    for (const auto& s : network_.sent) texts.push_back(s.text);
    return texts;
  }
  std::vector<int64_t> TimesSent(const std::string& text) const {
    std::vector<int64_t> times;
    for (const auto& s : network_.sent) {
      if (s.text == text) times.push_back(s.at_us);
    }
    return times;
  }

  FakeClock clock_;
  FakeNetwork network_{clock_};
  std::string token_;
  std::unique_ptr<TowerLink> link_;
};

TEST_F(TowerLinkTest, JoinsAndAsksForTheStateOnceTheNamespaceIsOpen) {
  TowerLink& link = Link();
  RunUntil(1);
  EXPECT_THAT(Sent(), ElementsAre("40", kJoin, kAskState));
  EXPECT_EQ(link.phase(), Phase::kJoined);
  EXPECT_EQ(link.tower().own_user_id(), kAnn);
  EXPECT_EQ(link.bell(), 4);
  EXPECT_EQ(link.StatusText(), "ringing bell 4");
  EXPECT_THAT(network_.opened_urls,
              ElementsAre("wss://ringingroom.com/socket.io/?EIO=4&transport=websocket"));
}

TEST_F(TowerLinkTest, EveryPingIsAnsweredAtOnce) {
  Link();
  RunUntil(60'000);
  EXPECT_THAT(TimesSent("3"), ElementsAre(25'000'000, 50'000'000));
  EXPECT_EQ(link_->phase(), Phase::kJoined);
}

TEST_F(TowerLinkTest, PingsMissingForIntervalAndTimeoutMeanTheConnectionIsLost) {
  Link();
  network_.StopPingingAt(30'000);
  RunUntil(69'999);
  EXPECT_EQ(link_->phase(), Phase::kJoined);
  RunUntil(70'000);
  // The last ping came at 25 s: lost at 25 + 25 + 20 s, and tried again at once.
  EXPECT_THAT(network_.opened_urls.size(), 2u);
  EXPECT_THAT(TimesSent(kJoin), ElementsAre(0, 70'000'000));
  EXPECT_EQ(link_->phase(), Phase::kJoined);
}

TEST_F(TowerLinkTest, ARingSendsTheBellAndItsStrokeAsTheServerLastSaidIt) {
  network_.TowerNumber(kTower).bells[3] = false;
  TowerLink& link = Link();
  RunUntil(1);
  const TowerRing ring = link.Ring();
  EXPECT_TRUE(ring.sent);
  EXPECT_EQ(ring.bell, 4);
  EXPECT_FALSE(ring.handstroke);
  EXPECT_EQ(network_.sent.back().text, Rang(4, false));
  RunUntil(2);
  EXPECT_EQ(link.Ring().handstroke, true);
  ASSERT_EQ(network_.rungs.size(), 2u);
  EXPECT_FALSE(network_.rungs[0].disagree);
  EXPECT_FALSE(network_.rungs[1].disagree);
}

TEST_F(TowerLinkTest, RingsFasterThanTheirEchoesStillAlternate) {
  network_.latency_us = 20'000;
  TowerLink& link = Link();
  RunUntil(100);
  for (int k = 0; k < 4; ++k) {
    link.Ring();
    RunUntil(110 + 10 * k);
  }
  RunUntil(300);
  link.Ring();
  ASSERT_EQ(network_.rungs.size(), 5u);
  for (const auto& rung : network_.rungs) EXPECT_FALSE(rung.disagree);
  EXPECT_EQ(network_.sent.back().text, Rang(4, true));
}

TEST_F(TowerLinkTest, TheStrokeIsTakenFromTheLatestBellRungWhoeverRangIt) {
  TowerLink& link = Link();
  network_.OtherRingsAt(500, kTower, 4);
  RunUntil(1000);
  EXPECT_EQ(link.tower().Stroke(4), false);
  EXPECT_FALSE(link.Ring().handstroke);
  RunUntil(1001);
  EXPECT_FALSE(network_.rungs.back().disagree);
}

TEST_F(TowerLinkTest, ASizeChangeAsksForTheStateAgain) {
  TowerLink& link = Link();
  network_.SizeChangeAt(1000, kTower, 6);
  RunUntil(1000);
  EXPECT_THAT(TimesSent(kAskState), ElementsAre(0, 1'000'000));
  EXPECT_EQ(link.tower().bell_count(), 6);
  EXPECT_EQ(link.bell(), 4);
  EXPECT_TRUE(link.Ring().handstroke);
}

TEST_F(TowerLinkTest, ReassignmentMidPracticeIsFollowed) {
  TowerLink& link = Link();
  network_.AssignAt(1000, kTower, 4, 3);
  network_.AssignAt(2000, kTower, 6, kAnn);
  RunUntil(1500);
  EXPECT_EQ(link.bell(), 0);
  EXPECT_EQ(link.StatusText(), "Waiting to be given a bell in Ringing Room");
  const TowerRing none = link.Ring();
  EXPECT_FALSE(none.sent);
  EXPECT_THAT(network_.rungs, IsEmpty());
  RunUntil(2000);
  EXPECT_EQ(link.StatusText(), "ringing bell 6");
  EXPECT_EQ(link.Ring().bell, 6);
}

TEST_F(TowerLinkTest, AChosenBellIsRungWhateverIsAssigned) {
  TowerLink& link = Link(2);
  RunUntil(1);
  EXPECT_EQ(link.Ring().bell, 2);
  EXPECT_EQ(network_.sent.back().text, Rang(2, true));
}

TEST_F(TowerLinkTest, AChosenBellTheTowerLacksIsSaid) {
  TowerLink& link = Link(10);
  RunUntil(1);
  EXPECT_FALSE(link.Ring().sent);
  EXPECT_EQ(link.StatusText(), "Ringing Room's tower has 8 bells: bell 10 is not rung");
}

TEST_F(TowerLinkTest, ARefusedTokenEndsTheConnection) {
  network_.ExpireTokens();
  TowerLink& link = Link();
  RunUntil(10);
  EXPECT_EQ(link.phase(), Phase::kTokenRefused);
  EXPECT_EQ(link.NextDeadline(), kNoDeadline);
}

TEST_F(TowerLinkTest, TheFirstConnectionFailingIsReportedWithTheSystemsReason) {
  network_.refuse_with = "HTTP 400 unsupported version";
  TowerLink& link = Link();
  RunUntil(10);
  EXPECT_EQ(link.phase(), Phase::kFailed);
  EXPECT_EQ(link.failure(), "HTTP 400 unsupported version");
  EXPECT_THAT(network_.opened_urls.size(), 1u);
}

TEST_F(TowerLinkTest, ALostConnectionIsTriedAtOnceThenEveryTwoSecondsAndRejoined) {
  TowerLink& link = Link();
  network_.DropAt(5000, 3000);
  RunUntil(5000);
  EXPECT_EQ(link.phase(), Phase::kLost);
  EXPECT_FALSE(link.Ring().sent);
  EXPECT_EQ(link.StatusText(),
            "Ringing Room connection lost - reconnecting; blows are counted, strokes are not sent");
  RunUntil(9000);
  EXPECT_EQ(link.phase(), Phase::kJoined);
  // Tried at 5 s and 7 s (refused), joined again at 9 s.
  EXPECT_EQ(network_.opened_urls.size(), 4u);
  EXPECT_THAT(TimesSent(kJoin), ElementsAre(0, 9'000'000));
  EXPECT_THAT(TimesSent(kAskState), ElementsAre(0, 9'000'000));
  EXPECT_EQ(link.StatusText(), "Ringing Room connection is back - ringing bell 4");
  EXPECT_TRUE(link.Ring().sent);
}

TEST_F(TowerLinkTest, TheServerEndingTheSessionIsALoss) {
  TowerLink& link = Link();
  network_.SendAt(1000, "41");
  RunUntil(1000);
  EXPECT_EQ(TimesSent(kJoin).size(), 2u);
  EXPECT_EQ(link.phase(), Phase::kJoined);
}

TEST_F(TowerLinkTest, RemovedByTheHostItStopsRingingForGood) {
  TowerLink& link = Link();
  network_.KickAt(1000, kTower, kAnn);
  RunUntil(1000);
  EXPECT_EQ(link.phase(), Phase::kKicked);
  EXPECT_FALSE(link.Ring().sent);
  EXPECT_EQ(link.StatusText(),
            "The host removed you from the Ringing Room tower - strokes are not sent");
  RunUntil(60'000);
  EXPECT_EQ(network_.opened_urls.size(), 1u);
}

TEST_F(TowerLinkTest, MalformedMessagesChangeNothing) {
  TowerLink& link = Link();
  for (const char* garbage :
       {R"(42["s_assign_user",{"bell":"4","user":3}])",
        R"(42["s_global_state",{"global_bell_state":[1,0]}])", R"(42["s_size_change",{"size":-1}])",
        "42[\"s_bell_rung\",{", "\xff\xfe\x01", R"(42["s_user_left",{"user_id":7,"kicked":"yes"}])",
        R"(42["s_chat",{"msg":"hi"}])", R"(42/other,["s_size_change",{"size":4}])", "2probe",
        "0{\"pingInterval\":1}"}) {
    network_.SendAt(1000, garbage);
  }
  RunUntil(1000);
  EXPECT_EQ(link.phase(), Phase::kJoined);
  EXPECT_EQ(link.tower().bell_count(), 8);
  EXPECT_EQ(link.bell(), 4);
  EXPECT_EQ(link.Ring().handstroke, true);
  EXPECT_EQ(TimesSent(kAskState).size(), 1u);
}

TEST_F(TowerLinkTest, AFloodOfMessagesIsTakenInPartsWithTheRestDueAtOnce) {
  TowerLink& link = Link();
  RunUntil(1);
  for (int k = 0; k < 2 * kMostNewsPerPass; ++k) network_.SendAt(1000, R"(42["s_chat",{}])");
  network_.SendAt(1000, R"(42["s_assign_user",{"bell":5,"user":7}])");
  network_.SendAt(1000, R"(42["s_assign_user",{"bell":4,"user":0}])");
  clock_.Advance(999'000);
  link.Service();
  EXPECT_EQ(link.NextDeadline(), 1'000'000);
  EXPECT_EQ(link.bell(), 4) << "the reassignment is still to be taken";
  link.Service();
  EXPECT_EQ(link.NextDeadline(), 1'000'000);
  link.Service();
  EXPECT_EQ(link.bell(), 5);
  EXPECT_GT(link.NextDeadline(), 1'000'000);
}

TEST_F(TowerLinkTest, AnotherClientRingingTheSameBellIsToldOnce) {
  TowerLink& link = Link();
  RunUntil(1);
  // Someone else rings bell 4 at 10 ms; this ring, sent before that echo is back,
  // disagrees. A disagreement on another bell is not the ringer's.
  network_.latency_us = 1000;
  network_.OtherRingsAt(10, kTower, 4);
  network_.SendAt(30,
                  R"(42["s_bell_rung",{"global_bell_state":[true],"who_rang":1,"disagree":true}])");
  RunUntil(10);
  clock_.Advance(500);
  link.Ring();
  RunUntil(40);
  EXPECT_TRUE(network_.rungs[1].disagree);
  EXPECT_THAT(link.TakeDisagreements(), ElementsAre(4));
  EXPECT_THAT(link.TakeDisagreements(), IsEmpty());
}

// Of several bells, a disagreement is the ringer's when it is on a bell the blows
// ring, not on the bell the tower has given the account.
TEST_F(TowerLinkTest, OfSeveralBellsTheDisagreementsOnTheBellsRungAreTold) {
  TowerLink& link = Link(0, {1, 2});
  RunUntil(1);
  network_.latency_us = 1000;
  network_.OtherRingsAt(10, kTower, 1);
  network_.SendAt(
      30,
      R"(42["s_bell_rung",{"global_bell_state":[true,true,true,false,true,true,true,true],"who_rang":4,"disagree":true}])");
  RunUntil(10);
  clock_.Advance(500);
  link.Ring(1);
  RunUntil(40);
  EXPECT_TRUE(network_.rungs[1].disagree);
  EXPECT_THAT(link.TakeDisagreements(), ElementsAre(1));
}

TEST_F(TowerLinkTest, NeverAnnouncesLeaving) {
  Link();
  network_.DropAt(1000);
  RunUntil(3000);
  link_.reset();
  for (const auto& s : network_.sent) EXPECT_EQ(s.text.find("c_user_left"), std::string::npos);
}

}  // namespace
}  // namespace strikewell
