#include "platform/registry.h"

#include <algorithm>

namespace strikewell {
namespace {

bool NeedsQuotes(const std::string& name) {
  return std::any_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) <= ' ' || c == '"' || c == ',';
  });
}

}  // namespace

std::string JoinPortNames(const std::vector<std::string>& names) {
  // A lone empty name must still read back as one entry, so it is written as
  // two quotes rather than as the empty text that means "no ports".
  if (names.size() == 1 && names.front().empty()) return "\"\"";
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ',';
    const std::string& name = names[i];
    if (!NeedsQuotes(name)) {
      text += name;
      continue;
    }
    text += '"';
    for (char c : name) {
      if (c == '"') text += '"';
      text += c;
    }
    text += '"';
  }
  return text;
}

void ListCommPort(int32_t& SSSI, PortListType& SSS, PortNames& names) {
  std::string A = names.GetSerialPortNames();
  SSS.fill(std::string());
  SSSI = 0;
  size_t start = 0;
  while (SSSI < kMaxPorts) {
    const size_t comma = A.find(',', start);
    ++SSSI;
    SSS[SSSI] = A.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

}  // namespace strikewell
