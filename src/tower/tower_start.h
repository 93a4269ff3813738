// The start of ringing through Ringing Room's own connection: the login (a kept
// token, or the email and password asked for), the tower looked up, the socket
// connected and the tower joined. Each failure is told in one sentence.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/event_wait.h"
#include "platform/network.h"
#include "tower/address.h"
#include "tower/kept_login.h"
#include "tower/tower_link.h"

namespace strikewell {

struct TowerIo {
  Console& console;
  Network& network;
  LoginStore& logins;
  Clock& clock;
  EventWait& wait;
};

// The kept login, or an empty one when none is kept or it cannot be read.
KeptLogin ReadKeptLogin(LoginStore& logins);

// Logs in, looks the tower up, connects and joins it: the joined link, or null once
// the sentence saying what failed has been shown (or the ringer gave no email) and
// Enter has been pressed.
// bells: of several bells on one port, their numbers (each blow rings its own); empty
// for one bell.
std::unique_ptr<TowerLink> StartTower(TowerIo& io, const TowerChoice& choice, int32_t fixed_bell,
                                      std::vector<int32_t> bells = {});

// --forget-login: removes the kept login. The exit status, with what to say on
// standard output or standard error.
int ForgetLogin(LoginStore& logins, std::string& out, std::string& err);

// Text from the server made safe to show: control characters as "?", at most 60
// characters.
std::string Shown(const std::string& text);

}  // namespace strikewell
