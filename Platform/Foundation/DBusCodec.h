// Object <-> D-Bus value codec and the argument layout of the distributed notification signal.
// A private helper of NSDistributedNotificationCenter; kept apart from the bus I/O so that a
// fuzzer and tests can build and decode messages without a running bus.
//
// Contract:
// - Values map as: string `s`, number `x` (an Int32 number too: the signal's layout lists
//   integers as `x`), BOOL number `b`, array `av`, dictionary `a{sv}`, data `ay`, each wrapped
//   in a variant. On reading, what other programs send is taken as far as an Object can hold
//   it: `y`, `n`, `q`, `i` give an Int32 number, `u`, `x`, `t` an Int64 number, `s`, `o`, `g`
//   a string, a variant inside a variant the value it holds, an array of any element type an
//   array (`ay` data), an array of entries with `s`, `o` or `g` keys (`a{ss}`, `a{sv}`, ...) a
//   dictionary. A value that no Object holds (`d`, `h`, a structure, a `t` beyond the Int64
//   range, a dictionary with other keys, a container of only such values) costs only itself:
//   a dictionary loses that entry, an array that element, and an object argument reads as nil.
//   Pointer values cannot cross a process boundary, and D-Bus has no nil inside a
//   collection: such values are left out with a log line (a pointer object is sent as nil, a
//   pointer or nil inside an array or dictionary is skipped).
// - Nesting is counted as D-Bus counts it: every array, dictionary entry and variant is one
//   level, from the top of the signal's arguments. The bus refuses messages deeper than 64
//   levels (and disconnects their sender), so the encoder never builds one and the decoder
//   rejects one.
// - Failures: the encoder returns a negative errno-style value and logs why; the message is then
//   unusable. The decoder returns nullopt and logs one line saying why the signal was dropped.
//   Nothing throws (except std::bad_alloc).
// - The functions use only the message they are given; one message must not be used by two
//   threads at once (sd-bus objects are not thread-safe).
#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/NSNotificationCenter.h"
#include "Platform/Foundation/Object.h"

namespace vrk::dbus {

// RAII owners for the sd-bus handles.
struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

// A bus object that is not connected to any daemon, only good for building messages and reading
// them back after SealForReading (fuzzers, tests). Null when sd-bus refuses (logged).
struct OfflineBusCloser {
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using OfflineBusPtr = std::unique_ptr<sd_bus, OfflineBusCloser>;
OfflineBusPtr OpenOfflineBus();
// A new, empty Post signal on `bus`; null on failure.
MessagePtr NewPostSignal(sd_bus* bus);
// Seals a message built on an offline bus and rewinds it, as if it had been received.
// Returns 0 or a negative errno value.
int SealForReading(sd_bus_message* m);

// The deepest container nesting a message may have on the bus. Every array or dictionary of an
// Object takes at least two containers on the wire (the array and the variant inside it), so an
// Object that crosses the bus always stays within kMaxObjectNesting.
inline constexpr int kMaxNesting = kMaxObjectNesting;

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
std::optional<std::vector<NSNotification>> DecodePostsSignal(sd_bus_message* m);

// Decodes a Post or a Posts signal, whichever `m` is, into the notifications it carries, in
// order: the one handler a receiver of both members needs. Refused as the two above refuse.
std::optional<std::vector<NSNotification>> DecodeCenterSignal(sd_bus_message* m);

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
std::optional<std::vector<NSNotification>> DecodeCenterSignal(
    sd_bus_message* m, std::size_t maxPayload, std::vector<RefusedNotification>* refused);

// Decodes a Post signal into the notification it carries. A message that is not a Post signal
// of the center's interface, whose signature is not `savaa{sv}`, whose arrays hold more than one
// element, or that holds invalid UTF-8 or nesting deeper than kMaxNesting is dropped: nullopt,
// with one log line. Values that no Object holds are left out, with one log line per signal
// naming the first few. The message is rewound first, so it may be decoded at any read position.
std::optional<NSNotification> DecodePostSignal(sd_bus_message* m);

// The arguments of a message sent to a distant object (NSConnection.h): each argument is an `av`
// of zero elements for nil and one element otherwise, as the Post signal's object is, so that
// nil crosses too. At most kMaxMessageArguments of them.
inline constexpr std::size_t kMaxMessageArguments = 8;
// Appends them. Returns 0, or a negative errno value with the reason in `why`.
int AppendMessageArguments(sd_bus_message* m, std::span<const Object> arguments, std::string* why);
// Reads them back from a whole message, rewound first. nullopt, with the reason in `why`, for a
// signature other than `av` repeated up to kMaxMessageArguments times, an array of more than
// one element, or any value that DecodePostSignal would refuse.
std::optional<std::vector<Object>> ReadMessageArguments(sd_bus_message* m, std::string* why);
// What those arguments would weigh once read (as DistributedPayloadSize counts a payload),
// measured in place without building any value, so that a receiver can refuse a call over its cap
// before it is decoded. nullopt for a message that ReadMessageArguments would refuse for its shape
// or that cannot be read. The message is rewound.
std::optional<std::size_t> WeighMessageArguments(sd_bus_message* m);

}  // namespace vrk::dbus
