// Keeps a pseudo console alive for event_wait_console_win32_test.cc, which attaches
// itself to the console of this process: a console lives only while a process is
// attached to it. Reads nothing, so every input record stays for the test; ends when
// the test ends it, or after a minute should the test be gone.
#include <windows.h>

int main() {
  Sleep(60'000);
  return 0;
}
