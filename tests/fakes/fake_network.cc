#include "fake_network.h"

#include <algorithm>
#include <deque>
#include <limits>

#include <nlohmann/json.hpp>

#include "tower/site_api.h"

namespace strikewell::testing {

using Json = nlohmann::json;

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

std::string Event(const char* name, const Json& payload) {
  return "42" + Json::array({name, payload}).dump();
}

std::string Header(const HttpRequest& request, const std::string& name) {
  for (const std::string& line : request.headers) {
    if (line.starts_with(name + ": ")) return line.substr(name.size() + 2);
  }
  return "";
}

HttpResponse Response(int status, const Json& body) {
  return HttpResponse{status, body.dump(), ""};
}

}  // namespace

struct FakeNetwork::Connection {
  std::deque<SocketNews> inbox;
  int64_t opened_at_us = 0;
  bool client_alive = true;  // the client still holds its socket
  bool open = false;         // the server counts it as connected
  int64_t next_ping_us = kNever;
  int64_t tower = 0;  // the tower joined; 0: none
  int64_t user = 0;
};

class FakeNetwork::Socket : public WebSocket {
 public:
  Socket(FakeNetwork& network, std::shared_ptr<Connection> connection)
      : network_(network), connection_(std::move(connection)) {}
  ~Socket() override {
    connection_->client_alive = false;
    connection_->open = false;
  }

  void Send(const std::string& text) override {
    const int64_t now = network_.clock_.NowMicros();
    if (!connection_->open || now < connection_->opened_at_us) return;
    network_.sent.push_back({now, text});
    network_.Receive(*connection_, text);
  }

  std::optional<SocketNews> Next() override {
    network_.RunUntilNow();
    std::deque<SocketNews>& inbox = connection_->inbox;
    if (inbox.empty() || inbox.front().at_us > network_.clock_.NowMicros()) return std::nullopt;
    SocketNews news = inbox.front();
    inbox.pop_front();
    return news;
  }

 private:
  FakeNetwork& network_;
  std::shared_ptr<Connection> connection_;
};

FakeNetwork::~FakeNetwork() = default;

std::string FakeNetwork::TokenFor(const std::string& email) {
  const std::string token = "token-" + std::to_string(tokens_.size() + 1) + "-" + email;
  tokens_[token] = email;
  return token;
}

bool FakeNetwork::ValidToken(const std::string& token, User& user) const {
  const auto it = tokens_.find(token);
  if (it == tokens_.end()) return false;
  for (const User& u : users_) {
    if (u.email == it->second) {
      user = u;
      return true;
    }
  }
  return false;
}

HttpResponse FakeNetwork::Fetch(const HttpRequest& request, int32_t) {
  requests.push_back(request);
  if (const auto canned = canned_responses.find(request.url); canned != canned_responses.end()) {
    return canned->second;
  }
  const size_t api = request.url.find("/api/");
  const std::string path = api == std::string::npos ? "" : request.url.substr(api);
  if (path == "/api/tokens" && request.method == "POST") {
    for (const User& user : users_) {
      if (Header(request, "Authorization") == "Basic " + Base64(user.email + ":" + user.password)) {
        return Response(200, {{"token", TokenFor(user.email)}, {"expiration", 86400}});
      }
    }
    return Response(401, {{"error", "Unauthorized"}});
  }
  const std::string bearer = Header(request, "Authorization");
  User user;
  if (!bearer.starts_with("Bearer ") || !ValidToken(bearer.substr(7), user)) {
    return Response(401, {{"error", "Unauthorized"}});
  }
  if (path == "/api/user") {
    return Response(200, {{"username", user.username}, {"email", user.email}});
  }
  if (path.starts_with("/api/tower/")) {
    const auto tower = towers_.find(std::atoll(path.substr(11).c_str()));
    if (tower == towers_.end()) return Response(404, {{"error", "Not found"}});
    return Response(200, {{"tower_id", tower->first},
                          {"tower_name", tower->second.name},
                          {"server_address", tower->second.server_address}});
  }
  return Response(404, {{"error", "Not found"}});
}

std::unique_ptr<WebSocket> FakeNetwork::OpenWebSocket(const std::string& url) {
  opened_urls.push_back(url);
  auto connection = std::make_shared<Connection>();
  connections_.push_back(connection);
  const int64_t now = clock_.NowMicros();
  const int64_t at = now + latency_us;
  if (!refuse_with.empty()) {
    Deliver(*connection, SocketNews::Kind::kClosed, refuse_with, at);
  } else if (now < refuse_until_us_) {
    Deliver(*connection, SocketNews::Kind::kClosed, "Connection refused", at);
  } else {
    connection->open = true;
    connection->opened_at_us = at;
    connection->next_ping_us = at + ping_interval_ms * 1000;
    Deliver(*connection, SocketNews::Kind::kOpened, "", at);
    Deliver(*connection, SocketNews::Kind::kText,
            "0" + Json{{"sid", "sid" + std::to_string(next_sid_++)},
                       {"upgrades", Json::array()},
                       {"pingInterval", ping_interval_ms},
                       {"pingTimeout", ping_timeout_ms},
                       {"maxPayload", 1000000}}
                      .dump(),
            at);
  }
  return std::make_unique<Socket>(*this, connection);
}

void FakeNetwork::Deliver(Connection& to, SocketNews::Kind kind, const std::string& text,
                          int64_t at_us) {
  const SocketNews news{kind, text, at_us};
  // In time order: a ping can fall between a request and its late answer.
  const auto place =
      std::upper_bound(to.inbox.begin(), to.inbox.end(), news,
                       [](const SocketNews& a, const SocketNews& b) { return a.at_us < b.at_us; });
  to.inbox.insert(place, news);
}

void FakeNetwork::ToMembers(int64_t tower, const std::string& message, int64_t at_us) {
  for (const auto& connection : connections_) {
    if (connection->open && connection->tower == tower) {
      Deliver(*connection, SocketNews::Kind::kText, message, at_us);
    }
  }
}

void FakeNetwork::Ring(int64_t tower_number, int32_t bell, bool stroke, int64_t at_us) {
  Tower& tower = towers_.at(tower_number);
  std::vector<bool>::reference state = tower.bells[static_cast<size_t>(bell - 1)];
  const bool disagree = stroke != state;
  state = !state;
  rungs.push_back({at_us, bell, stroke, disagree});
  ToMembers(tower_number,
            Event("s_bell_rung",
                  {{"global_bell_state", tower.bells}, {"who_rang", bell}, {"disagree", disagree}}),
            at_us + latency_us);
}

void FakeNetwork::Receive(Connection& from, const std::string& text) {
  const int64_t arrives = clock_.NowMicros() + latency_us;
  const int64_t answer = arrives + latency_us;
  if (text == "40") {
    Deliver(from, SocketNews::Kind::kText, R"(40{"sid":"ns)" + std::to_string(next_sid_++) + "\"}",
            answer);
    return;
  }
  if (!text.starts_with("42")) return;
  const Json event = Json::parse(text.substr(2), nullptr, false);
  if (!event.is_array() || event.size() < 2 || !event[0].is_string() || !event[1].is_object()) {
    return;
  }
  const std::string name = event[0];
  const Json& payload = event[1];
  // The service looks a tower up by a JSON integer; anything else is a room of its
  // own, where nothing ever happens.
  const bool integer_tower = payload.contains("tower_id") &&
                             payload["tower_id"].is_number_integer() &&
                             towers_.contains(payload["tower_id"].get<int64_t>());
  if (name == "c_join") {
    User user;
    if (!payload.contains("user_token") || !payload["user_token"].is_string() ||
        !ValidToken(payload["user_token"], user)) {
      Deliver(from, SocketNews::Kind::kText, R"(42["s_bad_token"])", answer);
      return;
    }
    if (!integer_tower) return;
    from.tower = payload["tower_id"];
    from.user = user.id;
    ToMembers(from.tower,
              Event("s_user_entered", {{"user_id", user.id}, {"username", user.username}}), answer);
    return;
  }
  if (!integer_tower || from.tower != payload["tower_id"].get<int64_t>()) return;
  Tower& tower = towers_.at(from.tower);
  if (name == "c_request_global_state") {
    Deliver(from, SocketNews::Kind::kText,
            Event("s_global_state", {{"global_bell_state", tower.bells}}), answer);
    for (int32_t bell = 1; bell <= static_cast<int32_t>(tower.bells.size()); ++bell) {
      const auto who = tower.assigned.find(bell);
      const Json user =
          who == tower.assigned.end() || who->second == 0 ? Json("") : Json(who->second);
      Deliver(from, SocketNews::Kind::kText,
              Event("s_assign_user", {{"bell", bell}, {"user", user}}), answer);
    }
    return;
  }
  if (name == "c_bell_rung") {
    const Json& bell = payload.value("bell", Json());
    const Json& stroke = payload.value("stroke", Json());
    if (!bell.is_number_integer() || bell < 1 || bell > static_cast<int64_t>(tower.bells.size())) {
      return;
    }
    // The service takes any stroke that is true as a handstroke.
    Ring(from.tower, bell.get<int32_t>(), stroke == true, arrives);
  }
}

void FakeNetwork::Schedule(int64_t at_us, std::function<void()> action) {
  const auto place = std::upper_bound(actions_.begin(), actions_.end(), at_us,
                                      [](int64_t t, const Action& a) { return t < a.at_us; });
  actions_.insert(place, Action{at_us, std::move(action)});
}

void FakeNetwork::DropAt(int64_t at_ms, int64_t refuse_ms) {
  const int64_t at = at_ms * 1000;
  Schedule(at, [this, at, refuse_ms] {
    refuse_until_us_ = at + refuse_ms * 1000;
    for (const auto& connection : connections_) {
      if (!connection->open) continue;
      connection->open = false;
      Deliver(*connection, SocketNews::Kind::kClosed, "closed by the server", at);
    }
  });
}

void FakeNetwork::StopPingingAt(int64_t at_ms) { pings_stop_us_ = at_ms * 1000; }

void FakeNetwork::SendAt(int64_t at_ms, std::string message) {
  const int64_t at = at_ms * 1000;
  Schedule(at, [this, at, message] {
    for (const auto& connection : connections_) {
      if (connection->open && connection->tower != 0) {
        Deliver(*connection, SocketNews::Kind::kText, message, at);
      }
    }
  });
}

void FakeNetwork::AssignAt(int64_t at_ms, int64_t tower, int32_t bell, int64_t user) {
  const int64_t at = at_ms * 1000;
  Schedule(at, [this, at, tower, bell, user] {
    towers_.at(tower).assigned[bell] = user;
    ToMembers(tower, Event("s_assign_user", {{"bell", bell}, {"user", user}}), at);
  });
}

void FakeNetwork::SizeChangeAt(int64_t at_ms, int64_t tower, int32_t size) {
  const int64_t at = at_ms * 1000;
  Schedule(at, [this, at, tower, size] {
    Tower& t = towers_.at(tower);
    t.bells.assign(static_cast<size_t>(size), true);
    std::erase_if(t.assigned, [size](const auto& entry) { return entry.first > size; });
    ToMembers(tower, Event("s_size_change", {{"size", size}}), at);
  });
}

void FakeNetwork::KickAt(int64_t at_ms, int64_t tower, int64_t user) {
  const int64_t at = at_ms * 1000;
  Schedule(at, [this, at, tower, user] {
    ToMembers(tower, Event("s_user_left", {{"user_id", user}, {"kicked", true}}), at);
    for (const auto& connection : connections_) {
      if (connection->tower == tower && connection->user == user) connection->tower = 0;
    }
  });
}

void FakeNetwork::OtherRingsAt(int64_t at_ms, int64_t tower, int32_t bell) {
  const int64_t at = at_ms * 1000;
  Schedule(at, [this, at, tower, bell] {
    Ring(tower, bell, towers_.at(tower).bells[static_cast<size_t>(bell - 1)], at);
  });
}

void FakeNetwork::RunUntilNow() {
  const int64_t now = clock_.NowMicros();
  for (;;) {
    // The earliest of the next scripted action and the next ping.
    int64_t next = actions_.empty() ? kNever : actions_.front().at_us;
    Connection* pinged = nullptr;
    for (const auto& connection : connections_) {
      if (!connection->open || !connection->client_alive) continue;
      if (pings_stop_us_ >= 0 && connection->next_ping_us >= pings_stop_us_) continue;
      if (connection->next_ping_us < next) {
        next = connection->next_ping_us;
        pinged = connection.get();
      }
    }
    if (next > now) return;
    if (pinged != nullptr) {
      Deliver(*pinged, SocketNews::Kind::kText, "2", next);
      pinged->next_ping_us += ping_interval_ms * 1000;
      continue;
    }
    const Action action = actions_.front();
    actions_.erase(actions_.begin());
    action.run();
  }
}

std::optional<int64_t> FakeNetwork::NextNewsAt() {
  RunUntilNow();
  int64_t next = actions_.empty() ? kNever : actions_.front().at_us;
  for (const auto& connection : connections_) {
    if (!connection->client_alive) continue;
    if (!connection->inbox.empty()) next = std::min(next, connection->inbox.front().at_us);
    const bool pinging = pings_stop_us_ < 0 || connection->next_ping_us < pings_stop_us_;
    if (connection->open && pinging) next = std::min(next, connection->next_ping_us);
  }
  if (next == kNever) return std::nullopt;
  return next;
}

}  // namespace strikewell::testing
