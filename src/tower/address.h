// The addresses strikewell reaches Ringing Room at: the site (--server, or the one a
// whole tower address names), the tower's number, and the socket server a tower
// lives on. A password never crosses a network unencrypted, so plain http:// is
// taken only for this computer's own loopback addresses.
#pragma once

#include <cstdint>
#include <string>

namespace strikewell {

inline constexpr const char* kDefaultServer = "https://ringingroom.com";

// A site's address, checked: "" and base set to "https://host[:port][/path]" without
// a trailing slash, or the sentence that says what is wrong with it.
std::string CheckSiteAddress(const std::string& url, std::string& base);

// What --tower and --server name together.
struct TowerChoice {
  std::string server;  // the site's base address (CheckSiteAddress)
  int64_t tower = 0;   // the tower's number; 0 when --tower was not given
  std::string error;   // the sentence for the ringer when the two cannot be used
};

// tower: "" (not given), the tower's number, or its whole address as the browser
// shows it ("https://ringingroom.com/123456789/st-marys"), which also names the site;
// server: --server's value, "" for the default.
TowerChoice ChooseTower(const std::string& tower, const std::string& server);

// The tower's number as typed: digits only, at most 15 of them; 0 when it is not one.
int64_t TowerNumber(const std::string& text);

// The WebSocket address of Engine.IO on the socket server whose address the site
// gave for a tower ("https://ringingroom.com/"), or "" with error set when the
// address is not one to connect to.
std::string SocketUrl(const std::string& server_address, std::string& error);

// The host named by an address ("ringingroom.com"), for sentences.
std::string HostOf(const std::string& url);

}  // namespace strikewell
