// Records written out by hand, and a real temporary folder, for the record tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

#include "record/record.h"

namespace strikewell::testing {

// Blows counted 1, 2, 3, ... at these sensor times; every key 250 ms later and sent.
inline PracticeRecord Piece(std::initializer_list<int64_t> sensor_ms) {
  PracticeRecord record;
  for (const int64_t ms : sensor_ms) {
    record.push_back(RecordLine{.blow = static_cast<int32_t>(record.size()) + 1,
                                .sensor_ms = ms,
                                .key_ms = ms + 250,
                                .sent = true});
  }
  return record;
}

// first, the ringer's "0", then second.
inline PracticeRecord Zeroed(PracticeRecord first, const PracticeRecord& second) {
  first.push_back(RecordLine{.zeroed = true});
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// A fresh folder on the real file system, removed with everything in it.
struct TempDir {
  TempDir() { std::filesystem::create_directories(path); }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string File(const std::string& name) const { return (path / name).string(); }
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("strikewell-record-" + std::to_string(std::random_device()()));
};

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace strikewell::testing
