#include "platform/posix/ports_sysfs.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "sysfs_tree.h"

namespace strikewell::testing {
namespace {

std::string Names(const SysfsTree& tree) {
  return SysfsPortNames(tree.tty_class().string(), tree.dev().string()).GetSerialPortNames();
}

TEST(SysfsPortNamesTest, ListsPortsWithHardwareInKindAndNaturalOrder) {
  SysfsTree tree;
  EXPECT_EQ(Names(tree), "");
  // Virtual terminals and ptmx have no device; an 8250 slot of type 0 has no UART;
  // the system console may be on a UART or on a USB adapter.
  tree.Tty("tty0", false);
  tree.Tty("ptmx", false);
  tree.ActiveConsoles("tty0 ttyS0 ttyUSB0");
  tree.Port("ttyUSB0");
  tree.Port("ttyS0", 4);
  tree.Port("ttyS1", 0);
  tree.Port("ttyS2", 4);
  tree.Port("ttyS10", 16);
  tree.Port("ttyUSB10");
  tree.Port("ttyUSB9");
  tree.Port("ttyACM0");
  tree.Port("ttyAMA0", 3);
  tree.Port("rfcomm0");
  tree.Port("pts!3");
  tree.Tty("pts!4", true, -1, false);  // udev made no node: cannot be opened

  EXPECT_EQ(Names(tree), "ttyUSB9,ttyUSB10,ttyACM0,pts/3,rfcomm0,ttyAMA0,ttyS2,ttyS10");
  SysfsPortNames missing((tree.tty_class() / "absent").string(), tree.dev().string());
  EXPECT_EQ(missing.GetSerialPortNames(), "");
}

TEST(SysfsPortNamesTest, MoreThanTwentyFiveKeepTheAdaptersInTheList) {
  SysfsTree tree;
  for (int i = 0; i < 30; ++i) tree.Port("ttyS" + std::to_string(i), 4);
  tree.Port("ttyUSB0");
  tree.Port("ttyACM0");

  SysfsPortNames names(tree.tty_class().string(), tree.dev().string());
  PortListType SSS;
  int32_t SSSI = 0;
  ListCommPort(SSSI, SSS, names);
  ASSERT_EQ(SSSI, 25);
  EXPECT_EQ(SSS[1], "ttyUSB0");
  EXPECT_EQ(SSS[2], "ttyACM0");
  for (int n = 3; n <= 25; ++n) EXPECT_EQ(SSS[n], "ttyS" + std::to_string(n - 3));
}

}  // namespace
}  // namespace strikewell::testing
