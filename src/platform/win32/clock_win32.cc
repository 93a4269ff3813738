// The local time of day, waits and a monotonic clock on Windows.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/backends.h"
#include "platform/clock.h"

namespace strikewell {
namespace {

class Win32Clock : public Clock {
 public:
  std::string ClockText() override {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", unsigned{local.wHour},
                  unsigned{local.wMinute}, unsigned{local.wSecond});
    return text;
  }

  std::string LocalStamp() override {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    char text[32];
    std::snprintf(text, sizeof text, "%04u%02u%02u-%02u%02u%02u", unsigned{local.wYear},
                  unsigned{local.wMonth}, unsigned{local.wDay}, unsigned{local.wHour},
                  unsigned{local.wMinute}, unsigned{local.wSecond});
    return text;
  }

  void Sleep(uint32_t ms) override { ::Sleep(ms); }

  // steady_clock rests on QueryPerformanceCounter here.
  int64_t MonotonicMicros() override {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace

std::unique_ptr<Clock> MakeClock() { return std::make_unique<Win32Clock>(); }

}  // namespace strikewell
