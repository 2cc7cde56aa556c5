// Tests of the extension's controller against the in-process recorder of the file manager's
// controller. Each test runs in its own process with its own VRK_ROOT and session bus; the
// library's listener, where a test needs one, is the real one started in this process.
#include "VRKFinderSyncExtension/FinderSync.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "Contract/VRKContract.h"
#include "Contract/VRKMachMessage.h"
#include "Localization/BundleLocalization.h"
#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/NSDistributedNotificationCenter.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "VRKFinderSync/VRKFinderSyncMachBridgeClientSide.h"
#include "VRKFinderSync/VRKMachBridgeTargetRecorder.h"
#include "tests/support/RunLoopUntil.h"
#include "tests/support/TemporaryRoot.h"

namespace vrk {
namespace {

using namespace std::chrono_literals;
using Method = FIFinderSyncRecorder::Method;

NSURL URL(const std::string& path) {
  return *NSURL::fileURLWithPath(path);
}

NSNotification Note(std::string name, Object object, Object userInfo) {
  return NSNotification{std::move(name), std::move(object), std::move(userInfo)};
}

Object Info(std::initializer_list<std::pair<const std::string, Object>> entries) {
  return Object(ObjectDictionary(entries));
}

class FinderSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VRK_MAIN_BUNDLE", VRK_EXTENSION_APPEX, 1);
    setenv("LC_ALL", "en_US.UTF-8", 1);
    recorder_ = FIFinderSyncController::installRecorderForTesting();
    store_ = NSUserDefaults::initWithSuiteName(kVRKSharedSuiteName);
  }
  void TearDown() override {
    if (listening_) {
      // The listener must be gone before the root is removed, or it could create its folder
      // there again.
      stopMachBridge();
      auto limit = std::chrono::steady_clock::now() + 5s;
      while (listenerLog_.count("[FinderSync] mach port unregistered") == 0 &&
             std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(2ms);
      }
    }
    dispatch::setTimeScaleForTesting(1.0);
  }

  void Store(std::string_view key, Object value) {
    store_->setObject(value, key);
    ASSERT_TRUE(store_->synchronize());
  }

  // The library's real listener, answering each lock question with the given flags.
  void StartListener(bool showLock, bool showUnlock, bool isFile) {
    target_ = std::make_shared<VRKMachBridgeTargetRecorder>();
    target_->onLockQuestion = [=](const std::optional<std::string>&, const void* msg) {
      replyShouldShowLockMenuItemMachMsg(msg, showLock, showUnlock, isFile);
    };
    startMachBridge(target_.get());
    listening_ = true;
    auto socket = emulated::Resolve("/var/run/bootstrap") / std::string(kVRKMachServiceName);
    auto limit = std::chrono::steady_clock::now() + 5s;
    while (!std::filesystem::exists(socket) && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(std::filesystem::exists(socket));
  }

  // Waits until the listener has handled `count` requests.
  void WaitForCalls(std::size_t count) {
    target_->waitForCount(count, 5s);
    ASSERT_EQ(target_->calls().size(), count);
  }

  LogCapture listenerLog_;
  TemporaryRoot root_;
  std::shared_ptr<FIFinderSyncRecorder> recorder_;
  std::shared_ptr<NSUserDefaults> store_;
  std::shared_ptr<VRKMachBridgeTargetRecorder> target_;
  bool listening_ = false;
};

TEST_F(FinderSyncTest, StartWithAStoredRootGivesFinderTheDirectoryAtOnce) {
  Store(kRootFolderPathKey, Object("/Users/a/Sync"));
  Store(kHideBadgeKey, Object::numberWithBool(true));
  LogCapture log;
  auto controller = FinderSync::create();
  ASSERT_TRUE(controller);
  auto calls = recorder_->callDescriptions();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front(), "setDirectoryURLs: {/Users/a/Sync}");
  EXPECT_TRUE(log.contains("[Finder Sync Extension] Cached rootFolderPath = /Users/a/Sync"));
  EXPECT_TRUE(log.contains("[Finder Sync Extension] Mach bridge in extension constructed"));
  EXPECT_EQ(log.countContaining("try to read Root Folder Path"), 0u);
  // The hide flag only sets the state: badges are set empty, the root is still observed.
  EXPECT_TRUE(controller->shouldHideBadges());
  controller->setIconType(2, "/Users/a/Sync/x");
  EXPECT_EQ(recorder_->callDescriptions().back(), "setBadgeIdentifier:  forURL: /Users/a/Sync/x");
  EXPECT_EQ(recorder_->directoryURLs(), std::set<NSURL>{URL("/Users/a/Sync")});
}

TEST_F(FinderSyncTest, StartWithoutARootPollsUntilOneIsStored) {
  dispatch::setTimeScaleForTesting(0.001);                  // the 2-second poll every 2 ms
  Store(kRootFolderPathKey, Object::numberWithInteger(7));  // not a string: no root
  LogCapture log;
  auto controller = FinderSync::create();
  EXPECT_TRUE(log.contains("[Finder Sync Extension] Cached rootFolderPath = (null)"));
  EXPECT_EQ(log.count("[Finder Sync Extension] try to read Root Folder Path from sharedDefaults"),
            1u);
  RunLoopUntil(
      [&] {
        return log.count(
                   "[Finder Sync Extension] try to read Root Folder Path from sharedDefaults") >= 3;
      },
      2s);
  EXPECT_FALSE(controller->rootFolderPath_());
  Store(kRootFolderPathKey, Object("/r"));
  RunLoopUntil([&] { return controller->rootFolderPath_().has_value(); }, 2s);
  EXPECT_EQ(controller->rootFolderPath_(), "/r");
  // Found by the poll, the root reaches Finder as any other root does.
  EXPECT_EQ(recorder_->directoryURLs(), std::set<NSURL>{URL("/r")});
  std::size_t polls = log.countContaining("try to read Root Folder Path");
  RunLoop::main().runUntil(RunLoop::Clock::now() + 20ms);
  EXPECT_EQ(log.countContaining("try to read Root Folder Path"), polls);
}

TEST_F(FinderSyncTest, APendingPollDoesNothingAfterTeardown) {
  dispatch::setTimeScaleForTesting(0.001);
  LogCapture log;
  FinderSync::create().reset();
  EXPECT_TRUE(
      log.countContaining("Yosemite Finder sync extension dealloc, instance = <FinderSync: "));
  RunLoop::main().runUntil(RunLoop::Clock::now() + 20ms);
  EXPECT_EQ(log.countContaining("try to read Root Folder Path"), 1u);
}

TEST_F(FinderSyncTest, RootNotifications) {
  Store(kRootFolderPathKey, Object("/r"));
  auto controller = FinderSync::create();
  recorder_->clearCalls();
  LogCapture log;
  controller->rootFolderPathChangedNotified(
      Note(std::string(kVRKRootFolderPathChangedNotification), Object("/r"), Object()));
  EXPECT_TRUE(recorder_->calls().empty());
  EXPECT_TRUE(log.lines().empty());

  controller->rootFolderPathChangedNotified(Note(std::string(kVRKRootFolderPathChangedNotification),
                                                 Object::numberWithInteger(1), Object()));
  EXPECT_TRUE(recorder_->calls().empty());

  controller->rootFolderPathChangedNotified(
      Note(std::string(kVRKRootFolderPathChangedNotification), Object(), Object()));
  EXPECT_EQ(recorder_->callDescriptions(), std::vector<std::string>{"setDirectoryURLs: nil"});
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"[Finder Sync Extension] Root folder path change to nil",
                                      "[Finder Sync Extension] Clean all badges cache"}));
  // Without a root nothing equals it: clearing again acts again.
  controller->rootFolderPathChangedNotified(
      Note(std::string(kVRKRootFolderPathChangedNotification), Object(), Object()));
  EXPECT_EQ(recorder_->calls(Method::setDirectoryURLs).size(), 2u);
}

TEST_F(FinderSyncTest, LanguageComesFromTheStoreOrTheLocale) {
  struct Case {
    const char* locale;
    const char* stored;
    const char* expected;
  };
  for (const Case& c : {Case{"zh_TW.UTF-8", nullptr, "zh-Hant"},
                        Case{"zh_CN.UTF-8", nullptr, "zh-Hans"}, Case{"zh", nullptr, "zh-Hans"},
                        Case{"fr_FR.UTF-8", nullptr, "en"}, Case{"zh_TW.UTF-8", "en", "en"}}) {
    setenv("LC_ALL", c.locale, 1);
    if (c.stored) {
      Store(kLanguageKey, Object(c.stored));
    } else {
      store_->removeObjectForKey(kLanguageKey);
      ASSERT_TRUE(store_->synchronize());
    }
    LogCapture log;
    auto controller = FinderSync::create();
    EXPECT_TRUE(log.contains(std::string("[Finder Sync Extension] init language = ") + c.expected))
        << c.locale;
    // The language chosen is the one every lookup now uses.
    EXPECT_EQ(BundleLocalization::sharedInstance()->language(), c.expected) << c.locale;
  }
}

TEST_F(FinderSyncTest, BadgesAreRegisteredInOrderAndAgainOnALanguageChange) {
  Store(kLanguageKey, Object("en"));
  auto controller = FinderSync::create();
  auto registered = recorder_->calls(Method::setBadgeImage);
  ASSERT_EQ(registered.size(), 6u);
  const char* images[] = {"processing", "paused", "succeeded", "failed", "locked", "forbidden"};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(registered[i].identifier, std::to_string(i));
    ASSERT_TRUE(registered[i].image);
    EXPECT_EQ(registered[i].image->name(), images[i]);
  }
  EXPECT_EQ(registered[4].label, "Locked");  // the label key of type 4 is "Locking"
  ASSERT_TRUE(registered[4].image->filePath());

  recorder_->clearCalls();
  LogCapture log;
  controller->changeLanguageNotified(Note(std::string(kVRKLanguageChangedNotification), Object(),
                                          Info({{"language", Object("zh-Hans")}})));
  registered = recorder_->calls(Method::setBadgeImage);
  ASSERT_EQ(registered.size(), 6u);
  EXPECT_EQ(registered[4].label, "已锁定");
  EXPECT_TRUE(log.contains("[Finder Sync Extension] Language changed to zh-Hans"));
  EXPECT_EQ(BundleLocalization::sharedInstance()->language(), "zh-Hans");

  // An announcement without a language: lookups fall back to the system's choice.
  controller->changeLanguageNotified(
      Note(std::string(kVRKLanguageChangedNotification), Object(), Object(ObjectDictionary{})));
  EXPECT_TRUE(log.contains("[Finder Sync Extension] Language changed to (null)"));
  EXPECT_EQ(recorder_->registrations().at("4").label, "Locked");
}

TEST_F(FinderSyncTest, AnnouncedBadgesNeedARootAndTheRootPrefix) {
  auto controller = FinderSync::create();
  auto announce = [&](Object info) {
    controller->iconChangedNotified(
        Note(std::string(kVRKIconTypeChangedNotification), Object(), std::move(info)));
  };
  announce(Info({{"type", Object::numberWithInteger(2)}, {"path", Object("/Users/a/Sync/x")}}));
  EXPECT_TRUE(recorder_->calls(Method::setBadgeIdentifier).empty());

  controller->setRootFolderPath("/Users/a/Sync");
  announce(Info({{"type", Object::numberWithInteger(4)}, {"path", Object("/Users/a/Sync/x")}}));
  announce(Info({{"type", Object::numberWithInteger(1)}, {"path", Object("/Users/a/Sync2/x")}}));
  announce(Info({{"path", Object("/Users/a/Sync")}}));
  announce(Info({{"type", Object::numberWithInteger(3)}, {"path", Object("/Users/b/x")}}));
  announce(Info({{"type", Object::numberWithInteger(3)}, {"path", Object("")}}));
  announce(Object());
  EXPECT_EQ(recorder_->badgeIdentifierForURL(URL("/Users/a/Sync/x")), "4");
  EXPECT_EQ(recorder_->badgeIdentifierForURL(URL("/Users/a/Sync2/x")), "1");
  EXPECT_EQ(recorder_->badgeIdentifierForURL(URL("/Users/a/Sync")), "0");
  EXPECT_EQ(recorder_->calls(Method::setBadgeIdentifier).size(), 3u);

  LogCapture log;
  controller->hideIconsNotified(Note(std::string(kVRKShowOrHideIconsNotification), Object(),
                                     Info({{"shouldHide", Object::numberWithBool(true)}})));
  controller->hideIcons(true);
  EXPECT_EQ(log.count("[Finder Sync Extension] Hide all icons"), 2u);
  EXPECT_EQ(recorder_->directoryURLs(), std::nullopt);
  announce(Info({{"type", Object::numberWithInteger(2)}, {"path", Object("/Users/a/Sync/x")}}));
  EXPECT_EQ(recorder_->calls(Method::setBadgeIdentifier).back().identifier, "");
  EXPECT_EQ(recorder_->badgeIdentifierForURL(URL("/Users/a/Sync/x")), std::nullopt);
  controller->hideIconsNotified(
      Note(std::string(kVRKShowOrHideIconsNotification), Object(), Object(ObjectDictionary{})));
  EXPECT_TRUE(controller->shouldHideBadges());
  controller->hideIcons(false);
  EXPECT_TRUE(log.contains("[Finder Sync Extension] Show all icons"));
  EXPECT_EQ(recorder_->directoryURLs(), std::set<NSURL>{URL("/Users/a/Sync")});
}

TEST_F(FinderSyncTest, AnEmptyRootMatchesNoPath) {
  auto controller = FinderSync::create();
  controller->setRootFolderPath("");
  controller->iconChangedNotified(
      Note(std::string(kVRKIconTypeChangedNotification), Object(),
           Info({{"type", Object::numberWithInteger(1)}, {"path", Object("/etc/passwd")}})));
  EXPECT_TRUE(recorder_->calls(Method::setBadgeIdentifier).empty());
}

TEST_F(FinderSyncTest, BroadcastsReachTheControllerOnTheMainRunLoop) {
  auto controller = FinderSync::create();
  auto& center = NSDistributedNotificationCenter::defaultCenter();
  center.postNotificationName(kVRKRootFolderPathChangedNotification, Object("/r"), Object(), true);
  center.postNotificationName(
      kVRKIconTypeChangedNotification, Object(),
      Info({{"type", Object::numberWithInteger(5)}, {"path", Object("/r/a")}}), true);
  RunLoopUntil([&] { return recorder_->badgeIdentifierForURL(URL("/r/a")).has_value(); }, 5s);
  EXPECT_EQ(recorder_->badgeIdentifierForURL(URL("/r/a")), "5");
  controller.reset();
  // After teardown nothing is observed any more.
  center.postNotificationName(kVRKRootFolderPathChangedNotification, Object("/other"), Object(),
                              true);
  RunLoop::main().runUntil(RunLoop::Clock::now() + 100ms);
  EXPECT_EQ(recorder_->directoryURLs(), std::set<NSURL>{URL("/r")});
}

TEST_F(FinderSyncTest, MenusThatAreNeverOfferedSendNothing) {
  Store(kRootFolderPathKey, Object("/r"));
  auto controller = FinderSync::create();
  LogCapture log;
  recorder_->setSelectedItemURLs({URL("/r/a"), URL("/r/b")});
  EXPECT_FALSE(controller->menuForMenuKind(FIMenuKindContextualMenuForItems));
  recorder_->setSelectedItemURLs({URL("/r")});
  EXPECT_FALSE(controller->menuForMenuKind(FIMenuKindContextualMenuForItems));
  recorder_->setSelectedItemURLs({URL("/r/a")});
  EXPECT_FALSE(controller->menuForMenuKind(FIMenuKindContextualMenuForContainer));
  EXPECT_FALSE(controller->menuForMenuKind(FIMenuKindToolbarItemMenu));
  // Not one of those reached the bridge (which would have tried to connect).
  EXPECT_EQ(log.countContaining("[Finder Sync Extension] "), 0u);
  // Without a library there is no answer and no menu.
  EXPECT_FALSE(controller->menuForMenuKind(FIMenuKindContextualMenuForItems));
  EXPECT_TRUE(log.contains("[Finder Sync Extension] Failed to find bootstrap port"));
}

TEST_F(FinderSyncTest, TheMenuComesFromTheStoredListAfterTheAnswer) {
  Store(kRootFolderPathKey, Object("/r"));
  auto item = [](Object title, std::int64_t command) {
    ObjectDictionary entry{{"command", Object::numberWithInteger(command)}};
    if (!title.isNil()) entry.emplace("title", std::move(title));
    return Object(std::move(entry));
  };
  Store(kVRKMenuItemsKey, Object(ObjectArray{item(Object("Share it"), 4), Object("a string"),
                                             item(Object("Request"), 6), item(Object(), 5),
                                             item(Object("Versions"), 10)}));
  StartListener(true, false, true);
  auto controller = FinderSync::create();
  recorder_->setSelectedItemURLs({URL("/r/a b.txt")});
  LogCapture log;
  auto menu = controller->menuForMenuKind(FIMenuKindContextualMenuForItems);
  ASSERT_TRUE(menu);
  EXPECT_EQ(menu->title(), "");
  ASSERT_EQ(menu->numberOfItems(), 2u);
  EXPECT_EQ(menu->itemAtIndex(0)->title(), "Share it");
  EXPECT_EQ(menu->itemAtIndex(0)->action(), "shareLink:");
  EXPECT_EQ(menu->itemAtIndex(1)->action(), "viewHistoryVersions:");
  for (const auto& entry : menu->items()) {
    EXPECT_EQ(entry->keyEquivalent(), "");
    ASSERT_TRUE(entry->image());
    EXPECT_EQ(entry->image()->name(), "context-menu-icon");
  }
  EXPECT_EQ(log.countContaining("[Finder Sync Extension] Blocking works, menuItems = "), 1u);
  EXPECT_EQ(target_->calls().front(), (VRKMachBridgeTargetRecorder::Call{
                                          "requestPythonItemLockPermissionAtPath", "/r/a b.txt"}));

  // A click sends the entry's command with the selected item's path.
  EXPECT_TRUE(controller->performMenuAction("unlockFile:", menu->itemAtIndex(0)));
  WaitForCalls(2);
  EXPECT_EQ(target_->calls().back(),
            (VRKMachBridgeTargetRecorder::Call{"unlockFile", "/r/a b.txt"}));
  // With nothing selected a click sends nothing.
  recorder_->setSelectedItemURLs({});
  EXPECT_TRUE(controller->performMenuAction("shareLink:", nullptr));
  EXPECT_FALSE(controller->performMenuAction("launchRockets:", nullptr));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(target_->calls().size(), 2u);
}

TEST_F(FinderSyncTest, EachEntrySelectorRunsItsOwnActionMethod) {
  Store(kRootFolderPathKey, Object("/r"));
  StartListener(false, false, false);
  auto controller = FinderSync::create();
  recorder_->setSelectedItemURLs({URL("/r/f")});
  const std::pair<std::string_view, std::string_view> sent[] = {
      {"shareLink:", "shareLink"},
      {"viewOnWebsite:", "viewOnWebsite"},
      {"lockFile:", "lockFile"},
      {"unlockFile:", "unlockFile"},
      {"viewHistoryVersions:", "viewHistoryVersions"},
  };
  std::size_t calls = 0;
  for (const auto& [selector, relay] : sent) {
    EXPECT_TRUE(controller->performMenuAction(selector, nullptr)) << selector;
    WaitForCalls(++calls);
    EXPECT_EQ(target_->calls().back(),
              (VRKMachBridgeTargetRecorder::Call{std::string(relay), "/r/f"}))
        << selector;
  }
  // The action methods themselves send the same commands, as Finder calls them by selector.
  controller->lockFile(nullptr);
  WaitForCalls(++calls);
  EXPECT_EQ(target_->calls().back(), (VRKMachBridgeTargetRecorder::Call{"lockFile", "/r/f"}));
  controller->viewHistoryVersions(nullptr);
  WaitForCalls(++calls);
  EXPECT_EQ(target_->calls().back(),
            (VRKMachBridgeTargetRecorder::Call{"viewHistoryVersions", "/r/f"}));
}

TEST_F(FinderSyncTest, NoListNoMenu) {
  Store(kRootFolderPathKey, Object("/r"));
  StartListener(false, true, false);
  auto controller = FinderSync::create();
  recorder_->setSelectedItemURLs({URL("/r/a")});
  LogCapture log;
  EXPECT_FALSE(controller->menuForMenuKind(FIMenuKindContextualMenuForItems));
  EXPECT_EQ(log.countContaining("Blocking works"), 0u);
  EXPECT_EQ(target_->calls().size(), 1u);
}

TEST_F(FinderSyncTest, FinderRequestsBecomeBridgeCommands) {
  Store(kRootFolderPathKey, Object("/r"));
  StartListener(false, false, false);
  auto controller = FinderSync::create();
  LogCapture log;
  controller->beginObservingDirectoryAtURL(URL("/r/dir"));
  controller->requestBadgeIdentifierForURL(URL("/r/dir/file"));
  controller->endObservingDirectoryAtURL(URL("/r/dir"));
  WaitForCalls(3);
  using Call = VRKMachBridgeTargetRecorder::Call;
  EXPECT_EQ(target_->calls(),
            (std::vector<Call>{{"notifyPythonBeginObserve", "/r/dir"},
                               {"notifyPythonBadgeNotExist4ItemAtPath", "/r/dir/file"},
                               {"notifyPythonEndObserve", "/r/dir"}}));
  EXPECT_TRUE(log.contains("[Finder Sync Extension] BeginObservingDirectoryAtPath:/r/dir"));
  EXPECT_TRUE(log.contains("[Finder Sync Extension] EndObservingDirectoryAtPath:/r/dir"));
  EXPECT_EQ(log.countContaining("/r/dir/file"), 0u);  // the badge request logs nothing
  EXPECT_TRUE(recorder_->calls(Method::setBadgeIdentifier).empty());
}

TEST_F(FinderSyncTest, ControllersShareOneBridgeUntilTheLastTeardown) {
  LogCapture log;
  auto first = FinderSync::create();
  auto second = FinderSync::create();
  EXPECT_EQ(log.count("[Finder Sync Extension] Mach bridge in extension constructed"), 1u);
  first.reset();
  // The second controller still reaches the bridge.
  second->beginObservingDirectoryAtURL(URL("/r"));
  EXPECT_TRUE(log.contains("[Finder Sync Extension] Failed to find bootstrap port"));
  second.reset();
  auto third = FinderSync::create();
  EXPECT_EQ(log.count("[Finder Sync Extension] Mach bridge in extension constructed"), 2u);
}

}  // namespace
}  // namespace vrk
