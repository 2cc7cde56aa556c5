#include "Platform/Mach/Mach.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Mach/PortSpace.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A message of the bridge's size, enough for everything the layer does.
struct TestMessage {
  mach_msg_header_t header;
  std::uint32_t body[8];
};
struct TestReceived {
  TestMessage message;
  mach_msg_trailer_t trailer;
};

mach_port_t NewReceiveRight() {
  mach_port_t name = MACH_PORT_NULL;
  EXPECT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &name), KERN_SUCCESS);
  return name;
}

mach_msg_return_t Send(mach_port_t remote, mach_msg_type_name_t remoteType, mach_port_t local,
                       std::uint32_t value, mach_msg_option_t extra = 0,
                       mach_msg_timeout_t timeout = 0) {
  TestMessage m{};
  m.header.msgh_bits = MACH_MSGH_BITS(remoteType, local ? MACH_MSG_TYPE_MAKE_SEND_ONCE : 0);
  m.header.msgh_remote_port = remote;
  m.header.msgh_local_port = local;
  m.header.msgh_id = 42;
  m.body[0] = value;
  return mach_msg(&m.header, MACH_SEND_MSG | extra, sizeof m, 0, MACH_PORT_NULL, timeout,
                  MACH_PORT_NULL);
}

mach_msg_return_t Receive(mach_port_t port, TestReceived* out, mach_msg_timeout_t timeout = 1000) {
  return mach_msg(&out->message.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof *out, port,
                  timeout, MACH_PORT_NULL);
}

// Every test gets its own emulated root, so bootstrap names never meet across tests.
class MachTest : public ::testing::Test {
 protected:
  fs::path bootstrapDir() const { return root_ / "var/run/bootstrap"; }

  // Sends raw bytes to a registered name from a plain socket, as a foreign process would.
  void SendRaw(const std::string& name, const void* data, std::size_t size) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, (bootstrapDir() / name).c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::sendto(fd, data, size, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr),
              static_cast<ssize_t>(size));
    ::close(fd);
  }

  TemporaryRoot root_;
};

TEST_F(MachTest, RightsFollowMachReferenceRules) {
  const mach_port_t task = mach_task_self();
  mach_port_t port = NewReceiveRight();
  EXPECT_EQ(mach_port_deallocate(task, port), KERN_INVALID_RIGHT);  // receive only
  EXPECT_EQ(mach_port_insert_right(task, port, port, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
  EXPECT_EQ(mach_port_insert_right(task, port, port, MACH_MSG_TYPE_COPY_SEND), KERN_INVALID_VALUE);
  EXPECT_EQ(mach_port_mod_refs(task, port, MACH_PORT_RIGHT_RECEIVE, -2), KERN_INVALID_VALUE);
  EXPECT_EQ(mach_port_allocate(task, MACH_PORT_RIGHT_SEND, &port), KERN_INVALID_VALUE);
  EXPECT_EQ(mach_port_allocate(task + 1, MACH_PORT_RIGHT_RECEIVE, &port), KERN_INVALID_TASK);

  // Releasing the receive right leaves a dead name: sends fail, the send reference still
  // has to be released, and then the name is gone.
  EXPECT_EQ(mach_port_mod_refs(task, port, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
  EXPECT_EQ(Send(port, MACH_MSG_TYPE_COPY_SEND, MACH_PORT_NULL, 1), MACH_SEND_INVALID_DEST);
  EXPECT_EQ(mach_port_deallocate(task, port), KERN_SUCCESS);
  EXPECT_EQ(mach_port_deallocate(task, port), KERN_INVALID_NAME);
  EXPECT_EQ(mach_port_mod_refs(task, port, MACH_PORT_RIGHT_RECEIVE, -1), KERN_INVALID_NAME);

  // A new right never takes the old name.
  mach_port_t again = NewReceiveRight();
  EXPECT_NE(again, port);
  EXPECT_EQ(mach_port_mod_refs(task, again, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
}

TEST_F(MachTest, ReceiptRewritesTheHeaderAndTheReplyRightIsUsedOnce) {
  const mach_port_t task = mach_task_self();
  mach_port_t server = NewReceiveRight();
  mach_port_t client = NewReceiveRight();
  ASSERT_EQ(mach_port_insert_right(task, server, server, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
  const std::size_t before = mach_internal::PortSpace::shared().sizeForTesting();

  ASSERT_EQ(Send(server, MACH_MSG_TYPE_COPY_SEND, client, 7), MACH_MSG_SUCCESS);
  TestReceived in;
  std::memset(&in, 0xAB, sizeof in);
  ASSERT_EQ(Receive(server, &in), MACH_MSG_SUCCESS);
  EXPECT_EQ(in.message.header.msgh_bits,
            MACH_MSGH_BITS(MACH_MSG_TYPE_PORT_SEND_ONCE, MACH_MSG_TYPE_PORT_SEND));
  EXPECT_EQ(in.message.header.msgh_size, sizeof(TestMessage));
  EXPECT_EQ(in.message.header.msgh_local_port, server);
  EXPECT_EQ(in.message.header.msgh_voucher_port, MACH_PORT_NULL);
  EXPECT_EQ(in.message.header.msgh_id, 42);
  EXPECT_EQ(in.message.body[0], 7u);
  EXPECT_EQ(in.trailer.msgh_trailer_type, MACH_MSG_TRAILER_FORMAT_0);
  EXPECT_EQ(in.trailer.msgh_trailer_size, 8u);
  const mach_port_t reply = in.message.header.msgh_remote_port;
  ASSERT_NE(reply, MACH_PORT_NULL);
  EXPECT_NE(reply, client);

  // The reply reaches the client through the send-once right, which is then spent.
  ASSERT_EQ(Send(reply, MACH_MSG_TYPE_MOVE_SEND_ONCE, MACH_PORT_NULL, 8), MACH_MSG_SUCCESS);
  EXPECT_EQ(Send(reply, MACH_MSG_TYPE_MOVE_SEND_ONCE, MACH_PORT_NULL, 9), MACH_SEND_INVALID_DEST);
  TestReceived answer;
  ASSERT_EQ(Receive(client, &answer), MACH_MSG_SUCCESS);
  EXPECT_EQ(answer.message.body[0], 8u);
  // Sent without a reply right: the receiver gets none.
  EXPECT_EQ(answer.message.header.msgh_remote_port, MACH_PORT_NULL);
  EXPECT_EQ(MACH_MSGH_BITS_REMOTE(answer.message.header.msgh_bits), 0u);
  EXPECT_EQ(mach_internal::PortSpace::shared().sizeForTesting(), before);

  // A message that is not answered gives its reply right back when destroyed.
  ASSERT_EQ(Send(server, MACH_MSG_TYPE_COPY_SEND, client, 10), MACH_MSG_SUCCESS);
  ASSERT_EQ(Receive(server, &in), MACH_MSG_SUCCESS);
  EXPECT_EQ(mach_internal::PortSpace::shared().sizeForTesting(), before + 1);
  mach_msg_destroy(&in.message.header);
  EXPECT_EQ(mach_internal::PortSpace::shared().sizeForTesting(), before);

  mach_port_mod_refs(task, server, MACH_PORT_RIGHT_RECEIVE, -1);
  mach_port_deallocate(task, server);
  mach_port_mod_refs(task, client, MACH_PORT_RIGHT_RECEIVE, -1);
}

TEST_F(MachTest, MalformedSendsAndReceivesFailWithMachCodes) {
  mach_port_t port = NewReceiveRight();
  TestMessage m{};
  m.header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_MAKE_SEND, 0);
  m.header.msgh_remote_port = port;
  EXPECT_EQ(mach_msg(&m.header, MACH_SEND_MSG, 20, 0, 0, 0, 0), MACH_SEND_MSG_TOO_SMALL);
  EXPECT_EQ(mach_msg(&m.header, MACH_SEND_MSG, 26, 0, 0, 0, 0), MACH_SEND_MSG_TOO_SMALL);
  EXPECT_EQ(Send(0x7fff0000, MACH_MSG_TYPE_COPY_SEND, MACH_PORT_NULL, 1), MACH_SEND_INVALID_DEST);
  EXPECT_EQ(Send(port, MACH_MSG_TYPE_COPY_SEND, MACH_PORT_NULL, 1), MACH_SEND_INVALID_DEST);
  EXPECT_EQ(Send(port, MACH_MSG_TYPE_MAKE_SEND, 0x7fff0000, 1), MACH_SEND_INVALID_REPLY);

  TestReceived in;
  EXPECT_EQ(Receive(0x7fff0000, &in), MACH_RCV_INVALID_NAME);
  auto start = Clock::now();
  EXPECT_EQ(Receive(port, &in, 50), MACH_RCV_TIMED_OUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(45));

  // A message that does not fit the buffer with its trailer is discarded, not left queued.
  ASSERT_EQ(Send(port, MACH_MSG_TYPE_MAKE_SEND, MACH_PORT_NULL, 1), MACH_MSG_SUCCESS);
  EXPECT_EQ(mach_msg(&in.message.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof(TestMessage),
                     port, 0, MACH_PORT_NULL),
            MACH_RCV_TOO_LARGE);
  EXPECT_EQ(Receive(port, &in, 0), MACH_RCV_TIMED_OUT);
  mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_RECEIVE, -1);
}

TEST_F(MachTest, FullQueueTimesOutWakesWhenDrainedAndNeverHoldsAReply) {
  mach_port_t port = NewReceiveRight();
  mach_port_t client = NewReceiveRight();
  ASSERT_EQ(Send(port, MACH_MSG_TYPE_MAKE_SEND, client, 1), MACH_MSG_SUCCESS);
  TestReceived request;
  ASSERT_EQ(Receive(port, &request), MACH_MSG_SUCCESS);
  int queued = 0;
  while (Send(port, MACH_MSG_TYPE_MAKE_SEND, MACH_PORT_NULL, 1, MACH_SEND_TIMEOUT, 0) ==
         MACH_MSG_SUCCESS) {
    ASSERT_LT(++queued, 100000);
  }
  EXPECT_GT(queued, 0);

  auto start = Clock::now();
  EXPECT_EQ(Send(port, MACH_MSG_TYPE_MAKE_SEND, MACH_PORT_NULL, 1, MACH_SEND_TIMEOUT, 100),
            MACH_SEND_TIMED_OUT);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(90));
  EXPECT_LT(waited, std::chrono::seconds(5));

  // A reply into a full queue fails at once: the one answering must not stall.
  while (Send(client, MACH_MSG_TYPE_MAKE_SEND, MACH_PORT_NULL, 1, MACH_SEND_TIMEOUT, 0) ==
         MACH_MSG_SUCCESS) {
  }
  start = Clock::now();
  EXPECT_EQ(Send(request.message.header.msgh_remote_port, MACH_MSG_TYPE_MOVE_SEND_ONCE,
                 MACH_PORT_NULL, 2),
            MACH_SEND_NO_BUFFER);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));

  // A sender that waits without a bound goes on as soon as the receiver takes one message.
  std::thread drain([port] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    TestReceived in;
    EXPECT_EQ(Receive(port, &in), MACH_MSG_SUCCESS);
  });
  EXPECT_EQ(Send(port, MACH_MSG_TYPE_MAKE_SEND, MACH_PORT_NULL, 2), MACH_MSG_SUCCESS);
  drain.join();
  mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_RECEIVE, -1);
  mach_port_mod_refs(mach_task_self(), client, MACH_PORT_RIGHT_RECEIVE, -1);
}

TEST_F(MachTest, BootstrapNamesFindOnlyLiveReceivers) {
  const char* name = "com.example.service";
  mach_port_t found = MACH_PORT_NULL;
  EXPECT_EQ(bootstrap_look_up(bootstrap_port, name, &found), BOOTSTRAP_UNKNOWN_SERVICE);
  EXPECT_EQ(bootstrap_look_up(bootstrap_port, "../escape", &found), BOOTSTRAP_UNKNOWN_SERVICE);

  mach_port_t server = NewReceiveRight();
  ASSERT_EQ(bootstrap_register(bootstrap_port, name, server), BOOTSTRAP_SUCCESS);
  struct stat st;
  ASSERT_EQ(::stat(bootstrapDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A second live receiver cannot take the name.
  mach_port_t rival = NewReceiveRight();
  EXPECT_EQ(bootstrap_register(bootstrap_port, name, rival), BOOTSTRAP_SERVICE_ACTIVE);

  ASSERT_EQ(bootstrap_look_up(bootstrap_port, name, &found), BOOTSTRAP_SUCCESS);
  ASSERT_EQ(Send(found, MACH_MSG_TYPE_COPY_SEND, MACH_PORT_NULL, 5), MACH_MSG_SUCCESS);
  TestReceived in;
  ASSERT_EQ(Receive(server, &in), MACH_MSG_SUCCESS);
  EXPECT_EQ(in.message.body[0], 5u);

  // Releasing the right withdraws the name; a new receiver under the same name is another
  // port, which the old send right does not reach.
  mach_port_mod_refs(mach_task_self(), server, MACH_PORT_RIGHT_RECEIVE, -1);
  EXPECT_FALSE(fs::exists(bootstrapDir() / name));
  EXPECT_EQ(bootstrap_look_up(bootstrap_port, name, &server), BOOTSTRAP_UNKNOWN_SERVICE);
  ASSERT_EQ(bootstrap_register(bootstrap_port, name, rival), BOOTSTRAP_SUCCESS);
  EXPECT_EQ(Send(found, MACH_MSG_TYPE_COPY_SEND, MACH_PORT_NULL, 6), MACH_SEND_INVALID_DEST);
  EXPECT_EQ(mach_port_deallocate(mach_task_self(), found), KERN_SUCCESS);

  // A right that has sent already has an address and cannot be bound to a name.
  mach_port_t used = NewReceiveRight();
  ASSERT_EQ(Send(rival, MACH_MSG_TYPE_MAKE_SEND, used, 1), MACH_MSG_SUCCESS);
  EXPECT_EQ(bootstrap_register(bootstrap_port, "other", used), KERN_INVALID_RIGHT);
  mach_port_mod_refs(mach_task_self(), rival, MACH_PORT_RIGHT_RECEIVE, -1);
  mach_port_mod_refs(mach_task_self(), used, MACH_PORT_RIGHT_RECEIVE, -1);
}

TEST_F(MachTest, BootstrapReplacesStaleSocketsAndRefusesUnsafePaths) {
  ASSERT_TRUE(emulated::EnsurePrivateDirectory(bootstrapDir()));
  // A socket file whose receiver died without cleaning up.
  int dead = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, (bootstrapDir() / "stale").c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(dead, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(dead);
  mach_port_t found;
  EXPECT_EQ(bootstrap_look_up(bootstrap_port, "stale", &found), BOOTSTRAP_UNKNOWN_SERVICE);
  mach_port_t server = NewReceiveRight();
  ASSERT_EQ(bootstrap_register(bootstrap_port, "stale", server), BOOTSTRAP_SUCCESS);
  ASSERT_EQ(bootstrap_look_up(bootstrap_port, "stale", &found), BOOTSTRAP_SUCCESS);
  mach_port_deallocate(mach_task_self(), found);

  // A symlink at a name, even to a live socket, and a plain file are refused both ways.
  fs::create_symlink(bootstrapDir() / "stale", bootstrapDir() / "link");
  {
    std::FILE* f = std::fopen((bootstrapDir() / "plain").c_str(), "w");
    std::fclose(f);
  }
  mach_port_t other = NewReceiveRight();
  EXPECT_EQ(bootstrap_look_up(bootstrap_port, "link", &found), BOOTSTRAP_NOT_PRIVILEGED);
  EXPECT_EQ(bootstrap_register(bootstrap_port, "link", other), BOOTSTRAP_NOT_PRIVILEGED);
  EXPECT_EQ(bootstrap_look_up(bootstrap_port, "plain", &found), BOOTSTRAP_NOT_PRIVILEGED);
  EXPECT_EQ(bootstrap_register(bootstrap_port, "plain", other), BOOTSTRAP_NOT_PRIVILEGED);

  // A folder that others may enter is not used at all.
  ASSERT_EQ(::chmod(bootstrapDir().c_str(), 0755), 0);
  EXPECT_EQ(bootstrap_look_up(bootstrap_port, "stale", &found), BOOTSTRAP_UNKNOWN_SERVICE);
  EXPECT_EQ(bootstrap_register(bootstrap_port, "fresh", other), BOOTSTRAP_NOT_PRIVILEGED);
  ASSERT_EQ(::chmod(bootstrapDir().c_str(), 0700), 0);

  // Nor one whose parent others may write: they could move it away and put theirs in its place.
  // The log line prints the mode itself.
  const fs::path run = bootstrapDir().parent_path();
  LogCapture log;
  ASSERT_EQ(::chmod(run.c_str(), 0777), 0);
  EXPECT_EQ(bootstrap_look_up(bootstrap_port, "stale", &found), BOOTSTRAP_UNKNOWN_SERVICE);
  EXPECT_EQ(bootstrap_register(bootstrap_port, "fresh", other), BOOTSTRAP_NOT_PRIVILEGED);
  EXPECT_EQ(log.countContaining("has mode 777, writable by others"), 2u);
  ASSERT_EQ(::chmod(run.c_str(), 0755), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(run.c_str(), 65534, 65534), 0);
    EXPECT_EQ(bootstrap_register(bootstrap_port, "fresh", other), BOOTSTRAP_NOT_PRIVILEGED);
    EXPECT_EQ(log.countContaining("is owned by uid 65534"), 1u);
    ASSERT_EQ(::chown(run.c_str(), 0, 0), 0);
  }
  ASSERT_EQ(bootstrap_look_up(bootstrap_port, "stale", &found), BOOTSTRAP_SUCCESS);
  mach_port_deallocate(mach_task_self(), found);

  mach_port_mod_refs(mach_task_self(), server, MACH_PORT_RIGHT_RECEIVE, -1);
  mach_port_mod_refs(mach_task_self(), other, MACH_PORT_RIGHT_RECEIVE, -1);
}

TEST_F(MachTest, DatagramsThatAreNotMessagesAreDropped) {
  mach_port_t server = NewReceiveRight();
  ASSERT_EQ(bootstrap_register(bootstrap_port, "raw", server), BOOTSTRAP_SUCCESS);
  LogCapture log;
  for (std::size_t size : {0, 1, 4, 23}) {
    std::vector<char> bytes(size, 'x');
    SendRaw("raw", bytes.data(), bytes.size());
  }
  // Another user's message, from a child that drops its privileges (only root can test it).
  if (::geteuid() == 0) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, (bootstrapDir() / "raw").c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    pid_t child = ::fork();
    if (child == 0) {
      TestMessage m{};
      m.body[0] = 99;
      m.header.msgh_size = sizeof m;
      int ok = ::setuid(65534) == 0 && ::send(fd, &m, sizeof m, 0) == sizeof m;
      ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    ::close(fd);
  }
  TestMessage good{};
  good.header.msgh_size = sizeof good;
  good.body[0] = 1234;
  SendRaw("raw", &good, sizeof good);

  TestReceived in;
  ASSERT_EQ(Receive(server, &in), MACH_MSG_SUCCESS);
  EXPECT_EQ(in.message.body[0], 1234u);
  EXPECT_EQ(in.message.header.msgh_size, sizeof good);
  // A burst of drops is one line; the next line carries the count of the rest.
  EXPECT_EQ(log.countContaining("shorter than a message header (1 since the last line)"), 1u);
  EXPECT_EQ(log.countContaining("shorter than a message header"), 1u);
  if (::geteuid() == 0) {
    EXPECT_EQ(log.countContaining("from another user"), 1u);
  }
  mach_port_mod_refs(mach_task_self(), server, MACH_PORT_RIGHT_RECEIVE, -1);
}

TEST(MachErrorStringTest, GivesMachTexts) {
  EXPECT_STREQ(mach_error_string(KERN_SUCCESS), "(os/kern) successful");
  EXPECT_STREQ(mach_error_string(KERN_INVALID_RIGHT), "(os/kern) invalid right");
  EXPECT_STREQ(mach_error_string(MACH_SEND_INVALID_DEST), "(ipc/send) invalid destination port");
  EXPECT_STREQ(mach_error_string(MACH_SEND_TIMED_OUT), "(ipc/send) timed out");
  EXPECT_STREQ(mach_error_string(MACH_RCV_TIMED_OUT), "(ipc/rcv) timed out");
  EXPECT_STREQ(mach_error_string(MACH_RCV_TOO_LARGE), "(ipc/rcv) msg too large");
  EXPECT_STREQ(mach_error_string(0x10000fff), "unknown error code");
  EXPECT_STREQ(mach_error_string(-1), "unknown error code");
}

}  // namespace
}  // namespace vrk
