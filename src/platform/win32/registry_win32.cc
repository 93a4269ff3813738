// Serial port names from the registry: Windows keeps one value per port present under
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, whose data is the device name.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/backends.h"
#include "platform/registry.h"

namespace strikewell {
namespace {

constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// Closes the key on every way out, the data errors included.
class OpenKey {
 public:
  OpenKey() {
    // The key does not exist when the system has no serial ports at all; there is
    // then simply nothing to list.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key_) != ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~OpenKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;

  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

std::vector<std::string> ValueNames(HKEY key) {
  std::vector<std::string> names;
  DWORD value_count = 0;
  DWORD longest_name = 0;  // in characters, without the terminating NUL
  if (key == nullptr ||
      RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &value_count,
                       &longest_name, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return names;
  }
  std::vector<char> name(longest_name + 1);
  for (DWORD index = 0; index < value_count; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    // A value removed or renamed since the count was taken fails here; it no longer
    // names a port, so it is left out rather than listed with a stale name.
    if (RegEnumValueA(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      continue;
    }
    names.emplace_back(name.data());
  }
  return names;
}

std::string ValueText(HKEY key, const std::string& value_name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, value_name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    type = 0;
    size = 0;
  }
  if (size == 0) return std::string();
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    throw PortListError("Invalid registry data type: " + Quoted(value_name));
  }
  std::vector<BYTE> data(size);
  if (RegQueryValueExA(key, value_name.c_str(), nullptr, nullptr, data.data(), &size) !=
      ERROR_SUCCESS) {
    throw PortListError("Failed to get data for value " + Quoted(value_name));
  }
  std::string text(data.begin(), data.begin() + size);
  // Data may be stored with or without its terminating NUL; both give the same name.
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

class RegistryPortNames : public PortNames {
 public:
  std::string GetSerialPortNames() override {
    OpenKey key;
    std::vector<std::string> ports;
    for (const std::string& value_name : ValueNames(key.get())) {
      ports.push_back(ValueText(key.get(), value_name));
    }
    return JoinPortNames(ports);
  }
};

}  // namespace

std::unique_ptr<PortNames> MakePortNames() { return std::make_unique<RegistryPortNames>(); }

}  // namespace strikewell
