// Waits for changes of a serial port's modem-status input lines without polling
// them: a helper thread sits in the driver's TIOCMIWAIT and hands the time of each
// change to the counting wait through an eventfd.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <thread>

namespace strikewell {

// CLOCK_MONOTONIC in microseconds: the clock of Clock::MonotonicMicros and of the
// counting wait's deadlines.
int64_t MonotonicMicrosNow();

class LineWatcher {
 public:
  enum class State {
    kIdle,          // no port watched
    kWaiting,       // the thread waits in the driver for the next change
    kNotSupported,  // the driver cannot wait for changes (ptys, some USB drivers)
    kDeviceGone,    // the driver reports the device gone (a USB adapter pulled out)
  };
  static constexpr int64_t kNoChange = std::numeric_limits<int64_t>::min();

  LineWatcher();
  ~LineWatcher();
  LineWatcher(const LineWatcher&) = delete;
  LineWatcher& operator=(const LineWatcher&) = delete;

  // Watches the lines of fd (an open port) from now on, and no other port's. The
  // first TakeChange after a start gives the start time: a change between the
  // caller's last look at the lines and the moment the thread is in place would
  // otherwise show only with the next change.
  void Start(int fd);
  // Returns once the thread is gone: after that the descriptor may be closed.
  void Stop();

  int fd() const { return fd_; }
  State state() const { return state_.load(); }
  // Readable while a change waits to be taken, and once the watch has ended by
  // itself (kNotSupported, kDeviceGone), so that the wait turns to sampling at once.
  int NotifyFd() const { return notify_fd_; }
  // Empties NotifyFd; the time of the first change seen since the last take, or
  // kNoChange.
  int64_t TakeChange();

 private:
  struct Snapshot;
  void Run(int fd, Snapshot last);
  void Notify(int64_t at_us);

  int notify_fd_ = -1;
  int fd_ = -1;
  std::thread thread_;
  std::atomic<State> state_{State::kIdle};
  std::atomic<int64_t> first_change_{kNoChange};
  std::atomic<bool> stop_{false};
  // Set by the thread as it ends; Stop() waits for it between wake-up signals.
  std::mutex mutex_;
  std::condition_variable left_changed_;
  bool left_ = false;
};

}  // namespace strikewell
