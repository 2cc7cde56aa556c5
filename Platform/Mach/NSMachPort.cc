#include "Platform/Mach/NSMachPort.h"

#include <string>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Mach/PortSpace.h"

namespace vrk {

std::shared_ptr<NSMachPort> NSMachPort::portWithMachPort(mach_port_t port,
                                                         NSMachPortOptions options) {
  return std::shared_ptr<NSMachPort>(new NSMachPort(port, options));
}

NSMachPort::~NSMachPort() {
  invalidate();
}

void NSMachPort::addToRunLoop(RunLoop& runLoop) {
  if (!valid_ || runLoop_) return;
  auto socket = mach_internal::PortSpace::shared().receive(port_);
  if (!socket) {
    NSLog("[Mach] port %u holds no receive right; it cannot be added to a run loop", port_);
    return;
  }
  int fd = socket->fd();
  std::weak_ptr<NSMachPort> weak = weak_from_this();
  source_ = runLoop.addReadSource(fd, [weak] {
    // Every datagram already queued is served before the loop sleeps again, up to a bound so
    // that the loop's other work (a stop request, a timer) still gets its turn under a flood.
    for (int i = 0; i < kMaxMessagesPerWakeUp; ++i) {
      std::shared_ptr<NSMachPort> self = weak.lock();
      if (!self || !self->valid_ || !self->receiveOne()) break;
    }
  });
  if (!source_) return;
  socket_ = std::move(socket);
  runLoop_ = &runLoop;
}

void NSMachPort::removeFromRunLoop(RunLoop& runLoop) {
  if (runLoop_ != &runLoop) return;
  source_.reset();
  socket_.reset();
  runLoop_ = nullptr;
}

void NSMachPort::invalidate() {
  if (!valid_) return;
  valid_ = false;
  source_.reset();
  socket_.reset();
  runLoop_ = nullptr;
  if (options_ & NSMachPortDeallocateReceiveRight) {
    mach_port_mod_refs(mach_task_self(), port_, MACH_PORT_RIGHT_RECEIVE, -1);
  }
  if (options_ & NSMachPortDeallocateSendRight) mach_port_deallocate(mach_task_self(), port_);
}

bool NSMachPort::receiveOne() {
  constexpr std::size_t kCapacity = kMaxMessageSize + MACH_MSG_TRAILER_MINIMUM_SIZE;
  if (buffer_.empty()) buffer_.resize(kCapacity / sizeof(std::uint64_t));
  auto* msg = reinterpret_cast<mach_msg_header_t*>(buffer_.data());
  mach_msg_return_t mr =
      mach_msg(msg, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, kCapacity, port_, 0, MACH_PORT_NULL);
  if (mr == MACH_RCV_TIMED_OUT) return false;  // only datagrams that were dropped, or none
  if (mr == MACH_RCV_TOO_LARGE) {
    // A flood of them costs a line per burst.
    static LogThrottle& throttle = *new LogThrottle(std::chrono::seconds(1));
    if (std::uint64_t count = throttle.note()) {
      NSLog("[Mach] dropped a message larger than %lu bytes on port %u (%lu since the last line)",
            static_cast<unsigned long>(kMaxMessageSize), port_, static_cast<unsigned long>(count));
    }
    return true;
  }
  if (mr != MACH_MSG_SUCCESS) {
    NSLog("[Mach] receive on port %u failed: %s", port_, mach_error_string(mr));
    return false;
  }
  if (auto delegate = delegate_.lock()) delegate->handleMachMessage(msg);
  mach_msg_destroy(msg);
  return true;
}

NSMachBootstrapServer* NSMachBootstrapServer::sharedInstance() {
  static NSMachBootstrapServer server;
  return &server;
}

bool NSMachBootstrapServer::registerPort(const std::shared_ptr<NSMachPort>& port,
                                         std::string_view name) {
  if (!port || !port->isValid()) return false;
  std::string service(name);
  kern_return_t kr = bootstrap_register(bootstrap_port, service.c_str(), port->machPort());
  if (kr != BOOTSTRAP_SUCCESS) {
    NSLog("[Mach] cannot register %s: %s", service, mach_error_string(kr));
    return false;
  }
  return true;
}

}  // namespace vrk
