// The real backends of the platform being built; only main() uses these.
#pragma once

#include <memory>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/desktop.h"
#include "platform/event_wait.h"
#include "platform/registry.h"
#include "platform/serial.h"

namespace strikewell {

std::unique_ptr<Clock> MakeClock();
std::unique_ptr<Serial> MakeSerial();
std::unique_ptr<PortNames> MakePortNames();
std::unique_ptr<RawConsole> MakeRawConsole();
std::unique_ptr<Desktop> MakeDesktop();
// The counting loop's wait over the serial backend's ports and the console that
// MakeSerial() and MakeRawConsole() gave; both must outlive it.
std::unique_ptr<EventWait> MakeEventWait(Serial& serial, RawConsole& console, Clock& clock);

}  // namespace strikewell
