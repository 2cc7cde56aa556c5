// NSMachPort and NSMachBootstrapServer: a port object that delivers the messages of a receive
// right to its delegate on a run loop, and the registration of such a port under a bootstrap
// name.
//
// Contract:
// - An NSMachPort is shared (std::shared_ptr); it holds its delegate weakly, as Cocoa does.
// - A port added to a run loop receives on that loop's thread: one message per pass of the
//   loop, handed to the delegate's handleMachMessage as a pointer to the message (header,
//   msgh_size bytes in all, then the 8-byte trailer). The pointer is valid only during the
//   call; a reply right that the delegate did not use is released when it returns. Datagrams
//   that are not messages are dropped with a log line and the port keeps receiving.
// - addToRunLoop, removeFromRunLoop and invalidate must be called on the thread of the loop
//   the port is added to (any thread while it is on none). invalidate releases the rights
//   named by the options; it is also done when the last reference goes.
// - NSMachBootstrapServer::registerPort returns false (with a log line for the reason) when
//   the name is held by a live receiver or the bootstrap folder or path is refused.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "Platform/Foundation/RunLoop.h"
#include "Platform/Mach/Mach.h"

namespace vrk {

class NSMachPortDelegate {
 public:
  virtual ~NSMachPortDelegate() = default;
  virtual void handleMachMessage(void* msg) = 0;
};

enum NSMachPortOptions : std::uint32_t {
  NSMachPortDeallocateNone = 0,
  NSMachPortDeallocateSendRight = 1u << 0,
  NSMachPortDeallocateReceiveRight = 1u << 1,
};

class NSMachPort : public std::enable_shared_from_this<NSMachPort> {
 public:
  // The largest message a port delivers; longer datagrams are dropped as truncated.
  static constexpr std::size_t kMaxMessageSize = 4096;

  static std::shared_ptr<NSMachPort> portWithMachPort(mach_port_t port, NSMachPortOptions options);
  ~NSMachPort();
  NSMachPort(const NSMachPort&) = delete;
  NSMachPort& operator=(const NSMachPort&) = delete;

  mach_port_t machPort() const { return port_; }
  void setDelegate(std::weak_ptr<NSMachPortDelegate> delegate) { delegate_ = std::move(delegate); }
  std::shared_ptr<NSMachPortDelegate> delegate() const { return delegate_.lock(); }

  // addPort:forMode: / removePort:forMode:. A port is on at most one loop.
  void addToRunLoop(RunLoop& runLoop);
  void removeFromRunLoop(RunLoop& runLoop);
  void invalidate();
  bool isValid() const { return valid_; }

 private:
  NSMachPort(mach_port_t port, NSMachPortOptions options) : port_(port), options_(options) {}
  // Receives and handles one queued message; false when none was waiting (or receiving failed).
  [[nodiscard]] bool receiveOne();
  static constexpr int kMaxMessagesPerWakeUp = 64;

  const mach_port_t port_;
  const NSMachPortOptions options_;
  bool valid_ = true;
  std::weak_ptr<NSMachPortDelegate> delegate_;
  RunLoop* runLoop_ = nullptr;
  RunLoopSource source_;
  std::shared_ptr<void> socket_;  // keeps the watched descriptor open while the source lives
  std::vector<std::uint64_t> buffer_;
};

class NSMachBootstrapServer {
 public:
  static NSMachBootstrapServer* sharedInstance();
  // registerPort:name:. The port must wrap a receive right of this process that has not sent.
  [[nodiscard]] bool registerPort(const std::shared_ptr<NSMachPort>& port, std::string_view name);

 private:
  NSMachBootstrapServer() = default;
};

}  // namespace vrk
