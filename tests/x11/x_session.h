// What the X11 tests run against: a private Xvfb server, optionally openbox on it,
// and key_logger windows. Every process started here dies with its owner object,
// and also with the test process (a parent-death signal), so a failing or crashing
// test leaves nothing behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct _XDisplay;  // Xlib's Display, without Xlib's macros in the tests

namespace strikewell::xtest {

class ChildProcess {
 public:
  // quiet: standard output and error go to /dev/null. keep_fd: a descriptor the
  // child inherits (-1 for none).
  ChildProcess(const std::vector<std::string>& argv, bool quiet, int keep_fd = -1);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool Running();
  // SIGTERM, up to two seconds' grace, then SIGKILL; always reaped.
  void Stop();

 private:
  pid_t pid_ = -1;
};

// Polls until ready() or the time-out; true when ready() held.
bool WaitUntil(const std::function<bool()>& ready,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A private Xvfb on a display it chose itself (-displayfd), so parallel tests do
// not collide; DISPLAY is set to it for this process and its children.
class XServer {
 public:
  explicit XServer(bool with_window_manager);
  ~XServer();

  bool ok() const { return ok_; }
  // Why the server is not ok.
  const std::string& error() const { return error_; }
  const std::string& display() const { return display_; }
  bool with_window_manager() const { return wm_ != nullptr; }

 private:
  bool StartOn(int number);

  std::string display_;
  std::string error_;
  std::string config_dir_;
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> wm_;
  bool ok_ = false;
};

struct LogLine {
  std::string kind;  // "mapped", "focus-in", "focus-out", "press"
  std::string arg;   // window id or keysym name
  long long at_us = 0;
};

// A key_logger window and its log.
class KeyLoggerWindow {
 public:
  explicit KeyLoggerWindow(const std::string& title);
  ~KeyLoggerWindow();

  std::vector<LogLine> Lines() const;
  // The keysym names of every KeyPress so far.
  std::vector<std::string> Presses() const;
  // The X window id once mapped, 0 before.
  unsigned long Window() const;
  bool WaitMapped();
  // The window's last focus event was a focus-in.
  bool HasFocus() const;

  const std::string& title() const { return title_; }

 private:
  std::string title_;
  std::string log_path_;
  std::unique_ptr<ChildProcess> process_;
};

// Windows this test process makes on a connection of its own, to set titles and
// window states directly. All of them go when the object does.
class OwnWindows {
 public:
  OwnWindows();
  ~OwnWindows();
  OwnWindows(const OwnWindows&) = delete;
  OwnWindows& operator=(const OwnWindows&) = delete;

  bool ok() const { return display_ != nullptr; }
  // A top-level window; a title property left as nullopt is not set at all.
  unsigned long Create(const std::optional<std::string>& net_wm_name,
                       const std::optional<std::string>& wm_name, bool map = true);
  void Destroy(unsigned long window);
  void Iconify(unsigned long window);

 private:
  _XDisplay* display_;
};

long long MonotonicMicros();

// A title no other test run uses.
std::string UniqueTitle(const std::string& prefix);

}  // namespace strikewell::xtest
