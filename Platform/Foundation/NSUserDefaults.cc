#include "Platform/Foundation/NSUserDefaults.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <system_error>
#include <utility>

#include "Platform/Foundation/DefaultsDatabase.h"
#include "Platform/Foundation/DefaultsFile.h"
#include "Platform/Foundation/EmulatedRoot.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/ThreadSafety.h"
#include "Platform/Foundation/UniqueFd.h"

namespace vrk {

namespace fs = std::filesystem;
using defaults::Database;
using defaults::FileLock;
using defaults::FileStamp;

namespace {

// Which file a path named when the store was opened: device and inode, as lstat gives them.
struct FileId {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

FileId IdOf(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return {};
  return {true, st.st_dev, st.st_ino};
}

}  // namespace

struct NSUserDefaults::State {
  State(std::string name, fs::path dir)
      : suite(std::move(name)),
        folder(std::move(dir)),
        file(folder / (suite + ".sqlite")),
        lockFile(folder / (suite + ".sqlite.lock")),
        asideFile(folder / (suite + ".sqlite.corrupt")),
        jsonFile(folder / (suite + ".json")),
        walFile(file.string() + "-wal"),
        shmFile(file.string() + "-shm"),
        names{suite + ".sqlite", suite + ".sqlite-wal", suite + ".sqlite-shm"} {}

  const std::string suite;
  const fs::path folder;
  const fs::path file;
  const fs::path lockFile;
  const fs::path asideFile;
  const fs::path jsonFile;
  const fs::path walFile;
  const fs::path shmFile;
  const std::string names[3];  // the file names of file, walFile and shmFile

  Mutex mutex;
  std::unique_ptr<Database> db GUARDED_BY(mutex);
  // The files that `db` has open, as their paths named them when it was opened; a file that
  // was not there then is not checked.
  FileId openMain GUARDED_BY(mutex), openWal GUARDED_BY(mutex), openShm GUARDED_BY(mutex);
  // Tells of changes to the names in the folder while `db` is open, so that the files are looked
  // at only after something changed there; without it (no inotify) they are looked at every time.
  UniqueFd watch GUARDED_BY(mutex);
  // Why the store could not be opened or read, for tools that must say so.
  std::string failure GUARDED_BY(mutex);
  // Set once this object has written: then, when its database is found removed or replaced,
  // what that database held is kept here and written to the new one by the next synchronize.
  bool wrote GUARDED_BY(mutex) = false;
  std::optional<ObjectDictionary> restore GUARDED_BY(mutex);
  // Values read from the database while its data version was `version`. Dictionaries held
  // entry by entry are not kept: they are large and only read whole by tools.
  std::map<std::string, Object, std::less<>> cache GUARDED_BY(mutex);
  std::optional<std::int64_t> version GUARDED_BY(mutex);
  // Whole-key sets, and removals as nil, since the last successful synchronize.
  ObjectDictionary pending GUARDED_BY(mutex);
  // Entry changes of dictionary-valued keys (a nil entry is removed); a key is never in both.
  std::map<std::string, ObjectDictionary, std::less<>> pendingEntries GUARDED_BY(mutex);
};

namespace {

bool ValidSuiteName(std::string_view name) {
  return !name.empty() && name != "." && name.find('/') == std::string_view::npos &&
         name.find("..") == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string StampText(const FileStamp& stamp) {
  return std::to_string(stamp.device) + ":" + std::to_string(stamp.inode) + ":" +
         std::to_string(stamp.size) + ":" + std::to_string(stamp.mtimeNs);
}

// Renames `from` to `to`, replacing whatever `to` was (a folder included).
bool MoveAside(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::remove_all(to, ec);
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    NSLog("[NSUserDefaults] cannot keep %s aside: %s", from.string(), std::strerror(errno));
    return false;
  }
  return true;
}

// Moves a database that is not ours aside with its write-ahead log, whose frames would
// otherwise be replayed into the fresh database that takes its name.
bool MoveDatabaseAside(const NSUserDefaults::State& s, std::string_view why) {
  if (!MoveAside(s.file, s.asideFile)) return false;
  const fs::path wal = s.file.string() + "-wal";
  std::error_code ec;
  if (fs::exists(fs::symlink_status(wal, ec))) MoveAside(wal, s.asideFile.string() + "-wal");
  fs::remove(s.file.string() + "-shm", ec);
  NSLog("[NSUserDefaults] %s %s; it is kept aside as %s and an empty store takes its place",
        s.file.string(), why, s.asideFile.string());
  return true;
}

// Moves a log or shared-memory file that is not a regular file (a symlink, a folder, a FIFO)
// aside: SQLite can neither use it nor replace it, so the store could not be opened at all. The
// database itself keeps what was copied back into it. A regular file of another user is left
// alone: it may hold that user's last commits, and SQLite says whether it may be used.
bool MoveCompanionAside(const NSUserDefaults::State& s, const fs::path& companion,
                        std::string_view suffix) {
  struct stat st;
  if (::lstat(companion.c_str(), &st) != 0) return true;
  if (S_ISREG(st.st_mode)) return true;
  const fs::path aside = s.asideFile.string() + std::string(suffix);
  if (!MoveAside(companion, aside)) return false;
  NSLog("[NSUserDefaults] %s %s; it is kept aside as %s and the store is opened without it",
        companion.string(),
        S_ISLNK(st.st_mode)   ? "is a symlink"
        : S_ISDIR(st.st_mode) ? "is a folder"
                              : "is not a file",
        aside.string());
  return true;
}

// Makes the suite's folder a folder: one that is a file (or a symlink to nothing) is kept aside
// as "<folder>.corrupt" first, as a bad database is. False, logged, when it cannot be made.
bool EnsureFolder(const fs::path& folder, std::string& failure) {
  std::error_code ec;
  if (fs::is_directory(folder, ec)) return true;
  struct stat st;
  if (::lstat(folder.c_str(), &st) == 0) {
    const fs::path aside = folder.string() + ".corrupt";
    if (!MoveAside(folder, aside)) {
      failure = folder.string() + " is not a folder and cannot be kept aside";
      return false;
    }
    NSLog("[NSUserDefaults] %s is not a folder; it is kept aside as %s", folder.string(),
          aside.string());
  }
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder, ec)) {
    failure = "cannot create " + folder.string() + ": " +
              (ec ? ec.message() : std::string("not a folder"));
    return false;
  }
  return true;
}

// Imports the first version's JSON file of the suite, if there is one. Runs under the suite's
// lock file, so only one process imports.
void ImportJsonSuite(NSUserDefaults::State& s) REQUIRES(s.mutex) {
  std::optional<FileStamp> stamp = defaults::StatPath(s.jsonFile);
  if (!stamp || !stamp->exists) return;
  const fs::path aside = s.jsonFile.string() + ".corrupt";
  auto removeLeftovers = [&] {
    std::error_code ec;
    fs::remove(s.jsonFile, ec);
    fs::remove(s.jsonFile.string() + ".lock", ec);
    defaults::RemoveStrayTempFiles(s.folder, "." + s.suite + ".json.tmp.", std::nullopt);
  };
  // Imported before, but the process died before it could remove the file.
  if (s.db->meta("imported") == StampText(*stamp)) {
    removeLeftovers();
    return;
  }
  if (static_cast<std::uint64_t>(stamp->size) > kMaxSettingsFileBytes) {
    NSLog("[NSUserDefaults] %s is larger than %zu bytes and is not imported", s.jsonFile.string(),
          kMaxSettingsFileBytes);
    if (MoveAside(s.jsonFile, aside)) removeLeftovers();
    return;
  }
  std::optional<defaults::FileContents> contents = defaults::ReadFile(s.jsonFile);
  if (!contents) return;  // logged; tried again at the next start
  std::optional<ObjectDictionary> values;
  if (contents->regular) {
    values = ParseSettingsFile(std::as_bytes(std::span(contents->bytes)), s.jsonFile.string());
  }
  if (!values) {
    NSLog("[NSUserDefaults] %s is not a settings file; it is kept aside as %s", s.jsonFile.string(),
          aside.string());
    if (MoveAside(s.jsonFile, aside)) removeLeftovers();
    return;
  }
  if (!s.db->begin()) return;
  bool ok = true;
  for (const auto& [key, value] : *values) {
    if (!IsStorableSettingsValue(value)) {
      NSLog("[NSUserDefaults] %s: the value of key \"%s\" is too large and is left out",
            s.jsonFile.string(), key);
      continue;
    }
    if (!(ok = s.db->put(key, value))) break;
  }
  ok = ok && s.db->setMeta("imported", StampText(contents->stamp)) && s.db->commit();
  if (!ok) {
    s.db->rollback();
    return;
  }
  NSLog("[NSUserDefaults] imported %zu keys of %s into %s", values->size(), s.jsonFile.string(),
        s.file.string());
  removeLeftovers();
}

// Opens the suite's database, repairing and migrating it under the suite's lock file.
// False, logged, when it cannot be opened now; the next use tries again.
bool OpenStore(NSUserDefaults::State& s) REQUIRES(s.mutex) {
  // The lock orders repairs and imports between processes. Without it (a folder we may not
  // write) the store is only opened as it is.
  std::optional<FileLock> lock = FileLock::acquire(s.lockFile, defaults::kDefaultsBusyTimeout);
  s.failure = "cannot open " + s.file.string();
  for (int attempt = 0; attempt < 2 && !s.db; ++attempt) {
    struct stat st;
    if (::lstat(s.file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      if (!lock || !MoveDatabaseAside(s, S_ISLNK(st.st_mode) ? "is a symlink" : "is not a file")) {
        s.failure = s.file.string() + " is not a file and cannot be kept aside";
        return false;
      }
    }
    if (!lock || !MoveCompanionAside(s, s.walFile, "-wal") ||
        !MoveCompanionAside(s, s.shmFile, "-shm")) {
      // Without the lock nothing is moved; SQLite says below whether the store opens anyway.
      if (lock) {
        s.failure = "cannot keep " + s.walFile.string() + " or " + s.shmFile.string() + " aside";
        return false;
      }
    }
    // Created here rather than by SQLite so that it, and the log files that take its mode, are
    // the user's alone. Fails harmlessly when the file exists.
    UniqueFd created(
        ::open(s.file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    Database::Status status;
    s.db = Database::open(s.file, status, {}, &s.failure);
    if (status == Database::Status::NotOurs && lock && attempt == 0) {
      if (!MoveDatabaseAside(s, "cannot be read as a settings database")) return false;
    } else if (!s.db) {
      return false;
    }
  }
  if (!s.db) return false;
  if (lock) ImportJsonSuite(s);
  // A read opens the log and shared-memory files, so that the files it opened are the ones
  // recorded.
  if (!s.db->dataVersion() || !s.db->meta("imported").has_value()) {
    if (s.db->lastError() != 0) {
      s.failure = s.db->lastErrorMessage();
      s.db.reset();
      return false;
    }
  }
  // Watched before the files are recorded, so that no change after the recording goes unseen.
  s.watch = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (s.watch && ::inotify_add_watch(s.watch.get(), s.folder.c_str(),
                                     IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                         IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) < 0) {
    s.watch.reset();
  }
  s.openMain = IdOf(s.file);
  s.openWal = IdOf(s.walFile);
  s.openShm = IdOf(s.shmFile);
  s.failure.clear();
  return true;
}

bool EnsureOpen(NSUserDefaults::State& s) REQUIRES(s.mutex) {
  if (s.db) return true;
  // The folder may have been removed, or replaced by a file, since we were created.
  return EnsureFolder(s.folder, s.failure) && OpenStore(s);
}

// Whether a name of the store's files, or the folder itself, may have changed since the last
// call: one read of the watch, which the kernel fills in the very call that removes or renames,
// so a change made before this call is always seen. True without a watch.
bool FilesMayHaveChanged(NSUserDefaults::State& s) REQUIRES(s.mutex) {
  if (!s.watch) return true;
  bool changed = false;
  alignas(struct inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(s.watch.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EAGAIN: nothing more
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
        changed = true;
        // Events of a removed folder's watch end; its files are looked at every time now.
        if (event->mask & (IN_IGNORED | IN_DELETE_SELF)) s.watch.reset();
      } else if (event->len > 0) {
        const std::string_view name(event->name);  // NUL-padded by the kernel
        for (const std::string& ours : s.names) changed = changed || name == ours;
      }
    }
    if (!s.watch) return true;
  }
  return changed;
}

// What shows that the open database is no longer the one the suite's path names (removed by a
// user or a tool cleaning the folder, replaced by another file, a symlink, a folder), or nullopt
// while it is. One lstat per file, only after the watch saw a change.
std::optional<std::string> StoreMoved(NSUserDefaults::State& s) REQUIRES(s.mutex) {
  if (!FilesMayHaveChanged(s)) return std::nullopt;
  auto moved = [](const FileId& open, const fs::path& path) -> std::optional<std::string> {
    if (!open.exists) return std::nullopt;
    const FileId now = IdOf(path);
    if (now == open) return std::nullopt;
    return path.string() + (now.exists ? " was replaced" : " was removed");
  };
  if (auto why = moved(s.openMain, s.file)) return why;
  if (auto why = moved(s.openWal, s.walFile)) return why;
  return moved(s.openShm, s.shmFile);
}

// Leaves a database that its path no longer names, so that the next use opens the one there now
// (an empty one when there is none). With `keep`, what the old one held is kept to be written
// to the new one. The old one's log and shared-memory files, where their paths still name
// them, are removed first: the new database would otherwise take their frames for its own.
void ReopenMovedStore(NSUserDefaults::State& s, const std::string& why, bool keep)
    REQUIRES(s.mutex) {
  NSLog("[NSUserDefaults] %s while suite %s had it open; the store is opened again%s", why, s.suite,
        keep ? " and what it held is written to it" : "");
  if (keep && !s.restore) {
    std::optional<ObjectDictionary> held = s.db->readAll();
    if (held) s.restore = std::move(*held);
  }
  s.db->keepFilesAtClose();
  const std::pair<const fs::path*, FileId> companions[] = {{&s.walFile, s.openWal},
                                                           {&s.shmFile, s.openShm}};
  for (const auto& [path, open] : companions) {
    if (open.exists && IdOf(*path) == open) ::unlink(path->c_str());
  }
  s.db.reset();
  s.cache.clear();
  s.version.reset();
  s.openMain = s.openWal = s.openShm = {};
  s.watch.reset();
}

// Before a read: a database that is no longer the suite's is left for the one there now. An
// object that has written keeps what the old one held, for its next synchronize.
void FollowMovedStore(NSUserDefaults::State& s) REQUIRES(s.mutex) {
  if (!s.db) return;
  if (auto why = StoreMoved(s)) ReopenMovedStore(s, *why, s.wrote);
}

// What the database holds for `key` now: from the cache while no other connection committed.
Object ReadStored(NSUserDefaults::State& s, std::string_view key) REQUIRES(s.mutex) {
  FollowMovedStore(s);
  if (!EnsureOpen(s)) return Object();
  std::optional<std::int64_t> version = s.db->dataVersion();
  if (!version || version != s.version) {
    s.cache.clear();
    s.version = version;
  }
  if (auto it = s.cache.find(key); it != s.cache.end()) return it->second;
  std::optional<Database::Read> read = s.db->read(key);
  if (!read) return Object();
  if (!read->byEntries && version) s.cache.emplace(std::string(key), read->value);
  return std::move(read->value);
}

// `base` with the entry changes applied; a value that is not a dictionary counts as empty.
Object ApplyEntries(const Object& base, const ObjectDictionary& changes) {
  ObjectDictionary dictionary = base.dictionary() ? *base.dictionary() : ObjectDictionary{};
  for (const auto& [entry, value] : changes) {
    if (value.isNil()) {
      dictionary.erase(entry);
    } else {
      dictionary.insert_or_assign(entry, value);
    }
  }
  return Object(std::move(dictionary));
}

// Writes what a removed or replaced database held, where the database there now lacks it: keys
// it does not hold, and entries missing from a dictionary it holds. What another writer put there
// since, or a file put in its place holds, wins.
bool WriteRestored(NSUserDefaults::State& s) REQUIRES(s.mutex) {
  if (!s.restore) return true;
  std::optional<ObjectDictionary> now = s.db->readAll();
  if (!now) return false;
  for (const auto& [key, value] : *s.restore) {
    auto it = now->find(key);
    if (it == now->end()) {
      if (!s.db->put(key, value)) return false;
      continue;
    }
    const ObjectDictionary* held = value.dictionary();
    const ObjectDictionary* there = it->second.dictionary();
    if (!held || !there) continue;
    for (const auto& [entry, item] : *held) {
      if (!there->contains(entry) && !s.db->putEntry(key, entry, item)) return false;
    }
  }
  return true;
}

bool WritePending(NSUserDefaults::State& s) REQUIRES(s.mutex) {
  for (const auto& [key, value] : s.pending) {
    if (!(value.isNil() ? s.db->remove(key) : s.db->put(key, value))) return false;
  }
  for (const auto& [key, changes] : s.pendingEntries) {
    if (!s.db->ensureDictionary(key)) return false;
    for (const auto& [entry, value] : changes) {
      if (!s.db->putEntry(key, entry, value)) return false;
    }
  }
  return true;
}

}  // namespace

NSUserDefaults::NSUserDefaults(std::unique_ptr<State> state) : state_(std::move(state)) {}

NSUserDefaults::~NSUserDefaults() = default;

std::shared_ptr<NSUserDefaults> NSUserDefaults::initWithSuiteName(std::string_view suiteName) {
  if (!ValidSuiteName(suiteName)) {
    NSLog("[NSUserDefaults] refusing the suite name \"%s\"", suiteName);
    return nullptr;
  }
  std::string suite(suiteName);
  fs::path folder =
      emulated::Home() / "Library" / "Group Containers" / suite / "Library" / "Preferences";
  std::string failure;
  if (!EnsureFolder(folder, failure)) {
    NSLog("[NSUserDefaults] cannot create the folder of suite %s at %s: %s", suite, folder.string(),
          failure);
    return nullptr;
  }
  auto state = std::make_unique<State>(std::move(suite), std::move(folder));
  // Opened now so that a repair or an import happens at start; a failure is tried again on use.
  {
    MutexLock lock(state->mutex);
    OpenStore(*state);
  }
  return std::make_shared<NSUserDefaults>(std::move(state));
}

fs::path NSUserDefaults::filePath() const {
  return state_->file;
}

Object NSUserDefaults::objectForKey(std::string_view key) {
  State& s = *state_;
  MutexLock lock(s.mutex);
  if (auto it = s.pending.find(key); it != s.pending.end()) return it->second;
  Object stored = ReadStored(s, key);
  if (auto it = s.pendingEntries.find(key); it != s.pendingEntries.end()) {
    return ApplyEntries(stored, it->second);
  }
  return stored;
}

void NSUserDefaults::setObject(const Object& value, std::string_view key) {
  if (!IsValidUTF8(key)) {
    NSLog("[NSUserDefaults] ignored setObject:forKey: in suite %s: the key is not UTF-8",
          state_->suite);
    return;
  }
  if (!value.isNil() && !IsStorableSettingsValue(value)) {
    NSLog(
        "[NSUserDefaults] ignored setObject:forKey: %s in suite %s: the value holds data, a "
        "pointer, text that is not UTF-8, nesting deeper than %d or more than %zu bytes",
        key, state_->suite, kMaxSettingsDepth, kMaxSettingsValueBytes);
    return;
  }
  MutexLock lock(state_->mutex);
  if (auto it = state_->pendingEntries.find(key); it != state_->pendingEntries.end()) {
    state_->pendingEntries.erase(it);
  }
  state_->pending.insert_or_assign(std::string(key), value);
}

void NSUserDefaults::removeObjectForKey(std::string_view key) {
  setObject(Object(), key);
}

void NSUserDefaults::setObjectInDictionary(const Object& value, std::string_view entry,
                                           std::string_view key) {
  if (!IsValidUTF8(key) || !IsValidUTF8(entry) ||
      (!value.isNil() && !EncodeSettingsValue(value, kEntryValueDepth))) {
    NSLog(
        "[NSUserDefaults] ignored an entry of key %s in suite %s: the key, the entry or the value "
        "cannot be stored",
        key, state_->suite);
    return;
  }
  State& s = *state_;
  MutexLock lock(s.mutex);
  if (auto it = s.pending.find(key); it != s.pending.end()) {
    // The whole value is pending already: change it there (a copy, as the value is shared).
    it->second = ApplyEntries(it->second, ObjectDictionary{{std::string(entry), value}});
    return;
  }
  auto [it, added] = s.pendingEntries.try_emplace(std::string(key));
  it->second.insert_or_assign(std::string(entry), value);
}

bool NSUserDefaults::synchronize() {
  State& s = *state_;
  MutexLock guard(s.mutex);
  if (s.db) {
    if (auto why = StoreMoved(s)) ReopenMovedStore(s, *why, true);
  }
  if (s.pending.empty() && s.pendingEntries.empty() && !s.restore) return true;
  if (!EnsureOpen(s)) {
    NSLog("[NSUserDefaults] synchronize of suite %s failed: %s cannot be opened", s.suite,
          s.file.string());
    return false;
  }
  if (!s.db->begin() || !WriteRestored(s) || !WritePending(s) || !s.db->commit()) {
    s.db->rollback();
    NSLog(
        "[NSUserDefaults] synchronize of suite %s failed%s; %s is unchanged and the changes stay "
        "pending",
        s.suite, (s.db->lastError() & 0xFF) == SQLITE_BUSY ? " (another writer holds it)" : "",
        s.file.string());
    return false;
  }
  // Our own commits do not change the data version we compare, so the cache follows them here.
  for (const auto& [key, value] : s.pending) {
    if (value.isNil() || value.isDictionary()) {
      s.cache.erase(key);
    } else {
      s.cache.insert_or_assign(key, value);
    }
  }
  for (const auto& [key, changes] : s.pendingEntries) {
    if (auto it = s.cache.find(key); it != s.cache.end()) s.cache.erase(it);
  }
  s.pending.clear();
  s.pendingEntries.clear();
  s.restore.reset();
  s.wrote = true;
  return true;
}

ObjectDictionary NSUserDefaults::dictionaryRepresentation() {
  std::string error;
  return readDictionaryRepresentation(error).value_or(ObjectDictionary{});
}

std::optional<std::string> NSUserDefaults::storeError() {
  State& s = *state_;
  MutexLock lock(s.mutex);
  FollowMovedStore(s);
  if (!EnsureOpen(s)) return s.failure;
  if (!s.db->dataVersion()) return s.db->lastErrorMessage();
  return std::nullopt;
}

std::optional<ObjectDictionary> NSUserDefaults::readDictionaryRepresentation(std::string& error) {
  State& s = *state_;
  MutexLock lock(s.mutex);
  ObjectDictionary all;
  FollowMovedStore(s);
  std::optional<ObjectDictionary> stored;
  if (!EnsureOpen(s)) {
    error = s.failure;
  } else if (!(stored = s.db->readAll())) {
    error = s.db->lastErrorMessage();
  } else {
    all = std::move(*stored);
  }
  if (!stored) return std::nullopt;
  // What a removed database held and the next synchronize writes again is pending too.
  if (s.restore) {
    for (const auto& [key, value] : *s.restore) all.try_emplace(key, value);
  }
  for (const auto& [key, changes] : s.pendingEntries) {
    auto it = all.find(key);
    Object changed = ApplyEntries(it == all.end() ? Object() : it->second, changes);
    all.insert_or_assign(key, std::move(changed));
  }
  for (const auto& [key, value] : s.pending) {
    if (value.isNil()) {
      all.erase(key);
    } else {
      all.insert_or_assign(key, value);
    }
  }
  return all;
}

}  // namespace vrk
