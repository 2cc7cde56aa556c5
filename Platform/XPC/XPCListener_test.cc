// A listener and its peers under a private root, with client connections of xpc.h and raw
// sockets for what a well-behaved client never sends.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Foundation/UniqueFd.h"
#include "Platform/XPC/Launchd.h"
#include "Platform/XPC/XPCWire.h"
#include "Platform/XPC/xpc.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk {
namespace {

using namespace std::chrono_literals;
constexpr char kService[] = "org.vrk.tests.listener";

// What a listener's handlers saw, for the test thread to wait on.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;  // "message", "error", "fault: why"
  bool finished = false;
  uid_t euid = 0;
  pid_t pid = 0;
  bool groups = false;

  void add(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
    changed.notify_all();
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return events.size() >= count; });
  }
  bool waitFinished() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return finished; });
  }
  std::vector<std::string> snapshot() {
    std::lock_guard lock(mutex);
    return events;
  }
};

class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("VRK_ROOT", root_.path().c_str(), 1); }
  void TearDown() override {
    if (listener_) {
      xpc_connection_cancel(listener_);
      seen_.waitFinished();
    }
    ::unsetenv("VRK_ROOT");
  }

  // A listener whose peers are served (or refused, when `refuse` is set) and whose requests are
  // answered with their "text" key. `token` is held by every served peer's handler.
  bool listen(xpc_listener_options options = {}, bool refuse = false) {
    listener_ =
        xpc_connection_create_mach_service(kService, nullptr, XPC_CONNECTION_MACH_SERVICE_LISTENER);
    if (!listener_) return false;
    xpc_listener_set_options(listener_, options);
    xpc_listener_set_new_peer_handler(listener_, [this, refuse](xpc_connection_t peer) {
      {
        std::lock_guard lock(seen_.mutex);
        seen_.euid = xpc_connection_get_euid(peer);
        seen_.pid = xpc_connection_get_pid(peer);
        seen_.groups = xpc_connection_copy_groups(peer).has_value();
      }
      if (refuse) {
        xpc_object_t no = xpc_dictionary_create(nullptr, nullptr, 0);
        xpc_dictionary_set_string(no, "reply", "refused");
        xpc_connection_cancel_with_reply(peer, no);
        return;
      }
      auto token = token_;
      xpc_connection_set_event_handler(peer, [this, peer, token](xpc_object_t event) {
        if (xpc_get_type(event) == XPC_TYPE_ERROR) {
          const char* fault = xpc_dictionary_get_string(event, XPC_ERROR_KEY_FAULT);
          seen_.add(fault ? std::string("fault: ") + fault : "error");
          return;
        }
        xpc_object_t reply = xpc_dictionary_create_reply(event);
        seen_.add(reply ? "message" : "message without reply");
        if (!reply) return;
        const char* text = xpc_dictionary_get_string(event, "text");
        xpc_dictionary_set_string(reply, "reply", text ? text : "(none)");
        xpc_connection_send_message(peer, reply);
      });
      xpc_connection_resume(peer);
    });
    xpc_connection_set_event_handler(listener_, [this](xpc_object_t event) {
      std::lock_guard lock(seen_.mutex);
      if (event == XPC_ERROR_CONNECTION_INVALID) {
        seen_.finished = true;
      } else {
        const char* why = xpc_dictionary_get_string(event, XPC_ERROR_KEY_DESCRIPTION);
        checkInFailure_ = why ? why : "(no reason)";
      }
      seen_.changed.notify_all();
    });
    xpc_connection_resume(listener_);
    return checkInFailure_.empty();
  }

  static std::string Ask(const xpc_connection_t& client, const char* text) {
    xpc_object_t m = xpc_dictionary_create(nullptr, nullptr, 0);
    xpc_dictionary_set_string(m, "text", text);
    xpc_object_t reply = xpc_connection_send_message_with_reply_sync(client, m);
    if (xpc_get_type(reply) == XPC_TYPE_ERROR) return "error";
    const char* r = xpc_dictionary_get_string(reply, "reply");
    return r ? r : "(no reply key)";
  }

  static xpc_connection_t Client() {
    auto c = xpc_connection_create_mach_service(kService, nullptr,
                                                XPC_CONNECTION_MACH_SERVICE_PRIVILEGED);
    xpc_connection_set_event_handler(c, [](xpc_object_t) {});
    xpc_connection_resume(c);
    return c;
  }

  static UniqueFd RawConnect() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, launchd::MachServiceSocketPath(kService).c_str(),
                 sizeof addr.sun_path - 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
    return fd;
  }

  TemporaryRoot root_;
  Seen seen_;
  std::shared_ptr<int> token_ = std::make_shared<int>(0);
  std::string checkInFailure_;
  xpc_connection_t listener_;
};

TEST_F(ListenerTest, RequestsAreAnsweredAndPeersCarryTheirCredentials) {
  ASSERT_TRUE(listen()) << checkInFailure_;
  auto client = Client();
  EXPECT_EQ(Ask(client, "one"), "one");
  EXPECT_EQ(Ask(client, "two"), "two");
  {
    std::lock_guard lock(seen_.mutex);
    EXPECT_EQ(seen_.euid, ::geteuid());
    EXPECT_EQ(seen_.pid, ::getpid());
    EXPECT_TRUE(seen_.groups);
  }
  // A message that wants no reply still reaches the handler, which cannot answer it.
  xpc_object_t m = xpc_dictionary_create(nullptr, nullptr, 0);
  xpc_connection_send_message(client, m);
  ASSERT_TRUE(seen_.waitFor(3));
  EXPECT_EQ(seen_.snapshot()[2], "message without reply");
  // One connection, so one peer, answered in order; its end is its one error.
  xpc_connection_cancel(client);
  ASSERT_TRUE(seen_.waitFor(4));
  EXPECT_EQ(seen_.snapshot(),
            (std::vector<std::string>{"message", "message", "message without reply", "error"}));
}

TEST_F(ListenerTest, ARefusedPeerIsAnsweredUnreadAndNeverHandled) {
  ASSERT_TRUE(listen({}, /*refuse=*/true)) << checkInFailure_;
  EXPECT_EQ(Ask(Client(), "let me in"), "refused");
  // The answer is there before anything is sent.
  UniqueFd raw = RawConnect();
  ASSERT_TRUE(raw);
  xpcwire::FrameKind kind;
  Object reply;
  std::string why;
  ASSERT_EQ(xpcwire::ReadFrame(raw.get(), 5000ms, &kind, &reply, &why), xpcwire::ReadStatus::Ok)
      << why;
  EXPECT_EQ(kind, xpcwire::FrameKind::Reply);
  EXPECT_EQ(reply.objectForKey("reply").stringOrNil(), "refused");
  EXPECT_TRUE(seen_.snapshot().empty());
}

TEST_F(ListenerTest, ABrokenRequestEndsItsPeerWithTheReasonAndReleasesItsHandler) {
  xpc_listener_options options;
  options.requestTimeout = 200ms;
  ASSERT_TRUE(listen(options)) << checkInFailure_;
  auto send = [](const UniqueFd& fd, const std::vector<std::byte>& bytes) {
    return ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  };
  {
    UniqueFd fd = RawConnect();
    auto reply = xpcwire::EncodeFrame(xpcwire::FrameKind::Reply, Object(ObjectDictionary{}));
    ASSERT_TRUE(send(fd, *reply));
    ASSERT_TRUE(seen_.waitFor(1));
    EXPECT_EQ(seen_.snapshot()[0], "fault: a reply frame from a client");
  }
  {
    UniqueFd fd = RawConnect();
    std::vector<std::byte> header(8);
    header[0] = std::byte(10);
    header[4] = std::byte(9);  // no such kind
    ASSERT_TRUE(send(fd, header));
    ASSERT_TRUE(seen_.waitFor(2));
    EXPECT_EQ(seen_.snapshot()[1].rfind("fault: ", 0), 0u);
  }
  {
    // A request begun and never finished.
    UniqueFd fd = RawConnect();
    auto frame = xpcwire::EncodeFrame(xpcwire::FrameKind::MessageWantsReply,
                                      Object(ObjectDictionary{{"text", Object("x")}}));
    frame->resize(frame->size() - 1);
    ASSERT_TRUE(send(fd, *frame));
    ASSERT_TRUE(seen_.waitFor(3));
    EXPECT_EQ(seen_.snapshot()[2], "fault: the request did not arrive in time");
  }
  // Each ended peer let go of its handler, and with it of what the handler held.
  for (int i = 0; i < 100 && token_.use_count() > 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(token_.use_count(), 1);
  EXPECT_EQ(Ask(Client(), "still serving"), "still serving");
}

TEST_F(ListenerTest, AnIdleListenerLeavesItsNameAndFinishes) {
  xpc_listener_options options;
  options.idlePeerTimeout = 100ms;
  options.idleExit = 300ms;
  ASSERT_TRUE(listen(options)) << checkInFailure_;
  ASSERT_TRUE(std::filesystem::exists(launchd::MachServiceSocketPath(kService)));
  // A peer that sends nothing is ended after its idle time, which the idle exit waits out.
  UniqueFd quiet = RawConnect();
  ASSERT_TRUE(quiet);
  ASSERT_TRUE(seen_.waitFor(1));
  EXPECT_EQ(seen_.snapshot()[0], "error");
  ASSERT_TRUE(seen_.waitFinished());
  EXPECT_FALSE(std::filesystem::exists(launchd::MachServiceSocketPath(kService)));
  EXPECT_EQ(token_.use_count(), 1);
}

TEST_F(ListenerTest, ASecondInstanceCannotCheckInAndCancelEndsTheFirstsPeers) {
  ASSERT_TRUE(listen()) << checkInFailure_;
  auto client = Client();
  EXPECT_EQ(Ask(client, "hello"), "hello");

  auto second =
      xpc_connection_create_mach_service(kService, nullptr, XPC_CONNECTION_MACH_SERVICE_LISTENER);
  std::string failure;
  xpc_connection_set_event_handler(second, [&](xpc_object_t event) {
    const char* why = xpc_dictionary_get_string(event, XPC_ERROR_KEY_DESCRIPTION);
    failure = why ? why : "(none)";
  });
  xpc_connection_resume(second);
  EXPECT_FALSE(failure.empty()) << "reported before resume returned";

  // Cancelling ends the waiting peer, then the listener.
  xpc_connection_cancel(listener_);
  ASSERT_TRUE(seen_.waitFinished());
  EXPECT_EQ(seen_.snapshot().back(), "error");
  EXPECT_EQ(token_.use_count(), 1);
  listener_.reset();
}

}  // namespace
}  // namespace vrk
