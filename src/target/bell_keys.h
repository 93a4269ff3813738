// The keys that ring the bells of a set-up of several bells in Ringing Room's window.
#pragma once

#include <cstddef>

#include "platform/desktop.h"
#include "settings/bells_setup.h"

namespace strikewell {

// Ringing Room's key for a bell of a set-up of bell_count bells: for a pair, the key
// of the ringer's hand (f left, j right); for three bells or more, the key that rings
// a bell by its number (1-9, 0, -, = for bells 1-12; q, w, e, r for 13-16); for a
// set-up of one bell, j, as the single bell rings. 0 for a bell with no key (a pair's
// bell without a hand, a number outside 1..16).
char BellKey(const BellSetup& bell, size_t bell_count);

// Presses and releases a bell's key in the window in front.
void SendBellKey(Desktop& desktop, char key);

}  // namespace strikewell
