// The console on Windows: text goes straight into the screen buffer's cells of the
// window that was visible at start, keys come from the console's input events.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/backends.h"
#include "platform/key_decoder.h"
#include "platform/win32/event_wait_win32.h"
#include "platform/win_keys.h"

namespace strikewell {
namespace {

class Win32Console : public Win32ConsoleInput {
 public:
  Win32Console();

  int Width() override { return width_; }
  int Height() override { return height_; }
  bool TakeResize() override;
  uint8_t InitialAttr() override { return initial_attr_; }
  void WriteCells(int x, int y, std::string_view text, uint8_t attr) override;
  void FillWindow(uint8_t attr) override;
  void ScrollUp(uint8_t attr) override;
  void SetCursor(int x, int y) override;
  // Every call above reaches the screen buffer at once: nothing is held back.
  void Flush() override {}
  std::optional<KeyEvent> PollKey() override;
  bool InputEnded() override;
  HANDLE InputEvent() override;
  bool KeyReady() override;
  bool TakeSizeEvent() override { return std::exchange(size_event_, false); }
  // A console started for this program alone lists one process: this one.
  bool WindowClosesAtExit() override {
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
  }

 private:
  // The visible window of the screen buffer; false when it cannot be read.
  bool ReadWindow(int& left, int& top, int& width, int& height) const;
  COORD Cell(int x, int y) const {
    return COORD{static_cast<SHORT>(wind_min_x_ + x - 1), static_cast<SHORT>(wind_min_y_ + y - 1)};
  }
  std::optional<KeyEvent> PollConsoleInput();
  std::optional<KeyEvent> PollByteInput();

  HANDLE out_;
  HANDLE in_;
  // The window in 0-based screen-buffer coordinates (the console's own numbering).
  int wind_min_x_ = 0;
  int wind_min_y_ = 0;
  int width_ = 80;
  int height_ = 25;
  uint8_t initial_attr_ = 0x07;
  // Standard input is a pipe or a file, not a console: its bytes are decoded as a
  // terminal's would be, so the program can be driven by a script.
  bool byte_input_ = false;
  bool input_ended_ = false;
  // A key that KeyReady read ahead of PollKey.
  std::optional<KeyEvent> held_;
  // A window-size record has been used up since the last TakeSizeEvent.
  bool size_event_ = false;
  WinKeyTranslator translator_;
  KeyDecoder decoder_;
};

bool Win32Console::ReadWindow(int& left, int& top, int& width, int& height) const {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(out_, &info)) return false;
  left = info.srWindow.Left;
  top = info.srWindow.Top;
  width = info.srWindow.Right - info.srWindow.Left + 1;
  height = info.srWindow.Bottom - info.srWindow.Top + 1;
  return width > 0 && height > 0;
}

// The ringer may drag the window's edges (or scroll it) at any time: the cells the
// program draws into follow the window that is visible now.
bool Win32Console::TakeResize() {
  int left = wind_min_x_, top = wind_min_y_, width = width_, height = height_;
  if (!ReadWindow(left, top, width, height)) return false;
  if (left == wind_min_x_ && top == wind_min_y_ && width == width_ && height == height_) {
    return false;
  }
  wind_min_x_ = left;
  wind_min_y_ = top;
  width_ = width;
  height_ = height;
  return true;
}

Win32Console::Win32Console()
    : out_(GetStdHandle(STD_OUTPUT_HANDLE)), in_(GetStdHandle(STD_INPUT_HANDLE)) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(out_, &info)) {
    initial_attr_ = static_cast<uint8_t>(info.wAttributes & 0xFF);
  }
  ReadWindow(wind_min_x_, wind_min_y_, width_, height_);
  DWORD mode = 0;
  byte_input_ = in_ != INVALID_HANDLE_VALUE && in_ != nullptr && !GetConsoleMode(in_, &mode);
  if (!byte_input_) {
    // Wine's console shown in a terminal starts reading the terminal only when a
    // program first peeks at or reads its input; counting the events does not start
    // it, so without this no key would ever arrive there. Windows ignores it.
    INPUT_RECORD record;
    DWORD peeked = 0;
    PeekConsoleInputA(in_, &record, 1, &peeked);
  }
}

void Win32Console::WriteCells(int x, int y, std::string_view text, uint8_t attr) {
  if (text.empty()) return;
  // Text comes partly from outside (port names, window titles). A console shown
  // through a terminal (Wine, pseudo consoles) passes control bytes on to it, where
  // an escape sequence could reprogram the terminal; they are drawn as '?'.
  std::string cells(text);
  for (char& ch : cells) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 || byte == 0x7F) ch = '?';
  }
  const DWORD length = static_cast<DWORD>(cells.size());
  DWORD written = 0;
  WriteConsoleOutputCharacterA(out_, cells.data(), length, Cell(x, y), &written);
  const std::vector<WORD> attrs(text.size(), attr);
  WriteConsoleOutputAttribute(out_, attrs.data(), length, Cell(x, y), &written);
}

void Win32Console::FillWindow(uint8_t attr) {
  for (int y = 1; y <= height_; ++y) {
    DWORD written = 0;
    FillConsoleOutputAttribute(out_, attr, static_cast<DWORD>(width_), Cell(1, y), &written);
    FillConsoleOutputCharacterA(out_, ' ', static_cast<DWORD>(width_), Cell(1, y), &written);
  }
}

void Win32Console::ScrollUp(uint8_t attr) {
  const SHORT left = static_cast<SHORT>(wind_min_x_);
  const SHORT right = static_cast<SHORT>(wind_min_x_ + width_ - 1);
  const SHORT top = static_cast<SHORT>(wind_min_y_);
  const SHORT bottom = static_cast<SHORT>(wind_min_y_ + height_ - 1);
  // Rows 2 to the bottom move onto row 1; the bottom row they uncover takes the
  // fill. (Moving the whole window to a row above it would need a destination
  // outside the buffer when the window is at its top, which Wine refuses.)
  const SMALL_RECT source{left, static_cast<SHORT>(top + 1), right, bottom};
  const SMALL_RECT window{left, top, right, bottom};
  CHAR_INFO fill;
  fill.Char.AsciiChar = ' ';
  fill.Attributes = attr;
  ScrollConsoleScreenBufferA(out_, &source, &window, COORD{left, top}, &fill);
}

void Win32Console::SetCursor(int x, int y) { SetConsoleCursorPosition(out_, Cell(x, y)); }

std::optional<KeyEvent> Win32Console::PollConsoleInput() {
  DWORD waiting = 0;
  while (GetNumberOfConsoleInputEvents(in_, &waiting) && waiting > 0) {
    INPUT_RECORD record;
    DWORD read = 0;
    if (!ReadConsoleInputA(in_, &record, 1, &read) || read == 0) break;
    if (record.EventType == WINDOW_BUFFER_SIZE_EVENT) size_event_ = true;
    if (record.EventType != KEY_EVENT) continue;
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    const WinKeyRecord plain{key.bKeyDown != FALSE, key.wVirtualKeyCode, key.wVirtualScanCode,
                             static_cast<uint8_t>(key.uChar.AsciiChar), key.dwControlKeyState};
    if (std::optional<KeyEvent> found = translator_.Translate(plain)) return found;
  }
  if (GetNumberOfConsoleInputEvents(in_, &waiting) == 0) input_ended_ = true;
  return std::nullopt;
}

std::optional<KeyEvent> Win32Console::PollByteInput() {
  if (std::optional<KeyEvent> key = decoder_.Next()) return key;
  if (input_ended_) return std::nullopt;
  // A pipe says how much is waiting; a file always has its next bytes at hand.
  DWORD available = 1;
  if (GetFileType(in_) == FILE_TYPE_PIPE &&
      !PeekNamedPipe(in_, nullptr, 0, nullptr, &available, nullptr)) {
    available = 0;
    input_ended_ = true;
  }
  if (available == 0) {
    // Nothing more has come since the last poll: an Escape still waiting for the
    // rest of a sequence was pressed alone.
    decoder_.QuietGap();
    return decoder_.Next();
  }
  char buffer[256];
  DWORD read = 0;
  const DWORD want = available < sizeof buffer ? available : DWORD{sizeof buffer};
  if (!ReadFile(in_, buffer, want, &read, nullptr) || read == 0) {
    input_ended_ = true;
    decoder_.QuietGap();
  } else {
    for (DWORD i = 0; i < read; ++i) decoder_.Feed(static_cast<uint8_t>(buffer[i]));
  }
  return decoder_.Next();
}

std::optional<KeyEvent> Win32Console::PollKey() {
  if (held_) return std::exchange(held_, std::nullopt);
  return byte_input_ ? PollByteInput() : PollConsoleInput();
}

bool Win32Console::InputEnded() { return !held_ && input_ended_ && !decoder_.InSequence(); }

HANDLE Win32Console::InputEvent() {
  // A console's input handle is signalled while records wait in it; pipes and files
  // are never signalled in a useful way.
  if (byte_input_ || in_ == nullptr || in_ == INVALID_HANDLE_VALUE) return nullptr;
  return in_;
}

bool Win32Console::KeyReady() {
  // Reading up to the first key, as PollKey does, uses up the records in front of
  // it; those behind it (its release, say) wait until the key has been taken.
  if (!held_) held_ = byte_input_ ? PollByteInput() : PollConsoleInput();
  return held_.has_value() || InputEnded();
}

}  // namespace

std::unique_ptr<RawConsole> MakeRawConsole() { return std::make_unique<Win32Console>(); }

}  // namespace strikewell
