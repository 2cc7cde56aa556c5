#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/Connection/DistantObjectWire.h"
#include "Platform/Connection/NSConnection.h"
#include "Platform/Foundation/DBusMessageArguments.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSNotificationCenter.h"
#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/SessionBus.h"
#include "tests/support/TestBusPeer.h"

namespace vrk {
namespace {

constexpr char kName[] = "com.quenset.IPCServ.TestService";

struct Received {
  std::string member;
  std::vector<Object> arguments;
};

// A process that vends a root object: it records every message and answers it, except
// "explode", which it refuses.
class VendedObject {
 public:
  VendedObject()
      : peer_(std::make_unique<TestBusPeer>(kName, distantobjects::kRootObjectPath,
                                            [this](sd_bus_message* m) { return handle(m); })) {}
  void exit() { peer_->close(); }
  const std::string& uniqueName() const { return peer_->uniqueName(); }
  std::vector<Received> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  int handle(sd_bus_message* m) {
    std::string member = sd_bus_message_get_member(m);
    if (member == "explode") return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_FAILED, "boom");
    auto arguments = dbus::ReadMessageArguments(m, nullptr);
    if (!arguments) return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_INVALID_ARGS, "bad");
    {
      std::lock_guard lock(mutex_);
      received_.push_back({member, std::move(*arguments)});
    }
    return sd_bus_reply_method_return(m, "");
  }

  std::mutex mutex_;
  std::vector<Received> received_;
  std::unique_ptr<TestBusPeer> peer_;
};

// Records NSConnectionDidDieNotification posts with the thread they came on.
class DeathRecorder {
 public:
  DeathRecorder() {
    NSNotificationCenter::defaultCenter().addObserver(
        this,
        [this](const NSNotification& n) {
          std::lock_guard lock(mutex_);
          objects_.push_back(n.object);
          threads_.push_back(std::this_thread::get_id());
          changed_.notify_all();
        },
        std::string(NSConnectionDidDieNotification));
  }
  ~DeathRecorder() { NSNotificationCenter::defaultCenter().removeObserver(this); }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20),
                             [&] { return objects_.size() >= count; });
  }
  std::vector<Object> objects() {
    std::lock_guard lock(mutex_);
    return objects_;
  }
  std::thread::id thread(std::size_t i) {
    std::lock_guard lock(mutex_);
    return threads_.at(i);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Object> objects_;
  std::vector<std::thread::id> threads_;
};

TEST(ConnectionTest, NothingWithoutAnOwnerOrForAnotherHost) {
  LogCapture log;
  EXPECT_EQ(NSConnection::connectionWithRegisteredName(kName, std::nullopt), nullptr);
  EXPECT_EQ(NSConnection::rootProxyForConnectionWithRegisteredName(kName, std::nullopt), nullptr);
  VendedObject vended;
  EXPECT_EQ(NSConnection::connectionWithRegisteredName(kName, std::string("elsewhere")), nullptr);
  EXPECT_EQ(NSConnection::rootProxyForConnectionWithRegisteredName(kName, std::string("x")),
            nullptr);
  EXPECT_EQ(log.countContaining("only the local host is served"), 2u);
}

TEST(ConnectionTest, MessagesReachTheOwnerWithTheirArguments) {
  VendedObject vended;
  auto proxy = NSConnection::rootProxyForConnectionWithRegisteredName(kName, std::nullopt);
  ASSERT_NE(proxy, nullptr);
  EXPECT_EQ(proxy->owner(), vended.uniqueName());
  const Object cache(ObjectDictionary{{"/r/a", Object::numberWithInteger(3)}});
  EXPECT_TRUE(proxy->sendMessage("setIconType:toPath:",
                                 std::vector<Object>{Object::numberWithInteger(2), "/r/a"}));
  EXPECT_TRUE(proxy->sendMessage("setRootFolderPath:", std::vector<Object>{Object()}));
  EXPECT_TRUE(proxy->sendMessage("setBadgesCache:", std::vector<Object>{cache}));
  EXPECT_TRUE(proxy->sendMessage("cleanIconsCache", {}));
  auto received = vended.received();
  ASSERT_EQ(received.size(), 4u);
  EXPECT_EQ(received[0].member, "setIconType_toPath_");
  EXPECT_EQ(received[0].arguments, (std::vector<Object>{Object::numberWithInteger(2), "/r/a"}));
  EXPECT_EQ(received[1].arguments, std::vector<Object>{Object()});
  EXPECT_EQ(received[2].arguments, std::vector<Object>{cache});
  EXPECT_EQ(received[3].member, "cleanIconsCache");
  EXPECT_TRUE(received[3].arguments.empty());

  // A refused message and one to an owner that has gone are each logged once; neither throws.
  LogCapture log;
  EXPECT_FALSE(proxy->sendMessage("explode", {}));
  vended.exit();
  EXPECT_FALSE(proxy->sendMessage("hideIcons:", std::vector<Object>{Object::numberWithBool(true)}));
  EXPECT_FALSE(proxy->sendMessage("not a selector", {}));
  EXPECT_EQ(log.countContaining("NSConnection: "), 3u);
}

TEST(ConnectionTest, TheOwnerGoingAwayKillsItsConnectionOnce) {
  DeathRecorder deaths;
  auto vended = std::make_unique<VendedObject>();
  auto connection = NSConnection::connectionWithRegisteredName(kName, std::nullopt);
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(connection->isValid());
  EXPECT_EQ(NSConnection::connectionWithRegisteredName(kName, std::nullopt), connection);

  vended->exit();
  ASSERT_TRUE(deaths.waitFor(1));
  EXPECT_FALSE(connection->isValid());
  auto objects = deaths.objects();
  EXPECT_EQ(NSConnection::connectionForNotificationObject(objects[0]), connection);
  EXPECT_NE(deaths.thread(0), std::this_thread::get_id());
  EXPECT_EQ(NSConnection::connectionWithRegisteredName(kName, std::nullopt), nullptr);

  // A new owner is a new connection, not equal to the dead one; invalidate posts nothing.
  vended = std::make_unique<VendedObject>();
  auto second = NSConnection::connectionWithRegisteredName(kName, std::nullopt);
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(second->isEqual(*connection));
  EXPECT_TRUE(second->isEqual(*second));
  second->invalidate();
  EXPECT_FALSE(second->isValid());
  auto third = NSConnection::connectionWithRegisteredName(kName, std::nullopt);
  EXPECT_NE(third, second);
  EXPECT_TRUE(third->isEqual(*second));
  vended->exit();
  ASSERT_TRUE(deaths.waitFor(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(deaths.objects().size(), 2u);
  EXPECT_EQ(NSConnection::connectionForNotificationObject(deaths.objects()[1]), third);
  EXPECT_EQ(NSConnection::connectionForNotificationObject(Object("x")), nullptr);
}

// A root object vended through serviceConnectionWithName on a thread of its own. It refuses
// arguments heavier than `cap` before they are decoded and answers "fail:" with the kind given
// in its argument; it records what reaches each step.
class RecordingRoot final : public NSVendedObject {
 public:
  explicit RecordingRoot(std::size_t cap) : cap_(cap) {}

  std::optional<NSVendedRefusal> shouldDecodeMessage(const NSVendedMessage& message,
                                                     std::size_t argumentBytes) override {
    std::lock_guard lock(mutex_);
    weighed_.push_back({message.selector, argumentBytes});
    if (argumentBytes <= cap_) return std::nullopt;
    return NSVendedRefusal{NSVendedRefusal::Kind::LimitsExceeded, "too heavy"};
  }
  void messageCouldNotBeDecoded(const NSVendedMessage& message, const std::string& why) override {
    std::lock_guard lock(mutex_);
    undecoded_.push_back(message.member + ": " + why);
  }
  std::optional<NSVendedRefusal> handleMessage(const NSVendedMessage& message,
                                               std::span<const Object> arguments) override {
    std::lock_guard lock(mutex_);
    handled_.push_back({message.selector, message.member,
                        std::vector<Object>(arguments.begin(), arguments.end())});
    if (message.selector != "fail:") return std::nullopt;
    const auto kind = static_cast<NSVendedRefusal::Kind>(arguments[0].integerValue());
    return NSVendedRefusal{kind, "refused on purpose"};
  }

  struct Handled {
    std::string selector, member;
    std::vector<Object> arguments;
  };
  std::vector<Handled> handled() {
    std::lock_guard lock(mutex_);
    return handled_;
  }
  std::vector<std::pair<std::string, std::size_t>> weighed() {
    std::lock_guard lock(mutex_);
    return weighed_;
  }
  std::vector<std::string> undecoded() {
    std::lock_guard lock(mutex_);
    return undecoded_;
  }

 private:
  const std::size_t cap_;
  std::mutex mutex_;
  std::vector<Handled> handled_;
  std::vector<std::pair<std::string, std::size_t>> weighed_;
  std::vector<std::string> undecoded_;
};

class VendingThread {
 public:
  explicit VendingThread(std::shared_ptr<NSVendedObject> root)
      : thread_(Thread::create([] { RunLoop::current().run(); }, "vending")) {
    thread_->start();
    thread_->perform(
        [&] { connection_ = NSConnection::serviceConnectionWithName(kName, root, &error_); }, true);
  }
  ~VendingThread() {
    invalidate();
    thread_->perform([] { RunLoop::current().stop(); }, false);
    thread_->join();
  }
  void invalidate() {
    thread_->perform(
        [&] {
          if (connection_) connection_->invalidate();
        },
        true);
  }
  const std::shared_ptr<NSConnection>& connection() const { return connection_; }
  const std::string& error() const { return error_; }

 private:
  std::shared_ptr<Thread> thread_;
  std::shared_ptr<NSConnection> connection_;
  std::string error_;
};

// The bus error that a raw call of `member` to the vended object gets ("" for a reply), with
// arguments appended by `append`.
std::string CallVended(const std::string& owner, const char* member,
                       const std::function<void(sd_bus_message*)>& append) {
  sd_bus* bus = dbus::ThreadSessionBus();
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, owner.c_str(), distantobjects::kRootObjectPath,
                                     distantobjects::kInterface, member) < 0) {
    return "cannot build";
  }
  dbus::MessagePtr call(raw);
  append(call.get());
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call(bus, call.get(), 0, &error, &reply);
  sd_bus_message_unref(reply);
  std::string name = r < 0 ? (error.name ? error.name : "failed") : "";
  if (r < 0 && error.message) name += std::string(" ") + error.message;
  sd_bus_error_free(&error);
  return name;
}

TEST(ConnectionTest, AVendedRootObjectGetsSelectorsAndArgumentsOnItsThread) {
  auto root = std::make_shared<RecordingRoot>(1 << 20);
  VendingThread vending(root);
  ASSERT_NE(vending.connection(), nullptr) << vending.error();
  EXPECT_EQ(vending.connection()->registeredName(), kName);

  // The proxy side finds the vending connection as the name's owner.
  auto proxy = NSConnection::rootProxyForConnectionWithRegisteredName(kName, std::nullopt);
  ASSERT_NE(proxy, nullptr);
  EXPECT_EQ(proxy->owner(), vending.connection()->owner());
  const Object cache(ObjectDictionary{{"/r/a", Object::numberWithInteger(3)}});
  EXPECT_TRUE(proxy->sendMessage("setIconType:toPath:",
                                 std::vector<Object>{Object::numberWithInteger(2), "/r/a"}));
  EXPECT_TRUE(proxy->sendMessage("setBadgesCache:", std::vector<Object>{cache}));
  EXPECT_TRUE(proxy->sendMessage("cleanIconsCache", {}));

  const auto handled = root->handled();
  ASSERT_EQ(handled.size(), 3u);
  EXPECT_EQ(handled[0].selector, "setIconType:toPath:");
  EXPECT_EQ(handled[0].member, "setIconType_toPath_");
  EXPECT_EQ(handled[0].arguments, (std::vector<Object>{Object::numberWithInteger(2), "/r/a"}));
  EXPECT_EQ(handled[1].arguments, std::vector<Object>{cache});
  EXPECT_EQ(handled[2].selector, "cleanIconsCache");
  EXPECT_TRUE(handled[2].arguments.empty());
  // Each was weighed before it was decoded, heavier arguments weighing more.
  const auto weighed = root->weighed();
  ASSERT_EQ(weighed.size(), 3u);
  EXPECT_EQ(weighed[0].first, "setIconType:toPath:");
  EXPECT_GT(weighed[0].second, weighed[2].second);
}

TEST(ConnectionTest, AVendedObjectRefusesBeforeDecodingAndItsRefusalsReachTheCaller) {
  auto root = std::make_shared<RecordingRoot>(1024);
  VendingThread vending(root);
  ASSERT_NE(vending.connection(), nullptr) << vending.error();
  const std::string owner = vending.connection()->owner();

  // Over the weight: refused with LimitsExceeded, and never handed over decoded.
  const std::string heavy(4096, 'h');
  EXPECT_EQ(
      CallVended(owner, "setRootFolderPath_",
                 [&](sd_bus_message* m) { sd_bus_message_append(m, "av", 1, "s", heavy.c_str()); }),
      "org.freedesktop.DBus.Error.LimitsExceeded too heavy");
  EXPECT_TRUE(root->handled().empty());
  ASSERT_EQ(root->weighed().size(), 1u);
  EXPECT_GE(root->weighed()[0].second, heavy.size());

  // Arguments of a shape that cannot be read: InvalidArgs, and the object is told why.
  EXPECT_THAT(CallVended(owner, "hideIcons_",
                         [](sd_bus_message* m) { sd_bus_message_append(m, "s", "bare"); }),
              ::testing::StartsWith("org.freedesktop.DBus.Error.InvalidArgs"));
  ASSERT_EQ(root->undecoded().size(), 1u);
  EXPECT_THAT(root->undecoded()[0], ::testing::StartsWith("hideIcons_: "));
  EXPECT_TRUE(root->handled().empty());

  // The object's own refusals, each kind with its bus error and the object's reason.
  auto fail = [&](NSVendedRefusal::Kind kind) {
    return CallVended(owner, "fail_", [&](sd_bus_message* m) {
      sd_bus_message_append(m, "av", 1, "x", static_cast<std::int64_t>(kind));
    });
  };
  EXPECT_EQ(fail(NSVendedRefusal::Kind::InvalidArguments),
            "org.freedesktop.DBus.Error.InvalidArgs refused on purpose");
  EXPECT_EQ(fail(NSVendedRefusal::Kind::LimitsExceeded),
            "org.freedesktop.DBus.Error.LimitsExceeded refused on purpose");
  EXPECT_EQ(fail(NSVendedRefusal::Kind::UnknownSelector),
            "org.freedesktop.DBus.Error.UnknownMethod refused on purpose");
  // A proxy reports a refusal as a failed send, with its line.
  auto proxy = NSConnection::rootProxyForConnectionWithRegisteredName(kName, std::nullopt);
  ASSERT_NE(proxy, nullptr);
  LogCapture log;
  EXPECT_FALSE(
      proxy->sendMessage("fail:", std::vector<Object>{Object::numberWithInteger(
                                      static_cast<int>(NSVendedRefusal::Kind::InvalidArguments))}));
  EXPECT_EQ(log.countContaining("fail: to com.quenset.IPCServ.TestService failed"), 1u);
}

TEST(ConnectionTest, AVendedNameIsHeldUntilTheConnectionIsInvalidated) {
  auto first = std::make_unique<VendingThread>(std::make_shared<RecordingRoot>(1024));
  ASSERT_NE(first->connection(), nullptr) << first->error();
  EXPECT_TRUE(first->connection()->isValid());
  auto client = NSConnection::connectionWithRegisteredName(kName, std::nullopt);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->owner(), first->connection()->owner());

  // The name is not queued for: a second vendor is refused while the first holds it.
  VendingThread second(std::make_shared<RecordingRoot>(1024));
  EXPECT_EQ(second.connection(), nullptr);
  EXPECT_FALSE(second.error().empty());

  // Invalidating the vending side gives the name up, which its clients see as its death.
  DeathRecorder deaths;
  first->invalidate();
  EXPECT_FALSE(first->connection()->isValid());
  ASSERT_TRUE(deaths.waitFor(1));
  EXPECT_FALSE(client->isValid());
  EXPECT_EQ(NSConnection::connectionWithRegisteredName(kName, std::nullopt), nullptr);
  VendingThread third(std::make_shared<RecordingRoot>(1024));
  EXPECT_NE(third.connection(), nullptr) << third.error();
}

TEST(ConnectionTest, SelectorsAndBusMembersMapBothWays) {
  EXPECT_EQ(distantobjects::MemberForSelector("setIconType:toPath:"), "setIconType_toPath_");
  EXPECT_EQ(distantobjects::SelectorForMember("setIconType_toPath_"), "setIconType:toPath:");
  EXPECT_EQ(distantobjects::SelectorForMember("cleanIconsCache"), "cleanIconsCache");
  for (const char* selector : {"hideIcons:", "setBadgesCache:", "removeAllMenuItems", "a:b:c:"}) {
    EXPECT_EQ(distantobjects::SelectorForMember(distantobjects::MemberForSelector(selector)),
              selector);
  }
}

}  // namespace
}  // namespace vrk
