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
    std::filesystem::create_directories(tty_class() / "console");
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

  // A tty as the kernel shows it: a class entry linking into the device tree, a
  // `device` link when there is hardware, a serial_core `type` (0: empty slot), and
  // the node below /dev when named ('!' in sysfs names is '/' below /dev).
  void Tty(const std::string& sys_name, bool has_device, int uart_type = -1, bool node = true) {
    const std::filesystem::path dir = root_ / "devices" / sys_name;
    std::filesystem::create_directories(dir);
    std::filesystem::create_directory_symlink(dir, tty_class() / sys_name);
    if (has_device) {
      std::filesystem::create_directories(root_ / "hardware" / sys_name);
      std::filesystem::create_directory_symlink(root_ / "hardware" / sys_name, dir / "device");
    }
    if (uart_type >= 0) std::ofstream(dir / "type") << uart_type << "\n";
    if (!node) return;
    std::string dev_name = sys_name;
    if (const size_t bang = dev_name.find('!'); bang != std::string::npos) dev_name[bang] = '/';
    std::filesystem::create_directories((dev() / dev_name).parent_path());
    std::ofstream(dev() / dev_name).put('\0');
  }
  void Port(const std::string& name, int uart_type = -1) { Tty(name, true, uart_type); }
  void ActiveConsoles(const std::string& names) {
    std::ofstream(tty_class() / "console" / "active") << names << "\n";
  }

 private:
  std::filesystem::path root_;
};

}  // namespace strikewell::testing
