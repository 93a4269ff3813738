#include "tower/tower_start.h"

#include <algorithm>

#include "tower/site_api.h"

namespace strikewell {
namespace {

using Outcome = SiteAnswer::Outcome;

// Says why ringing cannot start and waits for Enter, as the other start-up
// failures do.
std::unique_ptr<TowerLink> Ended(Console& console, const std::string& sentence) {
  console.WriteLn(sentence);
  console.ReadBareLine();
  return nullptr;
}

void Keep(TowerIo& io, const KeptLogin& login) {
  std::string error;
  if (!io.logins.Write(KeptLoginText(login), error)) {
    io.console.WriteLn("The Ringing Room login could not be kept in " + io.logins.Where() + ": " +
                       error);
  }
}

// Asks for the email and password until the site gives a token: "" when the ringer
// gave no email; failure set when the site could not be asked.
std::string LogIn(TowerIo& io, const std::string& server, std::string& email,
                  std::string& failure) {
  Console& console = io.console;
  for (;;) {
    console.Write("Ringing Room account email: ");
    email = console.ReadLine(email);
    if (email.empty()) return "";
    console.Write("Ringing Room password (not shown): ");
    std::string password = console.ReadHiddenLine();
    std::string token;
    // The line end after the password shows before the site is asked, which can take
    // seconds.
    console.Flush();
    const SiteAnswer answer = FetchToken(io.network, server, email, password, token);
    std::fill(password.begin(), password.end(), '\0');
    if (answer.outcome == Outcome::kOk) return token;
    if (answer.outcome != Outcome::kRefused) {
      failure = answer.failure;
      return "";
    }
    console.WriteLn("Ringing Room did not accept that email and password");
  }
}

// Waits in the one wait until the first connection has joined or failed.
void AwaitJoin(TowerIo& io, TowerLink& link) {
  while (link.phase() == TowerLink::Phase::kConnecting) {
    WaitFor what;
    what.console = false;
    what.network = true;
    what.deadline_us = link.NextDeadline();
    io.console.Flush();
    io.wait.Wait(what);
    link.Service();
  }
}

}  // namespace

std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text.substr(0, 60)) {
    shown += static_cast<unsigned char>(c) < ' ' || c == '\x7f' ? '?' : c;
  }
  return shown;
}

KeptLogin ReadKeptLogin(LoginStore& logins) {
  std::string error;
  const std::optional<std::string> text = logins.Read(error);
  return text ? ParseKeptLogin(*text) : KeptLogin{};
}

std::unique_ptr<TowerLink> StartTower(TowerIo& io, const TowerChoice& choice, int32_t fixed_bell,
                                      std::vector<int32_t> bells) {
  Console& console = io.console;
  KeptLogin kept = ReadKeptLogin(io.logins);
  // A token belongs to the site that gave it.
  std::string token = kept.server == choice.server ? kept.token : "";
  for (;;) {
    if (token.empty()) {
      std::string failure;
      token = LogIn(io, choice.server, kept.email, failure);
      if (!failure.empty()) return Ended(console, failure);
      if (token.empty()) return Ended(console, "No email given - Ringing Room is not rung.");
      kept.token = token;
      kept.server = choice.server;
      Keep(io, kept);
    }
    std::string username;
    console.Flush();
    const SiteAnswer user = FetchUser(io.network, choice.server, token, username);
    if (user.outcome == Outcome::kRefused) {
      token.clear();
      continue;
    }
    if (user.outcome != Outcome::kOk) return Ended(console, user.failure);

    std::string name;
    std::string server_address;
    const SiteAnswer tower =
        FetchTower(io.network, choice.server, token, choice.tower, name, server_address);
    if (tower.outcome == Outcome::kRefused) {
      token.clear();
      continue;
    }
    if (tower.outcome == Outcome::kUnknownTower) {
      return Ended(console, "Ringing Room has no tower " + std::to_string(choice.tower));
    }
    if (tower.outcome != Outcome::kOk) return Ended(console, tower.failure);
    std::string error;
    const std::string socket_url = SocketUrl(server_address, error);
    if (socket_url.empty()) return Ended(console, error);
    kept.tower = choice.tower;
    kept.tower_name = name;
    Keep(io, kept);

    auto link = std::make_unique<TowerLink>(io.network, io.clock,
                                            TowerLinkParams{.tower_id = choice.tower,
                                                            .socket_url = socket_url,
                                                            .token = token,
                                                            .username = username,
                                                            .fixed_bell = fixed_bell,
                                                            .bells = bells});
    console.WriteLn("Connecting to Ringing Room tower " + Shown(name));
    link->Connect();
    AwaitJoin(io, *link);
    switch (link->phase()) {
      case TowerLink::Phase::kJoined:
        console.WriteLn("Connected to Ringing Room tower " + Shown(name) + " as " +
                        Shown(username));
        return link;
      case TowerLink::Phase::kTokenRefused:
        token.clear();
        continue;
      default:
        return Ended(console, FailureSentence(socket_url, link->failure()));
    }
  }
}

int ForgetLogin(LoginStore& logins, std::string& out, std::string& err) {
  std::string error;
  if (!logins.Remove(error)) {
    err += "The Ringing Room login kept in " + logins.Where() + " could not be removed: " + error +
           "\n";
    return 1;
  }
  out += "No Ringing Room login is kept now (" + logins.Where() + ").\n";
  return 0;
}

}  // namespace strikewell
