// What a Windows test program run by com_port_harness.py shares with the harness: the
// COM port it mapped, whether the modem-line shim is loaded, and requests for what
// only the Linux side can do (send bytes, set lines, hang up).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace strikewell::testing {

// "\\.\COM5": the test port that the harness mapped; "" when not run by it.
inline std::string TestPortDevice() {
  const char* port = std::getenv("STRIKEWELL_TEST_PORT");
  return port == nullptr ? std::string() : std::string("\\\\.\\") + port;
}

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
