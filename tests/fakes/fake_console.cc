#include "fake_console.h"

#include <algorithm>

namespace strikewell::testing {

FakeRawConsole::FakeRawConsole(FakeClock& clock, int width, int height, uint8_t attr)
    : clock_(clock),
      width_(width),
      height_(height),
      initial_attr_(attr),
      cells_(static_cast<size_t>(width * height), Cell{' ', attr}) {}

void FakeRawConsole::WriteCells(int x, int y, std::string_view text, uint8_t attr) {
  clock_.Advance(write_cost_us);
  if (y < 1 || y > height_) return;
  if (!transcript.empty() && y != last_write_y_) transcript += '\n';
  transcript += text;
  last_write_y_ = y;
  for (size_t i = 0; i < text.size(); ++i) {
    const int cx = x + static_cast<int>(i);
    if (cx < 1 || cx > width_) continue;
    cells_[Index(cx, y)] = Cell{text[i], attr};
  }
}

void FakeRawConsole::FillWindow(uint8_t attr) {
  ++clears;
  clock_.Advance(write_cost_us);
  last_write_y_ = 0;
  for (Cell& c : cells_) c = Cell{' ', attr};
}

void FakeRawConsole::ScrollUp(uint8_t attr) {
  for (int y = 1; y < height_; ++y)
    for (int x = 1; x <= width_; ++x) cells_[Index(x, y)] = cells_[Index(x, y + 1)];
  for (int x = 1; x <= width_; ++x) cells_[Index(x, height_)] = Cell{' ', attr};
  --last_write_y_;
}

std::optional<KeyEvent> FakeRawConsole::PollKey() {
  if (keys_.empty() || keys_.front().at_us > clock_.NowMicros()) return std::nullopt;
  KeyEvent k = keys_.front().key;
  keys_.pop_front();
  return k;
}

void FakeRawConsole::ResizeAt(int64_t at_ms, int width, int height) {
  resizes_.push_back(PendingResize{at_ms * 1000, width, height});
}

std::optional<int64_t> FakeRawConsole::NextResizeAt() const {
  if (resizes_.empty()) return std::nullopt;
  return resizes_.front().at_us;
}

bool FakeRawConsole::TakeResize() {
  bool changed = false;
  while (!resizes_.empty() && resizes_.front().at_us <= clock_.NowMicros()) {
    const PendingResize r = resizes_.front();
    resizes_.pop_front();
    std::vector<Cell> cells(static_cast<size_t>(r.width * r.height), Cell{' ', initial_attr_});
    for (int y = 1; y <= std::min(height_, r.height); ++y) {
      for (int x = 1; x <= std::min(width_, r.width); ++x) {
        cells[static_cast<size_t>((y - 1) * r.width + (x - 1))] = cells_[Index(x, y)];
      }
    }
    cells_ = std::move(cells);
    width_ = r.width;
    height_ = r.height;
    changed = true;
  }
  return changed;
}

std::optional<int64_t> FakeRawConsole::NextKeyAt() const {
  if (keys_.empty()) return std::nullopt;
  return keys_.front().at_us;
}

void FakeRawConsole::Type(std::string_view chars, int64_t at_ms) {
  for (char c : chars) Key(static_cast<uint8_t>(c), false, at_ms);
}

void FakeRawConsole::Key(uint8_t code, bool extended, int64_t at_ms) {
  keys_.push_back(PendingKey{at_ms * 1000, KeyEvent{code, extended}});
}

void FakeRawConsole::TypeLine(std::string_view chars, int64_t at_ms) {
  Type(chars, at_ms);
  Key(13, false, at_ms);
}

std::string FakeRawConsole::Row(int y) const {
  std::string row;
  for (int x = 1; x <= width_; ++x) row += cells_[Index(x, y)].ch;
  const size_t end = row.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : row.substr(0, end + 1);
}

std::string FakeRawConsole::Screen(int rows) const {
  std::string s;
  for (int y = 1; y <= rows && y <= height_; ++y) {
    if (y > 1) s += '\n';
    s += Row(y);
  }
  return s;
}

std::vector<std::string> FakeRawConsole::NonEmptyRows() const {
  std::vector<std::string> rows;
  for (int y = 1; y <= height_; ++y)
    if (!Row(y).empty()) rows.push_back(Row(y));
  return rows;
}

}  // namespace strikewell::testing
