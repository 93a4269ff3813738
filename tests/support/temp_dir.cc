#include "temp_dir.h"

#include <random>
#include <system_error>

namespace strikewell::testing {

TempDir::TempDir(const std::string& purpose) {
  // A random name and create_directory's answer together make the folder ours alone,
  // even with test executables running side by side.
  std::random_device random;
  for (;;) {
    path_ = std::filesystem::temp_directory_path() /
            ("strikewell-" + purpose + "-" + std::to_string(random()));
    if (std::filesystem::create_directory(path_)) return;
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace strikewell::testing
