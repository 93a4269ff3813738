// What the Linux network backend shares with the counting wait beyond MakeNetwork().
// Boost.Beast stays inside network_posix.cc: it costs a gigabyte and half a minute
// to compile, so no other file may include it through this header.
#pragma once

#include "platform/network.h"

namespace strikewell {

// The network as the counting wait sees it (MakeNetwork() gives one). Each
// WebSocket's own thread queues what it receives and signals one eventfd shared by
// all WebSockets of the network.
class PosixNetwork : public Network {
 public:
  // Readable after news has been queued on any WebSocket of this network; the wait
  // polls it beside the port and the terminal.
  virtual int NewsFd() = 0;
  // Whether any WebSocket of this network holds news not yet taken with Next().
  // Clears NewsFd's readiness first, so news queued after this call makes it
  // readable again and none can be missed between a look and the next poll.
  virtual bool NewsWaiting() = 0;
};

}  // namespace strikewell
