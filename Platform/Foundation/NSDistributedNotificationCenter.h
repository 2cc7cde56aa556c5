// NSDistributedNotificationCenter: notifications between processes of the same session, carried
// as D-Bus signals on the session bus.
//
// Wire: signal `Post` of interface `org.vrk.DistributedNotificationCenter` on path
// `/org/vrk/DistributedNotificationCenter`, arguments (s name, av object, aa{sv} userInfo), where
// object and userInfo hold no element for nil and one element otherwise (DBusCodec.h has the
// value mapping). Posts that leave together travel as one signal `Posts` of the same interface,
// an array of such (s, av, aa{sv}) in post order; a lone post is always a `Post`. Every process
// that observes receives its own posts too.
//
// Contract:
// - defaultCenter() belongs to the platform and is never destroyed. The first call connects to
//   the session bus named by DBUS_SESSION_BUS_ADDRESS and starts one private thread that serves
//   the connection; at process exit that thread sends what was posted, then stops and closes the
//   connection. A session bus that is not there at the first call, or that goes away later, is
//   logged once and tried again in the background (at most a second apart) until it is back,
//   which is logged once too; posts made meanwhile are dropped.
// - Memory is bounded whatever other processes send: a notification whose payload exceeds
//   kMaxDistributedPayloadBytes is refused (sent or received; a received one is weighed in the
//   message and refused before it is decoded, so it costs no more than the signal itself), and at
//   most kMaxQueuedDistributedNotifications (or kMaxQueuedDistributedBytes) received notifications
//   wait for observers' run loops. Beyond that the center stops reading from the bus (the bus
//   daemon keeps what comes) until the observers have drained half of it, so a slow observer
//   loses nothing. When they make no room for 5 seconds, what waits is dropped, with one log
//   line per burst, and reading goes on; until they drain, what finds no room is dropped at
//   once, so a stuck observer holds the others up only that once.
// - Observers are called on the run loop of the thread that registered them (that thread must
//   run its run loop), never on the caller's stack. A registration removed before a pending
//   delivery runs is not called. The center copies the callback; it never owns `observer`,
//   which is only a key for removal.
// - postNotificationName queues the signal for the bus thread and returns without waiting for
//   it (unless 4096 posts are still waiting, then for at most a few seconds). A lone post (after
//   a pause, or one reply answering another) leaves at once; posts that stream wait at most half
//   a millisecond for others to gather with them into one signal. Posts leave in the order they
//   were made, and each observing thread receives them in that order, so a post made after a
//   settings synchronize reaches observers after the settings did. A post that cannot be sent
//   (pointer values, invalid UTF-8, nesting beyond 64 levels, no bus) is logged and dropped;
//   nothing is reported to the caller, as on the platform. `deliverImmediately` cannot cross the
//   signal, so the receiving observer's suspension behaviour alone decides.
// - Every member function is thread-safe, and may be called from inside an observer.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Foundation/NSNotificationCenter.h"
#include "Platform/Foundation/Object.h"

namespace vrk {

// The system's own payloads are a path and a few numbers; this is far above any of them.
inline constexpr std::size_t kMaxDistributedPayloadBytes = 64 * 1024;
inline constexpr std::size_t kMaxQueuedDistributedNotifications = 4096;
inline constexpr std::size_t kMaxQueuedDistributedBytes = 8 * 1024 * 1024;

// The bytes a notification's name, object and userInfo take, roughly as they are held.
std::size_t DistributedPayloadSize(const NSNotification& note);

// For tests: the waits of the center that a test would otherwise sleep past. The gathering
// window is how long streaming posts wait for others to join them in one signal; the
// stuck-observer wait is how long reading from the bus pauses for observers that make no room
// before what waits for them is dropped. A change applies to the next wait that starts.
struct DistributedCenterTimings {
  std::chrono::microseconds gatherWindow;
  std::chrono::milliseconds observerStuckWait;
};
// The product's values.
DistributedCenterTimings DistributedCenterDefaultTimings();
void SetDistributedCenterTimingsForTesting(const DistributedCenterTimings& timings);

enum class NSNotificationSuspensionBehavior {
  Drop = 1,                // dropped while suspended
  Coalesce = 2,            // only the last one of each name is kept while suspended
  Hold = 3,                // all are kept while suspended, delivered in order on resume
  DeliverImmediately = 4,  // delivered even while suspended
};

class NSDistributedNotificationCenter {
 public:
  static NSDistributedNotificationCenter& defaultCenter();

  // addObserver:selector:name:object:suspensionBehavior:. The callback runs on the run loop of
  // the calling thread. name nullopt = all names; object nil = any object.
  void addObserver(const void* observer, NotificationCallback callback,
                   std::optional<std::string> name, Object object,
                   NSNotificationSuspensionBehavior behavior);
  // removeObserver: every registration of `observer`.
  void removeObserver(const void* observer);
  // removeObserver:name:object:: the registrations of `observer` for exactly this name (all of
  // them for nullopt) and exactly this object (all of them for nil).
  void removeObserver(const void* observer, std::optional<std::string> name, Object object = {});

  // postNotificationName:object:userInfo:deliverImmediately:. userInfo is nil or a dictionary.
  void postNotificationName(std::string_view name, Object object, Object userInfo,
                            bool deliverImmediately);

  // setSuspended:: while suspended, notifications for this process follow each observer's
  // suspension behaviour; resuming delivers what was kept.
  void setSuspended(bool suspended);
  bool suspended() const;

  NSDistributedNotificationCenter(const NSDistributedNotificationCenter&) = delete;
  NSDistributedNotificationCenter& operator=(const NSDistributedNotificationCenter&) = delete;

  class Impl;

 private:
  NSDistributedNotificationCenter();
  ~NSDistributedNotificationCenter();
  std::unique_ptr<Impl> impl_;
};

}  // namespace vrk
