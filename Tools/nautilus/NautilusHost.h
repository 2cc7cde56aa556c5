// The GNOME Files front end of the host library: what the module's providers call. It keeps the
// extension running (restarting it with a back-off), derives the shown folders from what GNOME
// Files asks about, answers badge requests with emblems, builds the extension's context menu and
// relays its actions.
//
// Contract:
// - One object per module, made in nautilus_module_initialize and destroyed in
//   nautilus_module_shutdown, both on the main thread. Every call comes on the main thread, and
//   the host library's connection is driven from the default GLib main context.
// - Nothing here blocks GNOME Files for longer than one bounded wait of Timing (a menu, an
//   action, or stopping a dead extension); badge answers are asynchronous.
// - Items are tracked by weak references: a folder counts as shown while GNOME Files keeps any of
//   the items it asked about alive, or asked about it within Timing::folderGrace.
#pragma once

#include <glib-object.h>
extern "C" {
#include <nautilus-extension.h>
}

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/FinderSync/ExtensionHost.h"

namespace vrk::nautilus {

struct Timing {
  // How long a badge answer may wait for the extension before the item is shown without one.
  std::chrono::milliseconds badgeWait{2000};
  // Menus and actions run on GNOME Files' main thread.
  std::chrono::milliseconds menuWait{1000};
  std::chrono::milliseconds actionWait{2000};
  std::chrono::milliseconds readyWait{10000};
  // A folder none of whose items is alive any more ends being observed after this.
  std::chrono::milliseconds folderGrace{3000};
  std::chrono::milliseconds firstRestart{500};
  std::chrono::milliseconds maxRestart{30000};
  // An extension that ran this long before it died is restarted after firstRestart again.
  std::chrono::milliseconds stableRun{30000};
  // How long a dead or dropped extension may take to exit before it is killed.
  std::chrono::milliseconds exitWait{300};
};

class NautilusHost {
 public:
  explicit NautilusHost(Timing timing = {});
  ~NautilusHost();
  NautilusHost(const NautilusHost&) = delete;
  NautilusHost& operator=(const NautilusHost&) = delete;

  // NautilusInfoProvider.
  NautilusOperationResult updateFileInfo(NautilusInfoProvider* provider, NautilusFileInfo* file,
                                         GClosure* updateComplete,
                                         NautilusOperationHandle** handle);
  void cancelUpdate(NautilusOperationHandle* handle);
  // NautilusMenuProvider.
  GList* fileItems(GList* files);
  GList* backgroundItems(NautilusFileInfo* folder);
  // NautilusPropertiesModelProvider: the badge's label of one selected item.
  GList* propertiesModels(GList* files);

  // The emblem shown for a badge identifier: "vrk-" and the registered image name; "" for none.
  std::string emblemFor(const std::string& identifier) const;

 private:
  struct WeakTie;
  struct Item {
    NautilusFileInfo* file = nullptr;  // weak: cleared when GNOME Files drops it
    std::unique_ptr<WeakTie> tie;
    std::string shownBadge;  // the identifier whose emblem GNOME Files shows
    int pending = 0;
    // Redrawn for a badge that arrived by itself: the next question needs no round trip.
    bool answerKnown = false;
    int retries = 0;  // invalidations again for an emblem that did not follow its badge
  };
  struct Folder {
    std::map<std::string, Item> items;  // by path
    int live = 0;
    std::chrono::steady_clock::time_point lastUse;
  };
  struct Pending {
    NautilusFileInfo* file;
    GClosure* closure;
    NautilusInfoProvider* provider;
    std::string dir;
    std::string path;
  };

  void start();
  void scheduleStart(std::chrono::milliseconds delay);
  void restartLater();
  void readyTimedOut();
  // Calls `member` once from the main loop, after `delay` or when idle at `priority`, unless a
  // call is already pending; `*id` names the source until then.
  void defer(guint* id, void (NautilusHost::*member)(),
             std::optional<std::chrono::milliseconds> delay = std::nullopt,
             gint priority = G_PRIORITY_DEFAULT_IDLE);
  void onReady();
  void onDisconnected();
  void stopExtension();
  findersync::ExtensionHost::Events events();

  Folder& touch(const std::string& dir);
  Item* findItem(const std::string& path);
  void trackItem(Folder& folder, const std::string& dir, const std::string& path,
                 NautilusFileInfo* file);
  void untrack(Item& item);
  static void OnItemFinalized(gpointer data, GObject* where);
  void invalidate(const std::string& path, bool answerKnown = false);
  void setShown(Item& item, const std::string& badge);
  void answer(NautilusFileInfo* file, const std::string& path, Item* item, bool withBadge);
  void trace(const char* event);
  void invalidateFolder(const std::string& dir, bool badgedOnly);
  void expireFolders();
  void watchFolders();
  void reconcile(const std::string& dir, Folder& folder);
  std::string wantedBadge(const std::string& path) const;
  void invalidateQueued();

  void flush();
  void complete(std::uint64_t id, bool withBadge);
  void completeAll(bool withBadge);

  static void OnActivate(NautilusMenuItem* item, gpointer data);
  static void FreeAction(gpointer data, GClosure*);

  Timing timing_;
  std::unique_ptr<findersync::ExtensionHost> host_;
  GSource* loopSource_ = nullptr;
  guint startTimer_ = 0;
  guint readyTimer_ = 0;
  guint stopIdle_ = 0;
  guint flushIdle_ = 0;
  guint expiryTimer_ = 0;
  guint invalidateIdle_ = 0;
  std::map<std::string, bool> toInvalidate_;  // path -> whether its answer is known
  std::chrono::milliseconds backoff_;
  std::chrono::steady_clock::time_point startedAt_;
  std::string lastStartError_;

  std::map<std::string, Folder> folders_;  // by path
  std::map<std::uint64_t, Pending> pending_;
  std::vector<std::uint64_t> unsent_;
  std::uint64_t nextId_ = 1;
  std::map<std::string, std::string> emblems_;  // identifier -> emblem shown for it

  // For the benchmark (VRK_NAUTILUS_TRACE): how many answers were given, how many items show an
  // emblem.
  FILE* trace_ = nullptr;
  std::uint64_t answers_ = 0;
  std::int64_t emblemed_ = 0;
};

}  // namespace vrk::nautilus
