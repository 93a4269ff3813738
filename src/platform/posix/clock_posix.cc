// The local time of day, waits and a monotonic clock on POSIX systems.
#include <time.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

#include "platform/backends.h"
#include "platform/clock.h"

namespace strikewell {
namespace {

class PosixClock : public Clock {
 public:
  std::string ClockText() override {
    const time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local) == nullptr) return "00:00:00";
    char text[16];
    if (strftime(text, sizeof text, "%H:%M:%S", &local) != 8) return "00:00:00";
    return text;
  }

  std::string LocalStamp() override {
    const time_t now = time(nullptr);
    tm local{};
    char text[32];
    if (localtime_r(&now, &local) == nullptr ||
        strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local) != 15) {
      return "00000000-000000";
    }
    return text;
  }

  // A signal (a terminal resize, say) must not cut a bell delay short.
  void Sleep(uint32_t ms) override {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  int64_t MonotonicMicros() override {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace

std::unique_ptr<Clock> MakeClock() { return std::make_unique<PosixClock>(); }

}  // namespace strikewell
