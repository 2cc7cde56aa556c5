#include "Platform/FinderSync/ExtensionHost.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <systemd/sd-id128.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Platform/Foundation/NSBundle.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSTask.h"
#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/UniqueFd.h"

extern char** environ;

namespace vrk::findersync {
namespace {

constexpr std::string_view kFinderSyncExtensionPoint = "com.apple.FinderSync";
constexpr auto kDestructorExitTimeout = std::chrono::seconds(5);

std::string Errno(int code) {
  return std::strerror(code < 0 ? -code : code);
}

std::string URLText(const std::string& path) {
  std::optional<NSURL> url = NSURL::fileURLWithPath(path);
  return url ? url->absoluteString() : std::string();
}

std::vector<std::string> URLTexts(const std::vector<std::string>& paths) {
  std::vector<std::string> texts;
  texts.reserve(paths.size());
  for (const std::string& path : paths) texts.push_back(URLText(path));
  return texts;
}

std::uint64_t Usec(std::chrono::microseconds timeout) {
  return static_cast<std::uint64_t>(std::max<std::int64_t>(1, timeout.count()));
}

// The path of the bundle's executable, or nullopt with the reason in `error`.
std::optional<std::string> ExtensionProgram(const std::string& bundlePath, std::string* error) {
  std::shared_ptr<NSBundle> bundle = NSBundle::bundleWithPath(bundlePath);
  if (!bundle) {
    *error = bundlePath + " is not a bundle folder";
    return std::nullopt;
  }
  Object info = bundle->infoDictionary();
  std::optional<std::string> point =
      info.objectForKey("NSExtension").objectForKey("NSExtensionPointIdentifier").stringOrNil();
  std::optional<std::string> executable = info.objectForKey("CFBundleExecutable").stringOrNil();
  if (!point || *point != kFinderSyncExtensionPoint) {
    *error = bundlePath + " is not a FinderSync extension (NSExtensionPointIdentifier)";
    return std::nullopt;
  }
  if (!executable || executable->empty() || executable->find('/') != std::string::npos) {
    *error = bundlePath + " names no executable (CFBundleExecutable)";
    return std::nullopt;
  }
  std::string program = bundle->bundlePath() + "/Contents/MacOS/" + *executable;
  if (::access(program.c_str(), X_OK) != 0) {
    *error = program + ": " + Errno(errno);
    return std::nullopt;
  }
  return program;
}

// Starts `program` with `childFd` as descriptor kFinderFdNumber. -1 with the reason in `error`.
pid_t SpawnExtension(const std::string& program, int childFd, std::string* error) {
  std::vector<std::string> environment;
  const std::string fdVariable = std::string(kFinderFdEnv) + "=";
  for (char** entry = environ; entry && *entry; ++entry) {
    if (std::strncmp(*entry, fdVariable.c_str(), fdVariable.size()) != 0) {
      environment.emplace_back(*entry);
    }
  }
  environment.push_back(fdVariable + std::to_string(kFinderFdNumber));
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string argv0 = program;
  char* argv[] = {argv0.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, childFd, kFinderFdNumber);
  // The host's standard input and output may carry its own traffic (vrk-finder's commands and
  // answers): the extension gets neither; what it prints goes to standard error with its log.
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
  pid_t pid = -1;
  int r = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (r != 0) {
    *error = program + ": " + Errno(r);
    return -1;
  }
  return pid;
}

}  // namespace

struct ExtensionHost::PendingBarrier {
  ExtensionHost* host;
  SlotPtr slot;
  std::function<void(bool)> done;
  // The requests of a batch, kept until its reply in case the extension does not know the
  // batch member and they must go one by one.
  std::vector<std::string> paths;
  std::chrono::microseconds timeout{};
};

// ---------------------------------------------------------------------------------------------
// Starting and stopping the extension

ExtensionHost::ExtensionHost(std::string logName, Events events)
    : logName_(std::move(logName)), events_(std::move(events)) {}

std::unique_ptr<ExtensionHost> ExtensionHost::start(const std::string& bundlePath,
                                                    std::string logName, Events events,
                                                    std::string* error) {
  std::unique_ptr<ExtensionHost> host(new ExtensionHost(std::move(logName), std::move(events)));
  if (!host->spawnAndConnect(bundlePath, error)) return nullptr;
  return host;
}

bool ExtensionHost::spawnAndConnect(const std::string& bundlePath, std::string* error) {
  std::optional<std::string> program = ExtensionProgram(bundlePath, error);
  if (!program) return false;

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    *error = "socketpair: " + Errno(errno);
    return false;
  }
  UniqueFd hostFd(fds[0]);
  UniqueFd childFd(fds[1]);
  // dup2 onto the same number would leave close-on-exec set, so keep the child's end elsewhere.
  if (childFd.get() == kFinderFdNumber) childFd.reset(::fcntl(fds[1], F_DUPFD_CLOEXEC, 10));
  child_ = SpawnExtension(*program, childFd.get(), error);
  if (child_ >= 0) childHandle_ = OpenProcessHandle(child_);
  childFd.reset();
  if (child_ < 0) return false;

  sd_bus* raw = nullptr;
  int r = sd_bus_new(&raw);
  if (r < 0) {
    *error = "sd_bus_new: " + Errno(r);
    return false;
  }
  bus_.reset(raw);
  sd_id128_t id;
  r = sd_id128_randomize(&id);
  if (r >= 0) r = sd_bus_set_fd(raw, hostFd.get(), hostFd.get());
  if (r >= 0) hostFd.release();  // the bus owns it now
  if (r >= 0) r = sd_bus_set_server(raw, 1, id);

  static const sd_bus_vtable kVTable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD(kReadyMember, "", "", &ExtensionHost::OnReady, SD_BUS_VTABLE_METHOD_NO_REPLY),
      SD_BUS_METHOD(kSetDirectoryURLsMember, kSetDirectoryURLsSignature, "",
                    &ExtensionHost::OnSetDirectoryURLs, SD_BUS_VTABLE_METHOD_NO_REPLY),
      SD_BUS_METHOD(kSetBadgeImageMember, kSetBadgeImageSignature, "",
                    &ExtensionHost::OnSetBadgeImage, SD_BUS_VTABLE_METHOD_NO_REPLY),
      SD_BUS_METHOD(kSetBadgeIdentifierMember, kSetBadgeIdentifierSignature, "",
                    &ExtensionHost::OnSetBadgeIdentifier, SD_BUS_VTABLE_METHOD_NO_REPLY),
      SD_BUS_VTABLE_END};
  sd_bus_slot* slot = nullptr;
  if (r >= 0) r = sd_bus_add_object_vtable(raw, &slot, kObjectPath, kHostInterface, kVTable, this);
  if (r >= 0) {
    slots_.emplace_back(slot);
    SlotPtr lost;
    r = dbus::MatchDisconnected(raw, &lost, &ExtensionHost::OnDisconnected, this);
    slots_.push_back(std::move(lost));
  }
  if (r >= 0) r = sd_bus_start(raw);
  if (r >= 0) attachment_ = BusAttachment::attach(raw, RunLoop::main().event(), &r);
  if (r < 0) {
    *error = "cannot serve the extension: " + Errno(r);
    return false;
  }
  connected_ = true;
  return true;
}

bool ExtensionHost::waitUntilReady(std::chrono::milliseconds timeout, std::string* error) {
  const auto deadline = RunLoop::Clock::now() + timeout;
  while (!ready_ && connected_ && RunLoop::Clock::now() < deadline) {
    RunLoop::main().runOnce(deadline);
  }
  if (ready_) return true;
  *error = connected_ ? "the extension did not get ready in time" : "the extension exited";
  return false;
}

bool ExtensionHost::shutdown(std::chrono::milliseconds exitTimeout) {
  barriers_.clear();
  // Closing without a flush: an extension that no longer reads must not hold the host up.
  attachment_.reset();
  slots_.clear();
  if (bus_) sd_bus_close(bus_.get());
  bus_.reset();
  connected_ = false;
  if (child_ < 0) return false;

  int status = 0;
  // Woken by the child's handle as it exits, so that a quick exit costs no polling delay.
  const bool exited =
      ReapProcess(child_, childHandle_, std::chrono::steady_clock::now() + exitTimeout, &status);
  if (!exited) {
    NSLog("%s: the extension did not exit within %d ms; killing it", logName_,
          static_cast<int>(exitTimeout.count()));
    ::kill(child_, SIGKILL);
    while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  child_ = -1;
  childHandle_.reset();
  const bool clean = exited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!clean) {
    NSLog("%s: the extension ended with status %d", logName_,
          WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  return clean;
}

ExtensionHost::~ExtensionHost() {
  if (child_ >= 0 || bus_) shutdown(kDestructorExitTimeout);
}

// ---------------------------------------------------------------------------------------------
// Observation and badges

bool ExtensionHost::show(const std::string& dir) {
  shown_.insert(dir);
  if (!observed_.count(dir) && state_.covers(dir)) beginObserving(dir);
  return observed_.count(dir) != 0;
}

void ExtensionHost::hide(const std::string& dir) {
  shown_.erase(dir);
  if (observed_.count(dir)) endObserving(dir);
}

void ExtensionHost::beginObserving(const std::string& dir) {
  const std::string url = URLText(dir);
  observed_.insert(dir);
  sendNoReply(kBeginObservingDirectoryMember,
              [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", url.c_str()); });
}

void ExtensionHost::endObserving(const std::string& dir) {
  const std::string url = URLText(dir);
  observed_.erase(dir);
  sendNoReply(kEndObservingDirectoryMember,
              [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", url.c_str()); });
}

bool ExtensionHost::requestBadge(const std::string& path) {
  const std::string url = URLText(path);
  return sendNoReply(kRequestBadgeIdentifierMember,
                     [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", url.c_str()); });
}

bool ExtensionHost::requestBadges(const std::vector<std::string>& paths,
                                  std::chrono::microseconds timeout,
                                  std::function<void(bool)> done) {
  if (!connected_) return false;
  if (paths.empty()) return barrierAsync(timeout, std::move(done));
  if (!batchRequests_) {
    for (const std::string& path : paths) {
      if (!requestBadge(path)) return false;
    }
    return barrierAsync(timeout, std::move(done));
  }
  // Several messages when the batch is large, each within the extension's bound; only the last
  // one carries `done`, and the socket keeps their order.
  for (std::size_t first = 0; first < paths.size(); first += kMaxBadgeBatch) {
    const std::size_t end = std::min(paths.size(), first + kMaxBadgeBatch);
    std::vector<std::string> part(paths.begin() + static_cast<std::ptrdiff_t>(first),
                                  paths.begin() + static_cast<std::ptrdiff_t>(end));
    const std::vector<std::string> texts = URLTexts(part);
    std::function<void(bool)> partDone = end == paths.size() ? std::move(done) : nullptr;
    if (!callAsync(
            kRequestBadgeIdentifiersMember,
            [&](sd_bus_message* m) { return AppendStringArray(m, texts); }, timeout,
            std::move(partDone), std::move(part))) {
      return false;
    }
  }
  return true;
}

// Finder follows the set with the folders it shows: it leaves a folder that is no longer in the
// set, and observes one that has come into it.
void ExtensionHost::followDirectorySet() {
  const std::set<std::string> shown = shown_;  // events may show or hide folders
  for (const std::string& dir : shown) {
    const bool covered = state_.covers(dir);
    if (observed_.count(dir) && !covered) {
      endObserving(dir);
      if (events_.observationChanged) events_.observationChanged(dir, false);
    } else if (!observed_.count(dir) && covered && shown_.count(dir)) {
      beginObserving(dir);
      if (events_.observationChanged) events_.observationChanged(dir, true);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Menus and actions

std::optional<ExtensionHost::MenuReply> ExtensionHost::menu(
    std::int64_t kind, const std::vector<std::string>& selection,
    const std::optional<std::string>& targeted, std::chrono::microseconds timeout,
    std::string* error) {
  const std::vector<std::string> texts = URLTexts(selection);
  const std::string targetedText = targeted ? URLText(*targeted) : std::string();
  MessagePtr reply = call(
      kMenuForMenuKindMember,
      [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "x", kind);
        if (r >= 0) r = AppendStringArray(m, texts);
        return r < 0 ? r : sd_bus_message_append(m, "s", targetedText.c_str());
      },
      timeout, error);
  if (!reply) return std::nullopt;
  int hasMenu = 0;
  MenuReply result;
  int r = sd_bus_message_read(reply.get(), "b", &hasMenu);
  if (r >= 0) r = ReadMenuItems(reply.get(), &result.items);
  if (r < 0) {
    *error = "malformed menu from the extension";
    return std::nullopt;
  }
  result.hasMenu = hasMenu != 0;
  if (!result.hasMenu) result.items.clear();
  return result;
}

std::optional<bool> ExtensionHost::performAction(const std::string& action, std::int64_t index,
                                                 const std::vector<std::string>& selection,
                                                 const std::optional<std::string>& targeted,
                                                 std::chrono::microseconds timeout,
                                                 std::string* error) {
  const std::vector<std::string> texts = URLTexts(selection);
  const std::string targetedText = targeted ? URLText(*targeted) : std::string();
  MessagePtr reply = call(
      kPerformMenuActionMember,
      [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "sx", action.c_str(), index);
        if (r >= 0) r = AppendStringArray(m, texts);
        return r < 0 ? r : sd_bus_message_append(m, "s", targetedText.c_str());
      },
      timeout, error);
  if (!reply) return std::nullopt;
  int responded = 0;
  if (sd_bus_message_read(reply.get(), "b", &responded) < 0) {
    *error = "malformed answer from the extension";
    return std::nullopt;
  }
  return responded != 0;
}

// ---------------------------------------------------------------------------------------------
// The connection

bool ExtensionHost::sendNoReply(const char* member,
                                const std::function<int(sd_bus_message*)>& append) {
  if (!connected_) return false;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_.get(), &raw, nullptr, kObjectPath,
                                         kExtensionInterface, member);
  MessagePtr message(raw);
  if (r >= 0) r = append(raw);
  if (r >= 0) r = sd_bus_message_set_expect_reply(raw, 0);
  if (r >= 0) r = sd_bus_send(bus_.get(), raw, nullptr);
  if (r < 0) NSLog("%s: %s not sent: %s", logName_, member, Errno(r));
  return r >= 0;
}

MessagePtr ExtensionHost::call(const char* member,
                               const std::function<int(sd_bus_message*)>& append,
                               std::chrono::microseconds timeout, std::string* error) {
  if (!connected_) {
    *error = "the extension has gone away";
    return nullptr;
  }
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_.get(), &raw, nullptr, kObjectPath,
                                         kExtensionInterface, member);
  MessagePtr message(raw);
  if (r >= 0) r = append(raw);
  BusError busError;
  sd_bus_message* reply = nullptr;
  if (r >= 0) r = sd_bus_call(bus_.get(), raw, Usec(timeout), busError.get(), &reply);
  if (r < 0) {
    *error = busError.message(r);
    return nullptr;
  }
  return MessagePtr(reply);
}

void ExtensionHost::drain() {
  // Serve what the extension sent before an answer (sd_bus_call only queued it).
  while (connected_ && sd_bus_process(bus_.get(), nullptr) > 0) {
  }
}

bool ExtensionHost::barrier(std::chrono::microseconds timeout, std::string* error) {
  MessagePtr reply = call(
      kPingMember, [](sd_bus_message*) { return 0; }, timeout, error);
  drain();
  return reply != nullptr;
}

bool ExtensionHost::barrierAsync(std::chrono::microseconds timeout,
                                 std::function<void(bool)> done) {
  return callAsync(kPingMember, [](sd_bus_message*) { return 0; }, timeout, std::move(done), {});
}

bool ExtensionHost::callAsync(const char* member, const std::function<int(sd_bus_message*)>& append,
                              std::chrono::microseconds timeout, std::function<void(bool)> done,
                              std::vector<std::string> paths) {
  if (!connected_) return false;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_.get(), &raw, nullptr, kObjectPath,
                                         kExtensionInterface, member);
  MessagePtr message(raw);
  if (r >= 0) r = append(raw);
  auto pending = std::make_unique<PendingBarrier>(
      PendingBarrier{this, nullptr, std::move(done), std::move(paths), timeout});
  sd_bus_slot* slot = nullptr;
  if (r >= 0) {
    r = sd_bus_call_async(bus_.get(), &slot, raw, &ExtensionHost::OnBarrierReply, pending.get(),
                          Usec(timeout));
  }
  if (r < 0) {
    NSLog("%s: %s not sent: %s", logName_, member, Errno(r));
    return false;
  }
  pending->slot.reset(slot);
  barriers_.push_back(std::move(pending));
  return true;
}

int ExtensionHost::OnBarrierReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* pending = static_cast<PendingBarrier*>(userdata);
  ExtensionHost* self = pending->host;
  std::function<void(bool)> done = std::move(pending->done);
  std::vector<std::string> paths = std::move(pending->paths);
  const std::chrono::microseconds timeout = pending->timeout;
  // sd-bus holds the slot while this runs, so releasing our reference here is safe.
  std::erase_if(self->barriers_, [&](const auto& entry) { return entry.get() == pending; });
  // An extension from before the batch member answers that it does not know it: from then on
  // the requests go one by one, and this batch is sent again that way.
  if (!paths.empty() && sd_bus_message_is_method_error(m, SD_BUS_ERROR_UNKNOWN_METHOD) > 0) {
    NSLog("%s: the extension takes badge requests one by one", self->logName_);
    self->batchRequests_ = false;
    if (!self->requestBadges(paths, timeout, done) && done) done(false);
    return 0;
  }
  if (done) done(!sd_bus_message_is_method_error(m, nullptr));
  return 0;
}

int ExtensionHost::OnReady(sd_bus_message*, void* userdata, sd_bus_error*) {
  auto* self = static_cast<ExtensionHost*>(userdata);
  if (self->ready_) return 0;
  self->ready_ = true;
  if (self->events_.ready) self->events_.ready();
  return 0;
}

int ExtensionHost::OnSetDirectoryURLs(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<ExtensionHost*>(userdata);
  int isSet = 0;
  std::vector<std::string> texts;
  int r = sd_bus_message_read(m, "b", &isSet);
  if (r >= 0) r = ReadStringArray(m, &texts);
  std::optional<std::vector<NSURL>> urls;
  if (r >= 0) urls = DecodeFileURLs(texts);
  if (r < 0 || !urls) {
    NSLog("%s: SetDirectoryURLs with bad arguments from the extension, dropped", self->logName_);
    return 0;
  }
  self->state_.setDirectoryURLs(isSet ? std::move(urls) : std::nullopt);
  self->followDirectorySet();
  if (self->events_.directoriesChanged) self->events_.directoriesChanged();
  return 0;
}

int ExtensionHost::OnSetBadgeImage(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<ExtensionHost*>(userdata);
  const char* image = nullptr;
  const char* label = nullptr;
  const char* identifier = nullptr;
  if (sd_bus_message_read(m, "sss", &image, &label, &identifier) < 0) {
    NSLog("%s: SetBadgeImage with bad arguments from the extension, dropped", self->logName_);
    return 0;
  }
  self->state_.setBadgeImage(image, label, identifier);
  if (self->events_.badgeImageChanged) self->events_.badgeImageChanged(identifier);
  return 0;
}

int ExtensionHost::OnSetBadgeIdentifier(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<ExtensionHost*>(userdata);
  const char* identifier = nullptr;
  const char* text = nullptr;
  std::optional<NSURL> url;
  if (sd_bus_message_read(m, "ss", &identifier, &text) >= 0) url = DecodeFileURL(text);
  if (!url) {
    NSLog("%s: SetBadgeIdentifier with bad arguments from the extension, dropped", self->logName_);
    return 0;
  }
  if (self->state_.setBadgeIdentifier(identifier, *url) && self->events_.badgeChanged) {
    self->events_.badgeChanged(url->path(), identifier);
  }
  return 0;
}

int ExtensionHost::OnDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) {
  auto* self = static_cast<ExtensionHost*>(userdata);
  if (!self->connected_) return 0;
  self->connected_ = false;
  self->observed_.clear();
  if (self->events_.disconnected) self->events_.disconnected();
  return 0;
}

}  // namespace vrk::findersync
