// A fresh folder on the real file system for one test, removed with everything in
// it when the test ends, so tests that write files never meet each other's leftovers.
#pragma once

#include <filesystem>
#include <string>

namespace strikewell::testing {

class TempDir {
 public:
  // The folder's name starts with "strikewell-" and `purpose`, so a leftover one
  // (from a test that crashed) says where it came from.
  explicit TempDir(const std::string& purpose = "test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of `name` inside the folder, as the program's file calls take it.
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace strikewell::testing
