// What a Windows program sees of serial ports in the tests' Wine prefix: only the
// harness ports COM5 and COM6, and no Unix serial device at all (scripts/wine-run
// gives Wine a /dev without them). Nothing here opens a device: a regression must
// show up as a failed test, not as a program on the system console.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace strikewell {
namespace {

std::vector<std::string> DosDeviceNames() {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const DWORD length = QueryDosDeviceA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length != 0) {
      std::vector<std::string> names;
      for (const char* name = buffer.data(); *name != '\0'; name += names.back().size() + 1) {
        names.emplace_back(name);
      }
      return names;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() > (1u << 24)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

TEST(WinePorts, TheOnlyComPortsAreTheTestPorts) {
  const std::regex com_port("COM[0-9]+", std::regex::icase);
  std::set<std::string> ports;
  const std::vector<std::string> names = DosDeviceNames();
  ASSERT_FALSE(names.empty()) << "QueryDosDevice failed: " << GetLastError();
  for (const std::string& name : names) {
    if (std::regex_match(name, com_port)) ports.insert(name);
  }
  EXPECT_EQ(ports, (std::set<std::string>{"COM5", "COM6"}));

  char target[MAX_PATH];
  for (const char* hidden : {"COM1", "COM2", "COM3", "COM4", "COM256"}) {
    EXPECT_EQ(QueryDosDeviceA(hidden, target, MAX_PATH), 0u) << hidden << " -> " << target;
  }
}

std::vector<std::string> DirectoryNames(const char* pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.emplace_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

// Listed, never opened (Wine cannot even stat a character device by name: its
// attributes call fails for /dev/null too, so only the listing tells).
TEST(WinePorts, NoUnixSerialDeviceIsVisible) {
  const std::vector<std::string> names = DirectoryNames("Z:\\dev\\*");
  ASSERT_NE(std::find(names.begin(), names.end(), "null"), names.end())
      << "Z:\\dev should list the private /dev";
  ASSERT_NE(std::find(names.begin(), names.end(), "pts"), names.end());
  const std::regex serial("tty.*|cu.*|rfcomm.*|console", std::regex::icase);
  std::vector<std::string> serial_names;
  std::copy_if(names.begin(), names.end(), std::back_inserter(serial_names),
               [&](const std::string& name) { return std::regex_match(name, serial); });
  EXPECT_EQ(serial_names, std::vector<std::string>{});
}

}  // namespace
}  // namespace strikewell
