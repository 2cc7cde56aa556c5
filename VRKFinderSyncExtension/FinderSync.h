// FinderSync: the extension's controller, the principal class that the file manager creates.
// It takes the sync root, the hide flag and the language from the shared store at start,
// follows the library's broadcasts afterwards, registers the six badges, applies announced
// badges, and builds the context menu from the list the library published.
//
// Threads: every entry point (the file manager's calls, the broadcasts, the root poll) runs
// on the main thread; the controller takes no locks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/FinderSync/FIFinderSync.h"
#include "Platform/Foundation/NSNotificationCenter.h"
#include "Platform/Foundation/NSUserDefaults.h"
#include "VRKFinderSync/VRKFinderPluginProtocol.h"
#include "VRKFinderSync/VRKMenuItemInfo.h"

namespace vrk {

class FinderSync final : public FIFinderSync, public VRKFinderPluginProtocol {
 public:
  // alloc + init: null when the start fails.
  static std::shared_ptr<FinderSync> create();
  ~FinderSync() override;  // dealloc

  // Start-up steps, in the order init runs them.
  void initializeLocalLanguage();
  void registerBadgeImages();
  void registerAsNotificationObserver();
  void initializeMachBridge();
  void tryReadRootFolderFromCacheIfNeed();
  void removeObserver();

  // Root folder and language.
  void rootFolderPathChangedNotified(const NSNotification& notification);
  void setRootFolderPath(const std::optional<std::string>& path) override;
  void changeLanguageNotified(const NSNotification& notification);
  void changeLanguage(const std::optional<std::string>& language) override;

  // Badges.
  void iconChangedNotified(const NSNotification& notification);
  void setIconType(std::int64_t type, const std::optional<std::string>& path) override;
  void vrk_refreshBadgeImmediately4ItemAtPath(const std::string& path, std::int64_t type);
  void hideIconsNotified(const NSNotification& notification);
  void hideIcons(bool hide) override;
  void cleanIconsCacheHNotified();
  void cleanIconsCache() override;

  // What the file manager calls.
  void beginObservingDirectoryAtURL(const NSURL& url) override;
  void endObservingDirectoryAtURL(const NSURL& url) override;
  void requestBadgeIdentifierForURL(const NSURL& url) override;
  std::shared_ptr<NSMenu> menuForMenuKind(FIMenuKind menuKind) override;
  bool performMenuAction(std::string_view selector,
                         const std::shared_ptr<NSMenuItem>& sender) override;
  std::string className() const override { return "FinderSync"; }

  // The context menu.
  std::vector<std::shared_ptr<VRKMenuItemInfo>> vrk_readMenuItemInfosFromShareDefaults();
  void shareLink(const std::shared_ptr<NSMenuItem>& sender);
  void viewOnWebsite(const std::shared_ptr<NSMenuItem>& sender);
  void lockFile(const std::shared_ptr<NSMenuItem>& sender);
  void unlockFile(const std::shared_ptr<NSMenuItem>& sender);
  void viewHistoryVersions(const std::shared_ptr<NSMenuItem>& sender);
  std::optional<std::string> ext_currentSelectedItemPath();

  // Properties.
  const std::optional<std::string>& rootFolderPath_() const { return rootFolderPath_value_; }
  void setRootFolderPath_(const std::optional<std::string>& path) { rootFolderPath_value_ = path; }
  bool shouldHideBadges() const { return shouldHideBadges_; }
  void setShouldHideBadges(bool hide) { shouldHideBadges_ = hide; }
  const std::shared_ptr<NSUserDefaults>& sharedDefaults() const { return sharedDefaults_; }

  FinderSync() = default;

 private:
  bool init();
  std::weak_ptr<FinderSync> weakSelf();
  void sendClick(std::int64_t command);

  std::optional<std::string> rootFolderPath_value_;
  bool shouldHideBadges_ = false;
  std::shared_ptr<NSUserDefaults> sharedDefaults_;
  bool ownsBridgeReference_ = false;
};

}  // namespace vrk
