#include "fake_clock.h"

#include <cstdio>

namespace strikewell::testing {

std::string FakeClock::ClockText() {
  const int64_t secs = (start_seconds_of_day_ + now_us_ / 1000000) % 86400;
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(secs / 3600),
                static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
  return text;
}

}  // namespace strikewell::testing
