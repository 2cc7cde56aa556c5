// The argument layout of the signals that carry distributed notifications, Post and Posts: a
// private helper of NSDistributedNotificationCenter, written and read with the value codec
// (DBusCodec.h), whose contract holds for every value they carry.
#pragma once

#include <systemd/sd-bus.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/DBusCodec.h"
#include "Platform/Foundation/NSNotificationCenter.h"
#include "Platform/Foundation/Object.h"

namespace vrk::dbus {

// A new, empty Post signal on `bus`; null on failure.
MessagePtr NewPostSignal(sd_bus* bus);

// The signal that carries a distributed notification.
inline constexpr char kPostPath[] = "/org/vrk/DistributedNotificationCenter";
inline constexpr char kPostInterface[] = "org.vrk.DistributedNotificationCenter";
inline constexpr char kPostMember[] = "Post";
inline constexpr char kPostSignature[] = "savaa{sv}";

// Appends the arguments (s name, av object, aa{sv} userInfo) of a Post signal. A nil object or
// userInfo is sent as an empty array, any other value as a one-element array. userInfo must be
// nil or a dictionary. Returns 0 or a negative errno value (logged).
int AppendPostArguments(sd_bus_message* m, std::string_view name, const Object& object,
                        const Object& userInfo);

// Several notifications that left one sender together, in one signal, in the order they were
// posted: an array of (s name, av object, aa{sv} userInfo), each element laid out as the
// arguments of a Post signal. A sender uses it only for two or more notifications; a lone one
// still goes as Post. A receiver that knows only Post subscribes to that member alone, so it
// never sees a Posts signal and cannot take one for a Post.
inline constexpr char kPostsMember[] = "Posts";
inline constexpr char kPostsSignature[] = "a(savaa{sv})";
// The most notifications one Posts signal may carry; a receiver drops a signal with more.
inline constexpr std::size_t kMaxPostsPerSignal = 1024;
// The array and the structure around each element cost two levels of nesting, so an element
// has two fewer for its values than the same notification sent as a Post.
inline constexpr int kPostsElementDepth = 2;

// A new, empty Posts signal on `bus`; null on failure.
MessagePtr NewPostsSignal(sd_bus* bus);

// Appends the array of a Posts signal holding `posts`. Returns 0, or a negative errno value
// with the index of the first notification that could not be appended in `failedAt` (logged as
// a refused post); the message is then unusable, and the caller may build a new one without it.
int AppendPostsArguments(sd_bus_message* m, std::span<const NSNotification> posts,
                         std::size_t* failedAt);

// Decodes a Posts signal into the notifications it carries, in order. A message that is not a
// Posts signal of the center's interface, whose signature is not `a(savaa{sv})`, that holds
// more than kMaxPostsPerSignal elements, or any element that DecodePostSignal would refuse, is
// dropped whole: nullopt, with one log line. Left-out values are logged as for Post.
[[nodiscard]] std::optional<std::vector<NSNotification>> DecodePostsSignal(sd_bus_message* m);

// Decodes a Post or a Posts signal, whichever `m` is, into the notifications it carries, in
// order: the one handler a receiver of both members needs. Refused as the two above refuse.
[[nodiscard]] std::optional<std::vector<NSNotification>> DecodeCenterSignal(sd_bus_message* m);

// A notification that a receiver refused unread: its name (cut when very long) and the payload
// size it would have had once decoded (as DistributedPayloadSize counts it).
struct RefusedNotification {
  std::string name;
  std::size_t size;
};

// As DecodeCenterSignal above, for a receiver that caps what one notification may weigh: each
// notification is weighed first, reading the message in place and building no value, and one
// whose payload is over `maxPayload` is not decoded but appended to `refused` (the caller logs
// it); the others are decoded as above. So a signal far over the cap costs about its own size in
// memory, never a copy. Values that decoding leaves out are not counted. A Post refused so gives
// an empty vector; a Posts signal gives the notifications it carries that fit.
[[nodiscard]] std::optional<std::vector<NSNotification>> DecodeCenterSignal(
    sd_bus_message* m, std::size_t maxPayload, std::vector<RefusedNotification>* refused);

// Decodes a Post signal into the notification it carries. A message that is not a Post signal
// of the center's interface, whose signature is not `savaa{sv}`, whose arrays hold more than one
// element, or that holds invalid UTF-8 or nesting deeper than kMaxNesting is dropped: nullopt,
// with one log line. Values that no Object holds are left out, with one log line per signal
// naming the first few. The message is rewound first, so it may be decoded at any read position.
[[nodiscard]] std::optional<NSNotification> DecodePostSignal(sd_bus_message* m);

}  // namespace vrk::dbus
