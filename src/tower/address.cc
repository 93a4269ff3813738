#include "tower/address.h"

#include <algorithm>

namespace strikewell {
namespace {

bool Digits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// 127.0.0.0/8 written as four decimal parts.
bool LoopbackV4(const std::string& host) {
  int parts = 0;
  size_t start = 0;
  while (start <= host.size()) {
    const size_t dot = std::min(host.find('.', start), host.size());
    const std::string part = host.substr(start, dot - start);
    if (!Digits(part) || part.size() > 3 || std::stoi(part) > 255) return false;
    if (parts == 0 && part != "127") return false;
    ++parts;
    start = dot + 1;
  }
  return parts == 4;
}

bool Loopback(const std::string& host) {
  return host == "localhost" || host == "[::1]" || LoopbackV4(host);
}

bool HostCharacters(const std::string& host) {
  if (host == "[::1]") return true;
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
  });
}

struct SplitUrl {
  std::string scheme;     // "https" or "http"
  std::string authority;  // host[:port], the host in lower case
  std::string host;
  std::string path;  // from the first "/" on, or ""
};

// "" and the parts, or what is wrong.
std::string Split(const std::string& url, SplitUrl& split) {
  const size_t colon = url.find("://");
  if (colon == std::string::npos) return "is not a web address (https://...)";
  split.scheme = Lower(url.substr(0, colon));
  if (split.scheme != "https" && split.scheme != "http") {
    return "is not a web address (https://...)";
  }
  const size_t start = colon + 3;
  const size_t slash = std::min(url.find_first_of("/?#", start), url.size());
  split.authority = Lower(url.substr(start, slash - start));
  split.path = url.substr(slash);
  // The port, if any, follows the last colon outside an IPv6 literal's brackets.
  const size_t bracket = split.authority.rfind(']');
  const size_t port_colon = split.authority.rfind(':');
  split.host = split.authority;
  if (port_colon != std::string::npos && (bracket == std::string::npos || port_colon > bracket)) {
    const std::string port = split.authority.substr(port_colon + 1);
    if (!Digits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535) {
      return "has no valid port number";
    }
    split.host = split.authority.substr(0, port_colon);
  }
  if (!HostCharacters(split.host)) return "has no valid host name";
  return "";
}

// "" when the scheme may be used with this host.
std::string SchemeAllowed(const SplitUrl& split, const std::string& url) {
  if (split.scheme == "http" && !Loopback(split.host)) {
    return "Ringing Room's address must start with https:// so that the password is never "
           "sent unencrypted (http:// only for localhost): " +
           url;
  }
  return "";
}

}  // namespace

std::string CheckSiteAddress(const std::string& url, std::string& base) {
  SplitUrl split;
  if (const std::string wrong = Split(url, split); !wrong.empty()) {
    return "The Ringing Room address " + url + " " + wrong + ".";
  }
  if (std::string refused = SchemeAllowed(split, url); !refused.empty()) return refused;
  std::string path = split.path.substr(0, split.path.find_first_of("?#"));
  while (!path.empty() && path.back() == '/') path.pop_back();
  base = split.scheme + "://" + split.authority + path;
  return "";
}

int64_t TowerNumber(const std::string& text) {
  if (!Digits(text) || text.size() > 15) return 0;
  return std::stoll(text);
}

TowerChoice ChooseTower(const std::string& tower, const std::string& server) {
  TowerChoice choice;
  std::string site = server.empty() ? kDefaultServer : server;
  if (tower.find("://") != std::string::npos) {
    // A whole address: the site is what comes before the tower's number.
    SplitUrl split;
    if (const std::string wrong = Split(tower, split); !wrong.empty()) {
      choice.error = "The tower address " + tower + " " + wrong + ".";
      return choice;
    }
    const size_t start = split.path.find_first_not_of('/');
    const std::string first =
        start == std::string::npos
            ? ""
            : split.path.substr(start, split.path.find_first_of("/?#", start) - start);
    choice.tower = TowerNumber(first);
    if (choice.tower == 0) {
      choice.error = "The tower address " + tower +
                     " names no tower number (such as https://ringingroom.com/123456789/name).";
      return choice;
    }
    site = split.scheme + "://" + split.authority;
  } else if (!tower.empty()) {
    choice.tower = TowerNumber(tower);
    if (choice.tower == 0) {
      choice.error = "--tower needs the tower's number or its whole address, not " + tower + ".";
      return choice;
    }
  }
  choice.error = CheckSiteAddress(site, choice.server);
  return choice;
}

std::string SocketUrl(const std::string& server_address, std::string& error) {
  SplitUrl split;
  if (const std::string wrong = Split(server_address, split); !wrong.empty()) {
    error = "Ringing Room named a socket server that " + wrong + ": " + server_address;
    return "";
  }
  if (error = SchemeAllowed(split, server_address); !error.empty()) return "";
  std::string path = split.path.substr(0, split.path.find_first_of("?#"));
  if (path.empty() || path.back() != '/') path += '/';
  return (split.scheme == "https" ? "wss://" : "ws://") + split.authority + path +
         "socket.io/?EIO=4&transport=websocket";
}

std::string HostOf(const std::string& url) {
  const size_t colon = url.find("://");
  const size_t start = colon == std::string::npos ? 0 : colon + 3;
  std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
  if (authority.starts_with("[")) return authority.substr(0, authority.find(']') + 1);
  return authority.substr(0, authority.find(':'));
}

}  // namespace strikewell
