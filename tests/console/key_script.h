// The console over the fake, and key scripts written as text: plain characters, and
// names in angle brackets for the keys without one ("ab<Left>c<Enter>").
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string_view>

#include "fake_clock.h"
#include "fake_console.h"
#include "platform/console.h"

namespace strikewell::testing {

struct Rig {
  explicit Rig(int width = 80, int height = 25, uint8_t attr = 0x07)
      : raw(clock, width, height, attr), console(raw, clock) {}
  FakeClock clock;
  FakeRawConsole raw;
  Console console;
};

inline void TypeScript(FakeRawConsole& raw, std::string_view script) {
  static constexpr struct {
    std::string_view name;
    uint8_t code;
    bool extended;
  } kNames[] = {
      {"Enter", 13, false}, {"BS", 8, false},     {"Esc", 27, false}, {"^S", 19, false},
      {"^Y", 25, false},    {"^Z", 26, false},    {"Tab", 9, false},  {"^J", 10, false},
      {"Left", 75, true},   {"Right", 77, true},  {"Home", 71, true}, {"End", 79, true},
      {"Up", 72, true},     {"PgDn", 81, true},   {"F1", 59, true},   {"Del", 83, true},
      {"KP/", 53, true},    {"^Left", 115, true},
  };
  for (size_t i = 0; i < script.size(); ++i) {
    if (script[i] != '<') {
      raw.Key(static_cast<uint8_t>(script[i]), false);
      continue;
    }
    const size_t end = script.find('>', i);
    ASSERT_NE(end, std::string_view::npos) << script;
    const std::string_view name = script.substr(i + 1, end - i - 1);
    const auto* named = std::find_if(std::begin(kNames), std::end(kNames),
                                     [name](const auto& n) { return n.name == name; });
    ASSERT_NE(named, std::end(kNames)) << "unknown key <" << name << ">";
    raw.Key(named->code, named->extended);
    i = end;
  }
}

}  // namespace strikewell::testing
