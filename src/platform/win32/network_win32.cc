// Ringing Room's connection on Windows: WinHTTP (Windows 8 and later) for the web
// requests and the WebSocket, with the system's trusted certificates and proxy
// settings. A WebSocket runs in two threads of its own, one that connects and then
// receives and one that sends, so that nothing the counting loop calls ever waits
// for the network; their news reaches the loop through an event the wait watches.
#include "platform/win32/network_win32.h"

#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/backends.h"
#include "platform/background_closer.h"
#include "strikewell_version.h"

namespace strikewell {

std::string Utf8FromWide(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(std::max(length, 0)), '\0');
  if (length > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length,
                        nullptr, nullptr);
  }
  return text;
}

namespace {

// Each step of opening a WebSocket (name, connection, TLS, the upgrade's answer)
// gives up after this long.
constexpr DWORD kUpgradeTimeoutMs = 10000;
// The part of a refused upgrade's answer that is kept for the ringer.
constexpr size_t kRefusalBodyBytes = 200;
constexpr DWORD kReceiveChunk = 64 * 1024;
// How long a closing WebSocket waits for its receive to end. WinHttpWebSocketShutdown
// wakes it under Wine (in about a millisecond), and on Windows as soon as the server
// answers the close; a server that has gone answers nothing, and then closing the
// handle cancels the receive on Windows.
constexpr auto kShutdownGrace = std::chrono::milliseconds(200);
constexpr auto kCancelGrace = std::chrono::milliseconds(1000);

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(std::max(length, 0)), L'\0');
  if (length > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
  }
  return wide;
}

// What a server wrote, fit for one line on the ringer's screen: controls and
// characters outside printable ASCII become blanks, runs of blanks one.
std::string OneLine(const std::string& text, size_t limit) {
  std::string line;
  for (const char c : text) {
    const bool printable = c > ' ' && c < 0x7f;
    if (printable) {
      line += c;
    } else if (!line.empty() && line.back() != ' ') {
      line += ' ';
    }
    if (line.size() >= limit) break;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// Where a request goes, as WinHTTP takes it.
struct Target {
  bool secure = false;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;  // with the query
  std::string name;   // "host:port", for the ringer
};

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The target of url (http or https; ws and wss with websocket), or nullopt with
// error set.
std::optional<Target> ParseUrl(const std::string& url, bool websocket, std::string& error) {
  std::string http_url;
  if (websocket && StartsWith(url, "wss://")) {
    http_url = "https://" + url.substr(6);
  } else if (websocket && StartsWith(url, "ws://")) {
    http_url = "http://" + url.substr(5);
  } else if (!websocket && (StartsWith(url, "https://") || StartsWith(url, "http://"))) {
    http_url = url;
  } else {
    error = "not a " + std::string(websocket ? "ws:// or wss://" : "http:// or https://") +
            " address: " + OneLine(url, kRefusalBodyBytes);
    return std::nullopt;
  }
  const std::wstring wide = Wide(http_url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts) ||
      parts.dwHostNameLength == 0) {
    error = "not a valid address: " + OneLine(url, kRefusalBodyBytes);
    return std::nullopt;
  }
  Target target;
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.port = parts.nPort;
  if (parts.lpszUrlPath != nullptr) target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) {
    target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  }
  if (target.path.empty()) target.path = L"/";
  target.name = Utf8FromWide(target.host) + ":" + std::to_string(target.port);
  return target;
}

// Why a certificate was refused, from the flags of WINHTTP_CALLBACK_STATUS_SECURE_FAILURE.
std::string CertificateWords(DWORD flags) {
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) return "it names another host";
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) return "no trusted authority issued it";
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) {
    return "it has expired or is not valid yet";
  }
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED) return "it has been revoked";
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE) return "it is not for a web server";
  // Wine reports an untrusted authority and another host alike, as a channel error.
  return "it is not trusted or names another host";
}

// A WinHTTP error in words, for the ringer: what failed, then the error's number.
std::string Describe(DWORD code, const Target& target, DWORD certificate_flags = 0) {
  std::string words;
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
      words = "timed out";
      break;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      words = "the server name " + Utf8FromWide(target.host) + " was not found";
      break;
    case ERROR_WINHTTP_CANNOT_CONNECT:
      words = "cannot connect to " + target.name + ": connection refused or unreachable";
      break;
    case ERROR_WINHTTP_CONNECTION_ERROR:
      words = "the connection to " + target.name + " was broken";
      break;
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      words = "the answer of " + target.name + " was not valid HTTP";
      break;
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
      // As OpenSSL's "certificate verify failed: ... (host NAME)" on Linux.
      return "certificate refused: " + CertificateWords(certificate_flags) + " (host " +
             Utf8FromWide(target.host) + ", WinHTTP error " + std::to_string(code) + ")";
    case ERROR_WINHTTP_OPERATION_CANCELLED:
      words = "cancelled";
      break;
    case ERROR_WINHTTP_SHUTDOWN:
      words = "the network service is shutting down";
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
      words = "out of memory";
      break;
    default:
      words = "the request to " + target.name + " failed";
      break;
  }
  return words + " (WinHTTP error " + std::to_string(code) + ")";
}

struct InternetCloser {
  void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, InternetCloser>;

// The flags of a refused certificate, which WinHTTP gives only to a status callback.
void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && context != 0 && info != nullptr &&
      length >= sizeof(DWORD)) {
    *reinterpret_cast<DWORD*>(context) = *static_cast<const DWORD*>(info);
  }
}

// A request on its way: its connection, its handle, when it is due to give up and
// what a refused certificate said. The certificate flags are written by the callback
// on the request's own thread, during its calls.
struct Exchange {
  Internet connection;
  Internet request;
  int64_t deadline_us = 0;  // on the clock of MakeNetwork
  DWORD certificate_flags = 0;
};

// Opens method path on target with every step limited to timeout_ms; false with
// error set when it could not be opened. redirects are never followed: a login's
// Authorization header must not travel to wherever a server points.
bool OpenExchange(HINTERNET session, const Target& target, const wchar_t* method, DWORD timeout_ms,
                  Clock& clock, Exchange& exchange, std::string& error) {
  exchange.deadline_us = clock.MonotonicMicros() + int64_t{timeout_ms} * 1000;
  exchange.connection.reset(WinHttpConnect(session, target.host.c_str(), target.port, 0));
  if (!exchange.connection) {
    error = Describe(GetLastError(), target);
    return false;
  }
  exchange.request.reset(WinHttpOpenRequest(
      exchange.connection.get(), method, target.path.c_str(), nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES, target.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!exchange.request) {
    error = Describe(GetLastError(), target);
    return false;
  }
  HINTERNET request = exchange.request.get();
  const int timeout = static_cast<int>(timeout_ms);
  WinHttpSetTimeouts(request, timeout, timeout, timeout, timeout);
  // Not among WinHttpSetTimeouts' four; Wine waits for the TLS handshake and the
  // answer's headers by this one, and for ever by default.
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &timeout_ms,
                   sizeof timeout_ms);
  DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&exchange.certificate_flags);
  WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
  WinHttpSetStatusCallback(request, OnStatus, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
  return true;
}

// Sends the request with body and waits for the answer's headers; its status, or 0
// with error set.
int SendExchange(Exchange& exchange, const Target& target, const std::string& body, Clock& clock,
                 std::string& error) {
  HINTERNET request = exchange.request.get();
  void* data = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
  const auto size = static_cast<DWORD>(body.size());
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, size, size, 0) ||
      !WinHttpReceiveResponse(request, nullptr)) {
    const DWORD code = GetLastError();
    // Wine ends a TLS handshake that outlasts its time-out with a channel error,
    // which must not read as a refused certificate.
    error = clock.MonotonicMicros() >= exchange.deadline_us
                ? Describe(ERROR_WINHTTP_TIMEOUT, target)
                : Describe(code, target, exchange.certificate_flags);
    return 0;
  }
  DWORD status = 0;
  DWORD length = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &length,
                           WINHTTP_NO_HEADER_INDEX) ||
      status == 0) {
    error = Describe(ERROR_WINHTTP_INVALID_SERVER_RESPONSE, target);
    return 0;
  }
  return static_cast<int>(status);
}

// The session every request of one network shares; it closes with the last user.
struct Session {
  Session() {
    const std::wstring agent = L"strikewell/" + Wide(kReleaseVersion);
    // The system's proxy settings, automatic configuration included (Windows 8.1);
    // Windows 8 refuses that and takes the settings made with netsh instead.
    handle = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                         WINHTTP_NO_PROXY_BYPASS, 0);
    if (handle == nullptr) {
      handle = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (handle == nullptr) return;
    // Windows 8 offers only TLS 1.0 unless asked; systems without TLS 1.3 refuse
    // its flag, and then TLS 1.2 alone is asked for.
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!WinHttpSetOption(handle, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
      protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
      WinHttpSetOption(handle, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    }
  }
  ~Session() {
    if (handle != nullptr) WinHttpCloseHandle(handle);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  HINTERNET handle = nullptr;
};

// News that waits in the queues of one network's WebSockets, and the event that is
// signalled exactly while there is some. Every queue passed in is guarded by the
// board's lock.
class NewsBoard {
 public:
  struct Queue {
    std::deque<SocketNews> items;
    bool discarded = false;  // its socket has gone: nothing more is taken
  };

  NewsBoard() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~NewsBoard() {
    if (event_ != nullptr) CloseHandle(event_);
  }
  NewsBoard(const NewsBoard&) = delete;
  NewsBoard& operator=(const NewsBoard&) = delete;

  HANDLE event() const { return event_; }

  void Post(Queue& queue, SocketNews news) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue.discarded) return;
    queue.items.push_back(std::move(news));
    if (waiting_++ == 0) SetEvent(event_);
  }

  std::optional<SocketNews> Take(Queue& queue) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue.items.empty()) return std::nullopt;
    SocketNews news = std::move(queue.items.front());
    queue.items.pop_front();
    if (--waiting_ == 0) ResetEvent(event_);
    return news;
  }

  void Discard(Queue& queue) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_ -= queue.items.size();
    queue.items.clear();
    queue.discarded = true;
    if (waiting_ == 0) ResetEvent(event_);
  }

 private:
  std::mutex mutex_;
  HANDLE event_;
  size_t waiting_ = 0;
};

// What a WebSocket's threads share with it. The threads keep it alive: one that is
// still connecting when its socket is destroyed finishes on its own.
class Link {
 public:
  Link(std::shared_ptr<Session> session, std::shared_ptr<NewsBoard> board, Clock& clock,
       Target target)
      : session_(std::move(session)),
        board_(std::move(board)),
        clock_(clock),
        target_(std::move(target)) {}

  // The receiving thread: connects, then takes messages until the connection ends.
  void Receive() {
    std::string reason = Connect();
    if (opened_) reason = ReceiveMessages();
    Finish(reason);
    std::lock_guard<std::mutex> lock(mutex_);
    receiving_ = false;
    changed_.notify_all();
  }

  // The sending thread: sends what Send queued, in order, while the socket is open.
  void SendQueued() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] {
        return closing_ || state_ == State::kClosed ||
               (state_ == State::kOpen && !outgoing_.empty());
      });
      if (closing_ || state_ == State::kClosed) return;
      std::string text = std::move(outgoing_.front());
      outgoing_.pop_front();
      HINTERNET socket = socket_;
      lock.unlock();
      // WinHTTP has no TCP_NODELAY to set. Each frame goes out in one send, and the
      // server's echo of a ring acknowledges it at once: no frame was seen held back
      // by Nagle's rule, even for eight bells struck together.
      const DWORD error = WinHttpWebSocketSend(socket, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                                               text.data(), static_cast<DWORD>(text.size()));
      if (error != NO_ERROR) {
        Finish(Lost(error));
        // Wakes the receive, which has nothing more to wait for.
        WinHttpWebSocketShutdown(socket, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
        return;
      }
      lock.lock();
    }
  }

  void Send(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kOpen || closing_) return;
    outgoing_.push_back(text);
    changed_.notify_all();
  }

  std::optional<SocketNews> Next() { return board_->Take(news_); }

  // The owner has gone: the sender is told to stop and no news is kept for anyone.
  // Never waits.
  void Abandon() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
      changed_.notify_all();
    }
    board_->Discard(news_);
  }

  // Ends everything from the owner's side: the sender is told to stop, a receive
  // in progress is woken, and the news nobody will take is dropped. Returns true
  // when the receiving thread has finished (it can be joined), false when it is
  // still connecting or will not wake (it ends on its own).
  bool Stop(std::thread& sender) {
    HINTERNET socket;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
      socket = socket_;
      changed_.notify_all();
    }
    sender.join();
    board_->Discard(news_);
    if (socket == nullptr) return WaitReceiving(std::chrono::milliseconds(0));
    // Only one send may be in progress: the sender has ended, so the close frame
    // can go.
    WinHttpWebSocketShutdown(socket, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
    bool ended = WaitReceiving(kShutdownGrace);
    if (!ended) {
      // Windows cancels a pending receive when its handle closes.
      WinHttpCloseHandle(socket);
      std::lock_guard<std::mutex> lock(mutex_);
      socket_ = nullptr;
    }
    if (!ended) ended = WaitReceiving(kCancelGrace);
    if (ended) CloseSocket();
    return ended;
  }

 private:
  enum class State { kConnecting, kOpen, kClosed };

  // The upgrade; an empty answer when the socket opened (or its owner has gone),
  // else why it did not.
  std::string Connect() {
    Exchange exchange;
    std::string error;
    if (!OpenExchange(session_->handle, target_, L"GET", kUpgradeTimeoutMs, clock_, exchange,
                      error)) {
      return error;
    }
    HINTERNET request = exchange.request.get();
    if (!WinHttpSetOption(request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0)) {
      return Describe(GetLastError(), target_);
    }
    const int status = SendExchange(exchange, target_, "", clock_, error);
    if (status == 0) return error;
    // Wine completes an upgrade even on a plain 200, so the status is checked here.
    if (status != HTTP_STATUS_SWITCH_PROTOCOLS) return Refusal(request, status);
    // Messages may be minutes apart; whether the connection lives is the tower's
    // judgement (by Engine.IO's pings), so the socket inherits no receive time-out.
    DWORD forever = 0;
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &forever, sizeof forever);
    HINTERNET socket = WinHttpWebSocketCompleteUpgrade(request, 0);
    if (socket == nullptr) return Describe(GetLastError(), target_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closing_) {
        WinHttpCloseHandle(socket);
        return "";
      }
      socket_ = socket;
      state_ = State::kOpen;
      opened_ = true;
    }
    board_->Post(news_, SocketNews{SocketNews::Kind::kOpened, "", clock_.MonotonicMicros()});
    changed_.notify_all();
    return "";
  }

  // "HTTP 400 unsupported version": the status and the start of the answer's body.
  static std::string Refusal(HINTERNET request, int status) {
    std::string body;
    char chunk[512];
    DWORD got = 0;
    while (body.size() < kRefusalBodyBytes && WinHttpReadData(request, chunk, sizeof chunk, &got) &&
           got > 0) {
      body.append(chunk, got);
    }
    const std::string text = OneLine(body, kRefusalBodyBytes);
    return "HTTP " + std::to_string(status) + (text.empty() ? "" : " " + text);
  }

  // Text messages go to the news; binary ones, and text longer than
  // kMaxMessageBytes, are dropped whole. Returns why the connection ended.
  std::string ReceiveMessages() {
    HINTERNET socket;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      socket = socket_;
    }
    std::vector<char> buffer(kReceiveChunk);
    std::string message;
    bool too_long = false;
    for (;;) {
      DWORD got = 0;
      WINHTTP_WEB_SOCKET_BUFFER_TYPE type{};
      const DWORD error =
          WinHttpWebSocketReceive(socket, buffer.data(), kReceiveChunk, &got, &type);
      if (error != NO_ERROR) return Lost(error);
      const int64_t at_us = clock_.MonotonicMicros();
      switch (type) {
        case WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE:
        case WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE:
          if (too_long || message.size() + got > kMaxMessageBytes) {
            too_long = true;
            message.clear();
          } else {
            message.append(buffer.data(), got);
          }
          if (type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE) {
            if (!too_long) {
              board_->Post(news_, SocketNews{SocketNews::Kind::kText, std::move(message), at_us});
            }
            message.clear();
            too_long = false;
          }
          break;
        case WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE:
        case WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE:
          break;
        case WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE:
          return CloseReason(socket);
      }
    }
  }

  // An open connection that failed, whatever WinHTTP names the failure (Wine says an
  // answer was not valid HTTP when the server has simply gone).
  std::string Lost(DWORD code) const {
    return "the connection to " + target_.name + " was lost (WinHTTP error " +
           std::to_string(code) + ")";
  }

  // "closed by the server", with the close frame's code and reason when it had them.
  static std::string CloseReason(HINTERNET socket) {
    USHORT code = 0;
    char reason[WINHTTP_WEB_SOCKET_MAX_CLOSE_REASON_LENGTH];
    DWORD length = 0;
    std::string text = "closed by the server";
    if (WinHttpWebSocketQueryCloseStatus(socket, &code, reason, sizeof reason, &length) ==
            NO_ERROR &&
        code != 0 && code != WINHTTP_WEB_SOCKET_EMPTY_CLOSE_STATUS) {
      const std::string words = OneLine(std::string(reason, length), sizeof reason);
      text += " (" + std::to_string(code) + (words.empty() ? "" : " " + words) + ")";
    }
    return text;
  }

  // The socket is closed and says why, once; nothing is said to an owner that has
  // gone.
  void Finish(const std::string& reason) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (state_ == State::kClosed) return;
      state_ = State::kClosed;
      changed_.notify_all();
      if (closing_) return;
    }
    board_->Post(news_, SocketNews{SocketNews::Kind::kClosed, reason, clock_.MonotonicMicros()});
  }

  bool WaitReceiving(std::chrono::milliseconds grace) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, grace, [&] { return !receiving_; });
  }

  void CloseSocket() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket_ != nullptr) WinHttpCloseHandle(socket_);
    socket_ = nullptr;
  }

  const std::shared_ptr<Session> session_;
  const std::shared_ptr<NewsBoard> board_;
  Clock& clock_;  // the real clock, which keeps no state: safe from any thread
  const Target target_;

  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::kConnecting;
  bool opened_ = false;         // written and read by the receiving thread only
  bool closing_ = false;        // the owner is stopping everything
  bool receiving_ = true;       // the receiving thread has not finished
  HINTERNET socket_ = nullptr;  // once open; closed by the owner's Stop
  std::deque<std::string> outgoing_;
  NewsBoard::Queue news_;  // guarded by the board's lock
};

class WinHttpWebSocket final : public WebSocket {
 public:
  WinHttpWebSocket(std::shared_ptr<Link> link, std::shared_ptr<BackgroundCloser> closer)
      : closer_(std::move(closer)),
        link_(std::move(link)),
        receiver_([link = link_] { link->Receive(); }),
        sender_([link = link_] { link->SendQueued(); }) {}

  WinHttpWebSocket(const WinHttpWebSocket&) = delete;
  WinHttpWebSocket& operator=(const WinHttpWebSocket&) = delete;

  // Its news is dropped at once; the rest of the closing (a send stuck on a dead
  // link, the server's goodbye, up to kShutdownGrace and kCancelGrace) is the closer's.
  ~WinHttpWebSocket() override {
    link_->Abandon();
    closer_->Hand([link = link_, receiver = std::make_shared<std::thread>(std::move(receiver_)),
                   sender = std::make_shared<std::thread>(std::move(sender_))] {
      if (link->Stop(*sender)) {
        receiver->join();
      } else {
        // Still connecting (each step ends within kUpgradeTimeoutMs): it then sees
        // that its owner has gone, closes what it opened and ends.
        receiver->detach();
      }
    });
  }

  void Send(const std::string& text) override { link_->Send(text); }
  std::optional<SocketNews> Next() override { return link_->Next(); }

 private:
  std::shared_ptr<BackgroundCloser> closer_;
  std::shared_ptr<Link> link_;
  std::thread receiver_;
  std::thread sender_;
};

// A WebSocket that never opened: its only news is why.
class RefusedWebSocket final : public WebSocket {
 public:
  RefusedWebSocket(std::shared_ptr<NewsBoard> board, SocketNews news) : board_(std::move(board)) {
    board_->Post(news_, std::move(news));
  }
  ~RefusedWebSocket() override { board_->Discard(news_); }
  RefusedWebSocket(const RefusedWebSocket&) = delete;
  RefusedWebSocket& operator=(const RefusedWebSocket&) = delete;

  void Send(const std::string&) override {}
  std::optional<SocketNews> Next() override { return board_->Take(news_); }

 private:
  std::shared_ptr<NewsBoard> board_;
  NewsBoard::Queue news_;
};

class WinHttpNetwork final : public Win32Network {
 public:
  explicit WinHttpNetwork(Clock& clock)
      : clock_(clock),
        session_(std::make_shared<Session>()),
        board_(std::make_shared<NewsBoard>()) {}

  HttpResponse Fetch(const HttpRequest& request, int32_t timeout_ms) override;
  std::unique_ptr<WebSocket> OpenWebSocket(const std::string& url) override;
  HANDLE NewsEvent() override { return board_->event(); }

 private:
  Clock& clock_;
  std::shared_ptr<Session> session_;
  std::shared_ptr<NewsBoard> board_;
  std::shared_ptr<BackgroundCloser> closer_ = std::make_shared<BackgroundCloser>();
};

HttpResponse WinHttpNetwork::Fetch(const HttpRequest& request, int32_t timeout_ms) {
  HttpResponse response;
  const std::optional<Target> target = ParseUrl(request.url, false, response.error);
  if (!target) return response;
  if (request.method != "GET" && request.method != "POST") {
    response.error = "unsupported method " + OneLine(request.method, kRefusalBodyBytes);
    return response;
  }
  if (session_->handle == nullptr) {
    response.error = "WinHTTP is not available on this system";
    return response;
  }
  std::wstring headers;
  for (const std::string& line : request.headers) {
    // A line break would start a header of the sender's choosing.
    if (line.find_first_of("\r\n") != std::string::npos) {
      response.error = "a request header holds a line break";
      return response;
    }
    headers += Wide(line) + L"\r\n";
  }

  Exchange exchange;
  const std::wstring method = Wide(request.method);
  if (!OpenExchange(session_->handle, *target, method.c_str(),
                    static_cast<DWORD>(std::max(timeout_ms, 1)), clock_, exchange,
                    response.error)) {
    return response;
  }
  HINTERNET handle = exchange.request.get();
  if (!headers.empty() &&
      !WinHttpAddRequestHeaders(handle, headers.c_str(), static_cast<DWORD>(-1),
                                WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
    response.error = "a request header was refused (" + OneLine(request.headers.front(), 40) + ")";
    return response;
  }
  const int status = SendExchange(exchange, *target, request.body, clock_, response.error);
  if (status == 0) return response;

  std::string body;
  std::vector<char> chunk(kReceiveChunk);
  for (;;) {
    // WinHTTP's time-outs are per step; the whole request keeps to timeout_ms.
    const int64_t remaining_ms = (exchange.deadline_us - clock_.MonotonicMicros()) / 1000;
    if (remaining_ms <= 0) {
      response.error = Describe(ERROR_WINHTTP_TIMEOUT, *target);
      return response;
    }
    DWORD remaining = static_cast<DWORD>(remaining_ms);
    WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_TIMEOUT, &remaining, sizeof remaining);
    DWORD got = 0;
    if (!WinHttpReadData(handle, chunk.data(), static_cast<DWORD>(chunk.size()), &got)) {
      response.error = Describe(GetLastError(), *target);
      return response;
    }
    if (got == 0) break;
    if (body.size() + got > kMaxResponseBytes) {
      response.error = "response too large (over " + std::to_string(kMaxResponseBytes) + " bytes)";
      return response;
    }
    body.append(chunk.data(), got);
  }
  response.status = status;
  response.body = std::move(body);
  return response;
}

std::unique_ptr<WebSocket> WinHttpNetwork::OpenWebSocket(const std::string& url) {
  std::string error;
  std::optional<Target> target = ParseUrl(url, true, error);
  if (target && session_->handle == nullptr) error = "WinHTTP is not available on this system";
  if (!target || session_->handle == nullptr) {
    return std::make_unique<RefusedWebSocket>(
        board_, SocketNews{SocketNews::Kind::kClosed, error, clock_.MonotonicMicros()});
  }
  return std::make_unique<WinHttpWebSocket>(
      std::make_shared<Link>(session_, board_, clock_, std::move(*target)), closer_);
}

}  // namespace

std::unique_ptr<Network> MakeNetwork(Clock& clock) {
  return std::make_unique<WinHttpNetwork>(clock);
}

}  // namespace strikewell
