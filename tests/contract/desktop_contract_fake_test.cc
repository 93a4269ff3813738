// The desktop contract over the fake desktop that the logic's tests use.
#include <memory>
#include <string>
#include <vector>

#include "desktop_contract.h"
#include "fake_clock.h"
#include "fake_desktop.h"

namespace strikewell::contract {
namespace {

// Other programs' windows are the fake's own windows, and "another program" is the
// test moving the fake's focus; nothing happens later than it is told, so a
// condition is asked once.
class FakeDesktopRig : public DesktopRig {
 public:
  Desktop& desktop() override { return fake_; }
  WindowHandle OpenWindow(const std::string& title) override { return fake_.AddWindow(title); }
  void CloseWindow(WindowHandle window) override {
    fake_.CloseWindowAt(clock_.NowMillis(), window);
  }
  bool GiveIdToAnotherWindow(WindowHandle window, const std::string& title) override {
    fake_.ReuseHandleAt(clock_.NowMillis(), window, title);
    return true;
  }
  void BringToFront(WindowHandle window) override { fake_.FocusAt(clock_.NowMillis(), window); }
  bool TakesKeys(WindowHandle window) override { return fake_.GetForegroundWindow() == window; }
  std::vector<uint8_t> KeysReceived(WindowHandle window) override {
    std::vector<uint8_t> presses;
    for (const auto& key : fake_.received[window]) {
      if ((key.flags & KEYEVENTF_KEYUP_FLAG) == 0) presses.push_back(key.vk);
    }
    return presses;
  }
  bool Eventually(const std::function<bool()>& condition) override { return condition(); }
  bool Consistently(const std::function<bool()>& condition) override { return condition(); }

 private:
  testing::FakeClock clock_;
  testing::FakeDesktop fake_{&clock_};
};

std::unique_ptr<DesktopRig> MakeFakeRig() { return std::make_unique<FakeDesktopRig>(); }

INSTANTIATE_TEST_SUITE_P(Fake, DesktopContract,
                         ::testing::Values(DesktopBackend{"Fake", MakeFakeRig}),
                         DesktopBackendName);

}  // namespace
}  // namespace strikewell::contract
