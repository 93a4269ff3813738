// The console on a Linux terminal: raw-mode termios for key input, ANSI sequences
// for colours, clearing and cursor placement, and escape sequences decoded back into
// key codes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "platform/backends.h"
#include "platform/event_wait.h"
#include "platform/key_decoder.h"
#include "platform/posix/emergency_exit.h"
#include "platform/posix/terminal_posix.h"

namespace strikewell {
namespace {

// An Escape with nothing after it for this long was pressed alone. Terminals send a
// key's whole sequence in one write, so only a slow link splits one by this much.
constexpr auto kQuietGap = std::chrono::milliseconds(50);

// Resets colours, turns line wrapping back on and shows the cursor.
constexpr char kResetSequence[] = "\x1b[0m\x1b[?7h\x1b[?25h";

// What the signal handlers need to put the terminal back. Only async-signal-safe
// calls (write, tcsetattr) touch it from a handler.
struct SavedTerminal {
  struct termios modes;
  int in_fd = -1;
  int out_fd = -1;
  volatile sig_atomic_t active = 0;
};
SavedTerminal g_saved;

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void RestoreTerminal() {
  if (!g_saved.active) return;
  g_saved.active = 0;
  if (g_saved.out_fd >= 0) WriteAll(g_saved.out_fd, kResetSequence, sizeof kResetSequence - 1);
  if (g_saved.in_fd >= 0) tcsetattr(g_saved.in_fd, TCSANOW, &g_saved.modes);
}

// Every signal that ends the program by default: the terminal is restored, then the
// signal is raised again with its default action, so the program still ends the way
// the signal says (a shell sees "killed by SIGINT").
constexpr int kFatalSignals[] = {SIGINT,  SIGTERM, SIGHUP, SIGQUIT, SIGPIPE,
                                 SIGABRT, SIGSEGV, SIGBUS, SIGFPE,  SIGILL};

void OnFatalSignal(int sig) {
  const int saved_errno = errno;
  RestoreTerminal();
  signal(sig, SIG_DFL);
  raise(sig);
  errno = saved_errno;
}

// Written to by the SIGWINCH handler, so that a wait in poll() hears of a resize.
int g_resize_pipe[2] = {-1, -1};

void OnResize(int) {
  const int saved_errno = errno;
  const char byte = 1;
  if (g_resize_pipe[1] >= 0) (void)!write(g_resize_pipe[1], &byte, 1);
  errno = saved_errno;
}

void WatchResizes() {
  if (g_resize_pipe[0] >= 0 || pipe2(g_resize_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnResize;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGWINCH, &action, nullptr);
}

void InstallSignalHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  std::atexit(RestoreTerminal);
  AddEmergencyCleanup(RestoreTerminal);
  for (int sig : kFatalSignals) {
    struct sigaction previous {};
    sigaction(sig, nullptr, &previous);
    // A signal the invoking shell told us to ignore stays ignored.
    if (previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
  }
}

// The console's colour numbers are the PC's (1 blue, 4 red); ANSI numbers them the
// other way round (1 red, 4 blue).
constexpr int kAnsiColour[8] = {0, 4, 2, 6, 1, 5, 3, 7};

std::string Sgr(uint8_t attr) {
  const int fg = attr & 0x0F;
  const int bg = (attr >> 4) & 0x07;
  std::string s = "\x1b[0;";
  s += std::to_string((fg & 8 ? 90 : 30) + kAnsiColour[fg & 7]);
  s += ';';
  s += std::to_string(40 + kAnsiColour[bg]);
  if (attr & 0x80) s += ";5";
  s += 'm';
  return s;
}

// Text comes partly from outside (port names, window titles); a control or escape
// byte drawn as it is could reprogram the terminal, and a byte of a multi-byte
// character would not fill exactly one cell. Both are drawn as '?'.
char Visible(char ch) {
  const auto byte = static_cast<unsigned char>(ch);
  return byte >= 0x20 && byte <= 0x7E ? ch : '?';
}

class TerminalConsole : public PosixTerminal {
 public:
  TerminalConsole();
  ~TerminalConsole() override;

  int Width() override { return width_; }
  int Height() override { return height_; }
  bool TakeResize() override;
  int ResizeFd() const override { return g_resize_pipe[0]; }
  uint8_t InitialAttr() override { return 0x07; }
  void WriteCells(int x, int y, std::string_view text, uint8_t attr) override;
  void FillWindow(uint8_t attr) override;
  void ScrollUp(uint8_t attr) override;
  void SetCursor(int x, int y) override;
  void Flush() override;
  std::optional<KeyEvent> PollKey() override;
  bool InputEnded() override;
  int InputFd() const override { return kIn; }
  int64_t KeyDueMicros() override;

 private:
  void MoveTo(int x, int y);
  void UseAttr(uint8_t attr);
  // The terminal's size now; false when it cannot be read.
  bool ReadSize(int& width, int& height) const;
  void ReadInput();

  static constexpr int kIn = STDIN_FILENO;
  static constexpr int kOut = STDOUT_FILENO;

  int width_ = 80;
  int height_ = 25;
  // Standard output is not a terminal: text is written as plain lines, without
  // escape sequences, as a teletype would print it.
  bool plain_ = false;
  std::string out_;
  // Where the terminal's cursor is (0: not known) and where the console wants it.
  int term_x_ = 0;
  int term_y_ = 0;
  int want_x_ = 1;
  int want_y_ = 1;
  int attr_ = -1;
  int plain_row_ = 0;
  bool plain_line_open_ = false;
  KeyDecoder decoder_;
  // A key taken from the decoder to see whether one was there, not yet delivered.
  std::optional<KeyEvent> held_;
  std::chrono::steady_clock::time_point last_byte_;
  bool input_ended_ = false;
};

bool TerminalConsole::ReadSize(int& width, int& height) const {
  struct winsize size {};
  if (ioctl(plain_ ? kIn : kOut, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
    return false;
  }
  width = size.ws_col;
  height = size.ws_row;
  return true;
}

bool TerminalConsole::TakeResize() {
  int width = width_, height = height_;
  if (!ReadSize(width, height) || (width == width_ && height == height_)) return false;
  width_ = width;
  height_ = height;
  // What the terminal did with the cursor and the cells is its own affair: the
  // caller redraws everything.
  term_x_ = 0;
  term_y_ = 0;
  return true;
}

TerminalConsole::TerminalConsole() {
  plain_ = !isatty(kOut);
  ReadSize(width_, height_);
  if (!plain_) WatchResizes();
  // The modes are saved once: a second console would otherwise save the raw modes
  // of the first as the ones to restore.
  if (g_saved.active) return;
  if (isatty(kIn) && tcgetattr(kIn, &g_saved.modes) == 0) {
    g_saved.in_fd = kIn;
    g_saved.out_fd = plain_ ? -1 : kOut;
    InstallSignalHandlers();
    struct termios raw = g_saved.modes;
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INLCR | IGNCR | INPCK | ISTRIP | IXON);
    // Without output processing a line feed keeps the column, as the console's own
    // cursor rules expect.
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_cflag |= CS8;
    // ISIG stays on so Ctrl+C ends the program through the signal handler, which
    // restores the terminal. Suspending would leave the terminal raw under the
    // shell, so Ctrl+Z arrives as an ordinary key instead.
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN);
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    g_saved.active = 1;
    tcsetattr(kIn, TCSANOW, &raw);
  } else if (!plain_) {
    // Only the output is a terminal; it still needs its colours reset at the end.
    g_saved.out_fd = kOut;
    g_saved.active = 1;
    InstallSignalHandlers();
  }
  // No automatic wrap: a character in the bottom-right cell must not scroll.
  if (!plain_) out_ += "\x1b[?7l";
}

TerminalConsole::~TerminalConsole() {
  if (plain_line_open_) out_ += '\n';
  Flush();
  RestoreTerminal();
}

void TerminalConsole::MoveTo(int x, int y) {
  if (x == term_x_ && y == term_y_) return;
  out_ += "\x1b[" + std::to_string(y) + ';' + std::to_string(x) + 'H';
  term_x_ = x;
  term_y_ = y;
}

void TerminalConsole::UseAttr(uint8_t attr) {
  if (attr == attr_) return;
  out_ += Sgr(attr);
  attr_ = attr;
}

void TerminalConsole::WriteCells(int x, int y, std::string_view text, uint8_t attr) {
  if (plain_) {
    if (plain_line_open_ && y != plain_row_) out_ += '\n';
    plain_row_ = y;
    plain_line_open_ = true;
    for (char ch : text) out_ += Visible(ch);
    return;
  }
  MoveTo(x, y);
  UseAttr(attr);
  for (char ch : text) out_ += Visible(ch);
  term_x_ += static_cast<int>(text.size());
  // With wrapping off the cursor sticks at the last column.
  if (term_x_ > width_) term_x_ = 0;
}

void TerminalConsole::FillWindow(uint8_t attr) {
  if (plain_) {
    if (plain_line_open_) out_ += '\n';
    plain_line_open_ = false;
    return;
  }
  // Erasing fills with the current background colour on the terminals in use today
  // (xterm, VTE, tmux, the Linux console).
  UseAttr(attr);
  out_ += "\x1b[H\x1b[2J";
  term_x_ = 1;
  term_y_ = 1;
}

void TerminalConsole::ScrollUp(uint8_t attr) {
  if (plain_) {
    --plain_row_;
    return;
  }
  // A line feed on the bottom row scrolls, and the new row takes the background.
  MoveTo(1, height_);
  UseAttr(attr);
  out_ += '\n';
}

void TerminalConsole::SetCursor(int x, int y) {
  want_x_ = x;
  want_y_ = y;
}

void TerminalConsole::Flush() {
  if (!plain_) MoveTo(want_x_, want_y_);
  if (out_.empty()) return;
  WriteAll(kOut, out_.data(), out_.size());
  out_.clear();
}

void TerminalConsole::ReadInput() {
  if (input_ended_) return;
  for (;;) {
    struct pollfd pfd {
      kIn, POLLIN, 0
    };
    const int ready = poll(&pfd, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    unsigned char buffer[256];
    const ssize_t n = read(kIn, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
      input_ended_ = true;
      decoder_.QuietGap();
      return;
    }
    for (ssize_t i = 0; i < n; ++i) decoder_.Feed(buffer[i]);
    last_byte_ = std::chrono::steady_clock::now();
  }
}

std::optional<KeyEvent> TerminalConsole::PollKey() {
  if (held_) return std::exchange(held_, std::nullopt);
  if (std::optional<KeyEvent> key = decoder_.Next()) return key;
  ReadInput();
  if (decoder_.InSequence() && std::chrono::steady_clock::now() - last_byte_ >= kQuietGap) {
    decoder_.QuietGap();
  }
  return decoder_.Next();
}

bool TerminalConsole::InputEnded() { return input_ended_ && !decoder_.InSequence() && !held_; }

int64_t TerminalConsole::KeyDueMicros() {
  if (!held_) held_ = decoder_.Next();
  if (held_ || input_ended_) return std::numeric_limits<int64_t>::min();
  if (!decoder_.InSequence()) return kNoDeadline;
  // Rounded up: PollKey compares at the clock's full resolution.
  return std::chrono::ceil<std::chrono::microseconds>((last_byte_ + kQuietGap).time_since_epoch())
      .count();
}

}  // namespace

std::unique_ptr<RawConsole> MakeRawConsole() { return std::make_unique<TerminalConsole>(); }

}  // namespace strikewell
