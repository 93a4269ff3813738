#include "tower/site_api.h"

#include <optional>

#include "tower/address.h"
#include "tower/protocol.h"

namespace strikewell {
namespace {

using Outcome = SiteAnswer::Outcome;

SiteAnswer Answer(Outcome outcome, std::string failure = "") {
  return SiteAnswer{outcome, std::move(failure)};
}

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// What an answer that is neither success nor a refusal means.
SiteAnswer Unexpected(const std::string& url, const HttpResponse& response, const char* asked) {
  if (response.status == 0) return Answer(Outcome::kFailed, FailureSentence(url, response.error));
  if (response.status == 400 && Has(response.body, "unsupported version")) {
    return Answer(Outcome::kFailed, FailureSentence(url, "HTTP 400 unsupported version"));
  }
  return Answer(Outcome::kFailed, "Ringing Room (" + HostOf(url) + ") answered HTTP " +
                                      std::to_string(response.status) + " when asked for " + asked +
                                      ".");
}

SiteAnswer Malformed(const std::string& url, const char* asked) {
  return Answer(Outcome::kFailed, "Ringing Room (" + HostOf(url) + ") sent " + asked +
                                      " in a form this version of strikewell does not know.");
}

HttpRequest Get(const std::string& url, const std::string& token) {
  HttpRequest request;
  request.url = url;
  request.headers = {"Authorization: Bearer " + token, "Accept: application/json"};
  return request;
}

}  // namespace

std::string Base64(const std::string& bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t k = 0;
  for (; k + 2 < bytes.size(); k += 3) {
    const uint32_t v = static_cast<uint8_t>(bytes[k]) << 16 |
                       static_cast<uint8_t>(bytes[k + 1]) << 8 | static_cast<uint8_t>(bytes[k + 2]);
    out += {kDigits[v >> 18], kDigits[(v >> 12) & 63], kDigits[(v >> 6) & 63], kDigits[v & 63]};
  }
  if (k + 1 == bytes.size()) {
    const uint32_t v = static_cast<uint8_t>(bytes[k]) << 16;
    out += {kDigits[v >> 18], kDigits[(v >> 12) & 63], '=', '='};
  } else if (k + 2 == bytes.size()) {
    const uint32_t v = static_cast<uint8_t>(bytes[k]) << 16 | static_cast<uint8_t>(bytes[k + 1])
                                                                  << 8;
    out += {kDigits[v >> 18], kDigits[(v >> 12) & 63], kDigits[(v >> 6) & 63], '='};
  }
  return out;
}

std::string FailureSentence(const std::string& url, const std::string& error) {
  const std::string host = HostOf(url);
  if (Has(error, "unsupported version")) {
    return "Ringing Room's protocol has changed (" + host +
           " answered \"unsupported version\"): this version of strikewell cannot ring there.";
  }
  if (Has(error, "certificate") || Has(error, "12157") || Has(error, "12175")) {
    return "The certificate of " + host + " was refused: " + error;
  }
  return "Ringing Room (" + host + ") could not be reached: " + error;
}

SiteAnswer FetchToken(Network& network, const std::string& server, const std::string& email,
                      const std::string& password, std::string& token) {
  HttpRequest request;
  request.method = "POST";
  request.url = server + "/api/tokens";
  request.headers = {"Authorization: Basic " + Base64(email + ":" + password),
                     "Accept: application/json"};
  const HttpResponse response = network.Fetch(request, kSiteTimeoutMs);
  if (response.status == 401) return Answer(Outcome::kRefused);
  if (response.status != 200) return Unexpected(request.url, response, "a login token");
  const auto found = JsonStringField(response.body, "token");
  if (!found || found->empty()) return Malformed(request.url, "a login token");
  token = *found;
  return Answer(Outcome::kOk);
}

SiteAnswer FetchUser(Network& network, const std::string& server, const std::string& token,
                     std::string& username) {
  const HttpRequest request = Get(server + "/api/user", token);
  const HttpResponse response = network.Fetch(request, kSiteTimeoutMs);
  if (response.status == 401) return Answer(Outcome::kRefused);
  if (response.status != 200) return Unexpected(request.url, response, "the account");
  const auto found = JsonStringField(response.body, "username");
  if (!found) return Malformed(request.url, "the account");
  username = *found;
  return Answer(Outcome::kOk);
}

SiteAnswer FetchTower(Network& network, const std::string& server, const std::string& token,
                      int64_t tower, std::string& name, std::string& server_address) {
  const HttpRequest request = Get(server + "/api/tower/" + std::to_string(tower), token);
  const HttpResponse response = network.Fetch(request, kSiteTimeoutMs);
  if (response.status == 401) return Answer(Outcome::kRefused);
  if (response.status == 404) return Answer(Outcome::kUnknownTower);
  if (response.status != 200) return Unexpected(request.url, response, "the tower");
  const auto found_name = JsonStringField(response.body, "tower_name");
  const auto found_address = JsonStringField(response.body, "server_address");
  if (!found_name || !found_address) return Malformed(request.url, "the tower");
  name = *found_name;
  server_address = *found_address;
  return Answer(Outcome::kOk);
}

}  // namespace strikewell
