// The extension's end of the host protocol, served on this process's main run loop, against a
// bare sd-bus server end driven from a second thread as the file manager host would drive it.
#include "Platform/FinderSync/HostConnection.h"

#include <sys/socket.h>
#include <systemd/sd-id128.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/FinderSync/HostProtocol.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "tests/support/RunLoopUntil.h"

namespace vrk::findersync {
namespace {

using ::testing::ElementsAre;

// A principal that answers as a small extension would and records what it was asked.
class TestPrincipal final : public FIFinderSync {
 public:
  std::shared_ptr<NSMenu> menuForMenuKind(FIMenuKind kind) override {
    auto controller = FIFinderSyncController::defaultController();
    std::lock_guard lock(mutex);
    for (const NSURL& url : controller->selectedItemURLs())
      seen.push_back("selected " + url.path());
    if (kind != FIMenuKindContextualMenuForItems) return nullptr;
    auto menu = NSMenu::initWithTitle("");
    menu->addItemWithTitle("Share", "shareLink:", "")
        ->setImage(std::make_shared<NSImage>("context-menu-icon", std::nullopt, std::nullopt));
    menu->addItemWithTitle("Bad \xff title", "viewHistoryVersions:", "v");
    return menu;
  }
  bool performMenuAction(std::string_view selector,
                         const std::shared_ptr<NSMenuItem>& sender) override {
    std::lock_guard lock(mutex);
    seen.push_back(std::string(selector) + " from " + (sender ? sender->title() : "(null)"));
    return selector == "shareLink:";
  }
  void beginObservingDirectoryAtURL(const NSURL& url) override {
    std::lock_guard lock(mutex);
    seen.push_back("begin " + url.path());
  }
  void requestBadgeIdentifierForURL(const NSURL& url) override {
    FIFinderSyncController::defaultController()->setBadgeIdentifier("2", url);
  }

  std::mutex mutex;
  std::vector<std::string> seen;
};

// The host's end: a server connection used from one thread only.
class HostEnd {
 public:
  explicit HostEnd(int fd) {
    sd_bus* raw = nullptr;
    EXPECT_GE(sd_bus_new(&raw), 0);
    bus_.reset(raw);
    sd_id128_t id;
    sd_id128_randomize(&id);
    EXPECT_GE(sd_bus_set_fd(raw, fd, fd), 0);
    EXPECT_GE(sd_bus_set_server(raw, 1, id), 0);
    static const sd_bus_vtable kVTable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Ready", "", "", &HostEnd::OnCall, SD_BUS_VTABLE_METHOD_NO_REPLY),
        SD_BUS_METHOD("SetBadgeIdentifier", "ss", "", &HostEnd::OnCall,
                      SD_BUS_VTABLE_METHOD_NO_REPLY),
        SD_BUS_METHOD("SetDirectoryURLs", "bas", "", &HostEnd::OnCall,
                      SD_BUS_VTABLE_METHOD_NO_REPLY),
        SD_BUS_VTABLE_END};
    sd_bus_slot* slot = nullptr;
    EXPECT_GE(sd_bus_add_object_vtable(raw, &slot, kObjectPath, kHostInterface, kVTable, this), 0);
    slot_.reset(slot);
    EXPECT_GE(sd_bus_start(raw), 0);
  }

  // Calls a method of the extension; the reply, or null with the error name in `error`.
  MessagePtr call(const char* member, const std::function<int(sd_bus_message*)>& append,
                  std::string* error = nullptr) {
    sd_bus_message* m = nullptr;
    EXPECT_GE(sd_bus_message_new_method_call(bus_.get(), &m, nullptr, kObjectPath,
                                             kExtensionInterface, member),
              0);
    MessagePtr request(m);
    EXPECT_GE(append(m), 0);
    BusError busError;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call(bus_.get(), m, 5'000'000, busError.get(), &reply);
    if (r < 0) NSLog("test host: %s failed: %s", member, busError.message(r));
    if (r < 0 && error) *error = busError.error.name ? busError.error.name : "";
    return MessagePtr(reply);
  }

  // A round trip, then everything that came before it is handled.
  void barrier() {
    EXPECT_TRUE(call("Ping", [](sd_bus_message*) { return 0; }));
    process();
  }

  // Handles what arrived before the last reply.
  void process() {
    while (sd_bus_process(bus_.get(), nullptr) > 0) {
    }
  }

  std::vector<std::string> received() { return received_; }
  void close() { bus_.reset(); }

 private:
  static int OnCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<HostEnd*>(userdata);
    std::string text = sd_bus_message_get_member(m);
    if (text == "SetBadgeIdentifier") {
      const char* id = nullptr;
      const char* url = nullptr;
      sd_bus_message_read(m, "ss", &id, &url);
      text += std::string(" ") + id + " " + url;
    }
    if (!sd_bus_message_get_expect_reply(m)) text += " (no reply)";
    self->received_.push_back(text);
    return 0;
  }

  BusPtr bus_;
  SlotPtr slot_;
  std::vector<std::string> received_;
};

class HostConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    connection_ = ExtensionHostConnection::open(fds[0], RunLoop::main().event());
    ASSERT_TRUE(connection_);
    hostFd_ = fds[1];
    principal_ = std::make_shared<TestPrincipal>();
    connection_->setPrincipal(principal_);
    FIFinderSyncController::setDefaultController(connection_->controller());
  }

  void TearDown() override {
    connection_.reset();
    FIFinderSyncController::setDefaultController(nullptr);
  }

  // Runs `script` as the host on its own thread while this (main) thread serves the extension.
  void runHost(const std::function<void(HostEnd&)>& script) {
    std::atomic<bool> done{false};
    std::thread host([&] {
      HostEnd end(hostFd_);
      script(end);
      done = true;
    });
    while (!done) RunLoop::main().runOnce(RunLoop::Clock::now() + std::chrono::milliseconds(20));
    host.join();
  }

  std::unique_ptr<ExtensionHostConnection> connection_;
  std::shared_ptr<TestPrincipal> principal_;
  int hostFd_ = -1;
};

int AppendURL(sd_bus_message* m, const char* path) {
  return sd_bus_message_append(m, "s", NSURL::fileURLWithPath(path)->absoluteString().c_str());
}

int AppendSelection(sd_bus_message* m, std::vector<std::string> urls, const char* targeted) {
  int r = AppendStringArray(m, urls);
  return r < 0 ? r : sd_bus_message_append(m, "s", targeted);
}

TEST_F(HostConnectionTest, HostCallsReachThePrincipalWithTheSelection) {
  runHost([&](HostEnd& host) {
    EXPECT_TRUE(host.call("BeginObservingDirectory", [](auto m) { return AppendURL(m, "/r"); }));

    auto menu = host.call("MenuForMenuKind", [](sd_bus_message* m) {
      int r = sd_bus_message_append(m, "x", std::int64_t{0});
      return r < 0 ? r : AppendSelection(m, {"file:///r/a%20b"}, "file:///r");
    });
    ASSERT_TRUE(menu);
    int hasMenu = 0;
    std::vector<WireMenuItem> items;
    ASSERT_GE(sd_bus_message_read(menu.get(), "b", &hasMenu), 0);
    ASSERT_GE(ReadMenuItems(menu.get(), &items), 0);
    EXPECT_TRUE(hasMenu);
    EXPECT_THAT(items, ElementsAre(WireMenuItem{"Share", "shareLink:", "context-menu-icon", ""},
                                   WireMenuItem{"Bad \xef\xbf\xbd title",
                                                "viewHistoryVersions:", "", "v"}));

    auto none = host.call("MenuForMenuKind", [](sd_bus_message* m) {
      int r = sd_bus_message_append(m, "x", std::int64_t{1});
      return r < 0 ? r : AppendSelection(m, {}, "");
    });
    ASSERT_TRUE(none);
    ASSERT_GE(sd_bus_message_read(none.get(), "b", &hasMenu), 0);
    ASSERT_GE(ReadMenuItems(none.get(), &items), 0);
    EXPECT_FALSE(hasMenu);
    EXPECT_TRUE(items.empty());

    // The entry chosen is matched against the menu the principal returned last (kind 1 gave
    // none, so the sender is null).
    int responded = -1;
    auto action = host.call("PerformMenuAction", [](sd_bus_message* m) {
      int r = sd_bus_message_append(m, "sx", "shareLink:", std::int64_t{0});
      return r < 0 ? r : AppendSelection(m, {"file:///r/c"}, "");
    });
    ASSERT_TRUE(action);
    ASSERT_GE(sd_bus_message_read(action.get(), "b", &responded), 0);
    EXPECT_TRUE(responded);
  });
  EXPECT_THAT(principal_->seen,
              ElementsAre("begin /r", "selected /r/a b", "shareLink: from (null)"));
  EXPECT_EQ(FIFinderSyncController::defaultController()->targetedURL(), std::nullopt);
}

TEST_F(HostConnectionTest, ActionSenderIsTheMatchingEntryOfTheLastMenu) {
  runHost([&](HostEnd& host) {
    host.call("MenuForMenuKind", [](sd_bus_message* m) {
      int r = sd_bus_message_append(m, "x", std::int64_t{0});
      return r < 0 ? r : AppendSelection(m, {"file:///r/a"}, "");
    });
    for (const auto& choice : {std::pair{"shareLink:", 0}, std::pair{"shareLink:", 1},
                               std::pair{"viewHistoryVersions:", 1}, std::pair{"x:", 7}}) {
      host.call("PerformMenuAction", [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "sx", choice.first, std::int64_t{choice.second});
        return r < 0 ? r : AppendSelection(m, {"file:///r/a"}, "file:///r");
      });
    }
  });
  EXPECT_THAT(principal_->seen,
              ElementsAre("selected /r/a", "shareLink: from Share", "shareLink: from (null)",
                          "viewHistoryVersions: from Bad \xff title", "x: from (null)"));
  EXPECT_EQ(FIFinderSyncController::defaultController()->targetedURL()->path(), "/r");
}

TEST_F(HostConnectionTest, ExtensionCallsArriveInOrderWithoutAskingForAReply) {
  connection_->sendReady();
  std::thread other([] {
    FIFinderSyncController::defaultController()->setBadgeIdentifier(
        "5", *NSURL::fileURLWithPath("/r/from thread"));
  });
  other.join();
  std::vector<std::string> received;
  runHost([&](HostEnd& host) {
    host.call("RequestBadgeIdentifier", [](auto m) { return AppendURL(m, "/r/x"); });
    host.barrier();
    received = host.received();
  });
  EXPECT_THAT(received, ElementsAre("Ready (no reply)",
                                    "SetBadgeIdentifier 5 file:///r/from%20thread (no reply)",
                                    "SetBadgeIdentifier 2 file:///r/x (no reply)"));
}

TEST_F(HostConnectionTest, ABatchOfBadgeRequestsIsAskedInOrderAndAnsweredAfterwards) {
  LogCapture log;
  std::vector<std::string> received;
  runHost([&](HostEnd& host) {
    // Bad URLs are left out, the good ones still asked.
    EXPECT_TRUE(host.call(kRequestBadgeIdentifiersMember, [](sd_bus_message* m) {
      return AppendStringArray(m, {"file:///r/a", "https://x/y", "file:///r/b", "relative"});
    }));
    // The reply came after the badges the requests set, with no barrier of its own.
    host.process();
    received = host.received();
    std::string error;
    std::vector<std::string> tooMany(kMaxBadgeBatch + 1, "file:///r/c");
    EXPECT_FALSE(host.call(
        kRequestBadgeIdentifiersMember,
        [&](sd_bus_message* m) { return AppendStringArray(m, tooMany); }, &error));
    EXPECT_EQ(error, "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_FALSE(host.call(
        kRequestBadgeIdentifiersMember, [](auto m) { return sd_bus_message_append(m, "s", "x"); },
        &error));
    EXPECT_EQ(error, "org.freedesktop.DBus.Error.InvalidArgs");
    host.barrier();
    EXPECT_EQ(host.received().size(), 2u);
  });
  EXPECT_THAT(received, ElementsAre("SetBadgeIdentifier 2 file:///r/a (no reply)",
                                    "SetBadgeIdentifier 2 file:///r/b (no reply)"));
  EXPECT_EQ(log.countContaining("RequestBadgeIdentifiers with 2 bad URLs"), 1u);
  EXPECT_EQ(log.countContaining("RequestBadgeIdentifiers from the host refused: too many items"),
            1u);
}

TEST_F(HostConnectionTest, BadCallsAreRefusedAndTheConnectionKeepsServing) {
  LogCapture log;
  runHost([&](HostEnd& host) {
    std::string error;
    EXPECT_FALSE(host.call(
        "BeginObservingDirectory",
        [](auto m) { return sd_bus_message_append(m, "s", "https://x/y"); }, &error));
    EXPECT_EQ(error, "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_FALSE(host.call(
        "BeginObservingDirectory", [](auto m) { return sd_bus_message_append(m, "i", 5); },
        &error));
    EXPECT_FALSE(host.call(
        "MenuForMenuKind",
        [](sd_bus_message* m) {
          int r = sd_bus_message_append(m, "x", std::int64_t{0});
          return r < 0 ? r : AppendSelection(m, {"file:///ok", "relative/path"}, "");
        },
        &error));
    EXPECT_EQ(error, "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_FALSE(host.call(
        "NoSuchMethod", [](auto) { return 0; }, &error));
    EXPECT_EQ(error, "org.freedesktop.DBus.Error.UnknownMethod");
    EXPECT_TRUE(host.call("BeginObservingDirectory", [](auto m) { return AppendURL(m, "/ok"); }));
  });
  EXPECT_THAT(principal_->seen, ElementsAre("begin /ok"));
  EXPECT_TRUE(
      log.contains("FIFinderSync: BeginObservingDirectory with a bad URL from the host, dropped"));
  EXPECT_TRUE(log.contains("FIFinderSync: MenuForMenuKind from the host refused: not a file URL"));
}

TEST_F(HostConnectionTest, HostGoingAwayRunsTheDisconnectHandlerOnce) {
  int disconnects = 0;
  connection_->setDisconnectHandler([&] { ++disconnects; });
  ::close(hostFd_);
  RunLoopUntil([&] { return !connection_->isConnected(); }, std::chrono::seconds(5));
  EXPECT_FALSE(connection_->isConnected());
  EXPECT_EQ(disconnects, 1);
  // Calls after the host has gone are dropped, not fatal.
  FIFinderSyncController::defaultController()->setDirectoryURLs(std::nullopt);
  FIFinderSyncController::defaultController()->setDirectoryURLs(std::nullopt);
  EXPECT_EQ(connection_->releasePrincipal(), principal_);
}

}  // namespace
}  // namespace vrk::findersync
