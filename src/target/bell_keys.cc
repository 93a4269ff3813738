#include "target/bell_keys.h"

#include <string_view>

#include "target/target.h"

namespace strikewell {
namespace {

// Ringing Room's keys that ring bells 1 to 16 by their numbers.
constexpr std::string_view kNumberKeys = "1234567890-=qwer";

}  // namespace

char BellKey(const BellSetup& bell, size_t bell_count) {
  if (bell.bell < 1 || bell.bell > kMostBellsOnAPort) return 0;
  if (bell_count == 1) return 'j';
  if (bell_count == 2) {
    if (bell.hand == Hand::kLeft) return 'f';
    if (bell.hand == Hand::kRight) return 'j';
    return 0;
  }
  return kNumberKeys[static_cast<size_t>(bell.bell - 1)];
}

void SendBellKey(Desktop& desktop, char key) {
  // Every key is pressed by the layout: "-" and "=" are not virtual-key codes of
  // their own, and a digit or letter goes to the same key either way.
  TypeCharacter(desktop, key);
}

}  // namespace strikewell
