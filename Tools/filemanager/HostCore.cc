#include "Tools/filemanager/HostCore.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "Tools/filemanager/ExtensionLocation.h"
#include "Tools/filemanager/SdEventSource.h"

namespace vrk::filemanager {
namespace {

using Clock = std::chrono::steady_clock;
using findersync::ExtensionHost;

// FIMenuKindContextualMenuForItems: the menu of the selected items.
constexpr std::int64_t kMenuForItems = 0;
// Caps on what is tracked; beyond them items still get their answers, only no later updates.
constexpr std::size_t kMaxFolders = 4096;
constexpr std::size_t kMaxItemsPerFolder = 200'000;
constexpr auto kExpiryInterval = std::chrono::seconds(1);

guint Milliseconds(std::chrono::milliseconds ms) {
  return static_cast<guint>(std::max<std::int64_t>(0, ms.count()));
}

// The local path of an item, nullopt for anything that is not a file: URI.
std::optional<std::string> LocalPath(const ItemOps& ops, GObject* file) {
  g_autofree char* uri = ops.uri(file);
  if (!uri) return std::nullopt;
  g_autofree char* path = g_filename_from_uri(uri, nullptr, nullptr);
  if (!path || path[0] != '/') return std::nullopt;
  std::string text(path);
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// An icon name must not be able to reach outside the theme's emblem folder.
bool IsIconName(const std::string& name) {
  return !name.empty() && name.size() <= 200 && name[0] != '.' &&
         std::all_of(name.begin(), name.end(), [](unsigned char c) {
           return g_ascii_isalnum(c) || c == '-' || c == '_' || c == '.';
         });
}

// Requests that go out in one batch as soon as that many are waiting.
constexpr std::size_t kBatchSize = 256;
// What a file manager asks about while it shows the items goes in smaller batches: the extension
// relays a batch's badges once it has passed the whole batch on, so the first items in view get
// their emblems one small batch after they were asked.
constexpr std::size_t kUrgentBatchSize = 64;
// Batches the extension has not answered yet, at most. The extension passes each request on to
// the sync client, waiting when the client's queue is full, and takes the badges that come back
// on the same thread: a whole large folder sent at once would keep it from them until the client
// had been asked about everything.
constexpr int kBatchesInFlight = 1;
// A file manager that asks about what it shows once it has loaded the folder (Dolphin) asks on
// its main thread for a while before its loop runs again and reads the extension's answers. What
// it asks meanwhile goes out in batches of this many, with up to this many batches on their way,
// so that the sync client works on them beside it; the cap bounds how many requests the extension
// has to pass on before it takes the badges that come back.
constexpr std::size_t kAskingBatchSize = 16;
constexpr int kAskingBatchesInFlight = 8;

}  // namespace

// A folder listed on a thread of GIO's pool. `host` is cleared when the host is destroyed first.
struct HostCore::Listing {
  HostCore* host;
  std::string dir;
  std::uint64_t generation;
};

namespace {

// About a screenful of items, and more: a folder's first names in a view's order.
constexpr std::size_t kFirstInView = 256;

// The names in a folder, at most `limit`, the ones a view sorts first (by name, as
// views do by default) at the front: those are the items a person sees first. The rest keep the
// folder's own order, which is about the order the file manager asks in.
std::vector<std::string> ListFolder(const std::string& dir, std::size_t limit) {
  std::vector<std::string> names;
  g_autoptr(GDir) handle = g_dir_open(dir.c_str(), 0, nullptr);
  if (!handle) return names;
  while (const char* name = g_dir_read_name(handle)) {
    if (names.size() >= limit) break;
    names.emplace_back(name);
  }
  if (names.size() <= kFirstInView) return names;
  std::vector<std::pair<std::string, std::size_t>> keys;
  keys.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    g_autofree char* key = g_utf8_collate_key_for_filename(names[i].c_str(), -1);
    keys.emplace_back(key, i);
  }
  std::partial_sort(keys.begin(), keys.begin() + kFirstInView, keys.end());
  std::vector<bool> moved(names.size(), false);
  std::vector<std::string> ordered;
  ordered.reserve(names.size());
  for (std::size_t i = 0; i < kFirstInView; ++i) {
    ordered.push_back(names[keys[i].second]);
    moved[keys[i].second] = true;
  }
  for (std::size_t i = names.size(); i-- > 0;) {
    if (!moved[i]) ordered.push_back(std::move(names[i]));
  }
  return ordered;
}

}  // namespace

struct HostCore::WeakTie {
  HostCore* host;
  std::string dir;
  std::string path;
};

HostCore::HostCore(FrontEnd frontEnd, ItemOps ops, Timing timing)
    : frontEnd_(frontEnd), ops_(ops), timing_(timing), backoff_(timing.firstRestart) {
  if (const char* path = std::getenv(frontEnd_.traceEnv); path && *path) {
    trace_ = std::fopen(path, "ae");
  }
  if (!frontEnd_.drivesRunLoop) {
    loopSource_ = AttachSdEvent(RunLoop::main().event(), nullptr, frontEnd_.log);
  }
  if (!loopSource_ && !frontEnd_.drivesRunLoop)
    NSLog("%s: cannot drive the run loop from GLib; no extension", frontEnd_.log);
  // Started from the main loop, not from module initialization: a file manager is not ready for
  // calls into it before its loop runs.
  scheduleStart(std::chrono::milliseconds(0));
}

HostCore::~HostCore() {
  for (guint* source : {&startTimer_, &readyTimer_, &stopIdle_, &flushTimer_, &backlogTimer_,
                        &expiryTimer_, &invalidateIdle_}) {
    if (*source) g_source_remove(*source);
    *source = 0;
  }
  if (host_) host_->shutdown(timing_.exitWait);
  host_.reset();
  for (auto& [dir, folder] : folders_) {
    for (auto& [path, item] : folder.items) untrack(item);
  }
  for (Listing* listing : listings_) listing->host = nullptr;
  if (loopSource_) {
    g_source_destroy(loopSource_);
    g_source_unref(loopSource_);
  }
  if (trace_) std::fclose(trace_);
}

// ---------------------------------------------------------------------------------------------
// The extension's life

void HostCore::scheduleStart(std::chrono::milliseconds delay) {
  if (startTimer_ || host_) return;
  defer(&startTimer_, &HostCore::start, delay);
}

void HostCore::defer(guint* id, void (HostCore::*member)(),
                     std::optional<std::chrono::milliseconds> delay) {
  if (*id) return;
  struct Call {
    HostCore* self;
    guint* id;
    void (HostCore::*member)();
  };
  auto run = [](gpointer data) -> gboolean {
    auto* call = static_cast<Call*>(data);
    *call->id = 0;
    (call->self->*call->member)();
    return G_SOURCE_REMOVE;
  };
  auto release = [](gpointer data) { delete static_cast<Call*>(data); };
  auto* call = new Call{this, id, member};
  *id = delay ? g_timeout_add_full(G_PRIORITY_DEFAULT, Milliseconds(*delay), run, call, release)
              : g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, run, call, release);
}

void HostCore::restartLater() {
  const std::chrono::milliseconds delay = backoff_;
  backoff_ = std::min(backoff_ * 2, timing_.maxRestart);
  scheduleStart(delay);
}

void HostCore::start() {
  if (host_ || (!loopSource_ && !frontEnd_.drivesRunLoop)) return;
  std::string error;
  std::optional<std::string> bundle = ElectedExtension(frontEnd_.extensionEnv, &error);
  if (bundle) host_ = ExtensionHost::start(*bundle, frontEnd_.log, events(), &error);
  if (!host_) {
    if (error != lastStartError_) NSLog("%s: cannot start the extension: %s", frontEnd_.log, error);
    lastStartError_ = error;
    restartLater();
    return;
  }
  lastStartError_.clear();
  ++generation_;
  startedAt_ = Clock::now();
  NSLog("%s: started the extension %s (pid %d)", frontEnd_.log, *bundle,
        static_cast<int>(host_->pid()));
  defer(&readyTimer_, &HostCore::readyTimedOut, timing_.readyWait);
}

bool HostCore::waitUntilReady(std::chrono::milliseconds timeout) {
  if (host_ && host_->ready()) return true;
  if (!host_) {
    if (startTimer_) g_source_remove(startTimer_);
    startTimer_ = 0;
    start();
    if (!host_) return false;
  }
  std::string error;
  return host_->waitUntilReady(timeout, &error);
}

void HostCore::readyTimedOut() {
  NSLog("%s: the extension did not get ready in time", frontEnd_.log);
  stopExtension();
}

ExtensionHost::Events HostCore::events() {
  ExtensionHost::Events events;
  events.ready = [this] { onReady(); };
  events.observationChanged = [this](const std::string& dir, bool observed) {
    // The badges of a folder that came into the set are asked in the background, and its items
    // redrawn as they arrive; one that left loses its emblems.
    if (observed) {
      askFolder(dir);
    } else {
      forgetAnswers(dir);
      invalidateFolder(dir, true);
    }
  };
  events.badgeChanged = [this](const std::string& path, const std::string&) {
    Item* item = findItem(path);
    if (!item) return;
    item->asked = Asked::known;
    invalidate(path);
  };
  events.badgeImageChanged = [this](const std::string& identifier) {
    auto known = emblems_.find(identifier);
    if (known == emblems_.end() || known->second == emblemFor(identifier)) return;
    for (auto& [dir, folder] : folders_) {
      for (auto& [path, item] : folder.items) {
        if (item.shownBadge == identifier) invalidate(path, Redraw::always);
      }
    }
  };
  events.disconnected = [this] { onDisconnected(); };
  return events;
}

void HostCore::onReady() {
  if (readyTimer_) g_source_remove(readyTimer_);
  readyTimer_ = 0;
  trace("ready");
  // Folders shown before the extension (re)started are asked again once it observes them.
  for (auto& [dir, folder] : folders_) {
    if (host_->show(dir)) askFolder(dir);
  }
  if (!folders_.empty()) watchFolders();
}

void HostCore::onDisconnected() {
  NSLog("%s: the extension has gone away", frontEnd_.log);
  // The host must not be destroyed from inside its own callback.
  defer(&stopIdle_, &HostCore::stopExtension);
}

void HostCore::stopExtension() {
  if (!host_) return;
  if (readyTimer_) g_source_remove(readyTimer_);
  readyTimer_ = 0;
  host_->shutdown(timing_.exitWait);
  host_.reset();
  lastMenuPath_.clear();
  urgent_.clear();
  unsent_.clear();
  inFlight_ = 0;
  // Without its extension an item has no badge; they come back when it has restarted.
  for (auto& [dir, folder] : folders_) {
    forgetAnswers(dir);
    invalidateFolder(dir, true);
  }
  if (Clock::now() - startedAt_ >= timing_.stableRun) backoff_ = timing_.firstRestart;
  restartLater();
}

// ---------------------------------------------------------------------------------------------
// Folders and items

HostCore::Folder& HostCore::touch(const std::string& dir) {
  Folder& folder = folders_[dir];
  folder.lastUse = Clock::now();
  watchFolders();
  return folder;
}

void HostCore::watchFolders() {
  if (expiryTimer_) return;
  expiryTimer_ = g_timeout_add(
      Milliseconds(kExpiryInterval),
      [](gpointer data) -> gboolean {
        static_cast<HostCore*>(data)->expireFolders();
        return G_SOURCE_CONTINUE;
      },
      this);
}

HostCore::Item* HostCore::findItem(const std::string& path) {
  auto folder = folders_.find(Parent(path));
  if (folder == folders_.end()) return nullptr;
  auto item = folder->second.items.find(path);
  return item == folder->second.items.end() ? nullptr : &item->second;
}

bool HostCore::trackItem(Folder& folder, const std::string& dir, const std::string& path,
                         GObject* file) {
  auto it = folder.items.find(path);
  if (it == folder.items.end()) {
    if (folder.items.size() >= kMaxItemsPerFolder) return false;
    it = folder.items.emplace(path, Item{}).first;
  }
  Item& item = it->second;
  if (item.file == file) return false;
  untrack(item);
  item.tie = std::make_unique<WeakTie>(WeakTie{this, dir, path});
  item.file = file;
  g_object_weak_ref(file, &HostCore::OnItemFinalized, item.tie.get());
  ++folder.live;
  return true;
}

void HostCore::untrack(Item& item) {
  if (!item.file) return;
  g_object_weak_unref(item.file, &HostCore::OnItemFinalized, item.tie.get());
  item.file = nullptr;
  auto folder = folders_.find(item.tie->dir);
  if (folder != folders_.end()) --folder->second.live;
}

void HostCore::OnItemFinalized(gpointer data, GObject*) {
  auto* tie = static_cast<WeakTie*>(data);
  HostCore* self = tie->host;
  auto folder = self->folders_.find(tie->dir);
  if (folder == self->folders_.end()) return;
  auto item = folder->second.items.find(tie->path);
  if (item == folder->second.items.end() || item->second.tie.get() != tie) return;
  item->second.file = nullptr;
  --folder->second.live;
  // The grace period counts from when the last item went.
  if (folder->second.live == 0) folder->second.lastUse = Clock::now();
}

// GNOME Files takes an answer in an idle callback of its own, and marks the item up to date
// there: an invalidation before that would be lost. Invalidations therefore wait for an idle of
// the same priority, added after the answer's and so run after it, and go out together: one
// turn of the main loop redraws every item whose badge arrived by then.
void HostCore::invalidate(const std::string& path, Redraw how) {
  auto [queued, added] = toInvalidate_.emplace(path, how);
  if (!added) queued->second = std::max(queued->second, how);
  defer(&invalidateIdle_, &HostCore::invalidateQueued);
}

void HostCore::invalidateQueued() {
  std::map<std::string, Redraw> paths = std::move(toInvalidate_);
  toInvalidate_.clear();
  const auto now = Clock::now();
  traceCount("redraw", paths.size());
  for (const auto& [path, how] : paths) {
    Item* item = findItem(path);
    if (!item || !item->file) continue;
    // An item whose emblem would stay as it is is not asked again: that could go round for ever.
    if (how != Redraw::always && item->shownBadge == wantedBadge(path)) continue;
    if (how != Redraw::retry && item->redrawing) continue;
    item->redrawing = true;
    item->invalidatedAt = now;
    ops_.invalidate(item->file);
  }
}

void HostCore::setShown(Item& item, const std::string& badge) {
  if (item.shownBadge.empty() != badge.empty()) emblemed_ += badge.empty() ? -1 : 1;
  item.shownBadge = badge;
}

// Adds the emblem of the item's badge as the host knows it now (none without `withBadge`).
void HostCore::answer(GObject* file, const std::string& path, Item* item, bool withBadge) {
  const std::string badge = host_ && withBadge ? host_->state().badgeOf(path) : std::string();
  const std::string emblem = emblemFor(badge);
  if (!emblem.empty()) ops_.addEmblem(file, emblem.c_str());
  emblems_[badge] = emblem;
  if (item) setShown(*item, emblem.empty() ? std::string() : badge);
  ++answers_;
  trace("answer", &path, !emblem.empty());
}

// One line per event: the steady clock in nanoseconds, the event, the answers given and the items
// that show an emblem; an answer adds whether it carried an emblem (1 or 0) and the item's path, a
// batch sent or replied to and a redraw add 0 and how many items they held.
void HostCore::trace(const char* event, const std::string* path, bool emblem) {
  if (!trace_) return;
  const auto now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch());
  std::fprintf(trace_, "%lld %s %llu %lld", static_cast<long long>(now.count()), event,
               static_cast<unsigned long long>(answers_), static_cast<long long>(emblemed_));
  if (path) std::fprintf(trace_, " %d %s", emblem ? 1 : 0, path->c_str());
  std::fputc('\n', trace_);
  std::fflush(trace_);
}

void HostCore::traceCount(const char* event, std::size_t count) {
  if (!trace_) return;
  const std::string text = std::to_string(count);
  trace(event, &text, false);
}

void HostCore::invalidateFolder(const std::string& dir, bool badgedOnly) {
  auto folder = folders_.find(dir);
  if (folder == folders_.end()) return;
  for (auto& [path, item] : folder->second.items) {
    if (!badgedOnly || !item.shownBadge.empty()) invalidate(path);
  }
}

void HostCore::expireFolders() {
  const auto now = Clock::now();
  for (auto it = folders_.begin(); it != folders_.end();) {
    Folder& folder = it->second;
    if (folder.live > 0 || now - folder.lastUse < timing_.folderGrace) {
      reconcile(it->first, folder);
      ++it;
      continue;
    }
    if (host_) host_->hide(it->first);
    for (auto& [path, item] : folder.items) {
      setShown(item, {});
      untrack(item);
    }
    it = folders_.erase(it);
  }
  if (folders_.empty() && expiryTimer_) {
    g_source_remove(expiryTimer_);
    expiryTimer_ = 0;
  }
}

// GNOME Files may drop an invalidation that crosses one of its own updates of the item (seen
// for a few items in ten thousand). Once a second, an item whose emblem differs from its badge
// is invalidated again, a bounded number of times.
void HostCore::reconcile(const std::string& dir, Folder& folder) {
  constexpr int kMaxRetries = 5;
  if (!host_ || !host_->ready() || !host_->observes(dir)) return;
  const auto now = Clock::now();
  for (auto& [path, item] : folder.items) {
    if (!item.file || item.asked == Asked::sent || toInvalidate_.count(path)) continue;
    // The file manager may simply not have come round to an item redrawn a moment ago.
    if (item.redrawing && now - item.invalidatedAt < kExpiryInterval) continue;
    if (item.shownBadge == wantedBadge(path)) {
      item.retries = 0;
    } else if (item.retries < kMaxRetries) {
      ++item.retries;
      invalidate(path, Redraw::retry);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Badges

// The badge whose emblem the item should show now ("" for none).
std::string HostCore::wantedBadge(const std::string& path) const {
  const std::string badge = host_ ? host_->state().badgeOf(path) : std::string();
  return emblemFor(badge).empty() ? std::string() : badge;
}

std::string HostCore::emblemFor(const std::string& identifier) const {
  if (!host_ || identifier.empty()) return {};
  const findersync::HostState::Registration* registration = host_->state().registration(identifier);
  if (!registration || !IsIconName(registration->image)) return {};
  return "vrk-" + registration->image;
}

std::string HostCore::emblemOf(GObject* item) const {
  std::optional<std::string> path = LocalPath(ops_, item);
  if (!path || !host_ || !host_->ready() || !host_->observes(Parent(*path))) return {};
  return emblemFor(wantedBadge(*path));
}

// Always answered at once: file managers ask about one item of a folder at a time and wait for
// an answer in progress before they ask the next one.
void HostCore::answer(GObject* file) {
  std::optional<std::string> path = LocalPath(ops_, file);
  if (!path || *path == "/") return;
  const std::string dir = Parent(*path);
  if (folders_.size() >= kMaxFolders && !folders_.count(dir)) return;
  Folder& folder = touch(dir);
  if (trackItem(folder, dir, *path, file)) lastNewQuestion_ = Clock::now();
  Item* item = findItem(*path);
  // The file manager dropped the item's emblems before it asked again.
  if (item) {
    setShown(*item, {});
    item->redrawing = false;
  }
  // Until the extension is ready, or outside the folders it observes, an item has no badge; it
  // is asked again when that changes.
  if (!host_ || !host_->ready() || !host_->show(dir)) {
    answer(file, *path, item, false);
    return;
  }
  answer(file, *path, item, true);
  if (item && (item->asked == Asked::no || (frontEnd_.asksOnlyWhatIsShown && item->queued))) {
    ask(*item, *path, frontEnd_.asksOnlyWhatIsShown);
    // What it asks about while nothing is on its way goes at once: it may go on asking on its
    // main thread for a while before the loop runs the batch's timer, and the extension works on
    // the first items meanwhile.
    if (frontEnd_.asksOnlyWhatIsShown &&
        (inFlight_ == 0 || (frontEnd_.asksAfterLoading && urgent_.size() >= kAskingBatchSize))) {
      flush();
    }
  }
  list(dir, folder);
}

void HostCore::ask(Item& item, const std::string& path, bool urgent) {
  if (item.asked == Asked::sent && !(urgent && item.queued && !item.urgent)) return;
  item.asked = Asked::sent;
  item.queued = true;
  if (urgent) {
    // It may also wait in the other queue, where it is skipped once sent.
    item.urgent = true;
    urgent_.push_back(path);
  } else {
    unsent_.push_back(path);
  }
  const bool full =
      urgent_.size() >= kUrgentBatchSize || urgent_.size() + unsent_.size() >= kBatchSize;
  if (full && inFlight_ < batchesAllowed()) {
    flush();
  } else {
    defer(&flushTimer_, &HostCore::flush, timing_.batchDelay);
  }
}

// The items the file manager asked about before the folder was observed, and the rest of it.
void HostCore::askFolder(const std::string& dir) {
  auto folder = folders_.find(dir);
  if (folder == folders_.end() || !host_) return;
  for (auto& [path, item] : folder->second.items) {
    if (item.file && item.asked != Asked::sent) ask(item, path);
  }
  list(dir, folder->second);
}

void HostCore::forgetAnswers(const std::string& dir) {
  auto folder = folders_.find(dir);
  if (folder == folders_.end()) return;
  folder->second.listed = false;
  for (auto& [path, item] : folder->second.items) {
    item.asked = Asked::no;
    item.queued = item.urgent = false;
  }
}

// A file manager asks about a folder's items one at a time, after its own work on each. Asking the
// extension about the whole folder at once, as soon as it is shown, has most badges there before
// it asks, so that its first question is answered with the emblem and needs no redraw.
// The listing runs on a thread: a large folder must not hold the file manager's main thread.
void HostCore::list(const std::string& dir, Folder& folder) {
  if (folder.listed || !host_ || !frontEnd_.listsAhead) return;
  folder.listed = true;
  auto* listing = new Listing{this, dir, generation_};
  listings_.push_back(listing);
  GTask* task = g_task_new(nullptr, nullptr, &HostCore::OnListed, listing);
  g_task_set_task_data(task, g_strdup(dir.c_str()), g_free);
  g_task_run_in_thread(task, [](GTask* task, gpointer, gpointer data, GCancellable*) {
    auto* names = new std::vector<std::string>(
        ListFolder(static_cast<const char*>(data), kMaxItemsPerFolder));
    g_task_return_pointer(task, names,
                          [](gpointer p) { delete static_cast<std::vector<std::string>*>(p); });
  });
  g_object_unref(task);
}

void HostCore::OnListed(GObject*, GAsyncResult* result, gpointer data) {
  auto* listing = static_cast<Listing*>(data);
  auto* names =
      static_cast<std::vector<std::string>*>(g_task_propagate_pointer(G_TASK(result), nullptr));
  if (HostCore* self = listing->host) {
    std::erase(self->listings_, listing);
    if (names) self->listed(listing->dir, listing->generation, std::move(*names));
  }
  delete names;
  delete listing;
}

void HostCore::listed(const std::string& dir, std::uint64_t generation,
                      std::vector<std::string> names) {
  auto folder = folders_.find(dir);
  // A listing for an extension that has gone since, or for a folder no longer shown, is not
  // needed: the restart or the next show lists again.
  if (generation != generation_ || !host_ || !host_->observes(dir) || folder == folders_.end() ||
      !folder->second.listed) {
    return;
  }
  trace("listed");
  auto& items = folder->second.items;
  // The first screenful goes at once; the rest is the backlog, or is left to the file manager's
  // own questions where it asks only about what it shows.
  const std::size_t first = std::min(names.size(), kFirstInView);
  const std::size_t wanted = frontEnd_.asksOnlyWhatIsShown ? first : names.size();
  for (std::size_t i = 0; i < wanted; ++i) {
    if (items.size() >= kMaxItemsPerFolder) break;
    const std::string path = dir == "/" ? "/" + names[i] : dir + "/" + names[i];
    Item& item = items[path];
    // ask() itself moves an item of the first screenful that waits in the backlog to the front.
    if (item.asked != Asked::known) ask(item, path, i < first);
  }
  flush();
}

void HostCore::flush() {
  if (flushTimer_) g_source_remove(flushTimer_);
  flushTimer_ = 0;
  while ((!urgent_.empty() || !unsent_.empty()) && inFlight_ < batchesAllowed()) {
    if (urgent_.empty()) {
      const std::chrono::milliseconds wait = backlogWait();
      if (wait.count() > 0) {
        defer(&backlogTimer_, &HostCore::flush, wait);
        break;
      }
    }
    std::vector<std::string> batch;
    const std::size_t size = urgent_.empty() ? kBatchSize : kUrgentBatchSize;
    while (batch.size() < size && (!urgent_.empty() || !unsent_.empty())) {
      std::deque<std::string>& queue = urgent_.empty() ? unsent_ : urgent_;
      std::string path = std::move(queue.front());
      queue.pop_front();
      Item* item = findItem(path);
      // Sent already from the other queue, or forgotten since.
      if (!item || !item->queued) continue;
      item->queued = item->urgent = false;
      batch.push_back(std::move(path));
    }
    if (batch.empty()) break;
    auto done = [this, batch](bool ok) {
      --inFlight_;
      answered(batch, ok);
      flush();
    };
    if (host_ && host_->requestBadges(batch, timing_.badgeWait, done)) {
      ++inFlight_;
      traceCount("sent", batch.size());
      continue;
    }
    // Not sent: the extension has gone, and its restart asks the folders again.
    for (const std::string& path : batch) {
      if (Item* item = findItem(path)) item->asked = Asked::no;
    }
  }
}

int HostCore::batchesAllowed() const {
  return frontEnd_.asksAfterLoading && !urgent_.empty() ? kAskingBatchesInFlight : kBatchesInFlight;
}

// A file manager that asks about every item asks about a large folder's items for a while after
// it shows them; the backlog waits until it has stopped, so that it shows the folder at its own
// speed, but not for longer than the hold.
std::chrono::milliseconds HostCore::backlogWait() {
  const auto now = Clock::now();
  const auto quietAt = lastNewQuestion_ + timing_.askingQuiet;
  if (now >= quietAt) {
    backlogHeldSince_.reset();
    return std::chrono::milliseconds{0};
  }
  if (!backlogHeldSince_) backlogHeldSince_ = now;
  const auto until = std::min(quietAt, *backlogHeldSince_ + timing_.backlogHold);
  if (now >= until) return std::chrono::milliseconds{0};
  return std::chrono::ceil<std::chrono::milliseconds>(until - now);
}

// Once the extension has handled a batch, whatever badge it set in answer has arrived: an item
// whose badge did not come has none. An item whose emblem changed was redrawn when its badge
// came; this redraws only what is still out of step.
void HostCore::answered(const std::vector<std::string>& paths, bool ok) {
  traceCount("replied", paths.size());
  if (!ok) {
    NSLog("%s: the extension did not answer %zu badge requests in time", frontEnd_.log,
          paths.size());
  }
  for (const std::string& path : paths) {
    Item* item = findItem(path);
    if (!item || item->asked != Asked::sent) continue;
    if (!ok) {
      item->asked = Asked::no;
      continue;
    }
    item->asked = Asked::known;
    if (item->shownBadge != wantedBadge(path)) invalidate(path);
  }
}

// ---------------------------------------------------------------------------------------------
// Menus and properties

std::vector<HostCore::MenuEntry> HostCore::menu(const std::vector<GObject*>& selection) {
  if (selection.size() != 1 || !host_ || !host_->ready()) return {};
  std::optional<std::string> path = LocalPath(ops_, selection.front());
  if (!path || !host_->state().covers(*path)) return {};
  const std::string dir = Parent(*path);
  const auto now = Clock::now();
  if (*path == lastMenuPath_ && now - lastMenuAt_ < timing_.menuReuse) return lastMenu_;
  std::string error;
  auto reply = host_->menu(kMenuForItems, {*path}, dir, timing_.menuWait, &error);
  if (!reply) {
    NSLog("%s: no menu for %s: %s", frontEnd_.log, *path, error);
    lastMenuPath_.clear();
    return {};
  }
  std::vector<MenuEntry> entries;
  for (std::size_t i = 0; i < reply->items.size(); ++i) {
    const findersync::WireMenuItem& item = reply->items[i];
    if (item.title.empty()) continue;
    entries.push_back(
        {item.title, !item.action.empty(), item.action, static_cast<std::int64_t>(i), *path, dir});
  }
  lastMenuPath_ = *path;
  lastMenuAt_ = now;
  lastMenu_ = entries;
  return entries;
}

namespace {

struct ActionData {
  HostCore* core;
  HostCore::MenuEntry entry;
};

}  // namespace

GList* HostCore::menuItems(const std::vector<GObject*>& selection, MakeMenuItem make) {
  GList* items = nullptr;
  std::size_t i = 0;
  for (MenuEntry& entry : menu(selection)) {
    g_autofree char* name = g_strdup_printf("VRKFinderSync::item%zu", i++);
    GObject* item = make(name, entry.title.c_str());
    if (!entry.enabled) {
      g_object_set(item, "sensitive", FALSE, nullptr);
    } else {
      auto* data = new ActionData{this, std::move(entry)};
      g_signal_connect_data(item, "activate", G_CALLBACK(&HostCore::OnActivate), data,
                            &HostCore::FreeAction, GConnectFlags(0));
    }
    items = g_list_append(items, item);
  }
  return items;
}

void HostCore::OnActivate(GObject*, gpointer data) {
  auto* action = static_cast<ActionData*>(data);
  action->core->perform(action->entry);
}

void HostCore::FreeAction(gpointer data, GClosure*) {
  delete static_cast<ActionData*>(data);
}

void HostCore::perform(const MenuEntry& entry) {
  // A chosen entry may change what the menu offers (Lock becomes Unlock): the next right-click
  // asks the extension again.
  lastMenuPath_.clear();
  if (!host_ || !host_->connected()) {
    NSLog("%s: %s not performed: the extension is not running", frontEnd_.log, entry.action);
    return;
  }
  std::string error;
  if (!host_->performAction(entry.action, entry.index, {entry.path}, entry.dir, timing_.actionWait,
                            &error)) {
    NSLog("%s: %s not performed: %s", frontEnd_.log, entry.action, error);
  }
}

void HostCore::folderShown(GObject* folder) {
  // File managers ask for a folder's background menu when they show it: that folder counts as
  // shown, even while it is empty.
  std::optional<std::string> path = LocalPath(ops_, folder);
  if (!path) return;
  trace("background");
  if (folders_.size() < kMaxFolders || folders_.count(*path)) {
    Folder& shown = touch(*path);
    if (host_ && host_->ready() && host_->show(*path)) list(*path, shown);
  }
}

std::optional<std::string> HostCore::label(GObject* item) const {
  if (!host_) return std::nullopt;
  std::optional<std::string> path = LocalPath(ops_, item);
  if (!path) return std::nullopt;
  const findersync::HostState::Registration* registration =
      host_->state().registration(host_->state().badgeOf(*path));
  if (!registration || registration->label.empty()) return std::nullopt;
  return registration->label;
}

}  // namespace vrk::filemanager
