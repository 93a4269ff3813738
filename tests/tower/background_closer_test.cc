// Closing a connection can wait (a name lookup, a server's goodbye): the closer takes
// that off the caller's thread, in order, and its owner waits for it at the end.
#include "platform/background_closer.h"

#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace strikewell {
namespace {

TEST(BackgroundCloser, AClosingThatWaitsDoesNotHoldTheCaller) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::thread::id ran_on;
  {
    BackgroundCloser closer;
    closer.Hand([&, released] {
      ran_on = std::this_thread::get_id();
      released.wait();
    });
    // Handing over came back while the closing still waits; only then is it let go.
    release.set_value();
  }
  EXPECT_NE(ran_on, std::thread::id());
  EXPECT_NE(ran_on, std::this_thread::get_id());
}

TEST(BackgroundCloser, EverythingHandedOverIsClosedInOrderBeforeItsOwnerGoes) {
  std::vector<std::string> closed;
  {
    BackgroundCloser closer;
    for (const char* name : {"first", "second", "third"}) {
      closer.Hand([&closed, name] { closed.push_back(name); });
    }
  }
  EXPECT_EQ(closed, (std::vector<std::string>{"first", "second", "third"}));
}

}  // namespace
}  // namespace strikewell
