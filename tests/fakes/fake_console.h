// An in-memory console: a grid of cells with attributes, a queue of keys that become
// available at given fake times, and a record of what was drawn.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fake_clock.h"
#include "platform/console.h"

namespace strikewell::testing {

class FakeRawConsole : public RawConsole {
 public:
  struct Cell {
    char ch = ' ';
    uint8_t attr = 0x07;
  };

  FakeRawConsole(FakeClock& clock, int width = 80, int height = 25, uint8_t attr = 0x07);

  int Width() override { return width_; }
  int Height() override { return height_; }
  bool TakeResize() override;
  uint8_t InitialAttr() override { return initial_attr_; }
  void WriteCells(int x, int y, std::string_view text, uint8_t attr) override;
  void FillWindow(uint8_t attr) override;
  void ScrollUp(uint8_t attr) override;
  void SetCursor(int x, int y) override {
    cursor_x = x;
    cursor_y = y;
  }
  void Flush() override { ++flushes; }
  std::optional<KeyEvent> PollKey() override;
  // Input has ended once every scripted key has been delivered, so a test whose
  // script runs out fails fast instead of hanging.
  bool InputEnded() override { return keys_.empty(); }
  bool WindowClosesAtExit() override { return closes_at_exit; }
  bool closes_at_exit = false;

  // Keys the ringer types. at_ms: fake time from which the key is waiting.
  void Type(std::string_view chars, int64_t at_ms = 0);
  void Key(uint8_t code, bool extended, int64_t at_ms = 0);
  // Typed text followed by Enter.
  void TypeLine(std::string_view chars, int64_t at_ms = 0);

  // The window takes the new size at fake time at_ms; the cells are kept where
  // they fit, as a terminal keeps them.
  void ResizeAt(int64_t at_ms, int width, int height);
  std::optional<int64_t> NextResizeAt() const;

  // When the next scripted key becomes available (fake us); nothing once all are
  // delivered.
  std::optional<int64_t> NextKeyAt() const;

  // Row y (1-based) with trailing blanks removed.
  std::string Row(int y) const;
  // Rows 1..rows joined with '\n', each without trailing blanks.
  std::string Screen(int rows = 23) const;
  // Every non-blank row, in order: handy for text that scrolls.
  std::vector<std::string> NonEmptyRows() const;
  const Cell& At(int x, int y) const { return cells_[Index(x, y)]; }

  // Every text drawn, in order, with line feeds between writes to new rows: the
  // output as a teletype would have printed it.
  std::string transcript;
  int cursor_x = 1;
  int cursor_y = 1;
  int flushes = 0;
  int clears = 0;
  // Fake time that drawing costs: per WriteCells call and per clear. A slow
  // console (Windows' draws cell runs one call at a time) shows up in timing.
  int64_t write_cost_us = 0;

 private:
  struct PendingKey {
    int64_t at_us;
    KeyEvent key;
  };
  size_t Index(int x, int y) const { return static_cast<size_t>((y - 1) * width_ + (x - 1)); }

  FakeClock& clock_;
  int width_;
  int height_;
  uint8_t initial_attr_;
  std::vector<Cell> cells_;
  std::deque<PendingKey> keys_;
  struct PendingResize {
    int64_t at_us;
    int width;
    int height;
  };
  std::deque<PendingResize> resizes_;
  int last_write_y_ = 0;
};

}  // namespace strikewell::testing
