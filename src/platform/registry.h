// The system's list of serial ports. The backend produces the comma text (the
// registry on Windows, sysfs on Linux); splitting it into the numbered list is
// shared logic.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace strikewell {

inline constexpr int kMaxPorts = 25;

// 25 texts indexed 1 to 25; index 0 is unused so that numbers read as in the
// listings.
using PortListType = std::array<std::string, kMaxPorts + 1>;

// A registry value that cannot be read as a port name: the run stops with message.
class PortListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PortNames {
 public:
  virtual ~PortNames() = default;
  // The port names joined by ","; a name with a character of code 32 or less, a
  // double quote or a comma is enclosed in double quotes with inner quotes doubled.
  // May throw PortListError.
  virtual std::string GetSerialPortNames() = 0;
};

// Joins names into the comma text that GetSerialPortNames returns, with its quoting
// rules. Both backends build their answer with it.
std::string JoinPortNames(const std::vector<std::string>& names);

// Splits the comma text into the numbered list: SSSI entries in SSS[1..SSSI]. The
// split looks only at commas, so quotes stay and a name with a comma gives two
// entries. No names give one empty entry; beyond 25 entries the rest are dropped.
void ListCommPort(int32_t& SSSI, PortListType& SSS, PortNames& names);

}  // namespace strikewell
