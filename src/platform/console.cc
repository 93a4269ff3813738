#include "platform/console.h"

#include <algorithm>

namespace strikewell {
namespace {

constexpr uint8_t kBell = 7;
constexpr uint8_t kBackspace = 8;
constexpr uint8_t kLineFeed = 10;
constexpr uint8_t kCarriageReturn = 13;
constexpr uint8_t kCtrlS = 19;
constexpr uint8_t kCtrlY = 25;
constexpr uint8_t kCtrlZ = 26;
constexpr uint8_t kEscape = 27;

// Second halves of the two-part keys that line input acts on.
constexpr uint8_t kHome = 71;
constexpr uint8_t kLeft = 75;
constexpr uint8_t kRight = 77;
constexpr uint8_t kEnd = 79;
constexpr uint8_t kKeypadSlash = 53;

// Longest run a whole-number answer takes; a typed line is shorter anyway.
constexpr size_t kMaxWordLength = 255;

bool AboveBlank(char ch) { return static_cast<unsigned char>(ch) > ' '; }

}  // namespace

Console::Console(RawConsole& raw, Clock& clock)
    : raw_(raw),
      clock_(clock),
      width_(raw.Width()),
      height_(raw.Height()),
      text_attr_(raw.InitialAttr()) {}

void Console::TextColor(uint8_t colour) {
  text_attr_ = static_cast<uint8_t>((colour & 0x8F) | (text_attr_ & 0x70));
}

void Console::TextBackground(uint8_t colour) {
  text_attr_ = static_cast<uint8_t>(((colour << 4) & 0x70) | (text_attr_ & 0x8F));
}

bool Console::TakeResize() {
  if (!raw_.TakeResize()) return false;
  FlushRun();
  width_ = raw_.Width();
  height_ = raw_.Height();
  MoveCursor(std::clamp(cursor_x_, 1, width_), std::clamp(cursor_y_, 1, height_));
  return true;
}

void Console::ClrScr() {
  raw_.FillWindow(text_attr_);
  MoveCursor(1, 1);
}

void Console::GotoXY(int x, int y) {
  if (x < 1 || x > width_ || y < 1 || y > height_) return;
  MoveCursor(x, y);
}

void Console::MoveCursor(int x, int y) {
  cursor_x_ = x;
  cursor_y_ = y;
  raw_.SetCursor(x, y);
  dirty_ = true;
}

void Console::Write(std::string_view text) {
  for (char ch : text) {
    switch (static_cast<uint8_t>(ch)) {
      case kBell:
        break;
      case kBackspace:
        FlushRun();
        if (cursor_x_ > 1) --cursor_x_;
        break;
      case kLineFeed:
        FlushRun();
        ++cursor_y_;
        break;
      case kCarriageReturn:
        FlushRun();
        cursor_x_ = 1;
        break;
      default:
        DrawChar(ch);
        break;
    }
    WrapAndScroll();
  }
  FlushRun();
  MoveCursor(cursor_x_, cursor_y_);
}

void Console::WriteLn(std::string_view text) {
  Write(text);
  Write("\r\n");
}

void Console::DrawChar(char ch) {
  if (run_.empty()) {
    run_x_ = cursor_x_;
    run_y_ = cursor_y_;
  }
  run_ += ch;
  ++cursor_x_;
}

void Console::WrapAndScroll() {
  if (cursor_x_ > width_) {
    FlushRun();
    cursor_x_ = 1;
    ++cursor_y_;
  }
  if (cursor_y_ > height_) {
    FlushRun();
    raw_.ScrollUp(text_attr_);
    ++scrolls_;
    cursor_y_ = height_;
  }
}

void Console::FlushRun() {
  if (run_.empty()) return;
  raw_.WriteCells(run_x_, run_y_, run_, text_attr_);
  run_.clear();
  dirty_ = true;
}

void Console::Flush() {
  if (!dirty_) return;
  raw_.Flush();
  dirty_ = false;
}

bool Console::KeyPressed() {
  Flush();
  if (waiting_key_ || pending_second_half_) return true;
  if (std::optional<KeyEvent> key = raw_.PollKey()) {
    waiting_key_ = key->code;
    pending_second_half_ = key->extended;
    second_half_waiting_ = false;
    return true;
  }
  if (raw_.InputEnded()) throw ConsoleInputEnded();
  return false;
}

uint8_t Console::ReadKeyPart(bool& first_half) {
  while (!KeyPressed()) clock_.Sleep(1);
  if (pending_second_half_) {
    pending_second_half_ = false;
    second_half_waiting_ = true;
    first_half = true;
    return 0;
  }
  first_half = false;
  second_half_waiting_ = false;
  const uint8_t code = *waiting_key_;
  waiting_key_.reset();
  return code;
}

uint8_t Console::ReadKey() {
  bool first_half = false;
  return ReadKeyPart(first_half);
}

void Console::Delay(uint16_t ms) {
  Flush();
  if (ms > 0) clock_.Sleep(ms);
}

uint8_t Console::ReadAnswerKey() {
  bool first_half = false;
  const uint8_t key = ReadKeyPart(first_half);
  if (first_half) {
    // The second half of an arrow or function key would otherwise be read later as
    // a key of its own: PgDn's 81 is the code of "Q".
    waiting_key_.reset();
    second_half_waiting_ = false;
    return 0;
  }
  if (key >= 'a' && key <= 'z') return static_cast<uint8_t>(key - 'a' + 'A');
  return key;
}

void Console::LineCell(const LineOrigin& origin, size_t i, int& x, int& y) const {
  const int64_t offset = origin.x - 1 + static_cast<int64_t>(i);
  x = static_cast<int>(offset % width_) + 1;
  y = static_cast<int>(origin.y - (scrolls_ - origin.scrolls) + offset / width_);
}

void Console::MoveToLineIndex(const LineOrigin& origin, size_t i) {
  int x = 0;
  int y = 0;
  LineCell(origin, i, x, y);
  // A cell scrolled off the top (a line longer than the window) cannot be shown.
  if (y < 1) y = 1;
  MoveCursor(x, y);
}

void Console::EraseLastLineChar(const LineOrigin& origin, std::string& line, size_t& pos) {
  line.pop_back();
  pos = line.size();
  int x = 0;
  int y = 0;
  LineCell(origin, pos, x, y);
  // Drawn straight into the cell: a blank written at the bottom-right corner
  // through text output would scroll the window.
  if (y >= 1) {
    FlushRun();
    raw_.WriteCells(x, y, " ", text_attr_);
  }
  MoveToLineIndex(origin, pos);
}

std::string Console::ReadEditedLine(std::string_view offered) {
  const LineOrigin origin{cursor_x_, cursor_y_, scrolls_};
  std::string line;
  size_t pos = 0;
  for (const char c : offered.substr(0, kMaxLineLength)) {
    line += c;
    ++pos;
    DrawChar(c);
    WrapAndScroll();
  }
  FlushRun();
  MoveCursor(cursor_x_, cursor_y_);
  for (;;) {
    bool first_half = false;
    uint8_t key = ReadKeyPart(first_half);
    if (first_half) {
      const uint8_t second = ReadKey();
      switch (second) {
        case kLeft:
          if (pos > 0) MoveToLineIndex(origin, --pos);
          continue;
        case kRight:
          if (pos < line.size()) MoveToLineIndex(origin, ++pos);
          continue;
        case kHome:
          pos = 0;
          MoveToLineIndex(origin, pos);
          continue;
        case kEnd:
          pos = line.size();
          MoveToLineIndex(origin, pos);
          continue;
        case kKeypadSlash:
          key = '/';
          break;
        default:
          continue;
      }
    }
    switch (key) {
      case kCarriageReturn:
        // The line end goes below the whole line, not below the cursor's row.
        MoveToLineIndex(origin, line.size());
        Write("\r\n");
        return line;
      case kBackspace:
      case kCtrlS:
        if (pos == line.size() && !line.empty()) EraseLastLineChar(origin, line, pos);
        continue;
      case kEscape:
      case kCtrlY:
        // Esc discards the line wherever the cursor stands in it.
        while (!line.empty()) EraseLastLineChar(origin, line, pos);
        continue;
      case kCtrlZ:
        continue;
      default:
        break;
    }
    if (pos >= static_cast<size_t>(kMaxLineLength)) continue;
    if (pos < line.size()) {
      line[pos] = static_cast<char>(key);
    } else {
      line += static_cast<char>(key);
    }
    ++pos;
    // Drawn as a cell whatever its code, so the screen keeps matching the line.
    DrawChar(static_cast<char>(key));
    WrapAndScroll();
    FlushRun();
    MoveCursor(cursor_x_, cursor_y_);
  }
}

std::string Console::ReadLine() { return ReadEditedLine({}); }

std::string Console::ReadLine(std::string_view offered) { return ReadEditedLine(offered); }

std::string Console::ReadHiddenLine() {
  std::string line;
  for (;;) {
    bool first_half = false;
    uint8_t key = ReadKeyPart(first_half);
    if (first_half) {
      if (ReadKey() != kKeypadSlash) continue;
      key = '/';
    }
    switch (key) {
      case kCarriageReturn:
        Write("\r\n");
        return line;
      case kBackspace:
      case kCtrlS:
        if (!line.empty()) line.pop_back();
        continue;
      case kEscape:
      case kCtrlY:
        line.clear();
        continue;
      case kCtrlZ:
        continue;
      default:
        break;
    }
    if (line.size() < static_cast<size_t>(kMaxLineLength)) line += static_cast<char>(key);
  }
}

void Console::ReadBareLine() { ReadEditedLine({}); }

std::string Console::ReadWordSkippingEmptyLines() {
  for (;;) {
    const std::string line = ReadEditedLine({});
    size_t start = 0;
    while (start < line.size() && !AboveBlank(line[start])) ++start;
    if (start == line.size()) continue;
    size_t end = start;
    while (end < line.size() && AboveBlank(line[end]) && end - start < kMaxWordLength) ++end;
    return line.substr(start, end - start);
  }
}

}  // namespace strikewell
