// The login kept between runs (through LoginStore): the token the site gave, the
// account's email, the site, and the last tower rung. Never the password.
#pragma once

#include <cstdint>
#include <string>

namespace strikewell {

struct KeptLogin {
  std::string token{};
  std::string email{};
  std::string server{};  // the site's base address
  int64_t tower = 0;     // 0: no tower kept
  std::string tower_name{};

  bool operator==(const KeptLogin&) const = default;
};

// One "name=value" line per field, in a fixed order: token, email, server, tower,
// tower_name. Characters that would end a line are left out of the values.
std::string KeptLoginText(const KeptLogin& login);

// Reads what KeptLoginText wrote; lines it does not know, and values that are not
// what they should be, are passed over, so a damaged file only loses those fields.
KeptLogin ParseKeptLogin(const std::string& text);

}  // namespace strikewell
