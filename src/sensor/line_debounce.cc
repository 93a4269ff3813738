#include "sensor/line_debounce.h"

namespace strikewell {

int32_t RisingChanges(bool was_on, uint32_t changes, bool now_on) {
  if (changes == 0) return !was_on && now_on ? 1 : 0;
  // An odd number of changes flips the line; where it did not, one edge went
  // uncounted.
  const bool flipped = changes % 2 == 1;
  if (flipped != (was_on != now_on)) ++changes;
  return static_cast<int32_t>(was_on ? changes / 2 : (changes + 1) / 2);
}

void LineDebounce::Reset(bool level) {
  level_ = level;
  recheck_ = false;
  quiet_until_us_ = 0;
  first_ignored_us_.reset();
}

TakenRises LineDebounce::Take(bool level, int64_t at_us, int64_t edge_us) {
  level_ = level;
  quiet_until_us_ = at_us + debounce_us_;
  recheck_ = true;
  first_ignored_us_.reset();
  return level ? TakenRises{1, edge_us} : TakenRises{0, edge_us};
}

TakenRises LineDebounce::Look(bool now_on, std::optional<uint32_t> changes, int64_t at_us) {
  if (debounce_us_ <= 0) {
    const int32_t rises =
        changes.has_value() ? RisingChanges(level_, *changes, now_on) : (!level_ && now_on ? 1 : 0);
    level_ = now_on;
    return {rises, at_us};
  }
  const bool changed = now_on != level_ || (changes.has_value() && *changes > 0);
  if (at_us < quiet_until_us_) {
    if (changed && !first_ignored_us_) first_ignored_us_ = at_us;
    return {};
  }
  if (recheck_) {
    // The first look once the time is up: only the level counts now, since the
    // changes counted meanwhile are the chatter that was ignored.
    recheck_ = false;
    const std::optional<int64_t> edge = first_ignored_us_;
    first_ignored_us_.reset();
    if (now_on == level_) return {};
    return Take(now_on, at_us, edge.value_or(at_us));
  }
  if (!changed) return {};
  // However many changes were counted, the first one away from the taken level is
  // the edge; the rest are its flicker, and a change back is read at the recheck.
  return Take(!level_, at_us, at_us);
}

}  // namespace strikewell
