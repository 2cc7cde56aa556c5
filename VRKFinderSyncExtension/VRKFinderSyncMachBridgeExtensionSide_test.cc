#include "VRKFinderSyncExtension/VRKFinderSyncMachBridgeExtensionSide.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "Platform/Foundation/NSLog.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk {
namespace {

namespace fs = std::filesystem;

// The library's port, played by a receive right registered under the service name in this
// process.
class ExtensionBridgeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (server_) mach_port_mod_refs(mach_task_self(), server_, MACH_PORT_RIGHT_RECEIVE, -1);
  }

  void StartLibrary() {
    ASSERT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &server_),
              KERN_SUCCESS);
    ASSERT_EQ(bootstrap_register(bootstrap_port, kVRKMachServiceName, server_), BOOTSTRAP_SUCCESS);
  }

  mach_msg_return_t ReceiveRequest(VRKMachReceivedReply* in, mach_msg_timeout_t timeout = 1000) {
    return mach_msg(&in->message.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof *in, server_,
                    timeout, MACH_PORT_NULL);
  }

  // Sends a reply-shaped message with the given id and command to `port`.
  static mach_msg_return_t SendReply(mach_port_t port, mach_msg_type_name_t disposition,
                                     mach_msg_id_t id, std::uint32_t command,
                                     std::uint8_t showLock = 1, std::uint8_t showUnlock = 0,
                                     std::uint8_t isFile = 1) {
    VRKMachReplyMessage reply;
    std::memset(&reply, 0, sizeof reply);
    reply.header.msgh_bits = disposition;
    reply.header.msgh_size = kVRKMachMessageSize;
    reply.header.msgh_remote_port = port;
    reply.header.msgh_id = id;
    reply.command = command;
    reply.showLock = showLock;
    reply.showUnlock = showUnlock;
    reply.isFile = isFile;
    return mach_msg_send(&reply.header);
  }

  TemporaryRoot root_;
  mach_port_t server_ = MACH_PORT_NULL;
  VRKFinderSyncMachBridgeExtensionSide bridge_{std::weak_ptr<FinderSync>()};
};

TEST_F(ExtensionBridgeTest, ConnectsOnceAndSendsTheSameRequestForEachEntryPoint) {
  StartLibrary();
  LogCapture log;
  bridge_.beginObserve("/dir");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "[Finder Sync Extension] Create local port succeeded",
                             "[Finder Sync Extension] connected to dylib",
                         }));
  bridge_.menuItemClicked(VRKMachCommandUnlockFile, "/file");
  bridge_.sendMachMsg(9, "/file");
  EXPECT_EQ(log.lines().size(), 2u);

  VRKMachReceivedReply first, clicked, sent;
  ASSERT_EQ(ReceiveRequest(&first), MACH_MSG_SUCCESS);
  ASSERT_EQ(ReceiveRequest(&clicked), MACH_MSG_SUCCESS);
  ASSERT_EQ(ReceiveRequest(&sent), MACH_MSG_SUCCESS);
  auto& beginRequest = reinterpret_cast<VRKMachRequestMessage&>(first.message);
  EXPECT_EQ(beginRequest.command, 1u);
  EXPECT_STREQ(beginRequest.path, "/dir");
  // Apart from the reply right that each receipt makes, the two requests are the same bytes.
  clicked.message.header.msgh_remote_port = sent.message.header.msgh_remote_port = 0;
  EXPECT_EQ(std::memcmp(&clicked.message, &sent.message, kVRKMachMessageSize), 0);
  EXPECT_EQ(reinterpret_cast<VRKMachRequestMessage&>(sent.message).command, 9u);

  // A path with a NUL inside would reach the library cut short, naming another item.
  bridge_.badgeNotExist4ItemAtPath(std::string("/a\0b", 4));
  EXPECT_EQ(log.countContaining("does not fit the message"), 1u);
  EXPECT_EQ(ReceiveRequest(&sent, 100), MACH_RCV_TIMED_OUT);
}

TEST_F(ExtensionBridgeTest, LockQuestionTakesOnlyTheReply) {
  StartLibrary();
  ASSERT_TRUE(bridge_.connect());
  // Left over from an earlier question: must not be taken as this question's answer.
  const mach_port_t local = bridge_.localPort();
  ASSERT_EQ(SendReply(local, MACH_MSG_TYPE_MAKE_SEND, 100, 7, 0, 0, 0), MACH_MSG_SUCCESS);
  ASSERT_EQ(SendReply(local, MACH_MSG_TYPE_MAKE_SEND, 100, 7, 0, 0, 0), MACH_MSG_SUCCESS);

  std::thread library([&] {
    VRKMachReceivedReply in;
    ASSERT_EQ(ReceiveRequest(&in), MACH_MSG_SUCCESS);
    EXPECT_EQ(reinterpret_cast<VRKMachRequestMessage&>(in.message).command, 6u);
    // Something else arrives first; then the answer through the request's reply right.
    EXPECT_EQ(SendReply(local, MACH_MSG_TYPE_MAKE_SEND, 100, 3), MACH_MSG_SUCCESS);
    EXPECT_EQ(SendReply(local, MACH_MSG_TYPE_MAKE_SEND, 0, 7), MACH_MSG_SUCCESS);
    EXPECT_EQ(SendReply(in.message.header.msgh_remote_port, MACH_MSG_TYPE_MOVE_SEND_ONCE, 100, 7),
              MACH_MSG_SUCCESS);
  });
  LogCapture log;
  VRKLockAnswer answer = bridge_.requestLockableWhenSelectItemAtPath("/item");
  library.join();
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(answer[1], 0);
  EXPECT_EQ(answer[2], 1);
  EXPECT_EQ(log.countContaining("discarded 2 stale messages"), 1u);
  EXPECT_EQ(log.countContaining("not the lock reply"), 2u);
  EXPECT_GE(
      log.indexOf("[Finder Sync Extension] requestLockableWhenSelectItemAtPath, path = /item"), 0);
  EXPECT_GT(log.indexOf("[Finder Sync Extension] 准备接收lock reply"), 0);
  EXPECT_TRUE(
      log.contains("[Finder Sync Extension] extension中收到的Mach msg showLock = 1, showUnlock = "
                   "0, isFile = 1"));
}

// A library that stops draining its port: 300 shown items must not cost 100 ms each, the stall
// is logged once rather than per item, and the first send that goes through ends it.
TEST_F(ExtensionBridgeTest, AStalledLibraryCostsOneTimeOutNotOnePerItem) {
  StartLibrary();
  LogCapture log;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 300; ++i) bridge_.badgeNotExist4ItemAtPath("/r/item" + std::to_string(i));
  // Before, each send past the full queue waited out its 100 ms: 30 s or more.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(log.countContaining("is not draining its port"), 1u);
  EXPECT_EQ(log.countContaining("failed to send command"), 1u);

  // The library catches up: everything queued is read, and the next request goes through.
  VRKMachReceivedReply in;
  int queued = 0;
  while (ReceiveRequest(&in, 0) == MACH_MSG_SUCCESS) ++queued;
  EXPECT_GT(queued, 0);
  bridge_.badgeNotExist4ItemAtPath("/r/after");
  ASSERT_EQ(ReceiveRequest(&in), MACH_MSG_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<VRKMachRequestMessage&>(in.message).path, "/r/after");
  EXPECT_EQ(log.countContaining("drains its port again; " + std::to_string(300 - queued - 1) +
                                " requests were dropped"),
            1u);
  // Sends wait again as before: the connection was kept throughout.
  EXPECT_EQ(log.countContaining("Lost connection with dylib"), 0u);
}

}  // namespace
}  // namespace vrk
