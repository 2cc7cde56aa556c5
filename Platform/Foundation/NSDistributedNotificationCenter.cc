#include "Platform/Foundation/NSDistributedNotificationCenter.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Foundation/DBusCenterSignal.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/ThreadSafety.h"

namespace vrk {

namespace {

constexpr char kNoBusLine[] =
    "NSDistributedNotificationCenter: no session bus (%s); trying again in the background";
constexpr char kLostBusLine[] =
    "NSDistributedNotificationCenter: lost the session bus; reconnecting";
constexpr char kUnconfirmedLine[] =
    "NSDistributedNotificationCenter: the bus daemon did not confirm the last posts before the "
    "connection closed (%s); they may be lost";
constexpr char kReconnectedLine[] =
    "NSDistributedNotificationCenter: reconnected to the session bus";
constexpr char kCannotPostLine[] = "NSDistributedNotificationCenter: cannot post %s: %s";
constexpr char kOversizedLine[] =
    "NSDistributedNotificationCenter: refused %s: its payload of %lu bytes is above %lu (%lu "
    "since the last line)";
constexpr char kBehindLine[] =
    "NSDistributedNotificationCenter: observers are behind; dropped %lu notifications since the "
    "last line";
constexpr char kWaitingLine[] =
    "NSDistributedNotificationCenter: observers are behind; reading from the bus waits for them";

// Posts waiting for the bus thread, at most; a caller past the cap waits up to kQueueWait.
constexpr std::size_t kMaxQueuedPosts = 4096;
constexpr std::chrono::seconds kQueueWait{5};

// Posts that stream (several waiting when the bus thread takes them, now or the last time) are
// gathered into one Posts signal: one message through the bus daemon and one wake-up of each
// receiver instead of one per post. They wait at most kGatherWindow for others to join them. A
// post made alone, after a pause or in a request-and-reply exchange, goes at once.
constexpr std::chrono::microseconds kGatherWindow{500};
// What one Posts signal carries at most: notifications, and the sum of their payload sizes.
constexpr std::size_t kPostsPerSignal = 256;
constexpr std::size_t kBytesPerSignal = 256 * 1024;
// A notification whose values nest deeper than this leaves alone as a Post, which gives its
// values two more levels of the bus's nesting limit than an element of a Posts signal has.
constexpr std::size_t kGatheredDepth = 16;

// Attempts to reach a session bus that is not there start soon and back off to a second apart,
// so a bus that appears is found within about a second.
constexpr std::chrono::milliseconds kReconnectFirst{100};
constexpr std::chrono::milliseconds kReconnectLongest{1000};
// How long closing the connection at exit waits for the bus daemon to confirm the last posts.
constexpr std::chrono::seconds kRoutedWait{1};
// A flood of refused or dropped notifications costs a line per burst.
constexpr std::chrono::seconds kDropLogInterval{1};
// When observers' queues are full, the bus thread stops reading (the bus daemon keeps what
// comes meanwhile) until they have drained, so that a slow observer loses nothing. One that
// has not made room for this long is taken as stuck: what waits for it is dropped, with a log
// line, and reading goes on.
constexpr std::chrono::seconds kObserverStuckWait{5};

// What received notifications waiting on observers' run loops hold, over all observers.
class QueueBudget {
 public:
  // `onRoom` runs (on whichever thread gives back) once the queues have drained to half of the
  // budget after a take was refused.
  explicit QueueBudget(std::function<void()> onRoom) : onRoom_(std::move(onRoom)) {}

  bool take(std::size_t bytes) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    if (count_ + 1 > kMaxQueuedDistributedNotifications ||
        bytes_ + bytes > kMaxQueuedDistributedBytes) {
      wanted_ = true;
      return false;
    }
    ++count_;
    bytes_ += bytes;
    return true;
  }
  void give(std::size_t count, std::size_t bytes) EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      count_ -= count;
      bytes_ -= bytes;
      if (!wanted_ || count_ > kMaxQueuedDistributedNotifications / 2 ||
          bytes_ > kMaxQueuedDistributedBytes / 2) {
        return;
      }
      wanted_ = false;
    }
    onRoom_();
  }

 private:
  const std::function<void()> onRoom_;
  Mutex mutex_;
  std::size_t count_ GUARDED_BY(mutex_) = 0;
  std::size_t bytes_ GUARDED_BY(mutex_) = 0;
  bool wanted_ GUARDED_BY(mutex_) = false;
};

// Held by a queued delivery: gives its share back when the delivery has run or was discarded.
class QueueTicket {
 public:
  QueueTicket(std::shared_ptr<QueueBudget> budget, std::size_t count, std::size_t bytes)
      : budget_(std::move(budget)), count_(count), bytes_(bytes) {}
  ~QueueTicket() { budget_->give(count_, bytes_); }
  QueueTicket(const QueueTicket&) = delete;
  QueueTicket& operator=(const QueueTicket&) = delete;

 private:
  std::shared_ptr<QueueBudget> budget_;
  std::size_t count_;
  std::size_t bytes_;
};

// The payload size of a value, and in `depth` (when given) how many collections deep it nests.
std::size_t ObjectSize(const Object& root, std::size_t* depth = nullptr) {
  // Iterative, so that a value built in code (not by a conversion) cannot overflow the stack.
  constexpr std::size_t kOverhead = 16;
  std::size_t total = 0;
  std::size_t deepest = 0;
  std::vector<std::pair<const Object*, std::size_t>> pending{{&root, 0}};
  while (!pending.empty()) {
    const auto [value, level] = pending.back();
    pending.pop_back();
    total += kOverhead;
    deepest = std::max(deepest, level);
    if (const std::string* s = value->string()) total += s->size();
    if (const ObjectData* d = value->data()) total += d->size();
    if (const ObjectArray* a = value->array()) {
      for (const Object& item : *a) pending.emplace_back(&item, level + 1);
    }
    if (const ObjectDictionary* d = value->dictionary()) {
      for (const auto& [key, item] : *d) {
        total += key.size();
        pending.emplace_back(&item, level + 1);
      }
    }
  }
  if (depth != nullptr) *depth = deepest;
  return total;
}

// A post waiting for the bus thread.
struct PendingPost {
  NSNotification note;
  std::size_t size;
  // Whether it may travel inside a Posts signal.
  bool gatherable;
};

struct Registration {
  const void* observer;
  NotificationCallback callback;
  std::optional<std::string> name;
  Object object;
  NSNotificationSuspensionBehavior behavior;
  std::shared_ptr<Thread> thread;
  // What suspension kept back; guarded by the incoming flow's mutex.
  std::deque<NSNotification> held;
  // Set on removal, so that deliveries already queued on the observer's loop are skipped.
  std::atomic<bool> removed{false};

  bool matches(const NSNotification& note) const {
    return (!name || *name == note.name) && (object.isNil() || object == note.object);
  }
};

// A received notification on its way to one observer, with its payload size (measured once,
// on receipt, for every observer it goes to).
struct Delivery {
  std::shared_ptr<Registration> registration;
  NSNotification note;
  std::size_t size;
};

// The waits that tests shorten (SetDistributedCenterTimingsForTesting); the product's values
// otherwise. Read at each use, so that a change applies to the next wait.
std::atomic<std::int64_t> g_gatherWindowUs{kGatherWindow.count()};
std::atomic<std::int64_t> g_observerStuckWaitMs{
    std::chrono::duration_cast<std::chrono::milliseconds>(kObserverStuckWait).count()};

std::chrono::microseconds GatherWindow() {
  return std::chrono::microseconds(g_gatherWindowUs.load(std::memory_order_relaxed));
}
std::chrono::milliseconds ObserverStuckWait() {
  return std::chrono::milliseconds(g_observerStuckWaitMs.load(std::memory_order_relaxed));
}

// The bus connection's life: opening it and subscribing to the center's signals, noticing its
// loss and opening it again in the background, and attaching it to the bus thread's loop
// whenever reading is not paused. Bus thread only, so it needs no lock.
class BusLink final {
 public:
  // `onSignal(…, signalData, …)` receives every Post and Posts signal; `reading` says whether a
  // new connection is to be attached to the loop at once.
  BusLink(sd_bus_message_handler_t onSignal, void* signalData, std::function<bool()> reading)
      : onSignal_(onSignal), signalData_(signalData), reading_(std::move(reading)) {}

  // The first attempt, as the bus thread starts. A bus that is not there yet is waited for as
  // one that went away.
  void start() {
    std::string why;
    if (connect(&why) < 0) {
      NSLog(kNoBusLine, why);
      busMissing_ = true;
      scheduleReconnect(kReconnectFirst);
    }
  }

  // As the bus thread ends: no more attempts, and what was sent reaches the others before the
  // close. Flushing is not enough: the bus daemon reads a connection a little at a time, and once
  // it finds the connection closed it may drop what it had not read yet, so a process that posts
  // and exits could lose its last posts. Its answer to a call proves it has routed them.
  void stop() {
    retry_.reset();
    if (bus_ && sentSinceConnect_) {
      postSlot_.reset();  // nothing more to receive meanwhile
      postsSlot_.reset();
      if (int r = dbus::WaitUntilRouted(bus_.get(), std::chrono::microseconds(kRoutedWait).count());
          r < 0) {
        NSLog(kUnconfirmedLine, std::strerror(-r));
      }
    }
    disconnect();
  }

  // The connection to send on: the open one, or while the bus is lost a new one (dropped
  // without a line of its own when none can be made: the outage was logged when it began).
  sd_bus* forSending() {
    if (!bus_) {
      std::string why;
      if (connect(&why) < 0) return nullptr;
      announceReconnected();
    }
    sentSinceConnect_ = true;
    return bus_.get();
  }

  // Reading pauses while the connection is detached from the loop: the bus daemon keeps what
  // comes meanwhile.
  void detach() {
    if (bus_) sd_bus_detach_event(bus_.get());
  }
  void attach() {
    if (bus_ &&
        sd_bus_attach_event(bus_.get(), RunLoop::current().event(), SD_EVENT_PRIORITY_NORMAL) < 0) {
      connectionLost();
    }
  }

 private:
  // Opens the session bus, subscribes to Post and Posts signals and attaches the connection to
  // this thread's run loop.
  int connect(std::string* why) {
    dbus::BusPtr bus;
    int r = dbus::OpenSessionBus(&bus, "NSDistributedNotificationCenter");
    if (r == -ENOENT) {
      *why = "DBUS_SESSION_BUS_ADDRESS is not set";
      return r;
    }
    sd_bus_slot* post = nullptr;
    sd_bus_slot* posts = nullptr;
    // The calls wait for the bus's answer, so no post made after start() can be missed.
    if (r >= 0) {
      r = sd_bus_match_signal(bus.get(), &post, nullptr, dbus::kPostPath, dbus::kPostInterface,
                              dbus::kPostMember, onSignal_, signalData_);
    }
    dbus::SlotPtr postSlot(post);
    if (r >= 0) {
      r = sd_bus_match_signal(bus.get(), &posts, nullptr, dbus::kPostPath, dbus::kPostInterface,
                              dbus::kPostsMember, onSignal_, signalData_);
    }
    dbus::SlotPtr postsSlot(posts);
    dbus::SlotPtr lostSlot;
    if (r >= 0) r = dbus::MatchDisconnected(bus.get(), &lostSlot, &BusLink::OnDisconnected, this);
    // A connection made while reading is paused for observers is attached when the pause ends.
    if (r >= 0 && reading_()) {
      r = sd_bus_attach_event(bus.get(), RunLoop::current().event(), SD_EVENT_PRIORITY_NORMAL);
    }
    if (r < 0) {
      *why = std::string(std::strerror(-r)) + " at " + std::getenv("DBUS_SESSION_BUS_ADDRESS");
      return r;
    }
    postSlot_ = std::move(postSlot);
    postsSlot_ = std::move(postsSlot);
    lostSlot_ = std::move(lostSlot);
    bus_ = std::move(bus);
    return 0;
  }

  void disconnect() {
    if (!bus_) return;
    sd_bus_flush(bus_.get());
    postSlot_.reset();
    postsSlot_.reset();
    lostSlot_.reset();
    sd_bus_detach_event(bus_.get());
    bus_.reset();
    sentSinceConnect_ = false;
  }

  // The daemon went away (or threw us off). The connection is dropped outside the sd-bus
  // callback that reported it, and re-opened in the background.
  void connectionLost() {
    NSLog(kLostBusLine);
    busMissing_ = true;
    disconnect();
    scheduleReconnect(kReconnectFirst);
  }

  void scheduleReconnect(std::chrono::milliseconds delay) {
    retry_ = RunLoop::current().addTimer(delay, [this, delay] {
      // Replacing the timer from inside its own callback is left to a queued task.
      RunLoop::current().perform(
          [this, delay] { reconnect(std::min(delay * 2, kReconnectLongest)); });
    });
  }

  void reconnect(std::chrono::milliseconds nextDelay) {
    if (bus_) {  // a post reconnected meanwhile
      retry_.reset();
      return;
    }
    std::string why;
    if (connect(&why) < 0) {
      scheduleReconnect(nextDelay);
      return;
    }
    retry_.reset();
    announceReconnected();
  }

  void announceReconnected() {
    if (!std::exchange(busMissing_, false)) return;
    NSLog(kReconnectedLine);
  }

  static int OnDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BusLink*>(userdata);
    RunLoop::current().perform([self] { self->connectionLost(); });
    return 0;
  }

  const sd_bus_message_handler_t onSignal_;
  void* const signalData_;
  const std::function<bool()> reading_;
  // Set while an outage has been logged and its end has not.
  bool busMissing_ = false;
  // Whether anything was sent on the open connection, so that closing it waits for the daemon.
  bool sentSinceConnect_ = false;
  dbus::BusPtr bus_;
  dbus::SlotPtr postSlot_;
  dbus::SlotPtr postsSlot_;
  dbus::SlotPtr lostSlot_;
  // An optional because RunLoopSource's inline default constructor cannot be instantiated here.
  std::optional<RunLoopSource> retry_;
};

// The outgoing gathering of posts: what any thread posts waits here for the bus thread, which
// sends it in as few signals as the posts' timing, count and size allow.
class Outbox final {
 public:
  Outbox(const std::shared_ptr<Thread>& busThread, BusLink& link)
      : busThread_(busThread), link_(link) {}

  // Posts are taken from the moment the bus thread runs until shutdown.
  void open() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    open_ = true;
  }
  void close() EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      open_ = false;
    }
    drained_.notify_all();
  }
  // Bus thread, as it ends.
  void stop() { gatherTimer_.reset(); }

  void post(std::string name, Object object, Object userInfo) EXCLUDES(mutex_) {
    std::size_t objectDepth = 0, infoDepth = 0;
    const std::size_t size =
        name.size() + ObjectSize(object, &objectDepth) + ObjectSize(userInfo, &infoDepth);
    if (size > kMaxDistributedPayloadBytes) {
      NSLog(kCannotPostLine, name,
            "its payload of " + std::to_string(size) + " bytes is above " +
                std::to_string(kMaxDistributedPayloadBytes));
      return;
    }
    const bool gatherable = std::max(objectDepth, infoDepth) <= kGatheredDepth;
    bool wake = false;
    {
      UniqueLock lock(mutex_);
      // The caller waits for the bus thread only when it is far behind, so that a flood of
      // posts cannot queue without bound; a bus thread stuck past the bound drops the post.
      if (pending_.size() >= kMaxQueuedPosts &&
          !drained_.wait_for(lock.forWait(), kQueueWait, [this]() REQUIRES(mutex_) {
            return pending_.size() < kMaxQueuedPosts || !open_;
          })) {
        if (!queueFullLogged_) NSLog(kCannotPostLine, name, "the bus thread is too far behind");
        queueFullLogged_ = true;
        return;
      }
      if (!open_) return;
      queueFullLogged_ = false;
      pending_.push_back(
          PendingPost{NSNotification{std::move(name), std::move(object), std::move(userInfo)}, size,
                      gatherable});
      // One wake-up serves every post until the bus thread takes them; a full signal's worth
      // does not wait for the gathering window.
      if (!sendScheduled_ || pending_.size() == kPostsPerSignal) wake = true;
      sendScheduled_ = true;
    }
    // sd-bus objects are not thread-safe, so the bus thread sends. The caller does not wait for
    // it: posts leave in the order they were made, each after whatever its caller did before
    // posting (a settings synchronize), which is the order receivers rely on.
    if (wake) busThread_->perform([this] { sendPending(/*windowOver=*/false); }, false);
  }

  // Bus thread: sends what is pending, unless posts are coming closely one after another and
  // the gathering window of the first one waiting has not passed yet.
  void sendPending(bool windowOver) EXCLUDES(mutex_) {
    if (windowOver) gathering_ = false;
    std::deque<PendingPost> posts;
    {
      MutexLock lock(mutex_);
      if (pending_.empty()) {
        sendScheduled_ = gathering_;
        return;
      }
      // Posts are streaming when more than one has gathered, now or for the last signal, soon
      // after the last signal left. A lone post that follows another (a reply to a reply) goes
      // at once, as one made after a pause does.
      const bool streaming = (pending_.size() > 1 || lastSignalCount_ > 1) &&
                             RunLoop::Clock::now() - lastSent_ < GatherWindow();
      if (!windowOver && streaming && pending_.size() < kPostsPerSignal) {
        // The timer below sends them; posts made meanwhile need no wake-up of their own.
        if (gathering_) return;
        gathering_ = true;
      } else {
        posts.swap(pending_);
        sendScheduled_ = gathering_;
      }
    }
    if (posts.empty()) {
      // Armed here, in a task, never inside the timer's own callback, which only queues one.
      gatherTimer_ = RunLoop::current().addTimer(GatherWindow(), [this] {
        RunLoop::current().perform([this] { sendPending(/*windowOver=*/true); });
      });
      return;
    }
    drained_.notify_all();
    lastSignalCount_ = posts.size();
    sendAll(posts);
    lastSent_ = RunLoop::Clock::now();
  }

 private:
  // Bus thread: sends `posts` in order, as few signals as their count and size allow.
  void sendAll(std::deque<PendingPost>& posts) {
    sd_bus* bus = link_.forSending();
    if (bus == nullptr) return;
    const std::string lastName = posts.back().note.name;
    std::vector<NSNotification> batch;
    std::size_t bytes = 0;
    for (PendingPost& post : posts) {
      if (!batch.empty() && (!post.gatherable || batch.size() == kPostsPerSignal ||
                             bytes + post.size > kBytesPerSignal)) {
        sendBatch(bus, batch);
        batch.clear();
        bytes = 0;
      }
      batch.push_back(std::move(post.note));
      bytes += post.size;
      if (!post.gatherable) {
        sendBatch(bus, batch);
        batch.clear();
        bytes = 0;
      }
    }
    if (!batch.empty()) sendBatch(bus, batch);
    int r = sd_bus_flush(bus);
    if (r < 0) NSLog(kCannotPostLine, lastName, std::strerror(-r));
  }

  // Bus thread: one Post signal for a lone notification, one Posts signal for several. A
  // notification that cannot be encoded is left out (logged) and the rest still go.
  static void sendBatch(sd_bus* bus, std::span<const NSNotification> notes) {
    while (!notes.empty()) {
      if (notes.size() == 1) {
        sendOne(bus, notes.front());
        return;
      }
      dbus::MessagePtr m = dbus::NewPostsSignal(bus);
      if (!m) {
        NSLog(kCannotPostLine, notes.front().name, "cannot make a signal");
        return;
      }
      std::size_t failedAt = 0;
      if (dbus::AppendPostsArguments(m.get(), notes, &failedAt) < 0) {
        // The message is spoilt: send those before the refused one by themselves, go on after.
        sendBatch(bus, notes.first(failedAt));
        notes = notes.subspan(failedAt + 1);
        continue;
      }
      if (int r = sd_bus_send(bus, m.get(), nullptr); r < 0) {
        NSLog(kCannotPostLine, notes.front().name, std::strerror(-r));
      }
      return;
    }
  }

  static void sendOne(sd_bus* bus, const NSNotification& note) {
    dbus::MessagePtr m = dbus::NewPostSignal(bus);
    if (!m) {
      NSLog(kCannotPostLine, note.name, "cannot make a signal");
      return;
    }
    if (dbus::AppendPostArguments(m.get(), note.name, note.object, note.userInfo) < 0) return;
    if (int r = sd_bus_send(bus, m.get(), nullptr); r < 0) {
      NSLog(kCannotPostLine, note.name, std::strerror(-r));
    }
  }

  const std::shared_ptr<Thread>& busThread_;
  BusLink& link_;
  Mutex mutex_;
  // Posts handed to the bus thread and not yet sent, and the wake-up for callers waiting for
  // their number to fall under the cap.
  std::deque<PendingPost> pending_ GUARDED_BY(mutex_);
  std::condition_variable drained_;
  // Set while a task or the gathering timer will send what is pending, so a post need not wake
  // the bus thread.
  bool sendScheduled_ GUARDED_BY(mutex_) = false;
  bool queueFullLogged_ GUARDED_BY(mutex_) = false;
  bool open_ GUARDED_BY(mutex_) = false;

  // Bus thread only.
  // When the last signal left, and the timer of a gathering window that is open.
  RunLoop::Clock::time_point lastSent_;
  std::size_t lastSignalCount_ = 0;  // how many posts the last send took
  bool gathering_ = false;
  std::optional<RunLoopSource> gatherTimer_;
};

// The incoming flow control: received notifications go to the matching observers' loops within
// the budget of what may wait there, suspension keeps them back as each observer asked, and
// reading from the bus pauses while observers are behind.
class IncomingFlow final {
 public:
  IncomingFlow(const std::shared_ptr<Thread>& busThread, BusLink& link)
      : busThread_(busThread), link_(link) {}

  // Bus thread, as it ends.
  void stop() { stuckTimer_.reset(); }
  // Bus thread: whether reading goes on (the connection is attached to the loop).
  bool reading() const { return !paused_; }

  void addObserver(std::shared_ptr<Registration> registration) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    registrations_.push_back(std::move(registration));
  }

  template <typename Predicate>
  void removeObservers(Predicate&& matches) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    std::erase_if(registrations_, [&](const std::shared_ptr<Registration>& r) {
      if (!matches(*r)) return false;
      r->removed.store(true);
      return true;
    });
  }

  void setSuspended(bool suspended) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    suspended_ = suspended;
    if (suspended) return;
    // Delivered under the lock so that nothing received after the resume overtakes them.
    for (const auto& registration : registrations_) {
      std::deque<NSNotification> held = std::exchange(registration->held, {});
      std::vector<Delivery> deliveries;
      for (NSNotification& note : held) {
        const std::size_t size = DistributedPayloadSize(note);
        deliveries.push_back({registration, std::move(note), size});
      }
      deliver(std::move(deliveries));
    }
  }

  bool suspended() const EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return suspended_;
  }

  // For Post and Posts signals alike. A notification over the cap is refused before it is
  // decoded, so that however large a signal another process sends, it is never copied.
  static int OnSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<IncomingFlow*>(userdata);
    std::vector<dbus::RefusedNotification> refused;
    std::optional<std::vector<NSNotification>> notes =
        dbus::DecodeCenterSignal(m, kMaxDistributedPayloadBytes, &refused);
    for (const dbus::RefusedNotification& one : refused) self->refuse(one.name, one.size);
    if (notes) self->receive(*notes);
    return 0;
  }

 private:
  // Bus thread: logs a notification refused for its size, one line per burst.
  void refuse(const std::string& name, std::size_t size) {
    if (std::uint64_t count = oversized_.note()) {
      NSLog(kOversizedLine, name, static_cast<unsigned long>(size),
            static_cast<unsigned long>(kMaxDistributedPayloadBytes),
            static_cast<unsigned long>(count));
    }
  }

  // Bus thread: hands received notifications to every matching observer. Each observer's
  // thread gets them in the order they were posted, and what one signal brings to one thread
  // reaches its run loop as one task.
  void receive(std::span<NSNotification> received) EXCLUDES(mutex_) {
    std::vector<std::pair<const NSNotification*, std::size_t>> notes;
    notes.reserve(received.size());
    for (const NSNotification& note : received) {
      const std::size_t size = DistributedPayloadSize(note);
      if (size <= kMaxDistributedPayloadBytes) {
        notes.emplace_back(&note, size);
        continue;
      }
      refuse(note.name, size);
    }
    MutexLock lock(mutex_);
    std::vector<Delivery> deliveries;
    for (const auto& [note, size] : notes) {
      for (const auto& registration : registrations_) {
        if (!registration->matches(*note)) continue;
        if (!suspended_ ||
            registration->behavior == NSNotificationSuspensionBehavior::DeliverImmediately) {
          deliveries.push_back({registration, *note, size});
          continue;
        }
        hold(*registration, *note);
      }
    }
    deliver(std::move(deliveries));
  }

  // Keeps `note` back for a suspended observer, as its suspension behavior says.
  void hold(Registration& registration, const NSNotification& note) REQUIRES(mutex_) {
    std::deque<NSNotification>& held = registration.held;
    if (held.size() >= kMaxQueuedDistributedNotifications) {
      reportDropped();
      return;
    }
    switch (registration.behavior) {
      case NSNotificationSuspensionBehavior::Drop:
      case NSNotificationSuspensionBehavior::DeliverImmediately:
        break;
      case NSNotificationSuspensionBehavior::Coalesce:
        std::erase_if(held, [&](const NSNotification& n) { return n.name == note.name; });
        held.push_back(note);
        break;
      case NSNotificationSuspensionBehavior::Hold:
        held.push_back(note);
        break;
    }
  }

  // Queues each delivery on its observer's run loop, one task per thread holding that thread's
  // deliveries in order, within the budget of what may wait there. Past the budget the rest wait
  // in order, and reading from the bus pauses until the observers make room. Any thread.
  void deliver(std::vector<Delivery> deliveries) REQUIRES(mutex_) {
    struct Batch {
      std::shared_ptr<Thread> thread;
      std::vector<std::pair<std::weak_ptr<Registration>, NSNotification>> items;
      std::size_t bytes = 0;
    };
    std::vector<Batch> batches;  // few: one per observing thread
    for (Delivery& d : deliveries) {
      const std::size_t size = d.size;
      if (!waiting_.empty() || !budget_->take(size)) {
        // Once an observer has been found stuck, what finds no room is dropped at once, so the
        // others are not held up by another five-second wait for it.
        if (observersStuck_ && waiting_.empty()) {
          reportDropped();
        } else {
          waiting_.push_back(std::move(d));
        }
        continue;
      }
      auto batch = std::find_if(batches.begin(), batches.end(),
                                [&](const Batch& b) { return b.thread == d.registration->thread; });
      if (batch == batches.end()) batch = batches.insert(batches.end(), {d.registration->thread});
      batch->items.emplace_back(d.registration, std::move(d.note));
      batch->bytes += size;
    }
    for (Batch& batch : batches) {
      auto ticket = std::make_shared<QueueTicket>(budget_, batch.items.size(), batch.bytes);
      batch.thread->perform(
          [ticket, items = std::move(batch.items)] {
            for (const auto& [weak, note] : items) {
              // Looked up for each one: an observer may remove itself or others in its call.
              std::shared_ptr<Registration> r = weak.lock();
              if (r && !r->removed.load()) r->callback(note);
            }
          },
          false);
    }
    if (!waiting_.empty() && !pauseQueued_) {
      pauseQueued_ = true;
      busThread_->perform([this] { pauseReading(); }, false);
    }
  }

  // Bus thread: stops reading from the bus while deliveries wait for room.
  void pauseReading() EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      pauseQueued_ = false;
      if (waiting_.empty() || paused_) return;
    }
    paused_ = true;
    if (waitingLog_.note() > 0) NSLog(kWaitingLine);
    link_.detach();
    stuckTimer_ = RunLoop::current().addTimer(ObserverStuckWait(), [this] {
      RunLoop::current().perform([this] { resumeReading(/*giveUp=*/true); });
    });
    // The observers may have made room between the refusal and now, and the budget calls only
    // once per refusal: try again at once, which asks the budget anew if they have not.
    resumeReading(/*giveUp=*/false);
  }

  // Bus thread: hands on what waited, as far as the budget allows, and reads from the bus again
  // once nothing waits. With `giveUp`, what still waits is dropped instead.
  void resumeReading(bool giveUp) EXCLUDES(mutex_) {
    if (!paused_) return;
    {
      MutexLock lock(mutex_);
      std::deque<Delivery> waiting = std::exchange(waiting_, {});
      if (giveUp) {
        for (std::size_t i = 0; i < waiting.size(); ++i) reportDropped();
        observersStuck_ = true;
      } else {
        deliver(std::vector<Delivery>(std::make_move_iterator(waiting.begin()),
                                      std::make_move_iterator(waiting.end())));
        if (!waiting_.empty()) return;  // still full: the budget calls again
      }
    }
    paused_ = false;
    stuckTimer_.reset();
    link_.attach();
  }

  void reportDropped() {
    if (std::uint64_t count = behind_.note()) {
      NSLog(kBehindLine, static_cast<unsigned long>(count));
    }
  }

  const std::shared_ptr<Thread>& busThread_;
  BusLink& link_;
  mutable Mutex mutex_;
  bool suspended_ GUARDED_BY(mutex_) = false;
  std::vector<std::shared_ptr<Registration>> registrations_ GUARDED_BY(mutex_);
  // Room again: the observers have drained half of what waited for them.
  const std::shared_ptr<QueueBudget> budget_ = std::make_shared<QueueBudget>([this] {
    busThread_->perform(
        [this] {
          {
            MutexLock lock(mutex_);
            observersStuck_ = false;
          }
          resumeReading(/*giveUp=*/false);
        },
        false);
  });
  // Deliveries that found the budget spent, in order, and whether a pause is on its way to the
  // bus thread for them.
  std::deque<Delivery> waiting_ GUARDED_BY(mutex_);
  bool pauseQueued_ GUARDED_BY(mutex_) = false;
  // Set when a pause ended because observers made no room, until they do.
  bool observersStuck_ GUARDED_BY(mutex_) = false;
  LogThrottle waitingLog_{kDropLogInterval};
  LogThrottle oversized_{kDropLogInterval};
  LogThrottle behind_{kDropLogInterval};

  // Bus thread only.
  // Set while reading is paused for observers (the connection is then detached from the loop),
  // and the timer that ends a pause for observers that do not make room.
  bool paused_ = false;
  std::optional<RunLoopSource> stuckTimer_;
};

}  // namespace

std::size_t DistributedPayloadSize(const NSNotification& note) {
  return note.name.size() + ObjectSize(note.object) + ObjectSize(note.userInfo);
}

DistributedCenterTimings DistributedCenterDefaultTimings() {
  return {kGatherWindow, kObserverStuckWait};
}

void SetDistributedCenterTimingsForTesting(const DistributedCenterTimings& timings) {
  g_gatherWindowUs.store(timings.gatherWindow.count());
  g_observerStuckWaitMs.store(timings.observerStuckWait.count());
}

// The center: the bus thread's life, and the three parts that share it.
class NSDistributedNotificationCenter::Impl final {
 public:
  // Starts the bus thread and returns once its first attempt to connect is over.
  void start() EXCLUDES(mutex_) {
    thread_ = Thread::create([this] { serve(); }, "NSDistributedNotificationCenter");
    thread_->start();
    UniqueLock lock(mutex_);
    ready_.wait(lock.forWait(), [this]() REQUIRES(mutex_) { return state_ != State::Starting; });
  }

  // Sends what was posted, then stops the bus thread and closes the connection. Called once,
  // at process exit.
  void shutdown() EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      if (state_ != State::Running) return;
      state_ = State::Stopped;
    }
    outbox_.close();
    // Posts still gathering go out now, before the loop stops.
    thread_->perform(
        [this] {
          outbox_.sendPending(/*windowOver=*/true);
          RunLoop::current().stop();
        },
        false);
    thread_->join();
  }

  Outbox& outbox() { return outbox_; }
  IncomingFlow& incoming() { return incoming_; }

 private:
  enum class State { Starting, Running, Stopped };

  // The bus thread's body.
  void serve() EXCLUDES(mutex_) {
    link_.start();
    outbox_.open();
    {
      MutexLock lock(mutex_);
      state_ = State::Running;
    }
    ready_.notify_all();
    RunLoop::current().run();
    outbox_.stop();
    incoming_.stop();
    link_.stop();
  }

  Mutex mutex_;
  std::condition_variable ready_;
  State state_ GUARDED_BY(mutex_) = State::Starting;
  std::shared_ptr<Thread> thread_;
  BusLink link_{&IncomingFlow::OnSignal, &incoming_, [this] { return incoming_.reading(); }};
  Outbox outbox_{thread_, link_};
  IncomingFlow incoming_{thread_, link_};
};

NSDistributedNotificationCenter& NSDistributedNotificationCenter::defaultCenter() {
  // Never destroyed: other static destructors may still post or remove observers at exit. The
  // bus thread is stopped by an exit handler instead.
  static NSDistributedNotificationCenter* center = new NSDistributedNotificationCenter();
  return *center;
}

NSDistributedNotificationCenter::NSDistributedNotificationCenter()
    : impl_(std::make_unique<Impl>()) {
  // The log's sink list must be constructed before the exit handler is registered, so that it
  // is destroyed after the handler ran: the bus thread may still log while it shuts down.
  { LogCapture warmUp; }
  impl_->start();
  std::atexit([] { defaultCenter().impl_->shutdown(); });
}

NSDistributedNotificationCenter::~NSDistributedNotificationCenter() = default;

void NSDistributedNotificationCenter::addObserver(const void* observer,
                                                  NotificationCallback callback,
                                                  std::optional<std::string> name, Object object,
                                                  NSNotificationSuspensionBehavior behavior) {
  if (!callback) return;
  auto registration = std::make_shared<Registration>();
  registration->observer = observer;
  registration->callback = std::move(callback);
  registration->name = std::move(name);
  registration->object = std::move(object);
  registration->behavior = behavior;
  registration->thread = Thread::current();
  impl_->incoming().addObserver(std::move(registration));
}

void NSDistributedNotificationCenter::removeObserver(const void* observer) {
  impl_->incoming().removeObservers([&](const Registration& r) { return r.observer == observer; });
}

void NSDistributedNotificationCenter::removeObserver(const void* observer,
                                                     std::optional<std::string> name,
                                                     Object object) {
  impl_->incoming().removeObservers([&](const Registration& r) {
    return r.observer == observer && (!name || r.name == name) &&
           (object.isNil() || r.object == object);
  });
}

void NSDistributedNotificationCenter::postNotificationName(std::string_view name, Object object,
                                                           Object userInfo,
                                                           bool /*deliverImmediately*/) {
  impl_->outbox().post(std::string(name), std::move(object), std::move(userInfo));
}

void NSDistributedNotificationCenter::setSuspended(bool suspended) {
  impl_->incoming().setSuspended(suspended);
}

bool NSDistributedNotificationCenter::suspended() const {
  return impl_->incoming().suspended();
}

}  // namespace vrk
