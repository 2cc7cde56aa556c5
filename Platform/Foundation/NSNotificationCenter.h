// NSNotificationCenter: the process-local notification center.
//
// Contract:
// - Delivery is synchronous, on the posting thread, in order of registration. An observer added
//   while a post is being delivered is not called by that post.
// - Every call is safe from any thread, including from inside an observer: the center holds no
//   lock while it calls an observer, so an observer may post, add or remove.
// - Removal: an observer removed while a post is being delivered (by itself, by another observer
//   or by another thread) is not called by the rest of it. Once removeObserver returns, no new
//   call of the removed registration starts; a call that another thread has already begun may
//   still be running and finish.
// - Callbacks and objects are copied in; the center owns its copies until removal. An observer's
//   callback may be called from several threads at once when several threads post.
// - defaultCenter() belongs to the process and lives until it exits. Nothing here throws
//   except std::bad_alloc.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Foundation/Object.h"

namespace vrk {

struct NSNotification {
  std::string name;
  Object object;    // nil when none
  Object userInfo;  // a dictionary, or nil
  // "NSConcreteNotification 0x..., name = N, object = O, userInfo = {...}"
  std::string description() const;
};

using NotificationCallback = std::function<void(const NSNotification&)>;

class NSNotificationCenter {
 public:
  static NSNotificationCenter& defaultCenter();

  // A center of its own, apart from the default one (for tests).
  NSNotificationCenter();
  ~NSNotificationCenter();
  NSNotificationCenter(const NSNotificationCenter&) = delete;
  NSNotificationCenter& operator=(const NSNotificationCenter&) = delete;

  // addObserver:selector:name:object:. `observer` is the identity used for removal (like self);
  // one observer may register several times. name nullopt = every name; object nil = any
  // object (objects match with operator==).
  void addObserver(const void* observer, NotificationCallback callback,
                   std::optional<std::string> name, Object object = {});
  // Every registration of `observer`.
  void removeObserver(const void* observer);
  // The registrations of `observer` made with this name (nullopt: any name) and this object
  // (nil: any object). A registration made for every name is removed only by a call for every
  // name, as with Foundation.
  void removeObserver(const void* observer, std::optional<std::string> name, Object object = {});
  void postNotificationName(std::string_view name, Object object = {}, Object userInfo = {});

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vrk
