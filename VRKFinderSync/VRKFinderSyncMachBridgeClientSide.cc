#include "VRKFinderSync/VRKFinderSyncMachBridgeClientSide.h"

#include <cstring>
#include <string_view>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/Object.h"
#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/ThreadSafety.h"

namespace vrk {

namespace {

// The listener of the latest start and its thread. Neither is cleared by a stop. The mutex
// makes each start and stop one step, so that a stop can never miss the listener of a start
// that is still setting up. The thread is held weakly: a running thread keeps its own object,
// and when it ends it lets go of it itself, so no one has to wait for it. The state is never
// destroyed, because a listener may still run while the process exits.
Mutex& g_mutex = *new Mutex;
std::shared_ptr<VRKFinderSyncMachBridgeClientSide>& g_bridge GUARDED_BY(g_mutex) =
    *new std::shared_ptr<VRKFinderSyncMachBridgeClientSide>;
std::weak_ptr<Thread>& g_listeningThread GUARDED_BY(g_mutex) = *new std::weak_ptr<Thread>;
std::atomic<std::int32_t> g_finderSyncListening{0};

// The lock question being dispatched right now, with what its reply needs. The request buffer
// itself is the port's and is reused for the next message, so a reply is built from this copy
// and only while the question is open.
struct PendingReply {
  const void* msg;
  mach_msg_bits_t bits;
  mach_port_t replyPort;
  mach_msg_id_t msgId;
};
Mutex g_replyMutex;
std::optional<PendingReply> g_pendingReply GUARDED_BY(g_replyMutex);

// The "request" handed to the controller for a lock question. The port reuses one buffer for
// every message, so its address would be the same for each question, and an answer kept from
// an earlier question would match a later one. Each question instead gets its own handle: a
// value above every user-space address, so it can never be mistaken for (or read as) memory.
std::atomic<std::uintptr_t> g_questionCounter{0};
const void* NextQuestionHandle() {
  constexpr std::uintptr_t kHandleBase = static_cast<std::uintptr_t>(0xFFFF800000000000ULL);
  return reinterpret_cast<const void*>(kHandleBase + g_questionCounter.fetch_add(1) + 1);
}

}  // namespace

std::optional<VRKMachRequest> VRKParseMachRequest(std::span<const std::byte> message) {
  if (message.size() != sizeof(VRKMachRequestMessage)) {
    // A flood of them costs a line per burst, with the count.
    static LogThrottle& throttle = *new LogThrottle(std::chrono::seconds(1));
    if (std::uint64_t count = throttle.note()) {
      NSLog(
          "[FinderSync] dropped a request of %lu bytes; a request has %u (%lu since the last line)",
          static_cast<unsigned long>(message.size()), kVRKMachMessageSize,
          static_cast<unsigned long>(count));
    }
    return std::nullopt;
  }
  VRKMachRequestMessage raw;
  std::memcpy(&raw, message.data(), sizeof raw);
  VRKMachRequest request;
  request.command = raw.command;
  request.bits = raw.header.msgh_bits;
  request.replyPort = raw.header.msgh_remote_port;
  request.msgId = raw.header.msgh_id;
  const void* end = std::memchr(raw.path, '\0', sizeof raw.path);
  if (!end) {
    NSLog("[FinderSync] the path of command %u has no terminating NUL; using nil", raw.command);
    return request;
  }
  std::string_view path(raw.path, static_cast<const char*>(end) - raw.path);
  if (!IsValidUTF8(path)) {
    NSLog("[FinderSync] the path of command %u is not UTF-8; using nil", raw.command);
    return request;
  }
  request.path = std::string(path);
  return request;
}

void VRKFinderSyncMachBridgeClientSide::start() {
  RunLoop& runLoop = RunLoop::current();
  const mach_port_t task = mach_task_self();
  mach_port_t port = MACH_PORT_NULL;
  kern_return_t kr = mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &port);
  if (kr != KERN_SUCCESS) {
    NSLog("[FinderSync] failed to allocate mach port");
    NSLog("[FinderSync] mach error %s", mach_error_string(kr));
    return;
  }
  kr = mach_port_insert_right(task, port, port, MACH_MSG_TYPE_MAKE_SEND);
  if (kr != KERN_SUCCESS) {
    NSLog("[FinderSync] failed to insert send right to mach port");
    NSLog("[FinderSync] mach error %s", mach_error_string(kr));
    kr = mach_port_mod_refs(task, port, MACH_PORT_RIGHT_RECEIVE, -1);
    if (kr != KERN_SUCCESS) {
      NSLog("[FinderSync] failed to deallocate mach port");
      NSLog("[FinderSync] mach error %s", mach_error_string(kr));
    }
    NSLog("[FinderSync] failed to allocate send right tp local mach port");
    return;
  }
  listenerPort_ = NSMachPort::portWithMachPort(port, NSMachPortDeallocateReceiveRight);
  bool registered =
      NSMachBootstrapServer::sharedInstance()->registerPort(listenerPort_, kVRKMachServiceName);
  if (!registered) {
    // Most often another client holds the name. When it dies the extension would be left with
    // no listener, so the name is tried again until it is free (or this listener is stopped).
    NSLog("[FinderSync] failed to register mach port");
    NSLog("[FinderSync] will register the mach port once its name is free");
    registered = waitForFreeName(runLoop);
  }
  if (registered) {
    NSLog("[FinderSync] mach port registered");
    listenerPort_->setDelegate(weak_from_this());
    listenerPort_->addToRunLoop(runLoop);
    while (!stopRequested_) runLoop.runOnce();
  }

  // Releasing the receive right also withdraws the name: its socket file goes with it.
  listenerPort_->invalidate();
  if (registered) NSLog("[FinderSync] mach port unregistered");
  if (mach_port_deallocate(task, port) != KERN_SUCCESS) {
    NSLog("[FinderSync] failed to deallocate mach port %u", port);
  }
}

bool VRKFinderSyncMachBridgeClientSide::waitForFreeName(RunLoop& runLoop) {
  mach_port_t bootstrap = MACH_PORT_NULL;
  task_get_bootstrap_port(mach_task_self(), &bootstrap);
  while (!stopRequested_) {
    runLoop.runOnce(RunLoop::Clock::now() + kRegisterRetryInterval);
    if (stopRequested_) break;
    // A lookup is quiet while the name is held; registering is tried only once it is not.
    mach_port_t holder = MACH_PORT_NULL;
    if (bootstrap_look_up(bootstrap, kVRKMachServiceName, &holder) == BOOTSTRAP_SUCCESS) {
      mach_port_deallocate(mach_task_self(), holder);
      continue;
    }
    if (NSMachBootstrapServer::sharedInstance()->registerPort(listenerPort_, kVRKMachServiceName)) {
      return true;
    }
  }
  return false;
}

void VRKFinderSyncMachBridgeClientSide::stop() {
  RunLoop::current().stop();
}

void VRKFinderSyncMachBridgeClientSide::handleMachMessage(void* msg) {
  // The port delivers msgh_size bytes of message (the received length) and the trailer.
  const auto* header = static_cast<const mach_msg_header_t*>(msg);
  handleRequest(std::span(static_cast<const std::byte*>(msg), header->msgh_size));
}

void VRKFinderSyncMachBridgeClientSide::handleRequest(std::span<const std::byte> message) {
  std::optional<VRKMachRequest> request = VRKParseMachRequest(message);
  if (!request) return;
  NSLog("[FinderSync] handleMachMessage, command = %@",
        Object::numberWithInteger(request->command));
  std::shared_ptr<VRKMachBridgeTarget> target = dylibInstance();
  if (!target) return;
  const std::optional<std::string>& path = request->path;
  switch (request->command) {
    case VRKMachCommandBeginObserve:
      target->notifyPythonBeginObserve(path);
      break;
    case VRKMachCommandEndObserve:
      target->notifyPythonEndObserve(path);
      break;
    case VRKMachCommandBadgeNotExist:
      target->notifyPythonBadgeNotExist4ItemAtPath(path);
      break;
    case VRKMachCommandShareLink:
      target->shareLink(path);
      break;
    case VRKMachCommandViewOnWebsite:
      target->viewOnWebsite(path);
      break;
    case VRKMachCommandRequestLockPermission: {
      const void* question = NextQuestionHandle();
      {
        MutexLock lock(g_replyMutex);
        g_pendingReply = PendingReply{question, request->bits, request->replyPort, request->msgId};
      }
      target->requestPythonItemLockPermissionAtPath(path, question);
      MutexLock lock(g_replyMutex);
      g_pendingReply.reset();
      break;
    }
    case VRKMachCommandLockFile:
      target->lockFile(path);
      break;
    case VRKMachCommandUnlockFile:
      target->unlockFile(path);
      break;
    case VRKMachCommandViewHistoryVersions:
      target->viewHistoryVersions(path);
      break;
    default:
      // 0, 7 (the reply's own command) and anything above 10 are not requests.
      break;
  }
}

void VRKFinderSyncMachBridgeClientSide::replyShouldShowLockMenuItemMachMsg(const void* msg,
                                                                           bool showLock,
                                                                           bool showUnlock,
                                                                           bool isFile) {
  std::optional<PendingReply> pending;
  {
    MutexLock lock(g_replyMutex);
    if (g_pendingReply && g_pendingReply->msg == msg) pending.swap(g_pendingReply);
  }
  if (!pending) {
    NSLog("[FinderSync] ignoring a lock reply for a request that is not being handled: %p", msg);
    return;
  }
  VRKMachReplyMessage reply;
  std::memset(&reply, 0, sizeof reply);
  reply.header.msgh_bits = pending->bits & MACH_MSGH_BITS_REMOTE_MASK;
  reply.header.msgh_size = kVRKMachMessageSize;
  reply.header.msgh_remote_port = pending->replyPort;
  reply.header.msgh_local_port = MACH_PORT_NULL;
  reply.header.msgh_voucher_port = MACH_PORT_NULL;
  // Wraps as the 32-bit field does; a request id near the top must not overflow.
  reply.header.msgh_id = static_cast<mach_msg_id_t>(static_cast<std::uint32_t>(pending->msgId) +
                                                    kVRKMachReplyIdOffset);
  reply.command = VRKMachCommandLockPermissionReply;
  reply.showLock = showLock ? 1 : 0;
  reply.showUnlock = showUnlock ? 1 : 0;
  reply.isFile = isFile ? 1 : 0;
  mach_msg_return_t kr = mach_msg_send(&reply.header);
  if (kr != MACH_MSG_SUCCESS) {
    NSLog("[FinderSync] failed to replyShouldShowLockMenuItemMachMsg to extension, mach error = %s",
          mach_error_string(kr));
  }
}

}  // namespace vrk

using vrk::g_bridge;
using vrk::g_finderSyncListening;
using vrk::g_listeningThread;
using vrk::g_mutex;

extern "C" {

void startMachBridge(vrk::VRKMachBridgeTarget* controller) {
  vrk::MutexLock lock(g_mutex);
  if (g_finderSyncListening.load() != 0) return;
  g_finderSyncListening.fetch_add(1);
  auto bridge = std::make_shared<vrk::VRKFinderSyncMachBridgeClientSide>();
  if (controller) bridge->setDylibInstance(controller->weak_from_this());
  // A listener that is still leaving its loop holds the name until it ends; the new one
  // waits for it so that it registers a free name instead of failing.
  std::weak_ptr<vrk::Thread> previous = g_listeningThread;
  auto thread = vrk::Thread::create(
      [bridge, previous] {
        if (auto running = previous.lock()) running->join();
        bridge->start();
      },
      "VRKFinderSyncMachBridge");
  g_bridge = std::move(bridge);
  g_listeningThread = thread;
  thread->start();
}

void stopMachBridge(void) {
  vrk::MutexLock lock(g_mutex);
  if (g_finderSyncListening.load() == 0) return;
  g_finderSyncListening.fetch_sub(1);
  std::shared_ptr<vrk::VRKFinderSyncMachBridgeClientSide> bridge = g_bridge;
  bridge->requestStop();
  // A thread that is gone has left its loop already (it failed to start).
  if (auto thread = g_listeningThread.lock()) {
    thread->perform([bridge] { bridge->stop(); }, /*waitUntilDone=*/false);
  }
}

void replyShouldShowLockMenuItemMachMsg(const void* msg, bool showLock, bool showUnlock,
                                        bool isFile) {
  std::shared_ptr<vrk::VRKFinderSyncMachBridgeClientSide> bridge;
  {
    vrk::MutexLock lock(g_mutex);
    bridge = g_bridge;
  }
  if (bridge) bridge->replyShouldShowLockMenuItemMachMsg(msg, showLock, showUnlock, isFile);
}

}  // extern "C"
