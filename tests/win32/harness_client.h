// The Windows side of tests/win32/com_port_harness.py: the harness owns the pty
// behind the test COM port and does, on request, what only the Linux side can do
// (feed bytes, set modem lines, read back the line settings).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <windows.h>

namespace strikewell::testing {

// Wine's ntdll exports its version; Windows' does not.
inline bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// "\\.\COM5": the test port that the harness mapped, from its environment.
inline std::string TestPortDevice() {
  const char* port = std::getenv("STRIKEWELL_TEST_PORT");
  return port == nullptr ? std::string() : std::string("\\\\.\\") + port;
}

// True when the harness preloaded the modem-line shim into this process.
inline bool ShimLoaded() { return std::getenv("STRIKEWELL_TEST_SHIM") != nullptr; }

// One request line out, one answer line back.
inline std::string AskHarness(const std::string& request) {
  std::printf("@harness %s\n", request.c_str());
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) return "error: no harness on standard input";
  if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  return answer;
}

}  // namespace strikewell::testing
