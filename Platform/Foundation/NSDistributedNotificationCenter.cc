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
#include <mutex>
#include <utility>
#include <vector>

#include "Platform/Foundation/DBusCodec.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"

namespace vrk {

namespace {

constexpr char kNoBusLine[] =
    "NSDistributedNotificationCenter: no session bus (%s); trying again in the background";
constexpr char kLostBusLine[] =
    "NSDistributedNotificationCenter: lost the session bus; reconnecting";
constexpr char kReconnectedLine[] =
    "NSDistributedNotificationCenter: reconnected to the session bus";
constexpr char kCannotPostLine[] = "NSDistributedNotificationCenter: cannot post %s: %s";
constexpr char kOversizedLine[] =
    "NSDistributedNotificationCenter: refused %s: its payload of %lu bytes is above %lu (%lu "
    "since the last line)";
constexpr char kBehindLine[] =
    "NSDistributedNotificationCenter: observers are behind; dropped %lu notifications since the "
    "last line";

// Posts waiting for the bus thread, at most; a caller past the cap waits up to kQueueWait.
constexpr int kMaxQueuedPosts = 4096;
constexpr std::chrono::seconds kQueueWait{5};

// Attempts to reach a session bus that is not there start soon and back off to a second apart,
// so a bus that appears is found within about a second.
constexpr std::chrono::milliseconds kReconnectFirst{100};
constexpr std::chrono::milliseconds kReconnectLongest{1000};
// A flood of refused or dropped notifications costs a line per burst.
constexpr std::chrono::seconds kDropLogInterval{1};

// What received notifications waiting on observers' run loops hold, over all observers.
class QueueBudget {
 public:
  bool take(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    if (count_ + 1 > kMaxQueuedDistributedNotifications ||
        bytes_ + bytes > kMaxQueuedDistributedBytes) {
      return false;
    }
    ++count_;
    bytes_ += bytes;
    return true;
  }
  void give(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    --count_;
    bytes_ -= bytes;
  }

 private:
  std::mutex mutex_;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

// Held by a queued delivery: gives its share back when the delivery has run or was discarded.
class QueueTicket {
 public:
  QueueTicket(std::shared_ptr<QueueBudget> budget, std::size_t bytes)
      : budget_(std::move(budget)), bytes_(bytes) {}
  ~QueueTicket() { budget_->give(bytes_); }
  QueueTicket(const QueueTicket&) = delete;
  QueueTicket& operator=(const QueueTicket&) = delete;

 private:
  std::shared_ptr<QueueBudget> budget_;
  std::size_t bytes_;
};

std::size_t ObjectSize(const Object& root) {
  // Iterative, so that a value built in code (not by a conversion) cannot overflow the stack.
  constexpr std::size_t kOverhead = 16;
  std::size_t total = 0;
  std::vector<const Object*> pending{&root};
  while (!pending.empty()) {
    const Object* value = pending.back();
    pending.pop_back();
    total += kOverhead;
    if (const std::string* s = value->string()) total += s->size();
    if (const ObjectData* d = value->data()) total += d->size();
    if (const ObjectArray* a = value->array()) {
      for (const Object& item : *a) pending.push_back(&item);
    }
    if (const ObjectDictionary* d = value->dictionary()) {
      for (const auto& [key, item] : *d) {
        total += key.size();
        pending.push_back(&item);
      }
    }
  }
  return total;
}

struct Registration {
  const void* observer;
  NotificationCallback callback;
  std::optional<std::string> name;
  Object object;
  NSNotificationSuspensionBehavior behavior;
  std::shared_ptr<Thread> thread;
  // What suspension kept back; guarded by the center's mutex.
  std::deque<NSNotification> held;
  // Set on removal, so that deliveries already queued on the observer's loop are skipped.
  std::atomic<bool> removed{false};

  bool matches(const NSNotification& note) const {
    return (!name || *name == note.name) && (object.isNil() || object == note.object);
  }
};

}  // namespace

std::size_t DistributedPayloadSize(const NSNotification& note) {
  return note.name.size() + ObjectSize(note.object) + ObjectSize(note.userInfo);
}

class NSDistributedNotificationCenter::Impl final {
 public:
  // Starts the bus thread and returns once its first attempt to connect is over.
  void start() {
    thread_ = Thread::create([this] { serve(); }, "NSDistributedNotificationCenter");
    thread_->start();
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return state_ != State::Starting; });
  }

  // Sends what was posted, then stops the bus thread and closes the connection. Called once,
  // at process exit.
  void shutdown() {
    {
      std::lock_guard lock(mutex_);
      if (state_ != State::Running) return;
      state_ = State::Stopped;
    }
    drained_.notify_all();
    // Posts queued before this task still go out: the loop runs tasks in order.
    thread_->perform([] { RunLoop::current().stop(); }, false);
    thread_->join();
  }

  void addObserver(std::shared_ptr<Registration> registration) {
    std::lock_guard lock(mutex_);
    registrations_.push_back(std::move(registration));
  }

  template <typename Predicate>
  void removeObservers(Predicate&& matches) {
    std::lock_guard lock(mutex_);
    std::erase_if(registrations_, [&](const std::shared_ptr<Registration>& r) {
      if (!matches(*r)) return false;
      r->removed.store(true);
      return true;
    });
  }

  void post(std::string name, Object object, Object userInfo) {
    const std::size_t size = name.size() + ObjectSize(object) + ObjectSize(userInfo);
    if (size > kMaxDistributedPayloadBytes) {
      NSLog(kCannotPostLine, name,
            "its payload of " + std::to_string(size) + " bytes is above " +
                std::to_string(kMaxDistributedPayloadBytes));
      return;
    }
    {
      std::unique_lock lock(mutex_);
      // The caller waits for the bus thread only when it is far behind, so that a flood of
      // posts cannot queue without bound; a bus thread stuck past the bound drops the post.
      if (queued_ >= kMaxQueuedPosts && !drained_.wait_for(lock, kQueueWait, [this] {
            return queued_ < kMaxQueuedPosts || state_ != State::Running;
          })) {
        if (!queueFullLogged_) NSLog(kCannotPostLine, name, "the bus thread is too far behind");
        queueFullLogged_ = true;
        return;
      }
      if (state_ != State::Running) return;
      queueFullLogged_ = false;
      ++queued_;
    }
    // sd-bus objects are not thread-safe, so the bus thread sends. The caller does not wait for
    // it: posts leave in the order they were made, each after whatever its caller did before
    // posting (a settings synchronize), which is the order receivers rely on.
    thread_->perform(
        [this, name = std::move(name), object = std::move(object), userInfo = std::move(userInfo)] {
          send(name, object, userInfo);
          std::lock_guard lock(mutex_);
          if (queued_-- == kMaxQueuedPosts) drained_.notify_all();
        },
        false);
  }

  void setSuspended(bool suspended) {
    std::lock_guard lock(mutex_);
    suspended_ = suspended;
    if (suspended) return;
    // Delivered under the lock so that nothing received after the resume overtakes them.
    for (const auto& registration : registrations_) {
      std::deque<NSNotification> held = std::exchange(registration->held, {});
      for (NSNotification& note : held) deliver(registration, std::move(note));
    }
  }

  bool suspended() const {
    std::lock_guard lock(mutex_);
    return suspended_;
  }

 private:
  enum class State { Starting, Running, Stopped };

  // The bus thread's body. A bus that is not there yet is waited for as one that went away.
  void serve() {
    std::string why;
    if (connect(&why) < 0) {
      NSLog(kNoBusLine, why);
      busMissing_ = true;
      scheduleReconnect(kReconnectFirst);
    }
    {
      std::lock_guard lock(mutex_);
      state_ = State::Running;
    }
    ready_.notify_all();
    RunLoop::current().run();
    retry_.reset();
    disconnect();
  }

  // Opens the session bus, subscribes to Post signals and attaches the connection to this
  // thread's run loop. Bus thread only.
  int connect(std::string* why) {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') {
      *why = "DBUS_SESSION_BUS_ADDRESS is not set";
      return -ENOENT;
    }
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    dbus::BusPtr bus(raw);
    if (r >= 0) r = sd_bus_set_address(bus.get(), address);
    if (r >= 0) r = sd_bus_set_bus_client(bus.get(), 1);
    if (r >= 0) r = sd_bus_set_description(bus.get(), "NSDistributedNotificationCenter");
    if (r >= 0) r = sd_bus_start(bus.get());
    sd_bus_slot* post = nullptr;
    sd_bus_slot* lost = nullptr;
    // Both calls wait for the bus's answer, so no post made after start() can be missed.
    if (r >= 0) {
      r = sd_bus_match_signal(bus.get(), &post, nullptr, dbus::kPostPath, dbus::kPostInterface,
                              dbus::kPostMember, &Impl::OnPost, this);
    }
    dbus::SlotPtr postSlot(post);
    if (r >= 0) {
      r = sd_bus_match_signal(bus.get(), &lost, "org.freedesktop.DBus.Local",
                              "/org/freedesktop/DBus/Local", "org.freedesktop.DBus.Local",
                              "Disconnected", &Impl::OnDisconnected, this);
    }
    dbus::SlotPtr lostSlot(lost);
    if (r >= 0) {
      r = sd_bus_attach_event(bus.get(), RunLoop::current().event(), SD_EVENT_PRIORITY_NORMAL);
    }
    if (r < 0) {
      *why = std::string(std::strerror(-r)) + " at " + address;
      return r;
    }
    postSlot_ = std::move(postSlot);
    lostSlot_ = std::move(lostSlot);
    bus_ = std::move(bus);
    return 0;
  }

  void disconnect() {
    if (!bus_) return;
    sd_bus_flush(bus_.get());
    postSlot_.reset();
    lostSlot_.reset();
    sd_bus_detach_event(bus_.get());
    bus_.reset();
  }

  // Bus thread only.
  void send(const std::string& name, const Object& object, const Object& userInfo) {
    std::string why;
    if (!bus_) {
      // Dropped without a line of its own: the outage was logged when it began.
      if (connect(&why) < 0) return;
      announceReconnected();
    }
    dbus::MessagePtr m = dbus::NewPostSignal(bus_.get());
    if (!m) {
      NSLog(kCannotPostLine, name, "cannot make a signal");
      return;
    }
    if (dbus::AppendPostArguments(m.get(), name, object, userInfo) < 0) return;  // logged
    int r = sd_bus_send(bus_.get(), m.get(), nullptr);
    if (r >= 0) r = sd_bus_flush(bus_.get());
    if (r < 0) NSLog(kCannotPostLine, name, std::strerror(-r));
  }

  // Bus thread: hands a received notification to every matching observer.
  void receive(sd_bus_message* m) {
    std::optional<NSNotification> note = dbus::DecodePostSignal(m);
    if (!note) return;  // logged
    const std::size_t size = DistributedPayloadSize(*note);
    if (size > kMaxDistributedPayloadBytes) {
      if (std::uint64_t count = oversized_.note()) {
        NSLog(kOversizedLine, note->name, static_cast<unsigned long>(size),
              static_cast<unsigned long>(kMaxDistributedPayloadBytes),
              static_cast<unsigned long>(count));
      }
      return;
    }
    std::lock_guard lock(mutex_);
    for (const auto& registration : registrations_) {
      if (!registration->matches(*note)) continue;
      if (!suspended_ ||
          registration->behavior == NSNotificationSuspensionBehavior::DeliverImmediately) {
        deliver(registration, *note);
        continue;
      }
      std::deque<NSNotification>& held = registration->held;
      if (held.size() >= kMaxQueuedDistributedNotifications) {
        reportDropped();
        continue;
      }
      switch (registration->behavior) {
        case NSNotificationSuspensionBehavior::Drop:
        case NSNotificationSuspensionBehavior::DeliverImmediately:
          break;
        case NSNotificationSuspensionBehavior::Coalesce:
          std::erase_if(held, [&](const NSNotification& n) { return n.name == note->name; });
          held.push_back(*note);
          break;
        case NSNotificationSuspensionBehavior::Hold:
          held.push_back(*note);
          break;
      }
    }
  }

  // Bus thread: the daemon went away (or threw us off). The connection is dropped outside the
  // sd-bus callback that reported it, and re-opened in the background.
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

  // Queues `note` on the observer's run loop, within the budget of what may wait there.
  // Called under mutex_.
  void deliver(const std::shared_ptr<Registration>& registration, NSNotification note) {
    const std::size_t size = DistributedPayloadSize(note);
    if (!budget_->take(size)) {
      reportDropped();
      return;
    }
    auto ticket = std::make_shared<QueueTicket>(budget_, size);
    std::weak_ptr<Registration> weak = registration;
    registration->thread->perform(
        [weak, ticket, note = std::move(note)] {
          std::shared_ptr<Registration> r = weak.lock();
          if (r && !r->removed.load()) r->callback(note);
        },
        false);
  }

  void reportDropped() {
    if (std::uint64_t count = behind_.note()) {
      NSLog(kBehindLine, static_cast<unsigned long>(count));
    }
  }

  static int OnPost(sd_bus_message* m, void* userdata, sd_bus_error*) {
    static_cast<Impl*>(userdata)->receive(m);
    return 0;
  }

  static int OnDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) {
    auto* self = static_cast<Impl*>(userdata);
    RunLoop::current().perform([self] { self->connectionLost(); });
    return 0;
  }

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  // Posts handed to the bus thread and not yet sent, and the wake-up for callers waiting for
  // that number to fall under the cap.
  int queued_ = 0;
  std::condition_variable drained_;
  bool queueFullLogged_ = false;
  State state_ = State::Starting;
  bool suspended_ = false;
  std::vector<std::shared_ptr<Registration>> registrations_;
  std::shared_ptr<Thread> thread_;
  const std::shared_ptr<QueueBudget> budget_ = std::make_shared<QueueBudget>();
  LogThrottle oversized_{kDropLogInterval};
  LogThrottle behind_{kDropLogInterval};

  // Bus thread only.
  // Set while an outage has been logged and its end has not.
  bool busMissing_ = false;
  dbus::BusPtr bus_;
  dbus::SlotPtr postSlot_;
  dbus::SlotPtr lostSlot_;
  // An optional because RunLoopSource's inline default constructor cannot be instantiated here.
  std::optional<RunLoopSource> retry_;
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
  impl_->addObserver(std::move(registration));
}

void NSDistributedNotificationCenter::removeObserver(const void* observer) {
  impl_->removeObservers([&](const Registration& r) { return r.observer == observer; });
}

void NSDistributedNotificationCenter::removeObserver(const void* observer,
                                                     std::optional<std::string> name,
                                                     Object object) {
  impl_->removeObservers([&](const Registration& r) {
    return r.observer == observer && (!name || r.name == name) &&
           (object.isNil() || r.object == object);
  });
}

void NSDistributedNotificationCenter::postNotificationName(std::string_view name, Object object,
                                                           Object userInfo,
                                                           bool /*deliverImmediately*/) {
  impl_->post(std::string(name), std::move(object), std::move(userInfo));
}

void NSDistributedNotificationCenter::setSuspended(bool suspended) {
  impl_->setSuspended(suspended);
}

bool NSDistributedNotificationCenter::suspended() const {
  return impl_->suspended();
}

}  // namespace vrk
