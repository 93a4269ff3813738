#include "platform/posix/ports_sysfs.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "sysfs_tree.h"

namespace strikewell::testing {
namespace {

std::string Names(const SysfsTree& tree) {
  SysfsPortNames names(tree.tty_class().string(), tree.dev().string());
  return names.GetSerialPortNames();
}

TEST(SysfsPortNamesTest, ListsPortsWithHardwareInKindAndNaturalOrder) {
  SysfsTree tree;
  // What a PC shows: virtual terminals and ptmx without a device, four 8250 slots of
  // which two have a UART, and the system console on ttyS0.
  for (const char* vt : {"tty", "tty0", "tty1", "tty12", "ptmx"}) {
    tree.Tty(vt, false);
    tree.Node(vt);
  }
  // The system console is on ttyS0 and, as some set-ups have it, on a USB adapter.
  tree.ActiveConsoles("tty0 ttyS0 ttyUSB0");
  tree.Port("ttyUSB0");
  tree.Port("ttyS0", 4);
  tree.Port("ttyS1", 0);
  tree.Port("ttyS2", 4);
  tree.Port("ttyS3", 0);
  tree.Port("ttyS10", 16);
  tree.Port("ttyUSB10");
  tree.Port("ttyUSB9");
  tree.Port("ttyACM0");
  tree.Port("ttyAMA0", 3);
  tree.Port("rfcomm0");
  // Known to sysfs, but udev made no node (or it was removed): cannot be opened.
  tree.Tty("ttyUSB2", true);
  // sysfs spells the '/' of a node in a subdirectory of /dev as '!'.
  tree.Tty("pts!3", true);
  tree.Node("pts/3");
  tree.Tty("pts!4", true);  // no node

  EXPECT_EQ(Names(tree), "ttyUSB9,ttyUSB10,ttyACM0,pts/3,rfcomm0,ttyAMA0,ttyS2,ttyS10");
}

TEST(SysfsPortNamesTest, NoPortsGivesTheEmptyText) {
  SysfsTree tree;
  tree.Tty("tty0", false);
  tree.Port("ttyS0", 0);
  EXPECT_EQ(Names(tree), "");

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
