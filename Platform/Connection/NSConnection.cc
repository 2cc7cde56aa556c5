// NSConnection on the session bus: a watching thread that follows the owners of the names that
// connections were made to, a thread that posts their deaths, and the vending side, a bus
// connection of its own on the run loop of the thread that vends.
#include "Platform/Connection/NSConnection.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "Platform/Connection/DistantObjectWire.h"
#include "Platform/Foundation/DBusMessageArguments.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSNotificationCenter.h"
#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/SessionBus.h"

namespace vrk {

namespace {

constexpr char kBusName[] = "org.freedesktop.DBus";
constexpr char kBusPath[] = "/org/freedesktop/DBus";

struct ErrorFree {
  void operator()(sd_bus_error* e) const { sd_bus_error_free(e); }
};

// The unique name that owns `name` now, or "" when it has no owner or the bus cannot tell.
std::string GetNameOwner(sd_bus* bus, const std::string& name) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  std::unique_ptr<sd_bus_error, ErrorFree> errorOwner(&error);
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus, kBusName, kBusPath, kBusName, "GetNameOwner", &error, &reply, "s",
                             name.c_str());
  dbus::MessagePtr replyOwner(reply);
  if (r < 0) {
    if (!dbus::IsNoOwnerError(&error)) {
      NSLog("NSConnection: cannot ask for the owner of %s: %s", name,
            error.message ? error.message : std::strerror(-r));
    }
    return {};
  }
  const char* owner = nullptr;
  if (sd_bus_message_read(reply, "s", &owner) < 0 || owner == nullptr) return {};
  return owner;
}

bool LocalHost(const std::optional<std::string>& host, const std::string& name) {
  if (!host) return true;
  NSLog("NSConnection: only the local host is served; no connection to %s on %s", name, *host);
  return false;
}

// Follows the owners of the names that connections were made to. Never destroyed: its threads
// are stopped by an exit handler instead, as other static destructors may still use it.
class Watcher final {
 public:
  static Watcher& shared() {
    static Watcher* watcher = [] {
      auto* w = new Watcher();
      w->start();
      std::atexit([] { shared().stop(); });
      return w;
    }();
    return *watcher;
  }

  std::shared_ptr<NSConnection> lookup(const std::string& name) {
    if (!running_) return nullptr;
    std::shared_ptr<NSConnection> result;
    // On the watching thread, so that a death reported after the owner's answer is handled after
    // the connection is known here.
    watch_->perform([&] { result = lookupOnWatchThread(name); }, true);
    return result;
  }

  // The owner of a valid connection to `name`, or "".
  std::string liveOwner(const std::string& name) {
    std::lock_guard lock(mutex_);
    for (const auto& weak : connections_) {
      auto c = weak.lock();
      if (c && c->isValid() && c->registeredName() == name) return c->owner();
    }
    return {};
  }

  std::shared_ptr<NSConnection> find(const void* address) {
    std::lock_guard lock(mutex_);
    for (const auto& weak : connections_) {
      auto c = weak.lock();
      if (c && c.get() == address) return c;
    }
    return nullptr;
  }

 private:
  void start() {
    notifier_ = Thread::create([] { RunLoop::current().run(); }, "NSConnection");
    notifier_->start();
    watch_ = Thread::create([this] { serve(); }, "NSConnection watch");
    watch_->start();
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return started_; });
  }

  void stop() {
    if (running_) {
      watch_->perform([] { RunLoop::current().stop(); }, false);
      watch_->join();
    }
    notifier_->perform([] { RunLoop::current().stop(); }, false);
    notifier_->join();
  }

  void serve() {
    const bool connected = connect();
    {
      std::lock_guard lock(mutex_);
      running_ = connected;
      started_ = true;
    }
    ready_.notify_all();
    if (!connected) return;
    RunLoop::current().run();
    slot_.reset();
    sd_bus_detach_event(bus_.get());
    bus_.reset();
  }

  bool connect() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') {
      NSLog("NSConnection: no session bus (DBUS_SESSION_BUS_ADDRESS is not set)");
      return false;
    }
    dbus::BusPtr bus;
    int r = dbus::OpenSessionBus(&bus);
    sd_bus_slot* slot = nullptr;
    // Synchronous, so that no death after start() can be missed.
    if (r >= 0) {
      r = sd_bus_match_signal(bus.get(), &slot, kBusName, kBusPath, kBusName, "NameOwnerChanged",
                              &Watcher::OnNameOwnerChanged, this);
    }
    dbus::SlotPtr slotOwner(slot);
    if (r >= 0) {
      r = sd_bus_attach_event(bus.get(), RunLoop::current().event(), SD_EVENT_PRIORITY_NORMAL);
    }
    if (r < 0) {
      NSLog("NSConnection: cannot watch the session bus: %s", std::strerror(-r));
      return false;
    }
    bus_ = std::move(bus);
    slot_ = std::move(slotOwner);
    return true;
  }

  std::shared_ptr<NSConnection> lookupOnWatchThread(const std::string& name) {
    if (!bus_) return nullptr;
    std::string owner = GetNameOwner(bus_.get(), name);
    if (owner.empty()) return nullptr;
    std::lock_guard lock(mutex_);
    std::erase_if(connections_, [](const std::weak_ptr<NSConnection>& w) { return w.expired(); });
    for (const auto& weak : connections_) {
      auto c = weak.lock();
      if (c && c->isValid() && c->registeredName() == name && c->owner() == owner) return c;
    }
    auto connection = std::make_shared<NSConnection>(name, owner);
    connections_.push_back(connection);
    return connection;
  }

  static int OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0 || name == nullptr ||
        oldOwner == nullptr || *oldOwner == '\0') {
      return 0;
    }
    static_cast<Watcher*>(userdata)->ownerLeft(name, oldOwner);
    return 0;
  }

  void ownerLeft(const std::string& name, const std::string& oldOwner) {
    std::vector<std::shared_ptr<NSConnection>> dead;
    {
      std::lock_guard lock(mutex_);
      for (const auto& weak : connections_) {
        auto c = weak.lock();
        if (c && c->registeredName() == name && c->owner() == oldOwner && c->isValid()) {
          c->invalidate();
          dead.push_back(std::move(c));
        }
      }
    }
    for (auto& connection : dead) {
      // The post holds the connection, so its address stays good while observers look it up.
      notifier_->perform(
          [connection] {
            NSNotificationCenter::defaultCenter().postNotificationName(
                NSConnectionDidDieNotification, Object::valueWithPointer(connection.get()));
          },
          false);
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  bool started_ = false;
  bool running_ = false;
  std::vector<std::weak_ptr<NSConnection>> connections_;
  std::shared_ptr<Thread> watch_;
  std::shared_ptr<Thread> notifier_;
  // Watching thread only.
  dbus::BusPtr bus_;
  dbus::SlotPtr slot_;
};

}  // namespace

std::shared_ptr<NSConnection> NSConnection::connectionWithRegisteredName(
    const std::string& name, const std::optional<std::string>& host) {
  if (!LocalHost(host, name)) return nullptr;
  return Watcher::shared().lookup(name);
}

std::shared_ptr<NSDistantObject> NSConnection::rootProxyForConnectionWithRegisteredName(
    const std::string& name, const std::optional<std::string>& host) {
  if (!LocalHost(host, name)) return nullptr;
  std::string owner = Watcher::shared().liveOwner(name);
  if (owner.empty()) {
    sd_bus* bus = dbus::ThreadSessionBus();
    if (bus == nullptr) return nullptr;
    owner = GetNameOwner(bus, name);
  }
  if (owner.empty()) return nullptr;
  return std::make_shared<NSDistantObject>(name, std::move(owner));
}

std::shared_ptr<NSConnection> NSConnection::connectionForNotificationObject(const Object& object) {
  if (!object.isPointer()) return nullptr;
  return Watcher::shared().find(object.pointerValue());
}

std::string NSConnection::description() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "<NSConnection: %p>", static_cast<const void*>(this));
  return std::string(buf) + "{name = " + name_ + ", owner = " + owner_ +
         (isValid() ? "}" : ", invalid}");
}

bool NSDistantObject::sendMessage(std::string_view selector,
                                  std::span<const Object> arguments) const {
  const std::string member = distantobjects::MemberForSelector(selector);
  auto failed = [&](const std::string& why) {
    NSLog("NSConnection: %s to %s failed: %s", selector, name_, why);
    return false;
  };
  if (member.empty()) return failed("not a selector");
  sd_bus* bus = dbus::ThreadSessionBus();
  if (bus == nullptr) return failed("no session bus");
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, owner_.c_str(), distantobjects::kRootObjectPath,
                                         distantobjects::kInterface, member.c_str());
  dbus::MessagePtr call(raw);
  if (r < 0) return failed(std::strerror(-r));
  std::string why;
  if (dbus::AppendMessageArguments(call.get(), arguments, &why) < 0) return failed(why);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  std::unique_ptr<sd_bus_error, ErrorFree> errorOwner(&error);
  sd_bus_message* reply = nullptr;
  r = sd_bus_call(bus, call.get(), 0, &error, &reply);
  dbus::MessagePtr replyOwner(reply);
  if (r < 0) return failed(error.message ? error.message : std::strerror(-r));
  return true;
}

// A vending connection's bus, object and name; used on the serving thread only.
class NSConnection::Vending final {
 public:
  explicit Vending(std::shared_ptr<NSVendedObject> root) : root_(std::move(root)) {}
  ~Vending() { close(); }

  void setConnection(NSConnection* connection) { connection_ = connection; }

  // Connects, vends the root object, takes the name and attaches to the calling thread's run
  // loop; 0 or a negative errno value. The unique name is in `unique`.
  int open(const std::string& name, std::string* unique) {
    int r = dbus::OpenSessionBus(&bus_);
    sd_bus_slot* object = nullptr;
    if (r >= 0) {
      r = sd_bus_add_object(bus_.get(), &object, distantobjects::kRootObjectPath, &Vending::OnCall,
                            this);
    }
    object_.reset(object);
    if (r >= 0) r = dbus::MatchDisconnected(bus_.get(), &lost_, &Vending::OnLost, this);
    if (r >= 0) r = sd_bus_request_name(bus_.get(), name.c_str(), 0);
    const char* me = nullptr;
    if (r >= 0) r = sd_bus_get_unique_name(bus_.get(), &me);
    if (r >= 0) {
      r = sd_bus_attach_event(bus_.get(), RunLoop::current().event(), SD_EVENT_PRIORITY_NORMAL);
    }
    if (r < 0) {
      close();
      return r;
    }
    *unique = me;
    return 0;
  }

  void close() {
    object_.reset();
    lost_.reset();
    if (bus_) {
      sd_bus_detach_event(bus_.get());
      bus_.reset();  // closing the connection releases the name
    }
  }

 private:
  static int OnCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
    if (sd_bus_message_is_method_call(m, distantobjects::kInterface, nullptr) <= 0) return 0;
    return static_cast<Vending*>(userdata)->handle(m);
  }

  static int OnLost(sd_bus_message*, void* userdata, sd_bus_error*) {
    auto* self = static_cast<Vending*>(userdata);
    if (self->connection_ != nullptr) self->connection_->valid_.store(false);
    self->root_->connectionDidLoseBus(std::strerror(ECONNRESET));
    return 0;
  }

  int handle(sd_bus_message* m) {
    NSVendedMessage message;
    message.member = sd_bus_message_get_member(m);
    message.selector = distantobjects::SelectorForMember(message.member);
    if (std::optional<std::size_t> weight = dbus::WeighMessageArguments(m)) {
      if (auto refusal = root_->shouldDecodeMessage(message, *weight)) return refuse(m, *refusal);
    }
    std::string why;
    auto arguments = dbus::ReadMessageArguments(m, &why);
    if (!arguments) {
      root_->messageCouldNotBeDecoded(message, why);
      return refuse(m, {NSVendedRefusal::Kind::InvalidArguments, why});
    }
    if (auto refusal = root_->handleMessage(message, *arguments)) return refuse(m, *refusal);
    return sd_bus_reply_method_return(m, "");
  }

  static int refuse(sd_bus_message* m, const NSVendedRefusal& refusal) {
    const char* error = SD_BUS_ERROR_INVALID_ARGS;
    if (refusal.kind == NSVendedRefusal::Kind::LimitsExceeded) error = SD_BUS_ERROR_LIMITS_EXCEEDED;
    if (refusal.kind == NSVendedRefusal::Kind::UnknownSelector) error = SD_BUS_ERROR_UNKNOWN_METHOD;
    return sd_bus_reply_method_errorf(m, error, "%s", refusal.reason.c_str());
  }

  NSConnection* connection_ = nullptr;
  const std::shared_ptr<NSVendedObject> root_;
  dbus::BusPtr bus_;
  dbus::SlotPtr object_;
  dbus::SlotPtr lost_;
};

NSConnection::NSConnection(std::string name, std::string owner)
    : name_(std::move(name)), owner_(std::move(owner)) {}

NSConnection::~NSConnection() = default;

void NSConnection::invalidate() {
  valid_.store(false);
  if (vending_) vending_->close();
}

std::shared_ptr<NSConnection> NSConnection::serviceConnectionWithName(
    const std::string& name, std::shared_ptr<NSVendedObject> rootObject, std::string* error) {
  auto vending = std::make_unique<Vending>(std::move(rootObject));
  std::string unique;
  if (int r = vending->open(name, &unique); r < 0) {
    if (error != nullptr) *error = std::strerror(-r);
    return nullptr;
  }
  // Nothing is served before the calling thread's run loop runs again, so the connection is
  // known to its bus before the first message.
  auto connection = std::make_shared<NSConnection>(name, std::move(unique));
  vending->setConnection(connection.get());
  connection->vending_ = std::move(vending);
  return connection;
}

std::string NSDistantObject::description() const {
  return "<NSDistantObject: " + name_ + " at " + owner_ + ">";
}

}  // namespace vrk
