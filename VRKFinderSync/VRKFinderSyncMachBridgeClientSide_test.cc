#include "VRKFinderSync/VRKFinderSyncMachBridgeClientSide.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/NSLog.h"
#include "VRKFinderSync/VRKMachBridgeTargetRecorder.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk {
namespace {

namespace fs = std::filesystem;
using Call = VRKMachBridgeTargetRecorder::Call;

VRKMachRequestMessage Request(std::uint32_t command, std::string_view path) {
  VRKMachRequestMessage m;
  std::memset(&m, 0, sizeof m);
  m.header.msgh_bits = kVRKMachRequestBits;
  m.header.msgh_size = kVRKMachMessageSize;
  m.command = command;
  std::memcpy(m.path, path.data(), std::min(path.size(), sizeof m.path));
  return m;
}

std::span<const std::byte> Bytes(const VRKMachRequestMessage& m) {
  return std::as_bytes(std::span(&m, 1));
}

bool WaitForLog(const LogCapture& log, std::string_view line, std::size_t count = 1) {
  for (int i = 0; i < 2000; ++i) {
    if (log.count(line) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::size_t ThreadCount() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

class MachListenerTest : public ::testing::Test {
 protected:
  void SetUp() override { bridge_->setDylibInstance(recorder_); }

  // Sends one request to the running listener through the bootstrap name.
  void SendToListener(std::uint32_t command, std::string_view path) {
    mach_port_t remote = MACH_PORT_NULL;
    ASSERT_EQ(bootstrap_look_up(bootstrap_port, kVRKMachServiceName, &remote), BOOTSTRAP_SUCCESS);
    VRKMachRequestMessage m = Request(command, path);
    m.header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, 0);
    m.header.msgh_remote_port = remote;
    EXPECT_EQ(mach_msg(&m.header, MACH_SEND_MSG | MACH_SEND_TIMEOUT, sizeof m, 0, 0, 1000, 0),
              MACH_MSG_SUCCESS);
    mach_port_deallocate(mach_task_self(), remote);
  }

  TemporaryRoot root_;
  std::shared_ptr<VRKMachBridgeTargetRecorder> recorder_ =
      std::make_shared<VRKMachBridgeTargetRecorder>();
  std::shared_ptr<VRKFinderSyncMachBridgeClientSide> bridge_ =
      std::make_shared<VRKFinderSyncMachBridgeClientSide>();
};

TEST_F(MachListenerTest, FramesThatAreNotOneRequestAreDropped) {
  LogCapture log;
  for (std::size_t size : {0, 1, 4, 1055, 1057, 4096, 65536}) {
    std::vector<std::byte> frame(size, std::byte{6});
    EXPECT_FALSE(VRKParseMachRequest(frame).has_value()) << size;
  }
  // One line for the burst; the rest are counted for the next line.
  EXPECT_EQ(log.countContaining("[FinderSync] dropped a request of"), 1u);
  EXPECT_EQ(log.countContaining("handleMachMessage"), 0u);
}

TEST_F(MachListenerTest, PathIsReadUpToItsNulAndOnlyAsUTF8) {
  struct Case {
    std::string field;
    std::optional<std::string> path;
  };
  const std::string longest(1023, 'a');
  const std::vector<Case> cases = {
      {"/a/b", "/a/b"},
      {"", ""},
      {std::string("/x\0junk", 7), "/x"},
      {longest, longest},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {std::string(1024, 'a'), std::nullopt},  // no NUL inside the field
      {"\xC0\xAF", std::nullopt},              // overlong
      {"\xED\xA0\x80", std::nullopt},          // surrogate
      {"/cut\xE2\x82", std::nullopt},          // cut sequence
      {"\xFF", std::nullopt},
  };
  for (const Case& c : cases) {
    LogCapture log;
    VRKMachRequestMessage m = Request(3, c.field);
    m.header.msgh_remote_port = 0x1234;
    m.header.msgh_id = 5;
    auto request = VRKParseMachRequest(Bytes(m));
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->path, c.path) << c.field;
    EXPECT_EQ(request->command, 3u);
    EXPECT_EQ(request->replyPort, 0x1234u);
    EXPECT_EQ(request->msgId, 5);
    // A path that had to be dropped is said in the log.
    EXPECT_EQ(log.countContaining("using nil"), c.path ? 0u : 1u) << c.field;
  }
}

TEST_F(MachListenerTest, EachCommandReachesItsOperation) {
  LogCapture log;
  const std::uint32_t commands[] = {1, 2, 3, 4, 5, 6, 8, 9, 10, 0, 7, 11, 0xFFFFFFFF};
  for (std::uint32_t command : commands) {
    auto m = Request(command, "/p" + std::to_string(command));
    bridge_->handleRequest(Bytes(m));
  }
  const std::vector<Call> expected = {
      {"notifyPythonBeginObserve", "/p1"},
      {"notifyPythonEndObserve", "/p2"},
      {"notifyPythonBadgeNotExist4ItemAtPath", "/p3"},
      {"shareLink", "/p4"},
      {"viewOnWebsite", "/p5"},
      {"requestPythonItemLockPermissionAtPath", "/p6"},
      {"lockFile", "/p8"},
      {"unlockFile", "/p9"},
      {"viewHistoryVersions", "/p10"},
  };
  EXPECT_EQ(recorder_->calls(), expected);
  for (std::uint32_t command : commands) {
    EXPECT_EQ(log.count("[FinderSync] handleMachMessage, command = " + std::to_string(command)),
              1u);
  }

  // Without a live target nothing is dispatched, and nothing breaks.
  recorder_.reset();
  auto m = Request(1, "/gone");
  bridge_->handleRequest(Bytes(m));
}

// The extension's side of a lock question, played by a plain socket so that the reply can be
// read exactly as it travels.
TEST_F(MachListenerTest, LockReplyIsBuiltFromTheRequestAndSentOnce) {
  mach_port_t server = MACH_PORT_NULL;
  ASSERT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &server), KERN_SUCCESS);
  ASSERT_EQ(bootstrap_register(bootstrap_port, kVRKMachServiceName, server), BOOTSTRAP_SUCCESS);
  int client = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un any{};
  any.sun_family = AF_UNIX;
  ASSERT_EQ(::bind(client, reinterpret_cast<sockaddr*>(&any), sizeof(sa_family_t)), 0);
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  std::string path = (root_ / "var/run/bootstrap" / kVRKMachServiceName).string();
  std::strncpy(to.sun_path, path.c_str(), sizeof to.sun_path - 1);

  auto ask = [&](VRKMachReceivedReply* received) {
    VRKMachRequestMessage m = Request(6, "/item");
    ASSERT_EQ(::sendto(client, &m, sizeof m, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(sizeof m));
    ASSERT_EQ(mach_msg(&received->message.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0,
                       sizeof *received, server, 1000, MACH_PORT_NULL),
              MACH_MSG_SUCCESS);
  };

  LogCapture log;
  recorder_->onLockQuestion = [&](const std::optional<std::string>&, const void* msg) {
    bridge_->replyShouldShowLockMenuItemMachMsg(msg, true, false, true);
    // One answer per question.
    bridge_->replyShouldShowLockMenuItemMachMsg(msg, false, true, false);
  };
  VRKMachReceivedReply request;
  ask(&request);
  bridge_->handleRequest(
      std::span(reinterpret_cast<const std::byte*>(&request), request.message.header.msgh_size));
  EXPECT_EQ(log.countContaining("ignoring a lock reply"), 1u);

  unsigned char reply[2000];
  ASSERT_EQ(::recv(client, reply, sizeof reply, MSG_DONTWAIT), 1056);
  EXPECT_EQ(::recv(client, reply + 1056, sizeof reply - 1056, MSG_DONTWAIT), -1);
  VRKMachReplyMessage expected;
  std::memset(&expected, 0, sizeof expected);
  expected.header.msgh_bits = MACH_MSG_TYPE_MOVE_SEND_ONCE;
  expected.header.msgh_size = 1056;
  expected.header.msgh_id = 100;
  expected.command = 7;
  expected.showLock = 1;
  expected.isFile = 1;
  // The remote field carries the library's own name for the reply right; it means nothing to
  // the extension and is left out of the comparison.
  std::memcpy(&expected.header.msgh_remote_port, reply + 8, 4);
  EXPECT_EQ(std::memcmp(reply, &expected, sizeof expected), 0);

  // A reply whose asker has gone is logged as the failed send it is.
  recorder_->onLockQuestion = [&](const std::optional<std::string>&, const void* msg) {
    ::close(client);
    bridge_->replyShouldShowLockMenuItemMachMsg(msg, true, true, true);
  };
  ask(&request);
  bridge_->handleRequest(
      std::span(reinterpret_cast<const std::byte*>(&request), request.message.header.msgh_size));
  EXPECT_TRUE(log.contains(
      "[FinderSync] failed to replyShouldShowLockMenuItemMachMsg to extension, mach error = "
      "(ipc/send) invalid destination port"));
  mach_port_mod_refs(mach_task_self(), server, MACH_PORT_RIGHT_RECEIVE, -1);
}

TEST_F(MachListenerTest, StopWithoutStartAndReplyBeforeStartDoNothing) {
  LogCapture log;
  const std::size_t threads = ThreadCount();
  stopMachBridge();
  int msg = 0;
  replyShouldShowLockMenuItemMachMsg(&msg, true, true, true);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(MachListenerTest, TwoStartsGiveOneListener) {
  LogCapture log;
  auto ignored = std::make_shared<VRKMachBridgeTargetRecorder>();
  startMachBridge(recorder_.get());
  ASSERT_TRUE(WaitForLog(log, "[FinderSync] mach port registered"));
  // Counted with the listener running, so that threads a sanitizer starts on its own are in
  // both counts.
  const std::size_t withListener = ThreadCount();
  startMachBridge(ignored.get());
  EXPECT_EQ(ThreadCount(), withListener);
  SendToListener(4, "/shared");
  ASSERT_TRUE(recorder_->waitForCount(1));
  EXPECT_EQ(ignored->count(), 0u);

  stopMachBridge();
  ASSERT_TRUE(WaitForLog(log, "[FinderSync] mach port unregistered"));
  EXPECT_EQ(log.count("[FinderSync] mach port registered"), 1u);
  for (int i = 0; i < 400 && ThreadCount() != withListener - 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(ThreadCount(), withListener - 1);
  EXPECT_FALSE(fs::exists(root_ / "var/run/bootstrap" / kVRKMachServiceName));
}

TEST_F(MachListenerTest, StartStopStartRegistersAnew) {
  LogCapture log;
  startMachBridge(recorder_.get());
  ASSERT_TRUE(WaitForLog(log, "[FinderSync] mach port registered"));
  // The restart comes at once, while the first listener may still be leaving its loop.
  stopMachBridge();
  startMachBridge(recorder_.get());
  ASSERT_TRUE(WaitForLog(log, "[FinderSync] mach port registered", 2));
  EXPECT_EQ(log.count("[FinderSync] mach port unregistered"), 1u);
  EXPECT_EQ(log.countContaining("failed"), 0u);
  SendToListener(9, "/again");
  ASSERT_TRUE(recorder_->waitForCount(1));
  EXPECT_EQ(recorder_->calls(), (std::vector<Call>{{"unlockFile", "/again"}}));

  stopMachBridge();
  ASSERT_TRUE(WaitForLog(log, "[FinderSync] mach port unregistered", 2));
}

}  // namespace
}  // namespace vrk
