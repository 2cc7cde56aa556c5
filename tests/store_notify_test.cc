// The settings store and the distributed notifications between two real processes, in the
// order the library publishes a change: write the key, synchronize, then post. The test process
// observes on its main run loop and, inside each observer call, reads the store; a helper
// process (this binary with --store-notify-writer) writes and posts, one change at a time.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Contract/VRKContract.h"
#include "Platform/Foundation/NSDistributedNotificationCenter.h"
#include "Platform/Foundation/NSUserDefaults.h"
#include "Platform/Foundation/RunLoop.h"
#include "tests/support/ObjectSamples.h"
#include "tests/support/RunLoopUntil.h"

extern char** environ;

namespace vrk {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kIntegerKey = "vrk.test.integer";
constexpr std::string_view kIntegerChanged = "vrk.test.IntegerChanged";
// The observer answers each change, so that the writer makes the next one only after the
// observer has read the store: each read then sees exactly the state its post announced.
constexpr std::string_view kAck = "vrk.test.ack";
constexpr char kRoot[] = "/tmp/sync root/\xE5\x90\x8C\xE6\xAD\xA5";  // a blank and CJK text
constexpr char kItem[] = "/tmp/sync root/a file";

Object ItemDictionary() {
  return ObjectDictionary{{"title", Object("Share link")},
                          {"command", Object::numberWithInteger(4)}};
}

// One published change: what is written under `key` (nil removes it), then what is posted.
struct Change {
  std::string_view key;
  Object stored;
  std::string_view name;
  Object object;
  Object userInfo;
};

std::vector<Change> Changes() {
  return {
      {kRootFolderPathKey, Object(kRoot), kVRKRootFolderPathChangedNotification, Object(kRoot),
       Object()},
      {kHideBadgeKey, Object::numberWithBool(true), kVRKShowOrHideIconsNotification, Object(),
       ObjectDictionary{{"shouldHide", Object::numberWithBool(true)}}},
      {kIntegerKey, Object::numberWithInteger(-5'000'000'000), kIntegerChanged,
       Object::numberWithInteger(7), Object(ObjectDictionary{})},
      {kBadgeCacheKey, ObjectDictionary{{kItem, Object::numberWithInteger(2)}},
       kVRKIconTypeChangedNotification, Object(),
       ObjectDictionary{{"type", Object::numberWithInteger(2)}, {"path", Object(kItem)}}},
      {kVRKMenuItemsKey, ObjectArray{ItemDictionary(), ItemDictionary()},
       kVRKCustomContextMenuItemInfoSentNotification, Object(), Object()},
      {kRootFolderPathKey, Object(), kVRKRootFolderPathChangedNotification, Object(), Object()},
  };
}

class StoreNotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (bus == nullptr || *bus == '\0') GTEST_SKIP() << "needs dbus-run-session";
    char dir[] = "/tmp/vrk.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    root_ = dir;
    // Set before the first use of the store; the writer inherits it.
    ::setenv("VRK_ROOT", dir, 1);
  }
  void TearDown() override {
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }

  std::filesystem::path root_;
};

struct Received {
  NSNotification note;
  Object storedThen;  // the key of the change, read inside the observer
};

TEST_F(StoreNotifyTest, ObserverFindsEachAnnouncedValueInTheStore) {
  auto store = NSUserDefaults::initWithSuiteName(kVRKSharedSuiteName);
  ASSERT_TRUE(store);
  const std::vector<Change> changes = Changes();
  auto& center = NSDistributedNotificationCenter::defaultCenter();
  std::vector<Received> received;
  int token = 0;
  // Each change's key is read inside the observer, at the moment its post is handled.
  auto observer = [&](const NSNotification& n) {
    const std::size_t next = received.size();
    received.push_back(
        {n, next < changes.size() ? store->objectForKey(changes[next].key) : Object()});
    center.postNotificationName(kAck, Object(), Object(), true);
  };
  // Registered as the extension registers: by name, any object, immediate delivery.
  std::set<std::string_view> names;
  for (const Change& c : changes) names.insert(c.name);
  for (std::string_view name : names) {
    center.addObserver(&token, observer, std::string(name), Object(),
                       NSNotificationSuspensionBehavior::DeliverImmediately);
  }

  std::string self = "/proc/self/exe";
  std::string flag = "--store-notify-writer";
  char* argv[] = {self.data(), flag.data(), nullptr};
  pid_t writer = -1;
  ASSERT_EQ(posix_spawn(&writer, self.c_str(), nullptr, nullptr, argv, environ), 0);

  const bool complete = RunLoopUntil([&] { return received.size() == changes.size(); }, 20s);
  int status = -1;
  if (!complete) ::kill(writer, SIGKILL);
  ::waitpid(writer, &status, 0);
  center.removeObserver(&token);
  ASSERT_TRUE(complete) << "received " << received.size() << " of " << changes.size();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  for (std::size_t i = 0; i < changes.size(); ++i) {
    const Change& c = changes[i];
    const Received& r = received[i];
    SCOPED_TRACE(std::string(c.name) + " #" + std::to_string(i));
    // Kinds and number types, which operator== does not compare. Int32 and Int64 count as one,
    // as after crossing the bus: the settings file keeps integers without their width.
    constexpr bool kSent = true;
    EXPECT_EQ(r.note.name, c.name);
    EXPECT_EQ(r.note.object, c.object);
    EXPECT_EQ(Shape(r.note.object, kSent), Shape(c.object, kSent));
    EXPECT_EQ(r.note.userInfo, c.userInfo);
    EXPECT_EQ(Shape(r.note.userInfo, kSent), Shape(c.userInfo, kSent));
    EXPECT_EQ(r.storedThen, c.stored);
    EXPECT_EQ(Shape(r.storedThen, kSent), Shape(c.stored, kSent));
  }
  // The integer kept its exact value through the file (beyond 32 bits).
  EXPECT_EQ(received[2].storedThen.integerValue(), -5'000'000'000);
}

// The writer: one change at a time, each written and synchronized before it is posted.
int WriterMain() {
  auto store = NSUserDefaults::initWithSuiteName(kVRKSharedSuiteName);
  if (!store) return 3;
  auto& center = NSDistributedNotificationCenter::defaultCenter();
  int acks = 0;
  int token = 0;
  center.addObserver(
      &token, [&](const NSNotification&) { ++acks; }, std::string(kAck), Object(),
      NSNotificationSuspensionBehavior::DeliverImmediately);
  int sent = 0;
  for (const Change& c : Changes()) {
    if (c.stored.isNil()) {
      store->removeObjectForKey(c.key);
    } else {
      store->setObject(c.stored, c.key);
    }
    if (!store->synchronize()) return 4;
    center.postNotificationName(c.name, c.object, c.userInfo, true);
    ++sent;
    if (!RunLoopUntil([&] { return acks == sent; }, 20s)) return 5;
  }
  return 0;
}

}  // namespace
}  // namespace vrk

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "--store-notify-writer") return vrk::WriterMain();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
