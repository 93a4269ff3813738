// Windows port discovery under Wine: the test writes its own values under
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, reads them back through the
// backend, and puts back what the prefix had there.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
#include "fake_event_wait.h"
#include "fake_serial.h"
#include "platform/backends.h"
#include "platform/registry.h"
#include "run/program.h"

namespace strikewell {
namespace {

constexpr const char* kKeyPath = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct Value {
  std::string name;
  DWORD type;
  std::string data;  // the bytes exactly as stored
};

// String data as Windows stores it: with its terminating NUL.
Value Sz(const std::string& name, const std::string& text, DWORD type = REG_SZ) {
  return Value{name, type, text + '\0'};
}

// Opens the key (made if missing) and replaces its values; returns those it had.
std::vector<Value> ReplaceValues(const std::vector<Value>& values) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  std::vector<Value> old;
  char name[256];
  BYTE data[1024];
  DWORD name_length = sizeof name;
  DWORD size = sizeof data;
  DWORD type = 0;
  while (RegEnumValueA(key, 0, name, &name_length, nullptr, &type, data, &size) == ERROR_SUCCESS) {
    old.push_back(Value{name, type, std::string(reinterpret_cast<char*>(data), size)});
    RegDeleteValueA(key, name);
    name_length = sizeof name;
    size = sizeof data;
  }
  for (const Value& value : values) {
    // Not a NUL after the data: Wine would otherwise add one that string data lacks.
    const std::string bytes = value.data + '\x01';
    EXPECT_EQ(RegSetValueExA(key, value.name.c_str(), 0, value.type,
                             reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(value.data.size())),
              ERROR_SUCCESS)
        << value.name;
  }
  RegCloseKey(key);
  return old;
}

class RegistryPortNamesTest : public ::testing::Test {
 protected:
  void TearDown() override { ReplaceValues(saved_); }

  std::vector<Value> saved_ = ReplaceValues({});
  std::unique_ptr<PortNames> names_ = MakePortNames();
};

TEST_F(RegistryPortNamesTest, CommaTextOfTheValuesInTheirOrder) {
  ReplaceValues({
      Sz("\\Device\\Serial0", "COM3"),
      Value{"\\Device\\Serial1", REG_SZ, "COM1"},        // stored without its NUL
      Sz("\\Device\\Serial2", "%PORT%", REG_EXPAND_SZ),  // taken as it is
      Value{"\\Device\\Serial3", REG_BINARY, ""},        // size 0: an empty name, whatever the type
      Sz("\\Device\\Serial4", "COM10"),
  });
  EXPECT_EQ(names_->GetSerialPortNames(), "COM3,COM1,%PORT%,,COM10");
}

TEST_F(RegistryPortNamesTest, ValueThatIsNotTextStopsTheRun) {
  const DWORD number = 3;
  ReplaceValues({Sz("\\Device\\Serial0", "COM1"),
                 Value{"\\Device\\Odd", REG_DWORD,
                       std::string(reinterpret_cast<const char*>(&number), sizeof number)}});
  testing::FakeClock clock;
  testing::FakeSerial serial{clock};
  testing::FakeRawConsole raw{clock};
  Console console{raw, clock};
  testing::FakeDesktop desktop;
  testing::FakeEventWait wait{clock, serial, raw};
  Platform platform{serial, *names_, console, desktop, clock, wait};
  EXPECT_EQ(RunProgram(platform), 1);
  EXPECT_EQ(raw.NonEmptyRows().back(), "Invalid registry data type: \"\\Device\\Odd\"");
}

TEST_F(RegistryPortNamesTest, MissingKeyListsNothing) {
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
  EXPECT_EQ(names_->GetSerialPortNames(), "");
}

}  // namespace
}  // namespace strikewell
