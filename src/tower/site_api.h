// The site's web interface: a login token for an email and password, the account
// behind a token, and a tower's name and socket server.
#pragma once

#include <cstdint>
#include <string>

#include "platform/network.h"

namespace strikewell {

// How long one request may take before it counts as failed.
inline constexpr int32_t kSiteTimeoutMs = 15000;

struct SiteAnswer {
  enum class Outcome {
    kOk,
    kRefused,       // 401: the email and password, or the token, were not accepted
    kUnknownTower,  // 404 for a tower
    kFailed,        // anything else: `failure` says what, in a sentence
  };
  Outcome outcome = Outcome::kFailed;
  std::string failure;
};

// POST /api/tokens with HTTP Basic: token set on kOk.
SiteAnswer FetchToken(Network& network, const std::string& server, const std::string& email,
                      const std::string& password, std::string& token);
// GET /api/user: username set on kOk.
SiteAnswer FetchUser(Network& network, const std::string& server, const std::string& token,
                     std::string& username);
// GET /api/tower/NUMBER: its name and the address of the socket server it lives on.
SiteAnswer FetchTower(Network& network, const std::string& server, const std::string& token,
                      int64_t tower, std::string& name, std::string& server_address);

// The sentence for a connection that failed to reach the site or a socket server,
// from the system's reason: unreachable, certificate refused, protocol changed.
std::string FailureSentence(const std::string& url, const std::string& error);

// RFC 4648 base64, for HTTP Basic.
std::string Base64(const std::string& bytes);

}  // namespace strikewell
