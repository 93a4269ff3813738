// Ringing Room's Socket.IO conversation, as text: the Engine.IO 4 / Socket.IO 5
// framing of each WebSocket message, the decoding of what the server sends into
// typed events, and the encoding of the few events this program sends.
//
// Nothing a server sends is trusted: the decoder is a pure function of one message
// that answers either an event whose every field has been checked for type and
// range, or "ignored" with the reason. It never throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace strikewell {

// No tower has more bells than this; a state naming more is not believed.
inline constexpr int32_t kMaxBells = 32;
// Deeper nesting than this is never in the server's events; refusing it before
// parsing keeps a hostile message from costing stack or time.
inline constexpr int kMaxJsonDepth = 16;

// The Engine.IO heartbeat the server announces when it opens (its usual values).
inline constexpr int64_t kDefaultPingIntervalMs = 25000;
inline constexpr int64_t kDefaultPingTimeoutMs = 20000;

struct ServerEvent {
  enum class Kind {
    kIgnored,       // nothing to act on: see `ignored_because`
    kOpen,          // "0{...}": the Engine.IO session is open; send kConnectMessage
    kConnected,     // "40{...}": the Socket.IO namespace is joined; join the tower
    kDisconnected,  // "41" or "44..." or "1": the server has ended the session
    kPing,          // "2": answer kPongMessage at once
    kGlobalState,   // s_global_state: bells
    kAssignUser,    // s_assign_user: bell, user
    kBellRung,      // s_bell_rung: bells, who_rang, disagree
    kSizeChange,    // s_size_change: size
    kUserEntered,   // s_user_entered: user, username
    kUserLeft,      // s_user_left: user, kicked
    kBadToken,      // s_bad_token: the tower refused the login token
  };
  Kind kind = Kind::kIgnored;
  std::string ignored_because;

  int64_t ping_interval_ms = kDefaultPingIntervalMs;  // kOpen
  int64_t ping_timeout_ms = kDefaultPingTimeoutMs;    // kOpen
  // kGlobalState, kBellRung: per bell from bell 1, true when its next blow is a
  // handstroke.
  std::vector<bool> bells;
  int32_t bell = 0;       // kAssignUser: 1-based; kBellRung: who_rang
  int64_t user = 0;       // kAssignUser (0: nobody), kUserEntered, kUserLeft
  bool disagree = false;  // kBellRung: the stroke sent was not the server's
  int32_t size = 0;       // kSizeChange
  std::string username;   // kUserEntered
  bool kicked = false;    // kUserLeft
};

// Decodes one text message from the tower's socket.
ServerEvent DecodeMessage(std::string_view message);

// What this program sends.
inline constexpr const char* kConnectMessage = "40";
inline constexpr const char* kPongMessage = "3";
std::string JoinMessage(int64_t tower_id, const std::string& user_token);
std::string RequestGlobalStateMessage(int64_t tower_id);
// stroke: the bell's state as last heard from the server (true: handstroke).
std::string BellRungMessage(int32_t bell, bool stroke, int64_t tower_id);

// The string member `name` of the JSON object that text holds, checked as the
// decoder checks messages; nullopt when text is not such an object or the member is
// missing or not a string.
std::optional<std::string> JsonStringField(std::string_view text, const char* name);

}  // namespace strikewell
