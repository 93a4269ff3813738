// One ringer's connection to a tower: opens the socket, answers the heartbeat, joins
// and asks for the tower's state, follows it, rings the ringer's bell, and when the
// connection is lost tries again at once and then every 2 s, joining afresh each
// time (membership belongs to the socket). Everything happens in the caller's
// thread, in Service(), when the wait says there is news or a deadline has come.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/event_wait.h"
#include "platform/network.h"
#include "tower/tower_state.h"

namespace strikewell {

// A connection that has not joined within this long is given up (at start-up,
// where a slow TLS handshake on a busy link is no reason to fail, and later).
inline constexpr int64_t kFirstJoinTimeoutUs = 10'000'000;
inline constexpr int64_t kRejoinTimeoutUs = 5'000'000;
// Reconnection attempts after the first, which is made at once, start this far apart.
inline constexpr int64_t kReconnectGapUs = 2'000'000;
// At most this many messages are taken in one Service(): a ring falling due waits for
// no more than that.
inline constexpr int kMostNewsPerPass = 64;

struct TowerLinkParams {
  int64_t tower_id = 0;
  std::string socket_url{};  // SocketUrl() of the tower's server
  std::string token{};
  std::string username{};  // the account's: names the ringer among the tower's users
  int32_t fixed_bell = 0;  // --bell N; 0 rings the bell assigned to the ringer
  // Several bells on one port: their numbers, each blow naming its own; empty for one
  // bell.
  std::vector<int32_t> bells{};
};

// What became of one blow's ring.
struct TowerRing {
  bool sent = false;
  int32_t bell = 0;
  bool handstroke = false;    // the stroke sent (when sent)
  bool not_in_tower = false;  // not sent: the tower, joined, has no such bell
};

class TowerLink {
 public:
  enum class Phase {
    kConnecting,    // the socket is opening, or joined but the state not yet heard
    kJoined,        // the tower's state is known: rings go
    kLost,          // after having joined: waiting to try again
    kFailed,        // the first connection failed: `failure` says why
    kTokenRefused,  // the tower refused the login token
    kKicked,        // the host removed the ringer; nothing more is sent
  };

  TowerLink(Network& network, Clock& clock, TowerLinkParams params);

  // Opens the first connection.
  void Connect();
  // Takes all news from the socket and acts on the deadlines that have passed.
  void Service();
  // When Service() next has something to do without news (kNoDeadline: nothing).
  int64_t NextDeadline() const;

  // Rings the ringer's bell now, or says it cannot: lost, no bell, removed.
  TowerRing Ring();
  // Rings the given bell with its own next stroke, or says it cannot: lost, removed,
  // or a bell the tower does not have.
  TowerRing Ring(int32_t bell);

  Phase phase() const { return phase_; }
  // Why the last connection ended or failed, in the system's words.
  const std::string& failure() const { return failure_; }
  const TowerState& tower() const { return tower_; }
  // Whether blows ring that bell: the ringer's, or one of the several bells named.
  bool Rings(int32_t bell_number) const;
  // The bell that a blow would ring now; 0 for none.
  int32_t bell() const { return tower_.RingingBell(params_.fixed_bell); }
  // One line for the screen while counting.
  std::string StatusText() const;
  // The ringer's bell at each s_bell_rung that said its stroke disagreed (another
  // client rang it too) since the last call.
  std::vector<int32_t> TakeDisagreements();

 private:
  void Open(int64_t join_timeout_us);
  void Take(const SocketNews& news);
  void Follow(const ServerEvent& event);
  // The connection has ended (why: for the ringer).
  void Lost(const std::string& why);
  void Send(const std::string& message);
  // The joined status line of several bells: which are rung, which the tower lacks.
  std::string SeveralBellsText() const;

  Network& network_;
  Clock& clock_;
  TowerLinkParams params_;
  TowerState tower_;
  std::unique_ptr<WebSocket> socket_;
  Phase phase_ = Phase::kConnecting;
  bool ever_joined_ = false;
  // Joined again after a loss: the screen says so.
  bool back_ = false;
  std::string failure_;
  int64_t attempt_started_us_ = 0;
  int64_t join_deadline_us_ = kNoDeadline;
  int64_t heartbeat_deadline_us_ = kNoDeadline;
  int64_t next_attempt_us_ = kNoDeadline;
  int64_t heartbeat_us_ = 0;  // pingInterval + pingTimeout of this connection; 0: not open
  bool namespace_joined_ = false;
  bool more_news_ = false;
  std::vector<int32_t> disagreements_;  // the last Service() left news for the next
};

}  // namespace strikewell
