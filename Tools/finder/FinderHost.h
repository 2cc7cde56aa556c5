// vrk-finder, the stand-in for Finder: it starts a FinderSync extension, keeps what Finder
// keeps (the directory set, the badge registrations, the badge of each item), and serves the
// commands of FinderCommand.h with one JSON object per command.
//
// Contract:
// - FinderState is the plain model of what Finder keeps; pure, single-threaded.
// - FinderHost::launch starts the extension of a bundle (Contents/Info.plist with the FinderSync
//   extension point and CFBundleExecutable) with its end of a socketpair, speaks the protocol
//   of Platform/FinderSync/HostProtocol.h as the server end, and waits (bounded) until the
//   extension says it is ready. Null, with the reason in `error`, when any of it fails.
// - Everything runs on the main run loop's thread. Commands are served one at a time, in order;
//   a wait-badge keeps the next commands queued until it ends.
// - The host finishes after a quit, at the end of input once the queued commands are served,
//   or when the extension goes away. The destructor closes the connection (so that the
//   extension sees the host go away), waits a bounded time for the extension to exit and kills
//   it otherwise.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/FinderSync/HostProtocol.h"
#include "Platform/Foundation/NSURL.h"
#include "Platform/Foundation/RunLoop.h"
#include "Tools/finder/FinderCommand.h"

namespace vrk::finder {

class FinderState {
 public:
  struct Registration {
    std::string image;
    std::string label;
  };

  // Finder drops the badges of items that leave the directory set.
  void setDirectoryURLs(std::optional<std::vector<NSURL>> urls);
  // True when `path` is a directory of the set or lies beneath one.
  bool covers(const std::string& path) const;
  void setBadgeImage(std::string image, std::string label, std::string identifier);
  // The empty identifier removes the badge. False (nothing kept) for an item outside the
  // directory set, which Finder does not decorate.
  bool setBadgeIdentifier(const std::string& identifier, const NSURL& url);
  // The item's badge identifier, "" for none.
  std::string badgeOf(const std::string& path) const;

  nlohmann::json badgesJSON() const;
  nlohmann::json stateJSON() const;

 private:
  std::optional<std::set<std::string>> directories_;  // paths
  std::map<std::string, Registration> registrations_;
  std::map<std::string, std::string> badges_;  // path -> identifier
};

class FinderHost {
 public:
  using Output = std::function<void(const nlohmann::json&)>;

  static std::unique_ptr<FinderHost> launch(const std::string& bundlePath, Output output,
                                            std::string* error);
  ~FinderHost();
  FinderHost(const FinderHost&) = delete;
  FinderHost& operator=(const FinderHost&) = delete;

  // Input from standard input, in any pieces; served as whole lines arrive.
  void feed(std::span<const char> bytes);
  void endOfInput();

  bool finished() const { return finished_; }
  // The exit status of vrk-finder: 0 when the extension was running until the host ended and
  // then exited with 0, 1 otherwise. Valid after the destructor's wait, see shutdown().
  int shutdown();

 private:
  struct PendingWait {
    std::string path;
    std::string identifier;
    RunLoopSource timer;
  };
  struct LastMenu {
    std::vector<findersync::WireMenuItem> items;
    std::vector<NSURL> selection;
    std::optional<NSURL> targeted;
  };

  explicit FinderHost(Output output) : output_(std::move(output)) {}
  bool start(const std::string& bundlePath, std::string* error);
  bool waitUntilReady(std::string* error);

  void pump();
  void schedulePump();
  void serve(const Command& command);
  void show(const ShowCommand& command);
  void waitBadge(const WaitBadgeCommand& command);
  void menu(const MenuCommand& command);
  void click(const ClickCommand& command);
  void checkWait();
  void finishWait(bool ok);
  void finish();

  // The entries Finder would show in `dir`, in name order (hidden ones left out).
  static std::optional<std::vector<std::string>> ListDirectory(const std::string& dir,
                                                               std::string* error);
  void beginObserving(const std::string& dir, const std::vector<std::string>& names);
  void requestBadges(const std::string& dir, const std::vector<std::string>& names);
  void endObserving(const std::string& dir);
  // Sends a call without waiting for its reply; false when it could not be queued.
  bool sendNoReply(const char* member, const std::function<int(sd_bus_message*)>& append);
  // Calls and waits; null with the reason in `error` on failure.
  findersync::MessagePtr call(const char* member, const std::function<int(sd_bus_message*)>& append,
                              std::string* error, std::uint64_t timeoutUsec);
  // A round trip, after which everything the extension sent before it has been handled.
  void barrier();

  static int OnReady(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnSetDirectoryURLs(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnSetBadgeImage(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnSetBadgeIdentifier(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int OnDisconnected(sd_bus_message* m, void* userdata, sd_bus_error* error);

  Output output_;
  FinderState state_;
  pid_t child_ = -1;
  findersync::BusPtr bus_;
  std::vector<findersync::SlotPtr> slots_;
  std::unique_ptr<findersync::BusAttachment> attachment_;
  bool connected_ = false;
  bool ready_ = false;
  bool finished_ = false;
  bool quitRequested_ = false;
  bool endOfInput_ = false;
  bool pumpScheduled_ = false;
  int exitStatus_ = -1;

  LineBuffer lines_;
  std::optional<PendingWait> wait_;
  std::optional<std::string> shown_;  // the folder shown last
  bool observed_ = false;             // whether the extension observes it
  std::optional<LastMenu> lastMenu_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vrk::finder
