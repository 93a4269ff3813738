// A temporary tree shaped like /sys/class/tty and /dev, so that port discovery can be
// tested (and a program run) without ever seeing the machine's real ports.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace strikewell::testing {

class SysfsTree {
 public:
  SysfsTree()
      : root_(std::filesystem::temp_directory_path() /
              ("strikewell_sysfs_" + std::to_string(std::random_device{}()))) {
    std::filesystem::create_directories(tty_class());
    std::filesystem::create_directories(dev());
  }
  ~SysfsTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  SysfsTree(const SysfsTree&) = delete;
  SysfsTree& operator=(const SysfsTree&) = delete;

  std::filesystem::path tty_class() const { return root_ / "class" / "tty"; }
  std::filesystem::path dev() const { return root_ / "dev"; }

  // A tty as the kernel shows it: its class entry is a link into the device tree;
  // `device` links to the hardware when there is any; serial_core UARTs have a
  // `type` (0: no chip in that slot).
  void Tty(const std::string& sys_name, bool has_device, int uart_type = -1) {
    const std::filesystem::path node = root_ / "devices" / sys_name;
    std::filesystem::create_directories(node);
    std::filesystem::create_directory_symlink(node, tty_class() / sys_name);
    if (has_device) {
      const std::filesystem::path hardware = root_ / "hardware" / sys_name;
      std::filesystem::create_directories(hardware);
      std::filesystem::create_directory_symlink(hardware, node / "device");
    }
    if (uart_type >= 0) std::ofstream(node / "type") << uart_type << "\n";
  }
  // A device node below the /dev root (a plain file does for discovery).
  void Node(const std::string& dev_name) {
    std::filesystem::create_directories((dev() / dev_name).parent_path());
    std::ofstream(dev() / dev_name).put('\0');
  }
  // A serial port with hardware behind it and its node.
  void Port(const std::string& name, int uart_type = -1) {
    Tty(name, true, uart_type);
    Node(name);
  }
  void ActiveConsoles(const std::string& names) {
    std::filesystem::create_directories(tty_class() / "console");
    std::ofstream(tty_class() / "console" / "active") << names << "\n";
  }

 private:
  std::filesystem::path root_;
};

}  // namespace strikewell::testing
