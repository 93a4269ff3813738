// Key scripts for console tests written as text: plain characters, and names in
// angle brackets for the keys without one ("ab<Left>c<Enter>").
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "fake_console.h"

namespace strikewell::testing {

inline void TypeScript(FakeRawConsole& raw, std::string_view script, int64_t at_ms = 0) {
  struct Named {
    std::string_view name;
    uint8_t code;
    bool extended;
  };
  static constexpr Named kNames[] = {
      {"Enter", 13, false}, {"BS", 8, false},    {"Esc", 27, false},   {"^S", 19, false},
      {"^Y", 25, false},    {"^Z", 26, false},   {"Tab", 9, false},    {"^J", 10, false},
      {"Left", 75, true},   {"Right", 77, true}, {"Home", 71, true},   {"End", 79, true},
      {"Up", 72, true},     {"Down", 80, true},  {"PgDn", 81, true},   {"F1", 59, true},
      {"Del", 83, true},    {"KP/", 53, true},   {"^Left", 115, true},
  };
  size_t i = 0;
  while (i < script.size()) {
    if (script[i] != '<') {
      raw.Key(static_cast<uint8_t>(script[i]), false, at_ms);
      ++i;
      continue;
    }
    const size_t end = script.find('>', i);
    ASSERT_NE(end, std::string_view::npos) << script;
    const std::string_view name = script.substr(i + 1, end - i - 1);
    bool found = false;
    for (const Named& n : kNames) {
      if (n.name == name) {
        raw.Key(n.code, n.extended, at_ms);
        found = true;
      }
    }
    ASSERT_TRUE(found) << "unknown key <" << name << ">";
    i = end + 1;
  }
}

}  // namespace strikewell::testing
