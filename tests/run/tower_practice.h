// A practice ringing a fake Ringing Room tower in fake time: the fakes counting needs,
// ann's account, and her connection to tower 123456789, joined before counting starts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fake_clock.h"
#include "fake_console.h"
#include "fake_desktop.h"
#include "fake_event_wait.h"
#include "fake_network.h"
#include "fake_serial.h"
#include "run/counting.h"
#include "tower/tower_link.h"

namespace strikewell::testing {

inline constexpr int64_t kTower = 123456789;
inline constexpr int64_t kAnn = 7;

struct TowerPractice {
  // The tower (its number and name are set here) and how the link rings it; the
  // link's tower, address, token and user are ann's.
  void Join(FakeNetwork::Tower tower, TowerLinkParams params) {
    network.AddUser({.email = "ann@example.org", .password = "pw", .username = "ann", .id = kAnn});
    tower.number = kTower;
    tower.name = "St Mary's";
    network.AddTower(tower);
    params.tower_id = kTower;
    params.socket_url = "wss://ringingroom.com/socket.io/?EIO=4&transport=websocket";
    params.token = network.TokenFor("ann@example.org");
    params.username = "ann";
    link = std::make_unique<TowerLink>(network, clock, std::move(params));
    link->Connect();
    // With no latency the whole join is answered at once.
    link->Service();
  }

  // Counts until "q" at quit_ms, telling log of every blow.
  void Run(int64_t quit_ms, PracticeLog& log) {
    raw.Type("q", quit_ms);
    CountingIo io{serial, console, desktop, clock, wait, &log};
    io.tower = link.get();
    CountBlows(state, io);
  }

  // Each ring the server received: "bell@ms hand|back".
  std::vector<std::string> Rings() const {
    std::vector<std::string> rings;
    for (const auto& rung : network.rungs) {
      rings.push_back(std::to_string(rung.bell) + "@" + std::to_string(rung.at_us / 1000) +
                      (rung.stroke ? " hand" : " back"));
    }
    return rings;
  }

  FakeClock clock;
  FakeRawConsole raw{clock};
  Console console{raw, clock};
  FakeSerial serial{clock};
  FakeDesktop desktop{&clock};
  FakeNetwork network{clock};
  FakeEventWait wait{clock, serial, raw, &network};
  std::unique_ptr<TowerLink> link;
  RunState state;
};

}  // namespace strikewell::testing
