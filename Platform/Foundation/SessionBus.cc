// The per-thread session bus connection for blocking calls.
#include "Platform/Foundation/SessionBus.h"

#include <cstring>
#include <string>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/SdBus.h"

namespace vrk::dbus {

sd_bus* ThreadSessionBus() {
  thread_local BusPtr bus;
  if (bus && sd_bus_is_open(bus.get()) <= 0) bus.reset();
  if (!bus) {
    int r = OpenSessionBus(&bus);
    if (r < 0) {
      NSLog("SessionBus: cannot reach the session bus: %s",
            r == -ENOENT ? "DBUS_SESSION_BUS_ADDRESS is not set" : std::strerror(-r));
      return nullptr;
    }
  }
  // Nothing is handled on this connection; drop what arrived since the last call (the daemon's
  // NameAcquired, stray calls) so that it cannot pile up.
  while (sd_bus_process(bus.get(), nullptr) > 0) {
  }
  return bus.get();
}

bool IsNoOwnerError(const sd_bus_error* error) {
  return sd_bus_error_has_name(error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
         sd_bus_error_has_name(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
}

}  // namespace vrk::dbus
