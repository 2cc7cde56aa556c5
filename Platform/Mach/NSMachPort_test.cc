#include "Platform/Mach/NSMachPort.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Mach/PortSpace.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk {
namespace {

namespace fs = std::filesystem;

struct Message {
  mach_msg_header_t header;
  std::uint32_t value;
};

// Records what the port delivers, and on which thread.
class RecordingDelegate : public NSMachPortDelegate {
 public:
  void handleMachMessage(void* msg) override {
    std::lock_guard lock(mutex_);
    auto* m = static_cast<Message*>(msg);
    values.push_back(m->value);
    sizes.push_back(m->header.msgh_size);
    replyRightHeld =
        mach_internal::PortSpace::shared().find(m->header.msgh_remote_port).has_value();
    thread = Thread::current();
    changed_.notify_all();
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return values.size() >= count; });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::uint32_t> values;
  std::vector<std::uint32_t> sizes;
  bool replyRightHeld = false;
  std::shared_ptr<Thread> thread;
};

class NSMachPortTest : public ::testing::Test {
 protected:
  TemporaryRoot root_;
};

TEST_F(NSMachPortTest, DeliversOnItsRunLoopAndReleasesTheRightOnInvalidate) {
  auto delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<NSMachPort> port;
  mach_port_t name = MACH_PORT_NULL;
  std::mutex ready;
  std::condition_variable readyChanged;
  bool registered = false;
  auto listener = Thread::create([&] {
    ASSERT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &name), KERN_SUCCESS);
    port = NSMachPort::portWithMachPort(name, NSMachPortDeallocateReceiveRight);
    port->setDelegate(delegate);
    {
      std::lock_guard lock(ready);
      registered = NSMachBootstrapServer::sharedInstance()->registerPort(port, "port.test");
      readyChanged.notify_all();
    }
    port->addToRunLoop(RunLoop::current());
    RunLoop::current().run();
    port->invalidate();
  });
  listener->start();
  {
    std::unique_lock lock(ready);
    readyChanged.wait(lock, [&] { return registered; });
  }

  LogCapture log;
  // Raw frames from a plain socket: one too long for the port, then two good messages with a
  // reply address so that the port has a reply right to release.
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, (root_ / "var/run/bootstrap/port.test").c_str(),
               sizeof addr.sun_path - 1);
  std::vector<char> big(65536, 0);
  ASSERT_EQ(
      ::sendto(fd, big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr),
      65536);
  for (std::uint32_t v : {11u, 12u}) {
    Message m{};
    m.value = v;
    ASSERT_EQ(::sendto(fd, &m, sizeof m, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr),
              static_cast<ssize_t>(sizeof m));
  }
  ASSERT_TRUE(delegate->waitFor(2));
  ::close(fd);
  EXPECT_EQ(delegate->values, (std::vector<std::uint32_t>{11, 12}));
  EXPECT_EQ(delegate->sizes, (std::vector<std::uint32_t>{sizeof(Message), sizeof(Message)}));
  EXPECT_TRUE(delegate->replyRightHeld);
  EXPECT_EQ(delegate->thread, listener);
  EXPECT_EQ(log.countContaining("dropped a message larger than 4096 bytes"), 1u);

  listener->runLoop()->stop();
  listener->join();
  // The receive right went with the port, and with it the name; no reply right was kept.
  EXPECT_FALSE(mach_internal::PortSpace::shared().find(name).has_value());
  EXPECT_FALSE(fs::exists(root_ / "var/run/bootstrap/port.test"));
  EXPECT_EQ(mach_internal::PortSpace::shared().sizeForTesting(), 0u);
}

}  // namespace
}  // namespace vrk
