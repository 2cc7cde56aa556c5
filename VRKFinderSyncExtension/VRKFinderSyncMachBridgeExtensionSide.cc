#include "VRKFinderSyncExtension/VRKFinderSyncMachBridgeExtensionSide.h"

#include <cstring>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/Object.h"

namespace vrk {

namespace {

bool IsLockReply(const VRKMachReceivedReply& reply) {
  return reply.message.header.msgh_size == kVRKMachMessageSize &&
         reply.message.header.msgh_id == kVRKMachReplyIdOffset &&
         reply.message.command == VRKMachCommandLockPermissionReply;
}

}  // namespace

bool VRKEncodeMachRequest(long command, std::string_view path, mach_port_t remote,
                          mach_port_t local, VRKMachRequestMessage* request) {
  if (path.size() >= kVRKMachPathFieldSize || path.find('\0') != std::string_view::npos) {
    return false;
  }
  std::memset(request, 0, sizeof *request);
  request->header.msgh_bits = kVRKMachRequestBits;
  request->header.msgh_size = kVRKMachMessageSize;
  request->header.msgh_remote_port = remote;
  request->header.msgh_local_port = local;
  request->header.msgh_voucher_port = MACH_PORT_NULL;
  request->header.msgh_id = 0;
  request->command = static_cast<std::uint32_t>(command);
  std::memcpy(request->path, path.data(), path.size());
  return true;
}

VRKFinderSyncMachBridgeExtensionSide::VRKFinderSyncMachBridgeExtensionSide(
    std::weak_ptr<FinderSync> finderSync)
    : finder_sync_(std::move(finderSync)) {}

VRKFinderSyncMachBridgeExtensionSide::~VRKFinderSyncMachBridgeExtensionSide() {
  if (remote_port_ != MACH_PORT_NULL) mach_port_deallocate(mach_task_self(), remote_port_);
  if (local_port_ != MACH_PORT_NULL) {
    mach_port_mod_refs(mach_task_self(), local_port_, MACH_PORT_RIGHT_RECEIVE, -1);
  }
}

bool VRKFinderSyncMachBridgeExtensionSide::connect() {
  if (local_port_ == MACH_PORT_NULL) {
    mach_port_t port = MACH_PORT_NULL;
    if (mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port) != KERN_SUCCESS) {
      NSLog("[Finder Sync Extension] Unable to create connection");
      return false;
    }
    local_port_ = port;
    NSLog("[Finder Sync Extension] Create local port succeeded");
  }
  if (remote_port_ != MACH_PORT_NULL) return true;

  mach_port_t bootstrap = MACH_PORT_NULL;
  task_get_bootstrap_port(mach_task_self(), &bootstrap);
  mach_port_t remote = MACH_PORT_NULL;
  if (bootstrap_look_up(bootstrap, kVRKMachServiceName, &remote) == BOOTSTRAP_SUCCESS) {
    remote_port_ = remote;
    NSLog("[Finder Sync Extension] connected to dylib");
    return true;
  }
  NSLog("[Finder Sync Extension] Failed to find bootstrap port");
  return false;
}

void VRKFinderSyncMachBridgeExtensionSide::cleanInvaildConnection() {
  stalled_ = false;
  droppedWhileStalled_ = 0;
  if (remote_port_ == MACH_PORT_NULL) return;
  NSLog("[Finder Sync Extension] Lost connection with dylib");
  mach_port_deallocate(mach_task_self(), remote_port_);
  remote_port_ = MACH_PORT_NULL;
}

bool VRKFinderSyncMachBridgeExtensionSide::buildRequest(long command, std::string_view path,
                                                        VRKMachRequestMessage* request) {
  if (VRKEncodeMachRequest(command, path, remote_port_, local_port_, request)) return true;
  NSLog(
      "[Finder Sync Extension] command %@ not sent: its path of %lu bytes does not fit the message",
      Object::numberWithInteger(command), static_cast<unsigned long>(path.size()));
  return false;
}

mach_msg_return_t VRKFinderSyncMachBridgeExtensionSide::send(VRKMachRequestMessage* request) {
  const mach_msg_timeout_t timeout = stalled_ ? 0 : kVRKMachSendTimeout;
  mach_msg_return_t kr = mach_msg(&request->header, MACH_SEND_MSG | MACH_SEND_TIMEOUT,
                                  kVRKMachMessageSize, 0, local_port_, timeout, MACH_PORT_NULL);
  if (kr == MACH_SEND_TIMED_OUT) {
    if (stalled_) {
      ++droppedWhileStalled_;
    } else {
      stalled_ = true;
      NSLog(
          "[Finder Sync Extension] the dylib is not draining its port; requests are sent without "
          "waiting and dropped while its queue is full");
    }
  } else if (kr == MACH_MSG_SUCCESS && stalled_) {
    NSLog("[Finder Sync Extension] the dylib drains its port again; %lu requests were dropped",
          droppedWhileStalled_);
    stalled_ = false;
    droppedWhileStalled_ = 0;
  }
  return kr;
}

void VRKFinderSyncMachBridgeExtensionSide::sendMachMsg(long command, std::string_view path) {
  if (!connect()) {
    cleanInvaildConnection();
    return;
  }
  VRKMachRequestMessage request;
  if (!buildRequest(command, path, &request)) return;
  const bool wasStalled = stalled_;
  mach_msg_return_t kr = send(&request);
  // During a stall the drops are counted instead of logged one by one.
  if (kr == MACH_SEND_TIMED_OUT && wasStalled) return;
  if (kr != MACH_MSG_SUCCESS) {
    NSLog("[Finder Sync Extension] failed to send command %@ to Dylib, error = %s",
          Object::numberWithInteger(command), mach_error_string(kr));
    if (kr == MACH_SEND_INVALID_DEST) cleanInvaildConnection();
  }
}

void VRKFinderSyncMachBridgeExtensionSide::menuItemClicked(
    VRKExtensionAndDylibMachCommandType command, std::string_view path) {
  sendMachMsg(command, path);
}

void VRKFinderSyncMachBridgeExtensionSide::beginObserve(std::string_view path) {
  sendMachMsg(VRKMachCommandBeginObserve, path);
}

void VRKFinderSyncMachBridgeExtensionSide::endObserve(std::string_view path) {
  sendMachMsg(VRKMachCommandEndObserve, path);
}

void VRKFinderSyncMachBridgeExtensionSide::badgeNotExist4ItemAtPath(std::string_view path) {
  sendMachMsg(VRKMachCommandBadgeNotExist, path);
}

void VRKFinderSyncMachBridgeExtensionSide::retireLocalPort() {
  if (local_port_ == MACH_PORT_NULL) return;
  mach_port_mod_refs(mach_task_self(), local_port_, MACH_PORT_RIGHT_RECEIVE, -1);
  local_port_ = MACH_PORT_NULL;
}

// A reply that arrived after an earlier question gave up would otherwise be taken as the
// answer to this one.
void VRKFinderSyncMachBridgeExtensionSide::discardStaleMessages() {
  VRKMachReceivedReply stale;
  int discarded = 0;
  for (;;) {
    mach_msg_return_t kr = mach_msg(&stale.message.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0,
                                    sizeof stale, local_port_, 0, MACH_PORT_NULL);
    if (kr == MACH_MSG_SUCCESS) mach_msg_destroy(&stale.message.header);
    if (kr != MACH_MSG_SUCCESS && kr != MACH_RCV_TOO_LARGE) break;
    ++discarded;
  }
  if (discarded > 0) {
    NSLog("[Finder Sync Extension] discarded %d stale messages before the lock request", discarded);
  }
}

VRKLockAnswer VRKFinderSyncMachBridgeExtensionSide::requestLockableWhenSelectItemAtPath(
    std::string_view path) {
  if (!connect()) {
    cleanInvaildConnection();
    return nullptr;
  }
  NSLog("[Finder Sync Extension] requestLockableWhenSelectItemAtPath, path = %@", path);
  VRKMachRequestMessage request;
  if (!buildRequest(VRKMachCommandRequestLockPermission, path, &request)) return nullptr;
  discardStaleMessages();
  mach_msg_return_t kr = send(&request);
  if (kr != MACH_MSG_SUCCESS) {
    NSLog("[Finder Sync Extension] failed to send lockable request to Dylib, error = %s",
          mach_error_string(kr));
    if (kr == MACH_SEND_INVALID_DEST) cleanInvaildConnection();
    return nullptr;
  }
  NSLog("[Finder Sync Extension] 准备接收lock reply");

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + kLockReplyWait;
  VRKMachReceivedReply reply;
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    auto timeout = static_cast<mach_msg_timeout_t>(left > 0 ? left : 0);
    kr = mach_msg(&reply.message.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof reply,
                  local_port_, timeout, MACH_PORT_NULL);
    if (kr == MACH_MSG_SUCCESS) {
      mach_msg_destroy(&reply.message.header);
      if (IsLockReply(reply)) break;
      NSLog("[Finder Sync Extension] discarded a message that is not the lock reply (id %d)",
            reply.message.header.msgh_id);
      continue;
    }
    if (kr == MACH_RCV_TOO_LARGE) {
      NSLog("[Finder Sync Extension] discarded a message that is not the lock reply (too large)");
      continue;
    }
    NSLog("[Finder Sync Extension] failed to receive shouldShowLockMenuItem reply, error = %s",
          mach_error_string(kr));
    // The library may still answer this question later, and that reply would look exactly like
    // the answer to the next one (every reply has id 100 and command 7). So the receive right
    // that this question named is given up: a late reply finds no one, and the next request
    // makes a fresh right.
    if (kr == MACH_RCV_TIMED_OUT) retireLocalPort();
    return nullptr;
  }

  VRKLockAnswer answer(static_cast<std::uint8_t*>(std::malloc(3)));
  if (!answer) return nullptr;
  answer[0] = reply.message.showLock;
  answer[1] = reply.message.showUnlock;
  answer[2] = reply.message.isFile;
  NSLog(
      "[Finder Sync Extension] extension中收到的Mach msg showLock = %@, showUnlock = %@, isFile = "
      "%@",
      Object::numberWithBool(answer[0] != 0), Object::numberWithBool(answer[1] != 0),
      Object::numberWithBool(answer[2] != 0));
  return answer;
}

}  // namespace vrk
