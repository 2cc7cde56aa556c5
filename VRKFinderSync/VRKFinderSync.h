// VRKFinderSync: the controller of the host library. The sync client drives it through the
// class facade (sharedInstance() and the same-named instance operations); the Mach listener
// calls its relays on the listening thread.
//
// Threads: the facade runs on the client's calling thread. A Python client cannot be expected to
// keep its threads from overlapping facade calls, so one mutex serializes the controller's state
// and each change's store write and announcement; every call keeps its own order of effects.
// The relays run on the listening thread and the lock answer on the thread that posts it. No
// lock of the controller is held while an observer of the local center runs: the client's lock
// answer is posted from inside such an observer and may meet a facade call on another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Connection/NSConnection.h"
#include "Platform/Foundation/NSError.h"
#include "Platform/Foundation/NSNotificationCenter.h"
#include "Platform/Foundation/NSUserDefaults.h"
#include "Platform/Foundation/Object.h"
#include "Platform/Foundation/ThreadSafety.h"
#include "Platform/Security/Authorization.h"
#include "VRKFinderSync/VRKBadgeTable.h"
#include "VRKFinderSync/VRKFinderPluginProtocol.h"
#include "VRKFinderSync/VRKFinderSyncMachBridgeClientSide.h"

namespace vrk {

// The controller's state lock: a std::recursive_mutex that the thread-safety analysis knows as a
// capability. The analysis does not follow re-entry, which only proxy() and the legacy replay
// make, each from a call of its own.
class CAPABILITY("mutex") VRKRecursiveMutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a VRKRecursiveMutex for its scope.
class SCOPED_CAPABILITY VRKRecursiveMutexLock {
 public:
  explicit VRKRecursiveMutexLock(VRKRecursiveMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.lock();
  }
  ~VRKRecursiveMutexLock() RELEASE() { mutex_.unlock(); }
  VRKRecursiveMutexLock(const VRKRecursiveMutexLock&) = delete;
  VRKRecursiveMutexLock& operator=(const VRKRecursiveMutexLock&) = delete;

 private:
  VRKRecursiveMutex& mutex_;
};

class VRKFinderSync final : public VRKMachBridgeTarget, public VRKFinderPluginProtocol {
 public:
  // The single instance, created (and started) by the first caller; lives until the process
  // ends. Safe from any thread.
  static std::shared_ptr<VRKFinderSync> sharedInstance();

  // Version tests, evaluated on every call.
  static bool vrk_isYosemiteOrHigher();
  static bool vrk_isEICapitanOrHigher();

  // Makes sure the single instance exists, then: on 10.10 and later makes the client's copy of
  // the extension the registered one and enables it (VRKYosemiteFindSyncExtensionHelper),
  // ignoring both results, and returns YES; before 10.10 loads the legacy Finder bundle and
  // returns whether that worked. Blocks while the registry tool runs; logs nothing of its own.
  static bool inject();

  // Class-level addMenuItems: does nothing at all.
  static void addMenuItems();
  // vrk_menuItemWithTitle:representedCommand:: {"title": title, "command": command}.
  static Object vrk_menuItemWithTitle(const std::optional<std::string>& title,
                                      std::int64_t representedCommand);

  // Root, badges, hiding and the badge cache.
  void setRootFolderPath(const std::optional<std::string>& path) override;
  void setIconType(std::int64_t type, const std::optional<std::string>& path) override;
  void hideIcons(bool hide) override;
  void cleanIconsCache() override;
  void setBadgesCache(const Object& cache) override;
  void notifyInjectedBundleDylibWillDieSoon();

  // Language.
  void changeLanguage(const std::optional<std::string>& language) override;

  // Menus.
  Object parseMenuItemInfosFrom(const Object& description);
  std::string vrk_prefixedTitleWithTitle(std::string_view title);
  void addMenuItems(const Object& items) override;
  void removeAllMenuItems() override;

  // Click relays (the listener calls them for commands 4, 5, 8, 9, 10).
  void shareLink(const std::optional<std::string>& path) override;
  void viewOnWebsite(const std::optional<std::string>& path) override;
  void lockFile(const std::optional<std::string>& path) override;
  void unlockFile(const std::optional<std::string>& path) override;
  void viewHistoryVersions(const std::optional<std::string>& path) override;

  // The lock question and the observation relays (commands 6, 1, 2, 3).
  void requestPythonItemLockPermissionAtPath(const std::optional<std::string>& path,
                                             const void* msg) override;
  void lockPermissionReplyNotified(const NSNotification& notification);
  void notifyPythonBeginObserve(const std::optional<std::string>& path) override;
  void notifyPythonEndObserve(const std::optional<std::string>& path) override;
  void notifyPythonBadgeNotExist4ItemAtPath(const std::optional<std::string>& path) override;

  // The legacy Finder bundle (before 10.10). proxy() is the bundle's root object, looked up
  // anew on each call and nil when it cannot be had (always nil on 10.10 and later).
  // connectionDidDieNotified: reloads the bundle after Finder restarted;
  // recoverAfterFinderRestartIfNeed replays the root, the hide flag and the badge cache into it.
  // These three, and injectLegacyFinderBundle, run one thread at a time under stateMutex_ (the
  // client's thread, the lock answer's thread and the connection layer's thread all come here).
  std::shared_ptr<VRKFinderPluginProtocol> proxy();
  void connectionDidDieNotified(const NSNotification& notification);
  void recoverAfterFinderRestartIfNeed();
  // inject's way before 10.10: runs the loader script that loads the legacy bundle into
  // Finder; true when the script reported no error.
  bool injectLegacyFinderBundle();

  // Properties: copies taken under the state lock, so any thread may read them.
  std::shared_ptr<NSUserDefaults> sharedDefaults() const { return sharedDefaults_; }
  ObjectDictionary badgeCache() const;
  std::optional<std::string> rootFolderPath_() const;
  bool shouldHideBadge() const;
  Object menuItems() const;
  bool injectAfterFinderRestartFailed() const;
  std::shared_ptr<NSConnection> connection() const;

  std::string description() const;

  // The privileged helper, the file copy through it and the sidebar (VRKFinderSyncHelper.cc).
  // tryInstallLaunchDaemon blocks while the authorization is asked for and the helper is
  // installed, and writes _authRef unlocked: one installation at a time.
  bool tryInstallLaunchDaemon();
  bool blessHelperWithLabel(const std::optional<std::string>& label, NSErrorRef* error);
  // Returns at once; the reply is logged on the main queue once the process serves it.
  static void copyItemAtPath(const std::optional<std::string>& source,
                             const std::optional<std::string>& destination);
  static void addFolderToFinderSidebar(const std::optional<std::string>& path);
  // The reference of the last installation attempt; never freed.
  AuthorizationRef _authRef() const { return authRef_; }

  ~VRKFinderSync() override;

 private:
  VRKFinderSync() = default;
  bool init();
  void relayClick(std::int64_t type, std::string_view logFormat,
                  const std::optional<std::string>& path);
  void relayObservation(std::int32_t type, std::string_view logFormat,
                        const std::optional<std::string>& path);
  // The bodies of the operations that others call too; the caller holds stateMutex_.
  void cleanIconsCacheLocked() REQUIRES(stateMutex_);
  void removeAllMenuItemsLocked() REQUIRES(stateMutex_);
  // The store half of one change: writes each key in order (a nil value removes it), then
  // synchronizes once, before the change is announced. False without a store or when the
  // write failed.
  bool saveToStore(std::initializer_list<std::pair<std::string_view, Object>> changes);
  void postDistributed(std::string_view name, Object object, Object userInfo);

  // Set once by init, before any other thread can see the instance.
  std::shared_ptr<NSUserDefaults> sharedDefaults_;

  // Guards the fields below it. Never held while a local observer runs (see the top).
  // Recursive because the legacy replay asks proxy() again for each message it sends, and the
  // facade reaches the legacy bundle through proxy() while it holds the lock.
  mutable VRKRecursiveMutex stateMutex_;
  // The badge cache. Not the dictionary of Objects one would expect: a sync client badges every
  // file it knows, and that dictionary cost the client's process about three times what the
  // paths themselves take. badgeCache() still returns the dictionary, built when asked for.
  VRKBadgeTable badgeCache_ GUARDED_BY(stateMutex_);
  std::optional<std::string> rootFolderPath_value_ GUARDED_BY(stateMutex_);
  bool shouldHideBadge_ GUARDED_BY(stateMutex_) = false;
  Object menuItems_ GUARDED_BY(stateMutex_);
  AuthorizationRef authRef_ = nullptr;

  std::shared_ptr<NSConnection> connection_ GUARDED_BY(stateMutex_);
  bool injectAfterFinderRestartFailed_ GUARDED_BY(stateMutex_) = false;

  // The lock questions being asked right now (one per listening thread at most): an answer is
  // acted on only while its question is still being handled, because the request it replies
  // to lives only that long.
  Mutex questionsMutex_;
  std::vector<const void*> openQuestions_ GUARDED_BY(questionsMutex_);
};

}  // namespace vrk
