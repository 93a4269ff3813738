// What the program knows of the tower it rings in: its bells and each one's next
// stroke, who is assigned to which bell, and the ringer's own user id; and from
// that, which bell is the ringer's and the stroke to send. It changes only through
// decoded server events and the rings this program sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tower/protocol.h"

namespace strikewell {

class TowerState {
 public:
  // What an event asks of the connection.
  enum class Follow {
    kNothing,
    kRequestState,  // the tower changed size: ask for its whole state again
    kTokenRefused,  // the tower refused the login token
    kKicked,        // the host removed the ringer from the tower
  };

  // username: the account's, which names the ringer among the users entering.
  explicit TowerState(std::string username) : username_(std::move(username)) {}

  Follow Apply(const ServerEvent& event);

  // A new connection: nothing heard on the old one counts for rings still on their
  // way, and the tower's state is unknown until the server sends it again.
  void NewConnection();
  // A ring of bell has been sent: until its echo comes back, the bell's next
  // stroke is the one after it.
  void Rung(int32_t bell);

  // True once the server has told the tower's state on this connection.
  bool known() const { return known_; }
  int32_t bell_count() const { return static_cast<int32_t>(bells_.size()); }
  // The stroke to send for bell (true: handstroke); nullopt for a bell the tower
  // does not have or while the state is unknown.
  std::optional<bool> Stroke(int32_t bell) const;
  // The user assigned to bell; 0 for nobody.
  int64_t AssignedUser(int32_t bell) const;
  std::optional<int64_t> own_user_id() const { return own_user_id_; }
  bool kicked() const { return kicked_; }

  // The bell to ring: fixed_bell when the ringer chose one (and the tower has it),
  // else the lowest-numbered bell assigned to the ringer; 0 for none.
  int32_t RingingBell(int32_t fixed_bell) const;

 private:
  void Resize(int32_t size);

  std::string username_;
  std::vector<bool> bells_;
  std::vector<int64_t> assigned_;
  // Rings of each bell sent on this connection whose echo has not come back yet.
  // The server answers this socket's events in the order they were sent, so a
  // state it sends already holds every ring whose echo came before it.
  std::vector<int32_t> in_flight_;
  std::optional<int64_t> own_user_id_;
  bool known_ = false;
  bool kicked_ = false;
};

}  // namespace strikewell
