// How long a synthesised key takes from KeybdEvent (XTestFakeKeyEvent + XFlush) to
// the target client's KeyPress, on a private Xvfb without and with openbox.
// Prints figures only.
#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/backends.h"
#include "x_session.h"

namespace {

using strikewell::xtest::MonotonicMicros;
using strikewell::xtest::WaitUntil;

constexpr int kKeys = 200;

bool Measure(bool with_window_manager) {
  const char* setting = with_window_manager ? "with openbox" : "without a window manager";
  strikewell::xtest::XServer server(with_window_manager);
  if (!server.ok()) {
    std::printf("%s: no X server\n", setting);
    return false;
  }
  strikewell::xtest::KeyLoggerWindow target(strikewell::xtest::UniqueTitle("Ringing Room bench"));
  if (!target.WaitMapped()) return false;
  auto desktop = strikewell::MakeDesktop();
  const auto window = static_cast<strikewell::WindowHandle>(target.Window());
  desktop->SetForegroundWindow(window);
  if (!WaitUntil([&] { return desktop->GetForegroundWindow() == window && target.HasFocus(); })) {
    std::printf("%s: the target did not get the focus\n", setting);
    return false;
  }

  std::vector<long long> latencies;
  for (int i = 0; i < kKeys; ++i) {
    const size_t before = target.Presses().size();
    const long long sent = MonotonicMicros();
    desktop->KeybdEvent(0x4A, 0x24, 0);
    long long received = 0;
    if (!WaitUntil([&] {
          const auto lines = target.Lines();
          size_t presses = 0;
          for (const auto& line : lines) {
            if (line.kind != "press") continue;
            if (++presses > before) received = line.at_us;
          }
          return presses > before;
        })) {
      std::printf("%s: key %d never arrived\n", setting, i);
      return false;
    }
    desktop->KeybdEvent(0x4A, 0x24, strikewell::KEYEVENTF_KEYUP_FLAG);
    latencies.push_back(received - sent);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf("Key delivery %s, %d keys: median %.3f ms, 90th percentile %.3f ms, worst %.3f ms\n",
              setting, kKeys, latencies[latencies.size() / 2] / 1000.0,
              latencies[latencies.size() * 9 / 10] / 1000.0, latencies.back() / 1000.0);
  return true;
}

}  // namespace

int main() {
  const bool plain = Measure(false);
  const bool managed = Measure(true);
  return plain && managed ? 0 : 1;
}
