// The console on Windows: text goes into the screen buffer's cells of the window
// that was visible at start, keys come from the console's input events.
#include <windows.h>

#include <algorithm>
#include <optional>
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
  Win32Console(const Win32Console&) = delete;
  Win32Console& operator=(const Win32Console&) = delete;
  ~Win32Console() override { Flush(); }

  int Width() override { return width_; }
  int Height() override { return height_; }
  bool TakeResize() override;
  uint8_t InitialAttr() override { return initial_attr_; }
  void WriteCells(int x, int y, std::string_view text, uint8_t attr) override;
  void FillWindow(uint8_t attr) override;
  void ScrollUp(uint8_t attr) override;
  void SetCursor(int x, int y) override;
  // What was drawn since the last flush reaches the screen buffer here, in as few
  // calls as its shape allows.
  void Flush() override;
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
  // Marks a cell of the window (0-based) as drawn with ch in attr.
  void Draw(int column, int row, char ch, uint8_t attr);
  // Writes the drawn cells of row from column left to right (0-based) in one call.
  void WriteRun(int row, int left, int right);
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
  // Drawing waits here for Flush. Each console call is a round trip to the console
  // (under Wine through its own process, a quarter of a millisecond or more), and a
  // screen drawn cell run by cell run held the counting loop up for tens of
  // milliseconds: sensor events that came meanwhile were timed late. Only the cells
  // drawn are written, so what the window showed before stays where it was not drawn.
  std::vector<CHAR_INFO> frame_;  // width_ x height_, row by row
  std::vector<bool> drawn_;       // which cells of frame_ wait to be written
  int drawn_top_ = 0;             // rows that hold drawn cells: top to bottom
  int drawn_bottom_ = -1;
  std::optional<COORD> cursor_;  // a cursor move not yet made
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
  // What was drawn belongs where the window was when it was drawn.
  Flush();
  wind_min_x_ = left;
  wind_min_y_ = top;
  width_ = width;
  height_ = height;
  frame_.assign(static_cast<size_t>(width_) * static_cast<size_t>(height_), CHAR_INFO{});
  drawn_.assign(frame_.size(), false);
  return true;
}

Win32Console::Win32Console()
    : out_(GetStdHandle(STD_OUTPUT_HANDLE)), in_(GetStdHandle(STD_INPUT_HANDLE)) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(out_, &info)) {
    initial_attr_ = static_cast<uint8_t>(info.wAttributes & 0xFF);
  }
  ReadWindow(wind_min_x_, wind_min_y_, width_, height_);
  frame_.assign(static_cast<size_t>(width_) * static_cast<size_t>(height_), CHAR_INFO{});
  drawn_.assign(frame_.size(), false);
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

void Win32Console::Draw(int column, int row, char ch, uint8_t attr) {
  if (column < 0 || column >= width_ || row < 0 || row >= height_) return;
  const size_t cell =
      static_cast<size_t>(row) * static_cast<size_t>(width_) + static_cast<size_t>(column);
  // Text comes partly from outside (port names, window titles). A console shown
  // through a terminal (Wine, pseudo consoles) passes control bytes on to it, where
  // an escape sequence could reprogram the terminal; they are drawn as '?'.
  const auto byte = static_cast<unsigned char>(ch);
  frame_[cell].Char.AsciiChar = byte < 0x20 || byte == 0x7F ? '?' : ch;
  frame_[cell].Attributes = attr;
  drawn_[cell] = true;
  if (drawn_top_ > drawn_bottom_) {
    drawn_top_ = drawn_bottom_ = row;
  } else {
    drawn_top_ = std::min(drawn_top_, row);
    drawn_bottom_ = std::max(drawn_bottom_, row);
  }
}

void Win32Console::WriteCells(int x, int y, std::string_view text, uint8_t attr) {
  for (size_t i = 0; i < text.size(); ++i) Draw(x - 1 + static_cast<int>(i), y - 1, text[i], attr);
}

void Win32Console::FillWindow(uint8_t attr) {
  for (int row = 0; row < height_; ++row) {
    for (int column = 0; column < width_; ++column) Draw(column, row, ' ', attr);
  }
}

void Win32Console::ScrollUp(uint8_t attr) {
  // The rows move with what was drawn on them so far.
  Flush();
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

void Win32Console::SetCursor(int x, int y) { cursor_ = Cell(x, y); }

void Win32Console::WriteRun(int row, int left, int right) {
  SMALL_RECT region{static_cast<SHORT>(wind_min_x_ + left), static_cast<SHORT>(wind_min_y_ + row),
                    static_cast<SHORT>(wind_min_x_ + right), static_cast<SHORT>(wind_min_y_ + row)};
  WriteConsoleOutputA(out_, frame_.data(),
                      COORD{static_cast<SHORT>(width_), static_cast<SHORT>(height_)},
                      COORD{static_cast<SHORT>(left), static_cast<SHORT>(row)}, &region);
}

void Win32Console::Flush() {
  if (drawn_top_ <= drawn_bottom_) {
    const auto at = [&](int row, int column) {
      return static_cast<size_t>(row) * static_cast<size_t>(width_) + static_cast<size_t>(column);
    };
    // Whole rows (a cleared screen, a full redraw) go in one call; other rows as
    // their runs of drawn cells.
    bool whole = true;
    for (int row = drawn_top_; row <= drawn_bottom_ && whole; ++row) {
      whole = std::all_of(drawn_.begin() + static_cast<ptrdiff_t>(at(row, 0)),
                          drawn_.begin() + static_cast<ptrdiff_t>(at(row, 0) + width_),
                          [](bool drawn) { return drawn; });
    }
    if (whole) {
      SMALL_RECT region{static_cast<SHORT>(wind_min_x_),
                        static_cast<SHORT>(wind_min_y_ + drawn_top_),
                        static_cast<SHORT>(wind_min_x_ + width_ - 1),
                        static_cast<SHORT>(wind_min_y_ + drawn_bottom_)};
      WriteConsoleOutputA(out_, frame_.data(),
                          COORD{static_cast<SHORT>(width_), static_cast<SHORT>(height_)},
                          COORD{0, static_cast<SHORT>(drawn_top_)}, &region);
    } else {
      for (int row = drawn_top_; row <= drawn_bottom_; ++row) {
        for (int column = 0; column < width_;) {
          if (!drawn_[at(row, column)]) {
            ++column;
            continue;
          }
          int end = column;
          while (end + 1 < width_ && drawn_[at(row, end + 1)]) ++end;
          WriteRun(row, column, end);
          column = end + 1;
        }
      }
    }
    std::fill(drawn_.begin(), drawn_.end(), false);
    drawn_top_ = 0;
    drawn_bottom_ = -1;
  }
  if (cursor_) SetConsoleCursorPosition(out_, *std::exchange(cursor_, std::nullopt));
}

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
