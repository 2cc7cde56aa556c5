// XPC: dictionaries and connections to privileged Mach services, over the emulated launchd.
//
// Objects: xpc_object_t and xpc_connection_t are shared handles; xpc_release(x) drops the
// caller's reference (the handle becomes null). A dictionary may be used by one thread at a
// time; xpc_dictionary_get_string's pointer stays valid while the dictionary lives and that key
// is not set again. The two connection errors are process-wide objects of type XPC_TYPE_ERROR.
//
// Connections (xpc_connection_create_mach_service): nothing happens until
// xpc_connection_resume. The connection then runs on a thread of its own: it connects (starting
// the job on demand, see Launchd.h), sends messages in order and delivers each reply to its
// handler on the queue given with the message. The event handler gets, on the connection's
// target queue, every message the service sends on its own and the errors:
//   XPC_ERROR_CONNECTION_INTERRUPTED  the service went away (or a reply did not come within
//                                     kReplyTimeout); the next message connects again;
//   XPC_ERROR_CONNECTION_INVALID      the service cannot be reached (no job provides it, or it
//                                     did not start), or the connection was cancelled; final.
// A reply handler whose reply cannot come is called with the error instead. A null target queue
// is the default target queue: the connection's own thread. The connection keeps itself alive
// while it has messages to send or replies to wait for, even after the caller has released it;
// then its thread ends. Every call here is thread-safe and none blocks.
//
// Listeners (xpc_connection_create_mach_service with XPC_CONNECTION_MACH_SERVICE_LISTENER) are
// for the job that provides the service. Two of their calls block: a listener's resume checks in
// with launchd (Launchd.h) at once, waiting for an instance that still serves, and a peer's send
// writes before it returns. When the check-in fails, the listener's event handler gets an error
// whose description is the reason before resume returns, and the listener is finished.
// Otherwise one thread of the listener accepts callers (at most acceptBatch per turn, so that a
// flood never keeps waiting requests from the workers) and watches the peers that wait between
// requests; a pool of `workers` threads reads requests. For each caller the new-peer handler runs
// on the listener's thread with the peer connection, whose credentials are the kernel's record of
// when it connected. The handler resumes the peer to serve it, cancels it to drop it, or refuses
// it with xpc_connection_cancel_with_reply; a peer it leaves alone is dropped.
// A peer's event handler runs on a worker, one request at a time: each message the peer sends
// (xpc_dictionary_create_reply makes the answer of one that wants a reply, which
// xpc_connection_send_message on the peer then writes, from the handler), and at the end exactly
// one error: XPC_ERROR_CONNECTION_INVALID when the peer closed, sat idle longer than
// idlePeerTimeout, failed a write or was cancelled; or, for a request that broke the wire or did
// not arrive within requestTimeout once begun, an error whose XPC_ERROR_KEY_FAULT says why.
// After that error the peer's handler is released. With idleExit set, a listener with no peer
// and no request for that long leaves the service's name (a new caller starts a new instance),
// serves those that connected before, then finishes. A finished or cancelled listener stops
// accepting, lets the workers end the requests that were waiting, ends every peer and then gives
// its event handler XPC_ERROR_CONNECTION_INVALID on its own thread.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/Foundation/Object.h"

namespace vrk {

struct xpc_object;
using xpc_object_t = std::shared_ptr<xpc_object>;
struct xpc_connection;
using xpc_connection_t = std::shared_ptr<xpc_connection>;

// A queue that handlers run on. dispatch_get_main_queue() is the main run loop (RunLoop.h).
struct dispatch_queue {
  virtual ~dispatch_queue() = default;
  virtual void async(std::function<void()> block) = 0;
};
using dispatch_queue_t = std::shared_ptr<dispatch_queue>;
dispatch_queue_t dispatch_get_main_queue();

using xpc_handler_t = std::function<void(xpc_object_t)>;
using xpc_peer_handler_t = std::function<void(xpc_connection_t)>;

enum class xpc_type_t { dictionary, error };
inline constexpr xpc_type_t XPC_TYPE_DICTIONARY = xpc_type_t::dictionary;
inline constexpr xpc_type_t XPC_TYPE_ERROR = xpc_type_t::error;

inline constexpr std::uint64_t XPC_CONNECTION_MACH_SERVICE_LISTENER = 1;
inline constexpr std::uint64_t XPC_CONNECTION_MACH_SERVICE_PRIVILEGED = 2;
inline constexpr const char* XPC_ERROR_KEY_DESCRIPTION = "XPCErrorDescription";
// In the error that ends a peer whose request broke the wire: why, to be logged by the service.
inline constexpr const char* XPC_ERROR_KEY_FAULT = "XPCErrorFault";
inline constexpr std::chrono::seconds kReplyTimeout{120};

extern const xpc_object_t XPC_ERROR_CONNECTION_INTERRUPTED;
extern const xpc_object_t XPC_ERROR_CONNECTION_INVALID;

xpc_type_t xpc_get_type(const xpc_object_t& object);

// xpc_dictionary_create(NULL, NULL, 0): an empty dictionary.
xpc_object_t xpc_dictionary_create(const char* const* keys, const xpc_object_t* values,
                                   std::size_t count);
void xpc_dictionary_set_string(const xpc_object_t& dictionary, const char* key, const char* value);
// The string under `key`, or null when the key is missing or holds another type.
const char* xpc_dictionary_get_string(const xpc_object_t& dictionary, const char* key);
// The whole dictionary as an Object (strings, integers, booleans, data, arrays, dictionaries).
Object xpc_dictionary_copy_object(const xpc_object_t& dictionary);
xpc_object_t xpc_dictionary_create_from_object(const Object& dictionary);

// Null when `name` is empty or flags other than XPC_CONNECTION_MACH_SERVICE_PRIVILEGED (a
// connection to the service) or XPC_CONNECTION_MACH_SERVICE_LISTENER (a listener) are given.
xpc_connection_t xpc_connection_create_mach_service(const char* name, dispatch_queue_t targetq,
                                                    std::uint64_t flags);
void xpc_connection_set_event_handler(const xpc_connection_t& connection, xpc_handler_t handler);
void xpc_connection_resume(const xpc_connection_t& connection);
void xpc_connection_send_message(const xpc_connection_t& connection, const xpc_object_t& message);
void xpc_connection_send_message_with_reply(const xpc_connection_t& connection,
                                            const xpc_object_t& message, dispatch_queue_t replyq,
                                            xpc_handler_t handler);
// Sends and blocks the calling thread until the reply (or the error that replaces it) arrives,
// at most kReplyTimeout plus the time to connect; then XPC_ERROR_CONNECTION_INTERRUPTED. Never
// call it on the queue that would run the connection's handlers.
xpc_object_t xpc_connection_send_message_with_reply_sync(const xpc_connection_t& connection,
                                                         const xpc_object_t& message);
void xpc_connection_cancel(const xpc_connection_t& connection);

// The listener side. How a listener serves; set before it is resumed.
struct xpc_listener_options {
  std::size_t workers = 4;
  std::size_t acceptBatch = 64;
  std::chrono::milliseconds requestTimeout{2000};  // for a request once it has begun
  std::chrono::milliseconds idlePeerTimeout{10000};
  std::optional<std::chrono::milliseconds> idleExit;
};
void xpc_listener_set_options(const xpc_connection_t& listener,
                              const xpc_listener_options& options);
void xpc_listener_set_new_peer_handler(const xpc_connection_t& listener,
                                       xpc_peer_handler_t handler);
// The peer's effective uid and gid and its pid when it connected; (uid_t)-1, (gid_t)-1 and 0
// when the kernel could not tell. Any other connection: the same.
uid_t xpc_connection_get_euid(const xpc_connection_t& peer);
gid_t xpc_connection_get_egid(const xpc_connection_t& peer);
pid_t xpc_connection_get_pid(const xpc_connection_t& peer);
// The peer's supplementary groups when it connected; nullopt when they cannot be read.
std::optional<std::vector<gid_t>> xpc_connection_copy_groups(const xpc_connection_t& peer);
// For the new-peer handler: answers the peer's first request with `reply` before it is read,
// without waiting for the peer, and cancels the peer. The peer's handler is never called.
void xpc_connection_cancel_with_reply(const xpc_connection_t& peer, const xpc_object_t& reply);
// An empty dictionary that answers `message`, or null when it wants no reply.
xpc_object_t xpc_dictionary_create_reply(const xpc_object_t& message);

template <typename T>
void xpc_release(std::shared_ptr<T>& object) {
  object.reset();
}

}  // namespace vrk
