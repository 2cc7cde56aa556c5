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
// - The only wait is SQLite's busy time-out (kDefaultsBusyTimeout): a writer that cannot get
//   the write lock in that time fails instead of hanging.
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
  // is opened read-only. Only Status::Ok comes with a database.
  static std::unique_ptr<Database> open(const std::filesystem::path& path, Status& status);
  // A database held in memory from the bytes of a file, for the fuzzer; null when the bytes
  // are not a database of ours.
  static std::unique_ptr<Database> openImage(std::span<const std::byte> bytes);

  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // SQLite's data version: changes when another connection commits. nullopt on an error.
  std::optional<std::int64_t> dataVersion();

  struct Read {
    Object value;            // nil when the key is absent (or its value cannot be read)
    bool byEntries = false;  // a dictionary held entry by entry
  };
  // The value of `key`, a dictionary-valued key with all its entries. nullopt on a read error.
  std::optional<Read> read(std::string_view key);
  // Every key and its value. nullopt on a read error.
  std::optional<ObjectDictionary> readAll();

  // A write transaction: begin (BEGIN IMMEDIATE, bounded by the busy time-out), any number of
  // changes, then commit; a failed step leaves the transaction for rollback().
  bool begin();
  // Stores `value` (already checked storable) under `key`; a dictionary entry by entry.
  bool put(std::string_view key, const Object& value);
  bool remove(std::string_view key);
  // Makes `key` hold a dictionary without touching its entries if it holds one already.
  bool ensureDictionary(std::string_view key);
  // Stores or, with a nil value, removes one entry of the dictionary under `key`.
  bool putEntry(std::string_view key, std::string_view entry, const Object& value);
  bool setMeta(std::string_view name, std::string_view value);
  std::optional<std::string> meta(std::string_view name);
  bool commit();
  void rollback();

  // The code of the last failure (SQLITE_BUSY, SQLITE_FULL, ...), 0 after success.
  int lastError() const { return lastError_; }
  const std::string& path() const { return path_; }

  struct Statements;

 private:
  Database(sqlite3* db, std::string path);
  Status prepare();
  bool fail(int rc, std::string_view action);
  std::optional<Object> readEntries(std::string_view key, Object base);
  std::optional<ObjectDictionary> readAllInTransaction();
  bool beginRead();
  void endRead();

  sqlite3* db_;
  std::string path_;
  std::unique_ptr<Statements> statements_;
  int lastError_ = 0;
};

}  // namespace vrk::defaults
