// Ringing Room's own connection: requests to its web site (HTTPS) and one WebSocket
// to a tower's socket server that carries text messages both ways. Abstract so that
// the tower's logic runs against a scripted server in fake time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace strikewell {

// Nothing a server sends is trusted: a response body or a received message longer
// than this is refused whole (the request fails; the message is dropped).
inline constexpr size_t kMaxResponseBytes = 256 * 1024;
inline constexpr size_t kMaxMessageBytes = 256 * 1024;

struct HttpRequest {
  std::string method = "GET";  // "GET" or "POST"
  // https://host[:port]/path?query; http:// only where the caller allows it (loopback).
  std::string url;
  // Whole header lines without their line end, e.g. "Authorization: Bearer abc".
  std::vector<std::string> headers;
  std::string body;  // sent with POST; Content-Type comes with the headers
};

struct HttpResponse {
  // The HTTP status; 0 when no response came, and error then says why in the
  // system's words ("Connection refused", "certificate verify failed: hostname
  // mismatch (host ringingroom.com)", "timed out", "response too large").
  int status = 0;
  std::string body;
  std::string error;
};

// What a WebSocket has to tell its owner, in the order it happened.
struct SocketNews {
  enum class Kind {
    kOpened,  // the upgrade succeeded: messages can be sent
    kText,    // a text message arrived (binary messages are dropped by the backend)
    kClosed,  // the connection has ended or never opened; nothing more will come
  };
  Kind kind = Kind::kText;
  // kText: the message. kClosed: why, in the system's words ("Connection refused",
  // "HTTP 400 unsupported version", "closed by the server"), for the ringer.
  std::string text;
  int64_t at_us = 0;  // monotonic time (Clock::MonotonicMicros) when it was received
};

// One WebSocket connection. Destroying it closes the connection at once, without
// waiting for the peer.
class WebSocket {
 public:
  virtual ~WebSocket() = default;
  // Queues a text message and returns at once; it leaves as soon as the connection
  // can take it, never held back for an acknowledgement of an earlier one
  // (TCP_NODELAY). Ignored unless the socket is open.
  virtual void Send(const std::string& text) = 0;
  // The oldest news not yet taken; never blocks. The counting loop's wait says when
  // there may be some (WaitFor::network).
  virtual std::optional<SocketNews> Next() = 0;
};

class Network {
 public:
  virtual ~Network() = default;
  // Blocks until the whole response has come, the request has failed, or timeout_ms
  // has passed. The server's certificate and host name are always verified against
  // the system's trusted authorities; nothing switches that off.
  virtual HttpResponse Fetch(const HttpRequest& request, int32_t timeout_ms) = 0;
  // Starts connecting to url (wss://host[:port]/path?query, or ws:// where the
  // caller allows it) and returns at once: its first news is kOpened or kClosed.
  virtual std::unique_ptr<WebSocket> OpenWebSocket(const std::string& url) = 0;
};

// Where a login to Ringing Room is kept between runs, for this user only: a small
// text the logic writes and reads. Abstract so that tests keep it in memory.
class LoginStore {
 public:
  virtual ~LoginStore() = default;
  // The kept text, or nullopt when none is kept (or it cannot be read or
  // unprotected: then error says why, else error is left empty).
  virtual std::optional<std::string> Read(std::string& error) = 0;
  // Replaces the kept text in one step; readable by this user only. False with
  // error set when it could not be kept.
  virtual bool Write(const std::string& text, std::string& error) = 0;
  // Removes the kept text; true when none is kept afterwards.
  virtual bool Remove(std::string& error) = 0;
  // Where it is kept, for the ringer ("/home/ann/.config/strikewell/ringingroom").
  virtual std::string Where() = 0;
};

}  // namespace strikewell
