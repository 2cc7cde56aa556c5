// The library's end of the Mach bridge: a listening thread with its own run loop that
// registers the bridge's service name and dispatches each request of the extension to the
// controller, and the three exported functions that start it, stop it and send the answer to
// the lock question.
//
// Contract:
// - startMachBridge and stopMachBridge may be called from any thread. A start while the
//   listener runs (or failed to start and was not stopped) does nothing; a start right after
//   a stop lets the previous listening thread release the name before the new one takes it.
// - Requests are handled one at a time, in arrival order, on the listening thread; the
//   controller's operation runs to its end before the next request is read.
// - replyShouldShowLockMenuItemMachMsg answers only the lock question being handled at that
//   moment (from any thread, while its dispatch has not returned). Any other pointer is
//   logged and ignored; the pointer is compared, never read.
// - Malformed requests are dropped with a log line; the listener keeps serving.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "Contract/VRKMachMessage.h"
#include "Platform/Mach/NSMachPort.h"
#include "VRKFinderSync/VRKMachBridgeTarget.h"

// Exported from libVRKFinderSync.so whatever the default visibility of the build.
#define VRK_MACH_BRIDGE_EXPORT __attribute__((visibility("default")))

namespace vrk {

class RunLoop;

// What the listener takes from one request of the extension.
struct VRKMachRequest {
  std::uint32_t command = 0;
  // nil when the path field holds no NUL or is not UTF-8.
  std::optional<std::string> path;
  // What a reply needs, copied out so that no reply reads the request after its dispatch.
  mach_msg_bits_t bits = 0;
  mach_port_t replyPort = MACH_PORT_NULL;
  mach_msg_id_t msgId = 0;
};

// Decodes a received request: its header and body, without the trailer. nullopt, with a log
// line, unless it is exactly one request long.
VRK_MACH_BRIDGE_EXPORT std::optional<VRKMachRequest> VRKParseMachRequest(
    std::span<const std::byte> message);

class VRK_MACH_BRIDGE_EXPORT VRKFinderSyncMachBridgeClientSide final
    : public NSMachPortDelegate,
      public std::enable_shared_from_this<VRKFinderSyncMachBridgeClientSide> {
 public:
  VRKFinderSyncMachBridgeClientSide() = default;

  std::shared_ptr<NSMachPort> listenerPort() const { return listenerPort_; }
  void setListenerPort(std::shared_ptr<NSMachPort> port) { listenerPort_ = std::move(port); }
  std::shared_ptr<VRKMachBridgeTarget> dylibInstance() const { return dylibInstance_.lock(); }
  void setDylibInstance(std::weak_ptr<VRKMachBridgeTarget> target) {
    dylibInstance_ = std::move(target);
  }

  // How often a listener whose name is held by another client tries it again.
  static constexpr std::chrono::milliseconds kRegisterRetryInterval{200};

  // The body of the listening thread; returns when the listener has stopped or failed. While
  // another client holds the name, it keeps trying to register until the name is free.
  void start();
  // Stops the calling thread's run loop; performed on the listening thread.
  void stop();
  // Makes the listening loop end at its next test (set by stopMachBridge before stop runs).
  void requestStop() { stopRequested_ = true; }

  void handleMachMessage(void* msg) override;
  // Decodes and dispatches one request. A lock question reaches the controller with a handle
  // of its own, which the reply must name.
  void handleRequest(std::span<const std::byte> message);
  void replyShouldShowLockMenuItemMachMsg(const void* msg, bool showLock, bool showUnlock,
                                          bool isFile);

 private:
  // Retries the registration until it succeeds (true) or a stop is requested (false).
  bool waitForFreeName(RunLoop& runLoop);

  std::shared_ptr<NSMachPort> listenerPort_;
  std::weak_ptr<VRKMachBridgeTarget> dylibInstance_;
  std::atomic<bool> stopRequested_{false};
};

}  // namespace vrk

extern "C" {
// Starts the listener with `controller` as its target, held weakly (through weak_from_this, so
// the controller must be owned by a std::shared_ptr).
VRK_MACH_BRIDGE_EXPORT void startMachBridge(vrk::VRKMachBridgeTarget* controller);
VRK_MACH_BRIDGE_EXPORT void stopMachBridge(void);
VRK_MACH_BRIDGE_EXPORT void replyShouldShowLockMenuItemMachMsg(const void* msg, bool showLock,
                                                               bool showUnlock, bool isFile);
}
