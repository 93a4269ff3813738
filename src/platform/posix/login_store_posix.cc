// The kept Ringing Room login on Linux: one file in the user's configuration folder
// ($XDG_CONFIG_HOME/strikewell/ringingroom, by default ~/.config/...). It holds a
// token that rings bells as the ringer, so the folder is 0700 and the file 0600
// from the moment each exists, and a new login replaces the old in one rename: a
// crash or a full disk leaves the old file or the new one, never a torn or empty one.
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/backends.h"
#include "platform/network.h"

namespace strikewell {
namespace {

constexpr mode_t kFolderMode = 0700;
// A kept login is a few hundred bytes; anything far larger is not one.
constexpr off_t kMaxLoginBytes = 64 * 1024;

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

std::string ConfigHome() {
  // The XDG rule: a relative XDG_CONFIG_HOME is ignored.
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    const passwd* user = getpwuid(getuid());
    home = user != nullptr ? user->pw_dir : nullptr;
  }
  return std::string(home != nullptr ? home : "") + "/.config";
}

// Makes path and the folders above it that are missing, each created 0700 (as XDG
// asks of the configuration folder). The last one is made 0700 even if it was there.
bool MakeFolders(const std::string& path, bool last, std::string& error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 &&
        !MakeFolders(path.substr(0, slash), false, error)) {
      return false;
    }
    if (mkdir(path.c_str(), kFolderMode) != 0 && errno != EEXIST) {
      error = Reason("cannot make the folder", path);
      return false;
    }
  } else if (!S_ISDIR(info.st_mode)) {
    errno = ENOTDIR;
    error = Reason("cannot use the folder", path);
    return false;
  }
  // mkdir's mode passes through the umask; the login's folder is 0700 whatever it
  // was, and an older, wider one is narrowed.
  if (last && chmod(path.c_str(), kFolderMode) != 0) {
    error = Reason("cannot make private the folder", path);
    return false;
  }
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

class PosixLoginStore : public LoginStore {
 public:
  PosixLoginStore() : folder_(ConfigHome() + "/strikewell"), path_(folder_ + "/ringingroom") {}

  std::optional<std::string> Read(std::string& error) override {
    error.clear();
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno != ENOENT) error = Reason("cannot read", path_);
      return std::nullopt;
    }
    std::string text;
    struct stat info {};
    bool ok = fstat(fd, &info) == 0;
    if (ok && !S_ISREG(info.st_mode)) {
      errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
      ok = false;
    } else if (ok && info.st_size > kMaxLoginBytes) {
      errno = EFBIG;
      ok = false;
    }
    char chunk[4096];
    while (ok) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      text.append(chunk, static_cast<size_t>(n));
      if (text.size() > static_cast<size_t>(kMaxLoginBytes)) {
        errno = EFBIG;
        ok = false;
      }
    }
    if (!ok) error = Reason("cannot read", path_);
    close(fd);
    if (!ok) return std::nullopt;
    return text;
  }

  bool Write(const std::string& text, std::string& error) override {
    error.clear();
    if (!MakeFolders(folder_, true, error)) return false;
    // mkstemp creates the file 0600, so the token is never readable by others, not
    // even for a moment before a chmod.
    std::string temp = folder_ + "/.ringingroom.XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
      error = Reason("cannot write in", folder_);
      return false;
    }
    bool ok = WriteAll(fd, text) && fsync(fd) == 0;
    if (!ok) error = Reason("cannot write", temp);
    if (close(fd) != 0 && ok) {
      error = Reason("cannot write", temp);
      ok = false;
    }
    if (ok && rename(temp.c_str(), path_.c_str()) != 0) {
      error = Reason("cannot replace", path_);
      ok = false;
    }
    if (!ok) {
      unlink(temp.c_str());
      return false;
    }
    // The rename itself is made durable too, so the file named is the new one after
    // a power cut; a folder that cannot be synced leaves that to the system.
    const int folder = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
      fsync(folder);
      close(folder);
    }
    return true;
  }

  bool Remove(std::string& error) override {
    error.clear();
    if (unlink(path_.c_str()) == 0 || errno == ENOENT) return true;
    error = Reason("cannot remove", path_);
    return false;
  }

  std::string Where() override { return path_; }

 private:
  std::string folder_;
  std::string path_;
};

}  // namespace

std::unique_ptr<LoginStore> MakeLoginStore() { return std::make_unique<PosixLoginStore>(); }

}  // namespace strikewell
