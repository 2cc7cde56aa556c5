// NSConnection and NSDistantObject: Distributed Objects on the session bus. A connection is a
// well-known bus name and the process that owns it; its death is the name losing that owner
// (DistantObjectWire.h has the wire).
//
// Contract:
// - connectionWithRegisteredName(name, host) returns the connection to the current owner of
//   `name`, or null when the name has no owner, the bus cannot be reached, or `host` is not nil
//   (only the local machine is served; logged). Asked again while that owner lives, it returns
//   the same connection object. The layer keeps connections only weakly; callers own them.
// - isValid() is true until the owner of the name goes away (or releases the name) or
//   invalidate() is called. invalidate() posts nothing. isEqual() compares the registered name
//   and the owner the connection was made for.
// - When the owner of a valid connection's name goes away, the layer marks the connection
//   invalid and posts NSConnectionDidDieNotification on NSNotificationCenter::defaultCenter()
//   with the connection as its object (Object::valueWithPointer of the NSConnection; turn it
//   back with connectionForNotificationObject). These posts are made on one private thread of
//   the layer ("NSConnection"), one at a time and in the order the bus reported the deaths, so an
//   observer may make blocking calls (to the bus as well) but runs apart from the caller's
//   threads. Deaths are watched from the first connection on; the watching thread and that
//   private thread stop at process exit.
// - rootProxyForConnectionWithRegisteredName(name, host) returns a proxy for the root object
//   vended by the current owner of `name`, or null when it has no owner (or `host` is not nil,
//   logged). While a valid connection to that name exists no bus traffic is needed to make it.
// - NSDistantObject::sendMessage sends one message and waits for its answer with the bus's
//   default time-out, on the calling thread's own bus connection. A message that cannot be sent,
//   is refused or times out is logged (one line per message) and reported by a false result;
//   nothing is thrown into the caller.
// - Every function may be called from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Platform/Foundation/Object.h"

namespace vrk {

inline constexpr char NSConnectionDidDieNotification[] = "NSConnectionDidDieNotification";

class NSDistantObject;

class NSConnection final {
 public:
  static std::shared_ptr<NSConnection> connectionWithRegisteredName(
      const std::string& name, const std::optional<std::string>& host);
  static std::shared_ptr<NSDistantObject> rootProxyForConnectionWithRegisteredName(
      const std::string& name, const std::optional<std::string>& host);
  // The live connection that `object` (a NSConnectionDidDieNotification's object) stands for;
  // null for any other object.
  static std::shared_ptr<NSConnection> connectionForNotificationObject(const Object& object);

  bool isValid() const { return valid_.load(); }
  void invalidate() { valid_.store(false); }
  bool isEqual(const NSConnection& other) const {
    return name_ == other.name_ && owner_ == other.owner_;
  }

  const std::string& registeredName() const { return name_; }
  // The unique bus name of the owner the connection was made for.
  const std::string& owner() const { return owner_; }
  std::string description() const;

  NSConnection(std::string name, std::string owner)
      : name_(std::move(name)), owner_(std::move(owner)) {}
  NSConnection(const NSConnection&) = delete;
  NSConnection& operator=(const NSConnection&) = delete;

 private:
  const std::string name_;
  const std::string owner_;
  std::atomic<bool> valid_{true};
};

class NSDistantObject final {
 public:
  NSDistantObject(std::string name, std::string owner)
      : name_(std::move(name)), owner_(std::move(owner)) {}

  // Sends `selector` ("setIconType:toPath:") with its arguments (nil allowed) and waits for the
  // answer. True when the remote object handled it.
  bool sendMessage(std::string_view selector, std::span<const Object> arguments) const;

  const std::string& owner() const { return owner_; }
  std::string description() const;

 private:
  const std::string name_;
  const std::string owner_;
};

}  // namespace vrk
