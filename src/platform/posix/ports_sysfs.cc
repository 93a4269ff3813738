#include "platform/posix/ports_sysfs.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/backends.h"

namespace strikewell {
namespace {

namespace fs = std::filesystem;

// The kernel's active consoles ("tty0 ttyS0"). Reconfiguring one of them (2400 bit/s,
// raw mode, RTS and DTR) would break the system console, so it is never offered.
std::set<std::string> ActiveConsoles(const fs::path& tty_class_dir) {
  std::set<std::string> names;
  std::ifstream in(tty_class_dir / "console" / "active");
  std::string name;
  while (in >> name) names.insert(name);
  return names;
}

// serial_core drivers (8250, AMBA, ...) register a device for every possible UART
// and report type 0 (PORT_UNKNOWN) for a slot with no chip behind it.
bool UartIsAbsent(const fs::path& tty_dir) {
  std::ifstream in(tty_dir / "type");
  int type = 0;
  return in && (in >> type) && type == 0;
}

struct PortEntry {
  int rank;          // adapters a ringer plugs in come first
  std::string kind;  // the name without its trailing number
  long number;       // -1 when the name has none
  std::string name;  // below the /dev root

  bool operator<(const PortEntry& other) const {
    return std::tie(rank, kind, number, name) <
           std::tie(other.rank, other.kind, other.number, other.name);
  }
};

PortEntry MakeEntry(const std::string& name) {
  size_t digits = name.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
  PortEntry entry{2, name.substr(0, digits), -1, name};
  // Names of up to nine digits fit in a long; longer ones sort by text alone.
  if (digits < name.size() && name.size() - digits <= 9)
    entry.number = std::stol(name.substr(digits));
  // A sensor is nearly always on a USB adapter; listing those first also keeps them
  // within the 25 ports the program can hold on a machine with many UARTs.
  if (entry.kind == "ttyUSB") entry.rank = 0;
  if (entry.kind == "ttyACM") entry.rank = 1;
  return entry;
}

}  // namespace

SysfsPortNames::SysfsPortNames(std::string tty_class_dir, std::string dev_dir)
    : tty_class_dir_(std::move(tty_class_dir)), dev_dir_(std::move(dev_dir)) {}

std::string SysfsPortNames::GetSerialPortNames() {
  const fs::path class_dir(tty_class_dir_);
  const std::set<std::string> consoles = ActiveConsoles(class_dir);
  std::vector<PortEntry> entries;
  std::error_code ec;
  for (fs::directory_iterator it(class_dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string sys_name = it->path().filename().string();
    // Virtual terminals, ptmx and the console alias have no device link: only
    // ports with hardware (or a driver such as rfcomm) behind them have one.
    std::error_code stat_ec;
    if (!fs::exists(it->path() / "device", stat_ec)) continue;
    if (UartIsAbsent(it->path())) continue;
    if (consoles.count(sys_name) > 0) continue;
    // sysfs writes the '/' of a device name in a subdirectory of /dev as '!'.
    std::string dev_name = sys_name;
    std::replace(dev_name.begin(), dev_name.end(), '!', '/');
    if (!fs::exists(fs::path(dev_dir_) / dev_name, stat_ec)) continue;
    entries.push_back(MakeEntry(dev_name));
  }
  std::sort(entries.begin(), entries.end());
  std::vector<std::string> names;
  for (const PortEntry& entry : entries) names.push_back(entry.name);
  return JoinPortNames(names);
}

std::unique_ptr<PortNames> MakePortNames() {
  return std::make_unique<SysfsPortNames>("/sys/class/tty", "/dev");
}

}  // namespace strikewell
