#include "VRKFinderSync/VRKFinderSync.h"

#include <algorithm>
#include <cstdio>

#include "Contract/VRKContract.h"
#include "Contract/VRKMachMessage.h"
#include "Localization/BundleLocalization.h"
#include "Platform/Foundation/NSBundle.h"
#include "Platform/Foundation/NSDistributedNotificationCenter.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "Platform/Foundation/VersionProbes.h"
#include "VRKFinderSync/VRKFinderPluginProxy.h"
#include "VRKFinderSync/VRKMenuItemInfo.h"

namespace vrk {

namespace {

Object PathInfo(std::string_view typeKey, Object type, const std::string& path) {
  return Object(ObjectDictionary{{std::string(typeKey), std::move(type)},
                                 {std::string(kVRKUserInfoPathKey), Object(path)}});
}

}  // namespace

std::shared_ptr<VRKFinderSync> VRKFinderSync::sharedInstance() {
  // Never released: the listener thread and the observers refer to it until the process ends.
  static std::shared_ptr<VRKFinderSync>& instance = *new std::shared_ptr<VRKFinderSync>;
  static std::once_flag onceToken;
  std::call_once(onceToken, [] {
    std::shared_ptr<VRKFinderSync> created(new VRKFinderSync());
    if (created->init()) instance = std::move(created);
  });
  return instance;
}

bool VRKFinderSync::init() {
  // Nothing else can see the instance yet; the lock is for the analysers' sake and costs nothing.
  VRKRecursiveMutexLock lock(stateMutex_);
  badgeCache_.clear();
  if (vrk_isYosemiteOrHigher()) {
    sharedDefaults_ = NSUserDefaults::initWithSuiteName(kVRKSharedSuiteName);
    saveToStore({{kBadgeCacheKey, Object()},
                 {kRootFolderPathKey, Object()},
                 {kHideBadgeKey, Object()},
                 {kLanguageKey, Object()}});
    NSLog("[VRK Finder sync client] Init dylib, instance = %@", *this);
  } else {
    NSNotificationCenter::defaultCenter().addObserver(
        this, [this](const NSNotification& n) { connectionDidDieNotified(n); },
        std::string(NSConnectionDidDieNotification));
  }
  startMachBridge(this);
  NSNotificationCenter::defaultCenter().addObserver(
      this, [this](const NSNotification& n) { lockPermissionReplyNotified(n); },
      std::string(kVRKContextMenuClickNotification));
  return true;
}

VRKFinderSync::~VRKFinderSync() {
  NSLog("[VRK Finder sync client] Dylib dealloc");
}

std::string VRKFinderSync::description() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "<VRKFinderSync: %p>", static_cast<const void*>(this));
  return buf;
}

bool VRKFinderSync::vrk_isYosemiteOrHigher() {
  return NSClassFromString("NSGestureRecognizer");
}

bool VRKFinderSync::vrk_isEICapitanOrHigher() {
  return instancesRespondToSelector("NSCollectionView", "backgroundView");
}

void VRKFinderSync::addMenuItems() {}

Object VRKFinderSync::vrk_menuItemWithTitle(const std::optional<std::string>& title,
                                            std::int64_t representedCommand) {
  ObjectDictionary item{
      {std::string(kVRKMenuItemCommandKey), Object::numberWithInteger(representedCommand)}};
  if (title) item.emplace(std::string(kVRKMenuItemTitleKey), Object(*title));
  return Object(std::move(item));
}

// ---- The legacy Finder bundle ----

std::shared_ptr<VRKFinderPluginProtocol> VRKFinderSync::proxy() {
  if (vrk_isYosemiteOrHigher()) return nullptr;
  VRKRecursiveMutexLock lock(stateMutex_);
  if (!connection_ || !connection_->isValid()) {
    connection_ =
        NSConnection::connectionWithRegisteredName(kVRKFinderPluginConnectionName, std::nullopt);
    // After an on-demand load the connection is looked up again only by the next call.
    if (!connection_ && !inject()) {
      NSLog("[VRK Finder sync client] Calling proxy, inject Finder bundle failed");
      return nullptr;
    }
  }
  std::shared_ptr<NSDistantObject> root = NSConnection::rootProxyForConnectionWithRegisteredName(
      kVRKFinderPluginConnectionName, std::nullopt);
  if (!root) {
    NSLog("[VRK Finder sync client] Connect to Finder bundle failed");
    return nullptr;
  }
  if (injectAfterFinderRestartFailed_) {
    // Cleared first: the replay asks proxy() again for each message it sends.
    injectAfterFinderRestartFailed_ = false;
    recoverAfterFinderRestartIfNeed();
  }
  return std::make_shared<VRKFinderPluginProxy>(std::move(root));
}

void VRKFinderSync::connectionDidDieNotified(const NSNotification& notification) {
  std::shared_ptr<NSConnection> dead =
      NSConnection::connectionForNotificationObject(notification.object);
  VRKRecursiveMutexLock lock(stateMutex_);
  if (!dead || !connection_ || !dead->isEqual(*connection_)) return;
  if (inject()) {
    recoverAfterFinderRestartIfNeed();
    return;
  }
  connection_->invalidate();
  connection_.reset();
  injectAfterFinderRestartFailed_ = true;
  NSLog("[VRK Finder sync client] Finder restart detected, inject Finder bundle failed");
}

void VRKFinderSync::recoverAfterFinderRestartIfNeed() {
  VRKRecursiveMutexLock lock(stateMutex_);
  if (!rootFolderPath_value_) return;
  if (auto legacy = proxy()) legacy->setRootFolderPath(rootFolderPath_value_);
  if (auto legacy = proxy()) legacy->hideIcons(shouldHideBadge_);
  addMenuItems();
  if (auto legacy = proxy()) legacy->setBadgesCache(Object(badgeCache_.dictionary()));
}

bool VRKFinderSync::injectAfterFinderRestartFailed() const {
  VRKRecursiveMutexLock lock(stateMutex_);
  return injectAfterFinderRestartFailed_;
}

std::shared_ptr<NSConnection> VRKFinderSync::connection() const {
  VRKRecursiveMutexLock lock(stateMutex_);
  return connection_;
}

bool VRKFinderSync::saveToStore(
    std::initializer_list<std::pair<std::string_view, Object>> changes) {
  if (!sharedDefaults_) return false;
  for (const auto& [key, value] : changes) sharedDefaults_->setObject(value, key);
  return sharedDefaults_->synchronize();
}

void VRKFinderSync::postDistributed(std::string_view name, Object object, Object userInfo) {
  NSDistributedNotificationCenter::defaultCenter().postNotificationName(
      name, std::move(object), std::move(userInfo), /*deliverImmediately=*/true);
}

// ---- Root, badges, hiding, the badge cache ----

ObjectDictionary VRKFinderSync::badgeCache() const {
  VRKRecursiveMutexLock lock(stateMutex_);
  return badgeCache_.dictionary();
}

std::optional<std::string> VRKFinderSync::rootFolderPath_() const {
  VRKRecursiveMutexLock lock(stateMutex_);
  return rootFolderPath_value_;
}

bool VRKFinderSync::shouldHideBadge() const {
  VRKRecursiveMutexLock lock(stateMutex_);
  return shouldHideBadge_;
}

Object VRKFinderSync::menuItems() const {
  VRKRecursiveMutexLock lock(stateMutex_);
  return menuItems_;
}

void VRKFinderSync::setRootFolderPath(const std::optional<std::string>& path) {
  {
    VRKRecursiveMutexLock lock(stateMutex_);
    rootFolderPath_value_ = path;
    cleanIconsCacheLocked();
    if (vrk_isYosemiteOrHigher()) {
      bool saved = saveToStore({{kRootFolderPathKey, Object(rootFolderPath_value_)}});
      NSLog("[VRK Finder sync client] Save rootFolder result = %@", Object::numberWithBool(saved));
      postDistributed(kVRKRootFolderPathChangedNotification, Object(path), Object());
    } else if (auto legacy = proxy()) {
      legacy->setRootFolderPath(path);
    }
  }
  if (!path) notifyInjectedBundleDylibWillDieSoon();
}

void VRKFinderSync::setIconType(std::int64_t type, const std::optional<std::string>& path) {
  VRKRecursiveMutexLock lock(stateMutex_);
  if (!rootFolderPath_value_ || !path) return;
  // A plain prefix test, as the extension makes it: a sibling whose name begins with the
  // root's name passes too, and an empty root is a prefix of nothing.
  if (!StringHasPrefix(*path, *rootFolderPath_value_)) return;
  badgeCache_.setValue(type, *path);
  if (vrk_isYosemiteOrHigher()) {
    // The store must hold the whole cache under kBadgeCacheKey, as storing a copy of it would.
    // Writing only the entry that changed leaves the store exactly so, at a cost that does not
    // grow with the cache (a sync client badges every file it knows).
    if (sharedDefaults_) {
      sharedDefaults_->setObjectInDictionary(Object::numberWithInteger(type), *path,
                                             kBadgeCacheKey);
      // A failed write is logged by the store and stays pending for its next synchronize; the
      // badge is announced either way, as the extension needs no store to show it.
      (void)sharedDefaults_->synchronize();
    }
    postDistributed(kVRKIconTypeChangedNotification, Object(),
                    PathInfo(kVRKUserInfoTypeKey, Object::numberWithInteger(type), *path));
  } else if (auto legacy = proxy()) {
    legacy->setIconType(type, path);
  }
}

void VRKFinderSync::hideIcons(bool hide) {
  VRKRecursiveMutexLock lock(stateMutex_);
  if (!rootFolderPath_value_) return;
  NSLog("[VRK Finder sync client] Hide icons = %@", Object::numberWithBool(hide));
  shouldHideBadge_ = hide;
  if (vrk_isYosemiteOrHigher()) {
    saveToStore({{kHideBadgeKey, Object::numberWithBool(hide)}});
    postDistributed(kVRKShowOrHideIconsNotification, Object(),
                    Object(ObjectDictionary{
                        {std::string(kVRKUserInfoShouldHideKey), Object::numberWithBool(hide)}}));
  } else if (auto legacy = proxy()) {
    legacy->hideIcons(hide);
  }
}

void VRKFinderSync::cleanIconsCache() {
  VRKRecursiveMutexLock lock(stateMutex_);
  cleanIconsCacheLocked();
}

void VRKFinderSync::cleanIconsCacheLocked() {
  // Every badge accepted from now on lies under the current root (or shares its name's start).
  badgeCache_.clear(rootFolderPath_value_.value_or(std::string()));
  if (vrk_isYosemiteOrHigher()) {
    saveToStore({{kBadgeCacheKey, Object()}});
    postDistributed(kVRKCleanIconsCacheNotification, Object(), Object());
  } else if (auto legacy = proxy()) {
    legacy->cleanIconsCache();
  }
}

void VRKFinderSync::setBadgesCache(const Object& cache) {
  if (vrk_isYosemiteOrHigher()) return;
  VRKRecursiveMutexLock lock(stateMutex_);
  if (auto legacy = proxy()) legacy->setBadgesCache(cache);
}

void VRKFinderSync::notifyInjectedBundleDylibWillDieSoon() {
  NSLog("[VRK Finder sync client] notifyInjectedBundleDylibWillDieSoon");
  {
    VRKRecursiveMutexLock lock(stateMutex_);
    postDistributed(kVRKDylibWillDieSoonNotification, Object(), Object());
    if (vrk_isYosemiteOrHigher()) {
      saveToStore(
          {{kBadgeCacheKey, Object()}, {kRootFolderPathKey, Object()}, {kHideBadgeKey, Object()}});
    } else {
      removeAllMenuItemsLocked();
    }
  }
  // The local center is called without the state lock, as everywhere in this class.
  if (!vrk_isYosemiteOrHigher()) {
    NSNotificationCenter::defaultCenter().removeObserver(
        this, std::string(NSConnectionDidDieNotification));
  }
  stopMachBridge();
}

// ---- Language ----

void VRKFinderSync::changeLanguage(const std::optional<std::string>& language) {
  VRKRecursiveMutexLock lock(stateMutex_);
  if (vrk_isYosemiteOrHigher()) {
    saveToStore({{kLanguageKey, Object(language)}});
    ObjectDictionary info;
    if (language) info.emplace(std::string(kVRKUserInfoLanguageKey), Object(*language));
    postDistributed(kVRKLanguageChangedNotification, Object(), Object(std::move(info)));
  }
  BundleLocalization::sharedInstance()->setLanguage(language);
}

// ---- Menus ----

std::string VRKFinderSync::vrk_prefixedTitleWithTitle(std::string_view title) {
  auto bundle = NSBundle::mainBundle();
  std::string prefix = bundle->localizedStringForKey("Prefix", "", std::nullopt);
  std::string text = bundle->localizedStringForKey(title, "", std::nullopt);
  return prefix + " - " + text;
}

Object VRKFinderSync::parseMenuItemInfosFrom(const Object& description) {
  if (description.objectForKey(kVRKMenuHideAllKey).boolValue()) return Object();
  bool showLock = description.objectForKey(kVRKMenuShowLockKey).boolValue();
  bool showUnlock = description.objectForKey(kVRKMenuShowUnlockKey).boolValue();
  bool isFile = description.objectForKey(kVRKMenuIsFileKey).boolValue();
  bool showShare = description.objectForKey(kVRKMenuShowShareKey).boolValue();
  bool showViewWebsite = description.objectForKey(kVRKMenuShowViewWebsiteKey).boolValue();
  bool showLockUnlock = description.objectForKey(kVRKMenuShowLockUnlockKey).boolValue();
  bool showHistory = description.objectForKey(kVRKMenuShowHistoryKey).boolValue();

  ObjectArray items;
  auto append = [&](std::string_view title, VRKExtensionAndDylibMachCommandType command) {
    auto info = VRKMenuItemInfo::menuItemInfoWithTitle(vrk_prefixedTitleWithTitle(title),
                                                       static_cast<std::int64_t>(command));
    items.push_back(info->toDictionary());
  };
  if (showShare) append("Share", VRKMachCommandShareLink);
  if (showViewWebsite) append("View on Web", VRKMachCommandViewOnWebsite);
  if (showLockUnlock) {
    if (showLock) {
      append("Lock file", VRKMachCommandLockFile);
    } else if (showUnlock) {
      append("Unlock file", VRKMachCommandUnlockFile);
    }
  }
  if (isFile && showHistory) append("View file versions", VRKMachCommandViewHistoryVersions);
  return Object(std::move(items));
}

void VRKFinderSync::addMenuItems(const Object&) {}

void VRKFinderSync::removeAllMenuItems() {
  VRKRecursiveMutexLock lock(stateMutex_);
  removeAllMenuItemsLocked();
}

void VRKFinderSync::removeAllMenuItemsLocked() {
  menuItems_ = Object();
  if (vrk_isYosemiteOrHigher()) {
    saveToStore({{kVRKMenuItemsKey, Object()}});
    postDistributed(kVRKCustomContextMenuItemInfoSentNotification, Object(), Object());
  } else if (auto legacy = proxy()) {
    legacy->removeAllMenuItems();
  }
}

// ---- Click relays ----

void VRKFinderSync::relayClick(std::int64_t type, std::string_view logFormat,
                               const std::optional<std::string>& path) {
  if (!path) return;
  NSLog(logFormat, *path);
  NSNotificationCenter::defaultCenter().postNotificationName(
      kVRKContextMenuClickNotification, Object(),
      PathInfo(kVRKUserInfoTypeKey, Object::numberWithInteger(type), *path));
}

void VRKFinderSync::shareLink(const std::optional<std::string>& path) {
  relayClick(kVRKClickTypeShareLink, "[VRK Finder sync client] shareLink, path = %@", path);
}

void VRKFinderSync::viewOnWebsite(const std::optional<std::string>& path) {
  relayClick(kVRKClickTypeViewOnWebsite, "[VRK Finder sync client] viewOnWebsite, path = %@", path);
}

void VRKFinderSync::lockFile(const std::optional<std::string>& path) {
  relayClick(kVRKClickTypeLockFile, "[VRK Finder sync client] lockFile, path = %@", path);
}

void VRKFinderSync::unlockFile(const std::optional<std::string>& path) {
  relayClick(kVRKClickTypeUnlockFile, "[VRK Finder sync client] unlockFile, path = %@", path);
}

void VRKFinderSync::viewHistoryVersions(const std::optional<std::string>& path) {
  relayClick(kVRKClickTypeViewHistoryVersions,
             "[VRK Finder sync client] viewHistoryVersions, path = %@", path);
}

// ---- The lock question and its answer ----

void VRKFinderSync::requestPythonItemLockPermissionAtPath(const std::optional<std::string>& path,
                                                          const void* msg) {
  NSLog("[VRK Finder sync client] requestPythonItemLockPermissionAtPath = %@, thread = %@", path,
        Thread::current());
  if (!path) {
    // The client could not tell which item the question is about. The extension is answered at
    // once with an empty menu instead of waiting out its bound, and the list of an earlier item
    // is removed so that it cannot be shown for this one.
    NSLog("[VRK Finder sync client] lock question without a readable path, answering no menu");
    if (vrk_isYosemiteOrHigher()) {
      VRKRecursiveMutexLock lock(stateMutex_);
      saveToStore({{kVRKMenuItemsKey, Object()}});
    }
    replyShouldShowLockMenuItemMachMsg(msg, false, false, false);
    return;
  }
  {
    MutexLock lock(questionsMutex_);
    openQuestions_.push_back(msg);
  }
  ObjectDictionary info{{std::string(kVRKUserInfoTypeKey),
                         Object::numberWithInteger(kVRKClickTypeLockPermissionRequest)},
                        {std::string(kVRKUserInfoPathKey), Object(*path)},
                        {std::string(kVRKUserInfoMachKey), Object::valueWithPointer(msg)}};
  NSNotificationCenter::defaultCenter().postNotificationName(kVRKContextMenuClickNotification,
                                                             Object(), Object(std::move(info)));
  MutexLock lock(questionsMutex_);
  openQuestions_.erase(std::find(openQuestions_.begin(), openQuestions_.end(), msg));
}

void VRKFinderSync::lockPermissionReplyNotified(const NSNotification& notification) {
  const Object& userInfo = notification.userInfo;
  if (!userInfo.isDictionary()) return;
  if (userInfo.objectForKey(kVRKUserInfoTypeKey).integerValue() !=
      kVRKClickTypeLockPermissionReply) {
    return;
  }
  NSLog("[VRK Finder sync client] lockPermissionReplyNotified, thread = %@", Thread::current());
  Object mach = userInfo.objectForKey(kVRKUserInfoMachKey);
  const void* msg = mach.pointerValue();
  bool open = false;
  if (mach.isPointer()) {
    MutexLock lock(questionsMutex_);
    open = std::find(openQuestions_.begin(), openQuestions_.end(), msg) != openQuestions_.end();
  }
  if (!open) {
    // The request this answer refers to is gone (or never was): nothing can be replied to, and
    // publishing its list could overwrite the list of a newer question.
    NSLog("[VRK Finder sync client] ignoring a lock answer without a pending question, mach = %@",
          mach);
    return;
  }
  Object description = userInfo.objectForKey(kVRKUserInfoMsgKey);
  bool showLock = description.objectForKey(kVRKMenuShowLockKey).boolValue();
  bool showUnlock = description.objectForKey(kVRKMenuShowUnlockKey).boolValue();
  bool isFile = description.objectForKey(kVRKMenuIsFileKey).boolValue();
  NSLog("[VRK Finder sync client] menu item showcase:%@", description);
  {
    VRKRecursiveMutexLock lock(stateMutex_);
    Object menuItemInfos = parseMenuItemInfosFrom(description);
    if (vrk_isYosemiteOrHigher()) {
      saveToStore({{kVRKMenuItemsKey, menuItemInfos}});
    } else {
      NSLog("[VRK Finder sync client] menuItemInfos = %@", menuItemInfos);
      if (auto legacy = proxy()) legacy->addMenuItems(menuItemInfos);
    }
  }
  replyShouldShowLockMenuItemMachMsg(msg, showLock, showUnlock, isFile);
}

// ---- Observation relays ----

void VRKFinderSync::relayObservation(std::int32_t type, std::string_view logFormat,
                                     const std::optional<std::string>& path) {
  NSLog(logFormat, path);
  if (!path) return;
  NSNotificationCenter::defaultCenter().postNotificationName(
      kVRKDirectoryObservationNotification, Object(),
      PathInfo(kVRKUserInfoTypeKey, Object::numberWithInt(type), *path));
}

void VRKFinderSync::notifyPythonBeginObserve(const std::optional<std::string>& path) {
  relayObservation(kVRKObservationTypeBeginObserve,
                   "[VRK Finder sync client] notifyPythonBeginObserve, folderPath = %@", path);
}

void VRKFinderSync::notifyPythonEndObserve(const std::optional<std::string>& path) {
  relayObservation(kVRKObservationTypeEndObserve,
                   "[VRK Finder sync client] notifyPythonEndObserve, folderPath = %@", path);
}

void VRKFinderSync::notifyPythonBadgeNotExist4ItemAtPath(const std::optional<std::string>& path) {
  relayObservation(kVRKObservationTypeBadgeNotExist,
                   "[VRK Finder sync client] notifyPythonBadgeNotExist4ItemAtPath, path = %@",
                   path);
}

}  // namespace vrk
