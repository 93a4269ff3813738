// Windows port discovery under Wine: the test writes its own values under
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, reads them back through the
// backend, and puts back what the prefix had there.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/backends.h"
#include "platform/registry.h"

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

HKEY CreateKey() {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  return key;
}

std::vector<Value> ReadValues(HKEY key) {
  std::vector<Value> values;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD name_length = sizeof name;
    BYTE data[1024];
    DWORD size = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(key, index, name, &name_length, nullptr, &type, data, &size) !=
        ERROR_SUCCESS) {
      return values;
    }
    values.push_back(Value{name, type, std::string(reinterpret_cast<char*>(data), size)});
  }
}

void DeleteAllValues(HKEY key) {
  for (const Value& value : ReadValues(key)) RegDeleteValueA(key, value.name.c_str());
}

void WriteValues(HKEY key, const std::vector<Value>& values) {
  for (const Value& value : values) {
    ASSERT_EQ(RegSetValueExA(key, value.name.c_str(), 0, value.type,
                             reinterpret_cast<const BYTE*>(value.data.data()),
                             static_cast<DWORD>(value.data.size())),
              ERROR_SUCCESS)
        << value.name;
  }
}

class RegistryPortNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HKEY key = CreateKey();
    saved_ = ReadValues(key);
    DeleteAllValues(key);
    RegCloseKey(key);
  }
  void TearDown() override {
    HKEY key = CreateKey();
    DeleteAllValues(key);
    WriteValues(key, saved_);
    RegCloseKey(key);
  }

  std::string Listed(const std::vector<Value>& values) {
    HKEY key = CreateKey();
    WriteValues(key, values);
    RegCloseKey(key);
    return names_->GetSerialPortNames();
  }

  std::vector<Value> saved_;
  std::unique_ptr<PortNames> names_ = MakePortNames();
};

TEST_F(RegistryPortNamesTest, CommaTextOfTheValues) {
  struct Case {
    const char* what;
    std::vector<Value> values;
    std::string text;
  };
  const Case cases[] = {
      {"no values", {}, ""},
      {"one port", {Sz("\\Device\\Serial0", "COM3")}, "COM3"},
      // Value names in creation order and in name order alike; the data is not sorted.
      {"three ports",
       {Sz("\\Device\\Serial0", "COM3"), Sz("\\Device\\Serial1", "COM1"),
        Sz("\\Device\\Serial2", "COM10")},
       "COM3,COM1,COM10"},
      {"data without its NUL",
       {Value{"\\Device\\Serial0", REG_SZ, "COM4"}, Sz("\\Device\\Serial1", "COM4")},
       "COM4,COM4"},
      {"expandable data taken as it is", {Sz("\\Device\\VCP0", "%PORT%", REG_EXPAND_SZ)}, "%PORT%"},
      {"names needing quotes",
       {Sz("\\Device\\Serial0", "My Port"), Sz("\\Device\\Serial1", "A,B"),
        Sz("\\Device\\Serial2", "say \"x\"")},
       "\"My Port\",\"A,B\",\"say \"\"x\"\"\""},
      {"one empty value", {Value{"\\Device\\Serial0", REG_SZ, ""}}, "\"\""},
      {"an empty value among others",
       {Sz("\\Device\\Serial0", "COM1"), Value{"\\Device\\Serial1", REG_SZ, ""}},
       "COM1,"},
      // Size 0 is an empty name before the type is looked at.
      {"empty data of another type", {Value{"\\Device\\Serial0", REG_BINARY, ""}}, "\"\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HKEY key = CreateKey();
    DeleteAllValues(key);
    RegCloseKey(key);
    EXPECT_EQ(Listed(c.values), c.text);
  }
}

TEST_F(RegistryPortNamesTest, ValueThatIsNotTextStopsTheRun) {
  const DWORD number = 3;
  const Value dword{"\\Device\\Odd", REG_DWORD,
                    std::string(reinterpret_cast<const char*>(&number), sizeof number)};
  try {
    Listed({Sz("\\Device\\Serial0", "COM1"), dword});
    FAIL() << "no error";
  } catch (const PortListError& e) {
    EXPECT_STREQ(e.what(), "Invalid registry data type: \"\\Device\\Odd\"");
  }
  // Once the odd value is gone, the same ports list again.
  HKEY key = CreateKey();
  DeleteAllValues(key);
  RegCloseKey(key);
  EXPECT_EQ(Listed({Sz("\\Device\\Serial0", "COM1")}), "COM1");
}

TEST_F(RegistryPortNamesTest, MissingKeyListsNothing) {
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
  EXPECT_EQ(names_->GetSerialPortNames(), "");
  PortListType SSS;
  int32_t SSSI = 0;
  ListCommPort(SSSI, SSS, *names_);
  EXPECT_EQ(SSSI, 1);
  EXPECT_EQ(SSS[1], "");
}

}  // namespace
}  // namespace strikewell
