// The host's end of the file manager host protocol, shared by every file manager host (vrk-finder,
// the GNOME Files module): it starts a FinderSync extension with its end of a socketpair, serves
// the extension's calls into the HostState it keeps, follows the folders the host shows with
// begin/end observing, and makes the badge, menu and action calls of HostProtocol.h.
//
// Contract:
// - Everything runs on the main run loop's thread (RunLoop::main()): the connection is attached
//   to its sd-event loop, and the events below are called from it. A host whose main thread runs
//   another loop drives that sd-event loop from its own (see the GNOME Files module).
// - start() spawns the extension of a bundle (Contents/Info.plist with the FinderSync extension
//   point and CFBundleExecutable); standard input of the extension is /dev/null, its standard
//   output goes to the host's standard error. Null, with the reason in `error`, when the bundle
//   is no FinderSync extension or the process or connection cannot be made. The extension is
//   ready once it has called Ready (the `ready` event); waitUntilReady runs the main loop until
//   then, for hosts that may block.
// - Calls that wait for the extension (menu, performAction, barrier) block the calling thread for
//   at most their time-out; the others only queue a message. All of them fail (false, nullopt)
//   once the extension has gone away.
// - Events may call back into the host, but must not destroy it; defer that to the loop.
// - shutdown() closes the connection (so that the extension sees the host go away), waits up to
//   its time-out for the extension to exit and kills it otherwise; the destructor does the same
//   with a time-out of five seconds. The process is always reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/FinderSync/HostProtocol.h"
#include "Platform/FinderSync/HostState.h"
#include "Platform/Foundation/UniqueFd.h"

namespace vrk::findersync {

class ExtensionHost {
 public:
  struct Events {
    std::function<void()> ready;
    // A shown folder came into the directory set (and is now observed) or left it. The host
    // asks the badges of a folder that has come in.
    std::function<void(const std::string& dir, bool observed)> observationChanged;
    // After any change of the directory set (observation already followed it).
    std::function<void()> directoriesChanged;
    // An item's badge was set or removed (identifier "") within the directory set.
    std::function<void(const std::string& path, const std::string& identifier)> badgeChanged;
    std::function<void(const std::string& identifier)> badgeImageChanged;
    // The connection closed: the extension exited or closed its end.
    std::function<void()> disconnected;
  };

  struct MenuReply {
    bool hasMenu = false;
    std::vector<WireMenuItem> items;
  };

  // `logName` starts every log line of this host ("vrk-finder", ...).
  static std::unique_ptr<ExtensionHost> start(const std::string& bundlePath, std::string logName,
                                              Events events, std::string* error);
  ~ExtensionHost();
  ExtensionHost(const ExtensionHost&) = delete;
  ExtensionHost& operator=(const ExtensionHost&) = delete;

  // Runs the main loop until the extension is ready, has gone, or `timeout` passed. False with
  // the reason in `error` unless ready. Not from inside a callback of the main loop.
  bool waitUntilReady(std::chrono::milliseconds timeout, std::string* error);

  bool ready() const { return ready_; }
  bool connected() const { return connected_; }
  pid_t pid() const { return child_; }
  const HostState& state() const { return state_; }

  // The host shows `dir`. When the folder lies in the directory set and is not observed yet, the
  // extension begins observing it. True when the folder is observed afterwards.
  bool show(const std::string& dir);
  // The host no longer shows `dir`; an observed folder ends being observed.
  void hide(const std::string& dir);
  bool observes(const std::string& dir) const { return observed_.count(dir) != 0; }
  const std::set<std::string>& shown() const { return shown_; }

  // Asks the extension for the badge of `path`; the answer comes as a badgeChanged event (or
  // not at all, for an item without a badge). False when it could not be sent.
  bool requestBadge(const std::string& path);
  // Asks for the badges of many items in as few messages as their number allows; `done(true)`
  // once the extension has handled every request (whatever badges it set in answer were sent
  // before), `done(false)` on failure or time-out; never called when the host is destroyed
  // first. An extension that does not know the batch member gets the requests one by one.
  // False (and `done` never called) when nothing could be sent.
  bool requestBadges(const std::vector<std::string>& paths, std::chrono::microseconds timeout,
                     std::function<void(bool)> done);

  // The extension's menu for `kind` with the selection and the folder shown. nullopt with the
  // reason in `error` on failure or time-out.
  std::optional<MenuReply> menu(std::int64_t kind, const std::vector<std::string>& selection,
                                const std::optional<std::string>& targeted,
                                std::chrono::microseconds timeout, std::string* error);
  // Performs the action of menu entry `index`; true when the extension says it responded.
  // nullopt with the reason in `error` on failure or time-out.
  std::optional<bool> performAction(const std::string& action, std::int64_t index,
                                    const std::vector<std::string>& selection,
                                    const std::optional<std::string>& targeted,
                                    std::chrono::microseconds timeout, std::string* error);

  // A round trip after which everything the extension sent before it has been handled.
  bool barrier(std::chrono::microseconds timeout, std::string* error);
  // The same without blocking: `done(true)` once the round trip is over, `done(false)` on
  // failure or time-out. Never called when the host is destroyed first. False (and `done`
  // never called) when the call cannot be sent.
  bool barrierAsync(std::chrono::microseconds timeout, std::function<void(bool)> done);

  // See the header comment. True when the extension exited by itself with status 0.
  bool shutdown(std::chrono::milliseconds exitTimeout);

 private:
  ExtensionHost(std::string logName, Events events);
  bool spawnAndConnect(const std::string& bundlePath, std::string* error);

  void beginObserving(const std::string& dir);
  void endObserving(const std::string& dir);
  void followDirectorySet();
  bool sendNoReply(const char* member, const std::function<int(sd_bus_message*)>& append);
  MessagePtr call(const char* member, const std::function<int(sd_bus_message*)>& append,
                  std::chrono::microseconds timeout, std::string* error);
  void drain();
  // Calls `member` without waiting; `done` gets whether it was answered without error. `paths`
  // are the badge requests the call carries, if any.
  bool callAsync(const char* member, const std::function<int(sd_bus_message*)>& append,
                 std::chrono::microseconds timeout, std::function<void(bool)> done,
                 std::vector<std::string> paths);

  static int OnReady(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnSetDirectoryURLs(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnSetBadgeImage(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnSetBadgeIdentifier(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnDisconnected(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnBarrierReply(sd_bus_message* m, void* userdata, sd_bus_error* error);

  struct PendingBarrier;

  std::string logName_;
  Events events_;
  HostState state_;
  pid_t child_ = -1;
  UniqueFd childHandle_;  // becomes readable when the child ends
  BusPtr bus_;
  std::vector<SlotPtr> slots_;
  std::unique_ptr<BusAttachment> attachment_;
  std::vector<std::unique_ptr<PendingBarrier>> barriers_;
  bool connected_ = false;
  bool ready_ = false;
  // Until the extension says it does not know RequestBadgeIdentifiers.
  bool batchRequests_ = true;
  std::set<std::string> shown_;
  std::set<std::string> observed_;
};

}  // namespace vrk::findersync
