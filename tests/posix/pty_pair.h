// A pseudo-terminal pair standing in for a serial port and the device on its far
// end: bytes written on the master arrive on the slave, where the program reads.
#pragma once

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace strikewell::testing {

class PtyPair {
 public:
  PtyPair() {
    char name[128] = {};
    winsize size{.ws_row = 25, .ws_col = 80, .ws_xpixel = 0, .ws_ypixel = 0};
    if (openpty(&master_, &slave_, name, nullptr, &size) != 0) {
      throw std::runtime_error("openpty failed");
    }
    path_ = name;
    // Raw before any opener configures it, or bytes would wait for a line end.
    termios tio{};
    tcgetattr(master_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_, TCSANOW, &tio);
  }
  ~PtyPair() {
    if (master_ >= 0) close(master_);
    close(slave_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& path() const { return path_; }  // "/dev/pts/7"
  // "\\.\pts/7": the stored form of the device path.
  std::string DeviceName() const { return "\\\\.\\" + path_.substr(5); }
  int master() const { return master_; }
  // The test's own descriptor on the slave: a second opener of the same tty.
  int slave() const { return slave_; }

  void HangUp() {
    close(master_);
    master_ = -1;
  }

  // Writes on the device's side and waits until the bytes can be read on the port's
  // side: a pty hands them over asynchronously.
  void Send(const std::string& bytes) const {
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("write to pty master failed");
    }
    pollfd p{slave_, POLLIN, 0};
    poll(&p, 1, 2000);
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace strikewell::testing
