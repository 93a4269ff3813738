// The line watcher's thread. TIOCMIWAIT blocks until one of the lines in its mask
// changes and has no time-out, so the only way to end it early is a signal whose
// handler runs in the waiting thread (installed without SA_RESTART, so the call
// returns EINTR instead of being restarted): to stop it, and for a second look.
#include "platform/posix/line_watch_posix.h"

#include <linux/serial.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>

namespace strikewell {

int64_t MonotonicMicrosNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

namespace {

constexpr int kInputLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;

// How long after a change (or the start) the thread's wait in the driver is broken
// off for a second look; see Run.
constexpr long kSecondLookNs = 5'000'000;

// A real-time signal: nothing else in the program uses one, and unlike SIGUSR1 a
// library is unlikely to claim it.
int WakeSignal() { return SIGRTMIN + 4; }

void OnWakeSignal(int) {}

void InstallWakeHandler() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_handler = OnWakeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the ioctl must return
    sigaction(WakeSignal(), &action, nullptr);
  });
}

}  // namespace

// What one look at the lines found. Drivers that wait for line changes also count
// them, and the counts tell a change that came and went; the states alone serve
// where counts are missing.
struct LineWatcher::Snapshot {
  bool counted = false;
  serial_icounter_struct counts{};
  bool read = false;
  int bits = 0;

  static Snapshot Of(int fd) {
    Snapshot s;
    s.counted = ioctl(fd, TIOCGICOUNT, &s.counts) == 0;
    s.read = ioctl(fd, TIOCMGET, &s.bits) == 0;
    s.bits &= kInputLines;
    return s;
  }
  bool operator==(const Snapshot& o) const {
    const bool same_counts = !counted || !o.counted ||
                             (counts.cts == o.counts.cts && counts.dsr == o.counts.dsr &&
                              counts.dcd == o.counts.dcd && counts.rng == o.counts.rng);
    return counted == o.counted && read == o.read && bits == o.bits && same_counts;
  }
};

LineWatcher::LineWatcher() : notify_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

LineWatcher::~LineWatcher() {
  Stop();
  if (notify_fd_ >= 0) close(notify_fd_);
}

void LineWatcher::Start(int fd) {
  Stop();
  fd_ = fd;
  if (notify_fd_ < 0) {  // no eventfd to be woken through: the lines are sampled
    state_ = State::kNotSupported;
    return;
  }
  // Taken here, before the caller goes on: a change after this moment is one the
  // thread finds, by comparing or by waiting.
  const Snapshot baseline = Snapshot::Of(fd);
  state_ = State::kWaiting;
  Notify(MonotonicMicrosNow());
  InstallWakeHandler();
  // The thread starts with every signal blocked, so that the terminal's signals
  // (resizes, Ctrl+C) keep going to the program's own thread; it then lets through
  // only its wake-up signal.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  thread_ = std::thread(&LineWatcher::Run, this, fd, baseline);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// TIOCMIWAIT waits for a change after the driver's own look at the call's start.
// A change between the thread's last look and that moment wakes nobody: the thread
// compares before each call, but it can be preempted between its look and the call.
// So a timer breaks the call off once, kSecondLookNs after each change and after the
// start, for a look that finds such a change; otherwise it would show only with the
// next change (for a bell, an edge one pulse width late).
void LineWatcher::Run(int fd, Snapshot last) {
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, WakeSignal());
  pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
  sigevent to_self{};
  to_self.sigev_notify = SIGEV_THREAD_ID;
  to_self.sigev_signo = WakeSignal();
  to_self._sigev_un._tid = gettid();
  timer_t second_look{};
  const bool timed = timer_create(CLOCK_MONOTONIC, &to_self, &second_look) == 0;
  const auto look_again_soon = [&] {
    const itimerspec once{.it_interval = {}, .it_value = {0, kSecondLookNs}};
    if (timed) timer_settime(second_look, 0, &once, nullptr);
  };
  look_again_soon();
  State ended = State::kWaiting;
  while (!stop_) {
    const Snapshot now = Snapshot::Of(fd);
    if (!(now == last)) {
      Notify(MonotonicMicrosNow());
      last = now;
      look_again_soon();
    }
    if (stop_) break;
    if (ioctl(fd, TIOCMIWAIT, kInputLines) == 0) {
      const int64_t at_us = MonotonicMicrosNow();
      last = Snapshot::Of(fd);
      Notify(at_us);
      look_again_soon();
      continue;
    }
    if (errno == EINTR) continue;
    // A hung-up tty answers EIO; a driver without the call ENOTTY or EINVAL.
    ended = errno == EIO || errno == ENODEV ? State::kDeviceGone : State::kNotSupported;
    break;
  }
  if (timed) timer_delete(second_look);
  if (ended != State::kWaiting) {
    state_ = ended;
    Notify(MonotonicMicrosNow());
  }
  std::lock_guard<std::mutex> lock(mutex_);
  left_ = true;
  left_changed_.notify_all();
}

void LineWatcher::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    std::unique_lock<std::mutex> lock(mutex_);
    // A signal that lands after the thread's last look at stop_ but before it has
    // entered the ioctl is spent on nothing, and the ioctl would then wait for the
    // next line change. So the signal goes again until the thread says it has left.
    while (!left_) {
      pthread_kill(thread_.native_handle(), WakeSignal());
      left_changed_.wait_for(lock, std::chrono::milliseconds(1));
    }
    lock.unlock();
    thread_.join();
  }
  stop_ = false;
  left_ = false;
  fd_ = -1;
  state_ = State::kIdle;
  TakeChange();
}

void LineWatcher::Notify(int64_t at_us) {
  // The first change since the last take keeps its time: the caller looks at the
  // lines once for all of them, and the counts tell how many there were.
  int64_t none = kNoChange;
  first_change_.compare_exchange_strong(none, at_us);
  const uint64_t one = 1;
  if (write(notify_fd_, &one, sizeof one) < 0) {
    // Only a full counter refuses, and then the eventfd is readable anyway.
  }
}

int64_t LineWatcher::TakeChange() {
  // Emptied before the time is taken: a change noted after this read makes the
  // eventfd readable again, so none is lost (at worst one wake finds nothing).
  uint64_t ticks = 0;
  if (read(notify_fd_, &ticks, sizeof ticks) < 0) {
    // EAGAIN: nothing was waiting.
  }
  return first_change_.exchange(kNoChange);
}

}  // namespace strikewell
