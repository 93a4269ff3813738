// The counting loop's wait on Linux: one ppoll() over the sensor port, the line
// watcher's eventfd, standard input, the network's eventfd and a timerfd armed at
// the deadline.
//
// The deadline is a CLOCK_MONOTONIC time, so the timerfd is armed with
// TFD_TIMER_ABSTIME on that clock: it fires when the clock reaches the deadline,
// never before, whatever the wait did meanwhile, and its expiry is an hrtimer
// without timer slack (unlike a poll() time-out, which the kernel may stretch by the
// thread's slack of 50 us). The poll itself has no time-out.
#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "platform/backends.h"
#include "platform/event_wait.h"
#include "platform/posix/line_watch_posix.h"
#include "platform/posix/network_posix.h"
#include "platform/posix/serial_posix.h"
#include "platform/posix/terminal_posix.h"

namespace strikewell {
namespace {

// Where changes of the lines cannot be waited for, they are sampled this often.
constexpr int64_t kSampleIntervalUs = 1000;

timespec TimespecOf(int64_t us) {
  return timespec{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
}

bool Any(const WaitResult& r) {
  return r.lines || r.data || r.console || r.network || r.resized || r.port_lost;
}

class PosixEventWait : public EventWait {
 public:
  PosixEventWait(Serial& serial, RawConsole& console, Network* network)
      : ports_(dynamic_cast<PosixSerialPorts*>(&serial)),
        terminal_(dynamic_cast<PosixTerminal*>(&console)),
        network_(dynamic_cast<PosixNetwork*>(network)),
        foreign_network_(network != nullptr && network_ == nullptr),
        timer_fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {}

  ~PosixEventWait() override {
    if (ports_ != nullptr) ports_->StopWatchingLines();
    if (timer_fd_ >= 0) close(timer_fd_);
  }

  WaitResult Wait(const WaitFor& what) override;

 private:
  // Arms the timer at wake_us (kNoDeadline: disarms it); false when there is no
  // timer and the poll must time out by itself.
  bool ArmTimer(int64_t wake_us);

  // Null when the backends are not this platform's own (a test's stand-ins): then
  // what cannot be waited for is looked at every kSampleIntervalUs.
  PosixSerialPorts* ports_;
  PosixTerminal* terminal_;
  PosixNetwork* network_;
  bool foreign_network_;
  int timer_fd_;
  int64_t next_sample_us_ = 0;
  // A port whose descriptor reported a hang-up. It would report it again on every
  // poll, so after one wake it is no longer watched for bytes: nothing more can come.
  SerHandle hung_port_ = 0;
};

WaitResult PosixEventWait::Wait(const WaitFor& what) {
  const int port_fd = ports_ != nullptr && what.port != 0 ? ports_->PortFd(what.port) : -1;
  LineWatcher* watcher = nullptr;
  if (ports_ != nullptr) {
    if (what.lines && port_fd >= 0) {
      watcher = ports_->WatchLines(what.port);
    } else {
      ports_->StopWatchingLines();
    }
  }
  const bool foreign_port = ports_ == nullptr && what.port != 0;
  const bool watch_bytes = what.data && port_fd >= 0 && what.port != hung_port_;
  // A port watched for its lines alone is still watched for a hang-up, which poll()
  // reports whatever it is asked for.
  const bool watch_hangup = port_fd >= 0 && what.port != hung_port_;
  const bool sample_console = what.console && terminal_ == nullptr;
  const bool sample_network = what.network && foreign_network_;

  WaitResult result;
  bool sample_lines = false;
  for (;;) {
    int64_t now = MonotonicMicrosNow();
    int64_t wake = what.deadline_us;
    if (what.console && terminal_ != nullptr) {
      const int64_t key_due = terminal_->KeyDueMicros();
      if (key_due <= now) result.console = true;
      wake = std::min(wake, key_due);
    }
    if (what.network && network_ != nullptr && network_->NewsWaiting()) result.network = true;
    if (watcher != nullptr) {
      const int64_t changed_at = watcher->TakeChange();
      if (changed_at != LineWatcher::kNoChange) {
        result.lines = true;
        result.lines_at_us = changed_at;
      }
    }
    sample_lines =
        what.lines &&
        (foreign_port || (watcher != nullptr && watcher->state() != LineWatcher::State::kWaiting));
    const bool sample_data = what.data && foreign_port;
    if (sample_lines || sample_data || sample_console || sample_network) {
      if (now >= next_sample_us_) {
        result.lines |= sample_lines;
        result.data |= sample_data;
        result.console |= sample_console;
        result.network |= sample_network;
      }
      wake = std::min(wake, next_sample_us_);
    }
    if (Any(result) || now >= what.deadline_us) break;

    pollfd fds[6];
    nfds_t count = 0;
    const auto watch = [&](int fd, short events = POLLIN) {
      fds[count] = pollfd{fd, events, 0};
      return &fds[count++];
    };
    const pollfd* port = watch_hangup ? watch(port_fd, watch_bytes ? POLLIN : 0) : nullptr;
    const pollfd* keys =
        what.console && terminal_ != nullptr ? watch(terminal_->InputFd()) : nullptr;
    const pollfd* resize = what.console && terminal_ != nullptr && terminal_->ResizeFd() >= 0
                               ? watch(terminal_->ResizeFd())
                               : nullptr;
    if (watcher != nullptr) watch(watcher->NotifyFd());
    // Readable news is found by NewsWaiting() at the top of the loop.
    if (what.network && network_ != nullptr) watch(network_->NewsFd());
    int ready = 0;
    if (ArmTimer(wake)) {
      if (wake != kNoDeadline) watch(timer_fd_);
      ready = ppoll(fds, count, nullptr, nullptr);
    } else {
      const timespec left = TimespecOf(std::max<int64_t>(wake - now, 0) + 1);
      ready = ppoll(fds, count, wake == kNoDeadline ? nullptr : &left, nullptr);
    }
    // EINTR (a terminal resize, say): look again. So does a timer that fired, below,
    // finding nothing set.
    if (ready <= 0) continue;
    now = MonotonicMicrosNow();
    if (port != nullptr && port->revents != 0) {
      if (watch_bytes) {
        result.data = true;
        result.data_at_us = now;
      }
      if ((port->revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        hung_port_ = what.port;
        result.port_lost = true;
      }
    }
    if (keys != nullptr && keys->revents != 0) result.console = true;
    if (resize != nullptr && resize->revents != 0) {
      char drained[64];
      while (read(terminal_->ResizeFd(), drained, sizeof drained) > 0) {
      }
      result.resized = true;
    }
  }
  if (sample_lines) {
    result.lines = true;
    result.lines_at_us = MonotonicMicrosNow();
  }
  if (sample_lines || foreign_port || sample_console || sample_network) {
    next_sample_us_ = MonotonicMicrosNow() + kSampleIntervalUs;
  }
  return result;
}

bool PosixEventWait::ArmTimer(int64_t wake_us) {
  if (timer_fd_ < 0) return false;
  itimerspec when{};
  if (wake_us != kNoDeadline) when.it_value = TimespecOf(std::max<int64_t>(wake_us, 1));
  return timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &when, nullptr) == 0;
}

}  // namespace

// The wait keeps its own time on CLOCK_MONOTONIC, the clock that MakeClock()'s
// MonotonicMicros reads (std::chrono::steady_clock).
std::unique_ptr<EventWait> MakeEventWait(Serial& serial, RawConsole& console, Clock&,
                                         Network* network) {
  return std::make_unique<PosixEventWait>(serial, console, network);
}

}  // namespace strikewell
