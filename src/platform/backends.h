// The real backends of the platform being built; only main() uses these.
#pragma once

#include <memory>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/desktop.h"
#include "platform/event_wait.h"
#include "platform/network.h"
#include "platform/registry.h"
#include "platform/serial.h"

namespace strikewell {

std::unique_ptr<Clock> MakeClock();
std::unique_ptr<Serial> MakeSerial();
std::unique_ptr<PortNames> MakePortNames();
std::unique_ptr<RawConsole> MakeRawConsole();
std::unique_ptr<Desktop> MakeDesktop();
std::unique_ptr<Network> MakeNetwork(Clock& clock);
std::unique_ptr<LoginStore> MakeLoginStore();
// The counting loop's wait over the serial backend's ports, the console and the
// WebSockets of the network that MakeSerial(), MakeRawConsole() and MakeNetwork()
// gave (network may be null: then WaitFor::network is never set); all must outlive it.
std::unique_ptr<EventWait> MakeEventWait(Serial& serial, RawConsole& console, Clock& clock,
                                         Network* network = nullptr);

}  // namespace strikewell
