// vrk-finder, the stand-in for Finder: the JSON-lines front end of the shared host library
// (Platform/FinderSync/ExtensionHost.h). It shows one folder at a time and serves the commands
// of FinderCommand.h with one JSON object per command.
//
// Contract:
// - FinderHost::launch starts the extension of a bundle through ExtensionHost and waits
//   (bounded) until it is ready. Null, with the reason in `error`, when any of it fails.
// - Everything runs on the main run loop's thread. Commands are served one at a time, in order;
//   a wait-badge keeps the next commands queued until it ends.
// - The host finishes after a quit, at the end of input once the queued commands are served,
//   or when the extension goes away. The destructor stops the extension (ExtensionHost).
#pragma once

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

  explicit FinderHost(Output output) : output_(std::move(output)) {}
  findersync::ExtensionHost::Events events();

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
