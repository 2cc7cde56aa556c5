// What every user of sd-bus and sd-event in Platform shares: owners that release the handles,
// an error that frees itself, and opening a connection to the session bus. Header only, so that
// the run loop, the distributed center, the file manager protocol and tests use the same ones
// without linking each other.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace vrk::dbus {

// A connected bus is flushed before it is closed, so that what was queued still leaves.
struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

struct EventUnref {
  void operator()(sd_event* event) const { sd_event_unref(event); }
};
// A source is disabled as it is released: the loop may hold its own reference a while longer,
// and must not call it again.
struct EventSourceUnref {
  void operator()(sd_event_source* source) const { sd_event_source_disable_unref(source); }
};
using EventPtr = std::unique_ptr<sd_event, EventUnref>;
using EventSourcePtr = std::unique_ptr<sd_event_source, EventSourceUnref>;

// An sd_bus_error that frees itself.
struct BusError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&error); }
  sd_bus_error* get() { return &error; }
  // "name: message" when the error is set, otherwise the text of the errno value `code`.
  std::string message(int code) const {
    if (sd_bus_error_is_set(&error)) {
      return std::string(error.name) + ": " + (error.message ? error.message : "");
    }
    return std::strerror(code < 0 ? -code : code);
  }
};

// Opens a new connection to the bus daemon at `address`, as a bus client (it says Hello and gets
// a unique name), described as `description` when one is given. Returns 0 with the connection in
// `out`, or the negative errno value sd-bus gave; `out` is left alone on failure.
[[nodiscard]] inline int OpenBus(BusPtr* out, const char* address,
                                 const char* description = nullptr) {
  sd_bus* raw = nullptr;
  int r = sd_bus_new(&raw);
  BusPtr bus(raw);
  if (r >= 0) r = sd_bus_set_address(bus.get(), address);
  if (r >= 0) r = sd_bus_set_bus_client(bus.get(), 1);
  if (r >= 0 && description != nullptr) r = sd_bus_set_description(bus.get(), description);
  if (r >= 0) r = sd_bus_start(bus.get());
  if (r < 0) return r;
  *out = std::move(bus);
  return 0;
}

// Opens a new connection to the session bus named by DBUS_SESSION_BUS_ADDRESS, as OpenBus does.
// Returns -ENOENT when the variable is unset or empty.
[[nodiscard]] inline int OpenSessionBus(BusPtr* out, const char* description = nullptr) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address == nullptr || *address == '\0') return -ENOENT;
  return OpenBus(out, address, description);
}

// Calls `handler` with `userdata` when the connection is lost: sd-bus reports that as the local
// signal Disconnected, which it makes itself and no peer can send. Returns 0 with the match's
// slot in `out` (released, the match ends), or the negative errno value sd-bus gave.
[[nodiscard]] inline int MatchDisconnected(sd_bus* bus, SlotPtr* out,
                                           sd_bus_message_handler_t handler, void* userdata) {
  sd_bus_slot* slot = nullptr;
  const int r =
      sd_bus_match_signal(bus, &slot, "org.freedesktop.DBus.Local", "/org/freedesktop/DBus/Local",
                          "org.freedesktop.DBus.Local", "Disconnected", handler, userdata);
  if (r >= 0) out->reset(slot);
  return r < 0 ? r : 0;
}

// Returns once the bus daemon has routed everything sent on `bus` before the call: the daemon
// handles one connection's messages in order, so its answer to a call comes after all of them.
// A daemon that finds a connection closed may drop what it had not read from it yet, so a
// connection whose last messages must arrive waits for this before it closes. Waits at most
// `timeoutUsec` (-ETIMEDOUT past it). Returns 0, or the negative errno value sd-bus gave.
// Calling thread: the one that owns `bus`.
[[nodiscard]] inline int WaitUntilRouted(sd_bus* bus, std::uint64_t timeoutUsec) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                         "org.freedesktop.DBus.Peer", "Ping");
  MessagePtr call(raw);
  if (r < 0) return r;
  BusError error;
  r = sd_bus_call(bus, call.get(), timeoutUsec, error.get(), nullptr);
  return r < 0 ? r : 0;
}

}  // namespace vrk::dbus
