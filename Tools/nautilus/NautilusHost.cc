#include "Tools/nautilus/NautilusHost.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/RunLoop.h"
#include "Tools/nautilus/ExtensionLocation.h"
#include "Tools/nautilus/SdEventSource.h"

namespace vrk::nautilus {
namespace {

using Clock = std::chrono::steady_clock;
using findersync::ExtensionHost;

constexpr const char* kLogName = "vrk-nautilus";
// FIMenuKindContextualMenuForItems: the menu of the selected items.
constexpr std::int64_t kMenuForItems = 0;
// Caps on what is tracked; beyond them items still get their answers, only no later updates.
constexpr std::size_t kMaxFolders = 4096;
constexpr std::size_t kMaxItemsPerFolder = 200'000;
constexpr auto kExpiryInterval = std::chrono::seconds(1);

guint Milliseconds(std::chrono::milliseconds ms) {
  return static_cast<guint>(std::max<std::int64_t>(0, ms.count()));
}

// The local path of a NautilusFileInfo, nullopt for anything that is not a file: URI.
std::optional<std::string> LocalPath(NautilusFileInfo* file) {
  g_autofree char* uri = nautilus_file_info_get_uri(file);
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

NautilusOperationHandle* HandleOf(std::uint64_t id) {
  return reinterpret_cast<NautilusOperationHandle*>(static_cast<std::uintptr_t>(id));
}

struct ActionData {
  NautilusHost* host;
  std::string action;
  std::int64_t index;
  std::string path;
  std::string dir;
};

}  // namespace

struct NautilusHost::WeakTie {
  NautilusHost* host;
  std::string dir;
  std::string path;
};

NautilusHost::NautilusHost(Timing timing) : timing_(timing), backoff_(timing.firstRestart) {
  if (const char* path = std::getenv("VRK_NAUTILUS_TRACE"); path && *path) {
    trace_ = std::fopen(path, "ae");
  }
  loopSource_ = AttachSdEvent(RunLoop::main().event(), nullptr);
  if (!loopSource_) NSLog("%s: cannot drive the run loop from GLib; no extension", kLogName);
  // Started from the main loop, not from module initialization: GNOME Files is not ready for
  // calls into it before its loop runs.
  scheduleStart(std::chrono::milliseconds(0));
}

NautilusHost::~NautilusHost() {
  for (guint* source :
       {&startTimer_, &readyTimer_, &stopIdle_, &flushIdle_, &expiryTimer_, &invalidateIdle_}) {
    if (*source) g_source_remove(*source);
    *source = 0;
  }
  completeAll(false);
  if (host_) host_->shutdown(timing_.exitWait);
  host_.reset();
  for (auto& [dir, folder] : folders_) {
    for (auto& [path, item] : folder.items) untrack(item);
  }
  if (loopSource_) {
    g_source_destroy(loopSource_);
    g_source_unref(loopSource_);
  }
  if (trace_) std::fclose(trace_);
}

// ---------------------------------------------------------------------------------------------
// The extension's life

void NautilusHost::scheduleStart(std::chrono::milliseconds delay) {
  if (startTimer_ || host_) return;
  defer(&startTimer_, &NautilusHost::start, delay);
}

void NautilusHost::defer(guint* id, void (NautilusHost::*member)(),
                         std::optional<std::chrono::milliseconds> delay, gint priority) {
  if (*id) return;
  struct Call {
    NautilusHost* self;
    guint* id;
    void (NautilusHost::*member)();
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
              : g_idle_add_full(priority, run, call, release);
}

void NautilusHost::restartLater() {
  const std::chrono::milliseconds delay = backoff_;
  backoff_ = std::min(backoff_ * 2, timing_.maxRestart);
  scheduleStart(delay);
}

void NautilusHost::start() {
  if (host_ || !loopSource_) return;
  std::string error;
  std::optional<std::string> bundle = ElectedExtension(&error);
  if (bundle) host_ = ExtensionHost::start(*bundle, kLogName, events(), &error);
  if (!host_) {
    if (error != lastStartError_) NSLog("%s: cannot start the extension: %s", kLogName, error);
    lastStartError_ = error;
    restartLater();
    return;
  }
  lastStartError_.clear();
  startedAt_ = Clock::now();
  NSLog("%s: started the extension %s (pid %d)", kLogName, *bundle, static_cast<int>(host_->pid()));
  defer(&readyTimer_, &NautilusHost::readyTimedOut, timing_.readyWait);
}

void NautilusHost::readyTimedOut() {
  NSLog("%s: the extension did not get ready in time", kLogName);
  stopExtension();
}

ExtensionHost::Events NautilusHost::events() {
  ExtensionHost::Events events;
  events.ready = [this] { onReady(); };
  events.observationChanged = [this](const std::string& dir, bool observed) {
    // A folder that came into the set is asked again, item by item; one that left loses its
    // emblems.
    invalidateFolder(dir, !observed);
  };
  events.badgeChanged = [this](const std::string& path, const std::string& identifier) {
    Item* item = findItem(path);
    if (item && item->shownBadge != identifier) invalidate(path, true);
  };
  events.badgeImageChanged = [this](const std::string& identifier) {
    auto known = emblems_.find(identifier);
    if (known == emblems_.end() || known->second == emblemFor(identifier)) return;
    for (auto& [dir, folder] : folders_) {
      for (auto& [path, item] : folder.items) {
        if (item.shownBadge == identifier) invalidate(path);
      }
    }
  };
  events.disconnected = [this] { onDisconnected(); };
  return events;
}

void NautilusHost::onReady() {
  if (readyTimer_) g_source_remove(readyTimer_);
  readyTimer_ = 0;
  trace("ready");
  // Folders shown before the extension (re)started are asked again once it observes them.
  for (auto& [dir, folder] : folders_) {
    if (host_->show(dir)) invalidateFolder(dir, false);
  }
  if (!folders_.empty()) watchFolders();
}

void NautilusHost::onDisconnected() {
  NSLog("%s: the extension has gone away", kLogName);
  // The host must not be destroyed from inside its own callback.
  defer(&stopIdle_, &NautilusHost::stopExtension);
}

void NautilusHost::stopExtension() {
  if (!host_) return;
  if (readyTimer_) g_source_remove(readyTimer_);
  readyTimer_ = 0;
  completeAll(false);
  host_->shutdown(timing_.exitWait);
  host_.reset();
  // Without its extension an item has no badge; they come back when it has restarted.
  for (auto& [dir, folder] : folders_) invalidateFolder(dir, true);
  if (Clock::now() - startedAt_ >= timing_.stableRun) backoff_ = timing_.firstRestart;
  restartLater();
}

// ---------------------------------------------------------------------------------------------
// Folders and items

NautilusHost::Folder& NautilusHost::touch(const std::string& dir) {
  Folder& folder = folders_[dir];
  folder.lastUse = Clock::now();
  watchFolders();
  return folder;
}

void NautilusHost::watchFolders() {
  if (expiryTimer_) return;
  expiryTimer_ = g_timeout_add(
      Milliseconds(kExpiryInterval),
      [](gpointer data) -> gboolean {
        static_cast<NautilusHost*>(data)->expireFolders();
        return G_SOURCE_CONTINUE;
      },
      this);
}

NautilusHost::Item* NautilusHost::findItem(const std::string& path) {
  auto folder = folders_.find(Parent(path));
  if (folder == folders_.end()) return nullptr;
  auto item = folder->second.items.find(path);
  return item == folder->second.items.end() ? nullptr : &item->second;
}

void NautilusHost::trackItem(Folder& folder, const std::string& dir, const std::string& path,
                             NautilusFileInfo* file) {
  auto it = folder.items.find(path);
  if (it == folder.items.end()) {
    if (folder.items.size() >= kMaxItemsPerFolder) return;
    it = folder.items.emplace(path, Item{}).first;
  }
  Item& item = it->second;
  if (item.file == file) return;
  untrack(item);
  item.tie = std::make_unique<WeakTie>(WeakTie{this, dir, path});
  item.file = file;
  g_object_weak_ref(G_OBJECT(file), &NautilusHost::OnItemFinalized, item.tie.get());
  ++folder.live;
}

void NautilusHost::untrack(Item& item) {
  if (!item.file) return;
  g_object_weak_unref(G_OBJECT(item.file), &NautilusHost::OnItemFinalized, item.tie.get());
  item.file = nullptr;
  auto folder = folders_.find(item.tie->dir);
  if (folder != folders_.end()) --folder->second.live;
}

void NautilusHost::OnItemFinalized(gpointer data, GObject*) {
  auto* tie = static_cast<WeakTie*>(data);
  NautilusHost* self = tie->host;
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
// lower priority, which runs after it, and go out together.
void NautilusHost::invalidate(const std::string& path, bool answerKnown) {
  bool& known = toInvalidate_[path];
  known = known || answerKnown;
  defer(&invalidateIdle_, &NautilusHost::invalidateQueued, std::nullopt, G_PRIORITY_LOW);
}

void NautilusHost::invalidateQueued() {
  std::map<std::string, bool> paths = std::move(toInvalidate_);
  toInvalidate_.clear();
  for (const auto& [path, known] : paths) {
    Item* item = findItem(path);
    // An item with an answer on its way gets the newest badge with it; one whose answer already
    // carried the badge that arrived needs no redraw.
    if (!item || !item->file || item->pending != 0) continue;
    if (known && item->shownBadge == wantedBadge(path)) continue;
    item->answerKnown = known;
    nautilus_file_info_invalidate_extension_info(item->file);
  }
}

void NautilusHost::setShown(Item& item, const std::string& badge) {
  if (item.shownBadge.empty() != badge.empty()) emblemed_ += badge.empty() ? -1 : 1;
  item.shownBadge = badge;
}

// Adds the emblem of the item's badge as the host knows it now (none without `withBadge`).
void NautilusHost::answer(NautilusFileInfo* file, const std::string& path, Item* item,
                          bool withBadge) {
  const std::string badge = host_ && withBadge ? host_->state().badgeOf(path) : std::string();
  const std::string emblem = emblemFor(badge);
  if (!emblem.empty()) nautilus_file_info_add_emblem(file, emblem.c_str());
  emblems_[badge] = emblem;
  if (item) setShown(*item, emblem.empty() ? std::string() : badge);
  ++answers_;
  trace("answer");
}

void NautilusHost::trace(const char* event) {
  if (!trace_) return;
  const auto now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch());
  std::fprintf(trace_, "%lld %s %llu %lld\n", static_cast<long long>(now.count()), event,
               static_cast<unsigned long long>(answers_), static_cast<long long>(emblemed_));
  std::fflush(trace_);
}

void NautilusHost::invalidateFolder(const std::string& dir, bool badgedOnly) {
  auto folder = folders_.find(dir);
  if (folder == folders_.end()) return;
  for (auto& [path, item] : folder->second.items) {
    if (!badgedOnly || !item.shownBadge.empty()) invalidate(path);
  }
}

void NautilusHost::expireFolders() {
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
void NautilusHost::reconcile(const std::string& dir, Folder& folder) {
  constexpr int kMaxRetries = 5;
  if (!host_ || !host_->ready() || !host_->observes(dir)) return;
  for (auto& [path, item] : folder.items) {
    if (!item.file || item.pending != 0 || toInvalidate_.count(path)) continue;
    if (item.shownBadge == wantedBadge(path)) {
      item.retries = 0;
    } else if (item.retries < kMaxRetries) {
      ++item.retries;
      invalidate(path, true);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Badges

// The badge whose emblem the item should show now ("" for none).
std::string NautilusHost::wantedBadge(const std::string& path) const {
  const std::string badge = host_ ? host_->state().badgeOf(path) : std::string();
  return emblemFor(badge).empty() ? std::string() : badge;
}

std::string NautilusHost::emblemFor(const std::string& identifier) const {
  if (!host_ || identifier.empty()) return {};
  const findersync::HostState::Registration* registration = host_->state().registration(identifier);
  if (!registration || !IsIconName(registration->image)) return {};
  return "vrk-" + registration->image;
}

NautilusOperationResult NautilusHost::updateFileInfo(NautilusInfoProvider* provider,
                                                     NautilusFileInfo* file,
                                                     GClosure* updateComplete,
                                                     NautilusOperationHandle** handle) {
  std::optional<std::string> path = LocalPath(file);
  if (!path || *path == "/") return NAUTILUS_OPERATION_COMPLETE;
  const std::string dir = Parent(*path);
  if (folders_.size() >= kMaxFolders && !folders_.count(dir)) return NAUTILUS_OPERATION_COMPLETE;
  Folder& folder = touch(dir);
  trackItem(folder, dir, *path, file);
  Item* item = findItem(*path);
  // GNOME Files dropped the item's emblems before it asked again.
  if (item) setShown(*item, {});
  const bool known = item && std::exchange(item->answerKnown, false);
  // Until the extension is ready, or outside the folders it observes, an item has no badge; it
  // is asked again when that changes.
  if (!host_ || !host_->ready() || !host_->show(dir)) {
    answer(file, *path, item, false);
    return NAUTILUS_OPERATION_COMPLETE;
  }
  if (known || !host_->requestBadge(*path)) {
    answer(file, *path, item, true);
    return NAUTILUS_OPERATION_COMPLETE;
  }
  const std::uint64_t id = nextId_++;
  g_closure_ref(updateComplete);
  pending_.emplace(id, Pending{NAUTILUS_FILE_INFO(g_object_ref(file)), updateComplete,
                               NAUTILUS_INFO_PROVIDER(g_object_ref(provider)), dir, *path});
  if (item) ++item->pending;
  unsent_.push_back(id);
  defer(&flushIdle_, &NautilusHost::flush);
  *handle = HandleOf(id);
  return NAUTILUS_OPERATION_IN_PROGRESS;
}

void NautilusHost::cancelUpdate(NautilusOperationHandle* handle) {
  auto it = pending_.find(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle)));
  if (it == pending_.end()) return;
  Pending pending = std::move(it->second);
  pending_.erase(it);
  if (Item* item = findItem(pending.path)) --item->pending;
  g_closure_unref(pending.closure);
  g_object_unref(pending.file);
  g_object_unref(pending.provider);
}

// One round trip answers every request sent before it: by then the extension has handled them,
// and whatever badge it set in answer has arrived.
void NautilusHost::flush() {
  std::vector<std::uint64_t> batch = std::move(unsent_);
  unsent_.clear();
  if (batch.empty()) return;
  auto done = [this, batch](bool ok) {
    if (!ok)
      NSLog("%s: the extension did not answer %zu badge requests in time", kLogName, batch.size());
    for (std::uint64_t id : batch) complete(id, true);
  };
  if (!host_ || !host_->barrierAsync(timing_.badgeWait, done)) {
    for (std::uint64_t id : batch) complete(id, true);
  }
}

void NautilusHost::complete(std::uint64_t id, bool withBadge) {
  auto it = pending_.find(id);
  if (it == pending_.end()) return;
  Pending pending = std::move(it->second);
  pending_.erase(it);
  Item* item = findItem(pending.path);
  if (item) --item->pending;
  answer(pending.file, pending.path, item, withBadge);
  nautilus_info_provider_update_complete_invoke(pending.closure, pending.provider, HandleOf(id),
                                                NAUTILUS_OPERATION_COMPLETE);
  g_closure_unref(pending.closure);
  g_object_unref(pending.file);
  g_object_unref(pending.provider);
}

void NautilusHost::completeAll(bool withBadge) {
  unsent_.clear();
  std::vector<std::uint64_t> ids;
  for (const auto& [id, pending] : pending_) ids.push_back(id);
  for (std::uint64_t id : ids) complete(id, withBadge);
}

// ---------------------------------------------------------------------------------------------
// Menus and properties

GList* NautilusHost::fileItems(GList* files) {
  if (!files || files->next || !host_ || !host_->ready()) return nullptr;
  std::optional<std::string> path = LocalPath(NAUTILUS_FILE_INFO(files->data));
  if (!path || !host_->state().covers(*path)) return nullptr;
  const std::string dir = Parent(*path);
  std::string error;
  auto reply = host_->menu(kMenuForItems, {*path}, dir, timing_.menuWait, &error);
  if (!reply) {
    NSLog("%s: no menu for %s: %s", kLogName, *path, error);
    return nullptr;
  }
  GList* items = nullptr;
  for (std::size_t i = 0; i < reply->items.size(); ++i) {
    const findersync::WireMenuItem& entry = reply->items[i];
    if (entry.title.empty()) continue;
    g_autofree char* name = g_strdup_printf("VRKFinderSync::item%zu", i);
    NautilusMenuItem* item = nautilus_menu_item_new(name, entry.title.c_str(), nullptr, nullptr);
    if (entry.action.empty()) {
      g_object_set(item, "sensitive", FALSE, nullptr);
    } else {
      auto* data = new ActionData{this, entry.action, static_cast<std::int64_t>(i), *path, dir};
      g_signal_connect_data(item, "activate", G_CALLBACK(&NautilusHost::OnActivate), data,
                            &NautilusHost::FreeAction, GConnectFlags(0));
    }
    items = g_list_append(items, item);
  }
  return items;
}

void NautilusHost::OnActivate(NautilusMenuItem*, gpointer data) {
  auto* action = static_cast<ActionData*>(data);
  NautilusHost* self = action->host;
  if (!self->host_ || !self->host_->connected()) {
    NSLog("%s: %s not performed: the extension is not running", kLogName, action->action);
    return;
  }
  std::string error;
  if (!self->host_->performAction(action->action, action->index, {action->path}, action->dir,
                                  self->timing_.actionWait, &error)) {
    NSLog("%s: %s not performed: %s", kLogName, action->action, error);
  }
}

void NautilusHost::FreeAction(gpointer data, GClosure*) {
  delete static_cast<ActionData*>(data);
}

GList* NautilusHost::backgroundItems(NautilusFileInfo* folder) {
  // GNOME Files asks for these when it shows a folder: that folder counts as shown, even while
  // it is empty.
  std::optional<std::string> path = LocalPath(folder);
  if (!path) return nullptr;
  if (folders_.size() < kMaxFolders || folders_.count(*path)) {
    touch(*path);
    if (host_ && host_->ready()) host_->show(*path);
  }
  return nullptr;
}

GList* NautilusHost::propertiesModels(GList* files) {
  if (!files || files->next || !host_) return nullptr;
  std::optional<std::string> path = LocalPath(NAUTILUS_FILE_INFO(files->data));
  if (!path) return nullptr;
  const findersync::HostState::Registration* registration =
      host_->state().registration(host_->state().badgeOf(*path));
  if (!registration || registration->label.empty()) return nullptr;
  GListStore* store = g_list_store_new(NAUTILUS_TYPE_PROPERTIES_ITEM);
  g_autoptr(NautilusPropertiesItem) status =
      nautilus_properties_item_new("Status", registration->label.c_str());
  g_list_store_append(store, status);
  // The model's documentation leaves open whether it takes our reference to the store or adds
  // its own; release ours only in the second case.
  const guint before = G_OBJECT(store)->ref_count;
  NautilusPropertiesModel* model = nautilus_properties_model_new("Sync", G_LIST_MODEL(store));
  if (G_OBJECT(store)->ref_count > before) g_object_unref(store);
  return g_list_append(nullptr, model);
}

}  // namespace vrk::nautilus
