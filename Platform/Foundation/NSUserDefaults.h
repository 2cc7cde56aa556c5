// NSUserDefaults suites: a settings store shared by processes, one SQLite database per suite at
// $VRK_ROOT/home/Library/Group Containers/<suite>/Library/Preferences/<suite>.sqlite
// (schema in DefaultsDatabase.h; `vrk-defaults` reads and writes it from the command line).
//
// Contract:
// - initWithSuiteName returns a new object that the caller owns (shared), or null with a log
//   line when the name is empty or ".", contains '/', ".." or a NUL, or the suite folder
//   cannot be created. Several objects, in one or many processes, may use the same suite.
// - Values are strings (UTF-8), NSNumber integers and BOOLs, arrays and dictionaries of those,
//   nested at most kMaxSettingsDepth deep (the suite counts as one level), each stored text at
//   most kMaxSettingsValueBytes. setObject logs and ignores anything else (data, pointers,
//   strings that are not UTF-8). An Int32 number reads back from the store as Int64.
// - setObject/removeObjectForKey/setObjectInDictionary change this object's view at once;
//   other objects see the change only after synchronize returns true. Until then this object's
//   pending changes win over what the store says.
// - objectForKey reads only the key asked for: a small key never loads a large dictionary.
//   It notices other processes' commits through SQLite's data version and re-reads nothing
//   that has not changed.
// - synchronize writes this object's pending changes in one transaction (a reader never sees
//   part of them; writers of other keys, or of other entries of one dictionary, never lose
//   each other's changes), without an fsync: a committed change survives the crash of any
//   process, only a power loss can drop the last ones. Copying SQLite's write-ahead log back
//   into the file, which syncs, runs on a thread of the object's own that starts when the log
//   first needs it and ends with the object; only when the log reaches its limit (thousands of
//   commits without a pause, or a thread that cannot run) does a synchronize copy the rest, and
//   sync, itself. It waits for another writer at most about a second. On any failure (another
//   writer holding the store past that wait, a read-only store, a full disk) it logs, keeps the
//   store as it was and the pending changes, and returns false.
// - A database that cannot be read as ours (garbage, truncated, another program's schema, a
//   folder or a symlink in its place) is moved aside as "<suite>.sqlite.corrupt" (replacing an
//   older one) with a log line, and an empty one takes its place. A "-wal" or "-shm" file that
//   is not a regular file (a symlink, a folder) is moved aside the same way (as
//   "<suite>.sqlite.corrupt-wal" or "-shm"), keeping the database; a file where the suite's
//   Preferences folder should be is moved aside as "Preferences.corrupt".
// - A database removed or replaced while it is open (its folder cleaned, another file, a
//   symlink or a folder put in its place, its -wal or -shm removed) is noticed before every
//   synchronize and every read: an inotify watch of the folder tells, in one read that finds
//   nothing on the usual path, whether a name of the store changed; only then is each file
//   compared by device and inode (without inotify, every time). The old database is left with a
//   log line and the store opened again. A synchronize then first writes what the old database
//   held wherever the new one lacks it (keys, and entries of dictionaries), so a writer's values,
//   the badge cache among them, come back; a read follows the new database, and an object that
//   has written keeps the old one's values for its next synchronize.
// - A suite file of the first version ("<suite>.json") is imported once and then removed: every
//   value the store can hold is kept, each one it cannot is left out with a log line naming its
//   key, and a file that is not a JSON object at all is kept aside as "<suite>.json.corrupt".
// - Thread-safe: any thread may call any member at any time. Nothing throws except
//   std::bad_alloc.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Foundation/DefaultsCodec.h"
#include "Platform/Foundation/Object.h"

namespace vrk {

class NSUserDefaults final {
 public:
  static std::shared_ptr<NSUserDefaults> initWithSuiteName(std::string_view suiteName);

  NSUserDefaults(const NSUserDefaults&) = delete;
  NSUserDefaults& operator=(const NSUserDefaults&) = delete;

  // The value for `key`, or nil when there is none.
  Object objectForKey(std::string_view key);
  // Stores `value` under `key`; a nil value removes the key.
  void setObject(const Object& value, std::string_view key);
  void removeObjectForKey(std::string_view key);
  // Equal to storing under `key` a copy of its dictionary (an empty one when it holds none)
  // with `entry` set to `value`, or removed when `value` is nil; but only that entry is
  // written, so its cost does not grow with the dictionary. Entries changed by other writers
  // meanwhile are kept, as other writers' keys are.
  void setObjectInDictionary(const Object& value, std::string_view entry, std::string_view key);
  // Writes the pending changes; true when there were none or they are now in the store.
  [[nodiscard]] bool synchronize();

  // Every key of the suite with its value, as the store holds it now (pending changes of this
  // object included); empty when the store cannot be opened or read.
  ObjectDictionary dictionaryRepresentation();
  // The same, but nullopt with the reason in `error` when the store cannot be opened or read,
  // so that a tool never shows an unreadable suite as an empty one.
  [[nodiscard]] std::optional<ObjectDictionary> readDictionaryRepresentation(std::string& error);
  // Why the store cannot be opened or read now, or nullopt when it can.
  [[nodiscard]] std::optional<std::string> storeError();

  // The suite's database file.
  std::filesystem::path filePath() const;

  // Use initWithSuiteName.
  struct State;
  explicit NSUserDefaults(std::unique_ptr<State> state);
  ~NSUserDefaults();

 private:
  std::unique_ptr<State> state_;
};

}  // namespace vrk
