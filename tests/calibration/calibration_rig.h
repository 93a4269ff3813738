// A calibration run over scripted ports, a fake clock and a tall fake console (tall
// so that nothing scrolls away and whole runs can be compared row by row).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "calibration/calibration.h"
#include "fake_clock.h"
#include "fake_console.h"
#include "fake_serial.h"
#include "platform/console.h"
#include "run/run_state.h"

namespace strikewell::testing {

inline constexpr int32_t kNoon = 12 * 3600;

inline std::string Dev(const std::string& name) { return "\\\\.\\" + name; }

struct Rig {
  static constexpr int kRows = 200;

  explicit Rig(int32_t start_seconds_of_day = kNoon)
      : clock(start_seconds_of_day), serial(clock), raw(clock, 80, kRows), console(raw, clock) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir =
        std::filesystem::temp_directory_path() / ("strikewell_calib_" + std::string(info->name()) +
                                                  "_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    settings_path = (dir / "serialport_strikewell.ini").string();
  }
  ~Rig() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  // The port list, as discovery would have left it.
  void List(std::initializer_list<std::string> names) {
    state.SSSI = 0;
    for (const std::string& name : names) state.SSS[++state.SSSI] = name;
  }
  // Ports that open.
  void Add(std::initializer_list<std::string> names) {
    for (const std::string& name : names) serial.AddPort(Dev(name));
  }

  // Line states switched at the given fake milliseconds, alternately `on` and all off.
  void Toggle(const std::string& name, std::initializer_list<int64_t> at_ms, Lines on) {
    bool is_on = false;
    for (int64_t t : at_ms) {
      is_on = !is_on;
      serial.SetLines(Dev(name), t, is_on ? on : Lines{});
    }
  }
  void Send(const std::string& name, std::initializer_list<std::pair<int64_t, uint8_t>> bytes) {
    for (const auto& [t, b] : bytes) serial.SendByte(Dev(name), t, b);
  }

  CalibrationOutcome Run() { return Calibrate(state, serial, console, clock, settings_path); }

  // Every row up to the last one written, trailing blanks removed.
  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    int last = 0;
    for (int y = 1; y <= kRows; ++y)
      if (!raw.Row(y).empty()) last = y;
    for (int y = 1; y <= last; ++y) rows.push_back(raw.Row(y));
    return rows;
  }
  // The rows from the first one that equals `first` on.
  std::vector<std::string> RowsFrom(const std::string& first) const {
    std::vector<std::string> rows = Rows();
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i] == first) return std::vector<std::string>(rows.begin() + i, rows.end());
    ADD_FAILURE() << "no row " << first;
    return {};
  }
  // The listing lines of the pulses.
  std::vector<std::string> Listing() const {
    std::vector<std::string> rows = RowsFrom("List of Port inputs...");
    std::vector<std::string> listing;
    for (size_t i = 1; i < rows.size() && !rows[i].empty(); ++i) listing.push_back(rows[i]);
    return listing;
  }

  bool FileExists() const { return std::filesystem::exists(settings_path); }
  std::string FileText() const {
    std::ifstream in(settings_path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  FakeClock clock;
  FakeSerial serial;
  FakeRawConsole raw;
  Console console;
  RunState state;
  std::filesystem::path dir;
  std::string settings_path;
};

inline constexpr Lines kCts{true, false, false, false};
inline constexpr Lines kDsr{false, true, false, false};
inline constexpr Lines kCd{false, false, true, false};

}  // namespace strikewell::testing
