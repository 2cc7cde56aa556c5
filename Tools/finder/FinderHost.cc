#include "Tools/finder/FinderHost.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <systemd/sd-id128.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "Platform/Foundation/NSBundle.h"
#include "Platform/Foundation/NSLog.h"

extern char** environ;

namespace vrk::finder {
namespace {

using findersync::BusError;
using findersync::MessagePtr;
using nlohmann::json;

constexpr std::string_view kFinderSyncExtensionPoint = "com.apple.FinderSync";
// Long enough for an extension that asks its sync client before it answers a menu.
constexpr std::uint64_t kCallTimeoutUsec = 25'000'000;
// The barrier waits behind everything queued before it: a folder of many thousand items sends
// as many badge requests, each of which the extension passes on before it answers.
constexpr std::uint64_t kBarrierTimeoutUsec = 300'000'000;
constexpr auto kReadyTimeout = std::chrono::seconds(10);
constexpr auto kExitTimeout = std::chrono::seconds(5);

std::string Errno(int code) {
  return std::strerror(code < 0 ? -code : code);
}

bool PathIsUnder(const std::string& path, const std::string& dir) {
  if (path == dir) return true;
  if (dir == "/") return true;
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

std::string URLText(const std::string& path) {
  std::optional<NSURL> url = NSURL::fileURLWithPath(path);
  return url ? url->absoluteString() : std::string();
}

std::string ChildPath(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

json StringOrNull(const std::string& text) {
  return text.empty() ? json(nullptr) : json(text);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// FinderState

void FinderState::setDirectoryURLs(std::optional<std::vector<NSURL>> urls) {
  if (!urls) {
    directories_.reset();
  } else {
    directories_.emplace();
    for (const NSURL& url : *urls) directories_->insert(url.path());
  }
  std::erase_if(badges_, [this](const auto& entry) { return !covers(entry.first); });
}

bool FinderState::covers(const std::string& path) const {
  if (!directories_) return false;
  return std::any_of(directories_->begin(), directories_->end(),
                     [&](const std::string& dir) { return PathIsUnder(path, dir); });
}

void FinderState::setBadgeImage(std::string image, std::string label, std::string identifier) {
  registrations_[std::move(identifier)] = {std::move(image), std::move(label)};
}

bool FinderState::setBadgeIdentifier(const std::string& identifier, const NSURL& url) {
  std::string path = url.path();
  if (!covers(path)) return false;
  if (identifier.empty()) {
    badges_.erase(path);
  } else {
    badges_[path] = identifier;
  }
  return true;
}

std::string FinderState::badgeOf(const std::string& path) const {
  auto it = badges_.find(path);
  return it == badges_.end() ? std::string() : it->second;
}

json FinderState::badgesJSON() const {
  json badges = json::object();
  for (const auto& [path, identifier] : badges_) badges[path] = identifier;
  return {{"badges", badges}};
}

json FinderState::stateJSON() const {
  json directories = json::array();
  if (directories_) {
    for (const std::string& dir : *directories_) directories.push_back(dir);
  }
  json registrations = json::object();
  for (const auto& [identifier, registration] : registrations_) {
    registrations[identifier] = {{"image", StringOrNull(registration.image)},
                                 {"label", registration.label}};
  }
  return {{"directories", directories}, {"registrations", registrations}};
}

// ---------------------------------------------------------------------------------------------
// Starting and stopping the extension

std::unique_ptr<FinderHost> FinderHost::launch(const std::string& bundlePath, Output output,
                                               std::string* error) {
  std::unique_ptr<FinderHost> host(new FinderHost(std::move(output)));
  if (!host->start(bundlePath, error) || !host->waitUntilReady(error)) return nullptr;
  return host;
}

bool FinderHost::start(const std::string& bundlePath, std::string* error) {
  std::shared_ptr<NSBundle> bundle = NSBundle::bundleWithPath(bundlePath);
  if (!bundle) {
    *error = bundlePath + " is not a bundle folder";
    return false;
  }
  Object info = bundle->infoDictionary();
  std::optional<std::string> point =
      info.objectForKey("NSExtension").objectForKey("NSExtensionPointIdentifier").stringOrNil();
  std::optional<std::string> executable = info.objectForKey("CFBundleExecutable").stringOrNil();
  if (!point || *point != kFinderSyncExtensionPoint) {
    *error = bundlePath + " is not a FinderSync extension (NSExtensionPointIdentifier)";
    return false;
  }
  if (!executable || executable->empty() || executable->find('/') != std::string::npos) {
    *error = bundlePath + " names no executable (CFBundleExecutable)";
    return false;
  }
  const std::string program = bundle->bundlePath() + "/Contents/MacOS/" + *executable;
  if (::access(program.c_str(), X_OK) != 0) {
    *error = program + ": " + Errno(errno);
    return false;
  }

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    *error = "socketpair: " + Errno(errno);
    return false;
  }
  int hostFd = fds[0];
  int childFd = fds[1];
  // dup2 onto the same number would leave close-on-exec set, so keep the child's end elsewhere.
  if (childFd == findersync::kFinderFdNumber) {
    childFd = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
    ::close(fds[1]);
  }

  std::vector<std::string> environment;
  const std::string fdVariable = std::string(findersync::kFinderFdEnv) + "=";
  for (char** entry = environ; entry && *entry; ++entry) {
    if (std::strncmp(*entry, fdVariable.c_str(), fdVariable.size()) != 0) {
      environment.emplace_back(*entry);
    }
  }
  environment.push_back(fdVariable + std::to_string(findersync::kFinderFdNumber));
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string argv0 = program;
  char* argv[] = {argv0.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, childFd, findersync::kFinderFdNumber);
  // Standard input carries our commands and standard output our answers: the extension gets
  // neither; what it prints goes to standard error with its log.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  int r = ::posix_spawn(&child_, program.c_str(), &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(childFd);
  if (r != 0) {
    ::close(hostFd);
    child_ = -1;
    *error = program + ": " + Errno(r);
    return false;
  }

  sd_bus* raw = nullptr;
  r = sd_bus_new(&raw);
  if (r < 0) {
    ::close(hostFd);
    *error = "sd_bus_new: " + Errno(r);
    return false;
  }
  bus_.reset(raw);
  sd_id128_t id;
  r = sd_id128_randomize(&id);
  if (r >= 0) r = sd_bus_set_fd(raw, hostFd, hostFd);
  if (r < 0) ::close(hostFd);
  if (r >= 0) r = sd_bus_set_server(raw, 1, id);

  static const sd_bus_vtable kVTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Ready", "", "", &FinderHost::OnReady, SD_BUS_VTABLE_METHOD_NO_REPLY),
      SD_BUS_METHOD("SetDirectoryURLs", "bas", "", &FinderHost::OnSetDirectoryURLs,
                    SD_BUS_VTABLE_METHOD_NO_REPLY),
      SD_BUS_METHOD("SetBadgeImage", "sss", "", &FinderHost::OnSetBadgeImage,
                    SD_BUS_VTABLE_METHOD_NO_REPLY),
      SD_BUS_METHOD("SetBadgeIdentifier", "ss", "", &FinderHost::OnSetBadgeIdentifier,
                    SD_BUS_VTABLE_METHOD_NO_REPLY),
      SD_BUS_VTABLE_END};
  sd_bus_slot* slot = nullptr;
  if (r >= 0) {
    r = sd_bus_add_object_vtable(raw, &slot, findersync::kObjectPath, findersync::kHostInterface,
                                 kVTable, this);
  }
  if (r >= 0) {
    slots_.emplace_back(slot);
    r = sd_bus_match_signal(raw, &slot, nullptr, "/org/freedesktop/DBus/Local",
                            "org.freedesktop.DBus.Local", "Disconnected",
                            &FinderHost::OnDisconnected, this);
  }
  if (r >= 0) {
    slots_.emplace_back(slot);
    r = sd_bus_start(raw);
  }
  if (r >= 0) attachment_ = findersync::BusAttachment::attach(raw, RunLoop::main().event(), &r);
  if (r < 0) {
    *error = "cannot serve the extension: " + Errno(r);
    return false;
  }
  connected_ = true;
  return true;
}

bool FinderHost::waitUntilReady(std::string* error) {
  const auto deadline = RunLoop::Clock::now() + kReadyTimeout;
  while (!ready_ && connected_ && RunLoop::Clock::now() < deadline) {
    RunLoop::main().runOnce(deadline);
  }
  if (ready_) return true;
  *error = connected_ ? "the extension did not get ready in time" : "the extension exited";
  return false;
}

int FinderHost::shutdown() {
  if (exitStatus_ >= 0) return exitStatus_;
  const bool extensionLeftFirst = !connected_;
  wait_.reset();
  // Closing without a flush: an extension that no longer reads must not hold the host up.
  attachment_.reset();
  slots_.clear();
  if (bus_) sd_bus_close(bus_.get());
  bus_.reset();
  connected_ = false;
  if (child_ < 0) return exitStatus_ = 1;

  int status = 0;
  bool exited = false;
  const auto deadline = std::chrono::steady_clock::now() + kExitTimeout;
  while (!exited) {
    pid_t r = ::waitpid(child_, &status, WNOHANG);
    if (r == child_ || (r < 0 && errno != EINTR)) {
      exited = r == child_;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!exited) {
    NSLog("vrk-finder: the extension did not exit within %d seconds; killing it",
          static_cast<int>(kExitTimeout.count()));
    ::kill(child_, SIGKILL);
    while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  child_ = -1;
  const bool clean = exited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!clean) {
    NSLog("vrk-finder: the extension ended with status %d",
          WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
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
    output_(state_.badgesJSON());
  } else if (auto* c = std::get_if<WaitBadgeCommand>(&command)) {
    waitBadge(*c);
  } else if (auto* c = std::get_if<MenuCommand>(&command)) {
    menu(*c);
  } else if (auto* c = std::get_if<ClickCommand>(&command)) {
    click(*c);
  } else if (std::holds_alternative<StateCommand>(command)) {
    barrier();
    output_(state_.stateJSON());
  } else if (std::holds_alternative<QuitCommand>(command)) {
    output_({{"ok", true}});
    quitRequested_ = true;
    finish();
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

void FinderHost::beginObserving(const std::string& dir, const std::vector<std::string>& names) {
  const std::string dirURL = URLText(dir);
  sendNoReply("BeginObservingDirectory",
              [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", dirURL.c_str()); });
  requestBadges(dir, names);
}

void FinderHost::requestBadges(const std::string& dir, const std::vector<std::string>& names) {
  // Sent one after the other without waiting: the extension serves them in order, and the
  // barrier that follows a show tells when it has.
  for (const std::string& name : names) {
    const std::string url = URLText(ChildPath(dir, name));
    sendNoReply("RequestBadgeIdentifier",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", url.c_str()); });
  }
}

void FinderHost::endObserving(const std::string& dir) {
  const std::string dirURL = URLText(dir);
  sendNoReply("EndObservingDirectory",
              [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", dirURL.c_str()); });
}

void FinderHost::show(const ShowCommand& command) {
  const std::string dir = NSURL::fileURLWithPath(command.dir)->path();
  std::string error;
  std::optional<std::vector<std::string>> names = ListDirectory(dir, &error);
  if (!names) {
    output_({{"error", "show: " + error}});
    return;
  }
  const bool covered = state_.covers(dir);
  if (shown_ && observed_ && (*shown_ != dir || !covered)) {
    endObserving(*shown_);
    observed_ = false;
  }
  shown_ = dir;
  if (covered) {
    if (!observed_) {
      beginObserving(dir, *names);
    } else {
      requestBadges(dir, *names);  // the same folder shown again
    }
    observed_ = true;
  }
  barrier();

  json items = json::array();
  for (const std::string& name : *names) {
    const std::string path = ChildPath(dir, name);
    items.push_back({{"name", name}, {"path", path}, {"badge", state_.badgeOf(path)}});
  }
  output_({{"dir", dir}, {"observed", covered}, {"items", std::move(items)}});
}

void FinderHost::waitBadge(const WaitBadgeCommand& command) {
  barrier();
  const std::string path = NSURL::fileURLWithPath(command.path)->path();
  if (state_.badgeOf(path) == command.identifier || command.milliseconds == 0) {
    output_({{"ok", state_.badgeOf(path) == command.identifier}, {"badge", state_.badgeOf(path)}});
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
  if (wait_ && state_.badgeOf(wait_->path) == wait_->identifier) finishWait(true);
}

void FinderHost::finishWait(bool ok) {
  if (!wait_) return;
  output_({{"ok", ok}, {"badge", state_.badgeOf(wait_->path)}});
  wait_.reset();  // a source may be released from inside its own callback
  schedulePump();
}

void FinderHost::menu(const MenuCommand& command) {
  std::vector<NSURL> selection;
  std::vector<std::string> texts;
  for (const std::string& path : command.paths) {
    selection.push_back(*NSURL::fileURLWithPath(path));
    texts.push_back(selection.back().absoluteString());
  }
  std::optional<NSURL> targeted;
  if (shown_) targeted = NSURL::fileURLWithPath(*shown_);
  const std::string targetedText = targeted ? targeted->absoluteString() : std::string();

  lastMenu_.reset();
  std::string error;
  MessagePtr reply = call(
      "MenuForMenuKind",
      [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "x", command.kind);
        if (r >= 0) r = findersync::AppendStringArray(m, texts);
        return r < 0 ? r : sd_bus_message_append(m, "s", targetedText.c_str());
      },
      &error, kCallTimeoutUsec);
  int hasMenu = 0;
  std::vector<findersync::WireMenuItem> items;
  if (reply) {
    int r = sd_bus_message_read(reply.get(), "b", &hasMenu);
    if (r >= 0) r = findersync::ReadMenuItems(reply.get(), &items);
    if (r < 0) error = "malformed menu from the extension";
  }
  if (!error.empty()) {
    output_({{"error", "menu: " + error}});
    return;
  }
  if (!hasMenu) {
    output_({{"menu", nullptr}});
    return;
  }
  json entries = json::array();
  for (const auto& item : items) {
    entries.push_back({{"title", item.title},
                       {"action", item.action},
                       {"image", StringOrNull(item.image)},
                       {"keyEquivalent", item.keyEquivalent}});
  }
  lastMenu_ = LastMenu{std::move(items), std::move(selection), std::move(targeted)};
  output_({{"menu", std::move(entries)}});
}

void FinderHost::click(const ClickCommand& command) {
  if (!lastMenu_ || command.index >= static_cast<std::int64_t>(lastMenu_->items.size()) ||
      lastMenu_->items[command.index].action.empty()) {
    output_({{"ok", false}});
    return;
  }
  const std::string& action = lastMenu_->items[command.index].action;
  std::vector<std::string> texts;
  for (const NSURL& url : lastMenu_->selection) texts.push_back(url.absoluteString());
  const std::string targetedText =
      lastMenu_->targeted ? lastMenu_->targeted->absoluteString() : std::string();
  std::string error;
  MessagePtr reply = call(
      "PerformMenuAction",
      [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "sx", action.c_str(), command.index);
        if (r >= 0) r = findersync::AppendStringArray(m, texts);
        return r < 0 ? r : sd_bus_message_append(m, "s", targetedText.c_str());
      },
      &error, kCallTimeoutUsec);
  int responded = 0;
  if (reply && sd_bus_message_read(reply.get(), "b", &responded) < 0) responded = 0;
  if (!reply) NSLog("vrk-finder: click: %s", error);
  output_({{"ok", responded != 0}});
}

// ---------------------------------------------------------------------------------------------
// The connection

bool FinderHost::sendNoReply(const char* member,
                             const std::function<int(sd_bus_message*)>& append) {
  if (!connected_) return false;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_.get(), &raw, nullptr, findersync::kObjectPath,
                                         findersync::kExtensionInterface, member);
  MessagePtr message(raw);
  if (r >= 0) r = append(raw);
  if (r >= 0) r = sd_bus_message_set_expect_reply(raw, 0);
  if (r >= 0) r = sd_bus_send(bus_.get(), raw, nullptr);
  if (r < 0) NSLog("vrk-finder: %s not sent: %s", member, Errno(r));
  return r >= 0;
}

MessagePtr FinderHost::call(const char* member, const std::function<int(sd_bus_message*)>& append,
                            std::string* error, std::uint64_t timeoutUsec) {
  if (!connected_) {
    *error = "the extension has gone away";
    return nullptr;
  }
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_.get(), &raw, nullptr, findersync::kObjectPath,
                                         findersync::kExtensionInterface, member);
  MessagePtr message(raw);
  if (r >= 0) r = append(raw);
  BusError busError;
  sd_bus_message* reply = nullptr;
  if (r >= 0) r = sd_bus_call(bus_.get(), raw, timeoutUsec, busError.get(), &reply);
  if (r < 0) {
    *error = busError.message(r);
    return nullptr;
  }
  return MessagePtr(reply);
}

void FinderHost::barrier() {
  std::string error;
  if (!call(
          "Ping", [](sd_bus_message*) { return 0; }, &error, kBarrierTimeoutUsec)) {
    NSLog("vrk-finder: the extension did not answer: %s", error);
  }
  // Serve what the extension sent before its answer (sd_bus_call only queued it).
  while (connected_ && sd_bus_process(bus_.get(), nullptr) > 0) {
  }
}

int FinderHost::OnReady(sd_bus_message*, void* userdata, sd_bus_error*) {
  static_cast<FinderHost*>(userdata)->ready_ = true;
  return 0;
}

int FinderHost::OnSetDirectoryURLs(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FinderHost*>(userdata);
  int isSet = 0;
  std::vector<std::string> texts;
  int r = sd_bus_message_read(m, "b", &isSet);
  if (r >= 0) r = findersync::ReadStringArray(m, &texts);
  std::optional<std::vector<NSURL>> urls;
  if (r >= 0) urls = findersync::DecodeFileURLs(texts);
  if (r < 0 || !urls) {
    NSLog("vrk-finder: SetDirectoryURLs with bad arguments from the extension, dropped");
    return 0;
  }
  self->state_.setDirectoryURLs(isSet ? std::move(urls) : std::nullopt);

  // Finder follows the set with the folder it shows: it leaves a folder that is no longer in
  // the set, and observes (and asks the badges of) one that has come into it.
  if (self->shown_) {
    const bool covered = self->state_.covers(*self->shown_);
    if (self->observed_ && !covered) {
      self->endObserving(*self->shown_);
      self->observed_ = false;
    } else if (!self->observed_ && covered) {
      std::string error;
      if (auto names = ListDirectory(*self->shown_, &error)) {
        self->beginObserving(*self->shown_, *names);
        self->observed_ = true;
      }
    }
  }
  self->checkWait();
  return 0;
}

int FinderHost::OnSetBadgeImage(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FinderHost*>(userdata);
  const char* image = nullptr;
  const char* label = nullptr;
  const char* identifier = nullptr;
  if (sd_bus_message_read(m, "sss", &image, &label, &identifier) < 0) {
    NSLog("vrk-finder: SetBadgeImage with bad arguments from the extension, dropped");
    return 0;
  }
  self->state_.setBadgeImage(image, label, identifier);
  return 0;
}

int FinderHost::OnSetBadgeIdentifier(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FinderHost*>(userdata);
  const char* identifier = nullptr;
  const char* text = nullptr;
  std::optional<NSURL> url;
  if (sd_bus_message_read(m, "ss", &identifier, &text) >= 0) url = findersync::DecodeFileURL(text);
  if (!url) {
    NSLog("vrk-finder: SetBadgeIdentifier with bad arguments from the extension, dropped");
    return 0;
  }
  self->state_.setBadgeIdentifier(identifier, *url);
  self->checkWait();
  return 0;
}

int FinderHost::OnDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FinderHost*>(userdata);
  if (!self->connected_) return 0;
  self->connected_ = false;
  if (!self->finished_) NSLog("vrk-finder: the extension has gone away");
  self->finish();
  return 0;
}

}  // namespace vrk::finder
