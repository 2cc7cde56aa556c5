#include "VRKFinderSyncExtension/FinderSync.h"

#include <array>
#include <string_view>

#include "Contract/VRKContract.h"
#include "Contract/VRKMachMessage.h"
#include "Localization/BundleLocalization.h"
#include "Platform/FinderSync/NSExtensionMain.h"
#include "Platform/Foundation/NSBundle.h"
#include "Platform/Foundation/NSDistributedNotificationCenter.h"
#include "Platform/Foundation/NSLocale.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "VRKFinderSyncExtension/VRKFinderSyncMachBridgeExtensionSide.h"

namespace vrk {

namespace {

// The one bridge of the process. Several controllers in one process share it, counted, so
// that the teardown of one does not destroy the bridge that the others still use.
VRKFinderSyncMachBridgeExtensionSide* g_machBridge = nullptr;
int g_machBridgeUsers = 0;

constexpr std::int64_t kRootPollNanoseconds = 2'000'000'000;

struct BadgeRow {
  std::int64_t type;
  std::string_view imageName;
  std::string_view labelKey;
};

constexpr std::array<BadgeRow, 6> kBadgeRows{{
    {VRKBadgeTypeProcessing, "processing", "Processing"},
    {VRKBadgeTypePaused, "paused", "Paused"},
    {VRKBadgeTypeSucceeded, "succeeded", "Succeeded"},
    {VRKBadgeTypeFailed, "failed", "Failed"},
    {VRKBadgeTypeLocked, "locked", "Locking"},
    {VRKBadgeTypeForbidden, "forbidden", "Forbidden"},
}};

constexpr std::string_view kBadgeLabelTable = "Localizations";
constexpr std::string_view kMenuImageName = "context-menu-icon";

// A menu entry's command, the selector its entry carries, and the action method a click on it
// runs.
struct MenuAction {
  VRKExtensionAndDylibMachCommandType command;
  std::string_view selector;
  void (FinderSync::*perform)(const std::shared_ptr<NSMenuItem>& sender);
};

constexpr std::array<MenuAction, 5> kMenuActions{{
    {VRKMachCommandShareLink, "shareLink:", &FinderSync::shareLink},
    {VRKMachCommandViewOnWebsite, "viewOnWebsite:", &FinderSync::viewOnWebsite},
    {VRKMachCommandLockFile, "lockFile:", &FinderSync::lockFile},
    {VRKMachCommandUnlockFile, "unlockFile:", &FinderSync::unlockFile},
    {VRKMachCommandViewHistoryVersions, "viewHistoryVersions:", &FinderSync::viewHistoryVersions},
}};

// The five broadcasts the controller follows, in the order of subscription.
constexpr std::array<std::string_view, 5> kObservedNames{
    kVRKRootFolderPathChangedNotification, kVRKIconTypeChangedNotification,
    kVRKShowOrHideIconsNotification, kVRKCleanIconsCacheNotification,
    kVRKLanguageChangedNotification};

std::string FilePath(const NSURL& url) {
  auto fileURL = url.filePathURL();
  return fileURL ? fileURL->path() : url.path();
}

const bool g_registered = RegisterPrincipalClass(
    "FinderSync", [] { return std::static_pointer_cast<FIFinderSync>(FinderSync::create()); });

}  // namespace

std::shared_ptr<FinderSync> FinderSync::create() {
  (void)g_registered;
  auto controller = std::make_shared<FinderSync>();
  if (!controller->init()) return nullptr;
  return controller;
}

std::weak_ptr<FinderSync> FinderSync::weakSelf() {
  return std::static_pointer_cast<FinderSync>(shared_from_this());
}

bool FinderSync::init() {
  NSLog("[Finder Sync Extension] Yosemite Finder sync extension initialized, instance = %@", *this);
  sharedDefaults_ = NSUserDefaults::initWithSuiteName(kVRKSharedSuiteName);
  if (sharedDefaults_) {
    Object root = sharedDefaults_->objectForKey(kRootFolderPathKey);
    // Only a string is a root; Finder is given the directory at once.
    if (root.isString()) setRootFolderPath(root.stringOrNil());
    Object hide = sharedDefaults_->objectForKey(kHideBadgeKey);
    if (hide.isNumber()) shouldHideBadges_ = hide.boolValue();
    NSLog("[Finder Sync Extension] Cached rootFolderPath = %@", rootFolderPath_value_);
  }
  initializeLocalLanguage();
  registerBadgeImages();
  registerAsNotificationObserver();
  initializeMachBridge();
  return true;
}

FinderSync::~FinderSync() {
  NSLog("[Finder Sync Extension] Yosemite Finder sync extension dealloc, instance = %@", *this);
  removeObserver();
  if (ownsBridgeReference_ && g_machBridge && --g_machBridgeUsers == 0) {
    g_machBridge->cleanInvaildConnection();
    delete g_machBridge;
    g_machBridge = nullptr;
  }
}

void FinderSync::registerAsNotificationObserver() {
  auto weak = weakSelf();
  auto& center = NSDistributedNotificationCenter::defaultCenter();
  auto observe = [&](std::string_view name, void (FinderSync::*handler)(const NSNotification&)) {
    center.addObserver(
        this,
        [weak, handler](const NSNotification& n) {
          if (auto self = weak.lock()) ((*self).*handler)(n);
        },
        std::string(name), Object(), NSNotificationSuspensionBehavior::DeliverImmediately);
  };
  observe(kVRKRootFolderPathChangedNotification, &FinderSync::rootFolderPathChangedNotified);
  observe(kVRKIconTypeChangedNotification, &FinderSync::iconChangedNotified);
  observe(kVRKShowOrHideIconsNotification, &FinderSync::hideIconsNotified);
  center.addObserver(
      this,
      [weak](const NSNotification&) {
        if (auto self = weak.lock()) self->cleanIconsCacheHNotified();
      },
      std::string(kVRKCleanIconsCacheNotification), Object(),
      NSNotificationSuspensionBehavior::DeliverImmediately);
  observe(kVRKLanguageChangedNotification, &FinderSync::changeLanguageNotified);
}

void FinderSync::removeObserver() {
  auto& center = NSDistributedNotificationCenter::defaultCenter();
  for (std::string_view name : kObservedNames) center.removeObserver(this, std::string(name));
}

void FinderSync::initializeMachBridge() {
  if (!g_machBridge) {
    g_machBridge = new VRKFinderSyncMachBridgeExtensionSide(weakSelf());
    NSLog("[Finder Sync Extension] Mach bridge in extension constructed");
  }
  ++g_machBridgeUsers;
  ownsBridgeReference_ = true;
  tryReadRootFolderFromCacheIfNeed();
}

void FinderSync::tryReadRootFolderFromCacheIfNeed() {
  if (rootFolderPath_value_) return;
  NSLog("[Finder Sync Extension] try to read Root Folder Path from sharedDefaults");
  auto weak = weakSelf();
  dispatch::after_main(dispatch::time(dispatch::TIME_NOW, kRootPollNanoseconds), [weak] {
    auto self = weak.lock();
    if (!self) return;
    Object root =
        self->sharedDefaults_ ? self->sharedDefaults_->objectForKey(kRootFolderPathKey) : Object();
    if (root.isString()) {
      // Through setRootFolderPath so that Finder observes the root found by the poll: an
      // extension that starts before the library would otherwise show no badges until the
      // root changes.
      self->setRootFolderPath(root.stringOrNil());
      return;
    }
    self->tryReadRootFolderFromCacheIfNeed();
  });
}

// ---- Root folder and language ----

void FinderSync::rootFolderPathChangedNotified(const NSNotification& notification) {
  const Object& object = notification.object;
  if (!object.isNil() && !object.isString()) return;
  setRootFolderPath(object.stringOrNil());
}

void FinderSync::setRootFolderPath(const std::optional<std::string>& path) {
  // While no root is set nothing is equal to it, nil included.
  if (rootFolderPath_value_ && path && *path == *rootFolderPath_value_) return;
  rootFolderPath_value_ = path;
  auto controller = FIFinderSyncController::defaultController();
  std::optional<NSURL> url =
      rootFolderPath_value_ ? NSURL::fileURLWithPath(*rootFolderPath_value_) : std::nullopt;
  if (url) {
    controller->setDirectoryURLs(std::set<NSURL>{*url});
    NSLog("[Finder Sync Extension] Root folder path change to %@", rootFolderPath_value_);
  } else {
    controller->setDirectoryURLs(std::nullopt);
    NSLog("[Finder Sync Extension] Root folder path change to nil");
  }
  cleanIconsCache();
}

void FinderSync::initializeLocalLanguage() {
  std::optional<std::string> language;
  if (sharedDefaults_) language = sharedDefaults_->objectForKey(kLanguageKey).stringOrNil();
  if (!language) {
    auto locale = NSLocale::currentLocale();
    if (locale->languageCode() == "zh") {
      language = locale->scriptCode() == "Hant" ? "zh-Hant" : "zh-Hans";
    } else {
      language = "en";
    }
  }
  NSLog("[Finder Sync Extension] init language = %@", language);
  BundleLocalization::sharedInstance()->setLanguage(language);
}

void FinderSync::changeLanguageNotified(const NSNotification& notification) {
  NSLog("[Finder Sync Extension] changeLanguageNotified, notification = %@", notification);
  changeLanguage(notification.userInfo.objectForKey(kVRKUserInfoLanguageKey).stringOrNil());
}

void FinderSync::changeLanguage(const std::optional<std::string>& language) {
  BundleLocalization::sharedInstance()->setLanguage(language);
  registerBadgeImages();
  NSLog("[Finder Sync Extension] Language changed to %@", language);
}

// ---- Badges ----

void FinderSync::registerBadgeImages() {
  NSLog("[Finder Sync Extension] registerBadgeImages");
  auto controller = FIFinderSyncController::defaultController();
  auto bundle = NSBundle::mainBundle();
  for (const BadgeRow& row : kBadgeRows) {
    auto image = NSImage::imageNamed(row.imageName);
    std::string label =
        bundle->localizedStringForKey(row.labelKey, "", std::string(kBadgeLabelTable));
    controller->setBadgeImage(image, label, std::to_string(row.type));
  }
}

void FinderSync::iconChangedNotified(const NSNotification& notification) {
  if (!rootFolderPath_value_ || notification.userInfo.isNil()) return;
  std::int64_t type = notification.userInfo.objectForKey(kVRKUserInfoTypeKey).integerValue();
  setIconType(type, notification.userInfo.objectForKey(kVRKUserInfoPathKey).stringOrNil());
}

void FinderSync::setIconType(std::int64_t type, const std::optional<std::string>& path) {
  if (!path || path->empty() || !rootFolderPath_value_) return;
  if (!StringHasPrefix(*path, *rootFolderPath_value_)) return;
  vrk_refreshBadgeImmediately4ItemAtPath(*path, type);
}

void FinderSync::vrk_refreshBadgeImmediately4ItemAtPath(const std::string& path,
                                                        std::int64_t type) {
  auto url = NSURL::fileURLWithPath(path);
  if (!url) return;
  std::string identifier = shouldHideBadges_ ? std::string() : std::to_string(type);
  FIFinderSyncController::defaultController()->setBadgeIdentifier(identifier, *url);
}

void FinderSync::hideIconsNotified(const NSNotification& notification) {
  Object shouldHide = notification.userInfo.objectForKey(kVRKUserInfoShouldHideKey);
  if (shouldHide.isNil()) return;
  hideIcons(shouldHide.boolValue());
}

void FinderSync::hideIcons(bool hide) {
  shouldHideBadges_ = hide;
  auto controller = FIFinderSyncController::defaultController();
  if (hide) {
    NSLog("[Finder Sync Extension] Hide all icons");
    controller->setDirectoryURLs(std::nullopt);
    return;
  }
  NSLog("[Finder Sync Extension] Show all icons");
  if (!rootFolderPath_value_) return;
  if (auto url = NSURL::fileURLWithPath(*rootFolderPath_value_)) {
    controller->setDirectoryURLs(std::set<NSURL>{*url});
  }
}

void FinderSync::cleanIconsCacheHNotified() {
  cleanIconsCache();
}

void FinderSync::cleanIconsCache() {
  // The extension keeps no badges of its own: Finder holds them.
  NSLog("[Finder Sync Extension] Clean all badges cache");
}

// ---- What the file manager calls ----

void FinderSync::beginObservingDirectoryAtURL(const NSURL& url) {
  std::string path = FilePath(url);
  NSLog("[Finder Sync Extension] BeginObservingDirectoryAtPath:%@", path);
  if (g_machBridge) g_machBridge->beginObserve(path);
}

void FinderSync::endObservingDirectoryAtURL(const NSURL& url) {
  std::string path = FilePath(url);
  NSLog("[Finder Sync Extension] EndObservingDirectoryAtPath:%@", path);
  if (g_machBridge) g_machBridge->endObserve(path);
}

void FinderSync::requestBadgeIdentifierForURL(const NSURL& url) {
  if (g_machBridge) g_machBridge->badgeNotExist4ItemAtPath(FilePath(url));
}

// ---- The context menu ----

std::vector<std::shared_ptr<VRKMenuItemInfo>> FinderSync::vrk_readMenuItemInfosFromShareDefaults() {
  std::vector<std::shared_ptr<VRKMenuItemInfo>> infos;
  if (!sharedDefaults_) return infos;
  Object stored = sharedDefaults_->objectForKey(kVRKMenuItemsKey);
  if (!stored.isArray()) return infos;
  for (const Object& element : *stored.array()) {
    if (!element.isDictionary()) continue;
    infos.push_back(VRKMenuItemInfo::menuItemInfoWithDictionary(element));
  }
  return infos;
}

std::shared_ptr<NSMenu> FinderSync::menuForMenuKind(FIMenuKind menuKind) {
  if (menuKind != FIMenuKindContextualMenuForItems) return nullptr;
  auto selected = FIFinderSyncController::defaultController()->selectedItemURLs();
  if (selected.size() != 1) return nullptr;
  std::string path = FilePath(selected.front());
  if (rootFolderPath_value_ && path == *rootFolderPath_value_) return nullptr;
  if (!g_machBridge) return nullptr;
  // Waits for the library's answer; its flags are not needed, only that it came: the library
  // stores the list for this item before it answers.
  if (!g_machBridge->requestLockableWhenSelectItemAtPath(path)) return nullptr;
  auto infos = vrk_readMenuItemInfosFromShareDefaults();
  if (infos.empty()) return nullptr;
  ObjectArray listed;
  for (const auto& info : infos) listed.push_back(info->toDictionary());
  NSLog("[Finder Sync Extension] Blocking works, menuItems = %@", Object(std::move(listed)));

  auto menu = NSMenu::initWithTitle("");
  auto image = NSImage::imageNamed(kMenuImageName);
  for (const auto& info : infos) {
    // A record without a title would make an entry with no text; it gets none.
    if (!info->title()) continue;
    for (const MenuAction& action : kMenuActions) {
      if (action.command != info->command()) continue;
      auto item = menu->addItemWithTitle(*info->title(), std::string(action.selector), "");
      item->setImage(image);
    }
  }
  return menu;
}

bool FinderSync::performMenuAction(std::string_view selector,
                                   const std::shared_ptr<NSMenuItem>& sender) {
  for (const MenuAction& action : kMenuActions) {
    if (action.selector != selector) continue;
    (this->*action.perform)(sender);
    return true;
  }
  return false;
}

void FinderSync::sendClick(std::int64_t command) {
  auto path = ext_currentSelectedItemPath();
  if (!path || !g_machBridge) return;
  g_machBridge->menuItemClicked(static_cast<VRKExtensionAndDylibMachCommandType>(command), *path);
}

// The entry itself carries nothing a click needs: the selection names the item.
void FinderSync::shareLink(const std::shared_ptr<NSMenuItem>&) {
  sendClick(VRKMachCommandShareLink);
}
void FinderSync::viewOnWebsite(const std::shared_ptr<NSMenuItem>&) {
  sendClick(VRKMachCommandViewOnWebsite);
}
void FinderSync::lockFile(const std::shared_ptr<NSMenuItem>&) {
  sendClick(VRKMachCommandLockFile);
}
void FinderSync::unlockFile(const std::shared_ptr<NSMenuItem>&) {
  sendClick(VRKMachCommandUnlockFile);
}
void FinderSync::viewHistoryVersions(const std::shared_ptr<NSMenuItem>&) {
  sendClick(VRKMachCommandViewHistoryVersions);
}

std::optional<std::string> FinderSync::ext_currentSelectedItemPath() {
  auto selected = FIFinderSyncController::defaultController()->selectedItemURLs();
  if (selected.empty()) return std::nullopt;
  return selected.front().path();
}

}  // namespace vrk
