// Ends connections away from the thread that drops them. Closing a connection can
// wait: for a name lookup that hangs to give up, for a server's goodbye, for a send
// stuck on a dead link. The counting loop that drops a lost connection must not.
// What is handed over is ended in order on a thread of its own; the closer's owner
// (the network, which outlives its connections) waits for the last of it when it goes,
// so nothing is left half closed when the program ends.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace strikewell {

class BackgroundCloser {
 public:
  BackgroundCloser() = default;
  BackgroundCloser(const BackgroundCloser&) = delete;
  BackgroundCloser& operator=(const BackgroundCloser&) = delete;

  ~BackgroundCloser() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // Runs close later, never in the caller's thread; the thread starts at first use.
  void Hand(std::function<void()> close) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(close));
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    changed_.notify_all();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
      if (pending_.empty()) return;
      std::function<void()> close = std::move(pending_.front());
      pending_.pop_front();
      lock.unlock();
      close();
      close = nullptr;  // what it held goes here too, not under the lock
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> pending_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace strikewell
