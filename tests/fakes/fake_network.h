// Ringing Room in fake time: the site's web interface (users, tokens, towers) and
// the towers' socket server (joins, state, assignments, rings echoed to everyone),
// as the service's public interface behaves, with scripted faults: connections
// dropped, reconnections refused for a while, pings that stop, and any message
// sent at a given time. Every message a client sends is recorded with its time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "platform/network.h"

namespace strikewell::testing {

class FakeNetwork : public Network {
 public:
  explicit FakeNetwork(FakeClock& clock) : clock_(clock) {}
  ~FakeNetwork() override;

  // --- The site
  struct User {
    std::string email;
    std::string password;
    std::string username;
    int64_t id = 0;
  };
  void AddUser(const User& user) { users_.push_back(user); }
  // A token for the user, as a login earlier would have given.
  std::string TokenFor(const std::string& email);
  // Every token given so far stops being accepted (they last 24 hours).
  void ExpireTokens() { tokens_.clear(); }

  struct Tower {
    int64_t number = 0;
    std::string name{};
    // What the site names as the tower's socket server; the fake serves every url.
    std::string server_address = "https://ringingroom.com/";
    std::vector<bool> bells = std::vector<bool>(8, true);  // true: next is handstroke
    std::map<int32_t, int64_t> assigned{};                 // bell -> user id
  };
  void AddTower(const Tower& tower) { towers_[tower.number] = tower; }
  Tower& TowerNumber(int64_t number) { return towers_.at(number); }

  // Answered instead of the site for this exact url.
  std::map<std::string, HttpResponse> canned_responses;
  std::vector<HttpRequest> requests;  // every request, in order

  HttpResponse Fetch(const HttpRequest& request, int32_t timeout_ms) override;

  // --- The socket server
  std::unique_ptr<WebSocket> OpenWebSocket(const std::string& url) override;

  struct Sent {
    int64_t at_us;
    std::string text;
  };
  std::vector<Sent> sent;                // every message from a client, in order
  std::vector<std::string> opened_urls;  // every connection attempt

  // Time for a message to reach the other end (the same both ways).
  int64_t latency_us = 0;
  int64_t ping_interval_ms = 25000;
  int64_t ping_timeout_ms = 20000;
  // While set, every connection attempt fails with this reason (as a closed
  // port or an old protocol would make it fail).
  std::string refuse_with;

  // At at_ms: every connection is closed by the server; new ones are refused for
  // refuse_ms ("Connection refused").
  void DropAt(int64_t at_ms, int64_t refuse_ms = 0);
  // From at_ms the server sends no more pings (and nothing else unasked).
  void StopPingingAt(int64_t at_ms);
  // At at_ms, message goes to every connection that has joined a tower.
  void SendAt(int64_t at_ms, std::string message);
  // At at_ms the host assigns bell to user (0: nobody), and every member hears it.
  void AssignAt(int64_t at_ms, int64_t tower, int32_t bell, int64_t user);
  // At at_ms the host changes the tower's number of bells.
  void SizeChangeAt(int64_t at_ms, int64_t tower, int32_t size);
  // At at_ms the host removes the user from the tower.
  void KickAt(int64_t at_ms, int64_t tower, int64_t user);
  // At at_ms another member rings bell at its current stroke.
  void OtherRingsAt(int64_t at_ms, int64_t tower, int32_t bell);

  // What the server did with each c_bell_rung that it received.
  struct Rung {
    int64_t at_us;  // when the server received it
    int32_t bell;
    bool stroke;
    bool disagree;
  };
  std::vector<Rung> rungs;

  // The time of the first news (or scripted action) for any open connection; the
  // wait sleeps until then.
  std::optional<int64_t> NextNewsAt();

  // Carries out every scripted action and ping due by now.
  void RunUntilNow();

 private:
  struct Connection;
  class Socket;
  void Schedule(int64_t at_us, std::function<void()> action);
  void Deliver(Connection& to, SocketNews::Kind kind, const std::string& text, int64_t at_us);
  void Receive(Connection& from, const std::string& text);
  void ToMembers(int64_t tower, const std::string& message, int64_t at_us);
  void Ring(int64_t tower, int32_t bell, bool stroke, int64_t at_us);
  bool ValidToken(const std::string& token, User& user) const;

  FakeClock& clock_;
  std::vector<User> users_;
  std::map<std::string, std::string> tokens_;  // token -> email
  std::map<int64_t, Tower> towers_;
  std::vector<std::shared_ptr<Connection>> connections_;
  struct Action {
    int64_t at_us;
    std::function<void()> run;
  };
  std::vector<Action> actions_;  // in time order
  int64_t refuse_until_us_ = -1;
  int64_t pings_stop_us_ = -1;
  int64_t next_sid_ = 1;
};

}  // namespace strikewell::testing
