// The Mach kernel interface and the bootstrap server, on Unix datagram sockets.
//
// Contract:
// - Each process has one port name space. A receive right is a SOCK_DGRAM Unix socket with
//   SO_PASSCRED that this process owns; a send right names the address of a receive right
//   (its own, or one found with bootstrap_look_up); a send-once right is the reply address of
//   a received message and is consumed by the first send through it. Names are never reused
//   within a process, so a stale name fails with KERN_INVALID_NAME instead of reaching another
//   right.
// - A message on the wire is exactly the send_size bytes the sender built. On receipt the
//   header is rewritten as the Mach kernel does: msgh_remote_port becomes a new send-once name
//   for the sender's address (or MACH_PORT_NULL when the sender has no receive right to reply
//   to), msgh_local_port the receiving name, msgh_size the received length, and an 8-byte
//   trailer (type 0, size 8) follows the message. Datagrams from another user id, or shorter
//   than a header, are dropped with a log line and the receive goes on waiting.
// - Errors keep Mach's codes; mach_error_string gives Mach's own texts for them. A missing or
//   dead destination is MACH_SEND_INVALID_DEST; a full queue after the send time-out is
//   MACH_SEND_TIMED_OUT. A send through a send-once right never waits for queue space (as
//   Mach exempts send-once messages from queue limits): a full queue fails it at once with
//   MACH_SEND_NO_BUFFER.
// - Bootstrap names are sockets in $VRK_ROOT/var/run/bootstrap/, a folder that must be a real
//   directory of mode 0700 owned by the user. A name whose path is a symlink or not a socket is
//   refused; a socket file left by a dead receiver is replaced when the name is registered
//   again; a live one makes the registration fail. The file is removed when the registered
//   receive right is released.
// - Every function here is thread-safe. Nothing throws; failures return the Mach code. No
//   right is released implicitly except as the Mach calls describe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vrk {

using kern_return_t = int;
using mach_error_t = kern_return_t;
using mach_msg_return_t = kern_return_t;
using mach_port_t = std::uint32_t;
using mach_port_name_t = mach_port_t;
using ipc_space_t = mach_port_t;
using mach_port_right_t = std::uint32_t;
using mach_port_delta_t = std::int32_t;
using mach_msg_bits_t = std::uint32_t;
using mach_msg_size_t = std::uint32_t;
using mach_msg_id_t = std::int32_t;
using mach_msg_option_t = std::int32_t;
using mach_msg_timeout_t = std::uint32_t;
using mach_msg_type_name_t = std::uint32_t;
using mach_msg_trailer_type_t = std::uint32_t;
using mach_msg_trailer_size_t = std::uint32_t;

struct mach_msg_header_t {
  mach_msg_bits_t msgh_bits;
  mach_msg_size_t msgh_size;
  mach_port_t msgh_remote_port;
  mach_port_t msgh_local_port;
  mach_port_name_t msgh_voucher_port;
  mach_msg_id_t msgh_id;
};
static_assert(sizeof(mach_msg_header_t) == 24);

struct mach_msg_trailer_t {
  mach_msg_trailer_type_t msgh_trailer_type;
  mach_msg_trailer_size_t msgh_trailer_size;
};
static_assert(sizeof(mach_msg_trailer_t) == 8);

inline constexpr mach_port_t MACH_PORT_NULL = 0;
inline constexpr mach_port_t MACH_PORT_DEAD = 0xFFFFFFFFu;

inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND = 0;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_RECEIVE = 1;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND_ONCE = 2;

inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_RECEIVE = 16;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND = 17;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_COPY_SEND = 19;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND = 20;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;
// The names a receiver sees: the right it got for the reply and the right it was sent on.
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_PORT_SEND = MACH_MSG_TYPE_MOVE_SEND;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_PORT_SEND_ONCE = MACH_MSG_TYPE_MOVE_SEND_ONCE;

inline constexpr mach_msg_bits_t MACH_MSGH_BITS_REMOTE_MASK = 0x0000001f;
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_LOCAL_MASK = 0x00001f00;
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_VOUCHER_MASK = 0x001f0000;
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_PORTS_MASK =
    MACH_MSGH_BITS_REMOTE_MASK | MACH_MSGH_BITS_LOCAL_MASK | MACH_MSGH_BITS_VOUCHER_MASK;
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_COMPLEX = 0x80000000u;
constexpr mach_msg_bits_t MACH_MSGH_BITS(mach_msg_type_name_t remote, mach_msg_type_name_t local) {
  return remote | (local << 8);
}
constexpr mach_msg_type_name_t MACH_MSGH_BITS_REMOTE(mach_msg_bits_t bits) {
  return bits & MACH_MSGH_BITS_REMOTE_MASK;
}
constexpr mach_msg_type_name_t MACH_MSGH_BITS_LOCAL(mach_msg_bits_t bits) {
  return (bits & MACH_MSGH_BITS_LOCAL_MASK) >> 8;
}

inline constexpr mach_msg_option_t MACH_MSG_OPTION_NONE = 0;
inline constexpr mach_msg_option_t MACH_SEND_MSG = 0x00000001;
inline constexpr mach_msg_option_t MACH_RCV_MSG = 0x00000002;
inline constexpr mach_msg_option_t MACH_SEND_TIMEOUT = 0x00000010;
inline constexpr mach_msg_option_t MACH_RCV_TIMEOUT = 0x00000100;
inline constexpr mach_msg_timeout_t MACH_MSG_TIMEOUT_NONE = 0;

inline constexpr mach_msg_trailer_type_t MACH_MSG_TRAILER_FORMAT_0 = 0;
inline constexpr mach_msg_trailer_size_t MACH_MSG_TRAILER_MINIMUM_SIZE = 8;

// Return codes (kern_return_t and mach_msg_return_t share one space, as on Mach).
inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ADDRESS = 1;
inline constexpr kern_return_t KERN_NO_SPACE = 3;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;
inline constexpr kern_return_t KERN_RESOURCE_SHORTAGE = 6;
inline constexpr kern_return_t KERN_NAME_EXISTS = 13;
inline constexpr kern_return_t KERN_INVALID_NAME = 15;
inline constexpr kern_return_t KERN_INVALID_TASK = 16;
inline constexpr kern_return_t KERN_INVALID_RIGHT = 17;
inline constexpr kern_return_t KERN_INVALID_VALUE = 18;
inline constexpr kern_return_t KERN_UREFS_OVERFLOW = 19;
inline constexpr mach_msg_return_t MACH_MSG_SUCCESS = 0;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DATA = 0x10000002;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DEST = 0x10000003;
inline constexpr mach_msg_return_t MACH_SEND_TIMED_OUT = 0x10000004;
inline constexpr mach_msg_return_t MACH_SEND_INTERRUPTED = 0x10000007;
inline constexpr mach_msg_return_t MACH_SEND_MSG_TOO_SMALL = 0x10000008;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_REPLY = 0x10000009;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_RIGHT = 0x1000000a;
inline constexpr mach_msg_return_t MACH_SEND_NO_BUFFER = 0x1000000d;
inline constexpr mach_msg_return_t MACH_SEND_TOO_LARGE = 0x1000000e;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_HEADER = 0x10000010;
inline constexpr mach_msg_return_t MACH_RCV_INVALID_NAME = 0x10004002;
inline constexpr mach_msg_return_t MACH_RCV_TIMED_OUT = 0x10004003;
inline constexpr mach_msg_return_t MACH_RCV_TOO_LARGE = 0x10004004;
inline constexpr mach_msg_return_t MACH_RCV_INTERRUPTED = 0x10004005;
inline constexpr mach_msg_return_t MACH_RCV_PORT_DIED = 0x10004009;
inline constexpr kern_return_t BOOTSTRAP_SUCCESS = 0;
inline constexpr kern_return_t BOOTSTRAP_NOT_PRIVILEGED = 1100;
inline constexpr kern_return_t BOOTSTRAP_NAME_IN_USE = 1101;
inline constexpr kern_return_t BOOTSTRAP_UNKNOWN_SERVICE = 1102;
inline constexpr kern_return_t BOOTSTRAP_SERVICE_ACTIVE = 1103;
inline constexpr kern_return_t BOOTSTRAP_BAD_COUNT = 1104;
inline constexpr kern_return_t BOOTSTRAP_NO_MEMORY = 1105;

// The task's own name; every call below wants it as its task argument.
mach_port_t mach_task_self();
// The task's bootstrap port, the only port that bootstrap_look_up and bootstrap_register take.
extern const mach_port_t bootstrap_port;
kern_return_t task_get_bootstrap_port(mach_port_t task, mach_port_t* bootstrap);

// Creates a receive right (only MACH_PORT_RIGHT_RECEIVE is supported) under a new name.
kern_return_t mach_port_allocate(ipc_space_t task, mach_port_right_t right, mach_port_name_t* name);
// With MACH_MSG_TYPE_MAKE_SEND and name == poly naming a receive right: adds a send reference
// to that name. Other dispositions are KERN_INVALID_VALUE.
kern_return_t mach_port_insert_right(ipc_space_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly);
// Changes the user references of one right of a name. For the receive right only -1 (release
// it) and 0 are valid; releasing it closes the socket, and send references of the same name
// then name a dead port.
kern_return_t mach_port_mod_refs(ipc_space_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta);
// Releases one send or send-once reference, or a dead name. KERN_INVALID_RIGHT for a name that
// holds only a receive right.
kern_return_t mach_port_deallocate(ipc_space_t task, mach_port_name_t name);

// mach_msg with MACH_SEND_MSG and/or MACH_RCV_MSG (send first, then receive into the same
// buffer). Time-outs are in milliseconds and count only with MACH_SEND_TIMEOUT /
// MACH_RCV_TIMEOUT; without them the call may wait for ever. The receive buffer `msg` must
// hold rcv_size bytes; a message that does not fit with its trailer is discarded and
// MACH_RCV_TOO_LARGE returned. `notify` must be MACH_PORT_NULL.
mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option,
                           mach_msg_size_t send_size, mach_msg_size_t rcv_size,
                           mach_port_name_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_name_t notify);
// Sends msg->msgh_size bytes with no time-out.
mach_msg_return_t mach_msg_send(mach_msg_header_t* msg);
// Releases the rights a received message carries (its reply right), for a message that is
// not going to be answered. Harmless for a right that was already consumed.
void mach_msg_destroy(mach_msg_header_t* msg);

// Mach's text for a code, e.g. "(ipc/send) invalid destination port". Never null; the text
// lives for the whole process.
const char* mach_error_string(mach_error_t error);

// Looks a registered name up and returns a new send right to it in *service. Fails with
// BOOTSTRAP_UNKNOWN_SERVICE when no live receiver holds the name, BOOTSTRAP_NOT_PRIVILEGED
// when the folder or the name's path fails the checks above.
kern_return_t bootstrap_look_up(mach_port_t bp, const char* service_name, mach_port_t* service);
// Registers the receive right `receive` of this task under `service_name`. The right must not
// have sent yet (its socket is bound to the name's path). BOOTSTRAP_SERVICE_ACTIVE when a live
// receiver already holds the name; BOOTSTRAP_NOT_PRIVILEGED when the checks refuse the folder
// or the path; KERN_INVALID_RIGHT when `receive` is not a receive right that can be bound.
kern_return_t bootstrap_register(mach_port_t bp, const char* service_name, mach_port_t receive);

}  // namespace vrk
