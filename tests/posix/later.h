// Something another program or the device does while a test waits on a real facility.
#pragma once

#include <chrono>
#include <functional>
#include <thread>
#include <utility>

namespace strikewell::testing {

// Runs action on a thread of its own after a pause, while the test waits.
class Later {
 public:
  Later(std::chrono::milliseconds pause, std::function<void()> action)
      : thread_([pause, action = std::move(action)] {
          std::this_thread::sleep_for(pause);
          action();
        }) {}
  ~Later() { thread_.join(); }

 private:
  std::thread thread_;
};

}  // namespace strikewell::testing
