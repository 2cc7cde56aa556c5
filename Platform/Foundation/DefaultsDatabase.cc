// The SQLite side of the settings store: opening, schema checks, prepared statements.
#include "Platform/Foundation/DefaultsDatabase.h"

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

#include "Platform/Foundation/DefaultsCodec.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/ThreadSafety.h"

namespace vrk::defaults {

namespace {

constexpr std::int32_t kSchemaVersion = 1;
// What a dictionary-valued key holds in `settings`; its entries are rows of `entries`.
constexpr std::string_view kDictionaryMarker = "{}";

constexpr const char* kCreateSchema =
    "CREATE TABLE settings(key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE entries(key TEXT NOT NULL, entry TEXT NOT NULL, value TEXT NOT NULL,"
    " PRIMARY KEY(key, entry)) WITHOUT ROWID;"
    "CREATE TABLE meta(name TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL) WITHOUT ROWID;";

struct StatementDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// Resets a statement when a use of it ends, whatever the path out.
class Use final {
 public:
  explicit Use(const Statement& s) : s_(s.get()) {}
  ~Use() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  sqlite3_stmt* operator->() const { return s_; }
  operator sqlite3_stmt*() const { return s_; }

 private:
  sqlite3_stmt* s_;
};

void Bind(sqlite3_stmt* s, int index, std::string_view text) {
  sqlite3_bind_text64(s, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

std::string_view ColumnText(sqlite3_stmt* s, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
  if (!text) return {};
  return {text, static_cast<std::size_t>(sqlite3_column_bytes(s, column))};
}

// Values above the limit were written by another program; they read as absent rather than
// being parsed into several copies of their size.
bool FitsLimit(sqlite3_stmt* s, int column, std::string_view key, const std::string& path) {
  const auto bytes = static_cast<std::size_t>(sqlite3_column_bytes(s, column));
  if (bytes <= kMaxSettingsValueBytes) return true;
  NSLog("[NSUserDefaults] %s: a value of key \"%s\" has %zu bytes, more than %zu; it is left out",
        path, key, bytes, kMaxSettingsValueBytes);
  return false;
}

bool IsDictionaryText(std::string_view text) {
  return !text.empty() && text.front() == '{';
}

// How long a writer that finds the store locked sleeps before it tries again.
constexpr std::chrono::microseconds kBusyRetry{100};

// SQLite's own busy handler sleeps longer and longer between tries (up to 100 ms), so another
// writer that commits in a loop, in this process or another, can hold the lock at every try for
// the whole time-out. Short, even sleeps find the gaps between its commits.
int RetryWhileBusy(void* since, int tries) {
  auto& start = *static_cast<std::chrono::steady_clock::time_point*>(since);
  const auto now = std::chrono::steady_clock::now();
  if (tries == 0) start = now;
  if (now - start >= kDefaultsBusyTimeout) return 0;
  std::this_thread::sleep_for(kBusyRetry);
  return 1;
}

}  // namespace

// Copies the write-ahead log back into the database on a thread of its own, with a connection
// of its own. In a large database a checkpoint writes back a page for almost every commit since
// the last one and syncs them all, which takes milliseconds: a caller that committed one small
// change should not wait for it.
class Database::Checkpointer final {
 public:
  // Null, with a log line, when the connection or the thread cannot be had.
  static std::unique_ptr<Checkpointer> start(const std::string& path);
  // Interrupts a pass in progress and ends the thread.
  ~Checkpointer();
  Checkpointer(const Checkpointer&) = delete;
  Checkpointer& operator=(const Checkpointer&) = delete;

  // Asks for a pass after a commit that left `frames` frames in the log; returns at once.
  void request(int frames) EXCLUDES(mutex_);
  int passes() const { return passes_.load(std::memory_order_relaxed); }

 private:
  // A pass for fewer new frames is not worth waking the thread for.
  static constexpr int kFramesPerPass = 256;

  Checkpointer(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  void run() EXCLUDES(mutex_);

  sqlite3* const db_;  // used by the thread alone, closed after it ends
  const std::string path_;
  Mutex mutex_;
  std::condition_variable wake_;
  bool requested_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  // Set from a request until its pass ends, so that the commits meanwhile cost no lock.
  std::atomic<bool> busy_{false};
  std::atomic<int> copied_{0};  // the log's frames that the last pass copied
  std::atomic<int> passes_{0};
  bool failureLogged_ = false;  // the thread's alone
  std::thread thread_;
};

std::unique_ptr<Database::Checkpointer> Database::Checkpointer::start(const std::string& path) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(
      path.c_str(), &db,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
      nullptr);
  // The connection learns that the file is in WAL mode on its first read.
  sqlite3_stmt* mode = nullptr;
  if (rc == SQLITE_OK) rc = sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &mode, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(mode);
  const bool wal =
      rc == SQLITE_ROW &&
      std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0))) == "wal";
  sqlite3_finalize(mode);
  if (!wal) {
    NSLog("[NSUserDefaults] cannot checkpoint %s in the background: %s (%d)", path,
          rc == SQLITE_ROW ? "not in WAL mode" : sqlite3_errmsg(db), rc);
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  std::unique_ptr<Checkpointer> checkpointer(new Checkpointer(db, path));
  try {
    checkpointer->thread_ = std::thread([c = checkpointer.get()] { c->run(); });
  } catch (const std::system_error& e) {
    NSLog("[NSUserDefaults] cannot checkpoint %s in the background: %s", path, e.what());
    return nullptr;  // the destructor finds no thread to end
  }
  return checkpointer;
}

Database::Checkpointer::~Checkpointer() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    // A pass checks for this between pages, so ending never waits for a whole checkpoint.
    sqlite3_interrupt(db_);
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
  sqlite3_close_v2(db_);
}

void Database::Checkpointer::request(int frames) {
  if (busy_.load(std::memory_order_acquire)) return;
  int copied = copied_.load(std::memory_order_relaxed);
  if (copied > frames) copied = 0;  // the log has started again from its beginning since
  if (frames - copied < kFramesPerPass) return;
  {
    MutexLock lock(mutex_);
    requested_ = true;
    busy_.store(true, std::memory_order_relaxed);
  }
  wake_.notify_one();
}

void Database::Checkpointer::run() {
  UniqueLock lock(mutex_);
  for (;;) {
    wake_.wait(lock.forWait(), [&]() REQUIRES(mutex_) { return requested_ || stopping_; });
    if (stopping_) return;
    requested_ = false;
    lock.unlock();
    int frames = 0, copied = 0;
    // PASSIVE takes no lock that a writer or a reader waits for; it copies what no reader
    // still needs, and another checkpoint in progress makes it return SQLITE_BUSY at once.
    const int rc =
        sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames, &copied);
    if (rc == SQLITE_OK && copied > 0) {
      // SQLite syncs the database only when no commit came during the pass, which a stream of
      // commits never allows. Synced here, the pages copied so far are not left for the
      // checkpoint in the writer that ends the stream, so that one has only its own to sync.
      sqlite3_file* file = nullptr;
      if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK &&
          file && file->pMethods) {
        file->pMethods->xSync(file, SQLITE_SYNC_NORMAL);
      }
    } else if (rc != SQLITE_OK && (rc & 0xFF) != SQLITE_BUSY && rc != SQLITE_INTERRUPT &&
               !failureLogged_) {
      // The writer checkpoints itself once the log grows past its limit; said once.
      failureLogged_ = true;
      NSLog("[NSUserDefaults] cannot checkpoint %s in the background: %s (%d)", path_,
            sqlite3_errmsg(db_), rc);
    }
    copied_.store(rc == SQLITE_OK ? copied : 0, std::memory_order_relaxed);
    passes_.fetch_add(1, std::memory_order_relaxed);
    busy_.store(false, std::memory_order_release);
    lock.lock();
  }
}

struct Database::Statements {
  Statement dataVersion, selectKey, selectEntries, selectAll, upsertKey, deleteKey, deleteEntries,
      upsertEntry, deleteEntry, selectMeta, upsertMeta, beginRead, begin, commit, rollback;
};

Database::Database(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

Database::~Database() {
  statements_.reset();  // statements go before the connection they belong to
  // The checkpoint connection goes first, so that closing ours, the last one, can copy the log
  // back and remove it with the shared-memory file.
  checkpointer_.reset();
  sqlite3_close_v2(db_);
}

bool Database::stepDone(sqlite3_stmt* statement, std::string_view action) {
  const int rc = sqlite3_step(statement);
  return rc == SQLITE_DONE || fail(rc, action);
}

bool Database::fail(int rc, std::string_view action) {
  lastError_ = rc;
  lastErrorMessage_ = std::string("cannot ") + std::string(action) + " " + path_ + ": " +
                      sqlite3_errmsg(db_) + " (" + std::to_string(rc) + ")";
  NSLog("[NSUserDefaults] cannot %s %s: %s (%d)", action, path_, sqlite3_errmsg(db_), rc);
  return false;
}

std::unique_ptr<Database> Database::open(const std::filesystem::path& path, Status& status,
                                         CheckpointFrames checkpoints, std::string* error) {
  status = Status::CannotOpen;
  constexpr int kCommon = SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | kCommon,
                           nullptr);
  if (rc != SQLITE_OK) {
    // A folder or file we may not write: the values can still be read.
    sqlite3_close_v2(raw);
    raw = nullptr;
    rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | kCommon, nullptr);
  }
  std::unique_ptr<Database> db(new Database(raw, path.string()));
  if (rc != SQLITE_OK) {
    db->fail(rc, "open");
    if (error) *error = db->lastErrorMessage_;
    return nullptr;
  }
  sqlite3_busy_handler(raw, &RetryWhileBusy, &db->busySince_);
  sqlite3_limit(raw, SQLITE_LIMIT_LENGTH, static_cast<int>(kMaxSettingsValueBytes) + 1024);
  status = db->prepare();
  if (status != Status::Ok) {
    if (error) {
      *error = db->lastErrorMessage_.empty() ? path.string() + " is not a settings database"
                                             : db->lastErrorMessage_;
    }
    return nullptr;
  }
  // Replaces SQLite's own checkpoint in the committing caller.
  db->checkpoints_ = checkpoints;
  sqlite3_wal_hook(raw, &Database::afterCommit, db.get());
  return db;
}

// Runs in the committing caller after every commit, with the write lock released.
int Database::afterCommit(void* self, sqlite3*, const char*, int frames) {
  Database& db = *static_cast<Database*>(self);
  if (frames >= db.checkpoints_.inCaller) {
    db.checkpointHere();
  } else if (frames >= db.checkpoints_.background) {
    if (!db.checkpointer_ && !db.checkpointerFailed_) {
      try {
        db.checkpointer_ = Checkpointer::start(db.path_);
      } catch (const std::bad_alloc&) {
        // Nothing may be thrown through SQLite; the writer checkpoints itself instead.
      }
      db.checkpointerFailed_ = !db.checkpointer_;
    }
    if (db.checkpointer_) db.checkpointer_->request(frames);
  }
  return SQLITE_OK;
}

// Copies what the thread has not copied yet, here, and lets the next commit start the log again
// from its beginning. SQLITE_BUSY (the thread is in a pass) is tried again at the next commit;
// like SQLite's own checkpoint after a commit, a failure here is not the commit's.
void Database::checkpointHere() {
  if (sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) ==
      SQLITE_OK) {
    ++callerCheckpoints_;
  }
}

void Database::keepFilesAtClose() {
  sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

Database::CheckpointCounts Database::checkpointCounts() const {
  return {checkpointer_ ? checkpointer_->passes() : 0, callerCheckpoints_,
          checkpointer_ != nullptr};
}

std::unique_ptr<Database> Database::openImage(std::span<const std::byte> bytes) {
  std::unique_ptr<Database> db = openImageHolder();
  if (!db || !db->loadImage(bytes)) return nullptr;
  return db;
}

std::unique_ptr<Database> Database::openImageHolder() {
  sqlite3* raw = nullptr;
  if (sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(raw);
    return nullptr;
  }
  std::unique_ptr<Database> db(new Database(raw, "(image)"));
  sqlite3_limit(raw, SQLITE_LIMIT_LENGTH, static_cast<int>(kMaxSettingsValueBytes) + 1024);
  return db;
}

bool Database::loadImage(std::span<const std::byte> bytes) {
  // The statements of the previous image end first: SQLite replaces no database in use.
  statements_.reset();
  auto* copy = static_cast<unsigned char*>(sqlite3_malloc64(bytes.size() ? bytes.size() : 1));
  if (!copy) return false;
  // An empty span may have no data pointer, which memcpy must not be given.
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  // The image is read-only: the reader must make sense of it as it is.
  if (sqlite3_deserialize(db_, "main", copy, bytes.size(), bytes.size(),
                          SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_READONLY) !=
      SQLITE_OK) {
    return false;
  }
  if (prepare() == Status::Ok) return true;
  statements_.reset();
  return false;
}

// Checks that the file is ours (creating the schema in an empty one) and prepares the
// statements.
Database::Status Database::prepare() {
  const Status status = ensureSchema();
  if (status != Status::Ok) return status;
  // WAL lets readers go on while a writer commits, and with synchronous=NORMAL a commit costs
  // no fsync: a committed change survives any process crash, only a power loss can drop the
  // last ones. A read-only connection keeps whatever mode the file has.
  sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  // Pages are read with read calls into SQLite's own bounded cache, not through a mapping of the
  // file: a write into a 100k-entry dictionary costs the same either way, while every mapped page
  // it touches would count in the process's resident memory (the whole file, in time), and a
  // file cut short by another process would kill the process with SIGBUS.
  return prepareStatements();
}

std::optional<std::int64_t> Database::queryInt(const char* sql) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr);
  Statement s(raw);
  if (rc == SQLITE_OK) rc = sqlite3_step(raw);
  if (rc != SQLITE_ROW) {
    fail(rc, "read");
    return std::nullopt;
  }
  return sqlite3_column_int64(raw, 0);
}

Database::Status Database::statusOfLastError() const {
  switch (lastError_ & 0xFF) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT:
      return Status::NotOurs;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Status::Busy;
    default:
      return Status::CannotOpen;
  }
}

// Ok when the file carries our application id and schema version, after creating the schema in
// a file that holds no tables at all; anything else is not ours.
Database::Status Database::ensureSchema() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::optional<std::int64_t> id, version, tables;
    if (!(id = queryInt("PRAGMA application_id")) || !(version = queryInt("PRAGMA user_version")) ||
        !(tables = queryInt("SELECT count(*) FROM sqlite_schema"))) {
      return statusOfLastError();
    }
    if (*id == kDefaultsApplicationId && *version == kSchemaVersion) break;
    if (*id != 0 || *version != 0 || *tables != 0 || attempt > 0) {
      NSLog("[NSUserDefaults] %s is not a settings database of ours", path_);
      return Status::NotOurs;
    }
    // An empty file: make it ours. Another process may be doing the same, so the check is
    // repeated under the write lock.
    int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      fail(rc, "start a write to");
      return statusOfLastError();
    }
    tables = queryInt("SELECT count(*) FROM sqlite_schema");
    if (tables == 0) {
      rc = sqlite3_exec(db_,
                        (std::string(kCreateSchema) +
                         "PRAGMA application_id=" + std::to_string(kDefaultsApplicationId) + ";" +
                         "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";")
                            .c_str(),
                        nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK) rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK || !tables) {
      if (rc != SQLITE_OK) fail(rc, "create the schema of");
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return statusOfLastError();
    }
  }
  return Status::Ok;
}

// Prepares every statement the store uses, once for the connection's life. A schema that lets
// one of them fail to prepare is not one we can use.
Database::Status Database::prepareStatements() {
  statements_ = std::make_unique<Statements>();
  const std::pair<Statement*, const char*> sql[] = {
      {&statements_->dataVersion, "PRAGMA data_version"},
      {&statements_->selectKey, "SELECT value FROM settings WHERE key = ?1"},
      {&statements_->selectEntries, "SELECT entry, value FROM entries WHERE key = ?1"},
      {&statements_->selectAll, "SELECT key, value FROM settings"},
      {&statements_->upsertKey, "INSERT OR REPLACE INTO settings(key, value) VALUES(?1, ?2)"},
      {&statements_->deleteKey, "DELETE FROM settings WHERE key = ?1"},
      {&statements_->deleteEntries, "DELETE FROM entries WHERE key = ?1"},
      {&statements_->upsertEntry,
       "INSERT OR REPLACE INTO entries(key, entry, value) VALUES(?1, ?2, ?3)"},
      {&statements_->deleteEntry, "DELETE FROM entries WHERE key = ?1 AND entry = ?2"},
      {&statements_->selectMeta, "SELECT value FROM meta WHERE name = ?1"},
      {&statements_->upsertMeta, "INSERT OR REPLACE INTO meta(name, value) VALUES(?1, ?2)"},
      {&statements_->beginRead, "BEGIN"},
      {&statements_->begin, "BEGIN IMMEDIATE"},
      {&statements_->commit, "COMMIT"},
      {&statements_->rollback, "ROLLBACK"},
  };
  for (const auto& [target, text] : sql) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v3(db_, text, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    target->reset(raw);
    if (rc != SQLITE_OK) {
      fail(rc, "prepare the statements of");
      statements_.reset();
      const Status status = statusOfLastError();
      return status == Status::CannotOpen ? Status::NotOurs : status;
    }
  }
  lastError_ = 0;
  lastErrorMessage_.clear();
  return Status::Ok;
}

std::optional<std::int64_t> Database::dataVersion() {
  Use s(statements_->dataVersion);
  const int rc = sqlite3_step(s);
  if (rc != SQLITE_ROW) {
    fail(rc, "read the data version of");
    return std::nullopt;
  }
  return sqlite3_column_int64(s, 0);
}

std::optional<Object> Database::readEntries(std::string_view key, Object base) {
  ObjectDictionary dictionary = base.dictionary() ? *base.dictionary() : ObjectDictionary{};
  Use s(statements_->selectEntries);
  Bind(s, 1, key);
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    if (!FitsLimit(s, 1, key, path_)) continue;
    std::string_view entry = ColumnText(s, 0);
    if (!IsValidUTF8(entry)) {
      NSLog("[NSUserDefaults] %s: an entry of key \"%s\" is not UTF-8; it is left out", path_, key);
      continue;
    }
    std::optional<Object> value =
        ParseSettingsValue(ColumnText(s, 1), kEntryValueDepth, "an entry of " + path_);
    if (value) dictionary.insert_or_assign(std::string(entry), std::move(*value));
  }
  if (rc != SQLITE_DONE) {
    fail(rc, "read");
    return std::nullopt;
  }
  return Object(std::move(dictionary));
}

std::optional<Database::Read> Database::read(std::string_view key) {
  std::string text;
  {
    Use s(statements_->selectKey);
    Bind(s, 1, key);
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return Read{};
    if (rc != SQLITE_ROW) {
      fail(rc, "read");
      return std::nullopt;
    }
    if (!FitsLimit(s, 0, key, path_)) return Read{};
    text = ColumnText(s, 0);
  }
  if (IsDictionaryText(text) && sqlite3_get_autocommit(db_)) {
    // The key's row and its entries must come from one version of the store, or a reader
    // could see part of a change: read them again in one read transaction.
    if (!beginRead()) return std::nullopt;
    std::optional<Read> read = this->read(key);
    endRead();
    return read;
  }
  std::optional<Object> value = ParseSettingsValue(text, kKeyValueDepth, "a value of " + path_);
  if (!value) return Read{};
  if (!value->isDictionary()) return Read{std::move(*value), false};
  std::optional<Object> whole = readEntries(key, std::move(*value));
  if (!whole) return std::nullopt;
  return Read{std::move(*whole), true};
}

bool Database::beginRead() {
  Use s(statements_->beginRead);
  return stepDone(s, "read");
}

void Database::endRead() {
  Use s(statements_->commit);
  sqlite3_step(s);
}

std::optional<ObjectDictionary> Database::readAll() {
  const bool own = sqlite3_get_autocommit(db_);
  if (own && !beginRead()) return std::nullopt;
  std::optional<ObjectDictionary> all = readAllInTransaction();
  if (own) endRead();
  return all;
}

std::optional<ObjectDictionary> Database::readAllInTransaction() {
  std::vector<std::pair<std::string, std::string>> rows;
  {
    Use s(statements_->selectAll);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      if (FitsLimit(s, 1, ColumnText(s, 0), path_))
        rows.emplace_back(ColumnText(s, 0), ColumnText(s, 1));
    }
    if (rc != SQLITE_DONE) {
      fail(rc, "read");
      return std::nullopt;
    }
  }
  ObjectDictionary all;
  for (auto& [key, text] : rows) {
    if (!IsValidUTF8(key)) continue;
    std::optional<Object> value = ParseSettingsValue(text, kKeyValueDepth, "a value of " + path_);
    if (!value) continue;
    if (value->isDictionary()) {
      value = readEntries(key, std::move(*value));
      if (!value) return std::nullopt;
    }
    all.emplace(std::move(key), std::move(*value));
  }
  return all;
}

bool Database::begin() {
  Use s(statements_->begin);
  return stepDone(s, "start a write to");
}

bool Database::commit() {
  Use s(statements_->commit);
  if (!stepDone(s, "commit to")) return false;
  lastError_ = 0;
  return true;
}

void Database::rollback() {
  if (sqlite3_get_autocommit(db_)) return;  // SQLite already rolled back after the error
  Use s(statements_->rollback);
  sqlite3_step(s);
}

bool Database::put(std::string_view key, const Object& value) {
  if (!remove(key)) return false;
  std::optional<std::string> text;
  if (value.isDictionary()) {
    text = std::string(kDictionaryMarker);
  } else if (!(text = EncodeSettingsValue(value, kKeyValueDepth))) {
    return false;  // the suite object checked this value; nothing to write
  }
  {
    Use s(statements_->upsertKey);
    Bind(s, 1, key);
    Bind(s, 2, *text);
    if (!stepDone(s, "write to")) return false;
  }
  if (const ObjectDictionary* entries = value.dictionary()) {
    for (const auto& [entry, item] : *entries) {
      if (!putEntry(key, entry, item)) return false;
    }
  }
  return true;
}

bool Database::remove(std::string_view key) {
  for (const Statement* statement : {&statements_->deleteEntries, &statements_->deleteKey}) {
    Use s(*statement);
    Bind(s, 1, key);
    if (!stepDone(s, "write to")) return false;
  }
  return true;
}

bool Database::ensureDictionary(std::string_view key) {
  {
    Use s(statements_->selectKey);
    Bind(s, 1, key);
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW && IsDictionaryText(ColumnText(s, 0))) return true;
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail(rc, "read");
  }
  return put(key, Object(ObjectDictionary{}));
}

bool Database::putEntry(std::string_view key, std::string_view entry, const Object& value) {
  if (value.isNil()) {
    Use s(statements_->deleteEntry);
    Bind(s, 1, key);
    Bind(s, 2, entry);
    return stepDone(s, "write to");
  }
  std::optional<std::string> text = EncodeSettingsValue(value, kEntryValueDepth);
  if (!text) return false;
  Use s(statements_->upsertEntry);
  Bind(s, 1, key);
  Bind(s, 2, entry);
  Bind(s, 3, *text);
  return stepDone(s, "write to");
}

bool Database::setMeta(std::string_view name, std::string_view value) {
  Use s(statements_->upsertMeta);
  Bind(s, 1, name);
  Bind(s, 2, value);
  return stepDone(s, "write to");
}

std::optional<std::string> Database::meta(std::string_view name) {
  Use s(statements_->selectMeta);
  Bind(s, 1, name);
  const int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) return std::string(ColumnText(s, 0));
  if (rc != SQLITE_DONE) fail(rc, "read");
  return std::nullopt;
}

}  // namespace vrk::defaults
