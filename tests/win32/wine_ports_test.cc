// What a Windows program sees of serial ports in the tests' Wine prefix: only the
// harness ports COM5 and COM6, and no Unix serial device at all (scripts/wine-run
// gives Wine a /dev without them). Nothing here opens a device: a regression must
// show up as a failed test, not as a program on the system console.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace strikewell {
namespace {

TEST(WinePorts, TheOnlyComPortsAreTheTestPorts) {
  std::vector<char> names(1 << 20);
  ASSERT_NE(QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size())), 0u)
      << GetLastError();
  std::set<std::string> ports;
  for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
    if (std::regex_match(name, std::regex("COM[0-9]+", std::regex::icase))) ports.insert(name);
  }
  EXPECT_EQ(ports, (std::set<std::string>{"COM5", "COM6"}));

  char target[MAX_PATH];
  for (const char* hidden : {"COM1", "COM2", "COM3", "COM4", "COM256"}) {
    EXPECT_EQ(QueryDosDeviceA(hidden, target, MAX_PATH), 0u) << hidden << " -> " << target;
  }
}

// Listed, never opened (Wine cannot even stat a character device by name: its
// attributes call fails for /dev/null too, so only the listing tells).
TEST(WinePorts, NoUnixSerialDeviceIsVisible) {
  std::set<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA("Z:\\dev\\*", &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do {
    names.insert(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  ASSERT_TRUE(names.contains("null") && names.contains("pts")) << "Z:\\dev is not the private /dev";
  std::vector<std::string> serial_names;
  for (const std::string& name : names) {
    if (std::regex_match(name, std::regex("tty.*|cu.*|rfcomm.*|console", std::regex::icase))) {
      serial_names.push_back(name);
    }
  }
  EXPECT_EQ(serial_names, std::vector<std::string>{});
}

}  // namespace
}  // namespace strikewell
