// The tower as the program follows it: bells and strokes, assignments, the ringer's
// own id and the bell it rings.
#include "tower/tower_state.h"

#include <gtest/gtest.h>

namespace strikewell {
namespace {

using Follow = TowerState::Follow;

// Applies one message as the server would send it.
Follow Hear(TowerState& tower, const std::string& message) {
  const ServerEvent event = DecodeMessage(message);
  EXPECT_NE(event.kind, ServerEvent::Kind::kIgnored) << message << ": " << event.ignored_because;
  return tower.Apply(event);
}

// A six-bell tower in which "ann" (user 7) has entered and holds bell 4.
TowerState AnnOnFour() {
  TowerState tower("ann");
  Hear(tower, R"(42["s_user_entered",{"user_id":3,"username":"bob"}])");
  Hear(tower, R"(42["s_user_entered",{"user_id":7,"username":"ann"}])");
  Hear(tower, R"(42["s_global_state",{"global_bell_state":[true,true,true,false,true,true]}])");
  for (int bell = 1; bell <= 6; ++bell) {
    const int user = bell == 4 ? 7 : bell == 2 ? 3 : 0;
    Hear(tower, R"(42["s_assign_user",{"bell":)" + std::to_string(bell) + R"(,"user":)" +
                    std::to_string(user) + "}]");
  }
  return tower;
}

TEST(TowerState, NothingIsKnownBeforeTheGlobalState) {
  TowerState tower("ann");
  EXPECT_FALSE(tower.known());
  EXPECT_EQ(tower.Stroke(1), std::nullopt);
  EXPECT_EQ(tower.RingingBell(0), 0);
  EXPECT_EQ(tower.RingingBell(1), 0);
}

TEST(TowerState, TheGlobalStateGivesBellsAndStrokes) {
  const TowerState tower = AnnOnFour();
  EXPECT_TRUE(tower.known());
  EXPECT_EQ(tower.bell_count(), 6);
  EXPECT_EQ(tower.Stroke(1), true);
  EXPECT_EQ(tower.Stroke(4), false);
  EXPECT_EQ(tower.Stroke(7), std::nullopt);
  EXPECT_EQ(tower.Stroke(0), std::nullopt);
}

TEST(TowerState, TheRingersOwnIdComesFromTheUserWithTheAccountsName) {
  const TowerState tower = AnnOnFour();
  EXPECT_EQ(tower.own_user_id(), 7);
  EXPECT_EQ(tower.AssignedUser(2), 3);
  EXPECT_EQ(tower.RingingBell(0), 4);
}

TEST(TowerState, TheLowestAssignedBellIsRungAndReassignmentIsFollowed) {
  TowerState tower = AnnOnFour();
  Hear(tower, R"(42["s_assign_user",{"bell":2,"user":7}])");
  EXPECT_EQ(tower.RingingBell(0), 2);
  Hear(tower, R"(42["s_assign_user",{"bell":2,"user":null}])");
  Hear(tower, R"(42["s_assign_user",{"bell":4,"user":""}])");
  EXPECT_EQ(tower.RingingBell(0), 0);
  Hear(tower, R"(42["s_assign_user",{"bell":6,"user":7}])");
  EXPECT_EQ(tower.RingingBell(0), 6);
}

TEST(TowerState, AChosenBellIsRungWhateverTheAssignmentsWhileTheTowerHasIt) {
  TowerState tower = AnnOnFour();
  EXPECT_EQ(tower.RingingBell(1), 1);
  EXPECT_EQ(tower.RingingBell(6), 6);
  EXPECT_EQ(tower.RingingBell(8), 0);
}

TEST(TowerState, TheStrokeFollowsTheLatestBellRung) {
  TowerState tower = AnnOnFour();
  Hear(tower,
       R"(42["s_bell_rung",{"global_bell_state":[true,true,true,true,true,false],"who_rang":6}])");
  EXPECT_EQ(tower.Stroke(4), true);
  EXPECT_EQ(tower.Stroke(6), false);
}

TEST(TowerState, ASecondRingBeforeTheFirstEchoTakesTheStrokeAfterIt) {
  TowerState tower = AnnOnFour();
  ASSERT_EQ(tower.Stroke(4), false);
  tower.Rung(4);
  EXPECT_EQ(tower.Stroke(4), true);
  tower.Rung(4);
  EXPECT_EQ(tower.Stroke(4), false);
  // The first ring's echo: the server's state is after one ring, one more is on its way.
  Hear(tower,
       R"(42["s_bell_rung",{"global_bell_state":[true,true,true,true,true,true],"who_rang":4}])");
  EXPECT_EQ(tower.Stroke(4), false);
  Hear(tower,
       R"(42["s_bell_rung",{"global_bell_state":[true,true,true,false,true,true],"who_rang":4}])");
  EXPECT_EQ(tower.Stroke(4), false);
}

TEST(TowerState, ANewConnectionForgetsRingsInFlightAndWaitsForTheState) {
  TowerState tower = AnnOnFour();
  tower.Rung(4);
  tower.NewConnection();
  EXPECT_FALSE(tower.known());
  EXPECT_EQ(tower.Stroke(4), std::nullopt);
  Hear(tower, R"(42["s_global_state",{"global_bell_state":[true,true,true,false,true,true]}])");
  EXPECT_EQ(tower.Stroke(4), false);
  EXPECT_EQ(tower.RingingBell(0), 4);
}

TEST(TowerState, ASizeChangeResetsEveryBellToHandstrokeAndAsksForTheState) {
  TowerState tower = AnnOnFour();
  EXPECT_EQ(Hear(tower, R"(42["s_size_change",{"size":8}])"), Follow::kRequestState);
  EXPECT_EQ(tower.bell_count(), 8);
  for (int bell = 1; bell <= 8; ++bell) EXPECT_EQ(tower.Stroke(bell), true) << bell;
  EXPECT_EQ(Hear(tower, R"(42["s_size_change",{"size":4}])"), Follow::kRequestState);
  EXPECT_EQ(tower.RingingBell(0), 4);
  EXPECT_EQ(tower.RingingBell(6), 0);
}

TEST(TowerState, OnlyTheRingersOwnKickStopsIt) {
  TowerState tower = AnnOnFour();
  EXPECT_EQ(Hear(tower, R"(42["s_user_left",{"user_id":3,"kicked":true}])"), Follow::kNothing);
  EXPECT_EQ(Hear(tower, R"(42["s_user_left",{"user_id":7}])"), Follow::kNothing);
  EXPECT_FALSE(tower.kicked());
  EXPECT_EQ(Hear(tower, R"(42["s_user_left",{"user_id":7,"kicked":true}])"), Follow::kKicked);
  EXPECT_TRUE(tower.kicked());
}

TEST(TowerState, ARefusedTokenIsReported) {
  TowerState tower("ann");
  EXPECT_EQ(Hear(tower, R"(42["s_bad_token"])"), Follow::kTokenRefused);
}

TEST(TowerState, EventsForBellsPastTheTowerNeverRingThem) {
  TowerState tower = AnnOnFour();
  // An assignment past the tower's size widens what is known of it, but the
  // ringer's bell is still the lowest assigned.
  Hear(tower, R"(42["s_assign_user",{"bell":12,"user":7}])");
  EXPECT_EQ(tower.RingingBell(0), 4);
  Hear(tower, R"(42["s_bell_rung",{"global_bell_state":[true,false],"who_rang":9}])");
  EXPECT_EQ(tower.bell_count(), 2);
  EXPECT_EQ(tower.RingingBell(0), 0);
  EXPECT_EQ(tower.Stroke(2), false);
}

}  // namespace
}  // namespace strikewell
