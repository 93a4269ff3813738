// A console for tests of the counting wait that never watch the console: it has no
// keys, draws nothing and is never resized.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/console.h"

namespace strikewell::testing {

class NoConsole : public RawConsole {
 public:
  int Width() override { return 80; }
  int Height() override { return 25; }
  bool TakeResize() override { return false; }
  uint8_t InitialAttr() override { return 0x07; }
  void WriteCells(int, int, std::string_view, uint8_t) override {}
  void FillWindow(uint8_t) override {}
  void ScrollUp(uint8_t) override {}
  void SetCursor(int, int) override {}
  void Flush() override {}
  std::optional<KeyEvent> PollKey() override { return std::nullopt; }
  bool InputEnded() override { return false; }
};

}  // namespace strikewell::testing
