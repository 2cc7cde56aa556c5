// The calling thread's own connection to the session bus, for method calls that wait for their
// answer (AppleScript's Apple events, messages to distant objects).
//
// Contract:
// - ThreadSessionBus() returns the calling thread's connection to the bus named by
//   DBUS_SESSION_BUS_ADDRESS, opened on first use and opened again after it was lost. Null when
//   there is no reachable bus; each failure is logged. The connection belongs to the thread and is
//   closed when the thread ends: use it only on that thread and only for the call at hand.
// - It is attached to no run loop and subscribes to nothing, so it serves only calls such as
//   sd_bus_call; whatever else reaches it is discarded before the next use.
// - IsNoOwnerError tells whether a failed call's error means that its destination name has no
//   owner (the application is not running, the distant object is gone).
#pragma once

#include <systemd/sd-bus.h>

#include "Platform/Foundation/SdBus.h"

namespace vrk::dbus {

sd_bus* ThreadSessionBus();

bool IsNoOwnerError(const sd_bus_error* error);

}  // namespace vrk::dbus
