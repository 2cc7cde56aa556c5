// The listener's handling of one arbitrary datagram: decoding and dispatch to a recording
// target, which answers every lock question as the controller would.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "Platform/Foundation/NSLog.h"
#include "VRKFinderSync/VRKFinderSyncMachBridgeClientSide.h"
#include "VRKFinderSync/VRKMachBridgeTargetRecorder.h"

namespace {

struct Listener {
  Listener() {
    recorder->countOnly = true;
    recorder->onLockQuestion = [this](const std::optional<std::string>&, const void* msg) {
      bridge->replyShouldShowLockMenuItemMachMsg(msg, true, false, true);
    };
    bridge->setDylibInstance(recorder);
  }
  std::shared_ptr<vrk::VRKMachBridgeTargetRecorder> recorder =
      std::make_shared<vrk::VRKMachBridgeTargetRecorder>();
  std::shared_ptr<vrk::VRKFinderSyncMachBridgeClientSide> bridge =
      std::make_shared<vrk::VRKFinderSyncMachBridgeClientSide>();
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The listener logs a line for most datagrams it takes; written out, they would cost more
  // than the decoding under test.
  static vrk::LogSilence silence;
  static Listener listener;
  auto bytes = std::as_bytes(std::span(data, size));
  listener.bridge->handleRequest(bytes);
  return 0;
}
