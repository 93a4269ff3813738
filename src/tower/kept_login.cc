#include "tower/kept_login.h"

#include "tower/address.h"

namespace strikewell {
namespace {

std::string Line(const char* name, const std::string& value) {
  std::string line = std::string(name) + "=";
  for (const char c : value) {
    if (c != '\n' && c != '\r') line += c;
  }
  return line + "\n";
}

}  // namespace

std::string KeptLoginText(const KeptLogin& login) {
  return Line("token", login.token) + Line("email", login.email) + Line("server", login.server) +
         Line("tower", login.tower > 0 ? std::to_string(login.tower) : "") +
         Line("tower_name", login.tower_name);
}

KeptLogin ParseKeptLogin(const std::string& text) {
  KeptLogin login;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (name == "token") login.token = value;
    if (name == "email") login.email = value;
    if (name == "server") login.server = value;
    if (name == "tower") login.tower = TowerNumber(value);
    if (name == "tower_name") login.tower_name = value;
  }
  return login;
}

}  // namespace strikewell
