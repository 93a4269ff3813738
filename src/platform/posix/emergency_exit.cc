#include "platform/posix/emergency_exit.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace strikewell {
namespace {

std::array<void (*)(), 8> g_cleanups{};
size_t g_count = 0;

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

void AddEmergencyCleanup(void (*cleanup)()) {
  if (g_count < g_cleanups.size()) g_cleanups[g_count++] = cleanup;
}

void EmergencyExit(std::string_view message, int status) {
  for (size_t i = 0; i < g_count; ++i) g_cleanups[i]();
  // The cursor may be anywhere on the counter screen.
  WriteAll(STDOUT_FILENO, "\n" + std::string(message) + "\n");
  std::exit(status);
}

}  // namespace strikewell
