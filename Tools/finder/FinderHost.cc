#include "Tools/finder/FinderHost.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "Platform/Foundation/NSLog.h"

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
  finder->host_ = ExtensionHost::start(bundlePath, kLogName, finder->events(), error);
  if (!finder->host_ || !finder->host_->waitUntilReady(kReadyTimeout, error)) return nullptr;
  return finder;
}

ExtensionHost::Events FinderHost::events() {
  ExtensionHost::Events events;
  events.observationChanged = [this](const std::string& dir, bool observed) {
    // A folder that came into the set has its badges asked, as when it is shown.
    std::string error;
    if (observed) {
      if (auto names = ListDirectory(dir, &error)) requestBadges(dir, *names);
    }
  };
  events.directoriesChanged = [this] { checkWait(); };
  events.badgeChanged = [this](const std::string&, const std::string&) { checkWait(); };
  events.disconnected = [this] {
    if (!finished_) NSLog("vrk-finder: the extension has gone away");
    finish();
  };
  return events;
}

int FinderHost::shutdown() {
  if (exitStatus_ >= 0) return exitStatus_;
  wait_.reset();
  if (!host_) return exitStatus_ = 1;
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
  while (!finished_ && !wait_) {
    std::optional<LineBuffer::Line> line = lines_.next();
    if (!line) break;
    if (line->overlong) {
      output_({{"error", "line too long"}});
      continue;
    }
    std::string error;
    std::optional<Command> command = ParseCommand(line->text, &error);
    if (!command) {
      if (!error.empty()) output_({{"error", error}});
      continue;
    }
    serve(*command);
  }
  if (!finished_ && !wait_ && endOfInput_ && lines_.empty()) finish();
}

void FinderHost::serve(const Command& command) {
  if (auto* c = std::get_if<ShowCommand>(&command)) {
    show(*c);
  } else if (std::holds_alternative<BadgesCommand>(command)) {
    barrier();
    output_(BadgesJSON(host_->state()));
  } else if (auto* c = std::get_if<WaitBadgeCommand>(&command)) {
    waitBadge(*c);
  } else if (auto* c = std::get_if<MenuCommand>(&command)) {
    menu(*c);
  } else if (auto* c = std::get_if<ClickCommand>(&command)) {
    click(*c);
  } else if (std::holds_alternative<StateCommand>(command)) {
    barrier();
    output_(StateJSON(host_->state()));
  } else if (std::holds_alternative<QuitCommand>(command)) {
    output_({{"ok", true}});
    finish();
  }
}

void FinderHost::barrier() {
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
  // Sent one after the other without waiting: the extension serves them in order, and the
  // barrier that follows a show tells when it has.
  for (const std::string& name : names) host_->requestBadge(ChildPath(dir, name));
}

void FinderHost::show(const ShowCommand& command) {
  const std::string dir = StandardPath(command.dir);
  std::string error;
  std::optional<std::vector<std::string>> names = ListDirectory(dir, &error);
  if (!names) {
    output_({{"error", "show: " + error}});
    return;
  }
  if (shown_ && *shown_ != dir) host_->hide(*shown_);
  shown_ = dir;
  const bool observed = host_->show(dir);
  if (observed) requestBadges(dir, *names);
  barrier();

  json items = json::array();
  for (const std::string& name : *names) {
    const std::string path = ChildPath(dir, name);
    items.push_back({{"name", name}, {"path", path}, {"badge", host_->state().badgeOf(path)}});
  }
  output_({{"dir", dir}, {"observed", observed}, {"items", std::move(items)}});
}

void FinderHost::waitBadge(const WaitBadgeCommand& command) {
  barrier();
  const std::string path = StandardPath(command.path);
  const std::string badge = host_->state().badgeOf(path);
  if (badge == command.identifier || command.milliseconds == 0) {
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
  if (wait_ && host_->state().badgeOf(wait_->path) == wait_->identifier) finishWait(true);
}

void FinderHost::finishWait(bool ok) {
  if (!wait_) return;
  output_({{"ok", ok}, {"badge", host_->state().badgeOf(wait_->path)}});
  wait_.reset();  // a source may be released from inside its own callback
  schedulePump();
}

void FinderHost::menu(const MenuCommand& command) {
  std::vector<std::string> selection;
  for (const std::string& path : command.paths) selection.push_back(StandardPath(path));
  lastMenu_.reset();
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
  if (!lastMenu_ || command.index >= static_cast<std::int64_t>(lastMenu_->items.size()) ||
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
