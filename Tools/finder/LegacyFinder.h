// vrk-finder without an extension: Finder as it is before 10.10. It has no FinderSync
// extensions; instead it answers Apple events on the session bus (as org.vrk.Application.Finder,
// Platform/AppleScript/AppleEventWire.h) by loading scripting additions into its own process,
// and shows what the legacy Finder bundle loaded that way was told to show.
//
// Contract:
// - launch installs the scripting additions that the client's bundle ships (Sync.app/Contents/
//   Library/ScriptingAdditions in the build tree) into the emulated home's
//   Library/ScriptingAdditions where they are missing, as the client's installer would; asks for
//   the application's bus name (queued behind a Finder that still runs, so that it takes over
//   when that one ends); and serves events on the main run loop. Null, with the reason in
//   `error`, when it cannot.
// - An event of class CCCC and id IIII is handled by the first addition
//   (home/Library/ScriptingAdditions/NAME.osax/Contents/MacOS/NAME.so) that exports
//   VRKOSAXHandler_CCCCIIII; an addition stays loaded until the host ends. No such addition: the
//   event is not handled. A handler that fails answers the handler-failed error with its text.
// - Commands (FinderCommand.h), one at a time on the main thread: "show" answers ok, "badges"
//   the bundle's badges ({"badges": {path: "TYPE"}}, none while hidden), "state" the bundle's
//   whole state ({"legacy": ...}, null before it is loaded), "menu" the bundle's items for the
//   first selected item ({"menu": [{"title", "command"}...]} or null), "quit" ends. "wait-badge"
//   and "click" need an extension and answer an error.
// - The destructor first releases the application's bus name (a queued Finder takes over), then
//   unloads the bundle (its name leaves the bus).
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>
#include <nlohmann/json.hpp>

#include "Platform/Foundation/SdBus.h"
#include "Tools/finder/FinderCommand.h"

namespace vrk::finder {

class LegacyFinder {
 public:
  using Output = std::function<void(const nlohmann::json&)>;

  static std::unique_ptr<LegacyFinder> launch(Output output, std::string* error);
  ~LegacyFinder();
  LegacyFinder(const LegacyFinder&) = delete;
  LegacyFinder& operator=(const LegacyFinder&) = delete;

  void feed(std::span<const char> bytes);
  void endOfInput();
  bool finished() const { return finished_; }
  int shutdown() { return 0; }

 private:
  explicit LegacyFinder(Output output) : output_(std::move(output)) {}
  bool start(std::string* error);
  void pump();
  void serve(const Command& command);
  // The symbol of a loaded addition, or null.
  void* find(const char* symbol) const;
  // Handles one Apple event; returns the reply's sd-bus result.
  int handleEvent(sd_bus_message* m);
  static int OnEvent(sd_bus_message* m, void* userdata, sd_bus_error* error);

  Output output_;
  LineBuffer lines_;
  bool finished_ = false;
  bool endOfInput_ = false;
  dbus::BusPtr bus_;
  dbus::SlotPtr slot_;
  std::vector<void*> loaded_;  // dlopen handles, in order of loading
};

}  // namespace vrk::finder
