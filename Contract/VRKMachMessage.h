// The Mach bridge between the extension and the host library: the service name, the command
// numbers and the two message layouts. Both deliverables compile this one definition, and the
// layouts are checked at compile time so that they match to the byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Platform/Mach/Mach.h"

namespace vrk {

// The application group of the shared settings store followed by ".machport".
inline constexpr char kVRKMachServiceName[] = "group.com.mirelta.sync.machport";

enum VRKExtensionAndDylibMachCommandType : std::int64_t {
  VRKMachCommandBeginObserve = 1,
  VRKMachCommandEndObserve = 2,
  VRKMachCommandBadgeNotExist = 3,
  VRKMachCommandShareLink = 4,
  VRKMachCommandViewOnWebsite = 5,
  VRKMachCommandRequestLockPermission = 6,
  VRKMachCommandLockPermissionReply = 7,
  VRKMachCommandLockFile = 8,
  VRKMachCommandUnlockFile = 9,
  VRKMachCommandViewHistoryVersions = 10,
};

// Both messages are this long on the wire; a received reply has the trailer after it.
inline constexpr std::uint32_t kVRKMachMessageSize = 1056;
inline constexpr std::uint32_t kVRKMachReceivedReplySize =
    kVRKMachMessageSize + MACH_MSG_TRAILER_MINIMUM_SIZE;
inline constexpr std::size_t kVRKMachPathFieldSize = 1024;
// COPY_SEND for the library's port, MAKE_SEND_ONCE of the extension's own port as reply right.
inline constexpr mach_msg_bits_t kVRKMachRequestBits =
    MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE);
// The reply's msgh_id is the request's plus this.
inline constexpr mach_msg_id_t kVRKMachReplyIdOffset = 100;
// Every request is sent with this send time-out, in milliseconds.
inline constexpr mach_msg_timeout_t kVRKMachSendTimeout = 100;

struct VRKMachRequestMessage {
  mach_msg_header_t header;
  std::uint32_t command;
  std::uint8_t unused[4];
  // UTF-8, terminated by a NUL inside the field; the rest of the field is zero.
  char path[kVRKMachPathFieldSize];
};

struct VRKMachReplyMessage {
  mach_msg_header_t header;
  std::uint32_t command;
  std::uint8_t showLock;
  std::uint8_t showUnlock;
  std::uint8_t isFile;
  std::uint8_t unused;
  std::uint8_t notUsed[kVRKMachPathFieldSize];
};

struct VRKMachReceivedReply {
  VRKMachReplyMessage message;
  mach_msg_trailer_t trailer;
};

static_assert(kVRKMachRequestBits == 5395);
static_assert(sizeof(VRKMachRequestMessage) == kVRKMachMessageSize);
static_assert(offsetof(VRKMachRequestMessage, header) == 0);
static_assert(offsetof(VRKMachRequestMessage, command) == 24);
static_assert(offsetof(VRKMachRequestMessage, path) == 32);
static_assert(sizeof(VRKMachReplyMessage) == kVRKMachMessageSize);
static_assert(offsetof(VRKMachReplyMessage, command) == 24);
static_assert(offsetof(VRKMachReplyMessage, showLock) == 28);
static_assert(offsetof(VRKMachReplyMessage, showUnlock) == 29);
static_assert(offsetof(VRKMachReplyMessage, isFile) == 30);
static_assert(sizeof(VRKMachReceivedReply) == kVRKMachReceivedReplySize);
static_assert(offsetof(mach_msg_header_t, msgh_bits) == 0);
static_assert(offsetof(mach_msg_header_t, msgh_size) == 4);
static_assert(offsetof(mach_msg_header_t, msgh_remote_port) == 8);
static_assert(offsetof(mach_msg_header_t, msgh_local_port) == 12);
static_assert(offsetof(mach_msg_header_t, msgh_voucher_port) == 16);
static_assert(offsetof(mach_msg_header_t, msgh_id) == 20);

}  // namespace vrk
