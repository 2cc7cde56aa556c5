// The FinderSync framework: the extension's principal class FIFinderSync, the menu kinds, and
// FIFinderSyncController, through which the extension tells the file manager what to observe
// and which badge each item carries.
//
// Contract:
// - FIFinderSync is the base of the extension's principal class. The platform creates the
//   principal object (NSExtensionMain.h), owns it through a shared pointer, calls its virtual
//   operations on the main thread, and releases it when the file manager host goes away. The
//   default implementations do nothing and offer no menu.
// - FIFinderSyncController::defaultController() is never null. In an extension started by a
//   host it forwards every call to that host without waiting for an answer (a call never
//   blocks, and a call while the host is gone is dropped); the selection is the one the host
//   sent with the menu or action call being served. Until something is installed it is a
//   local controller that only keeps the state. Tests install the recorder, which keeps the
//   state and records every call in order.
// - The controllers are meant for the main thread, as in AppKit; they are nevertheless safe to
//   call from any thread (state is guarded), and defaultController() may be called anywhere.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/AppKit/NSImage.h"
#include "Platform/AppKit/NSMenu.h"
#include "Platform/Foundation/NSURL.h"
#include "Platform/Foundation/ThreadSafety.h"

namespace vrk {

enum class FIMenuKind : std::int64_t {
  ContextualMenuForItems = 0,
  ContextualMenuForContainer = 1,
  ContextualMenuForSidebar = 2,
  ToolbarItemMenu = 3,
};
inline constexpr FIMenuKind FIMenuKindContextualMenuForItems = FIMenuKind::ContextualMenuForItems;
inline constexpr FIMenuKind FIMenuKindContextualMenuForContainer =
    FIMenuKind::ContextualMenuForContainer;
inline constexpr FIMenuKind FIMenuKindContextualMenuForSidebar =
    FIMenuKind::ContextualMenuForSidebar;
inline constexpr FIMenuKind FIMenuKindToolbarItemMenu = FIMenuKind::ToolbarItemMenu;

class FIFinderSync : public std::enable_shared_from_this<FIFinderSync> {
 public:
  FIFinderSync() = default;
  virtual ~FIFinderSync() = default;
  FIFinderSync(const FIFinderSync&) = delete;
  FIFinderSync& operator=(const FIFinderSync&) = delete;

  // The file manager shows (begins) or leaves (ends) a directory within the directory set.
  virtual void beginObservingDirectoryAtURL(const NSURL& url);
  virtual void endObservingDirectoryAtURL(const NSURL& url);
  // The file manager shows the item at `url` and asks for its badge; the answer, if any, is a
  // later setBadgeIdentifier on the controller.
  virtual void requestBadgeIdentifierForURL(const NSURL& url);
  // The menu of the given kind for the current selection, or null for none.
  virtual std::shared_ptr<NSMenu> menuForMenuKind(FIMenuKind menuKind);
  // The user chose an entry whose action is `selector` ("shareLink:"); `sender` is that entry
  // (null when the host's entry no longer matches the menu the object returned). Returns false
  // when the object does not respond to the selector.
  virtual bool performMenuAction(std::string_view selector,
                                 const std::shared_ptr<NSMenuItem>& sender);

  // The class name shown in descriptions; subclasses give their own.
  virtual std::string className() const { return "FIFinderSync"; }
  // What %@ prints: "<FinderSync: 0x...>".
  std::string description() const;
};

class FIFinderSyncRecorder;

class FIFinderSyncController {
 public:
  virtual ~FIFinderSyncController() = default;

  // [FIFinderSyncController defaultController]. Never null.
  static std::shared_ptr<FIFinderSyncController> defaultController();
  // Installs the controller that defaultController() returns; null goes back to a fresh local
  // controller. Used by the platform when it connects to a host, and by tests.
  static void setDefaultController(std::shared_ptr<FIFinderSyncController> controller);
  // Installs a fresh recorder as the default controller and returns it.
  static std::shared_ptr<FIFinderSyncRecorder> installRecorderForTesting();

  // The directory set: nullopt when none was set (nil), else the URLs.
  virtual std::optional<std::set<NSURL>> directoryURLs() = 0;
  virtual void setDirectoryURLs(std::optional<std::set<NSURL>> urls) = 0;
  // setBadgeImage:label:forBadgeIdentifier:. Registering an identifier again replaces it.
  virtual void setBadgeImage(std::shared_ptr<const NSImage> image, std::string label,
                             std::string badgeIdentifier) = 0;
  // setBadgeIdentifier:forURL:. The empty identifier removes the item's badge.
  virtual void setBadgeIdentifier(std::string badgeIdentifier, const NSURL& url) = 0;
  // The selected items, in the file manager's order; empty when nothing is selected.
  virtual std::vector<NSURL> selectedItemURLs() = 0;
  // The folder the user acted in (the window's folder), or nullopt.
  virtual std::optional<NSURL> targetedURL() = 0;
};

// A controller that keeps what a file manager would keep and, when recording, every call in
// order (reads included). Thread-safe.
class FIFinderSyncRecorder final : public FIFinderSyncController {
 public:
  enum class Method {
    directoryURLs,
    setDirectoryURLs,
    setBadgeImage,
    setBadgeIdentifier,
    selectedItemURLs,
    targetedURL,
  };
  struct Call {
    Method method;
    std::optional<std::set<NSURL>> urls;   // setDirectoryURLs
    std::shared_ptr<const NSImage> image;  // setBadgeImage
    std::string label;                     // setBadgeImage
    std::string identifier;                // setBadgeImage, setBadgeIdentifier
    std::optional<NSURL> url;              // setBadgeIdentifier
    // "setDirectoryURLs: {/a, /b}", "setDirectoryURLs: nil",
    // "setBadgeImage: locked label: Locking forBadgeIdentifier: 4",
    // "setBadgeIdentifier: 4 forURL: /a/b", "selectedItemURLs", ... (URLs shown as paths).
    std::string description() const;
  };
  struct Registration {
    std::shared_ptr<const NSImage> image;
    std::string label;
  };

  explicit FIFinderSyncRecorder(bool recordCalls = true) : recordCalls_(recordCalls) {}

  std::optional<std::set<NSURL>> directoryURLs() override;
  void setDirectoryURLs(std::optional<std::set<NSURL>> urls) override;
  void setBadgeImage(std::shared_ptr<const NSImage> image, std::string label,
                     std::string badgeIdentifier) override;
  void setBadgeIdentifier(std::string badgeIdentifier, const NSURL& url) override;
  std::vector<NSURL> selectedItemURLs() override;
  std::optional<NSURL> targetedURL() override;

  // What a test sets up as the file manager's selection.
  void setSelectedItemURLs(std::vector<NSURL> urls);
  void setTargetedURL(std::optional<NSURL> url);

  std::vector<Call> calls() const;
  std::vector<Call> calls(Method method) const;
  std::vector<std::string> callDescriptions() const;
  void clearCalls();

  // The state so far: registrations by identifier, and each item's badge identifier.
  std::map<std::string, Registration> registrations() const;
  std::optional<std::string> badgeIdentifierForURL(const NSURL& url) const;

 private:
  void record(Call call) REQUIRES(mutex_);

  const bool recordCalls_;
  mutable Mutex mutex_;
  std::vector<Call> calls_ GUARDED_BY(mutex_);
  std::optional<std::set<NSURL>> directoryURLs_ GUARDED_BY(mutex_);
  std::map<std::string, Registration> registrations_ GUARDED_BY(mutex_);
  std::map<NSURL, std::string> badges_ GUARDED_BY(mutex_);
  std::vector<NSURL> selected_ GUARDED_BY(mutex_);
  std::optional<NSURL> targeted_ GUARDED_BY(mutex_);
};

}  // namespace vrk
