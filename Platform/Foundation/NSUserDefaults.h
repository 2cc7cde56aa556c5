// NSUserDefaults suites: a settings store shared by processes, one JSON file per suite at
// $VRK_ROOT/home/Library/Group Containers/<suite>/Library/Preferences/<suite>.json.
//
// Contract:
// - initWithSuiteName returns a new object that the caller owns (shared), or null with a log
//   line when the name is empty or ".", contains '/', ".." or a NUL, or the suite folder
//   cannot be created. Several objects, in one or many processes, may use the same suite.
// - Values are Objects that JSON can hold: strings (UTF-8), NSNumber integers and BOOLs,
//   arrays and dictionaries of those, nested at most kMaxSettingsDepth deep (the suite's own
//   dictionary counts as one level). setObject logs and ignores anything else (data, pointers,
//   strings that are not UTF-8). An Int32 number reads back from the file as Int64.
// - setObject/removeObjectForKey change this object's view at once; other objects see the
//   change only after synchronize returns true. Until then this object's pending changes win
//   over what the file says. objectForKey notices a file rewritten by anyone (at most one
//   stat per call) and reloads it.
// - synchronize merges this object's pending changes into the current file under an advisory
//   lock and replaces the file atomically, so writers never lose each other's keys and a
//   reader never sees half a file. On any failure (read-only folder, full disk) it logs,
//   keeps the old file and the pending changes, and returns false.
// - A file that is not a JSON object reads as empty, is kept aside as "<suite>.json.corrupt"
//   (replacing an older one), is logged, and is replaced by the next synchronize. A value the
//   store cannot hold (a float, null) costs only itself, with a log line (ParseSettingsFile).
// - Thread-safe: any thread may call any member at any time. Nothing throws except
//   std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/Object.h"

namespace vrk {

// Deepest nesting of containers that a settings file may hold, counting its top-level object.
// Deeper input is rejected so that no recursive walk over stored values can exhaust the stack.
inline constexpr int kMaxSettingsDepth = 64;

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
  // Writes the pending changes; true when there were none or they are now in the file.
  bool synchronize();

  std::filesystem::path filePath() const;

  // Use initWithSuiteName.
  struct State;
  explicit NSUserDefaults(std::unique_ptr<State> state);
  ~NSUserDefaults();

 private:
  std::unique_ptr<State> state_;
};

// Parses the bytes of a settings file: one JSON object. Values the store cannot hold (floats,
// null, integers outside the signed 64-bit range) are left out wherever they stand, and every
// other value is kept: such a document is not corrupt. Each top-level key that lost something
// is logged once (naming `what`, the key and what was left out) and appended to `skippedKeys`.
// Returns nullopt, with a log line naming `what` and the reason, only for a document that is
// not a settings document: not JSON (bytes after the document or a NUL byte included, invalid
// UTF-8), not an object at the top, or nested deeper than kMaxSettingsDepth.
std::optional<ObjectDictionary> ParseSettingsFile(std::span<const std::byte> bytes,
                                                  std::string_view what,
                                                  std::vector<std::string>* skippedKeys = nullptr);

// The JSON text of `values`, which ParseSettingsFile reads back as equal values. A BOOL
// number becomes true/false, other numbers integers. Values JSON cannot hold (data, pointers,
// strings that are not UTF-8, containers nested too deep) are left out.
std::string SerializeSettings(const ObjectDictionary& values);

// True when `value` can be stored in a settings file under a key at the top level.
bool IsStorableSettingsValue(const Object& value);

}  // namespace vrk
