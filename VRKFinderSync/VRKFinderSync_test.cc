// Tests of the library controller. Each test runs in its own process (CTest runs one test
// case per process) with its own VRK_ROOT and session bus, so the single instance is fresh.
#include "VRKFinderSync/VRKFinderSync.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "Contract/VRKContract.h"
#include "Platform/AppleScript/AppleEventWire.h"
#include "Platform/Connection/DistantObjectWire.h"
#include "Platform/Foundation/NSDistributedNotificationCenter.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "tests/support/RunLoopUntil.h"
#include "tests/support/TemporaryRoot.h"
#include "tests/support/TestBusPeer.h"

namespace vrk {
namespace {

using namespace std::chrono_literals;

// What an observer in another process sees: each broadcast, and the store as it reads it at
// that moment through a suite object of its own.
struct Seen {
  std::string name;
  Object object;
  Object userInfo;
  ObjectDictionary store;
};

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("VRK_MAIN_BUNDLE", VRK_SYNC_APP, 1); }
  void TearDown() override {
    NSDistributedNotificationCenter::defaultCenter().removeObserver(this);
    StopListenerAndWait(listenerLog_);
  }

  std::shared_ptr<NSUserDefaults> Store() {
    return NSUserDefaults::initWithSuiteName(kVRKSharedSuiteName);
  }

  // Records every broadcast of the contract together with the store as read on receipt.
  void Observe() {
    for (std::string_view name :
         {kVRKRootFolderPathChangedNotification, kVRKIconTypeChangedNotification,
          kVRKShowOrHideIconsNotification, kVRKCleanIconsCacheNotification,
          kVRKLanguageChangedNotification, kVRKCustomContextMenuItemInfoSentNotification,
          kVRKDylibWillDieSoonNotification}) {
      NSDistributedNotificationCenter::defaultCenter().addObserver(
          this,
          [this](const NSNotification& n) {
            auto reader = Store();
            ObjectDictionary store;
            for (std::string_view key : {kRootFolderPathKey, kBadgeCacheKey, kHideBadgeKey,
                                         kLanguageKey, kVRKMenuItemsKey}) {
              Object value = reader->objectForKey(key);
              if (!value.isNil()) store.emplace(std::string(key), value);
            }
            seen_.push_back({n.name, n.object, n.userInfo, store});
          },
          std::string(name), Object(), NSNotificationSuspensionBehavior::DeliverImmediately);
    }
    // Broadcasts made before now may still be on their way; a marker posted now arrives after
    // all of them, so everything seen up to it is forgotten.
    bool marked = false;
    NSDistributedNotificationCenter::defaultCenter().addObserver(
        this, [&marked](const NSNotification&) { marked = true; }, std::string("vrk.test.marker"),
        Object(), NSNotificationSuspensionBehavior::DeliverImmediately);
    NSDistributedNotificationCenter::defaultCenter().postNotificationName("vrk.test.marker",
                                                                          Object(), Object(), true);
    ASSERT_TRUE(RunLoopUntil([&] { return marked; }, 5s));
    NSDistributedNotificationCenter::defaultCenter().removeObserver(this,
                                                                    std::string("vrk.test.marker"));
    seen_.clear();
  }

  // Runs the main run loop until `count` broadcasts arrived (or a generous bound passed).
  void WaitFor(std::size_t count) {
    RunLoopUntil([&] { return seen_.size() >= count; }, 5s);
    ASSERT_GE(seen_.size(), count);
  }

  std::vector<std::string> SeenNames() const {
    std::vector<std::string> names;
    for (const auto& s : seen_) names.push_back(s.name);
    return names;
  }

  // The controller's listener registers on its own thread; it must be gone before the root
  // is removed, or it could create its folder there again.
  static void StopListenerAndWait(const LogCapture& log) {
    stopMachBridge();
    auto limit = RunLoop::Clock::now() + 5s;
    while (log.count("[FinderSync] mach port unregistered") == 0 &&
           log.count("[FinderSync] failed to register mach port") == 0 &&
           RunLoop::Clock::now() < limit) {
      std::this_thread::sleep_for(2ms);
    }
  }

  LogCapture listenerLog_;
  TemporaryRoot root_;
  std::vector<Seen> seen_;
};

TEST_F(ControllerTest, StartClearsStaleKeysButKeepsTheMenuList) {
  auto store = Store();
  Object menu(ObjectArray{
      Object(ObjectDictionary{{"title", Object("x")}, {"command", Object::numberWithInteger(4)}})});
  store->setObject(Object("/old/root"), kRootFolderPathKey);
  store->setObject(Object(ObjectDictionary{{"/old/root/a", Object::numberWithInteger(1)}}),
                   kBadgeCacheKey);
  store->setObject(Object::numberWithBool(true), kHideBadgeKey);
  store->setObject(Object("zh-Hans"), kLanguageKey);
  store->setObject(menu, kVRKMenuItemsKey);
  ASSERT_TRUE(store->synchronize());

  LogCapture log;
  auto controller = VRKFinderSync::sharedInstance();
  ASSERT_TRUE(controller);
  EXPECT_EQ(controller, VRKFinderSync::sharedInstance());

  auto reader = Store();
  for (std::string_view key : {kRootFolderPathKey, kBadgeCacheKey, kHideBadgeKey, kLanguageKey}) {
    EXPECT_TRUE(reader->objectForKey(key).isNil()) << key;
  }
  EXPECT_EQ(reader->objectForKey(kVRKMenuItemsKey), menu);
  EXPECT_EQ(log.countContaining("[VRK Finder sync client] Init dylib, instance = <VRKFinderSync: "),
            1u);
}

TEST_F(ControllerTest, BadgesAreAcceptedByPlainPrefixAndPublishedAfterTheStoreWrite) {
  auto controller = VRKFinderSync::sharedInstance();
  controller->setIconType(2, "/Users/a/Sync/x.txt");  // no root yet: lost
  EXPECT_TRUE(controller->badgeCache().empty());

  controller->setRootFolderPath("/Users/a/Sync");
  Observe();
  controller->setIconType(0, "/Users/a/Sync");
  controller->setIconType(1, "/Users/a/Sync/x.txt");
  controller->setIconType(2, "/Users/a/SyncOld/x.txt");
  controller->setIconType(3, "/Users/b/x.txt");
  controller->setIconType(3, "/Users/a/Sync/x.txt");
  controller->setIconType(4, std::nullopt);
  WaitFor(4);

  ObjectDictionary expected{{"/Users/a/Sync", Object::numberWithInteger(0)},
                            {"/Users/a/Sync/x.txt", Object::numberWithInteger(3)},
                            {"/Users/a/SyncOld/x.txt", Object::numberWithInteger(2)}};
  EXPECT_EQ(controller->badgeCache(), expected);
  EXPECT_EQ(Store()->objectForKey(kBadgeCacheKey), Object(expected));

  ASSERT_EQ(seen_.size(), 4u);
  for (const auto& s : seen_) EXPECT_EQ(s.name, kVRKIconTypeChangedNotification);
  EXPECT_EQ(seen_[3].userInfo.objectForKey("type"), Object::numberWithInteger(3));
  EXPECT_EQ(seen_[3].userInfo.objectForKey("path"), Object("/Users/a/Sync/x.txt"));
  EXPECT_TRUE(seen_[3].object.isNil());
  // A second process reading the store on each broadcast already finds the badge in it.
  for (const auto& s : seen_) {
    Object path = s.userInfo.objectForKey("path");
    EXPECT_FALSE(s.store.at(std::string(kBadgeCacheKey)).objectForKey(path.stringValue()).isNil())
        << path.description();
  }
}

// A checkpoint of `mode`, tried again while the store's own checkpoint thread is copying the
// log (a checkpoint does not wait for another one), for up to 10 s.
int Checkpoint(sqlite3* db, int mode, int* log) {
  int done = 0;
  int rc;
  for (int i = 0;
       (rc = sqlite3_wal_checkpoint_v2(db, nullptr, mode, log, &done)) == SQLITE_BUSY && i < 1000;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return rc;
}

// Pages the suite's write-ahead log holds after `change`, checkpointed just before it: what
// the change wrote to the store.
std::int64_t PagesWrittenBy(const std::function<void()>& change) {
  const std::string file = NSUserDefaults::initWithSuiteName(kVRKSharedSuiteName)->filePath();
  sqlite3* db = nullptr;
  int log = -1;
  // A connection learns that the file is in WAL mode on its first read.
  if (sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
      sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr) ==
          SQLITE_OK &&
      Checkpoint(db, SQLITE_CHECKPOINT_TRUNCATE, &log) == SQLITE_OK) {
    change();
    if (Checkpoint(db, SQLITE_CHECKPOINT_PASSIVE, &log) != SQLITE_OK) log = -1;
  } else {
    change();  // the caller still expects the change made
    log = -1;
  }
  sqlite3_close(db);
  return log;
}

TEST_F(ControllerTest, ABadgeWritesItsOwnEntryNotTheWholeCache) {
  auto controller = VRKFinderSync::sharedInstance();
  controller->setRootFolderPath("/Users/a/Sync");
  ObjectDictionary expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string path = "/Users/a/Sync/folder/document-" + std::to_string(i) + ".txt";
    controller->setIconType(i % 6, path);
    expected.emplace(path, Object::numberWithInteger(i % 6));
  }
  const std::int64_t pages =
      PagesWrittenBy([&] { controller->setIconType(5, "/Users/a/Sync/folder/document-7.txt"); });
  EXPECT_GE(pages, 1);
  EXPECT_LE(pages, 5) << "the whole cache of 3000 paths was rewritten";
  expected.insert_or_assign("/Users/a/Sync/folder/document-7.txt", Object::numberWithInteger(5));
  EXPECT_EQ(Store()->objectForKey(kBadgeCacheKey), Object(expected));
  EXPECT_EQ(controller->badgeCache(), expected);
}

// The cache is kept compactly inside the controller; what it reads back, and what the store
// holds, must be the dictionary of Int64 numbers it always was, across cleans and root changes.
TEST_F(ControllerTest, TheBadgeCacheReadsBackExactlyAcrossCleansAndRootChanges) {
  auto controller = VRKFinderSync::sharedInstance();
  auto expectCache = [&](const ObjectDictionary& expected) {
    ObjectDictionary cache = controller->badgeCache();
    EXPECT_EQ(cache, expected);
    for (const auto& [path, type] : cache) {
      EXPECT_EQ(type.numberType(), Object::NumberType::Int64) << path;
    }
    Object stored = Store()->objectForKey(kBadgeCacheKey);
    if (expected.empty()) {
      EXPECT_TRUE(stored.isNil());
    } else {
      EXPECT_EQ(stored, Object(expected));
    }
  };
  controller->setRootFolderPath("/Users/a/Sync");
  controller->setIconType(1, "/Users/a/Sync");
  controller->setIconType(2, "/Users/a/Sync/x.txt");
  controller->setIconType(3, "/Users/a/SyncOld/x.txt");
  controller->setIconType(-4, "/Users/a/Sync/x.txt");
  controller->setIconType(5, "/Users/b/x.txt");
  expectCache({{"/Users/a/Sync", Object::numberWithInteger(1)},
               {"/Users/a/Sync/x.txt", Object::numberWithInteger(-4)},
               {"/Users/a/SyncOld/x.txt", Object::numberWithInteger(3)}});

  controller->cleanIconsCache();
  expectCache({});
  controller->setIconType(6, "/Users/a/Sync/y.txt");
  expectCache({{"/Users/a/Sync/y.txt", Object::numberWithInteger(6)}});

  // A shorter root: the earlier root's paths are now under it, and are new entries.
  controller->setRootFolderPath("/Users/a");
  expectCache({});
  controller->setIconType(7, "/Users/a/Sync/y.txt");
  controller->setIconType(8, "/Users/a");
  controller->setIconType(9, "/Users/b/x.txt");
  expectCache({{"/Users/a", Object::numberWithInteger(8)},
               {"/Users/a/Sync/y.txt", Object::numberWithInteger(7)}});
}

TEST_F(ControllerTest, SettingTheRootAgainCleansTheCacheFirst) {
  auto controller = VRKFinderSync::sharedInstance();
  controller->setRootFolderPath("/r");
  controller->setIconType(1, "/r/a");
  Observe();
  LogCapture log;
  controller->setRootFolderPath("/r");
  WaitFor(2);
  EXPECT_EQ(SeenNames(),
            (std::vector<std::string>{std::string(kVRKCleanIconsCacheNotification),
                                      std::string(kVRKRootFolderPathChangedNotification)}));
  EXPECT_TRUE(controller->badgeCache().empty());
  EXPECT_EQ(seen_[0].store.count(std::string(kBadgeCacheKey)), 0u);
  EXPECT_EQ(seen_[1].object, Object("/r"));
  EXPECT_EQ(seen_[1].store.at(std::string(kRootFolderPathKey)), Object("/r"));
  EXPECT_TRUE(log.contains("[VRK Finder sync client] Save rootFolder result = 1"));
}

TEST_F(ControllerTest, ClearingTheRootEndsTheService) {
  auto controller = VRKFinderSync::sharedInstance();
  controller->setRootFolderPath("/r");
  controller->hideIcons(true);
  controller->changeLanguage("en");
  Observe();
  LogCapture log;
  controller->setRootFolderPath(std::nullopt);
  WaitFor(3);
  EXPECT_EQ(SeenNames(),
            (std::vector<std::string>{std::string(kVRKCleanIconsCacheNotification),
                                      std::string(kVRKRootFolderPathChangedNotification),
                                      std::string(kVRKDylibWillDieSoonNotification)}));
  EXPECT_TRUE(seen_[1].object.isNil());
  EXPECT_EQ(seen_[1].store.count(std::string(kRootFolderPathKey)), 0u);
  auto reader = Store();
  EXPECT_TRUE(reader->objectForKey(kRootFolderPathKey).isNil());
  EXPECT_TRUE(reader->objectForKey(kBadgeCacheKey).isNil());
  EXPECT_TRUE(reader->objectForKey(kHideBadgeKey).isNil());
  EXPECT_EQ(reader->objectForKey(kLanguageKey), Object("en"));
  EXPECT_TRUE(log.contains("[VRK Finder sync client] Save rootFolder result = 1"));
  EXPECT_TRUE(log.contains("[VRK Finder sync client] notifyInjectedBundleDylibWillDieSoon"));
  // The listener stops on its own thread.
  auto limit = RunLoop::Clock::now() + 5s;
  while (!log.contains("[FinderSync] mach port unregistered") && RunLoop::Clock::now() < limit) {
    RunLoop::current().runOnce(RunLoop::Clock::now() + 10ms);
  }
  EXPECT_EQ(log.count("[FinderSync] mach port unregistered"), 1u);
  // The hide flag itself survives the end of the service.
  EXPECT_TRUE(controller->shouldHideBadge());
}

TEST_F(ControllerTest, HidingNeedsARoot) {
  auto controller = VRKFinderSync::sharedInstance();
  LogCapture log;
  Observe();
  controller->hideIcons(true);
  EXPECT_FALSE(controller->shouldHideBadge());
  EXPECT_TRUE(Store()->objectForKey(kHideBadgeKey).isNil());
  EXPECT_EQ(log.countContaining("Hide icons"), 0u);

  controller->setRootFolderPath("/r");
  controller->hideIcons(true);
  WaitFor(3);
  EXPECT_EQ(seen_.back().name, kVRKShowOrHideIconsNotification);
  EXPECT_EQ(seen_.back().userInfo.objectForKey("shouldHide"), Object::numberWithBool(true));
  EXPECT_EQ(seen_.back().store.at(std::string(kHideBadgeKey)), Object::numberWithBool(true));
  EXPECT_TRUE(log.contains("[VRK Finder sync client] Hide icons = 1"));
}

TEST_F(ControllerTest, CleaningAnEmptyCacheStillRemovesAndAnnounces) {
  auto controller = VRKFinderSync::sharedInstance();
  Observe();
  controller->cleanIconsCache();
  WaitFor(1);
  EXPECT_EQ(seen_[0].name, kVRKCleanIconsCacheNotification);
  EXPECT_TRUE(seen_[0].object.isNil());
  EXPECT_TRUE(seen_[0].userInfo.isNil());
}

TEST_F(ControllerTest, LanguageIsStoredAnnouncedAndSwitched) {
  auto controller = VRKFinderSync::sharedInstance();
  Observe();
  controller->changeLanguage("zh-Hans");
  WaitFor(1);
  EXPECT_EQ(seen_[0].name, kVRKLanguageChangedNotification);
  EXPECT_EQ(seen_[0].userInfo.objectForKey("language"), Object("zh-Hans"));
  EXPECT_EQ(seen_[0].store.at(std::string(kLanguageKey)), Object("zh-Hans"));
  EXPECT_EQ(controller->vrk_prefixedTitleWithTitle("Share"), "Mirelta 同步 - 分享链接");
}

TEST_F(ControllerTest, TitlesWithoutTranslationKeepTheirKeys) {
  // A main bundle without string tables.
  std::filesystem::create_directories(root_ / "Bare.app/Contents/Resources");
  setenv("VRK_MAIN_BUNDLE", (root_ / "Bare.app").c_str(), 1);
  auto controller = VRKFinderSync::sharedInstance();
  EXPECT_EQ(controller->vrk_prefixedTitleWithTitle("Share"), "Prefix - Share");
}

Object Description(std::initializer_list<std::string_view> yes) {
  ObjectDictionary d;
  for (auto key : yes) d.emplace(std::string(key), Object::numberWithBool(true));
  return Object(std::move(d));
}

std::vector<std::int64_t> Commands(const Object& list) {
  std::vector<std::int64_t> commands;
  if (!list.isArray()) return commands;
  for (const auto& item : *list.array())
    commands.push_back(item.objectForKey("command").integerValue());
  return commands;
}

TEST_F(ControllerTest, MenuDescriptionsBecomeOrderedLists) {
  auto controller = VRKFinderSync::sharedInstance();
  controller->changeLanguage("en");
  using V = std::vector<std::int64_t>;
  Object all = controller->parseMenuItemInfosFrom(
      Description({"show_share", "show_view_website", "show_lock_unlock", "show_lock",
                   "show_unlock", "is_file", "show_history"}));
  EXPECT_EQ(Commands(all), (V{4, 5, 8, 10}));
  EXPECT_EQ(all.array()->at(0),
            Object(ObjectDictionary{{"title", Object("Mirelta Sync - Share Link")},
                                    {"command", Object::numberWithInteger(4)}}));
  EXPECT_EQ(Commands(controller->parseMenuItemInfosFrom(
                Description({"show_lock_unlock", "show_unlock"}))),
            (V{9}));
  EXPECT_EQ(Commands(controller->parseMenuItemInfosFrom(Description({"show_lock_unlock"}))), V{});
  EXPECT_EQ(Commands(controller->parseMenuItemInfosFrom(Description({"show_unlock"}))), V{});
  EXPECT_EQ(Commands(controller->parseMenuItemInfosFrom(Description({"show_history"}))), V{});
  EXPECT_TRUE(controller->parseMenuItemInfosFrom(Description({"hide_all", "show_share"})).isNil());
  Object empty = controller->parseMenuItemInfosFrom(Object(ObjectDictionary{}));
  ASSERT_TRUE(empty.isArray());
  EXPECT_EQ(empty.count(), 0u);
  // Values are read with boolValue, so strings count too.
  EXPECT_EQ(Commands(controller->parseMenuItemInfosFrom(Object(ObjectDictionary{
                {"show_share", Object("YES")}, {"show_view_website", Object("0")}}))),
            (V{4}));
}

TEST_F(ControllerTest, RemovingTheMenuListAnnouncesEvenWhenNoneWasStored) {
  auto controller = VRKFinderSync::sharedInstance();
  Observe();
  controller->removeAllMenuItems();
  WaitFor(1);
  EXPECT_EQ(seen_[0].name, kVRKCustomContextMenuItemInfoSentNotification);
  EXPECT_TRUE(Store()->objectForKey(kVRKMenuItemsKey).isNil());
}

TEST_F(ControllerTest, ClicksAreRelayedToTheClientWithTheirType) {
  auto controller = VRKFinderSync::sharedInstance();
  std::vector<NSNotification> clicks;
  NSNotificationCenter::defaultCenter().addObserver(
      this, [&](const NSNotification& n) { clicks.push_back(n); },
      std::string(kVRKContextMenuClickNotification));
  LogCapture log;
  controller->shareLink("/r/a");
  controller->viewOnWebsite("/r/b");
  controller->lockFile("/r/c");
  controller->unlockFile("/r/d");
  controller->viewHistoryVersions("/r/e");
  controller->lockFile(std::nullopt);
  NSNotificationCenter::defaultCenter().removeObserver(this);
  ASSERT_EQ(clicks.size(), 5u);
  std::vector<std::int64_t> types;
  for (const auto& n : clicks) types.push_back(n.userInfo.objectForKey("type").integerValue());
  EXPECT_EQ(types, (std::vector<std::int64_t>{1, 2, 5, 6, 7}));
  EXPECT_EQ(clicks[2].userInfo.objectForKey("path"), Object("/r/c"));
  EXPECT_TRUE(log.contains("[VRK Finder sync client] lockFile, path = /r/c"));
  EXPECT_EQ(log.countContaining("[VRK Finder sync client] lockFile"), 1u);
}

TEST_F(ControllerTest, ObservationRelaysPostOnlyWithAPath) {
  auto controller = VRKFinderSync::sharedInstance();
  std::vector<NSNotification> seen;
  NSNotificationCenter::defaultCenter().addObserver(
      this, [&](const NSNotification& n) { seen.push_back(n); },
      std::string(kVRKDirectoryObservationNotification));
  LogCapture log;
  controller->notifyPythonBeginObserve("/r");
  controller->notifyPythonEndObserve(std::nullopt);
  controller->notifyPythonBadgeNotExist4ItemAtPath("/r/x");
  NSNotificationCenter::defaultCenter().removeObserver(this);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].userInfo.objectForKey("type").numberType(), Object::NumberType::Int32);
  EXPECT_EQ(seen[1].userInfo.objectForKey("type").integerValue(), 3);
  EXPECT_TRUE(log.contains("[VRK Finder sync client] notifyPythonEndObserve, folderPath = (null)"));
}

TEST_F(ControllerTest, AnswersWithoutAPendingQuestionAreIgnored) {
  auto controller = VRKFinderSync::sharedInstance();
  LogCapture log;
  int unrelated = 0;
  auto answer = [&](Object mach) {
    NSNotificationCenter::defaultCenter().postNotificationName(
        kVRKContextMenuClickNotification, Object(),
        Object(ObjectDictionary{{"type", Object::numberWithInteger(4)},
                                {"mach", mach},
                                {"msg", Description({"show_share"})}}));
  };
  answer(Object::valueWithPointer(&unrelated));
  answer(Object("not a pointer"));
  answer(Object());
  EXPECT_TRUE(Store()->objectForKey(kVRKMenuItemsKey).isNil());
  EXPECT_EQ(log.countContaining("ignoring a lock answer"), 3u);
  EXPECT_EQ(log.countContaining("[FinderSync] failed to reply"), 0u);
}

TEST_F(ControllerTest, AnAnswerFromInsideTheQuestionIsPublishedBeforeTheReply) {
  auto controller = VRKFinderSync::sharedInstance();
  std::vector<std::string> order;
  NSNotificationCenter::defaultCenter().addObserver(
      this,
      [&](const NSNotification& n) {
        if (n.userInfo.objectForKey("type").integerValue() != 3) return;
        order.push_back("question " + n.userInfo.objectForKey("path").stringValue());
        NSNotificationCenter::defaultCenter().postNotificationName(
            kVRKContextMenuClickNotification, Object(),
            Object(ObjectDictionary{{"type", Object::numberWithInteger(4)},
                                    {"mach", n.userInfo.objectForKey("mach")},
                                    {"msg", Description({"hide_all", "show_lock"})}}));
        order.push_back(Store()->objectForKey(kVRKMenuItemsKey).isNil() ? "removed" : "stored");
      },
      std::string(kVRKContextMenuClickNotification));
  Store()->setObject(Object(ObjectArray{}), kVRKMenuItemsKey);
  ASSERT_TRUE(Store()->synchronize());
  LogCapture log;
  int request = 0;
  controller->requestPythonItemLockPermissionAtPath("/r/file", &request);
  controller->requestPythonItemLockPermissionAtPath(std::nullopt, &request);
  NSNotificationCenter::defaultCenter().removeObserver(this);
  EXPECT_EQ(order, (std::vector<std::string>{"question /r/file", "removed"}));
  EXPECT_EQ(log.countContaining("lockPermissionReplyNotified, thread = <NSThread: "), 1u);
  EXPECT_EQ(log.countContaining("[VRK Finder sync client] menu item showcase:"), 1u);
}

TEST_F(ControllerTest, AnEmptyRootMatchesNothing) {
  auto controller = VRKFinderSync::sharedInstance();
  controller->setRootFolderPath("");
  controller->setIconType(1, "/etc/passwd");
  controller->setIconType(1, "");
  EXPECT_TRUE(controller->badgeCache().empty());
  EXPECT_TRUE(Store()->objectForKey(kBadgeCacheKey).isNil());
}

TEST_F(ControllerTest, AnUnreadableQuestionIsAnsweredWithAnEmptyMenuAtOnce) {
  auto controller = VRKFinderSync::sharedInstance();
  bool asked = false;
  NSNotificationCenter::defaultCenter().addObserver(
      this, [&](const NSNotification&) { asked = true; },
      std::string(kVRKContextMenuClickNotification));
  Store()->setObject(Object(ObjectArray{Object("stale")}), kVRKMenuItemsKey);
  ASSERT_TRUE(Store()->synchronize());
  LogCapture log;
  int request = 0;
  controller->requestPythonItemLockPermissionAtPath(std::nullopt, &request);
  NSNotificationCenter::defaultCenter().removeObserver(this);
  EXPECT_FALSE(asked);
  EXPECT_TRUE(Store()->objectForKey(kVRKMenuItemsKey).isNil());
  // The reply was attempted (no real request stands behind it in this test).
  EXPECT_EQ(log.countContaining("ignoring a lock reply for a request that is not being handled"),
            1u);
}

// Many client threads calling the facade at once, while the listener's thread asks lock
// questions whose answers are posted from inside the observer: nothing may crash or deadlock,
// no badge may be lost, and the store ends up holding exactly the cache that the controller
// holds. One call in ten writes the store, so that the run stays short with a durable store.
TEST_F(ControllerTest, OverlappingFacadeCallsKeepTheCacheAndTheStoreInStep) {
  constexpr int kThreads = 16;
  constexpr int kCalls = 2000;
  auto controller = VRKFinderSync::sharedInstance();
  controller->setRootFolderPath("/r");
  NSNotificationCenter::defaultCenter().addObserver(
      this,
      [](const NSNotification& n) {
        if (n.userInfo.objectForKey("type").integerValue() != 3) return;
        NSNotificationCenter::defaultCenter().postNotificationName(
            kVRKContextMenuClickNotification, Object(),
            Object(ObjectDictionary{{"type", Object::numberWithInteger(4)},
                                    {"mach", n.userInfo.objectForKey("mach")},
                                    {"msg", Description({"show_share", "is_file"})}}));
      },
      std::string(kVRKContextMenuClickNotification));

  std::atomic<bool> done{false};
  std::thread listener([&] {
    int request = 0;
    while (!done.load()) {
      controller->requestPythonItemLockPermissionAtPath("/r/q", &request);
      std::this_thread::sleep_for(1ms);
    }
  });
  auto path = [](int thread, int item) {
    return "/r/t" + std::to_string(thread) + "/" + std::to_string(item);
  };
  std::latch looped(kThreads);
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        switch (i % 40) {
          case 0:
            controller->cleanIconsCache();
            break;
          case 10:
            controller->hideIcons(i % 80 == 10);
            break;
          case 20:
          case 30:
            controller->setIconType(i % 7, path(t, i % 8));
            break;
          case 25:
            controller->removeAllMenuItems();
            break;
          default:
            // Refused under the lock (outside the root), or a read of what others change.
            if (i % 2 == 0) {
              controller->setIconType(1, "/elsewhere/" + std::to_string(i));
            } else {
              EXPECT_LE(controller->badgeCache().size(), 8u * kThreads);
              EXPECT_EQ(controller->rootFolderPath_(), "/r");
            }
        }
      }
      looped.arrive_and_wait();
      // Every thread's last word is its own eight badges: none of them may be lost.
      for (int i = 0; i < 8; ++i) controller->setIconType(5, path(t, i));
    });
  }
  for (auto& client : clients) client.join();
  done.store(true);
  listener.join();
  NSNotificationCenter::defaultCenter().removeObserver(this);

  ObjectDictionary cache = controller->badgeCache();
  EXPECT_EQ(cache.size(), 8u * kThreads);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < 8; ++i) EXPECT_EQ(cache[path(t, i)], Object::numberWithInteger(5));
  }
  EXPECT_EQ(Store()->objectForKey(kBadgeCacheKey).description(), Object(cache).description());
}

TEST_F(ControllerTest, VersionBranches) {
  EXPECT_TRUE(VRKFinderSync::vrk_isYosemiteOrHigher());
  EXPECT_TRUE(VRKFinderSync::vrk_isEICapitanOrHigher());
  setenv("VRK_MACOS_VERSION", "10.10", 1);
  EXPECT_TRUE(VRKFinderSync::vrk_isYosemiteOrHigher());
  EXPECT_FALSE(VRKFinderSync::vrk_isEICapitanOrHigher());
}

TEST_F(ControllerTest, BeforeYosemiteNothingReachesTheStoreOrTheBus) {
  setenv("VRK_MACOS_VERSION", "10.9", 1);
  auto controller = VRKFinderSync::sharedInstance();
  EXPECT_FALSE(controller->sharedDefaults());
  Observe();
  LogCapture log;
  controller->changeLanguage("zh-Hans");
  controller->setRootFolderPath("/r");
  controller->setIconType(1, "/r/a");
  controller->hideIcons(true);
  // Only the will-die announcement goes out on an old system.
  controller->setRootFolderPath(std::nullopt);
  WaitFor(1);
  EXPECT_EQ(SeenNames(), (std::vector<std::string>{std::string(kVRKDylibWillDieSoonNotification)}));
  EXPECT_TRUE(controller->shouldHideBadge());
  EXPECT_TRUE(Store()->objectForKey(kLanguageKey).isNil());
  EXPECT_EQ(controller->vrk_prefixedTitleWithTitle("Share"), "Mirelta 同步 - 分享链接");
  EXPECT_FALSE(log.contains("[VRK Finder sync client] Save rootFolder result = 1"));
}

// ---- The legacy Finder bundle (before 10.10) ----

TEST_F(ControllerTest, FromYosemiteOnThereIsNoLegacyProxy) {
  auto controller = VRKFinderSync::sharedInstance();
  LogCapture log;
  EXPECT_EQ(controller->proxy(), nullptr);
  EXPECT_EQ(controller->connection(), nullptr);
  EXPECT_EQ(log.countContaining("NSConnection"), 0u);
  EXPECT_EQ(log.countContaining("SessionBus"), 0u);
}

TEST_F(ControllerTest, InjectBeforeYosemiteIsTheLoaderScriptsResult) {
  setenv("VRK_MACOS_VERSION", "10.9", 1);
  VRKFinderSync::sharedInstance();
  LogCapture log;
  EXPECT_FALSE(VRKFinderSync::inject());  // Finder is not running
  std::mutex mutex;
  std::vector<std::string> events;
  TestBusPeer finder(appleevents::ApplicationBusName("Finder"), appleevents::kPath,
                     [&](sd_bus_message* m) {
                       const char* cls = "";
                       const char* id = "";
                       sd_bus_message_read(m, "ss", &cls, &id);
                       std::lock_guard lock(mutex);
                       events.push_back(std::string(cls) + id);
                       return sd_bus_reply_method_return(m, "");
                     });
  EXPECT_TRUE(VRKFinderSync::inject());
  EXPECT_EQ(events, std::vector<std::string>{"NVTYload"});
  EXPECT_EQ(log.countContaining("[VRK Finder sync client]"), 0u);
}

TEST_F(ControllerTest, OnlyTheDeathOfTheKeptConnectionCountsAndNoRootReplaysNothing) {
  setenv("VRK_MACOS_VERSION", "10.9", 1);
  std::atomic<int> messages{0};
  auto answer = [&](sd_bus_message* m) {
    ++messages;
    return sd_bus_reply_method_return(m, "");
  };
  TestBusPeer bundle(kVRKFinderPluginConnectionName, distantobjects::kRootObjectPath, answer);
  TestBusPeer other("org.example.Other", distantobjects::kRootObjectPath, answer);
  auto controller = VRKFinderSync::sharedInstance();
  LogCapture log;
  controller->recoverAfterFinderRestartIfNeed();
  EXPECT_EQ(messages.load(), 0);

  ASSERT_NE(controller->proxy(), nullptr);
  auto kept = controller->connection();
  ASSERT_NE(kept, nullptr);
  auto foreign = NSConnection::connectionWithRegisteredName("org.example.Other", std::nullopt);
  ASSERT_NE(foreign, nullptr);
  for (const Object& object : {Object::valueWithPointer(foreign.get()), Object("x"), Object()}) {
    NSNotificationCenter::defaultCenter().postNotificationName(NSConnectionDidDieNotification,
                                                               object);
  }
  EXPECT_EQ(controller->connection(), kept);
  EXPECT_TRUE(kept->isValid());
  EXPECT_FALSE(controller->injectAfterFinderRestartFailed());
  EXPECT_EQ(messages.load(), 0);
  EXPECT_EQ(log.countContaining("[VRK Finder sync client]"), 0u);
}

}  // namespace
}  // namespace vrk
