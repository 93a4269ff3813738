// The serial ports of a Linux system, found in sysfs. The roots are parameters so
// that tests can point discovery at a tree of their own and never see the real ports.
#pragma once

#include <string>

#include "platform/registry.h"

namespace strikewell {

class SysfsPortNames : public PortNames {
 public:
  // tty_class_dir: normally /sys/class/tty; dev_dir: normally /dev.
  SysfsPortNames(std::string tty_class_dir, std::string dev_dir);

  // The names below dev_dir of the ports with hardware behind them, USB and ACM
  // adapters first, each kind in natural order (ttyS2 before ttyS10).
  std::string GetSerialPortNames() override;

 private:
  std::string tty_class_dir_;
  std::string dev_dir_;
};

}  // namespace strikewell
