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
// - Every function may be called from any thread, except as said below for a vending connection.
//
// The vending side:
// - serviceConnectionWithName(name, rootObject, error) opens a bus connection of its own,
//   vends `rootObject` at DistantObjectWire.h's path and takes `name`, which must have no owner
//   (it is not queued for). It serves on the run loop of the calling thread, which must run it.
//   Null, with the reason in `error`, when the bus cannot be reached or the name is taken.
// - A message to the root object reaches it on that thread in three steps, so that a caller's
//   arguments cost nothing before the object has agreed to their size: shouldDecodeMessage with
//   the weight of the encoded arguments, measured in place (when they can be weighed);
//   messageCouldNotBeDecoded when they cannot be read (the caller gets InvalidArgs); then
//   handleMessage with the decoded arguments. A refusal from either answers the caller with its
//   kind as the bus error and its reason as the message; otherwise the caller gets an empty
//   reply. The selector given is the bus member with every '_' read as ':', so a vended
//   object's selectors carry no '_' of their own.
// - connectionDidLoseBus is called once when the bus connection is lost; the connection is then
//   invalid. invalidate() of a vending connection, and its destruction, must happen on the
//   serving thread: they stop serving and release the name.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Platform/Foundation/Object.h"

namespace vrk {

inline constexpr char NSConnectionDidDieNotification[] = "NSConnectionDidDieNotification";

class NSDistantObject;

// A message that reached a vended object.
struct NSVendedMessage {
  std::string selector;  // "setIconType:toPath:"
  std::string member;    // as it travelled on the bus ("setIconType_toPath_"), for log lines
};

// Why a vended object does not take a message; the caller gets it as its error.
struct NSVendedRefusal {
  enum class Kind { InvalidArguments, LimitsExceeded, UnknownSelector };
  Kind kind;
  std::string reason;
};

// The root object of a vending connection. Called on the serving thread only.
class NSVendedObject {
 public:
  virtual ~NSVendedObject() = default;
  // Before the arguments are decoded: their weight as DistributedPayloadSize would count them.
  virtual std::optional<NSVendedRefusal> shouldDecodeMessage(const NSVendedMessage& message,
                                                             std::size_t argumentBytes) {
    (void)message;
    (void)argumentBytes;
    return std::nullopt;
  }
  // The arguments could not be read; the caller is refused with InvalidArguments and `why`.
  virtual void messageCouldNotBeDecoded(const NSVendedMessage& message, const std::string& why) {
    (void)message;
    (void)why;
  }
  virtual std::optional<NSVendedRefusal> handleMessage(const NSVendedMessage& message,
                                                       std::span<const Object> arguments) = 0;
  virtual void connectionDidLoseBus(const std::string& why) { (void)why; }
};

class NSConnection final {
 public:
  static std::shared_ptr<NSConnection> connectionWithRegisteredName(
      const std::string& name, const std::optional<std::string>& host);
  static std::shared_ptr<NSDistantObject> rootProxyForConnectionWithRegisteredName(
      const std::string& name, const std::optional<std::string>& host);
  // The live connection that `object` (a NSConnectionDidDieNotification's object) stands for;
  // null for any other object.
  static std::shared_ptr<NSConnection> connectionForNotificationObject(const Object& object);
  // +serviceConnectionWithName:rootObject:. Serves on the calling thread's run loop.
  static std::shared_ptr<NSConnection> serviceConnectionWithName(
      const std::string& name, std::shared_ptr<NSVendedObject> rootObject, std::string* error);

  bool isValid() const { return valid_.load(); }
  void invalidate();
  bool isEqual(const NSConnection& other) const {
    return name_ == other.name_ && owner_ == other.owner_;
  }

  const std::string& registeredName() const { return name_; }
  // The unique bus name of the owner the connection was made for.
  const std::string& owner() const { return owner_; }
  std::string description() const;

  NSConnection(std::string name, std::string owner);
  ~NSConnection();
  NSConnection(const NSConnection&) = delete;
  NSConnection& operator=(const NSConnection&) = delete;

  class Vending;

 private:
  const std::string name_;
  const std::string owner_;
  std::atomic<bool> valid_{true};
  std::unique_ptr<Vending> vending_;  // a vending connection's bus, serving thread only
};

class NSDistantObject final {
 public:
  NSDistantObject(std::string name, std::string owner)
      : name_(std::move(name)), owner_(std::move(owner)) {}

  // Sends `selector` ("setIconType:toPath:") with its arguments (nil allowed) and waits for the
  // answer. True when the remote object handled it.
  [[nodiscard]] bool sendMessage(std::string_view selector,
                                 std::span<const Object> arguments) const;

  const std::string& owner() const { return owner_; }
  std::string description() const;

 private:
  const std::string name_;
  const std::string owner_;
};

}  // namespace vrk
