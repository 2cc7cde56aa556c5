// One SQLite connection to a settings suite's database, with the statements the store needs.
//
// The schema (readable with the sqlite3 shell):
//   settings(key TEXT PRIMARY KEY, value TEXT)          one row per key, the JSON of its value;
//                                                      a dictionary-valued key holds "{}" here
//   entries(key, entry, value, PRIMARY KEY(key, entry)) and one row per entry of its dictionary,
//                                                      so that changing one entry writes one row
//   meta(name TEXT PRIMARY KEY, value TEXT)            bookkeeping (the imported JSON file)
// The file carries application_id kDefaultsApplicationId and user_version 1; a file without
// them, or whose statements do not prepare, is not ours.
//
// Contract:
// - A Database is used by one thread at a time (the suite object serialises its callers).
//   Every failure is logged with the file's path and sqlite3_errmsg and reported by returning
//   false or nullopt; nothing throws except std::bad_alloc.
// - The only wait is for a lock that another connection holds, tried again every 100
//   microseconds for at most kDefaultsBusyTimeout: a writer that cannot get the write lock in
//   that time fails instead of hanging.
// - Checkpoints (copying the write-ahead log back into the file) do not run in the committing
//   caller as SQLite would run them: once the log holds CheckpointFrames::background frames, a
//   thread of the Database's own copies it on a connection of its own, without blocking
//   writers or readers. Only when the log reaches CheckpointFrames::inCaller frames (the thread
//   cannot keep up with a stream of commits, or cannot run at all) does the committing caller
//   checkpoint itself, copying what the thread has not, so the log never grows without bound.
//   The thread starts at the first checkpoint that needs it and ends with the Database, which
//   interrupts a checkpoint in progress rather than waiting for it.
// - Values above kMaxSettingsValueBytes are refused by the connection itself (SQLITE_TOOBIG)
//   and read as absent, with a log line.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Platform/Foundation/Object.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vrk::defaults {

inline constexpr std::int32_t kDefaultsApplicationId = 0x56524B44;  // "VRKD"
inline constexpr std::chrono::milliseconds kDefaultsBusyTimeout{1000};

// When the write-ahead log is checkpointed, in frames (pages) of the log.
struct CheckpointFrames {
  int background = 1000;  // SQLite's own default for its checkpoint in the caller
  int inCaller = 4000;    // about 16 MB of log with the usual 4 KB pages
};

class Database final {
 public:
  enum class Status {
    Ok,
    NotOurs,     // garbage, another program's database, or a schema we cannot use
    CannotOpen,  // permissions, I/O, a missing folder: the file itself may be fine
    Busy,        // another process held a lock past the busy time-out
  };

  // Opens the database at `path` (never through a symlink), creating our schema in an empty
  // or new file and switching it to WAL with synchronous=NORMAL. A file that cannot be written
  // is opened read-only. Only Status::Ok comes with a database; otherwise `error`, when not
  // null, receives SQLite's text for the failure.
  static std::unique_ptr<Database> open(const std::filesystem::path& path, Status& status,
                                        CheckpointFrames checkpoints = {},
                                        std::string* error = nullptr);
  // A database held in memory from the bytes of a file, for the fuzzer; null when the bytes
  // are not a database of ours.
  static std::unique_ptr<Database> openImage(std::span<const std::byte> bytes);
  // For a fuzzer that reads one image after another: an empty in-memory database whose
  // loadImage replaces what it holds with the bytes of a file, so that one connection serves
  // every image. loadImage returns false when the bytes are not a database of ours; nothing may
  // then be read until an image loads.
  static std::unique_ptr<Database> openImageHolder();
  [[nodiscard]] bool loadImage(std::span<const std::byte> bytes);

  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // SQLite's data version: changes when another connection commits. nullopt on an error.
  [[nodiscard]] std::optional<std::int64_t> dataVersion();

  struct Read {
    Object value;            // nil when the key is absent (or its value cannot be read)
    bool byEntries = false;  // a dictionary held entry by entry
  };
  // The value of `key`, a dictionary-valued key with all its entries. nullopt on a read error.
  [[nodiscard]] std::optional<Read> read(std::string_view key);
  // Every key and its value. nullopt on a read error.
  [[nodiscard]] std::optional<ObjectDictionary> readAll();

  // A write transaction: begin (BEGIN IMMEDIATE, bounded by the busy time-out), any number of
  // changes, then commit; a failed step leaves the transaction for rollback().
  [[nodiscard]] bool begin();
  // Stores `value` (already checked storable) under `key`; a dictionary entry by entry.
  [[nodiscard]] bool put(std::string_view key, const Object& value);
  [[nodiscard]] bool remove(std::string_view key);
  // Makes `key` hold a dictionary without touching its entries if it holds one already.
  [[nodiscard]] bool ensureDictionary(std::string_view key);
  // Stores or, with a nil value, removes one entry of the dictionary under `key`.
  [[nodiscard]] bool putEntry(std::string_view key, std::string_view entry, const Object& value);
  [[nodiscard]] bool setMeta(std::string_view name, std::string_view value);
  [[nodiscard]] std::optional<std::string> meta(std::string_view name);
  [[nodiscard]] bool commit();
  void rollback();

  // How many checkpoints have run so far, on the thread and in the committing caller, and
  // whether the thread is running now.
  struct CheckpointCounts {
    int background = 0;
    int inCaller = 0;
    bool threadRunning = false;
  };
  CheckpointCounts checkpointCounts() const;

  // Makes closing this Database leave the write-ahead log and shared-memory files alone. SQLite
  // removes them by name when its last connection closes; once the path names another
  // database (ours was removed or replaced), those names may be the other database's files.
  void keepFilesAtClose();

  // The code of the last failure (SQLITE_BUSY, SQLITE_FULL, ...), 0 after success.
  int lastError() const { return lastError_; }
  // SQLite's text for the last failure.
  const std::string& lastErrorMessage() const { return lastErrorMessage_; }
  const std::string& path() const { return path_; }

  struct Statements;
  class Checkpointer;

 private:
  Database(sqlite3* db, std::string path);
  Status prepare();
  Status ensureSchema();
  Status prepareStatements();
  std::optional<std::int64_t> queryInt(const char* sql);
  Status statusOfLastError() const;
  // Steps a statement that returns no rows: true when it is done, false (logged) otherwise.
  [[nodiscard]] bool stepDone(sqlite3_stmt* statement, std::string_view action);
  bool fail(int rc, std::string_view action);
  std::optional<Object> readEntries(std::string_view key, Object base);
  std::optional<ObjectDictionary> readAllInTransaction();
  bool beginRead();
  void endRead();
  static int afterCommit(void* self, sqlite3* db, const char* name, int frames);
  void checkpointHere();

  sqlite3* db_;
  std::string path_;
  std::unique_ptr<Statements> statements_;
  CheckpointFrames checkpoints_;
  std::unique_ptr<Checkpointer> checkpointer_;  // started at the first need
  bool checkpointerFailed_ = false;
  int callerCheckpoints_ = 0;
  std::chrono::steady_clock::time_point busySince_;  // when the current wait for a lock began
  int lastError_ = 0;
  std::string lastErrorMessage_;
};

}  // namespace vrk::defaults
