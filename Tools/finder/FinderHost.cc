#include "Tools/finder/FinderHost.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "Platform/Foundation/NSLog.h"
#include "Tools/pluginkit/PluginRegistry.h"

namespace vrk::finder {
namespace {

using findersync::ExtensionHost;
using findersync::HostState;
using nlohmann::json;

constexpr const char* kLogName = "vrk-finder";
// Long enough for an extension that asks its sync client before it answers a menu.
constexpr auto kCallTimeout = std::chrono::seconds(25);
// The barrier waits behind everything queued before it: a folder of many thousand items sends
// as many badge requests, each of which the extension passes on before it answers.
constexpr auto kBarrierTimeout = std::chrono::seconds(300);
// The barrier after a show waits for the batches of badge requests; they need no bound of their
// own beyond it.
constexpr auto kBatchWait = kBarrierTimeout;
constexpr auto kReadyTimeout = std::chrono::seconds(10);
constexpr auto kExitTimeout = std::chrono::seconds(5);

std::string ChildPath(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string StandardPath(const std::string& path) {
  return NSURL::fileURLWithPath(path)->path();
}

json StringOrNull(const std::string& text) {
  return text.empty() ? json(nullptr) : json(text);
}

}  // namespace

json BadgesJSON(const HostState& state) {
  json badges = json::object();
  for (const auto& [path, identifier] : state.badges()) badges[path] = identifier;
  return {{"badges", badges}};
}

json StateJSON(const HostState& state) {
  json directories = json::array();
  if (state.directories()) {
    for (const std::string& dir : *state.directories()) directories.push_back(dir);
  }
  json registrations = json::object();
  for (const auto& [identifier, registration] : state.registrations()) {
    registrations[identifier] = {{"image", StringOrNull(registration.image)},
                                 {"label", registration.label}};
  }
  return {{"directories", directories}, {"registrations", registrations}};
}

// ---------------------------------------------------------------------------------------------
// Starting and stopping

std::unique_ptr<FinderHost> FinderHost::launch(const std::string& bundlePath, Output output,
                                               std::string* error) {
  std::unique_ptr<FinderHost> finder(new FinderHost(std::move(output)));
  if (!finder->startExtension(bundlePath, true, error)) return nullptr;
  return finder;
}

std::unique_ptr<FinderHost> FinderHost::launchElected(Output output) {
  std::unique_ptr<FinderHost> finder(new FinderHost(std::move(output)));
  finder->fromRegistry_ = true;
  finder->rescan(false);
  return finder;
}

ExtensionHost::Events FinderHost::events(std::uint64_t generation) {
  ExtensionHost::Events events;
  auto current = [this, generation] { return generation == generation_; };
  events.ready = [this, current] {
    if (current() && starting_) finishStart(true, {});
  };
  events.observationChanged = [this, current](const std::string& dir, bool observed) {
    // A folder that came into the set has its badges asked, as when it is shown.
    std::string error;
    if (current() && observed) {
      if (auto names = ListDirectory(dir, &error)) requestBadges(dir, *names);
    }
  };
  events.directoriesChanged = [this, current] {
    if (current()) checkWait();
  };
  events.badgeChanged = [this, current](const std::string&, const std::string&) {
    if (current()) checkWait();
  };
  events.disconnected = [this, current] {
    if (!current()) return;
    if (starting_) {
      finishStart(false, "the extension ended before it was ready");
    } else if (!fromRegistry_) {
      if (!finished_) NSLog("vrk-finder: the extension has gone away");
      finish();
    } else {
      NSLog("vrk-finder: the extension %s has gone away", extensionPath_);
      extensionError_ = "the extension has gone away";
      checkWait();
    }
  };
  return events;
}

bool FinderHost::startExtension(const std::string& path, bool block, std::string* error) {
  host_ = ExtensionHost::start(path, kLogName, events(++generation_), error);
  if (!host_) return false;
  extensionPath_ = path;
  if (block) {
    if (!host_->waitUntilReady(kReadyTimeout, error)) {
      stopExtension();
      return false;
    }
    extensionReady();
    return true;
  }
  std::weak_ptr<bool> alive = alive_;
  starting_ = PendingStart{RunLoop::main().addTimer(kReadyTimeout, [this, alive] {
    auto token = alive.lock();
    if (token && *token) finishStart(false, "the extension was not ready in time");
  })};
  return true;
}

void FinderHost::finishStart(bool ok, const std::string& error) {
  starting_.reset();  // a source may be released from inside its own callback
  if (ok) {
    extensionReady();
  } else {
    NSLog("vrk-finder: cannot start %s: %s", extensionPath_, error);
    extensionError_ = error;
    // Not from inside the host's own event: its end waits for the loop.
    std::shared_ptr<ExtensionHost> failed(std::move(host_));
    ++generation_;
    extensionPath_.clear();
    RunLoop::main().perform([failed] { failed->shutdown(kExitTimeout); });
  }
  output_(extensionJSON());
  schedulePump();
}

void FinderHost::extensionReady() {
  extensionError_.clear();
  // The folder shown before the extension came is shown to it now.
  if (shown_ && host_->show(*shown_)) {
    std::string error;
    if (auto names = ListDirectory(*shown_, &error)) requestBadges(*shown_, *names);
  }
}

void FinderHost::stopExtension() {
  if (!host_) return;
  ++generation_;  // what the stopping extension still sends is not ours any more
  host_->shutdown(kExitTimeout);
  host_.reset();
  extensionPath_.clear();
}

void FinderHost::rescan(bool answer) {
  std::vector<pluginkit::Registration> copies =
      pluginkit::ElectedCopies(pluginkit::ReadRegistry(), pluginkit::kFinderSyncExtensionPoint);
  elected_.clear();
  for (const auto& copy : copies) elected_.push_back(copy.path);
  if (elected_.size() > 1) {
    NSLog("vrk-finder: %d FinderSync extensions are elected; hosting the newest, %s",
          static_cast<int>(elected_.size()), elected_.front());
  }
  if (!elected_.empty() && running() && extensionPath_ == elected_.front()) {
    if (answer) output_(extensionJSON());
    return;
  }
  stopExtension();
  extensionError_ = elected_.empty() ? "no FinderSync extension is elected" : "";
  if (elected_.empty()) {
    NSLog("vrk-finder: %s", extensionError_);
    if (answer) output_(extensionJSON());
    return;
  }
  std::string error;
  // The scan at start runs before the loop does and waits for the extension right away; a
  // rescan command lets the loop run and answers once the extension is ready.
  if (!startExtension(elected_.front(), !answer, &error)) {
    NSLog("vrk-finder: cannot start %s: %s", elected_.front(), error);
    extensionError_ = error;
    if (answer) output_(extensionJSON());
  }
}

json FinderHost::extensionJSON() const {
  json answer = {{"extension", running() ? json(extensionPath_) : json(nullptr)}};
  if (fromRegistry_) answer["elected"] = elected_;
  if (!extensionError_.empty()) answer["extensionError"] = extensionError_;
  return answer;
}

json FinderHost::stateJSON() const {
  json state = running() ? StateJSON(host_->state()) : StateJSON(HostState());
  state.update(extensionJSON());
  return state;
}

int FinderHost::shutdown() {
  if (exitStatus_ >= 0) return exitStatus_;
  wait_.reset();
  starting_.reset();
  if (!host_) return exitStatus_ = fromRegistry_ ? 0 : 1;
  const bool extensionLeftFirst = !host_->connected();
  const bool clean = host_->shutdown(kExitTimeout);
  return exitStatus_ = (clean && !extensionLeftFirst) ? 0 : 1;
}

FinderHost::~FinderHost() {
  *alive_ = false;
  shutdown();
}

void FinderHost::finish() {
  if (finished_) return;
  finished_ = true;
  RunLoop::main().stop();
}

// ---------------------------------------------------------------------------------------------
// Commands

void FinderHost::feed(std::span<const char> bytes) {
  lines_.append(bytes);
  pump();
}

void FinderHost::endOfInput() {
  lines_.finish();
  endOfInput_ = true;
  pump();
}

void FinderHost::schedulePump() {
  if (pumpScheduled_) return;
  pumpScheduled_ = true;
  std::weak_ptr<bool> alive = alive_;
  RunLoop::main().perform([this, alive] {
    auto token = alive.lock();
    if (token && *token) pump();
  });
}

void FinderHost::pump() {
  pumpScheduled_ = false;
  while (!finished_ && !wait_ && !starting_) {
    std::optional<Command> command = NextCommand(lines_, [this](const std::string& error) {
      output_({{"error", error}});
    });
    if (!command) break;
    serve(*command);
  }
  if (!finished_ && !wait_ && !starting_ && endOfInput_ && lines_.empty()) finish();
}

void FinderHost::serve(const Command& command) {
  if (auto* c = std::get_if<ShowCommand>(&command)) {
    show(*c);
  } else if (std::holds_alternative<BadgesCommand>(command)) {
    barrier();
    output_(BadgesJSON(running() ? host_->state() : HostState()));
  } else if (auto* c = std::get_if<WaitBadgeCommand>(&command)) {
    waitBadge(*c);
  } else if (auto* c = std::get_if<MenuCommand>(&command)) {
    menu(*c);
  } else if (auto* c = std::get_if<ClickCommand>(&command)) {
    click(*c);
  } else if (std::holds_alternative<StateCommand>(command)) {
    barrier();
    output_(stateJSON());
  } else if (std::holds_alternative<RescanCommand>(command)) {
    rescan(true);
  } else if (std::holds_alternative<QuitCommand>(command)) {
    output_({{"ok", true}});
    finish();
  }
}

void FinderHost::barrier() {
  if (!running()) return;
  std::string error;
  if (!host_->barrier(kBarrierTimeout, &error)) {
    NSLog("vrk-finder: the extension did not answer: %s", error);
  }
}

std::optional<std::vector<std::string>> FinderHost::ListDirectory(const std::string& dir,
                                                                  std::string* error) {
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) {
    *error = dir + ": " + ec.message();
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    // Finder does not show hidden items, and so asks no badge for them.
    if (!name.empty() && name[0] != '.') names.push_back(std::move(name));
  }
  if (ec) {
    *error = dir + ": " + ec.message();
    return std::nullopt;
  }
  std::sort(names.begin(), names.end());
  return names;
}

void FinderHost::requestBadges(const std::string& dir, const std::vector<std::string>& names) {
  // Sent in batches without waiting: the extension serves them in order, and the barrier that
  // follows a show tells when it has.
  if (!running()) return;
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const std::string& name : names) paths.push_back(ChildPath(dir, name));
  host_->requestBadges(paths, kBatchWait, nullptr);
}

void FinderHost::show(const ShowCommand& command) {
  const std::string dir = StandardPath(command.dir);
  std::string error;
  std::optional<std::vector<std::string>> names = ListDirectory(dir, &error);
  if (!names) {
    output_({{"error", "show: " + error}});
    return;
  }
  if (shown_ && *shown_ != dir && running()) host_->hide(*shown_);
  shown_ = dir;
  const bool observed = running() && host_->show(dir);
  if (observed) requestBadges(dir, *names);
  barrier();

  json items = json::array();
  for (const std::string& name : *names) {
    const std::string path = ChildPath(dir, name);
    items.push_back({{"name", name}, {"path", path}, {"badge", badgeOf(path)}});
  }
  output_({{"dir", dir}, {"observed", observed}, {"items", std::move(items)}});
}

void FinderHost::waitBadge(const WaitBadgeCommand& command) {
  barrier();
  const std::string path = StandardPath(command.path);
  const std::string badge = badgeOf(path);
  if (badge == command.identifier || command.milliseconds == 0 || !running()) {
    output_({{"ok", badge == command.identifier}, {"badge", badge}});
    return;
  }
  std::weak_ptr<bool> alive = alive_;
  wait_ = PendingWait{path, command.identifier, {}};
  wait_->timer =
      RunLoop::main().addTimer(std::chrono::milliseconds(command.milliseconds), [this, alive] {
        auto token = alive.lock();
        if (token && *token) finishWait(false);
      });
}

void FinderHost::checkWait() {
  if (!wait_) return;
  if (!running()) {
    finishWait(false);  // the extension has gone: no badge will come
  } else if (badgeOf(wait_->path) == wait_->identifier) {
    finishWait(true);
  }
}

std::string FinderHost::badgeOf(const std::string& path) const {
  return running() ? host_->state().badgeOf(path) : std::string();
}

void FinderHost::finishWait(bool ok) {
  if (!wait_) return;
  output_({{"ok", ok}, {"badge", badgeOf(wait_->path)}});
  wait_.reset();  // a source may be released from inside its own callback
  schedulePump();
}

void FinderHost::menu(const MenuCommand& command) {
  std::vector<std::string> selection;
  for (const std::string& path : command.paths) selection.push_back(StandardPath(path));
  lastMenu_.reset();
  if (!running()) {
    output_({{"menu", nullptr}});
    return;
  }
  std::string error;
  auto reply = host_->menu(command.kind, selection, shown_, kCallTimeout, &error);
  if (!reply) {
    output_({{"error", "menu: " + error}});
    return;
  }
  if (!reply->hasMenu) {
    output_({{"menu", nullptr}});
    return;
  }
  json entries = json::array();
  for (const auto& item : reply->items) {
    entries.push_back({{"title", item.title},
                       {"action", item.action},
                       {"image", StringOrNull(item.image)},
                       {"keyEquivalent", item.keyEquivalent}});
  }
  lastMenu_ = LastMenu{std::move(reply->items), std::move(selection), shown_};
  output_({{"menu", std::move(entries)}});
}

void FinderHost::click(const ClickCommand& command) {
  if (!running() || !lastMenu_ ||
      command.index >= static_cast<std::int64_t>(lastMenu_->items.size()) ||
      lastMenu_->items[command.index].action.empty()) {
    output_({{"ok", false}});
    return;
  }
  std::string error;
  std::optional<bool> responded =
      host_->performAction(lastMenu_->items[command.index].action, command.index,
                           lastMenu_->selection, lastMenu_->targeted, kCallTimeout, &error);
  if (!responded) NSLog("vrk-finder: click: %s", error);
  output_({{"ok", responded.value_or(false)}});
}

}  // namespace vrk::finder
