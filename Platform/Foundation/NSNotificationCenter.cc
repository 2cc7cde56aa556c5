#include "Platform/Foundation/NSNotificationCenter.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

namespace vrk {

namespace {

struct Registration {
  const void* observer;
  NotificationCallback callback;
  std::optional<std::string> name;
  Object object;
  // Set under the center's lock when the registration is removed; read by posts that took
  // their snapshot before the removal.
  std::atomic<bool> removed{false};

  bool matches(std::string_view postedName, const Object& postedObject) const {
    return (!name || *name == postedName) && (object.isNil() || object == postedObject);
  }
};

using Registrations = std::vector<std::shared_ptr<Registration>>;

}  // namespace

// The list is copied on write and shared by readers: a post takes the current list under the
// lock and walks it without the lock, so an observer can change the list while being called.
struct NSNotificationCenter::Impl {
  std::mutex mutex;
  std::shared_ptr<const Registrations> registrations = std::make_shared<const Registrations>();

  std::shared_ptr<const Registrations> snapshot() {
    std::lock_guard lock(mutex);
    return registrations;
  }

  template <typename Predicate>
  void removeWhere(Predicate shouldRemove) {
    std::lock_guard lock(mutex);
    auto kept = std::make_shared<Registrations>();
    kept->reserve(registrations->size());
    for (const auto& registration : *registrations) {
      if (shouldRemove(*registration)) {
        registration->removed.store(true);
      } else {
        kept->push_back(registration);
      }
    }
    if (kept->size() != registrations->size()) registrations = std::move(kept);
  }
};

std::string NSNotification::description() const {
  char address[40];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  return std::string("NSConcreteNotification ") + address + ", name = " + name +
         ", object = " + object.description() + ", userInfo = " + userInfo.description();
}

NSNotificationCenter& NSNotificationCenter::defaultCenter() {
  // Never destroyed: threads may still post while the process exits.
  static auto* center = new NSNotificationCenter();
  return *center;
}

NSNotificationCenter::NSNotificationCenter() : impl_(std::make_unique<Impl>()) {}
NSNotificationCenter::~NSNotificationCenter() = default;

void NSNotificationCenter::addObserver(const void* observer, NotificationCallback callback,
                                       std::optional<std::string> name, Object object) {
  if (!callback) return;
  auto registration = std::make_shared<Registration>();
  registration->observer = observer;
  registration->callback = std::move(callback);
  registration->name = std::move(name);
  registration->object = std::move(object);

  std::lock_guard lock(impl_->mutex);
  auto grown = std::make_shared<Registrations>();
  grown->reserve(impl_->registrations->size() + 1);
  *grown = *impl_->registrations;
  grown->push_back(std::move(registration));
  impl_->registrations = std::move(grown);
}

void NSNotificationCenter::removeObserver(const void* observer) {
  impl_->removeWhere([&](const Registration& r) { return r.observer == observer; });
}

void NSNotificationCenter::removeObserver(const void* observer, std::optional<std::string> name,
                                          Object object) {
  impl_->removeWhere([&](const Registration& r) {
    return r.observer == observer && (!name || r.name == name) &&
           (object.isNil() || r.object == object);
  });
}

void NSNotificationCenter::postNotificationName(std::string_view name, Object object,
                                                Object userInfo) {
  const auto registrations = impl_->snapshot();
  const NSNotification notification{std::string(name), std::move(object), std::move(userInfo)};
  for (const auto& registration : *registrations) {
    if (!registration->matches(notification.name, notification.object)) continue;
    // Checked as late as possible: an earlier observer of this very post may have removed it.
    if (registration->removed.load()) continue;
    registration->callback(notification);
  }
}

}  // namespace vrk
