#include "x_session.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace strikewell::xtest {
namespace {

std::string MakeTempDir(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// A manager announces itself early in its start-up and may take seconds more (on a
// busy machine) before it manages windows: it is ready once a mapped probe window
// shows up on its client list.
bool WindowManagerManages(const std::string& display_name) {
  Display* d = XOpenDisplay(display_name.c_str());
  if (d == nullptr) return false;
  const Window probe = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 10, 10, 0, 0, 0);
  XMapWindow(d, probe);
  XSync(d, False);
  const Atom client_list = XInternAtom(d, "_NET_CLIENT_LIST", False);
  const bool managed = WaitUntil(
      [&] {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(d, DefaultRootWindow(d), client_list, 0, 1024, False, XA_WINDOW, &type,
                           &format, &count, &after, &data);
        bool found = false;
        const auto* windows = reinterpret_cast<const unsigned long*>(data);
        for (unsigned long i = 0; data != nullptr && i < count; ++i) found |= windows[i] == probe;
        if (data != nullptr) XFree(data);
        return found;
      },
      std::chrono::seconds(30));
  XDestroyWindow(d, probe);
  XCloseDisplay(d);
  return managed;
}

constexpr char kOpenboxConfig[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>
  <placement><policy>Smart</policy></placement>
  <desktops><number>1</number></desktops>
</openbox_config>
)";

}  // namespace

OwnWindows::OwnWindows() : display_(XOpenDisplay(nullptr)) {}

OwnWindows::~OwnWindows() {
  if (display_ != nullptr) XCloseDisplay(display_);
}

unsigned long OwnWindows::Create(const std::optional<std::string>& net_wm_name,
                                 const std::optional<std::string>& wm_name, bool map) {
  const Window w =
      XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 100, 50, 0, 0, 0);
  if (net_wm_name) {
    XChangeProperty(display_, w, XInternAtom(display_, "_NET_WM_NAME", False),
                    XInternAtom(display_, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(net_wm_name->data()),
                    static_cast<int>(net_wm_name->size()));
  }
  if (wm_name) {
    XChangeProperty(display_, w, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(wm_name->data()),
                    static_cast<int>(wm_name->size()));
  }
  if (map) XMapWindow(display_, w);
  XSync(display_, False);
  return w;
}

void OwnWindows::Destroy(unsigned long window) {
  XDestroyWindow(display_, window);
  XSync(display_, False);
}

void OwnWindows::Iconify(unsigned long window) {
  XIconifyWindow(display_, window, DefaultScreen(display_));
  XSync(display_, False);
}

long long MonotonicMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::string UniqueTitle(const std::string& prefix) {
  static int serial = 0;
  return prefix + " " + std::to_string(getpid()) + "-" + std::to_string(++serial);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool quiet, int keep_fd) {
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ != 0) return;
  // Dies with the test process, even when that one is killed outright.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  if (quiet) {
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
  }
  const int null_in = open("/dev/null", O_RDONLY);
  dup2(null_in, STDIN_FILENO);
  for (int fd = 3; fd < 256; ++fd) {
    if (fd != keep_fd) close(fd);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ChildProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  const bool ended = WaitUntil([this] { return !Running(); }, std::chrono::seconds(2));
  if (!ended && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

bool WaitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (ready()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Starts Xvfb on display number and waits until it accepts connections; false when
// the number is taken or the server does not come up.
bool XServer::StartOn(int number) {
  if (std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock")) return false;
  int fds[2];
  if (pipe(fds) != 0) return false;
  server_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"Xvfb", ":" + std::to_string(number), "-displayfd",
                               std::to_string(fds[1]), "-screen", "0", "1024x768x24", "-nolisten",
                               "tcp", "-noreset"},
      true, fds[1]);
  close(fds[1]);
  // -noreset: a server resets when its last client leaves and refuses connections
  // meanwhile; without a window manager that happens between two tests.
  // Xvfb writes the display number once it listens; it closes the pipe by exiting
  // when the number is taken.
  std::string reported;
  pollfd p{fds[0], POLLIN, 0};
  while (reported.find('\n') == std::string::npos && poll(&p, 1, 20000) == 1) {
    char buffer[16];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    reported.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (reported != std::to_string(number) + "\n") {
    server_.reset();
    return false;
  }
  display_ = ":" + std::to_string(number);
  return true;
}

XServer::XServer(bool with_window_manager) {
  // Away from the low numbers that desktops and ad-hoc scripts take, and spread by
  // process id so that parallel runs rarely try the same one.
  for (int attempt = 0; attempt < 50 && display_.empty(); ++attempt) {
    StartOn(300 + (getpid() * 7 + attempt * 13) % 600);
  }
  if (display_.empty()) {
    error_ = "Xvfb did not start on any display tried";
    return;
  }
  setenv("DISPLAY", display_.c_str(), 1);

  if (with_window_manager) {
    // A private configuration and no session manager: quiet, and independent of
    // whatever the machine's user has set up.
    config_dir_ = MakeTempDir("strikewell-openbox");
    const std::string rc = config_dir_ + "/rc.xml";
    std::ofstream(rc) << kOpenboxConfig;
    setenv("XDG_CONFIG_HOME", config_dir_.c_str(), 1);
    wm_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"openbox", "--sm-disable", "--config-file", rc}, true);
    if (!WindowManagerManages(display_)) {
      error_ = "openbox did not start managing windows on " + display_;
      return;
    }
  }
  ok_ = true;
}

XServer::~XServer() {
  wm_.reset();
  server_.reset();
  if (!config_dir_.empty()) std::filesystem::remove_all(config_dir_);
}

KeyLoggerWindow::KeyLoggerWindow(const std::string& title) : title_(title) {
  std::string pattern = "/tmp/strikewell-keylog-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd >= 0) close(fd);
  log_path_ = pattern;
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{STRIKEWELL_KEY_LOGGER, title, log_path_}, false);
}

KeyLoggerWindow::~KeyLoggerWindow() {
  process_.reset();
  std::filesystem::remove(log_path_);
}

std::vector<LogLine> KeyLoggerWindow::Lines() const {
  std::vector<LogLine> lines;
  std::ifstream in(log_path_);
  std::string text;
  while (std::getline(in, text)) {
    std::istringstream fields(text);
    LogLine line;
    fields >> line.kind >> line.arg >> line.at_us;
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> KeyLoggerWindow::Presses() const {
  std::vector<std::string> presses;
  for (const LogLine& line : Lines()) {
    if (line.kind == "press") presses.push_back(line.arg);
  }
  return presses;
}

unsigned long KeyLoggerWindow::Window() const {
  for (const LogLine& line : Lines()) {
    if (line.kind == "mapped") return std::stoul(line.arg, nullptr, 16);
  }
  return 0;
}

bool KeyLoggerWindow::WaitMapped() {
  return WaitUntil([this] { return Window() != 0; }, std::chrono::seconds(10));
}

bool KeyLoggerWindow::HasFocus() const {
  bool focused = false;
  for (const LogLine& line : Lines()) {
    if (line.kind == "focus-in") focused = true;
    if (line.kind == "focus-out") focused = false;
  }
  return focused;
}

}  // namespace strikewell::xtest
