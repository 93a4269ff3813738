#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "fake_desktop.h"
#include "settings/bells_setup.h"
#include "target/bell_keys.h"

namespace strikewell {
namespace {

using testing::Press;
using testing::Release;

BellSetup Bell(int32_t number, Hand hand = Hand::kNone) {
  return BellSetup{.bell = number, .hand = hand};
}

// The keys of bells 1 to 16 in a set-up of `count` bells, one character each.
std::string KeysOfBells(size_t count) {
  std::string keys;
  for (int32_t bell = 1; bell <= kMostBellsOnAPort; ++bell) keys += BellKey(Bell(bell), count);
  return keys;
}

TEST(BellKey, ThreeBellsOrMoreRingByNumber) {
  EXPECT_EQ(KeysOfBells(3), "1234567890-=qwer");
  EXPECT_EQ(KeysOfBells(8), "1234567890-=qwer");
  EXPECT_EQ(KeysOfBells(16), "1234567890-=qwer");
}

TEST(BellKey, APairRingsWithTheKeyOfEachHand) {
  const struct {
    const char* name;
    BellSetup bell;
    char key;
  } cases[] = {
      {.name = "treble in the left hand", .bell = Bell(1, Hand::kLeft), .key = 'f'},
      {.name = "second in the right hand", .bell = Bell(2, Hand::kRight), .key = 'j'},
      {.name = "the ringer's choice: treble in the right hand",
       .bell = Bell(1, Hand::kRight),
       .key = 'j'},
      {.name = "a pair's bell numbers need not be 1 and 2",
       .bell = Bell(7, Hand::kLeft),
       .key = 'f'},
      {.name = "a pair's bell without a hand has no key", .bell = Bell(2), .key = 0},
  };
  for (const auto& c : cases) EXPECT_EQ(BellKey(c.bell, 2), c.key) << c.name;
}

TEST(BellKey, OneBellRingsWithJAsTheSingleBellDoes) { EXPECT_EQ(BellKey(Bell(5), 1), 'j'); }

TEST(BellKey, ANumberOutsideTheSixteenHasNoKey) {
  EXPECT_EQ(BellKey(Bell(0), 8), 0);
  EXPECT_EQ(BellKey(Bell(17), 8), 0);
  EXPECT_EQ(BellKey(Bell(17, Hand::kLeft), 2), 0);
}

// "-" and "=" are typed by the layout's keys, not taken as the virtual keys 45
// (Insert) and 61.
TEST(SendBellKey, PressesTheLayoutsKeyForEveryBellKey) {
  const struct {
    char key;
    uint8_t vk;
    uint8_t scan;
  } cases[] = {
      {.key = 'f', .vk = 0x46, .scan = 0x21}, {.key = 'j', .vk = 0x4A, .scan = 0x24},
      {.key = '1', .vk = 0x31, .scan = 0x02}, {.key = '0', .vk = 0x30, .scan = 0x0B},
      {.key = '-', .vk = 0xBD, .scan = 0x0C}, {.key = '=', .vk = 0xBB, .scan = 0x0D},
      {.key = 'q', .vk = 0x51, .scan = 0x10}, {.key = 'r', .vk = 0x52, .scan = 0x13},
  };
  for (const auto& c : cases) {
    testing::FakeDesktop desktop;
    SendBellKey(desktop, c.key);
    const std::vector<testing::FakeDesktop::KeyRecord> expected = {Press(c.vk, c.scan),
                                                                   Release(c.vk, c.scan)};
    EXPECT_EQ(desktop.keys, expected) << c.key;
  }
}

}  // namespace
}  // namespace strikewell
