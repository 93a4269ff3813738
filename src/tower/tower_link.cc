#include "tower/tower_link.h"

#include <algorithm>
#include <utility>

#include "tower/protocol.h"

namespace strikewell {

TowerLink::TowerLink(Network& network, Clock& clock, TowerLinkParams params)
    : network_(network), clock_(clock), params_(std::move(params)), tower_(params_.username) {}

void TowerLink::Connect() { Open(kFirstJoinTimeoutUs); }

void TowerLink::Open(int64_t join_timeout_us) {
  attempt_started_us_ = clock_.MonotonicMicros();
  join_deadline_us_ = attempt_started_us_ + join_timeout_us;
  heartbeat_deadline_us_ = kNoDeadline;
  next_attempt_us_ = kNoDeadline;
  heartbeat_us_ = 0;
  namespace_joined_ = false;
  phase_ = Phase::kConnecting;
  tower_.NewConnection();
  socket_ = network_.OpenWebSocket(params_.socket_url);
}

void TowerLink::Send(const std::string& message) {
  if (socket_) socket_->Send(message);
}

void TowerLink::Service() {
  // A server that floods the socket must not keep the counting loop from a ring
  // falling due: what is left is taken on the next pass, which comes at once.
  more_news_ = false;
  for (int taken = 0; socket_; ++taken) {
    if (taken == kMostNewsPerPass) {
      more_news_ = true;
      break;
    }
    const std::optional<SocketNews> news = socket_->Next();
    if (!news) break;
    Take(*news);
  }
  const int64_t now = clock_.MonotonicMicros();
  if (socket_ && now >= heartbeat_deadline_us_) {
    Lost("Ringing Room's server has stopped answering");
  } else if (socket_ && phase_ == Phase::kConnecting && now >= join_deadline_us_) {
    Lost("timed out");
  }
  if (phase_ == Phase::kLost && clock_.MonotonicMicros() >= next_attempt_us_) {
    Open(kRejoinTimeoutUs);
  }
}

void TowerLink::Take(const SocketNews& news) {
  switch (news.kind) {
    case SocketNews::Kind::kOpened:
      return;
    case SocketNews::Kind::kClosed:
      Lost(news.text);
      return;
    case SocketNews::Kind::kText:
      break;
  }
  const ServerEvent event = DecodeMessage(news.text);
  switch (event.kind) {
    case ServerEvent::Kind::kOpen:
      // Each opens a connection once; a second would only reset its heartbeat.
      if (heartbeat_us_ > 0) return;
      heartbeat_us_ = (event.ping_interval_ms + event.ping_timeout_ms) * 1000;
      heartbeat_deadline_us_ = news.at_us + heartbeat_us_;
      Send(kConnectMessage);
      return;
    case ServerEvent::Kind::kPing:
      // Answered at once: the server counts a late answer as a lost client.
      Send(kPongMessage);
      if (heartbeat_us_ > 0) heartbeat_deadline_us_ = news.at_us + heartbeat_us_;
      return;
    case ServerEvent::Kind::kConnected:
      if (namespace_joined_) return;
      namespace_joined_ = true;
      Send(JoinMessage(params_.tower_id, params_.token));
      Send(RequestGlobalStateMessage(params_.tower_id));
      return;
    case ServerEvent::Kind::kDisconnected:
      Lost("Ringing Room's server ended the connection");
      return;
    default:
      Follow(event);
      return;
  }
}

void TowerLink::Follow(const ServerEvent& event) {
  // Once removed, nothing the server says puts the ringer back.
  if (phase_ == Phase::kKicked) return;
  if (event.kind == ServerEvent::Kind::kBellRung && event.disagree && Rings(event.bell)) {
    disagreements_.push_back(event.bell);
  }
  switch (tower_.Apply(event)) {
    case TowerState::Follow::kRequestState:
      Send(RequestGlobalStateMessage(params_.tower_id));
      break;
    case TowerState::Follow::kTokenRefused:
      phase_ = Phase::kTokenRefused;
      failure_ = "Ringing Room did not accept the login";
      socket_.reset();
      return;
    case TowerState::Follow::kKicked:
      phase_ = Phase::kKicked;
      // Closed without a word: announcing a departure would unassign the bells of
      // the ringer's own browser, which is logged in as the same user.
      socket_.reset();
      return;
    case TowerState::Follow::kNothing:
      break;
  }
  if (phase_ == Phase::kConnecting && tower_.known()) {
    back_ = ever_joined_;
    ever_joined_ = true;
    phase_ = Phase::kJoined;
    join_deadline_us_ = kNoDeadline;
  }
}

void TowerLink::Lost(const std::string& why) {
  socket_.reset();
  failure_ = why;
  heartbeat_deadline_us_ = kNoDeadline;
  join_deadline_us_ = kNoDeadline;
  if (!ever_joined_) {
    phase_ = Phase::kFailed;
    return;
  }
  const int64_t now = clock_.MonotonicMicros();
  // The first try after joined ringing goes at once; a try that failed waits for
  // the gap, counted from when it started.
  next_attempt_us_ = phase_ == Phase::kJoined ? now : attempt_started_us_ + kReconnectGapUs;
  phase_ = Phase::kLost;
  tower_.NewConnection();
}

int64_t TowerLink::NextDeadline() const {
  if (more_news_ && socket_) return clock_.MonotonicMicros();
  int64_t deadline = kNoDeadline;
  if (socket_) deadline = std::min(heartbeat_deadline_us_, deadline);
  if (socket_ && phase_ == Phase::kConnecting) deadline = std::min(join_deadline_us_, deadline);
  if (phase_ == Phase::kLost) deadline = std::min(next_attempt_us_, deadline);
  return deadline;
}

TowerRing TowerLink::Ring() { return Ring(bell()); }

bool TowerLink::Rings(int32_t bell_number) const {
  if (params_.bells.empty()) return bell_number == bell();
  return std::find(params_.bells.begin(), params_.bells.end(), bell_number) != params_.bells.end();
}

TowerRing TowerLink::Ring(int32_t bell) {
  TowerRing ring;
  if (phase_ != Phase::kJoined) return ring;
  ring.bell = bell;
  const std::optional<bool> stroke = tower_.Stroke(ring.bell);
  if (ring.bell == 0 || !stroke) {
    ring.not_in_tower = ring.bell > tower_.bell_count() && tower_.known();
    return ring;
  }
  Send(BellRungMessage(ring.bell, *stroke, params_.tower_id));
  tower_.Rung(ring.bell);
  ring.sent = true;
  ring.handstroke = *stroke;
  return ring;
}

std::vector<int32_t> TowerLink::TakeDisagreements() { return std::exchange(disagreements_, {}); }

namespace {

// Bell numbers in ascending order as the ringer reads them: runs as "1-8", the rest
// between commas.
std::string BellList(const std::vector<int32_t>& bells) {
  std::string text;
  for (size_t i = 0; i < bells.size();) {
    size_t end = i;
    while (end + 1 < bells.size() && bells[end + 1] == bells[end] + 1) ++end;
    if (!text.empty()) text += ", ";
    text += std::to_string(bells[i]);
    if (end > i) text += "-" + std::to_string(bells[end]);
    i = end + 1;
  }
  return text;
}

}  // namespace

std::string TowerLink::SeveralBellsText() const {
  std::vector<int32_t> sorted = params_.bells;
  std::sort(sorted.begin(), sorted.end());
  std::vector<int32_t> rung;
  std::vector<int32_t> lacking;
  for (const int32_t b : sorted) (b <= tower_.bell_count() ? rung : lacking).push_back(b);
  std::string text =
      rung.empty()
          ? std::string("no bell is rung")
          : std::string(rung.size() == 1 ? "ringing bell " : "ringing bells ") + BellList(rung);
  if (!lacking.empty()) {
    text += " - the tower has " + std::to_string(tower_.bell_count()) + " bells, so " +
            BellList(lacking) + (lacking.size() == 1 ? " is" : " are") + " not rung";
  }
  return back_ ? "Ringing Room connection is back - " + text : text;
}

std::string TowerLink::StatusText() const {
  switch (phase_) {
    case Phase::kJoined: {
      if (!params_.bells.empty()) return SeveralBellsText();
      const int32_t ringing = bell();
      if (ringing == 0 && params_.fixed_bell > tower_.bell_count()) {
        return "Ringing Room's tower has " + std::to_string(tower_.bell_count()) + " bells: bell " +
               std::to_string(params_.fixed_bell) + " is not rung";
      }
      if (ringing == 0) return "Waiting to be given a bell in Ringing Room";
      const std::string bell_text = "ringing bell " + std::to_string(ringing);
      return back_ ? "Ringing Room connection is back - " + bell_text : bell_text;
    }
    case Phase::kConnecting:
    case Phase::kLost:
      if (!ever_joined_) return "Connecting to Ringing Room";
      return "Ringing Room connection lost - reconnecting; blows are counted, strokes are not "
             "sent";
    case Phase::kFailed:
      return "Ringing Room connection failed: " + failure_;
    case Phase::kTokenRefused:
      return "Ringing Room no longer accepts the login - strokes are not sent";
    case Phase::kKicked:
      return "The host removed you from the Ringing Room tower - strokes are not sent";
  }
  return "";
}

}  // namespace strikewell
