// The host core of every file manager's module (GNOME Files, Nemo, Caja, and Dolphin through
// Qt's GLib-based event loop): all a module does that is not its file manager's own. It keeps the
// extension running (restarting it with a back-off), derives the shown folders from the items the
// file manager asks about, answers badge questions with emblems, asks the extension about what it
// does not know, redraws an item whose emblem changed, and builds the extension's context menu and
// relays its actions. A front end is only its file manager's glue: how to read an item's URI, add
// an emblem and invalidate an item (ItemOps), its menu item type and its module entry points.
//
// Contract:
// - One object per module, made when the module is initialized and destroyed at its shutdown,
//   both on the main thread. Every call comes on the main thread, and the host library's
//   connection is driven from the default GLib main context, or by the front end
//   (FrontEnd::drivesRunLoop); the core's own timers are sources of that context either way.
// - Nothing here blocks the file manager for longer than one bounded wait of Timing (a menu, an
//   action, or stopping a dead extension). A badge question is answered at once with what is
//   known of the item; what is not known yet is asked of the extension in the background, in
//   batches, and the item is redrawn (invalidated) when its emblem changes, never when it would
//   stay the same.
// - Items are the file manager's GObjects, tracked by weak references: a folder counts as shown
//   while the file manager keeps any of the items it asked about alive, or asked about it within
//   Timing::folderGrace.
#pragma once

#include <gio/gio.h>
#include <glib-object.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/FinderSync/ExtensionHost.h"

namespace vrk::filemanager {

struct Timing {
  // How long a batch of badge requests may wait for the extension; after that its items are
  // asked again the next time the file manager asks about them.
  std::chrono::milliseconds badgeWait{2000};
  // Requests that wait for a batch to fill go out after this at the latest.
  std::chrono::milliseconds batchDelay{5};
  // The backlog (what is not in view first) waits until the file manager has asked about no new
  // item for this long, and this long at most: asked meanwhile, the sync client, the extension
  // and the bus would take the cores the file manager needs to show the folder.
  std::chrono::milliseconds askingQuiet{30};
  std::chrono::milliseconds backlogHold{3000};
  // Menus and actions run on the file manager's main thread.
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
  // A menu asked again for the same selection within this is not asked of the extension again
  // (Caja asks several times around one right-click).
  std::chrono::milliseconds menuReuse{1500};
};

// How the core reaches the items of one file manager.
struct ItemOps {
  // The item's URI (the core frees it with g_free), or null.
  char* (*uri)(GObject* item);
  void (*addEmblem)(GObject* item, const char* name);
  // Drops what the modules added to the item, so that the file manager asks about it again.
  void (*invalidate)(GObject* item);
};

// What tells one front end from another: its names in logs, the environment and the trace, and
// how its file manager asks.
struct FrontEnd {
  const char* log;           // starts every log line ("vrk-nautilus")
  const char* extensionEnv;  // names the extension's bundle for tests ("VRK_NAUTILUS_EXTENSION")
  const char* traceEnv;      // names a trace file for the benchmark ("VRK_NAUTILUS_TRACE")
  // The file manager asks only about the items in view (Nemo, Dolphin): what it asks about goes
  // to the extension first, and of the folder's own listing (where it is listed) only the first
  // screenful is asked ahead; the rest is asked when the file manager shows it. One that asks about
  // every item (GNOME Files, Caja) has the whole folder asked, the first screenful at once and the
  // rest once it has stopped asking.
  bool asksOnlyWhatIsShown = false;
  // The folder is listed to ask about its first screenful ahead of the file manager. Nemo asks
  // about a large folder's items while it is still loading them, in the order they load rather
  // than the view's: the listing would not find them and only takes the cores it loads with.
  // Dolphin asks about what it shows soon enough that a listing only competes with its loading.
  bool listsAhead = true;
  // The file manager asks about what it shows only once it has loaded the folder (Dolphin), so
  // the sync client can work on what it asks while it goes on asking without slowing its loading;
  // one that asks while it loads (Nemo) would load more slowly for it.
  bool asksAfterLoading = false;
  // The front end drives the main run loop from its file manager's own event loop (Dolphin's Qt
  // loop), so the core does not attach it to GLib's.
  bool drivesRunLoop = false;
};

class HostCore {
 public:
  // One entry of the extension's menu for a selected item.
  struct MenuEntry {
    std::string title;
    bool enabled = false;
    std::string action;
    std::int64_t index = 0;
    std::string path;  // the selected item
    std::string dir;   // the folder shown
  };

  HostCore(FrontEnd frontEnd, ItemOps ops, Timing timing = {});
  ~HostCore();
  HostCore(const HostCore&) = delete;
  HostCore& operator=(const HostCore&) = delete;

  // Adds the item's emblem as far as it is known, at once; what is not known is asked in the
  // background and the item redrawn when it arrives.
  void answer(GObject* item);
  // The file manager shows `folder` (even while it is empty).
  void folderShown(GObject* folder);
  // The extension's entries for one selected item under the sync root, asked with the menu's
  // bound; empty otherwise.
  std::vector<MenuEntry> menu(const std::vector<GObject*>& selection);
  // Relays a chosen entry to the extension, with the action's bound.
  void perform(const MenuEntry& entry);
  // The same entries as the file manager's menu items, made by `make` (its menu item type's
  // constructor): a disabled entry is not sensitive, a chosen one ("activate") is performed.
  // The caller owns the list and the items.
  using MakeMenuItem = GObject* (*)(const char* name, const char* label);
  GList* menuItems(const std::vector<GObject*>& selection, MakeMenuItem make);
  // The label of the item's badge, for a properties page; nullopt without one.
  std::optional<std::string> label(GObject* item) const;

  // The emblem shown for a badge identifier: "vrk-" and the registered image name; "" for none.
  std::string emblemFor(const std::string& identifier) const;
  // The emblem an answer about the item would add now, without answering; "" for none. For a file
  // manager that takes the new emblems with its redraw request (Dolphin).
  std::string emblemOf(GObject* item) const;

  // Starts the extension now if it is not running and waits, at most `timeout`, until it is
  // ready; true when it is. For a front end that is first asked for a menu before the extension
  // could start (Dolphin makes its menu plug-in on the first right-click).
  bool waitUntilReady(std::chrono::milliseconds timeout);

 private:
  struct WeakTie;
  // What the host knows of an item's badge.
  enum class Asked { no, sent, known };
  struct Item {
    GObject* file = nullptr;  // weak: cleared when the file manager drops it
    std::unique_ptr<WeakTie> tie;
    std::string shownBadge;  // the identifier whose emblem the file manager shows
    Asked asked = Asked::no;
    // Asked of the extension but not sent yet: waiting in a queue (the first one when `urgent`).
    bool queued = false;
    bool urgent = false;
    // Invalidated, and not asked about again since: the next answer carries the newest badge.
    bool redrawing = false;
    std::chrono::steady_clock::time_point invalidatedAt;
    int retries = 0;  // invalidations again for an emblem that did not follow its badge
  };
  struct Folder {
    std::map<std::string, Item> items;  // by path
    int live = 0;
    std::chrono::steady_clock::time_point lastUse;
    // The folder's own listing, asked of the extension as a whole ahead of the file manager's
    // questions item by item; once per extension.
    bool listed = false;
  };
  struct Listing;

  void start();
  void scheduleStart(std::chrono::milliseconds delay);
  void restartLater();
  void readyTimedOut();
  // Calls `member` once from the main loop, after `delay` or when idle, unless a call is already
  // pending; `*id` names the source until then.
  void defer(guint* id, void (HostCore::*member)(),
             std::optional<std::chrono::milliseconds> delay = std::nullopt);
  void onReady();
  void onDisconnected();
  void stopExtension();
  findersync::ExtensionHost::Events events();

  Folder& touch(const std::string& dir);
  Item* findItem(const std::string& path);
  // Whether the file manager asked about this item for the first time (or about a new object
  // for it).
  bool trackItem(Folder& folder, const std::string& dir, const std::string& path, GObject* file);
  void untrack(Item& item);
  static void OnItemFinalized(gpointer data, GObject* where);
  // How an item is redrawn: only when its emblem would change and it is not being redrawn
  // already; again for an emblem that did not follow its badge; or whenever the emblem changes
  // while its badge stays the same.
  enum class Redraw { ifChanged, retry, always };
  // Redraws the item from an idle, together with the others queued by then.
  void invalidate(const std::string& path, Redraw how = Redraw::ifChanged);
  void setShown(Item& item, const std::string& badge);
  void answer(GObject* file, const std::string& path, Item* item, bool withBadge);
  void trace(const char* event, const std::string* path = nullptr, bool emblem = false);
  // A line of the event with a count where an answer has its path.
  void traceCount(const char* event, std::size_t count);
  void invalidateFolder(const std::string& dir, bool badgedOnly);
  void expireFolders();
  void watchFolders();
  void reconcile(const std::string& dir, Folder& folder);
  std::string wantedBadge(const std::string& path) const;
  void invalidateQueued();

  // Badge requests in the background.
  void ask(Item& item, const std::string& path, bool urgent = false);
  void askFolder(const std::string& dir);
  void forgetAnswers(const std::string& dir);
  void list(const std::string& dir, Folder& folder);
  void listed(const std::string& dir, std::uint64_t generation, std::vector<std::string> names);
  static void OnListed(GObject* source, GAsyncResult* result, gpointer data);
  void flush();
  // How many batches may be on their way to the extension now.
  int batchesAllowed() const;
  std::chrono::milliseconds backlogWait();
  void answered(const std::vector<std::string>& paths, bool ok);

  static void OnActivate(GObject* item, gpointer data);
  static void FreeAction(gpointer data, GClosure*);

  FrontEnd frontEnd_;
  ItemOps ops_;
  Timing timing_;
  std::unique_ptr<findersync::ExtensionHost> host_;
  GSource* loopSource_ = nullptr;
  guint startTimer_ = 0;
  guint readyTimer_ = 0;
  guint stopIdle_ = 0;
  guint flushTimer_ = 0;
  guint backlogTimer_ = 0;
  guint expiryTimer_ = 0;
  guint invalidateIdle_ = 0;
  std::map<std::string, Redraw> toInvalidate_;  // by path
  std::chrono::milliseconds backoff_;
  std::chrono::steady_clock::time_point startedAt_;
  std::string lastStartError_;

  std::map<std::string, Folder> folders_;  // by path
  // Badge requests not sent yet: what the file manager asked about first, then the rest, each
  // in order.
  std::deque<std::string> urgent_;
  std::deque<std::string> unsent_;
  int inFlight_ = 0;  // batches sent and not answered yet
  // When the file manager last asked about an item it had not asked about before, and since when
  // the backlog has been held for it.
  std::chrono::steady_clock::time_point lastNewQuestion_;
  std::optional<std::chrono::steady_clock::time_point> backlogHeldSince_;
  std::uint64_t generation_ = 0;                // of the extension: counts its starts
  std::vector<Listing*> listings_;              // in flight; told when the host goes first
  std::map<std::string, std::string> emblems_;  // identifier -> emblem shown for it
  // The last menu: its selection, when it was asked, and its entries.
  std::string lastMenuPath_;
  std::chrono::steady_clock::time_point lastMenuAt_;
  std::vector<MenuEntry> lastMenu_;

  // For the benchmark (FrontEnd::traceEnv): how many answers were given, how many items show
  // an emblem.
  FILE* trace_ = nullptr;
  std::uint64_t answers_ = 0;
  std::int64_t emblemed_ = 0;
};

}  // namespace vrk::filemanager
