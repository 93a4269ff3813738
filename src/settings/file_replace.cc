#include "settings/file_replace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace strikewell {
namespace {

// The system's reason for a failed call. A stream can fail without one: Windows' C
// runtime reports a write that the disk took only part of by the count alone.
std::string Reason(int error) {
  return error != 0 ? std::strerror(error) : "only part of it reached the disk";
}

}  // namespace

std::optional<std::string> ReplaceFileWith(const std::string& path, const std::string& text) {
  const std::string temp_path = path + ".tmp";
  // "c": Windows' C runtime then commits the file to disk at fflush
  // (FlushFileBuffers), so the rename below never puts in place a file whose bytes
  // are still only in memory, and a disk that fails them is reported here. glibc
  // reads "c" as "no thread cancellation point", which changes nothing for this
  // single-threaded write; Linux's standard library has no way to commit a file.
  std::FILE* file = std::fopen(temp_path.c_str(), "wbc");
  if (file == nullptr) return Reason(errno);

  errno = 0;
  const bool written =
      std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
  const int write_errno = errno;
  errno = 0;
  const bool closed = std::fclose(file) == 0;
  const int close_errno = errno;
  if (!written || !closed) {
    std::remove(temp_path.c_str());
    return Reason(!written ? write_errno : close_errno);
  }

  // MinGW's libstdc++ renames with MoveFileExW(MOVEFILE_REPLACE_EXISTING) (checked under
  // Wine), so an existing file is replaced on Windows as by POSIX rename.
  std::error_code error;
  std::filesystem::rename(temp_path, path, error);
  if (error) {
    std::remove(temp_path.c_str());
    return error.message();
  }
  return std::nullopt;
}

}  // namespace strikewell
