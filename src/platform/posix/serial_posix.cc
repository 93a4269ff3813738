// Serial ports through termios and the tty modem-control ioctls.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "platform/backends.h"
#include "platform/posix/emergency_exit.h"
#include "platform/posix/serial_posix.h"
#include "platform/serial.h"

namespace strikewell {
namespace {

// "\\.\ttyUSB0" -> "/dev/ttyUSB0", "\\.\pts/3" -> "/dev/pts/3". The stored names
// carry the Windows prefix so that a settings file moves between systems; a name
// without it is taken as a name below /dev too, or as given when absolute. A name
// that climbs out of /dev with ".." is refused: the settings file is plain text that
// anyone may have edited, and only terminal devices are to be opened.
std::string DevicePath(const std::string& device_name) {
  std::string_view name = device_name;
  if (name.starts_with(kDevicePrefix)) name.remove_prefix(kDevicePrefix.size());
  if (name.empty()) return {};
  std::string path = name.starts_with('/') ? std::string(name) : "/dev/" + std::string(name);
  if (path.find("/../") != std::string::npos || path.ends_with("/..")) return {};
  return path;
}

speed_t SpeedOf(int32_t bit_rate) {
  switch (bit_rate) {
    case 110:
      return B110;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;  // not a rate the port can be set to
  }
}

int32_t RateOf(speed_t speed) {
  for (int32_t rate :
       {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400}) {
    if (SpeedOf(rate) == speed) return rate;
  }
  return 9600;
}

bool CharSizeOf(int32_t data_bits, tcflag_t& size) {
  switch (data_bits & 0xFF) {  // only the low 8 bits reach the port, as on Windows
    case 5:
      size = CS5;
      return true;
    case 6:
      size = CS6;
      return true;
    case 7:
      size = CS7;
      return true;
    case 8:
      size = CS8;
      return true;
    default:
      return false;
  }
}

bool ModemBits(int fd, unsigned long request, int bits) { return ioctl(fd, request, &bits) == 0; }

// Errors with which a tty answers once its device has gone: a USB adapter pulled
// out leaves the tty hung up. ENOTTY and EINVAL are not among them: a pty or a
// driver without modem lines answers so for as long as it is there.
bool DeviceGone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

// The /dev/serial/by-id link that leads to path, or "". udev names a USB adapter
// there by its maker and serial number, which stay the same when it is plugged in
// again, while its ttyUSB number may not.
std::string ByIdLinkTo(const std::string& path) {
  std::error_code error;
  const std::filesystem::path device = std::filesystem::canonical(path, error);
  if (error) return {};
  for (const auto& entry : std::filesystem::directory_iterator("/dev/serial/by-id", error)) {
    std::error_code ignored;
    if (std::filesystem::canonical(entry.path(), ignored) == device && !ignored) {
      return entry.path().string();
    }
  }
  return {};
}

class PosixSerial;
PosixSerial* g_live = nullptr;
void ReleaseLivePorts();

class PosixSerial : public PosixSerialPorts {
 public:
  PosixSerial() {
    g_live = this;
    AddEmergencyCleanup(ReleaseLivePorts);
  }
  ~PosixSerial() override {
    if (g_live == this) g_live = nullptr;
    StopWatchingLines();
    ReleaseAll();
  }

  // Without stopping the line watcher: the process is about to end.
  void ReleaseAll() {
    for (const auto& [handle, fd] : fds_) Release(fd);
    fds_.clear();
  }

  SerHandle SerOpen(const std::string& device_name) override {
    const std::string path = DevicePath(device_name);
    if (path.empty()) return 0;
    int fd = OpenPath(path);
    // A replugged adapter may have come back under another ttyUSB number; the link
    // that named it when it was last opened finds it again.
    if (fd < 0) {
      auto it = by_id_.find(device_name);
      if (it != by_id_.end()) fd = OpenPath(it->second);
    }
    if (fd < 0) return 0;
    if (const std::string link = ByIdLinkTo(path); !link.empty()) by_id_[device_name] = link;
    const SerHandle handle = NewHandle();
    fds_[handle] = fd;
    return handle;
  }

  // An open, exclusive, configured descriptor, or -1.
  static int OpenPath(const std::string& path) {
    // O_NONBLOCK: a port without CLOCAL set can otherwise wait in open() until
    // carrier detect comes on. It stays set: reads wait in poll(), never in read().
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (!TakeExclusive(fd)) {
      close(fd);
      return -1;
    }
    if (!SetParams(fd, 9600, 8, TParityType::NoneParity, 1, {})) {
      Release(fd);
      return -1;
    }
    return fd;
  }

  void SerSetParams(SerHandle handle, int32_t bit_rate, int32_t data_bits, TParityType parity,
                    int32_t stop_bits, TSerialFlags flags) override {
    if (const int fd = Fd(handle); fd >= 0) {
      SetParams(fd, bit_rate, data_bits, parity, stop_bits, flags);
    }
  }

  void SerSetRTS(SerHandle handle, bool on) override {
    const int fd = Fd(handle);
    if (fd < 0) return;
    // The kernel's CRTSCTS drives RTS itself; a fixed level replaces the handshake
    // (Linux cannot keep CTS output flow control without it, and nothing is sent).
    termios tio{};
    if (tcgetattr(fd, &tio) == 0 && (tio.c_cflag & CRTSCTS) != 0) {
      tio.c_cflag &= ~CRTSCTS;
      tcsetattr(fd, TCSANOW, &tio);
    }
    ModemBits(fd, on ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
  }

  void SerSetDTR(SerHandle handle, bool on) override {
    if (const int fd = Fd(handle); fd >= 0) ModemBits(fd, on ? TIOCMBIS : TIOCMBIC, TIOCM_DTR);
  }

  bool SerGetCTS(SerHandle handle) override { return LineOn(handle, TIOCM_CTS); }
  bool SerGetDSR(SerHandle handle) override { return LineOn(handle, TIOCM_DSR); }
  bool SerGetCD(SerHandle handle) override { return LineOn(handle, TIOCM_CAR); }
  bool SerGetRI(SerHandle handle) override { return LineOn(handle, TIOCM_RNG); }

  int32_t SerReadTimeout(SerHandle handle, uint8_t* buffer, int32_t timeout_ms) override {
    const int fd = Fd(handle);
    if (fd < 0 || buffer == nullptr) return 0;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      const int ready = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return 0;
      // One byte at a time: the rest stays in the driver's queue for the next call.
      uint8_t byte = 0;
      const ssize_t got = read(fd, &byte, 1);
      if (got == 1) {
        buffer[0] = byte;
        return 1;
      }
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      // End of file on a port that poll() called readable is a hang-up.
      if (got == 0 || DeviceGone(errno)) lost_.insert(handle);
      // A hung-up or failed device (a USB adapter pulled out) reports itself at
      // once on every call; waiting out the time-out keeps a polling loop from
      // spinning on it.
      std::this_thread::sleep_until(deadline);
      return 0;
    }
  }

  // Drivers that count line interrupts (serial_core, usb-serial) keep the counts per
  // port from its first open.
  bool SerGetLineCounts(SerHandle handle, LineCounts& counts) override {
    const int fd = Fd(handle);
    serial_icounter_struct icount{};
    if (fd < 0) return false;
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) {
      if (DeviceGone(errno)) lost_.insert(handle);
      return false;
    }
    counts.cts = static_cast<uint32_t>(icount.cts);
    counts.dsr = static_cast<uint32_t>(icount.dsr);
    counts.cd = static_cast<uint32_t>(icount.dcd);
    counts.ri = static_cast<uint32_t>(icount.rng);
    return true;
  }

  // ASYNC_LOW_LATENCY makes a USB adapter's driver (ftdi_sio among them) set the
  // adapter's latency timer to 1 ms and hand on what arrives at once. The flag is
  // one a user may set; every other flag is written back as it was.
  void SerSetLowLatency(SerHandle handle) override {
    const int fd = Fd(handle);
    serial_struct serial{};
    if (fd < 0 || ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
    if ((serial.flags & ASYNC_LOW_LATENCY) != 0) return;
    serial.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);
  }

  // Linux has the latency timer set through the low-latency request above, so
  // there is nothing left for the ringer to change by hand.
  int32_t SerLatencyTimerMs(SerHandle) override { return 0; }

  void SerSync(SerHandle handle) override {
    const int fd = Fd(handle);
    if (fd < 0) return;
    // tcdrain() would wait without limit for output that cannot leave (CTS held off
    // under flow control, a pty nobody reads). Wait instead for the queue to empty
    // for as long as its bytes take to send at the port's rate, plus a second.
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    termios tio{};
    const int32_t rate = tcgetattr(fd, &tio) == 0 ? RateOf(cfgetospeed(&tio)) : 9600;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(int64_t{queued} * 10 * 1000 / rate + 1000);
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void SerFlushOutput(SerHandle handle) override {
    if (const int fd = Fd(handle); fd >= 0) tcflush(fd, TCOFLUSH);
  }

  bool SerPortLost(SerHandle handle) override {
    if (lost_.contains(handle)) return true;
    const int fd = Fd(handle);
    if (fd < 0) return false;
    // A hang-up shows in poll() whatever is asked for; the watcher has seen the
    // driver refuse its wait for the same reason.
    pollfd p{fd, 0, 0};
    const bool hung_up = poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    const bool watch_ended =
        handle == watched_ && watcher_.state() == LineWatcher::State::kDeviceGone;
    if (!hung_up && !watch_ended) return false;
    lost_.insert(handle);
    return true;
  }

  void SerClose(SerHandle handle) override {
    lost_.erase(handle);
    auto it = fds_.find(handle);
    if (it == fds_.end()) return;
    if (handle == watched_) StopWatchingLines();
    Release(it->second);
    fds_.erase(it);
  }

  int PortFd(SerHandle handle) override { return Fd(handle); }

  LineWatcher* WatchLines(SerHandle handle) override {
    const int fd = Fd(handle);
    if (fd < 0) {
      StopWatchingLines();
      return nullptr;
    }
    if (handle != watched_) {
      watcher_.Start(fd);
      watched_ = handle;
    }
    return &watcher_;
  }

  void StopWatchingLines() override {
    if (watched_ == 0) return;
    watcher_.Stop();
    watched_ = 0;
  }

 private:
  // Windows opens a port with share mode 0: one user at a time. TIOCEXCL refuses
  // further opens, but not to root; a non-blocking flock() refuses everyone who
  // asks for it. Locking first means that a refused opener never touches the
  // holder's exclusive mode. An exclusive mode already set means another program
  // holds the port without flock(): refused too, since root would get past it.
  static bool TakeExclusive(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) return false;
    return ioctl(fd, TIOCEXCL) == 0;
  }

  // Exclusive mode belongs to the tty, not to the descriptor: a pty's slave keeps
  // it after close while its master is open, so it is cleared before closing.
  // Closing also drops the flock().
  static void Release(int fd) {
    ioctl(fd, TIOCNXCL);
    close(fd);
  }

  // The modem-control step does not count towards success: ptys have no modem
  // lines, yet carry data. Like a Windows DCB built from zero, the call leaves RTS
  // and DTR off (RTS under the handshake's control with flow control); callers
  // turn them on again.
  static bool SetParams(int fd, int32_t bit_rate, int32_t data_bits, TParityType parity,
                        int32_t stop_bits, TSerialFlags flags) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    if (!LineTermios(tio, bit_rate, data_bits, parity, stop_bits, flags)) return false;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
    ModemBits(fd, TIOCMBIC, flags.RtsCtsFlowControl ? TIOCM_DTR : TIOCM_RTS | TIOCM_DTR);
    return true;
  }

  bool LineOn(SerHandle handle, int bit) {
    const int fd = Fd(handle);
    int status = 0;
    if (fd < 0) return false;
    if (ioctl(fd, TIOCMGET, &status) != 0) {
      if (DeviceGone(errno)) lost_.insert(handle);
      return false;
    }
    return (status & bit) != 0;
  }

  int Fd(SerHandle handle) const {
    auto it = fds_.find(handle);
    return it == fds_.end() ? -1 : it->second;
  }

  // Handles count up from 1 and are not reused soon, so a stale handle does not
  // reach a port opened later.
  SerHandle NewHandle() {
    for (;;) {
      const SerHandle h = next_handle_;
      next_handle_ = next_handle_ == INT32_MAX ? 1 : next_handle_ + 1;
      if (!fds_.contains(h)) return h;
    }
  }

  std::map<SerHandle, int> fds_;
  std::set<SerHandle> lost_;
  // Device name as stored -> the /dev/serial/by-id link it was last opened through.
  std::map<std::string, std::string> by_id_;
  SerHandle next_handle_ = 1;
  LineWatcher watcher_;
  SerHandle watched_ = 0;
};

void ReleaseLivePorts() {
  if (g_live != nullptr) g_live->ReleaseAll();
}

}  // namespace

bool LineTermios(termios& tio, int32_t bit_rate, int32_t data_bits, TParityType parity,
                 int32_t stop_bits, TSerialFlags flags) {
  tcflag_t size = CS8;
  const speed_t speed = SpeedOf(bit_rate);
  if (!CharSizeOf(data_bits, size) || speed == B0) return false;
  cfmakeraw(&tio);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD | size;
  if (parity == TParityType::OddParity) tio.c_cflag |= PARENB | PARODD;
  if (parity == TParityType::EvenParity) tio.c_cflag |= PARENB;
  if (stop_bits > 1) tio.c_cflag |= CSTOPB;
  if (flags.RtsCtsFlowControl) tio.c_cflag |= CRTSCTS;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0;
}

std::unique_ptr<Serial> MakeSerial() { return std::make_unique<PosixSerial>(); }

}  // namespace strikewell
