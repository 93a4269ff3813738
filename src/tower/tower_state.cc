#include "tower/tower_state.h"

#include <algorithm>

namespace strikewell {

void TowerState::Resize(int32_t size) {
  bells_.resize(static_cast<size_t>(size), true);
  assigned_.resize(static_cast<size_t>(size), 0);
  in_flight_.resize(static_cast<size_t>(size), 0);
}

TowerState::Follow TowerState::Apply(const ServerEvent& event) {
  using Kind = ServerEvent::Kind;
  switch (event.kind) {
    case Kind::kGlobalState:
      Resize(static_cast<int32_t>(event.bells.size()));
      bells_ = event.bells;
      known_ = true;
      return Follow::kNothing;
    case Kind::kBellRung: {
      // A state for another number of bells than the tower's is a size change
      // whose notice is still to come (or a confused server): believed as it is.
      Resize(static_cast<int32_t>(event.bells.size()));
      bells_ = event.bells;
      if (event.bell <= bell_count()) {
        int32_t& flying = in_flight_[static_cast<size_t>(event.bell - 1)];
        if (flying > 0) --flying;
      }
      return Follow::kNothing;
    }
    case Kind::kAssignUser:
      if (event.bell > bell_count()) Resize(event.bell);
      assigned_[static_cast<size_t>(event.bell - 1)] = event.user;
      return Follow::kNothing;
    case Kind::kSizeChange:
      // Every bell is back at handstroke; who rings what is told again with the
      // whole state.
      Resize(event.size);
      bells_.assign(bells_.size(), true);
      return Follow::kRequestState;
    case Kind::kUserEntered:
      if (event.username == username_) own_user_id_ = event.user;
      return Follow::kNothing;
    case Kind::kUserLeft:
      if (!event.kicked || own_user_id_ != event.user) return Follow::kNothing;
      kicked_ = true;
      return Follow::kKicked;
    case Kind::kBadToken:
      return Follow::kTokenRefused;
    default:
      return Follow::kNothing;
  }
}

void TowerState::NewConnection() {
  known_ = false;
  std::fill(in_flight_.begin(), in_flight_.end(), 0);
}

void TowerState::Rung(int32_t bell) {
  if (bell < 1 || bell > bell_count()) return;
  ++in_flight_[static_cast<size_t>(bell - 1)];
}

std::optional<bool> TowerState::Stroke(int32_t bell) const {
  if (!known_ || bell < 1 || bell > bell_count()) return std::nullopt;
  const size_t k = static_cast<size_t>(bell - 1);
  return bells_[k] != (in_flight_[k] % 2 == 1);
}

int64_t TowerState::AssignedUser(int32_t bell) const {
  if (bell < 1 || bell > bell_count()) return 0;
  return assigned_[static_cast<size_t>(bell - 1)];
}

int32_t TowerState::RingingBell(int32_t fixed_bell) const {
  if (fixed_bell > 0) return fixed_bell <= bell_count() ? fixed_bell : 0;
  if (!own_user_id_) return 0;
  for (int32_t bell = 1; bell <= bell_count(); ++bell) {
    if (assigned_[static_cast<size_t>(bell - 1)] == *own_user_id_) return bell;
  }
  return 0;
}

}  // namespace strikewell
