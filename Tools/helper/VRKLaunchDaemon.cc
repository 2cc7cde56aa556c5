// com.mirelta.sync.VRKLaunchDaemon: the sync client's privileged helper. launchd starts it on
// demand; it copies files for the user who blessed it and for root, with their own rights, and
// exits once it has been idle for a while.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/UniqueFd.h"
#include "Platform/XPC/Launchd.h"
#include "Platform/XPC/XPCWire.h"
#include "Tools/helper/SecureCopy.h"

namespace vrk::helper {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kLabel = "com.mirelta.sync.VRKLaunchDaemon";
constexpr std::size_t kWorkers = 4;
constexpr std::size_t kMaxConnections = 512;
// Each admitted uid may hold this share of the table, so that no one uid (root's tools or the
// blessed user's own processes run amok) can take all of it.
constexpr std::size_t kMaxConnectionsPerUid = 128;
// Connections accepted per turn of the main loop, so that a flood of callers never keeps it from
// handing waiting requests to the workers.
constexpr std::size_t kAcceptBatch = 64;
constexpr auto kRefusalLogInterval = std::chrono::seconds(1);
constexpr const char* kNotBlessed = "Refused: this helper serves only the user who installed it.";
// How long a request may take to arrive once it has begun, and how long a connection may sit
// idle between requests.
constexpr auto kFrameTimeout = std::chrono::seconds(2);
constexpr auto kIdleConnection = std::chrono::seconds(10);
constexpr int kMaxGroups = 256;

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

struct Connection {
  UniqueFd fd;
  Caller caller;
  Slot slot;
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

// The peer's credentials as the kernel recorded them when it connected, never looked up later
// by pid.
bool PeerCredentials(int fd, Caller* caller) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  caller->uid = cred.uid;
  caller->gid = cred.gid;
  caller->pid = cred.pid;
  return true;
}

// The peer's supplementary groups at connect time, which the copy runs with.
bool PeerGroups(int fd, Caller* caller) {
  std::vector<gid_t> groups(kMaxGroups);
  socklen_t glen = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &glen) != 0) return false;
  groups.resize(glen / sizeof(gid_t));
  caller->groups = std::move(groups);
  return true;
}

// The main thread accepts connections and watches the idle ones; a worker takes a connection
// only while it has a request to read, so idle or slow clients never hold the workers.
class Daemon {
 public:
  Daemon(std::optional<std::uint32_t> blessedUid, std::chrono::seconds idle)
      : blessedUid_(blessedUid),
        idle_(idle),
        wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        refusal_(xpcwire::EncodeFrame(xpcwire::FrameKind::Reply,
                                      Object(ObjectDictionary{{"reply", Object(kNotBlessed)}}))
                     .value_or(std::vector<std::byte>{})) {}

  int run() {
    std::string why;
    auto checkedIn = launchd::CheckIn(kLabel, &why);
    if (!checkedIn) {
      NSLog("%s: cannot listen: %s", kLabel, why);
      return 1;
    }
    listener_ = std::move(checkedIn->listener);
    if (blessedUid_) {
      NSLog("%s: serving uid %u and root", kLabel, *blessedUid_);
    } else {
      NSLog("%s: serving root only (no blessing user recorded)", kLabel);
    }
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < kWorkers; ++i) workers.emplace_back([this] { work(); });
    serve();
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    ready_.notify_all();
    for (auto& t : workers) t.join();
    NSLog("%s: exiting", kLabel);
    return 0;
  }

 private:
  struct Idle {
    Connection connection;
    Clock::time_point since;
  };

  void serve() {
    auto lastActive = Clock::now();
    bool listening = true;
    while (!g_stop.load()) {
      takeBackReturned();
      std::vector<pollfd> fds{{listening ? listener_.get() : -1, POLLIN, 0},
                              {wake_.get(), POLLIN, 0}};
      for (const Idle& i : idle_conns_) fds.push_back({i.connection.fd.get(), POLLIN, 0});
      int n = ::poll(fds.data(), fds.size(), 200);
      if (n < 0 && errno != EINTR) {
        NSLog("%s: poll failed: %s", kLabel, std::strerror(errno));
        return;
      }
      if (fds[1].revents & POLLIN) {
        std::uint64_t count;
        [[maybe_unused]] auto r = ::read(wake_.get(), &count, sizeof count);
      }
      // Connections with a request go to the workers; those idle too long are closed.
      const auto now = Clock::now();
      std::vector<Idle> still;
      for (std::size_t i = 0; i < idle_conns_.size(); ++i) {
        Idle& conn = idle_conns_[i];
        if (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) {
          dispatch(std::move(conn.connection));
        } else if (now - conn.since < kIdleConnection) {
          still.push_back(std::move(conn));
        }
      }
      idle_conns_ = std::move(still);
      if (listening && (fds[0].revents & POLLIN)) acceptSome();
      // A burst that has ended still gets its line with the count.
      logRefusals(refusals_.drain());
      logCrowded(crowded_.drain());
      if (busy()) {
        lastActive = Clock::now();
        continue;
      }
      if (!listening) return;
      if (Clock::now() - lastActive >= idle_) {
        // Leave the name first, so that a new caller starts a new instance, then serve those
        // that connected before it was gone.
        ::unlink(launchd::MachServiceSocketPath(kLabel).c_str());
        acceptAll();
        listening = false;
      }
    }
  }

  bool busy() {
    std::lock_guard lock(mutex_);
    return !idle_conns_.empty() || !queue_.empty() || active_ > 0 || !returned_.empty();
  }

  // Takes in the callers that wait, at most kAcceptBatch of them; true when more may wait.
  bool acceptSome() {
    for (std::size_t i = 0; i < kAcceptBatch; ++i) {
      UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!fd) return false;
      admit(std::move(fd));
    }
    return true;
  }

  void acceptAll() {
    while (acceptSome()) {
    }
  }

  // A caller who may never be served is answered and closed at once, before it holds a slot or
  // a worker: its reply is written before its request is even read. The others get a slot
  // within their uid's share.
  void admit(UniqueFd fd) {
    Connection c;
    if (!PeerCredentials(fd.get(), &c.caller)) {
      NSLog("%s: dropping a connection whose credentials cannot be read", kLabel);
      return;
    }
    const bool allowed = c.caller.uid == 0 || (blessedUid_ && c.caller.uid == *blessedUid_);
    if (!allowed) {
      [[maybe_unused]] auto sent =
          ::send(fd.get(), refusal_.data(), refusal_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      lastRefused_ = c.caller;
      logRefusals(refusals_.note());
      return;
    }
    std::atomic<std::size_t>& mine = open_[c.caller.uid];
    std::size_t all = 0;
    for (const auto& [uid, count] : open_) all += count.load();
    if (all >= kMaxConnections || mine.load() >= kMaxConnectionsPerUid) {
      lastCrowded_ = c.caller;
      logCrowded(crowded_.note());
      return;
    }
    if (!PeerGroups(fd.get(), &c.caller)) {
      NSLog("%s: dropping a connection whose credentials cannot be read", kLabel);
      return;
    }
    c.slot = Slot(&mine);
    c.fd = std::move(fd);
    idle_conns_.push_back({std::move(c), Clock::now()});
  }

  // One line for the first refusal of a burst and one with the count of the rest, naming the
  // last caller refused.
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

  void dispatch(Connection c) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(c));
    ready_.notify_one();
  }

  void takeBackReturned() {
    std::lock_guard lock(mutex_);
    for (auto& c : returned_) idle_conns_.push_back({std::move(c), Clock::now()});
    returned_.clear();
  }

  void work() {
    for (;;) {
      Connection c;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return closing_ || !queue_.empty(); });
        if (queue_.empty()) return;
        c = std::move(queue_.front());
        queue_.pop_front();
        ++active_;
      }
      bool keep = handleOne(c);
      std::lock_guard lock(mutex_);
      --active_;
      if (keep) returned_.push_back(std::move(c));
      std::uint64_t one = 1;
      [[maybe_unused]] auto w = ::write(wake_.get(), &one, sizeof one);
    }
  }

  // Reads and answers one request; false when the connection is to be closed.
  bool handleOne(Connection& c) {
    xpcwire::FrameKind kind;
    Object message;
    std::string why;
    auto status = xpcwire::ReadFrame(c.fd.get(), kFrameTimeout, &kind, &message, &why);
    if (status == xpcwire::ReadStatus::Closed) return false;
    if (status == xpcwire::ReadStatus::Ok && kind == xpcwire::FrameKind::Reply) {
      status = xpcwire::ReadStatus::Bad;
      why = "a reply frame from a client";
    }
    if (status != xpcwire::ReadStatus::Ok) {
      NSLog("%s: closing the connection of pid %d: %s", kLabel, c.caller.pid,
            status == xpcwire::ReadStatus::TimedOut ? "the request did not arrive in time"
                                                    : Shown(why));
      return false;
    }
    std::string reply = answer(c, message);
    if (kind == xpcwire::FrameKind::MessageWantsReply) {
      ObjectDictionary d{{"reply", Object(reply)}};
      auto frame = xpcwire::EncodeFrame(xpcwire::FrameKind::Reply, Object(std::move(d)));
      if (!frame || !xpcwire::WriteAll(c.fd.get(), *frame, kFrameTimeout)) return false;
    }
    return true;
  }

  std::string answer(const Connection& c, const Object& message) {
    const auto source = message.objectForKey("sourcePath").stringOrNil();
    const auto dest = message.objectForKey("destPath").stringOrNil();
    if (!source || !dest) {
      NSLog("%s: refusing pid %d: the request lacks sourcePath or destPath", kLabel, c.caller.pid);
      return "Refused: the request needs the strings sourcePath and destPath.";
    }
    CopyResult r = CopyAsCaller(c.caller, *source, *dest);
    NSLog("%s: uid %u (pid %d) copy %s to %s: %s", kLabel, c.caller.uid, c.caller.pid,
          Shown(*source), Shown(*dest), Shown(r.reply));
    return r.reply;
  }

  const std::optional<std::uint32_t> blessedUid_;
  const std::chrono::seconds idle_;
  UniqueFd listener_;
  UniqueFd wake_;  // workers wake the main thread when they hand a connection back
  // Open connections per admitted uid (so at most two entries). Only the main thread adds
  // entries; a connection's slot counts down from any thread when it closes. Declared before
  // everything that holds connections, so that it outlives them.
  std::map<uid_t, std::atomic<std::size_t>> open_;
  std::vector<Idle> idle_conns_;          // main thread only
  const std::vector<std::byte> refusal_;  // the reply frame to a caller who is not served
  LogThrottle refusals_{kRefusalLogInterval};
  LogThrottle crowded_{kRefusalLogInterval};
  Caller lastRefused_, lastCrowded_;  // main thread only
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Connection> queue_;
  std::vector<Connection> returned_;
  std::size_t active_ = 0;
  bool closing_ = false;
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
