#include "tower/protocol.h"

#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/network.h"

namespace strikewell {
namespace {

using Json = nlohmann::json;
using Kind = ServerEvent::Kind;

ServerEvent Ignored(std::string why) {
  ServerEvent event;
  event.ignored_because = std::move(why);
  return event;
}

ServerEvent Of(Kind kind) {
  ServerEvent event;
  event.kind = kind;
  return event;
}

// The deepest nesting of arrays and objects outside strings; stops counting once
// past the limit.
bool NestedTooDeep(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') in_string = true;
    if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return true;
    }
    if (c == ']' || c == '}') --depth;
  }
  return false;
}

// Parsed JSON, or discarded (is_discarded()) when it is not JSON or nests too deep.
Json Parse(std::string_view text) {
  if (NestedTooDeep(text)) return Json(Json::value_t::discarded);
  return Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
}

// A JSON integer (never a float, string or boolean) within [low, high].
std::optional<int64_t> Integer(const Json& object, const char* name, int64_t low, int64_t high) {
  const auto it = object.find(name);
  if (it == object.end()) return std::nullopt;
  int64_t value = 0;
  if (it->is_number_unsigned()) {
    const uint64_t u = it->get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    value = static_cast<int64_t>(u);
  } else if (it->is_number_integer()) {
    value = it->get<int64_t>();
  } else {
    return std::nullopt;
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::optional<bool> Boolean(const Json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

// Every bell's state: an array of 1 to kMaxBells booleans.
std::optional<std::vector<bool>> BellStates(const Json& object) {
  const auto it = object.find("global_bell_state");
  if (it == object.end() || !it->is_array() || it->empty() || it->size() > kMaxBells) {
    return std::nullopt;
  }
  std::vector<bool> bells;
  for (const Json& bell : *it) {
    if (!bell.is_boolean()) return std::nullopt;
    bells.push_back(bell.get<bool>());
  }
  return bells;
}

constexpr int64_t kMaxUserId = std::numeric_limits<int64_t>::max();

// A user id where nobody may be meant: 0, "" and null mean nobody (0).
std::optional<int64_t> UserOrNobody(const Json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end()) return std::nullopt;
  if (it->is_null() || (it->is_string() && it->get_ref<const std::string&>().empty())) return 0;
  return Integer(object, name, 0, kMaxUserId);
}

ServerEvent OpenEvent(std::string_view body) {
  const Json open = Parse(body);
  if (!open.is_object()) return Ignored("the opening is not a JSON object");
  ServerEvent event = Of(Kind::kOpen);
  // A heartbeat outside a sane range would make a lost connection go unseen for
  // ever or be declared lost at once: the usual values stand in.
  constexpr int64_t kLongestMs = 10 * 60 * 1000;
  if (const auto interval = Integer(open, "pingInterval", 1, kLongestMs)) {
    event.ping_interval_ms = *interval;
  }
  if (const auto timeout = Integer(open, "pingTimeout", 1, kLongestMs)) {
    event.ping_timeout_ms = *timeout;
  }
  return event;
}

ServerEvent NamedEvent(const std::string& name, const Json& payload) {
  if (name == "s_bad_token") return Of(Kind::kBadToken);
  if (!payload.is_object()) return Ignored(name + " without an object");
  if (name == "s_global_state") {
    auto bells = BellStates(payload);
    if (!bells) return Ignored("s_global_state without 1 to 32 booleans");
    ServerEvent event = Of(Kind::kGlobalState);
    event.bells = std::move(*bells);
    return event;
  }
  if (name == "s_bell_rung") {
    auto bells = BellStates(payload);
    const auto who = Integer(payload, "who_rang", 1, kMaxBells);
    if (!bells || !who) return Ignored("s_bell_rung without bells or who_rang");
    ServerEvent event = Of(Kind::kBellRung);
    event.bells = std::move(*bells);
    event.bell = static_cast<int32_t>(*who);
    event.disagree = Boolean(payload, "disagree").value_or(false);
    return event;
  }
  if (name == "s_assign_user") {
    const auto bell = Integer(payload, "bell", 1, kMaxBells);
    const auto user = UserOrNobody(payload, "user");
    if (!bell || !user) return Ignored("s_assign_user without a bell and a user");
    ServerEvent event = Of(Kind::kAssignUser);
    event.bell = static_cast<int32_t>(*bell);
    event.user = *user;
    return event;
  }
  if (name == "s_size_change") {
    const auto size = Integer(payload, "size", 1, kMaxBells);
    if (!size) return Ignored("s_size_change without a size of 1 to 32");
    ServerEvent event = Of(Kind::kSizeChange);
    event.size = static_cast<int32_t>(*size);
    return event;
  }
  if (name == "s_user_entered") {
    const auto user = Integer(payload, "user_id", 1, kMaxUserId);
    const auto it = payload.find("username");
    if (!user || it == payload.end() || !it->is_string()) {
      return Ignored("s_user_entered without a user_id and a username");
    }
    ServerEvent event = Of(Kind::kUserEntered);
    event.user = *user;
    event.username = it->get<std::string>();
    return event;
  }
  if (name == "s_user_left") {
    const auto user = Integer(payload, "user_id", 1, kMaxUserId);
    if (!user) return Ignored("s_user_left without a user_id");
    ServerEvent event = Of(Kind::kUserLeft);
    event.user = *user;
    event.kicked = Boolean(payload, "kicked").value_or(false);
    return event;
  }
  return Ignored("the event " + name.substr(0, 40) + " is not one this program follows");
}

ServerEvent EventMessage(std::string_view body) {
  // A namespace other than the main one ("42/chat,[...]") is not the tower's.
  if (!body.empty() && body.front() != '[') return Ignored("not an event of the main namespace");
  const Json event = Parse(body);
  if (!event.is_array() || event.empty() || !event[0].is_string()) {
    return Ignored("the event is not a JSON array that starts with a name");
  }
  const Json payload = event.size() > 1 ? event[1] : Json();
  return NamedEvent(event[0].get<std::string>(), payload);
}

Json Object(std::initializer_list<std::pair<const std::string, Json>> fields) {
  Json object = Json::object();
  for (const auto& [name, value] : fields) object[name] = value;
  return object;
}

std::string Event(const char* name, const Json& payload) {
  // A token with bytes that are not UTF-8 (it came from the server) is sent with
  // them replaced rather than stopping the program.
  return "42" + Json::array({name, payload}).dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

ServerEvent DecodeMessage(std::string_view message) {
  if (message.size() > kMaxMessageBytes) return Ignored("the message is too large");
  if (message.empty()) return Ignored("the message is empty");
  const char type = message.front();
  const std::string_view rest = message.substr(1);
  switch (type) {
    case '0':
      return OpenEvent(rest);
    case '1':
      return Of(Kind::kDisconnected);
    case '2':
      // A probe ("2probe") belongs to a transport upgrade, which never happens here.
      if (!rest.empty()) return Ignored("a ping that carries data");
      return Of(Kind::kPing);
    case '4':
      break;
    default:
      return Ignored("not an Engine.IO message this client expects");
  }
  if (rest.empty()) return Ignored("a message without a Socket.IO packet");
  switch (rest.front()) {
    case '0':
      return Of(Kind::kConnected);
    case '1':
    case '4':
      // Disconnected, or the connection to the namespace was refused.
      return Of(Kind::kDisconnected);
    case '2':
      return EventMessage(rest.substr(1));
    default:
      return Ignored("not a Socket.IO packet this client follows");
  }
}

std::optional<std::string> JsonStringField(std::string_view text, const char* name) {
  if (text.size() > kMaxMessageBytes) return std::nullopt;
  const Json object = Parse(text);
  if (!object.is_object()) return std::nullopt;
  const auto it = object.find(name);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::string JoinMessage(int64_t tower_id, const std::string& user_token) {
  return Event(
      "c_join",
      Object({{"tower_id", tower_id}, {"user_token", user_token}, {"anonymous_user", false}}));
}

std::string RequestGlobalStateMessage(int64_t tower_id) {
  return Event("c_request_global_state", Object({{"tower_id", tower_id}}));
}

std::string BellRungMessage(int32_t bell, bool stroke, int64_t tower_id) {
  return Event("c_bell_rung", Object({{"bell", bell}, {"stroke", stroke}, {"tower_id", tower_id}}));
}

}  // namespace strikewell
