// The tower's message decoder and the state it feeds: the input is a conversation,
// one server message per line. Beyond "no crash": every event the decoder lets
// through has its fields in range, an ignored message says why, and whatever the
// server says, the bell rung is one the tower has and, unless the ringer chose one,
// one assigned to the ringer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "tower/protocol.h"
#include "tower/tower_state.h"

namespace {

using strikewell::kMaxBells;
using strikewell::ServerEvent;
using Kind = ServerEvent::Kind;

void CheckEvent(const ServerEvent& event) {
  if (event.kind == Kind::kIgnored) {
    FUZZ_CHECK(!event.ignored_because.empty());
    return;
  }
  if (event.kind == Kind::kGlobalState || event.kind == Kind::kBellRung) {
    FUZZ_CHECK(!event.bells.empty() && event.bells.size() <= kMaxBells);
  }
  if (event.kind == Kind::kBellRung || event.kind == Kind::kAssignUser) {
    FUZZ_CHECK(event.bell >= 1 && event.bell <= kMaxBells);
  }
  if (event.kind == Kind::kSizeChange) FUZZ_CHECK(event.size >= 1 && event.size <= kMaxBells);
  if (event.kind == Kind::kAssignUser) FUZZ_CHECK(event.user >= 0);
  if (event.kind == Kind::kOpen) {
    FUZZ_CHECK(event.ping_interval_ms > 0 && event.ping_timeout_ms > 0);
  }
}

void CheckBells(const strikewell::TowerState& tower) {
  const int32_t assigned = tower.RingingBell(0);
  FUZZ_CHECK(assigned >= 0 && assigned <= tower.bell_count());
  if (assigned > 0) {
    FUZZ_CHECK(tower.own_user_id().has_value());
    FUZZ_CHECK(tower.AssignedUser(assigned) == *tower.own_user_id());
  }
  for (int32_t fixed = 1; fixed <= kMaxBells + 1; ++fixed) {
    const int32_t bell = tower.RingingBell(fixed);
    FUZZ_CHECK(bell == 0 || bell == fixed);
    FUZZ_CHECK(bell <= tower.bell_count());
    if (bell > 0 && tower.known()) FUZZ_CHECK(tower.Stroke(bell).has_value());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  strikewell::TowerState tower("ann");
  // The whole input as one message, then each line of it in turn.
  CheckEvent(strikewell::DecodeMessage(input));
  while (!input.empty()) {
    const size_t end = std::min(input.find('\n'), input.size());
    const ServerEvent event = strikewell::DecodeMessage(input.substr(0, end));
    CheckEvent(event);
    tower.Apply(event);
    // A ring now and then, as the ringer's blows interleave with the server's news.
    if (end % 3 == 0) tower.Rung(tower.RingingBell(0));
    CheckBells(tower);
    input.remove_prefix(std::min(end + 1, input.size()));
  }
  return 0;
}
