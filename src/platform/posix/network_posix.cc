// Ringing Room's connection on Linux: Boost.Beast over Boost.Asio and OpenSSL.
//
// A request (Fetch) runs on an io_context of its own in the caller's thread, which
// is what its blocking contract asks for. A WebSocket runs on an io_context in a
// thread of its own, so that a message is read the moment it arrives and a send
// leaves the moment it is asked for, whatever the counting loop is doing; what it
// receives reaches the loop through a queue and an eventfd that the loop's wait
// polls. The sessions follow the shape of Beast's own client examples.
#include "platform/posix/network_posix.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/version.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "platform/backends.h"
#include "platform/background_closer.h"
#include "platform/clock.h"
#include "strikewell_version.h"

namespace strikewell {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

// Connecting, the TLS handshake and the WebSocket upgrade together; a server that
// takes longer is as good as unreachable for a ringer waiting to start.
constexpr auto kWebSocketOpenTimeout = std::chrono::seconds(10);
// How much of an incoming message is read at a time: a message over
// kMaxMessageBytes is then thrown away piece by piece, never held whole.
constexpr size_t kReadChunkBytes = 64 * 1024;
// How much of a refused upgrade's body is kept for the ringer.
constexpr size_t kMaxReasonChars = 200;

const std::string& UserAgent() {
  static const std::string agent = std::string("strikewell/") + kReleaseVersion;
  return agent;
}

bool IsPrintable(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
  }
  return true;
}

struct Url {
  bool secure = false;
  std::string host;       // without the brackets of an IPv6 literal
  std::string port;       // always given: the scheme's own when the URL has none
  std::string host_port;  // for the Host header: as the URL has it
  std::string target;     // path and query, at least "/"
};

// scheme://host[:port][/path][?query] with the scheme secure or plain.
std::optional<Url> ParseUrl(const std::string& text, const std::string& secure,
                            const std::string& plain, std::string& error) {
  // An address can come from a server (a tower's socket server): a line break in it
  // would write lines of the server's choosing into the request.
  if (!IsPrintable(text)) {
    error = "a space or control character in the address";
    return std::nullopt;
  }
  Url url;
  const size_t scheme_end = text.find("://");
  const std::string scheme = scheme_end == std::string::npos ? "" : text.substr(0, scheme_end);
  if (scheme == secure) {
    url.secure = true;
  } else if (scheme != plain) {
    error = "not a " + secure + ":// or " + plain + ":// address: " + text;
    return std::nullopt;
  }
  const size_t authority_start = scheme_end + 3;
  const size_t path_start = text.find_first_of("/?", authority_start);
  url.host_port = text.substr(authority_start, path_start - authority_start);
  url.target = path_start == std::string::npos ? "/" : text.substr(path_start);
  if (url.target[0] == '?') url.target.insert(0, "/");
  size_t port_colon = std::string::npos;
  if (!url.host_port.empty() && url.host_port[0] == '[') {
    const size_t close = url.host_port.find(']');
    if (close == std::string::npos) {
      error = "no closing ] in the address " + text;
      return std::nullopt;
    }
    url.host = url.host_port.substr(1, close - 1);
    if (close + 1 < url.host_port.size()) {
      if (url.host_port[close + 1] != ':') {
        error = "a bad host in the address " + text;
        return std::nullopt;
      }
      port_colon = close + 1;
    }
  } else {
    port_colon = url.host_port.find(':');
    url.host = url.host_port.substr(0, port_colon);
  }
  url.port = port_colon == std::string::npos ? "" : url.host_port.substr(port_colon + 1);
  if (url.port.empty()) url.port = url.secure ? "443" : "80";
  if (url.host.empty() || url.port.find_first_not_of("0123456789") != std::string::npos ||
      url.port.size() > 5 || url.host_port.find('@') != std::string::npos) {
    error = "a bad host or port in the address " + text;
    return std::nullopt;
  }
  return url;
}

// Turns on SNI and names the host the certificate must be for: a certificate for
// another host then fails the handshake with "hostname mismatch". (Asio's own
// host_name_verification would leave OpenSSL's verify result unspecified, and the
// ringer could not be told why.)
bool PrepareTls(SSL* ssl, const std::string& host, std::string& error) {
  beast::error_code ec;
  net::ip::make_address(host, ec);
  bool named = false;
  if (!ec) {
    // An IP address is matched against the certificate's IP entries; SNI carries
    // host names only.
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
  } else {
    named =
        SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 && SSL_set1_host(ssl, host.c_str()) == 1;
  }
  if (!named) error = "TLS cannot be set up for the host " + host;
  return named;
}

// What a failed TLS handshake tells the ringer: the certificate's fault when its
// check failed, else the handshake's error.
std::string TlsFailure(SSL* ssl, const beast::error_code& ec, const std::string& host) {
  const long verify = SSL_get_verify_result(ssl);
  if (verify != X509_V_OK) {
    return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify) +
           " (host " + host + ")";
  }
  return "TLS handshake with " + host + ": " + ec.message();
}

// The system's words for a failed step: bare where they speak for themselves
// ("Connection refused"), else with the step they come from.
std::string StepFailure(const beast::error_code& ec, const char* where) {
  if (ec == beast::error::timeout) return "timed out";
  if (ec == net::error::connection_refused || ec == net::error::host_not_found ||
      ec == net::error::host_not_found_try_again || ec == net::error::network_unreachable ||
      ec == net::error::host_unreachable || ec == net::error::connection_reset) {
    return ec.message();
  }
  return std::string(where) + ": " + ec.message();
}

std::shared_ptr<ssl::context> MakeTlsContext() {
  auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
  // The system's trusted authorities (and SSL_CERT_FILE / SSL_CERT_DIR where the
  // environment gives them); nothing here or anywhere turns the check off.
  context->set_default_verify_paths();
  context->set_verify_mode(ssl::verify_peer);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
  return context;
}

// --- Fetch --------------------------------------------------------------------------

// One request and its response on Stream (beast::tcp_stream, or an ssl_stream over
// one), run to its end by Fetch in the caller's thread.
template <class Stream>
class FetchSession {
 public:
  FetchSession(net::io_context& ioc, ssl::context& tls, const Url& url, const HttpRequest& request,
               std::chrono::steady_clock::time_point deadline, HttpResponse& out)
      : resolver_(ioc), stream_(MakeStream(ioc, tls)), url_(url), deadline_(deadline), out_(out) {
    req_.method(request.method == "POST" ? http::verb::post : http::verb::get);
    req_.target(url.target);
    req_.version(11);
    req_.set(http::field::host, url.host_port);
    req_.set(http::field::user_agent, UserAgent());
    for (const std::string& line : request.headers) {
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      const size_t value = line.find_first_not_of(' ', colon + 1);
      req_.set(line.substr(0, colon), value == std::string::npos ? "" : line.substr(value));
    }
    if (req_.method() == http::verb::post) req_.body() = request.body;
    req_.prepare_payload();
    parser_.body_limit(kMaxResponseBytes);
  }

  void Run() {
    if constexpr (kSecure) {
      if (!PrepareTls(stream_.native_handle(), url_.host, out_.error)) return Finish();
    }
    resolver_.async_resolve(url_.host, url_.port,
                            [this](beast::error_code ec, tcp::resolver::results_type results) {
                              OnResolve(ec, results);
                            });
  }

  bool finished() const { return finished_; }

 private:
  static constexpr bool kSecure = !std::is_same_v<Stream, beast::tcp_stream>;

  static Stream MakeStream(net::io_context& ioc, ssl::context& tls) {
    if constexpr (kSecure) {
      return Stream(ioc, tls);
    } else {
      (void)tls;
      return Stream(ioc);
    }
  }

  void OnResolve(beast::error_code ec, const tcp::resolver::results_type& results) {
    if (ec) return Fail(ec, "resolve");
    beast::get_lowest_layer(stream_).expires_at(deadline_);
    beast::get_lowest_layer(stream_).async_connect(
        results, [this](beast::error_code e, const tcp::endpoint&) { OnConnect(e); });
  }

  void OnConnect(beast::error_code ec) {
    if (ec) return Fail(ec, "connect");
    if constexpr (kSecure) {
      stream_.async_handshake(ssl::stream_base::client,
                              [this](beast::error_code e) { OnSslHandshake(e); });
    } else {
      OnSslHandshake(ec);
    }
  }

  void OnSslHandshake(beast::error_code ec) {
    if (ec) {
      if constexpr (kSecure) {
        out_.error = TlsFailure(stream_.native_handle(), ec, url_.host);
        return Finish();
      }
    }
    http::async_write(stream_, req_, [this](beast::error_code e, size_t) { OnWrite(e); });
  }

  void OnWrite(beast::error_code ec) {
    if (ec) return Fail(ec, "send the request");
    http::async_read_header(stream_, buffer_, parser_,
                            [this](beast::error_code e, size_t) { OnReadHeader(e); });
  }

  // Boost 1.74's parser holds chunked bodies and bodies that end with the connection
  // to body_limit, but not one whose Content-Length says it is larger: that one is
  // refused here before any of it is read.
  void OnReadHeader(beast::error_code ec) {
    if (ec) return Fail(ec, "read the response");
    if (parser_.content_length().value_or(0) > kMaxResponseBytes) {
      return Fail(http::error::body_limit, "read the response");
    }
    http::async_read(stream_, buffer_, parser_, [this](beast::error_code e, size_t) { OnRead(e); });
  }

  void OnRead(beast::error_code ec) {
    if (ec) return Fail(ec, "read the response");
    out_.status = static_cast<int>(parser_.get().result_int());
    out_.body = std::move(parser_.get().body());
    Finish();
  }

  void Fail(beast::error_code ec, const char* where) {
    out_.error = ec == http::error::body_limit ? "response too large" : StepFailure(ec, where);
    Finish();
  }

  // The connection is dropped without a TLS close_notify: the response is whole
  // already, and the server's answer to a goodbye would only cost a round trip.
  void Finish() {
    finished_ = true;
    beast::error_code ignored;
    beast::get_lowest_layer(stream_).socket().close(ignored);
  }

  tcp::resolver resolver_;
  Stream stream_;
  Url url_;
  std::chrono::steady_clock::time_point deadline_;
  HttpResponse& out_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> req_;
  http::response_parser<http::string_body> parser_;
  bool finished_ = false;
};

// --- WebSocket ----------------------------------------------------------------------

// The eventfd that all WebSockets of one network signal, and the count of news they
// hold; shared with each WebSocket, which may outlive the network.
class NewsSignal {
 public:
  NewsSignal() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~NewsSignal() {
    if (fd_ >= 0) close(fd_);
  }
  NewsSignal(const NewsSignal&) = delete;
  NewsSignal& operator=(const NewsSignal&) = delete;

  int fd() const { return fd_; }

  void Added() {
    pending_.fetch_add(1);
    const uint64_t one = 1;
    // The counter cannot overflow from ones before a reader drains it; a failed
    // write leaves NewsWaiting() to find the news at the next look.
    [[maybe_unused]] ssize_t written = write(fd_, &one, sizeof one);
  }
  void Taken(int64_t count) { pending_.fetch_sub(count); }

  bool Waiting() {
    uint64_t drained = 0;
    [[maybe_unused]] ssize_t got = read(fd_, &drained, sizeof drained);
    return pending_.load() > 0;
  }

 private:
  int fd_;
  std::atomic<int64_t> pending_{0};
};

// What a WebSocket's thread hands to its owner, in order.
class NewsQueue {
 public:
  NewsQueue(std::shared_ptr<NewsSignal> signal, Clock& clock)
      : signal_(std::move(signal)), clock_(clock) {}
  ~NewsQueue() { signal_->Taken(static_cast<int64_t>(news_.size())); }
  NewsQueue(const NewsQueue&) = delete;
  NewsQueue& operator=(const NewsQueue&) = delete;

  void Push(SocketNews::Kind kind, std::string text) {
    const int64_t at_us = clock_.MonotonicMicros();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      news_.push_back(SocketNews{kind, std::move(text), at_us});
    }
    signal_->Added();
  }

  std::optional<SocketNews> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (news_.empty()) return std::nullopt;
    SocketNews next = std::move(news_.front());
    news_.pop_front();
    signal_->Taken(1);
    return next;
  }

 private:
  std::shared_ptr<NewsSignal> signal_;
  Clock& clock_;
  std::mutex mutex_;
  std::deque<SocketNews> news_;
};

class SocketSession {
 public:
  virtual ~SocketSession() = default;
  virtual void Run() = 0;
  // In the session's thread.
  virtual void Write(std::string text) = 0;
  // Closes the connection under any pending operation: in the session's thread, or in
  // the owner's once that thread has ended.
  virtual void CloseNow() = 0;
  // Whether the connection has ended (or never opened); any thread may ask.
  bool ended() const { return ended_.load(); }

 protected:
  std::atomic<bool> ended_{false};
};

// One WebSocket over Stream (beast::tcp_stream, or an ssl_stream over one). Every
// member runs in the WebSocket's one thread, so no strand is needed.
template <class Stream>
class WebSocketSession : public SocketSession,
                         public std::enable_shared_from_this<WebSocketSession<Stream>> {
 public:
  WebSocketSession(net::io_context& ioc, ssl::context& tls, Url url,
                   std::shared_ptr<NewsQueue> news)
      : resolver_(ioc), ws_(MakeStream(ioc, tls)), url_(std::move(url)), news_(std::move(news)) {}

  void Run() override {
    if constexpr (kSecure) {
      std::string error;
      if (!PrepareTls(ws_.next_layer().native_handle(), url_.host, error)) {
        return End(std::move(error));
      }
    }
    resolver_.async_resolve(
        url_.host, url_.port,
        beast::bind_front_handler(&WebSocketSession::OnResolve, this->shared_from_this()));
  }

  void Write(std::string text) override {
    if (!open_) return;
    writes_.push_back(std::move(text));
    // Only one write may be outstanding on a WebSocket; the rest wait their turn.
    if (writes_.size() == 1) WriteFront();
  }

  void CloseNow() override {
    beast::error_code ignored;
    resolver_.cancel();
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

 private:
  static constexpr bool kSecure = !std::is_same_v<Stream, beast::tcp_stream>;

  static websocket::stream<Stream> MakeStream(net::io_context& ioc, ssl::context& tls) {
    if constexpr (kSecure) {
      return websocket::stream<Stream>(ioc, tls);
    } else {
      (void)tls;
      return websocket::stream<Stream>(ioc);
    }
  }

  void OnResolve(beast::error_code ec, tcp::resolver::results_type results) {
    if (ec) return Fail(ec, "resolve");
    beast::get_lowest_layer(ws_).expires_after(kWebSocketOpenTimeout);
    beast::get_lowest_layer(ws_).async_connect(
        results, beast::bind_front_handler(&WebSocketSession::OnConnect, this->shared_from_this()));
  }

  void OnConnect(beast::error_code ec, const tcp::endpoint&) {
    if (ec) return Fail(ec, "connect");
    // A ring must leave at once, not wait for the server to acknowledge the frame
    // before it (Nagle's algorithm against the server's delayed ACK: up to 40 ms).
    beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ec);
    if (ec) return Fail(ec, "set TCP_NODELAY");
    if constexpr (kSecure) {
      ws_.next_layer().async_handshake(
          ssl::stream_base::client,
          beast::bind_front_handler(&WebSocketSession::OnSslHandshake, this->shared_from_this()));
    } else {
      OnSslHandshake(ec);
    }
  }

  void OnSslHandshake(beast::error_code ec) {
    if (ec) {
      if constexpr (kSecure)
        return End(TlsFailure(ws_.next_layer().native_handle(), ec, url_.host));
    }
    // From here the WebSocket keeps its own time for the upgrade; once open, it never
    // times out by itself: Engine.IO's heartbeat tells the owner when the server has
    // gone quiet.
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kWebSocketOpenTimeout;
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::request_type& req) { req.set(http::field::user_agent, UserAgent()); }));
    // Message size is limited here by throwing over-size messages away, which keeps
    // the connection; Beast's own limit would fail it.
    ws_.read_message_max(0);
    ws_.text(true);
    ws_.async_handshake(
        upgrade_, url_.host_port, url_.target,
        beast::bind_front_handler(&WebSocketSession::OnHandshake, this->shared_from_this()));
  }

  void OnHandshake(beast::error_code ec) {
    if (ec == websocket::error::upgrade_declined) return End(DeclinedReason());
    if (ec) return Fail(ec, "WebSocket upgrade");
    open_ = true;
    news_->Push(SocketNews::Kind::kOpened, "");
    ReadSome();
  }

  // "HTTP 400 unsupported version": the status and the first line of the body.
  std::string DeclinedReason() const {
    std::string reason = upgrade_.body().substr(0, upgrade_.body().find_first_of("\r\n"));
    if (reason.empty()) reason = std::string(upgrade_.reason());
    if (reason.size() > kMaxReasonChars) reason.resize(kMaxReasonChars);
    for (char& c : reason) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    return "HTTP " + std::to_string(upgrade_.result_int()) + (reason.empty() ? "" : " ") + reason;
  }

  void ReadSome() {
    ws_.async_read_some(
        incoming_, kReadChunkBytes,
        beast::bind_front_handler(&WebSocketSession::OnRead, this->shared_from_this()));
  }

  void OnRead(beast::error_code ec, size_t) {
    if (ec) return Fail(ec, "read");
    if (ws_.got_binary() || incoming_.size() > kMaxMessageBytes) {
      discarding_ = true;
      incoming_.clear();
    }
    if (ws_.is_message_done()) {
      if (!discarding_)
        news_->Push(SocketNews::Kind::kText, beast::buffers_to_string(incoming_.data()));
      incoming_.clear();
      discarding_ = false;
    }
    ReadSome();
  }

  void WriteFront() {
    ws_.async_write(
        net::buffer(writes_.front()),
        beast::bind_front_handler(&WebSocketSession::OnWrite, this->shared_from_this()));
  }

  void OnWrite(beast::error_code ec, size_t) {
    if (ec) return Fail(ec, "write");
    writes_.pop_front();
    if (!writes_.empty()) WriteFront();
  }

  void Fail(beast::error_code ec, const char* where) {
    // The server's close frame, or the connection simply ending (with or without
    // TLS's close_notify): the server has gone.
    if (ec == websocket::error::closed || ec == net::error::eof ||
        ec == ssl::error::stream_truncated) {
      return End("closed by the server");
    }
    End(StepFailure(ec, where));
  }

  // Tells the owner once, and ends every pending operation so the thread can end.
  void End(std::string why) {
    if (ended_.exchange(true)) return;
    open_ = false;
    writes_.clear();
    news_->Push(SocketNews::Kind::kClosed, std::move(why));
    CloseNow();
  }

  tcp::resolver resolver_;
  websocket::stream<Stream> ws_;
  Url url_;
  std::shared_ptr<NewsQueue> news_;
  websocket::response_type upgrade_;
  beast::flat_buffer incoming_;
  std::deque<std::string> writes_;
  bool open_ = false;
  bool discarding_ = false;  // the message being read is binary or too large
};

class BeastWebSocket : public WebSocket {
 public:
  BeastWebSocket(std::shared_ptr<NewsSignal> signal, Clock& clock,
                 const std::shared_ptr<ssl::context>& tls, const std::string& url,
                 std::shared_ptr<BackgroundCloser> closer)
      : closer_(std::move(closer)),
        tls_(tls),
        news_(std::make_shared<NewsQueue>(std::move(signal), clock)) {
    std::string error;
    const std::optional<Url> parsed = ParseUrl(url, "wss", "ws", error);
    if (!parsed) {
      news_->Push(SocketNews::Kind::kClosed, error);
      return;
    }
    if (parsed->secure) {
      session_ = std::make_shared<WebSocketSession<beast::ssl_stream<beast::tcp_stream>>>(
          *ioc_, *tls_, *parsed, news_);
    } else {
      session_ =
          std::make_shared<WebSocketSession<beast::tcp_stream>>(*ioc_, *tls_, *parsed, news_);
    }
    session_->Run();
    thread_ = std::thread([ioc = ioc_, news = news_] { RunThread(*ioc, *news); });
  }

  // Closes at once: the thread stops wherever it is, then the socket is closed under
  // it, without a WebSocket goodbye that would wait for the server's answer.
  // The io_context is destroyed by the closer: that waits for a name lookup still
  // running in Asio's resolver thread, which no cancel ends.
  ~BeastWebSocket() override {
    ioc_->stop();
    if (thread_.joinable()) thread_.join();
    if (session_) session_->CloseNow();
    // Handlers still queued on the io_context hold the session: it goes first.
    // The TLS context, which the session's stream refers to, outlasts both.
    closer_->Hand([session = std::move(session_), ioc = std::move(ioc_), tls = tls_]() mutable {
      session.reset();
      ioc.reset();
    });
  }

  void Send(const std::string& text) override {
    // Once the thread has nothing left to do, nothing would ever take the message.
    if (!session_ || session_->ended()) return;
    net::post(*ioc_, [session = session_, text] { session->Write(text); });
  }

  std::optional<SocketNews> Next() override { return news_->Take(); }

 private:
  static void RunThread(net::io_context& ioc, NewsQueue& news) {
    try {
      ioc.run();
    } catch (const std::exception& e) {
      news.Push(SocketNews::Kind::kClosed, e.what());
    }
  }

  std::shared_ptr<BackgroundCloser> closer_;
  std::shared_ptr<net::io_context> ioc_ = std::make_shared<net::io_context>(1);
  std::shared_ptr<ssl::context> tls_;
  std::shared_ptr<NewsQueue> news_;
  std::shared_ptr<SocketSession> session_;
  std::thread thread_;
};

// --- The network --------------------------------------------------------------------

class BeastNetwork : public PosixNetwork {
 public:
  explicit BeastNetwork(Clock& clock) : clock_(clock), signal_(std::make_shared<NewsSignal>()) {}

  HttpResponse Fetch(const HttpRequest& request, int32_t timeout_ms) override;

  std::unique_ptr<WebSocket> OpenWebSocket(const std::string& url) override {
    return std::make_unique<BeastWebSocket>(signal_, clock_, Tls(), url, closer_);
  }

  int NewsFd() override { return signal_->fd(); }
  bool NewsWaiting() override { return signal_->Waiting(); }

 private:
  // Made at first use: loading the trusted authorities takes a few milliseconds, and
  // a run that rings by the window never needs them.
  const std::shared_ptr<ssl::context>& Tls() {
    std::lock_guard<std::mutex> lock(tls_mutex_);
    if (!tls_) tls_ = MakeTlsContext();
    return tls_;
  }

  Clock& clock_;
  std::shared_ptr<NewsSignal> signal_;
  std::shared_ptr<BackgroundCloser> closer_ = std::make_shared<BackgroundCloser>();
  std::mutex tls_mutex_;
  std::shared_ptr<ssl::context> tls_;
};

HttpResponse BeastNetwork::Fetch(const HttpRequest& request, int32_t timeout_ms) {
  HttpResponse response;
  const std::optional<Url> url = ParseUrl(request.url, "https", "http", response.error);
  if (!url) return response;
  // A header carries a token that a server gave: a line break in it would add lines
  // of the server's choosing to the request.
  for (const std::string& line : request.headers) {
    if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      response.error = "a line break in a request header";
      return response;
    }
  }
  const auto timeout = std::chrono::milliseconds(std::max<int32_t>(timeout_ms, 0));
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Destroyed by the closer: a name lookup that hangs would hold its destruction.
  const auto ioc = std::make_shared<net::io_context>(1);
  const auto run = [&](auto& session) {
    session.Run();
    // The stream's own expiry ends the connect, handshake and transfer in time;
    // this stops waiting for a name lookup that hangs.
    ioc->run_until(deadline);
    if (!session.finished() && response.error.empty()) response.error = "timed out";
  };
  if (url->secure) {
    FetchSession<beast::ssl_stream<beast::tcp_stream>> session(*ioc, *Tls(), *url, request,
                                                               deadline, response);
    run(session);
  } else {
    FetchSession<beast::tcp_stream> session(*ioc, *Tls(), *url, request, deadline, response);
    run(session);
  }
  closer_->Hand([ioc] {});
  return response;
}

}  // namespace

std::unique_ptr<Network> MakeNetwork(Clock& clock) { return std::make_unique<BeastNetwork>(clock); }

}  // namespace strikewell
