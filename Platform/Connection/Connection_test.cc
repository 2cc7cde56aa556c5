#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/Connection/DistantObjectWire.h"
#include "Platform/Connection/NSConnection.h"
#include "Platform/Foundation/DBusMessageArguments.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSNotificationCenter.h"
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

}  // namespace
}  // namespace vrk
