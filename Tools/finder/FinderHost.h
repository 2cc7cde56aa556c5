// vrk-finder, the stand-in for Finder: the JSON-lines front end of the shared host library
// (Platform/FinderSync/ExtensionHost.h). It shows one folder at a time and serves the commands
// of FinderCommand.h with one JSON object per command.
//
// Contract:
// - FinderHost::launch starts the extension of a bundle through ExtensionHost and waits
//   (bounded) until it is ready. Null, with the reason in `error`, when any of it fails.
// - FinderHost::launchElected starts what the plug-in registry elects, as Finder does: the
//   elected copy of the FinderSync extensions (Tools/pluginkit/PluginRegistry.h). One extension
//   runs at a time; when several are elected, the newest registration runs and the others are
//   listed in ["state"]. With none elected, or when the elected copy cannot start, the host runs
//   without an extension (folders show without badges, menus are empty) and ["state"] says so.
//   ["rescan"] asks the registry again and replaces the running extension when another copy is
//   elected now. Never null.
// - Everything runs on the main run loop's thread. Commands are served one at a time, in order;
//   a wait-badge or a rescan that starts an extension keeps the next commands queued until it
//   ends.
// - The host finishes after a quit, at the end of input once the queued commands are served, or
//   when an extension given by path goes away (an elected one may go; the host stays). The
//   destructor stops the extension (ExtensionHost).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/FinderSync/ExtensionHost.h"
#include "Platform/Foundation/NSURL.h"
#include "Platform/Foundation/RunLoop.h"
#include "Tools/finder/FinderCommand.h"

namespace vrk::finder {

// The JSON answers of ["badges"] and ["state"].
nlohmann::json BadgesJSON(const findersync::HostState& state);
nlohmann::json StateJSON(const findersync::HostState& state);

class FinderHost {
 public:
  using Output = std::function<void(const nlohmann::json&)>;

  static std::unique_ptr<FinderHost> launch(const std::string& bundlePath, Output output,
                                            std::string* error);
  static std::unique_ptr<FinderHost> launchElected(Output output);
  ~FinderHost();
  FinderHost(const FinderHost&) = delete;
  FinderHost& operator=(const FinderHost&) = delete;

  // Input from standard input, in any pieces; served as whole lines arrive.
  void feed(std::span<const char> bytes);
  void endOfInput();

  bool finished() const { return finished_; }
  // The exit status of vrk-finder: 0 when the extension was running until the host ended and
  // then exited with 0, 1 otherwise. Waits (bounded) for the extension to exit.
  int shutdown();

 private:
  struct PendingWait {
    std::string path;
    std::string identifier;
    RunLoopSource timer;
  };
  struct LastMenu {
    std::vector<findersync::WireMenuItem> items;
    std::vector<std::string> selection;
    std::optional<std::string> targeted;
  };

  struct PendingStart {
    RunLoopSource timer;
  };

  explicit FinderHost(Output output) : output_(std::move(output)) {}
  // Events of the extension host started as `generation`; those of an earlier one are ignored.
  findersync::ExtensionHost::Events events(std::uint64_t generation);

  // Starts the extension at `path`. Blocking, it waits until the extension is ready; otherwise
  // the start ends in finishStart, and commands wait until then.
  bool startExtension(const std::string& path, bool block, std::string* error);
  void finishStart(bool ok, const std::string& error);
  void extensionReady();
  // Stops the running extension, if any, and forgets it.
  void stopExtension();
  // Asks the registry and starts its elected copy; `answer` for a rescan command, which gets
  // one answer line.
  void rescan(bool answer);
  std::string badgeOf(const std::string& path) const;
  bool running() const { return host_ && host_->connected(); }
  nlohmann::json stateJSON() const;
  nlohmann::json extensionJSON() const;

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
  void barrier();

  // The entries Finder would show in `dir`, in name order (hidden ones left out).
  static std::optional<std::vector<std::string>> ListDirectory(const std::string& dir,
                                                               std::string* error);
  void requestBadges(const std::string& dir, const std::vector<std::string>& names);

  Output output_;
  std::unique_ptr<findersync::ExtensionHost> host_;
  bool fromRegistry_ = false;
  std::uint64_t generation_ = 0;
  std::string extensionPath_;         // the copy that runs, when one does
  std::vector<std::string> elected_;  // what the registry elected at the last scan
  std::string extensionError_;        // why the elected copy does not run
  std::optional<PendingStart> starting_;
  bool finished_ = false;
  bool endOfInput_ = false;
  bool pumpScheduled_ = false;
  int exitStatus_ = -1;

  LineBuffer lines_;
  std::optional<PendingWait> wait_;
  std::optional<std::string> shown_;  // the folder shown last
  std::optional<LastMenu> lastMenu_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vrk::finder
