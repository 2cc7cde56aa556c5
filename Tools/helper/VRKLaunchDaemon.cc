// com.mirelta.sync.VRKLaunchDaemon: the sync client's privileged helper. launchd starts it on
// demand; it copies files for the user who blessed it and for root, with their own rights, and
// exits once it has been idle for a while.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "Platform/Foundation/NSLog.h"
#include "Platform/XPC/xpc.h"
#include "Tools/helper/SecureCopy.h"

namespace vrk::helper {
namespace {

constexpr const char* kLabel = "com.mirelta.sync.VRKLaunchDaemon";
constexpr std::size_t kWorkers = 4;
constexpr std::size_t kMaxConnections = 512;
// Each admitted uid may hold this share of the table, so that no one uid (root's tools or the
// blessed user's own processes run amok) can take all of it.
constexpr std::size_t kMaxConnectionsPerUid = 128;
// Connections accepted per turn of the listener's loop, so that a flood of callers never keeps it
// from handing waiting requests to the workers.
constexpr std::size_t kAcceptBatch = 64;
constexpr auto kRefusalLogInterval = std::chrono::seconds(1);
constexpr const char* kNotBlessed = "Refused: this helper serves only the user who installed it.";
// How long a request may take to arrive once it has begun, and how long a connection may sit
// idle between requests.
constexpr auto kFrameTimeout = std::chrono::seconds(2);
constexpr auto kIdleConnection = std::chrono::seconds(10);

std::atomic<bool> g_stop{false};

// One open connection of a uid in the connection table; the count drops when it closes.
class Slot {
 public:
  Slot() = default;
  explicit Slot(std::atomic<std::size_t>* count) : count_(count) { count_->fetch_add(1); }
  Slot(Slot&& other) noexcept : count_(std::exchange(other.count_, nullptr)) {}
  Slot& operator=(Slot&& other) noexcept {
    if (this != &other) {
      release();
      count_ = std::exchange(other.count_, nullptr);
    }
    return *this;
  }
  ~Slot() { release(); }

 private:
  void release() {
    if (count_) count_->fetch_sub(1);
    count_ = nullptr;
  }
  std::atomic<std::size_t>* count_ = nullptr;
};

// Requested paths and other foreign text in log lines: escaped so that they cannot forge lines,
// and cut so that a hostile request cannot flood the log.
std::string Shown(std::string_view s) {
  return EscapedForLog(s, 256);
}

std::optional<std::uint32_t> UidFromEnvironment(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  char* end = nullptr;
  unsigned long n = std::strtoul(v, &end, 10);
  if (*end != '\0' || n > 0xfffffffeUL) return std::nullopt;
  return static_cast<std::uint32_t>(n);
}

// The listener (Platform/XPC) accepts callers and reads their requests on its workers; the
// helper decides whom it serves and answers each request.
class Daemon {
 public:
  Daemon(std::optional<std::uint32_t> blessedUid, std::chrono::seconds idle)
      : blessedUid_(blessedUid), idle_(idle) {}

  int run() {
    xpc_connection_t listener =
        xpc_connection_create_mach_service(kLabel, nullptr, XPC_CONNECTION_MACH_SERVICE_LISTENER);
    xpc_listener_options options;
    options.workers = kWorkers;
    options.acceptBatch = kAcceptBatch;
    options.requestTimeout = kFrameTimeout;
    options.idlePeerTimeout = kIdleConnection;
    options.idleExit = idle_;
    xpc_listener_set_options(listener, options);
    xpc_listener_set_new_peer_handler(listener, [this](xpc_connection_t peer) { admit(peer); });
    std::optional<std::string> cannotListen;
    xpc_connection_set_event_handler(listener, [&](xpc_object_t event) {
      if (xpc_get_type(event) != XPC_TYPE_ERROR) return;
      std::lock_guard lock(mutex_);
      if (event != XPC_ERROR_CONNECTION_INVALID) {
        const char* why = xpc_dictionary_get_string(event, XPC_ERROR_KEY_DESCRIPTION);
        cannotListen = why ? why : "";
      }
      finished_ = true;
      changed_.notify_all();
    });
    // The check-in happens here; its failure is reported before resume returns.
    xpc_connection_resume(listener);
    {
      std::lock_guard lock(mutex_);
      if (cannotListen) {
        NSLog("%s: cannot listen: %s", kLabel, *cannotListen);
        return 1;
      }
    }
    if (blessedUid_) {
      NSLog("%s: serving uid %u and root", kLabel, *blessedUid_);
    } else {
      NSLog("%s: serving root only (no blessing user recorded)", kLabel);
    }
    std::unique_lock lock(mutex_);
    bool cancelled = false;
    while (!finished_) {
      changed_.wait_for(lock, std::chrono::milliseconds(200));
      // A burst that has ended still gets its line with the count.
      logRefusals(refusals_.drain());
      logCrowded(crowded_.drain());
      if (g_stop.load() && !cancelled) {
        cancelled = true;
        xpc_connection_cancel(listener);
      }
    }
    lock.unlock();
    NSLog("%s: exiting", kLabel);
    return 0;
  }

 private:
  // Runs on the listener's thread for each caller. A caller who may never be served is answered
  // and closed at once, before it holds a slot or a worker: its reply is written before its
  // request is even read. The others get a slot within their uid's share.
  void admit(const xpc_connection_t& peer) {
    Caller caller;
    caller.uid = xpc_connection_get_euid(peer);
    caller.gid = xpc_connection_get_egid(peer);
    caller.pid = xpc_connection_get_pid(peer);
    if (caller.uid == static_cast<uid_t>(-1)) {
      NSLog("%s: dropping a connection whose credentials cannot be read", kLabel);
      return xpc_connection_cancel(peer);
    }
    const bool allowed = caller.uid == 0 || (blessedUid_ && caller.uid == *blessedUid_);
    if (!allowed) {
      xpc_connection_cancel_with_reply(peer, refusal_);
      std::lock_guard lock(mutex_);
      lastRefused_ = caller;
      logRefusals(refusals_.note());
      return;
    }
    std::atomic<std::size_t>& mine = open_[caller.uid];
    std::size_t all = 0;
    for (const auto& [uid, count] : open_) all += count.load();
    if (all >= kMaxConnections || mine.load() >= kMaxConnectionsPerUid) {
      xpc_connection_cancel(peer);
      std::lock_guard lock(mutex_);
      lastCrowded_ = caller;
      logCrowded(crowded_.note());
      return;
    }
    auto groups = xpc_connection_copy_groups(peer);
    if (!groups) {
      NSLog("%s: dropping a connection whose credentials cannot be read", kLabel);
      return xpc_connection_cancel(peer);
    }
    caller.groups = std::move(*groups);
    // The handler holds the slot and the peer; the listener releases it after the peer's last
    // event, which gives the slot back.
    auto slot = std::make_shared<Slot>(&mine);
    xpc_connection_set_event_handler(
        peer, [this, peer, caller, slot](xpc_object_t event) { handle(peer, caller, event); });
    xpc_connection_resume(peer);
  }

  // Runs on a worker for each request of a served peer, and once at its end.
  void handle(const xpc_connection_t& peer, const Caller& caller, const xpc_object_t& event) {
    if (xpc_get_type(event) == XPC_TYPE_ERROR) {
      if (const char* why = xpc_dictionary_get_string(event, XPC_ERROR_KEY_FAULT)) {
        NSLog("%s: closing the connection of pid %d: %s", kLabel, caller.pid, Shown(why));
      }
      return;
    }
    std::string reply = answer(caller, xpc_dictionary_copy_object(event));
    if (xpc_object_t answer = xpc_dictionary_create_reply(event)) {
      xpc_dictionary_set_string(answer, "reply", reply.c_str());
      xpc_connection_send_message(peer, answer);
    }
  }

  // One line for the first refusal of a burst and one with the count of the rest, naming the
  // last caller refused. Called under mutex_.
  void logRefusals(std::uint64_t n) {
    if (n == 1) {
      NSLog("%s: refusing uid %u (pid %d): not the user who installed the helper", kLabel,
            lastRefused_.uid, lastRefused_.pid);
    } else if (n > 1) {
      NSLog(
          "%s: refusing uid %u (pid %d): not the user who installed the helper (%lu since the "
          "last line)",
          kLabel, lastRefused_.uid, lastRefused_.pid, static_cast<unsigned long>(n));
    }
  }
  void logCrowded(std::uint64_t n) {
    if (n == 1) {
      NSLog("%s: too many connections; dropping one of pid %d", kLabel, lastCrowded_.pid);
    } else if (n > 1) {
      NSLog("%s: too many connections; dropping one of pid %d (%lu since the last line)", kLabel,
            lastCrowded_.pid, static_cast<unsigned long>(n));
    }
  }

  std::string answer(const Caller& caller, const Object& message) {
    const auto source = message.objectForKey("sourcePath").stringOrNil();
    const auto dest = message.objectForKey("destPath").stringOrNil();
    if (!source || !dest) {
      NSLog("%s: refusing pid %d: the request lacks sourcePath or destPath", kLabel, caller.pid);
      return "Refused: the request needs the strings sourcePath and destPath.";
    }
    CopyResult r = CopyAsCaller(caller, *source, *dest);
    NSLog("%s: uid %u (pid %d) copy %s to %s: %s", kLabel, caller.uid, caller.pid, Shown(*source),
          Shown(*dest), Shown(r.reply));
    return r.reply;
  }

  static xpc_object_t Refusal() {
    xpc_object_t d = xpc_dictionary_create(nullptr, nullptr, 0);
    xpc_dictionary_set_string(d, "reply", kNotBlessed);
    return d;
  }

  const std::optional<std::uint32_t> blessedUid_;
  const std::chrono::seconds idle_;
  // Open connections per admitted uid (so at most two entries). Only the listener's thread adds
  // entries; a peer's slot counts down from any thread when it ends. Declared first, so that it
  // outlives every handler that holds a slot.
  std::map<uid_t, std::atomic<std::size_t>> open_;
  const xpc_object_t refusal_ = Refusal();  // the reply to a caller who is not served
  std::mutex mutex_;
  std::condition_variable changed_;
  bool finished_ = false;
  LogThrottle refusals_{kRefusalLogInterval};
  LogThrottle crowded_{kRefusalLogInterval};
  Caller lastRefused_, lastCrowded_;  // under mutex_
};

}  // namespace
}  // namespace vrk::helper

int main() {
  using namespace vrk::helper;
  struct sigaction sa {};
  sa.sa_handler = [](int) { g_stop.store(true); };
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  auto idle = UidFromEnvironment("VRK_HELPER_IDLE_SECONDS").value_or(10);
  Daemon daemon(UidFromEnvironment("VRK_BLESSING_UID"),
                std::chrono::seconds(std::clamp<std::uint32_t>(idle, 1, 3600)));
  return daemon.run();
}
