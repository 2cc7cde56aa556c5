// The extension's end of the Mach bridge: one-way commands to the host library, and the lock
// question that waits for the library's answer.
//
// Contract:
// - Owned by the extension's controller (FinderSync), which it holds weakly. Not safe for use
//   from two threads at once; the controller calls it on its main thread.
// - It connects lazily: the first request creates its receive right and looks the library's
//   service up; a send that finds the library gone drops the send right so that the next
//   request looks it up again. Failures are logged and never reported to the caller.
// - requestLockableWhenSelectItemAtPath blocks the calling thread for at most about one second
//   (plus the 100 ms send time-out) and returns the three-byte answer or null.
// - A library that stops draining its port (a blocked observer, a stopped process) must not
//   cost the file manager 100 ms per item: after one send times out, sends to that port no
//   longer wait, and requests that find the queue full are dropped, with one line when the stall
//   begins and one when a send goes through again.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "Contract/VRKMachMessage.h"

namespace vrk {

class FinderSync;

// The lock answer: showLock, showUnlock and isFile at indexes 0, 1 and 2, non-zero meaning
// yes. Allocated with malloc; the holder's free releases it.
struct VRKLockAnswerFree {
  void operator()(std::uint8_t* bytes) const { std::free(bytes); }
};
using VRKLockAnswer = std::unique_ptr<std::uint8_t[], VRKLockAnswerFree>;

// Fills `request` with the request for `command` and `path`. False when the path cannot be
// carried whole: longer than 1023 bytes, or with a NUL inside (the library would act on a
// shorter path, that is, on another item).
bool VRKEncodeMachRequest(long command, std::string_view path, mach_port_t remote,
                          mach_port_t local, VRKMachRequestMessage* request);

class VRKFinderSyncMachBridgeExtensionSide {
 public:
  // How long the lock question waits for the library's answer.
  static constexpr std::chrono::milliseconds kLockReplyWait{1000};

  explicit VRKFinderSyncMachBridgeExtensionSide(std::weak_ptr<FinderSync> finderSync);
  // Releases both rights: nothing can use them once the object is gone.
  ~VRKFinderSyncMachBridgeExtensionSide();
  VRKFinderSyncMachBridgeExtensionSide(const VRKFinderSyncMachBridgeExtensionSide&) = delete;
  VRKFinderSyncMachBridgeExtensionSide& operator=(const VRKFinderSyncMachBridgeExtensionSide&) =
      delete;

  // True when the receive right and the send right to the library are both held.
  bool connect();
  // Drops the send right to the library, if one is held.
  void cleanInvaildConnection();
  // Sends one request and waits for no reply.
  void sendMachMsg(long command, std::string_view path);
  void menuItemClicked(VRKExtensionAndDylibMachCommandType command, std::string_view path);
  void beginObserve(std::string_view path);
  void endObserve(std::string_view path);
  void badgeNotExist4ItemAtPath(std::string_view path);
  // Asks whether to offer Lock and Unlock for the item; null when there is no answer.
  VRKLockAnswer requestLockableWhenSelectItemAtPath(std::string_view path);

  mach_port_t localPort() const { return local_port_; }
  mach_port_t remotePort() const { return remote_port_; }

 private:
  // Builds and sends a request; false when the path was refused (already logged).
  bool buildRequest(long command, std::string_view path, VRKMachRequestMessage* request);
  mach_msg_return_t send(VRKMachRequestMessage* request);
  void discardStaleMessages();
  // Gives up the receive right after a lock question timed out (a fresh one is made on the
  // next request), so that the question's late reply cannot be read as a later answer.
  void retireLocalPort();

  std::weak_ptr<FinderSync> finder_sync_;
  mach_port_t local_port_ = MACH_PORT_NULL;
  mach_port_t remote_port_ = MACH_PORT_NULL;
  // Set from a timed-out send until a send goes through; the requests dropped meanwhile.
  bool stalled_ = false;
  unsigned long droppedWhileStalled_ = 0;
};

}  // namespace vrk
